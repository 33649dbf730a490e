// Filling the device tree: nodes, interfaces (announced to every process of the prefix),
// volumes with their drive letters, and removal of whole subtrees.
#include <tesk/win32/devtree.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <new>
#include <utility>

#include <tesk/win32/objbase.h>
#include <tesk/win32/prefix.h>

#include "device_notify.h"
#include "devtree_internal.h"
#include "devtree_store.h"
#include "registry_store.h"

namespace tesk::win32 {
namespace {

using devtree::Fold;
using registry::Txn;

struct Notice {
  GUID interface_class;
  std::string path;
};

DWORD Fail(DWORD code, const std::string& text, std::string* error) {
  if (error) *error = text;
  return code;
}

// A registry failure, named after the call that met it.
DWORD RegistryFailure(LONG rc, const char* what, std::string* error) {
  return Fail(static_cast<DWORD>(rc),
              std::string(what) + ": the registry failed (error " + std::to_string(rc) + ")", error);
}

DWORD CheckId(const std::string& id, const char* role, std::string* error) {
  if (devtree::ValidInstanceId(id)) return ERROR_SUCCESS;
  return Fail(
      ERROR_INVALID_PARAMETER,
      std::string("\"") + id + "\" is not a valid " + role +
          " instance id (enumerator\\device\\instance, printable ASCII without '#', '/' or ',', at most "
          "200 characters)",
      error);
}

// The root's key, so that the tree reads in the registry as it does on Windows.
void EnsureRoot(Txn& txn) {
  std::int64_t root = 0;
  devtree::NodeKey(txn, kRootInstanceId, true, &root);
  devtree::WriteDword(txn, root, devtree::kPresentValue, 1);
}

// Writes a node's values (a phantom's old ones replaced) and returns its hardware key.
std::int64_t WriteNode(Txn& txn, const DeviceNodeInfo& info, const std::string& parent_id) {
  std::int64_t key = 0;
  devtree::NodeKey(txn, info.instance_id, true, &key);
  devtree::WriteString(txn, key, devtree::kParentValue, parent_id);
  devtree::WriteDword(txn, key, devtree::kPresentValue, 1);
  const auto string_or_none = [&](const char* name, const std::string& value) {
    if (value.empty())
      txn.DeleteValue(key, registry::Fold(name));
    else
      devtree::WriteString(txn, key, name, value);
  };
  string_or_none(devtree::kFriendlyNameValue, info.friendly_name);
  string_or_none(devtree::kDeviceDescValue, info.description);
  if (info.hardware_ids.empty())
    txn.DeleteValue(key, registry::Fold(devtree::kHardwareIdValue));
  else
    devtree::WriteMultiString(txn, key, devtree::kHardwareIdValue, info.hardware_ids);

  std::int64_t params = 0;
  devtree::WalkNames(txn, key, {devtree::kHardwareKey}, true, &params);
  for (const char* name : {devtree::kUsbBackendValue, devtree::kUsbArgumentValue, devtree::kMountFolderValue,
                           devtree::kScanSignatureValue, devtree::kDriveLetterValue}) {
    txn.DeleteValue(params, registry::Fold(name));
  }
  if (!info.usb_access.backend.empty()) {
    devtree::WriteString(txn, params, devtree::kUsbBackendValue, info.usb_access.backend);
    devtree::WriteString(txn, params, devtree::kUsbArgumentValue, info.usb_access.argument);
  }
  return params;
}

// Checks that the node may be added: a present parent, the node itself not present.
DWORD CheckAdd(const devtree::Tree& tree, const std::string& id, const std::string& parent_id,
               std::string* error) {
  if (tree.FindPresent(Fold(id)))
    return Fail(ERROR_ALREADY_EXISTS, "device " + id + " is in the device tree already", error);
  if (!tree.FindPresent(Fold(parent_id)))
    return Fail(ERROR_NO_SUCH_DEVINST, "the parent device " + parent_id + " of " + id + " is not present",
                error);
  return ERROR_SUCCESS;
}

// Enables an interface; false when it is enabled already.
bool LinkInterface(Txn& txn, const devtree::Tree& tree, const std::string& instance_id,
                   REFGUID interface_class, std::string* path) {
  *path = devtree::InterfacePath(instance_id, interface_class);
  const devtree::Interface* existing = tree.FindInterface(*path);
  if (existing && existing->linked) return false;
  std::int64_t key = 0;
  devtree::WalkNames(
      txn, devtree::LocalMachine(txn),
      {"System", "CurrentControlSet", "Control", "DeviceClasses", devtree::GuidText(interface_class),
       devtree::InterfaceKeyName(instance_id, interface_class)},
      true, &key);
  devtree::WriteString(txn, key, devtree::kDeviceInstanceValue, instance_id);
  std::int64_t link = 0;
  devtree::WalkNames(txn, key, {"#"}, true, &link);
  devtree::WriteString(txn, link, devtree::kSymbolicLinkValue, *path);
  std::int64_t control = 0;
  devtree::WalkNames(txn, link, {"Control"}, true, &control);
  devtree::WriteDword(txn, control, devtree::kLinkedValue, 1);
  devtree::WriteDword(txn, control, devtree::kLinkGenerationValue, existing ? existing->generation + 1 : 1);
  return true;
}

// The key of an interface's "#\Control", when the interface exists.
bool InterfaceControlKey(Txn& txn, const std::string& instance_id, REFGUID interface_class,
                         std::int64_t* key) {
  return devtree::WalkNames(
      txn, devtree::LocalMachine(txn),
      {"System", "CurrentControlSet", "Control", "DeviceClasses", devtree::GuidText(interface_class),
       devtree::InterfaceKeyName(instance_id, interface_class), "#", "Control"},
      false, key);
}

void Announce(const std::vector<Notice>& notices, bool arrival) {
  for (const Notice& notice : notices)
    internal::BroadcastDeviceInterfaceChange(notice.interface_class, notice.path, arrival);
}

std::string VolumeName(const std::string& guid_text) {
  return "\\\\?\\Volume" + guid_text + "\\";
}

char UpperLetter(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  return c >= 'A' && c <= 'Z' ? c : 0;
}

}  // namespace

std::string DeviceInterfacePath(const std::string& instance_id, REFGUID interface_class) {
  return devtree::InterfacePath(instance_id, interface_class);
}

DWORD AddDeviceNode(const DeviceNodeInfo& node, std::string* error) {
  return devtree::AddNode(node, std::string(), error);
}

DWORD AddDeviceInterface(const std::string& instance_id, REFGUID interface_class, std::string* device_path,
                         std::string* error) {
  try {
    if (const DWORD rc = CheckId(instance_id, "device", error)) return rc;
    DWORD refused = ERROR_SUCCESS;
    std::string path;
    const LONG rc = registry::Transact(registry::Mode::kWrite, [&](Txn& txn) -> LONG {
      devtree::Tree tree;
      devtree::LoadTree(txn, &tree);
      const devtree::Node* node = tree.FindPresent(Fold(instance_id));
      if (!node) {
        refused = Fail(ERROR_NO_SUCH_DEVINST, "device " + instance_id + " is not present", error);
      } else if (!LinkInterface(txn, tree, node->id, interface_class, &path)) {
        refused = Fail(ERROR_ALREADY_EXISTS, "interface " + path + " is enabled already", error);
      }
      return static_cast<LONG>(refused);
    });
    if (refused) return refused;
    if (rc != ERROR_SUCCESS)
      return RegistryFailure(rc, ("adding an interface to " + instance_id).c_str(), error);
    if (device_path) *device_path = path;
    Announce({{interface_class, path}}, true);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, "out of memory", error);
  }
}

