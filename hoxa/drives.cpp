// The drive letters of a player's storage: a walk of the subtree under the player's parent
// node, asking each node for its volume (NT family) or its assigned letters (Windows 98/Me).
#include <cstring>
#include <memory>
#include <new>

#include "module_state.h"

#include <tesk/win32/cfgmgr32.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winnls.h>
#include <tesk/win32/winreg.h>

using hoxa::State;

namespace {

// Room for 31 letters; more than 26 only when Windows 98/Me nodes repeat letters, and the
// surplus is dropped.
class GatheredLetters {
 public:
  void Append(const char* text, std::size_t count) {
    const std::size_t room = sizeof(text_) - 1 - length_;
    if (count > room) count = room;
    std::memcpy(text_ + length_, text, count);
    length_ += count;
    text_[length_] = '\0';
  }
  void Clear() {
    length_ = 0;
    text_[0] = '\0';
  }
  bool empty() const { return length_ == 0; }
  const char* c_str() const { return text_; }

 private:
  char text_[32] = {};
  std::size_t length_ = 0;
};

enum class Walk { kContinue, kStop };
using Visit = Walk (*)(DEVINST node, GatheredLetters& gathered);
using VolumeNameFn = BOOL(WINAPI*)(LPCSTR mountPoint, LPSTR volumeName, DWORD length);

// The volume path from an interface list, with exactly one trailing backslash: cut after the
// first backslash past the "\\?\" prefix, or one appended.
std::unique_ptr<char[]> MountPointOf(const char* interface_path) {
  const std::size_t length = std::strlen(interface_path);
  std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 3]());
  if (!copy) return nullptr;
  std::memcpy(copy.get(), interface_path, length);
  char* backslash = length > 4 ? std::strchr(copy.get() + 4, '\\') : nullptr;
  if (backslash)
    backslash[1] = '\0';
  else
    copy[length] = '\\';
  return copy;
}

Walk VisitNt(DEVINST node, GatheredLetters& gathered) {
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  auto volume_name_of =
      kernel ? tesk::win32::GetProcAddressAs<VolumeNameFn>(kernel, "GetVolumeNameForVolumeMountPointA")
             : nullptr;
  if (!volume_name_of) {
    gathered.Clear();
    return Walk::kStop;
  }

  char device_id[MAX_DEVICE_ID_LEN + 1];
  if (CM_Get_Device_ID_ExA(node, device_id, sizeof(device_id), 0, nullptr) != CR_SUCCESS)
    return Walk::kContinue;

  ULONG list_length = 0;
  if (CM_Get_Device_Interface_List_SizeA(&list_length, &GUID_DEVINTERFACE_VOLUME, device_id,
                                         CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS ||
      list_length <= 1)
    return Walk::kContinue;
  std::unique_ptr<char[]> list(new (std::nothrow) char[list_length]());
  if (!list || CM_Get_Device_Interface_ListA(&GUID_DEVINTERFACE_VOLUME, device_id, list.get(), list_length,
                                             CM_GET_DEVICE_INTERFACE_LIST_PRESENT) != CR_SUCCESS)
    return Walk::kContinue;
  list[list_length - 1] = '\0';

  // Only the first volume of the node counts.
  std::unique_ptr<char[]> mount_point = MountPointOf(list.get());
  if (!mount_point) return Walk::kContinue;
  char volume_name[MAX_PATH] = {};
  if (!volume_name_of(mount_point.get(), volume_name, sizeof(volume_name)) || volume_name[0] == '\0')
    return Walk::kContinue;

  char root[] = "A:\\";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    root[0] = letter;
    char letter_volume[MAX_PATH] = {};
    volume_name_of(root, letter_volume, sizeof(letter_volume));  // an empty name simply does not match
    if (lstrcmpiA(letter_volume, volume_name) == 0) {
      gathered.Append(&letter, 1);
      break;
    }
  }
  return Walk::kContinue;
}

Walk Visit9x(DEVINST node, GatheredLetters& gathered) {
  tesk::win32::RegKey key;
  if (CM_Open_DevNode_Key(node, KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, key.Put(),
                          CM_REGISTRY_HARDWARE) != CR_SUCCESS)
    return Walk::kContinue;
  BYTE letters[32] = {};
  DWORD size = sizeof(letters);
  const LONG result =
      RegQueryValueExA(key.Get(), "CurrentDriveLetterAssignment", nullptr, nullptr, letters, &size);
  key.Close();
  if (result == ERROR_SUCCESS && size != 0) {
    const char* text = reinterpret_cast<const char*>(letters);
    gathered.Append(text, strnlen(text, size));
  }
  return Walk::kContinue;
}

// Pre-order, depth first; false once a visit has stopped the walk.
bool WalkSubtree(DEVINST node, Visit visit, GatheredLetters& gathered) {
  if (visit(node, gathered) == Walk::kStop) return false;
  DEVINST child = 0;
  if (CM_Get_Child(&child, node, 0) != CR_SUCCESS) return true;
  for (;;) {
    if (!WalkSubtree(child, visit, gathered)) return false;
    DEVINST next = 0;
    if (CM_Get_Sibling(&next, child, 0) != CR_SUCCESS) return true;
    child = next;
  }
}

// The parent of the node that carries the player's interface; 0 when either is not found.
DEVINST PlayerParent(LPCSTR devicePath) {
  HDEVINFO set =
      SetupDiGetClassDevsA(&GUID_CLASS_HOXA_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return 0;
  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof(interface_data);
  SP_DEVINFO_DATA devinfo{};
  devinfo.cbSize = sizeof(devinfo);
  const BOOL opened = SetupDiOpenDeviceInterfaceA(set, devicePath, 0, &interface_data);
  // No detail buffer: the call reports it too small but fills the devinfo data all the same.
  if (opened) SetupDiGetDeviceInterfaceDetailA(set, &interface_data, nullptr, 0, nullptr, &devinfo);
  const DWORD error = GetLastError();
  SetupDiDestroyDeviceInfoList(set);
  SetLastError(error);
  if (!opened || devinfo.DevInst == 0) return 0;

  DEVINST parent = 0;
  if (CM_Get_Parent(&parent, devinfo.DevInst, 0) != CR_SUCCESS) return 0;
  return parent;
}

}  // namespace

extern "C" HOXA_API BOOL WINAPI Hoxa_GetLogicalDrives(LPCSTR devicePath, LPSTR buffer, DWORD bufferSize) {
  if (IsBadStringPtrA(devicePath, ~UINT_PTR{0}) || IsBadWritePtr(buffer, bufferSize) || bufferSize == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DEVINST parent = PlayerParent(devicePath);
  if (parent == 0) return FALSE;

  GatheredLetters gathered;
  const Visit visit = State().version.dwPlatformId == VER_PLATFORM_WIN32_NT ? VisitNt : Visit9x;
  WalkSubtree(parent, visit, gathered);
  if (gathered.empty()) return FALSE;
  hoxa::CopyCut(buffer, bufferSize, gathered.c_str());
  return TRUE;
}
