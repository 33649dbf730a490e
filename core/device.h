// The device side of teskcore: the device's control object, its service object, and the
// helpers the device and storage objects share.
#pragma once

#include <new>

#include <tesk/spd.h>
#include <tesk/tesk.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/comserver.h>
#include <tesk/win32/windows.h>

#include "csync.h"
#include "teskcore.h"

namespace teskcore {

// Runs `body` under the ordinary busy lock; TESK_E_BUSY when another operation holds it.
template <class Body>
HRESULT Guarded(tesk::sync::CSync* lock, Body body) {
  tesk::sync::CSyncGuard guard(lock);
  if (!guard.Acquired()) return TESK_E_BUSY;
  return body();
}

// A DWORD property of a driver object (device, storage or device control).
template <class Driver>
HRESULT GetDwordProperty(Driver* driver, UINT id, DWORD* value) {
  return driver->GetProperty(id, 0, SpdKindDword, value, sizeof(DWORD));
}

// Makes an Object(args..., clone of `lock`) (the object takes over the clone) and hands out
// its `iid` interface; E_OUTOFMEMORY, with nothing kept, when either cannot be made.
template <class Object, class Interface, class... Args>
HRESULT NewWithLockClone(tesk::sync::CSync* lock, REFIID iid, Interface** pp, Args... args) {
  if (!pp) return E_INVALIDARG;
  *pp = nullptr;
  tesk::sync::CSync* clone = lock->Clone();
  if (!clone) return E_OUTOFMEMORY;
  auto* object = new (std::nothrow) Object(args..., clone);
  if (!object) {
    clone->Release();
    return E_OUTOFMEMORY;
  }
  return tesk::win32::QueryNewObject(object, iid, reinterpret_cast<void**>(pp));
}

// Fills a caller's TeskId from a vendor and a driver's blob: at most 16 identifier bytes into
// a 24-byte record, 128 into a 136- or 140-byte one, and the count only into a 140-byte one.
// E_FAIL for any other size, with the record untouched. The blob's block is freed in any case.
HRESULT FillTeskId(TeskId* id, DWORD vendor, SpdBlob* blob);

// The vendor (SPD_PROP_VENDOR_ID) and serial number (SPD_PROP_SERIAL) of a device or a
// volume into `id`; the first failure ends it.
template <class Driver>
HRESULT ReadSerialNumber(Driver* driver, TeskId* id) {
  if (!id) return E_INVALIDARG;
  DWORD vendor = 0;
  HRESULT hr = GetDwordProperty(driver, SPD_PROP_VENDOR_ID, &vendor);
  if (FAILED(hr)) return hr;
  SpdBlob blob{sizeof(SpdBlob), nullptr, 0};
  hr = driver->GetProperty(SPD_PROP_SERIAL, 0, SpdKindBlob, &blob, sizeof(blob));
  if (FAILED(hr)) {
    CoTaskMemFree(blob.pData);
    return hr;
  }
  return FillTeskId(id, vendor, &blob);
}

// Play and record on a device, through its driver's control object.
class CTeskDeviceControl final : public tesk::win32::ComObject<ITeskDeviceControl, IID_ITeskDeviceControl> {
 public:
  // Takes over one reference of `control` and of `lock`.
  CTeskDeviceControl(ISpdDeviceControl* control, tesk::sync::CSync* lock);

  HRESULT STDMETHODCALLTYPE GetStatus(DWORD* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* pdwCaps) override;
  HRESULT STDMETHODCALLTYPE Play(DWORD fuMode) override;
  HRESULT STDMETHODCALLTYPE Record(DWORD fuMode, DWORD_PTR format) override;
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Resume() override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Setup(DWORD dwMode, ITeskStorage* pStorage, ITeskOperation* pOperation,
                                  ITeskObjectInfo* pRange) override;

 private:
  tesk::win32::CountedObject counted_{Counters()};
  tesk::win32::ComPtr<tesk::sync::CSync> lock_;
  tesk::win32::ComPtr<ISpdDeviceControl> control_;
  DWORD mode_ = TESK_CONTROL_DEVICE;
  tesk::win32::ComPtr<ITeskOperation> operation_;
  tesk::win32::ComPtr<ISpdStorage> storage_;
  DWORD play_offset_ = 0xFFFFFFFFu;
  DWORD play_length_ = 0xFFFFFFFFu;
};

// A control object over `control` (one reference taken over, also on failure) with a clone
// of `lock`; its ITeskDeviceControl into *ppControl.
HRESULT CreateDeviceControl(ISpdDeviceControl* control, tesk::sync::CSync* lock,
                            ITeskDeviceControl** ppControl);

// A new service object over `device` (referenced), asked for `riid`.
HRESULT CreateDeviceService(ISpdDevice* device, REFIID riid, void** ppv);

}  // namespace teskcore
