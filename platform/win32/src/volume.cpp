// Volume names. A volume of the device tree is named "\\?\Volume{GUID}\"; it is reached
// through its drive letter (the dosdevices/ link that points at its folder), through its
// interface's device path, or by that name itself.
#include <tesk/win32/fileapi.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <tesk/win32/devtree.h>
#include <tesk/win32/winbase.h>

#include "devtree_internal.h"
#include "devtree_store.h"
#include "internal.h"

namespace tesk::win32 {
namespace {

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The GUID text of the present volume behind a mount point, or the error to report.
DWORD FindVolume(const std::string& mount_point, std::string* guid_text) {
  devtree::Tree tree;
  if (const LONG rc = devtree::LoadTree(&tree); rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  const std::string body = mount_point.substr(0, mount_point.size() - 1);  // without the final '\'

  if (body.size() == 2 && IsLetter(body[0]) && body[1] == ':') {
    const std::string target = RealPath(devtree::LetterLink(body[0]));
    if (target.empty()) return ERROR_FILE_NOT_FOUND;
    for (const devtree::Node& node : tree.nodes) {
      if (!node.present || node.volume_guid.empty() || node.mount_folder.empty()) continue;
      if (RealPath(node.mount_folder) == target) {
        *guid_text = node.volume_guid;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;  // a letter, but of no volume the tree knows (C: is a folder)
  }

  if (body.rfind("\\\\?\\", 0) == 0 || body.rfind("\\\\.\\", 0) == 0) {
    const std::string path = devtree::NormalizeDevicePath(body);
    constexpr std::string_view kVolumePrefix = "\\\\?\\volume{";
    if (path.rfind(kVolumePrefix, 0) == 0) {
      const std::string wanted = path.substr(kVolumePrefix.size() - 1);
      for (const devtree::Node& node : tree.nodes) {
        if (node.present && node.volume_guid == wanted) {
          *guid_text = node.volume_guid;
          return ERROR_SUCCESS;
        }
      }
      return ERROR_FILE_NOT_FOUND;
    }
    const devtree::Interface* entry = tree.FindInterface(path);
    if (!entry || !tree.Present(*entry)) return ERROR_FILE_NOT_FOUND;
    const devtree::Node* node = tree.FindPresent(entry->instance);
    if (!node || node->volume_guid.empty()) return ERROR_FILE_NOT_FOUND;
    *guid_text = node->volume_guid;
    return ERROR_SUCCESS;
  }

  // A folder on a drive: mounted folders are not kept, so none is a mount point.
  if (body.size() > 3 && IsLetter(body[0]) && body[1] == ':' && body[2] == '\\') {
    return RealPath(devtree::LetterLink(body[0])).empty() ? ERROR_FILE_NOT_FOUND : ERROR_NOT_A_REPARSE_POINT;
  }
  return ERROR_INVALID_NAME;
}

}  // namespace
}  // namespace tesk::win32

using namespace tesk::win32;

extern "C" {

BOOL WINAPI GetVolumeNameForVolumeMountPointA(LPCSTR lpszVolumeMountPoint, LPSTR lpszVolumeName,
                                              DWORD cchBufferLength) {
  if (!lpszVolumeMountPoint || !lpszVolumeName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  try {
    const std::string mount_point = internal::AnsiToUtf8(lpszVolumeMountPoint);
    if (mount_point.size() < 2 || mount_point.back() != '\\') {
      SetLastError(ERROR_INVALID_NAME);
      return FALSE;
    }
    std::string guid_text;
    if (const DWORD error = FindVolume(mount_point, &guid_text); error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    const std::string name = "\\\\?\\Volume" + guid_text + "\\";
    if (cchBufferLength < name.size() + 1) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return FALSE;
    }
    std::memcpy(lpszVolumeName, name.c_str(), name.size() + 1);
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

}  // extern "C"
