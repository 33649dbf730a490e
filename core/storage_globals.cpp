// CTeskStorageGlobals: what is true of a whole volume.
#include "device.h"
#include "storage.h"

namespace teskcore {
namespace {

using tesk::sync::CSync;
using tesk::win32::ComPtr;

class CTeskStorageGlobals final
    : public tesk::win32::ComObject<ITeskStorageGlobals, IID_ITeskStorageGlobals> {
 public:
  CTeskStorageGlobals(ISpdStorage* volume, CSync* lock)
      : volume_(volume), lock_(ComPtr<CSync>::Adopt(lock)) {}

  HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* pdwCaps) override {
    return Guarded(lock_.Get(),
                   [&] { return GetDwordProperty(volume_.Get(), SPD_PROP_CAPABILITIES, pdwCaps); });
  }

  HRESULT STDMETHODCALLTYPE GetSerialNumber(TeskId* pId) override {
    if (!pId) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] { return ReadSerialNumber(volume_.Get(), pId); });
  }

  HRESULT STDMETHODCALLTYPE GetTotalFree(DWORD* pdwLow, DWORD* pdwHigh) override {
    return Guarded(lock_.Get(),
                   [&] { return ReadPair(SPD_PROP_FREE_LOW, pdwLow, SPD_PROP_FREE_HIGH, pdwHigh); });
  }

  HRESULT STDMETHODCALLTYPE GetTotalBad(DWORD* pdwLow, DWORD* pdwHigh) override {
    return Guarded(lock_.Get(),
                   [&] { return ReadPair(SPD_PROP_BAD_LOW, pdwLow, SPD_PROP_BAD_HIGH, pdwHigh); });
  }

  HRESULT STDMETHODCALLTYPE GetStatus(DWORD* pdwStatus) override {
    if (!pdwStatus) return E_INVALIDARG;
    tesk::sync::CSyncGuard guard(lock_.Get());
    if (!guard.Acquired()) {
      *pdwStatus = lock_->GetStatus();
      return S_OK;
    }
    return GetDwordProperty(volume_.Get(), SPD_PROP_STATUS, pdwStatus);
  }

  // Formatting the volume is not available yet.
  HRESULT STDMETHODCALLTYPE Initialize(UINT, ITeskProgress*) override { return E_NOTIMPL; }

 private:
  HRESULT ReadPair(UINT low_id, DWORD* low, UINT high_id, DWORD* high) {
    const HRESULT hr = GetDwordProperty(volume_.Get(), low_id, low);
    if (FAILED(hr)) return hr;
    return GetDwordProperty(volume_.Get(), high_id, high);
  }

  tesk::win32::CountedObject counted_{Counters()};
  const ComPtr<ISpdStorage> volume_;
  const ComPtr<CSync> lock_;
};

}  // namespace

HRESULT CreateStorageGlobals(ISpdStorage* volume, CSync* lock, ITeskStorageGlobals** pp) {
  return NewWithLockClone<CTeskStorageGlobals>(lock, IID_ITeskStorageGlobals, pp, volume);
}

}  // namespace teskcore
