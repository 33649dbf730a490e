// CTeskDeviceControl: what the device plays or records, and the driver control's own calls.
#include <new>

#include "device.h"
#include "teskcore.h"

namespace teskcore {

using tesk::sync::CSync;
using tesk::win32::ComPtr;

namespace {
constexpr DWORD kNotGiven = 0xFFFFFFFFu;
}  // namespace

CTeskDeviceControl::CTeskDeviceControl(ISpdDeviceControl* control, CSync* lock)
    : lock_(ComPtr<CSync>::Adopt(lock)), control_(ComPtr<ISpdDeviceControl>::Adopt(control)) {}

HRESULT CTeskDeviceControl::GetStatus(DWORD* pdwStatus) {
  return Guarded(lock_.Get(), [&] { return GetDwordProperty(control_.Get(), SPD_PROP_STATUS, pdwStatus); });
}

HRESULT CTeskDeviceControl::GetCapabilities(DWORD* pdwCaps) {
  return Guarded(lock_.Get(),
                 [&] { return GetDwordProperty(control_.Get(), SPD_PROP_CAPABILITIES, pdwCaps); });
}

HRESULT CTeskDeviceControl::Play(DWORD /*fuMode*/) {
  return Guarded(lock_.Get(), [&] {
    if (mode_ & TESK_CONTROL_DEVICE) return control_->Play();
    return E_NOTIMPL;  // streaming from the application's operation is not available yet
  });
}

HRESULT CTeskDeviceControl::Record(DWORD /*fuMode*/, DWORD_PTR format) {
  return Guarded(lock_.Get(), [&] {
    if (mode_ & TESK_CONTROL_DEVICE) return control_->Record(format);
    return E_NOTIMPL;  // streaming to the application's operation is not available yet
  });
}

HRESULT CTeskDeviceControl::Pause() {
  return Guarded(lock_.Get(), [&] { return control_->Pause(); });
}

HRESULT CTeskDeviceControl::Resume() {
  return Guarded(lock_.Get(), [&] { return control_->Resume(); });
}

HRESULT CTeskDeviceControl::Stop() {
  return Guarded(lock_.Get(), [&] { return control_->Stop(); });
}

HRESULT CTeskDeviceControl::Setup(DWORD dwMode, ITeskStorage* pStorage, ITeskOperation* pOperation,
                                  ITeskObjectInfo* pRange) {
  // The range is read before this device is held: a range object of the same device takes
  // the same busy lock and would otherwise always find the device busy.
  DWORD offset = kNotGiven;
  DWORD length = kNotGiven;
  if (pRange) {
    pRange->GetPlayOffset(&offset);
    pRange->GetPlayLength(&length);
  }
  return Guarded(lock_.Get(), [&] {
    mode_ = dwMode;
    operation_ = ComPtr<ITeskOperation>(pOperation);
    storage_.Reset();
    play_offset_ = kNotGiven;
    play_length_ = kNotGiven;
    if (pStorage) {
      ComPtr<ITeskStorageInternal> internal;
      if (FAILED(pStorage->QueryInterface(IID_ITeskStorageInternal, internal.PutVoid())) || !internal)
        return E_FAIL;  // not a storage of this system
      if (FAILED(internal->GetDriverStorage(storage_.Put()))) return E_FAIL;
    }
    if (pRange) {
      play_offset_ = offset;
      play_length_ = length;
    }
    return control_->SetSource(storage_.Get(), play_offset_, play_length_);
  });
}

HRESULT CreateDeviceControl(ISpdDeviceControl* control, CSync* lock, ITeskDeviceControl** ppControl) {
  auto owned = ComPtr<ISpdDeviceControl>::Adopt(control);
  if (!ppControl) return E_INVALIDARG;
  *ppControl = nullptr;
  auto clone = ComPtr<CSync>::Adopt(lock->Clone());
  if (!clone) return E_OUTOFMEMORY;
  auto* object = new (std::nothrow) CTeskDeviceControl(owned.Get(), clone.Get());
  if (!object) return E_OUTOFMEMORY;
  owned.Detach();
  clone.Detach();
  return tesk::win32::QueryNewObject(object, IID_ITeskDeviceControl, reinterpret_cast<void**>(ppControl));
}

}  // namespace teskcore
