// CTeskDevice: the public face of one player.
#include "device.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "change_watch.h"
#include "opaque_access.h"
#include "storage.h"

namespace teskcore {

using tesk::sync::CSync;
using tesk::sync::CSyncGuard;
using tesk::win32::ComPtr;

HRESULT FillTeskId(TeskId* id, DWORD vendor, SpdBlob* blob) {
  HRESULT hr = S_OK;
  std::size_t capacity = 0;
  if (!id) {
    hr = E_INVALIDARG;
  } else if (id->cbSize == TESK_ID_SIZE_SHORT) {
    capacity = 16;
  } else if (id->cbSize == TESK_ID_SIZE_LONG || id->cbSize == TESK_ID_SIZE_COUNTED) {
    capacity = sizeof(id->abId);
  } else {
    hr = E_FAIL;
  }
  if (SUCCEEDED(hr)) {
    const std::size_t count = blob->pData ? std::min<std::size_t>(blob->cbData, capacity) : 0;
    id->dwVendorId = vendor;
    if (count) std::memcpy(id->abId, blob->pData, count);
    if (id->cbSize == TESK_ID_SIZE_COUNTED) id->cbId = static_cast<DWORD>(count);
  }
  CoTaskMemFree(blob->pData);
  blob->pData = nullptr;
  return hr;
}

namespace {

constexpr DWORD kDevicePollInterval = 500;
constexpr std::size_t kIdentifierStride = TESK_ID_SIZE_COUNTED;

class CTeskDevice final : public tesk::win32::ComObject<ITeskDevice, IID_ITeskDevice> {
 public:
  CTeskDevice(ISpdDevice* device, CSync* lock)
      : device_(ComPtr<ISpdDevice>::Adopt(device)), lock_(ComPtr<CSync>::Adopt(lock)) {}
  ~CTeskDevice() override { watch_.Shutdown(); }

  HRESULT Init() {
    return watch_.Init("CTeskDevice", this, static_cast<ITeskDevice*>(this), device_.Get(), nullptr,
                       lock_.Get(), kDevicePollInterval);
  }

  // The service and opaque-access objects are new small objects over the driver device;
  // they do not lead back here.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_ITeskDeviceService) return CreateDeviceService(device_.Get(), riid, ppv);
    if (riid == IID_ITeskOpaqueAccess) return CreateOpaqueAccess(device_.Get(), nullptr, riid, ppv);
    return ComObject::QueryInterface(riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE Reserved(DWORD, DWORD, DWORD) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetName(LPWSTR pwszName, UINT nSize) override {
    return Guarded(lock_.Get(), [&] { return device_->GetName(pwszName, nSize); });
  }

  HRESULT STDMETHODCALLTYPE GetManufacturer(LPWSTR pwszName, UINT nSize) override {
    return Guarded(lock_.Get(), [&] {
      return device_->GetProperty(SPD_PROP_MANUFACTURER, 0, SpdKindString, pwszName, nSize);
    });
  }

  HRESULT STDMETHODCALLTYPE GetVersion(DWORD* pdwVersion) override {
    return Guarded(lock_.Get(),
                   [&] { return GetDwordProperty(device_.Get(), SPD_PROP_VERSION, pdwVersion); });
  }

  HRESULT STDMETHODCALLTYPE GetType(DWORD* pdwType) override {
    return Guarded(lock_.Get(),
                   [&] { return GetDwordProperty(device_.Get(), SPD_PROP_DEVICE_TYPE, pdwType); });
  }

  HRESULT STDMETHODCALLTYPE GetSerialNumber(TeskId* pId) override {
    if (!pId) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] { return ReadSerialNumber(device_.Get(), pId); });
  }

  HRESULT STDMETHODCALLTYPE GetIdentifiers(TeskId* rgId, UINT count) override {
    if (!rgId && count) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] {
      DWORD vendor = 0;
      GetDwordProperty(device_.Get(), SPD_PROP_VENDOR_ID, &vendor);
      for (UINT i = 0; i < count; ++i) {
        SpdBlob blob{sizeof(SpdBlob), nullptr, 0};
        const HRESULT hr = device_->GetProperty(SPD_PROP_IDENTIFIER, i, SpdKindBlob, &blob, sizeof(blob));
        if (hr != S_OK) {
          CoTaskMemFree(blob.pData);
          return hr;
        }
        // Records lie a full counted record apart, whatever their own size fields say.
        auto* record = reinterpret_cast<TeskId*>(reinterpret_cast<BYTE*>(rgId) + i * kIdentifierStride);
        if (FAILED(FillTeskId(record, vendor, &blob))) return E_FAIL;
      }
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE SetIdentifier(UINT index, TeskId* pId) override {
    if (!pId) return E_INVALIDARG;
    // Only a counted record says how many of its bytes are the identifier.
    if (pId->cbSize != TESK_ID_SIZE_COUNTED) return E_FAIL;
    if (pId->cbId > sizeof(pId->abId)) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] {
      return device_->SetProperty(SPD_PROP_IDENTIFIER, index, SpdKindRecord, pId->abId, pId->cbId);
    });
  }

