// The device tree as the registry holds it (layout in tesk/win32/devtree.h), read into memory
// in one transaction, and the numbers (DEVINST) this process gives its nodes.
//
// Everything here is UTF-8 and runs no code-page conversion, so it may be used inside a
// registry transaction. Readers load a Tree and answer from it; writers (devtree.cpp) change
// the registry in one transaction and announce interfaces after it has committed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <tesk/win32/cfgmgr32.h>
#include <tesk/win32/types.h>

#include "registry_store.h"

namespace tesk::win32::devtree {

// Key paths below HKLM, as names.
inline constexpr std::string_view kEnumPath[] = {"System", "CurrentControlSet", "Enum"};
inline constexpr std::string_view kClassesPath[] = {"System", "CurrentControlSet", "Control",
                                                    "DeviceClasses"};
inline constexpr char kEnumKey[] = "System\\CurrentControlSet\\Enum";
inline constexpr char kHardwareKey[] = "Device Parameters";

// Value names. The first are Windows's own; those in the hardware key after them are ours.
inline constexpr char kParentValue[] = "Parent";
inline constexpr char kPresentValue[] = "Present";
inline constexpr char kFriendlyNameValue[] = "FriendlyName";
inline constexpr char kDeviceDescValue[] = "DeviceDesc";
inline constexpr char kHardwareIdValue[] = "HardwareID";
inline constexpr char kDeviceInstanceValue[] = "DeviceInstance";
inline constexpr char kSymbolicLinkValue[] = "SymbolicLink";
inline constexpr char kLinkedValue[] = "Linked";
// In "#\Control" beside "Linked": raised each time the interface is enabled, so that a handle
// opened before a device went and came back knows it is not the same attachment.
inline constexpr char kLinkGenerationValue[] = "LinkGeneration";
inline constexpr char kDriveLetterValue[] = "CurrentDriveLetterAssignment";
inline constexpr char kUsbBackendValue[] = "UsbBackend";
inline constexpr char kUsbArgumentValue[] = "UsbBackendArgument";
inline constexpr char kVolumeGuidValue[] = "VolumeGuid";
inline constexpr char kMountFolderValue[] = "MountFolder";
inline constexpr char kScanSignatureValue[] = "ScanSignature";

struct Node {
  std::string id;      // as stored: the three key names joined by '\'
  std::string folded;  // the form ids are compared in
  std::string parent;  // folded; empty for the root
  bool present = false;
  // From the hardware key.
  std::string usb_backend;
  std::string usb_argument;
  std::string volume_guid;  // "{...}" in lower case, volumes only
  std::string mount_folder;
  std::string scan_signature;
};

struct Interface {
  GUID interface_class{};
  std::string path;      // the symbolic link, lower case
  std::string instance;  // folded instance id of its node
  bool linked = false;
  DWORD generation = 0;
};

struct Tree {
  std::vector<Node> nodes;            // the root first, then in folded id order
  std::vector<Interface> interfaces;  // by class key, then interface key, in registry order

  const Node* Find(std::string_view folded) const;
  const Node* FindPresent(std::string_view folded) const;
  // Present children, in folded id order.
  std::vector<const Node*> Children(std::string_view folded) const;
  // Present nodes of a subtree in pre-order, the node itself first.
  std::vector<const Node*> Subtree(std::string_view folded) const;
  bool Present(const Interface& i) const;
  // An interface by its device path (either case, "\\?\" or "\\.\"); null when unknown.
  const Interface* FindInterface(std::string_view path) const;
};

// Reads the whole tree in one registry transaction.
LONG LoadTree(Tree* tree);
// The same, inside a transaction already under way.
void LoadTree(registry::Txn& txn, Tree* tree);

std::string Fold(std::string_view id);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, and back (either case, braces
// required).
std::string GuidText(REFGUID guid);
bool ParseGuid(std::string_view text, GUID* guid);

// Instance ids as the tree accepts them: three non-empty parts, printable ASCII without
// '#' or '/', at most MAX_DEVICE_ID_LEN characters. The root's id is valid too.
bool ValidInstanceId(std::string_view id);

// Interface key name below DeviceClasses\{class}, and the device path.
std::string InterfaceKeyName(std::string_view instance_id, REFGUID interface_class);
std::string InterfacePath(std::string_view instance_id, REFGUID interface_class);
// A device path in the form interfaces are compared by: lower case, "\\?\" prefix.
std::string NormalizeDevicePath(std::string_view path);

// This process's numbers for nodes: small, non-zero, stable for the life of the process; the
// root is 1. A number names an instance id whether or not the node is present now.
DEVINST DevInstFor(std::string_view folded);
// The folded id behind a number; false for 0 and numbers never given out.
bool IdForDevInst(DEVINST devinst, std::string* folded);

// Small registry helpers for transactions.
std::string ReadString(registry::Txn& txn, std::int64_t key, std::string_view name);
bool ReadDword(registry::Txn& txn, std::int64_t key, std::string_view name, DWORD* value);
void WriteString(registry::Txn& txn, std::int64_t key, std::string_view name, std::string_view value);
void WriteMultiString(registry::Txn& txn, std::int64_t key, std::string_view name,
                      const std::vector<std::string>& values);
void WriteDword(registry::Txn& txn, std::int64_t key, std::string_view name, DWORD value);
// Follows (creating when `create`) names below a key; false when one is missing.
bool WalkNames(registry::Txn& txn, std::int64_t from, const std::vector<std::string_view>& names, bool create,
               std::int64_t* id);
std::int64_t LocalMachine(registry::Txn& txn);
// The node's key (split from its id).
bool NodeKey(registry::Txn& txn, std::string_view instance_id, bool create, std::int64_t* id);

}  // namespace tesk::win32::devtree
