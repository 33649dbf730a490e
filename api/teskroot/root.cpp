#include <new>

#include "teskroot.h"

namespace teskroot {

HRESULT CTesk::CreateInstance(REFIID riid, void** ppv) {
  return tesk::win32::QueryNewObject(new (std::nothrow) CTesk(), riid, ppv);
}

HRESULT CTesk::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_ITesk) {
    *ppv = static_cast<ITesk*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG CTesk::AddRef() { return refs_.fetch_add(1) + 1; }

ULONG CTesk::Release() {
  const ULONG left = refs_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

DWORD CTesk::GetRevision() { return TESK_REVISION; }

// The root knows of one device manager, whatever is attached.
HRESULT CTesk::GetDeviceCount(DWORD* pdwCount) {
  if (!pdwCount) return E_INVALIDARG;
  *pdwCount = 1;
  return S_OK;
}

HRESULT CTesk::EnumDevices(ITeskEnumDevice** ppEnum) {
  if (!ppEnum) return E_INVALIDARG;
  return CTeskEnumDevices::CreateInstance(IID_ITeskEnumDevice, reinterpret_cast<void**>(ppEnum));
}

}  // namespace teskroot
