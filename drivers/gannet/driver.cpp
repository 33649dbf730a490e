// CDriver: the object hosts create from the class; it offers the one player as one device.
#include <new>

#include "gannet.h"

namespace gannet {
namespace {

class CDriver final : public tesk::win32::ComObject<ISpdDriver, IID_ISpdDriver> {
 public:
  CDriver() { LiveObjectAdded(this, "CDriver"); }
  ~CDriver() override { LiveObjectRemoved(this); }

  HRESULT STDMETHODCALLTYPE GetName(LPWSTR, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProperty(UINT, UINT, UINT, void*, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetProperty(UINT, UINT, UINT, const void*, UINT) override { return E_NOTIMPL; }

  // One device whether or not a player is attached: the device itself reports absence.
  HRESULT STDMETHODCALLTYPE GetDeviceCount(DWORD* count) override {
    if (!count) return E_INVALIDARG;
    *count = 1;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetDevice(DWORD, ISpdDevice** out) override {
    if (!out) return E_INVALIDARG;
    return CreateDevice(out);
  }
};

}  // namespace

HRESULT CreateDriver(ISpdDriver** out) {
  *out = nullptr;
  return tesk::win32::QueryNewObject(new (std::nothrow) CDriver, IID_ISpdDriver,
                                     reinterpret_cast<void**>(out));
}

}  // namespace gannet
