// CTeskStorage: one volume, folder or file of a player.
#include "storage.h"

#include <atomic>
#include <new>

#include "change_watch.h"
#include "device.h"
#include "opaque_access.h"

namespace teskcore {
namespace {

using tesk::sync::CSync;
using tesk::win32::ComPtr;

constexpr DWORD kMediumPollInterval = 1000;

class CTeskStorage final : public ITeskStorage, public ITeskStorageInternal {
 public:
  // Takes over one reference of `lock`; references the driver objects.
  CTeskStorage(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* own, CSync* lock)
      : device_(device), volume_(volume), own_(own), lock_(ComPtr<CSync>::Adopt(lock)) {}
  CTeskStorage(const CTeskStorage&) = delete;
  CTeskStorage& operator=(const CTeskStorage&) = delete;

  HRESULT Init() {
    return watch_.Init("CTeskStorage", this, static_cast<ITeskStorage*>(this), nullptr, own_.Get(),
                       lock_.Get(), kMediumPollInterval);
  }

  // Both interfaces share one count.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_ITeskStorage) {
      *ppv = static_cast<ITeskStorage*>(this);
    } else if (riid == IID_ITeskStorageInternal) {
      *ppv = static_cast<ITeskStorageInternal*>(this);
    } else if (riid == IID_ITeskOpaqueAccess) {
      return CreateOpaqueAccess(nullptr, own_.Get(), riid, ppv);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

  // ITeskStorage
  HRESULT STDMETHODCALLTYPE GetStorageGlobals(ITeskStorageGlobals** pp) override {
    if (!pp) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] { return CreateStorageGlobals(volume_.Get(), lock_.Get(), pp); });
  }

  HRESULT STDMETHODCALLTYPE GetStorageControl(ITeskStorageControl** pp) override {
    if (!pp) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] {
      return CreateStorageControl(device_.Get(), volume_.Get(), own_.Get(), lock_.Get(), pp);
    });
  }

  HRESULT STDMETHODCALLTYPE GetObjectInfo(ITeskObjectInfo** pp) override {
    if (!pp) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] { return CreateObjectInfo(own_.Get(), lock_.Get(), pp); });
  }

  HRESULT STDMETHODCALLTYPE GetAttributes(DWORD* pdwAttributes, WAVEFORMATEX* pFormat) override {
    return Guarded(lock_.Get(), [&] {
      const HRESULT hr = GetDwordProperty(own_.Get(), SPD_PROP_ATTRIBUTES, pdwAttributes);
      if (FAILED(hr)) return hr;
      return own_->GetProperty(SPD_PROP_FORMAT, 0, SpdKindRecord, pFormat, sizeof(WAVEFORMATEX));
    });
  }

  HRESULT STDMETHODCALLTYPE GetName(LPWSTR pwszName, UINT nSize) override {
    return Guarded(lock_.Get(),
                   [&] { return own_->GetProperty(SPD_PROP_NAME, 0, SpdKindString, pwszName, nSize); });
  }

  HRESULT STDMETHODCALLTYPE GetDate(LPWSTR pwszDate, UINT nSize) override {
    return Guarded(lock_.Get(),
                   [&] { return own_->GetProperty(SPD_PROP_DATE, 0, SpdKindString, pwszDate, nSize); });
  }

  HRESULT STDMETHODCALLTYPE GetSize(DWORD* pdwSizeLow, DWORD* pdwSizeHigh) override {
    return Guarded(lock_.Get(), [&] {
      const HRESULT hr = GetDwordProperty(own_.Get(), SPD_PROP_SIZE_LOW, pdwSizeLow);
      if (FAILED(hr)) return hr;
      return GetDwordProperty(own_.Get(), SPD_PROP_SIZE_HIGH, pdwSizeHigh);
    });
  }

  HRESULT STDMETHODCALLTYPE Reserved(DWORD) override { return E_NOTIMPL; }

  // Only a volume tells of its medium coming and going.
  HRESULT STDMETHODCALLTYPE Advise(ITeskConnect* pSink) override {
    return Guarded(lock_.Get(), [&] {
      DWORD type = 0;
      if (FAILED(own_->GetStorageType(&type)) || type != kStorageVolume) return E_ACCESSDENIED;
      return watch_.Advise(pSink);
    });
  }

  HRESULT STDMETHODCALLTYPE EnumStorage(ITeskEnumStorage** pp) override {
    if (!pp) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] {
      return CreateChildEnum(device_.Get(), volume_.Get(), own_.Get(), lock_.Get(), pp);
    });
  }

  // ITeskStorageInternal
  HRESULT STDMETHODCALLTYPE GetDriverStorage(ISpdStorage** ppStorage) override {
    if (!ppStorage) return E_INVALIDARG;
    *ppStorage = own_.Get();
    own_->AddRef();
    return S_OK;
  }

 private:
  ~CTeskStorage() { watch_.Shutdown(); }

  std::atomic<ULONG> refs_{0};
  tesk::win32::CountedObject counted_{Counters()};
  const ComPtr<ISpdDevice> device_;
  const ComPtr<ISpdStorage> volume_;
  const ComPtr<ISpdStorage> own_;
  const ComPtr<CSync> lock_;
  ChangeWatch watch_;
};

}  // namespace

HRESULT CreateTeskStorage(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* own, CSync* lock,
                          ITeskStorage** ppStorage) {
  if (!ppStorage) return E_INVALIDARG;
  *ppStorage = nullptr;
  if (!device || !volume || !own || !lock) return E_INVALIDARG;
  CSync* clone = lock->Clone();
  if (!clone) return E_OUTOFMEMORY;
  auto* object = new (std::nothrow) CTeskStorage(device, volume, own, clone);
  if (!object) {
    clone->Release();
    return E_OUTOFMEMORY;
  }
  object->AddRef();
  HRESULT hr = object->Init();
  if (SUCCEEDED(hr)) hr = object->QueryInterface(IID_ITeskStorage, reinterpret_cast<void**>(ppStorage));
  object->Release();
  return hr;
}

}  // namespace teskcore
