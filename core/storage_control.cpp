// CTeskStorageControl: the operations on one stored object.
#include "device.h"
#include "storage.h"

namespace teskcore {

using tesk::sync::CSync;
using tesk::win32::ComPtr;

CTeskStorageControl::CTeskStorageControl(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* own,
                                         CSync* lock)
    : device_(device), volume_(volume), own_(own), lock_(ComPtr<CSync>::Adopt(lock)) {}

HRESULT CTeskStorageControl::Reserved(DWORD, DWORD) {
  return E_NOTIMPL;
}

// The long operations are not available yet.
HRESULT CTeskStorageControl::InsertBefore(UINT, void*, ITeskStorage**) {
  return E_NOTIMPL;
}
HRESULT CTeskStorageControl::InsertAfter(UINT, void*, ITeskStorage**) {
  return E_NOTIMPL;
}
HRESULT CTeskStorageControl::Delete(UINT, ITeskProgress*) {
  return E_NOTIMPL;
}
HRESULT CTeskStorageControl::Move(UINT, ITeskStorage*, ITeskProgress*, void**) {
  return E_NOTIMPL;
}
HRESULT CTeskStorageControl::Rename(UINT, LPCWSTR, ITeskProgress*) {
  return E_NOTIMPL;
}
HRESULT CTeskStorageControl::Read(UINT, void*) {
  return E_NOTIMPL;
}

// Without the lock: it reports what the holder of the device is doing.
HRESULT CTeskStorageControl::GetStatus(DWORD* pdwStatus) {
  if (!pdwStatus) return E_INVALIDARG;
  *pdwStatus = lock_->IsBusy() ? lock_->GetStatus() : 0;
  return S_OK;
}

HRESULT CreateStorageControl(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* own, CSync* lock,
                             ITeskStorageControl** pp) {
  return NewWithLockClone<CTeskStorageControl>(lock, IID_ITeskStorageControl, pp, device, volume, own);
}

}  // namespace teskcore