DWORD RemoveDeviceInterface(const std::string& instance_id, REFGUID interface_class, std::string* error) {
  try {
    if (const DWORD rc = CheckId(instance_id, "device", error)) return rc;
    DWORD refused = ERROR_SUCCESS;
    const std::string path = devtree::InterfacePath(instance_id, interface_class);
    const LONG rc = registry::Transact(registry::Mode::kWrite, [&](Txn& txn) -> LONG {
      devtree::Tree tree;
      devtree::LoadTree(txn, &tree);
      const devtree::Interface* entry = tree.FindInterface(path);
      std::int64_t control = 0;
      if (!entry || !entry->linked || !InterfaceControlKey(txn, instance_id, interface_class, &control)) {
        refused = Fail(ERROR_NOT_FOUND, "interface " + path + " is not enabled", error);
        return static_cast<LONG>(refused);
      }
      devtree::WriteDword(txn, control, devtree::kLinkedValue, 0);
      return ERROR_SUCCESS;
    });
    if (refused) return refused;
    if (rc != ERROR_SUCCESS) return RegistryFailure(rc, ("removing interface " + path).c_str(), error);
    Announce({{interface_class, path}}, false);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, "out of memory", error);
  }
}

DWORD AddVolume(const VolumeNodeInfo& volume, VolumeInfo* info, std::string* error) {
  try {
    const std::string parent_id = volume.parent_id.empty() ? std::string(kRootInstanceId) : volume.parent_id;
    if (const DWORD rc = CheckId(volume.instance_id, "volume", error)) return rc;
    if (const DWORD rc = CheckId(parent_id, "parent", error)) return rc;
    if (volume.drive_letter && !UpperLetter(volume.drive_letter))
      return Fail(ERROR_INVALID_PARAMETER, std::string("'") + volume.drive_letter + "' is not a drive letter",
                  error);

    std::string folder;
    if (!volume.folder.empty()) {
      std::error_code ec;
      folder = std::filesystem::absolute(volume.folder, ec).lexically_normal().string();
      struct stat st {};
      if (ec || stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fail(ERROR_PATH_NOT_FOUND, "the volume's folder " + volume.folder + " is not a folder", error);
      if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    }

    // The letter first: the link is what makes it taken, for every process at once.
    char letter = 0;
    if (!folder.empty()) {
      if (volume.drive_letter) {
        letter = UpperLetter(volume.drive_letter);
        if (!devtree::ClaimLetter(letter, folder))
          return Fail(ERROR_ALREADY_EXISTS, std::string("drive ") + letter + ": is taken", error);
      } else {
        for (char c = 'E'; c <= 'Z' && !letter; ++c)
          if (devtree::ClaimLetter(c, folder)) letter = c;
      }
    }

    GUID fresh = volume.volume_guid;
    if (fresh == GUID{} && FAILED(CoCreateGuid(&fresh))) {
      if (letter) devtree::ReleaseLetter(letter, folder);
      return Fail(ERROR_GEN_FAILURE, "cannot make a volume GUID", error);
    }

    DWORD refused = ERROR_SUCCESS;
    std::string path;
    std::string guid_text;
    const LONG rc = registry::Transact(registry::Mode::kWrite, [&](Txn& txn) -> LONG {
      devtree::Tree tree;
      devtree::LoadTree(txn, &tree);
      refused = CheckAdd(tree, volume.instance_id, parent_id, error);
      if (refused) return static_cast<LONG>(refused);
      // A volume that comes back keeps its name, as the mount manager keeps it on Windows.
      const devtree::Node* phantom = tree.Find(Fold(volume.instance_id));
      guid_text = volume.volume_guid == GUID{} && phantom && !phantom->volume_guid.empty()
                      ? phantom->volume_guid
                      : devtree::GuidText(fresh);
      EnsureRoot(txn);
      DeviceNodeInfo node;
      node.instance_id = volume.instance_id;
      node.friendly_name = volume.friendly_name;
      node.description = "Generic volume";
      node.hardware_ids = {"STORAGE\\Volume"};
      const std::int64_t params = WriteNode(txn, node, parent_id);
      devtree::WriteString(txn, params, devtree::kVolumeGuidValue, guid_text);
      if (!folder.empty()) devtree::WriteString(txn, params, devtree::kMountFolderValue, folder);
      if (letter) devtree::WriteString(txn, params, devtree::kDriveLetterValue, std::string(1, letter));
      LinkInterface(txn, tree, volume.instance_id, GUID_DEVINTERFACE_VOLUME, &path);
      return ERROR_SUCCESS;
    });
    if (refused || rc != ERROR_SUCCESS) {
      if (letter) devtree::ReleaseLetter(letter, folder);
      if (refused) return refused;
      return RegistryFailure(rc, ("adding volume " + volume.instance_id).c_str(), error);
    }
    if (info) {
      info->volume_name = VolumeName(guid_text);
      info->device_path = path;
      info->drive_letter = letter;
    }
    Announce({{GUID_DEVINTERFACE_VOLUME, path}}, true);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, "out of memory", error);
  }
}

