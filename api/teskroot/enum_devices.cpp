#include <memory>
#include <new>

#include "teskroot.h"

namespace teskroot {
namespace {

constexpr char kDevicesKey[] = "Software\\Vorelle\\Tesk\\Devices";
constexpr DWORD kNameChars = 127;

}  // namespace

HRESULT CTeskEnumDevices::CreateInstance(REFIID riid, void** ppv) {
  return tesk::win32::QueryNewObject(new (std::nothrow) CTeskEnumDevices(), riid, ppv);
}

CTeskEnumDevices::~CTeskEnumDevices() {
  for (ITeskEnumDevice* member : members_) member->Release();
}

// Members are created once, on the first Next; later registry changes are seen only by new
// enumerators.
void CTeskEnumDevices::ReadRegistry() {
  member_count_ = 0;
  position_ = 0;
  members_.clear();

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDevicesKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;

  for (DWORD index = 0;; ++index) {
    char name[kNameChars + 1];
    DWORD chars = kNameChars;
    if (RegEnumKeyExA(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;

    CLSID clsid;
    if (UuidFromStringA(reinterpret_cast<RPC_CSTR>(name), &clsid) != RPC_S_OK) continue;

    ITeskEnumDevice* member = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITeskEnumDevice,
                                reinterpret_cast<void**>(&member))) ||
        !member)
      continue;
    try {
      members_.push_back(member);
    } catch (const std::bad_alloc&) {
      member->Release();
      break;
    }
    ++member_count_;
  }
  RegCloseKey(key);
}

HRESULT CTeskEnumDevices::Next(ULONG celt, ITeskDevice** rgpDevice, ULONG* pceltFetched) {
  if (!rgpDevice || !pceltFetched) return E_INVALIDARG;
  if (member_count_ == -1) ReadRegistry();

  *pceltFetched = 0;
  ITeskEnumDevice* member = MemberAt(position_);
  while (member && *pceltFetched < celt) {
    ULONG fetched = 0;
    const HRESULT hr = member->Next(celt - *pceltFetched, rgpDevice + *pceltFetched, &fetched);
    if (FAILED(hr)) return hr;
    *pceltFetched += fetched;
    if (*pceltFetched < celt) member = MemberAt(++position_);
  }
  if (*pceltFetched == celt) return S_OK;

  Reset();
  return S_FALSE;
}

HRESULT CTeskEnumDevices::Skip(ULONG celt) {
  std::unique_ptr<ITeskDevice*[]> room(new (std::nothrow) ITeskDevice*[celt > 0 ? celt : 1]);
  if (!room) return E_OUTOFMEMORY;
  ULONG fetched = 0;
  const HRESULT hr = Next(celt, room.get(), &fetched);
  // A failing member leaves the devices of the members before it delivered; they are ours
  // to release too, or they would never be.
  for (ULONG i = 0; i < fetched && i < celt; ++i) room[i]->Release();
  return hr;
}

HRESULT CTeskEnumDevices::Reset() {
  position_ = 0;
  for (LONG i = 0; i < member_count_; ++i) {
    position_ = i;
    const HRESULT hr = members_[i]->Reset();
    if (FAILED(hr)) return hr;
  }
  position_ = 0;
  return S_OK;
}

// A clone starts at the beginning and makes its own members.
HRESULT CTeskEnumDevices::Clone(ITeskEnumDevice** ppEnum) {
  if (!ppEnum) return E_INVALIDARG;
  return CreateInstance(IID_ITeskEnumDevice, reinterpret_cast<void**>(ppEnum));
}

}  // namespace teskroot
