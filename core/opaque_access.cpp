#include "opaque_access.h"

#include <new>

#include <tesk/win32/comptr.h>
#include <tesk/win32/comserver.h>

#include "teskcore.h"

namespace teskcore {
namespace {

using tesk::win32::ComPtr;

class CTeskOpaqueAccess final : public tesk::win32::ComObject<ITeskOpaqueAccess, IID_ITeskOpaqueAccess> {
 public:
  CTeskOpaqueAccess(ISpdDevice* device, ISpdStorage* storage) : device_(device), storage_(storage) {}

  HRESULT STDMETHODCALLTYPE Reserved(DWORD, DWORD) override { return E_NOINTERFACE; }

  HRESULT STDMETHODCALLTYPE GetOpaqueObject(REFIID riid, void** ppv) override {
    if (device_) return device_->OpenOpaque(riid, ppv);
    if (storage_) return storage_->OpenOpaque(riid, ppv);
    return E_FAIL;
  }

 private:
  tesk::win32::CountedObject counted_{Counters()};
  const ComPtr<ISpdDevice> device_;
  const ComPtr<ISpdStorage> storage_;
};

}  // namespace

HRESULT CreateOpaqueAccess(ISpdDevice* device, ISpdStorage* storage, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return tesk::win32::QueryNewObject(new (std::nothrow) CTeskOpaqueAccess(device, storage), riid, ppv);
}

}  // namespace teskcore