DWORD RemoveDevice(const std::string& instance_id, std::string* error) {
  try {
    if (const DWORD rc = CheckId(instance_id, "device", error)) return rc;
    if (Fold(instance_id) == Fold(kRootInstanceId))
      return Fail(ERROR_INVALID_PARAMETER, "the root of the device tree cannot be removed", error);
    DWORD refused = ERROR_SUCCESS;
    std::vector<Notice> notices;
    std::vector<std::pair<char, std::string>> letters;
    const LONG rc = registry::Transact(registry::Mode::kWrite, [&](Txn& txn) -> LONG {
      notices.clear();
      letters.clear();
      devtree::Tree tree;
      devtree::LoadTree(txn, &tree);
      const std::vector<const devtree::Node*> subtree = tree.Subtree(Fold(instance_id));
      if (subtree.empty()) {
        refused = Fail(ERROR_NO_SUCH_DEVINST, "device " + instance_id + " is not present", error);
        return static_cast<LONG>(refused);
      }
      // Deepest first: a node's children go before it.
      for (auto it = subtree.rbegin(); it != subtree.rend(); ++it) {
        const devtree::Node& node = **it;
        for (const devtree::Interface& entry : tree.interfaces) {
          std::int64_t control = 0;
          if (entry.instance != node.folded || !entry.linked ||
              !InterfaceControlKey(txn, node.id, entry.interface_class, &control)) {
            continue;
          }
          devtree::WriteDword(txn, control, devtree::kLinkedValue, 0);
          notices.push_back({entry.interface_class, entry.path});
        }
        std::int64_t key = 0;
        devtree::NodeKey(txn, node.id, false, &key);
        devtree::WriteDword(txn, key, devtree::kPresentValue, 0);
        std::int64_t params = 0;
        if (devtree::WalkNames(txn, key, {devtree::kHardwareKey}, false, &params)) {
          const std::string assigned = devtree::ReadString(txn, params, devtree::kDriveLetterValue);
          for (const char c : assigned)
            if (UpperLetter(c) && !node.mount_folder.empty())
              letters.emplace_back(UpperLetter(c), node.mount_folder);
          txn.DeleteValue(params, registry::Fold(devtree::kDriveLetterValue));
        }
      }
      return ERROR_SUCCESS;
    });
    if (refused) return refused;
    if (rc != ERROR_SUCCESS) return RegistryFailure(rc, ("removing device " + instance_id).c_str(), error);
    for (const auto& [letter, folder] : letters) devtree::ReleaseLetter(letter, folder);
    Announce(notices, false);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, "out of memory", error);
  }
}

