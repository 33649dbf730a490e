// IUnknown and IClassFactory: the base of every COM interface in the system.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

inline constexpr IID IID_IUnknown = tesk::win32::GuidFromText("00000000-0000-0000-C000-000000000046");
inline constexpr IID IID_IClassFactory = tesk::win32::GuidFromText("00000001-0000-0000-C000-000000000046");
inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr CLSID CLSID_NULL{};

// Slots 0 to 2 of every interface. No virtual destructor: that would add slots.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
using LPCLASSFACTORY = IClassFactory*;
