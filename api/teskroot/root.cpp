#include <new>

#include "teskroot.h"

namespace teskroot {

HRESULT CTesk::CreateInstance(REFIID riid, void** ppv) {
  return tesk::win32::QueryNewObject(new (std::nothrow) CTesk(), riid, ppv);
}

DWORD CTesk::GetRevision() {
  return TESK_REVISION;
}

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