bool DeviceIsPresent(const std::string& instance_id) {
  try {
    devtree::Tree tree;
    return devtree::LoadTree(&tree) == ERROR_SUCCESS && tree.FindPresent(Fold(instance_id)) != nullptr;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

namespace devtree {

DWORD AddNode(const DeviceNodeInfo& node, const std::string& scan_signature, std::string* error) {
  try {
    const std::string parent_id = node.parent_id.empty() ? std::string(kRootInstanceId) : node.parent_id;
    if (const DWORD rc = CheckId(node.instance_id, "device", error)) return rc;
    if (const DWORD rc = CheckId(parent_id, "parent", error)) return rc;
    DWORD refused = ERROR_SUCCESS;
    const LONG rc = registry::Transact(registry::Mode::kWrite, [&](Txn& txn) -> LONG {
      Tree tree;
      LoadTree(txn, &tree);
      refused = CheckAdd(tree, node.instance_id, parent_id, error);
      if (refused) return static_cast<LONG>(refused);
      EnsureRoot(txn);
      const std::int64_t params = WriteNode(txn, node, parent_id);
      if (!scan_signature.empty()) WriteString(txn, params, kScanSignatureValue, scan_signature);
      return ERROR_SUCCESS;
    });
    if (refused) return refused;
    if (rc != ERROR_SUCCESS) return RegistryFailure(rc, ("adding device " + node.instance_id).c_str(), error);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY, "out of memory", error);
  }
}

std::string DosDevicesFolder() {
  const std::string folder = PrefixPath() + "/dosdevices";
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) EnsurePrefix();
  return folder;
}

std::string LetterLink(char letter) {
  const char lower = static_cast<char>(UpperLetter(letter) - 'A' + 'a');
  return DosDevicesFolder() + "/" + lower + ":";
}

bool ClaimLetter(char letter, const std::string& folder) {
  return symlink(folder.c_str(), LetterLink(letter).c_str()) == 0;
}

void ReleaseLetter(char letter, const std::string& folder) {
  const std::string link = LetterLink(letter);
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(link, ec);
  if (!ec && target == std::filesystem::path(folder)) unlink(link.c_str());
}

std::string LockFolder() {
  const std::string runtime = RuntimePath();
  const std::string folder = runtime + "/devices";
  mkdir(runtime.c_str(), 0700);
  mkdir(folder.c_str(), 0700);
  return folder;
}

}  // namespace devtree
}  // namespace tesk::win32