  HRESULT STDMETHODCALLTYPE IsFormatSupported(DWORD dwFlags, void* pFormat) override {
    UINT query = 0;
    const void* argument = pFormat;
    if (dwFlags & (TESK_FORMAT_AUDIO | TESK_FORMAT_2)) {
      query = dwFlags;
    } else if (dwFlags & TESK_FORMAT_FRAME) {
      query = SPD_QUERY_FRAME;
    } else if (dwFlags & TESK_FORMAT_NUMBER) {
      // The number itself travels in place of the pointer.
      if (!pFormat) return E_INVALIDARG;
      DWORD number = 0;
      std::memcpy(&number, static_cast<const BYTE*>(pFormat) + 4, sizeof(number));
      query = SPD_QUERY_NUMBER;
      argument = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(number));
    } else if (dwFlags & TESK_FORMAT_CONTENT) {
      query = SPD_QUERY_CONTENT;
    } else {
      return E_INVALIDARG;
    }
    return Guarded(lock_.Get(), [&] { return device_->IsSupported(query, argument); });
  }

  HRESULT STDMETHODCALLTYPE GetPowerSource(DWORD* pdwPower) override {
    return Guarded(lock_.Get(), [&] { return GetDwordProperty(device_.Get(), SPD_PROP_POWER, pdwPower); });
  }

  HRESULT STDMETHODCALLTYPE GetStatus(DWORD* pdwStatus) override {
    if (!pdwStatus) return E_INVALIDARG;
    CSyncGuard guard(lock_.Get());
    // Busy is an answer here: what the holder is doing.
    if (!guard.Acquired()) {
      *pdwStatus = lock_->GetStatus();
      return S_OK;
    }
    return GetDwordProperty(device_.Get(), SPD_PROP_STATUS, pdwStatus);
  }

  HRESULT STDMETHODCALLTYPE GetDeviceIcon(void* pBuffer, UINT cbBuffer) override {
    return device_->GetProperty(SPD_PROP_ICON, 0, SpdKindString, pBuffer, cbBuffer);
  }

  HRESULT STDMETHODCALLTYPE GetDeviceControl(ITeskDeviceControl** ppControl) override {
    if (!ppControl) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] {
      ISpdDeviceControl* control = nullptr;
      // Whatever the driver's reason, it has no control to offer.
      if (FAILED(device_->GetDeviceControl(&control)) || !control) {
        if (control) control->Release();
        return E_NOTIMPL;
      }
      return CreateDeviceControl(control, lock_.Get(), ppControl);
    });
  }

  HRESULT STDMETHODCALLTYPE Advise(ITeskConnect* pSink) override {
    return Guarded(lock_.Get(), [&] { return watch_.Advise(pSink); });
  }

  HRESULT STDMETHODCALLTYPE EnumStorage(ITeskEnumStorage** ppEnum) override {
    if (!ppEnum) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] { return CreateVolumeEnum(device_.Get(), lock_.Get(), ppEnum); });
  }

 private:
  tesk::win32::CountedObject counted_{Counters()};
  const ComPtr<ISpdDevice> device_;
  const ComPtr<CSync> lock_;
  ChangeWatch watch_;
};

}  // namespace

HRESULT CreateTeskDevice(ISpdDevice* device, CSync* lock, ITeskDevice** ppDevice) {
  if (!device || !lock || !ppDevice) {
    if (device) device->Release();
    if (lock) lock->Release();
    if (ppDevice) *ppDevice = nullptr;
    return E_INVALIDARG;
  }
  *ppDevice = nullptr;
  auto* object = new (std::nothrow) CTeskDevice(device, lock);
  if (!object) {
    device->Release();
    lock->Release();
    return E_OUTOFMEMORY;
  }
  object->AddRef();
  HRESULT hr = object->Init();
  if (SUCCEEDED(hr)) hr = object->QueryInterface(IID_ITeskDevice, reinterpret_cast<void**>(ppDevice));
  object->Release();
  return hr;
}

}  // namespace teskcore
