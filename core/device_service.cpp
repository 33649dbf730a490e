// ITeskDeviceService: the driver device's services, one by one or by interface.
#include <new>

#include <tesk/win32/comptr.h>
#include <tesk/win32/comserver.h>

#include "device.h"
#include "teskcore.h"

namespace teskcore {
namespace {

using tesk::win32::ComPtr;

class CTeskDeviceService final : public tesk::win32::ComObject<ITeskDeviceService, IID_ITeskDeviceService> {
 public:
  explicit CTeskDeviceService(ISpdDevice* device) : device_(device) {}

  // Service interfaces are the driver's: anything but this object's own goes to it.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITeskDeviceService) return ComObject::QueryInterface(riid, ppv);
    return device_->QueryService(riid, ppv);
  }

  HRESULT STDMETHODCALLTYPE NextService(void** ppService) override {
    // A driver that cannot count its services has none to hand out.
    DWORD count = 0;
    if (FAILED(device_->GetServiceCount(&count))) count = 0;
    if (position_ >= count) {
      position_ = 0;
      return S_FALSE;
    }
    const HRESULT hr = device_->GetService(position_, reinterpret_cast<IUnknown**>(ppService));
    ++position_;
    return hr;
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE IsServiceAvailable() override {
    BYTE available = 0;
    device_->GetProperty(SPD_PROP_HAS_SERVICES, 0, SpdKindBool, &available, sizeof(available));
    return available ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE ServiceRequest(DWORD dwValue) override {
    return device_->ServiceRequest(dwValue);
  }

 private:
  tesk::win32::CountedObject counted_{Counters()};
  const ComPtr<ISpdDevice> device_;
  DWORD position_ = 0;
};

}  // namespace

HRESULT CreateDeviceService(ISpdDevice* device, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return tesk::win32::QueryNewObject(new (std::nothrow) CTeskDeviceService(device), riid, ppv);
}

}  // namespace teskcore
