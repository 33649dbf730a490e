// SetupAPI's device information sets of device interfaces, over the device tree.
//
// A set is a snapshot: the interfaces it holds are those of the tree when it was made (or
// opened into it later). HDEVINFO values are checked against the sets this process holds,
// so a stale or made-up one fails with ERROR_INVALID_HANDLE instead of being followed.
#include <tesk/win32/setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include <tesk/win32/winbase.h>

#include "devtree_internal.h"
#include "devtree_store.h"
#include "internal.h"

namespace tesk::win32 {
namespace {

struct Member {
  GUID interface_class{};
  std::string path;
  std::string instance;  // folded
  bool active = false;
};

struct InfoSet {
  std::mutex mutex;
  std::vector<Member> members;
};

struct SetTable {
  std::mutex mutex;
  std::map<HDEVINFO, std::shared_ptr<InfoSet>> sets;
};

SetTable& Sets() {
  static SetTable* table = new SetTable;  // never destroyed: sets may outlive static teardown
  return *table;
}

std::shared_ptr<InfoSet> FindSet(HDEVINFO handle) {
  SetTable& table = Sets();
  std::lock_guard lock(table.mutex);
  const auto it = table.sets.find(handle);
  return it == table.sets.end() ? nullptr : it->second;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The member an SP_DEVICE_INTERFACE_DATA names: Reserved holds its index + 1.
const Member* MemberOf(const InfoSet& set, const SP_DEVICE_INTERFACE_DATA& data) {
  if (data.Reserved == 0 || data.Reserved > set.members.size()) return nullptr;
  return &set.members[data.Reserved - 1];
}

void FillInterfaceData(const Member& member, std::size_t index, SP_DEVICE_INTERFACE_DATA* data) {
  data->InterfaceClassGuid = member.interface_class;
  data->Flags = member.active ? SPINT_ACTIVE : 0;
  data->Reserved = index + 1;
}

void FillDevinfoData(const Member& member, SP_DEVINFO_DATA* data) {
  data->ClassGuid = GUID{};
  data->DevInst = devtree::DevInstFor(member.instance);
  data->Reserved = 0;
}

bool EnumeratorMatches(std::string_view enumerator, const std::string& instance) {
  const std::string wanted = devtree::Fold(enumerator);
  // A full instance id names one device; a bare enumerator names its devices.
  if (wanted.find('\\') != std::string::npos) return instance == wanted;
  return instance.size() > wanted.size() && instance.compare(0, wanted.size(), wanted) == 0 &&
         instance[wanted.size()] == '\\';
}

}  // namespace
}  // namespace tesk::win32

using namespace tesk::win32;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND /*hwndParent*/,
                                     DWORD Flags) {
  if (Flags & ~(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  try {
    auto set = std::make_shared<InfoSet>();
    // Device setup classes are not kept: without DIGCF_DEVICEINTERFACE the set is empty.
    if (Flags & DIGCF_DEVICEINTERFACE) {
      devtree::Tree tree;
      if (const LONG rc = devtree::ScanAndLoadTree(&tree); rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return INVALID_HANDLE_VALUE;
      }
      for (const devtree::Interface& entry : tree.interfaces) {
        if (!(Flags & DIGCF_ALLCLASSES) && !(entry.interface_class == *ClassGuid)) continue;
        const bool active = tree.Present(entry);
        if ((Flags & DIGCF_PRESENT) && !active) continue;
        if (!tree.Find(entry.instance)) continue;
        if (Enumerator && *Enumerator && !EnumeratorMatches(Enumerator, entry.instance)) continue;
        set->members.push_back({entry.interface_class, entry.path, entry.instance, active});
      }
    }
    SetTable& table = Sets();
    std::lock_guard lock(table.mutex);
    const HDEVINFO handle = set.get();
    table.sets.emplace(handle, std::move(set));
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  std::shared_ptr<InfoSet> set;
  {
    SetTable& table = Sets();
    std::lock_guard lock(table.mutex);
    const auto it = table.sets.find(DeviceInfoSet);
    if (it == table.sets.end()) return Fail(ERROR_INVALID_HANDLE);
    set = std::move(it->second);
    table.sets.erase(it);
  }
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  const auto set = FindSet(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (!InterfaceClassGuid) return Fail(ERROR_INVALID_PARAMETER);
  if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  std::string device;
  if (DeviceInfoData && !devtree::IdForDevInst(DeviceInfoData->DevInst, &device))
    return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(set->mutex);
  DWORD seen = 0;
  for (std::size_t i = 0; i < set->members.size(); ++i) {
    const Member& member = set->members[i];
    if (!(member.interface_class == *InterfaceClassGuid)) continue;
    if (DeviceInfoData && member.instance != device) continue;
    if (seen++ == MemberIndex) {
      FillInterfaceData(member, i, DeviceInterfaceData);
      return TRUE;
    }
  }
  return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                             PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
  const auto set = FindSet(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (DeviceInterfaceDetailData) {
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
      return Fail(ERROR_INVALID_USER_BUFFER);
  } else if (DeviceInterfaceDetailDataSize != 0) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  std::lock_guard lock(set->mutex);
  const Member* member = MemberOf(*set, *DeviceInterfaceData);
  if (!member) return Fail(ERROR_INVALID_PARAMETER);

  const auto required =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + member->path.size() + 1);
  if (RequiredSize) *RequiredSize = required;
  // The device's data is given even when the detail does not fit: callers ask for it alone.
  if (DeviceInfoData) FillDevinfoData(*member, DeviceInfoData);
  if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < required)
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInterfaceDetailData->DevicePath, member->path.c_str(), member->path.size() + 1);
  return TRUE;
}

BOOL WINAPI SetupDiOpenDeviceInterfaceA(HDEVINFO DeviceInfoSet, LPCSTR DevicePath, DWORD OpenFlags,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  const auto set = FindSet(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (OpenFlags & ~DIODI_NO_ADD) return Fail(ERROR_INVALID_FLAGS);
  if (!DevicePath) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData && DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  try {
    const std::string path = devtree::NormalizeDevicePath(internal::AnsiToUtf8(DevicePath));
    {
      std::lock_guard lock(set->mutex);
      for (std::size_t i = 0; i < set->members.size(); ++i) {
        if (set->members[i].path != path) continue;
        if (DeviceInterfaceData) FillInterfaceData(set->members[i], i, DeviceInterfaceData);
        return TRUE;
      }
    }
    if (OpenFlags & DIODI_NO_ADD) return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    devtree::Tree tree;
    if (const LONG rc = devtree::LoadTree(&tree); rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
    const devtree::Interface* entry = tree.FindInterface(path);
    if (!entry || !tree.Find(entry->instance)) return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    std::lock_guard lock(set->mutex);
    set->members.push_back({entry->interface_class, entry->path, entry->instance, tree.Present(*entry)});
    if (DeviceInterfaceData)
      FillInterfaceData(set->members.back(), set->members.size() - 1, DeviceInterfaceData);
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

}  // extern "C"
