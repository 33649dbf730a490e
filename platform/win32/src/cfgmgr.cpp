// The configuration manager's calls: walking the device tree, device ids, interface lists and
// a node's hardware key.
#include <tesk/win32/cfgmgr32.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <tesk/win32/devtree.h>
#include <tesk/win32/winreg.h>

#include "devtree_store.h"

namespace tesk::win32 {
namespace {

// The present node a number names, with the tree it was found in.
CONFIGRET PresentNode(DEVINST devinst, devtree::Tree* tree, const devtree::Node** node) {
  std::string id;
  if (!devtree::IdForDevInst(devinst, &id)) return CR_INVALID_DEVNODE;
  if (devtree::LoadTree(tree) != ERROR_SUCCESS) return CR_REGISTRY_ERROR;
  *node = tree->FindPresent(id);
  return *node ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
}

template <class Body>
CONFIGRET Guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return CR_OUT_OF_MEMORY;
  }
}

// The interface paths of a class, of one device (pDeviceID) or of all.
CONFIGRET InterfaceList(const GUID& interface_class, const char* device_id, ULONG flags, std::string* list) {
  if (flags & ~CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) return CR_INVALID_FLAG;
  devtree::Tree tree;
  if (devtree::LoadTree(&tree) != ERROR_SUCCESS) return CR_REGISTRY_ERROR;
  std::string device;
  if (device_id && *device_id) {
    if (!devtree::ValidInstanceId(device_id)) return CR_INVALID_DEVICE_ID;
    device = devtree::Fold(device_id);
    if (!tree.Find(device)) return CR_NO_SUCH_DEVNODE;
  }
  list->clear();
  for (const devtree::Interface& entry : tree.interfaces) {
    if (!(entry.interface_class == interface_class)) continue;
    if (!device.empty() && entry.instance != device) continue;
    if (!(flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) && !tree.Present(entry)) continue;
    *list += entry.path;
    list->push_back('\0');
  }
  list->push_back('\0');  // the list's own terminator: an empty list is this alone
  return CR_SUCCESS;
}

}  // namespace
}  // namespace tesk::win32

using namespace tesk::win32;

extern "C" {

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags) return CR_INVALID_FLAG;
  return Guarded([&]() -> CONFIGRET {
    devtree::Tree tree;
    const devtree::Node* node = nullptr;
    if (const CONFIGRET cr = PresentNode(dnDevInst, &tree, &node); cr != CR_SUCCESS) return cr;
    const devtree::Node* parent = node->parent.empty() ? nullptr : tree.FindPresent(node->parent);
    if (!parent) return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = devtree::DevInstFor(parent->folded);
    return CR_SUCCESS;
  });
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags) return CR_INVALID_FLAG;
  return Guarded([&]() -> CONFIGRET {
    devtree::Tree tree;
    const devtree::Node* node = nullptr;
    if (const CONFIGRET cr = PresentNode(dnDevInst, &tree, &node); cr != CR_SUCCESS) return cr;
    const std::vector<const devtree::Node*> children = tree.Children(node->folded);
    if (children.empty()) return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = devtree::DevInstFor(children.front()->folded);
    return CR_SUCCESS;
  });
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags) return CR_INVALID_FLAG;
  return Guarded([&]() -> CONFIGRET {
    devtree::Tree tree;
    const devtree::Node* node = nullptr;
    if (const CONFIGRET cr = PresentNode(dnDevInst, &tree, &node); cr != CR_SUCCESS) return cr;
    if (node->parent.empty()) return CR_NO_SUCH_DEVNODE;  // the root has no siblings
    const std::vector<const devtree::Node*> siblings = tree.Children(node->parent);
    for (std::size_t i = 0; i + 1 < siblings.size(); ++i) {
      if (siblings[i] != node) continue;
      *pdnDevInst = devtree::DevInstFor(siblings[i + 1]->folded);
      return CR_SUCCESS;
    }
    return CR_NO_SUCH_DEVNODE;
  });
}

CONFIGRET WINAPI CM_Get_Device_ID_ExA(DEVINST dnDevInst, LPSTR Buffer, ULONG BufferLen, ULONG ulFlags,
                                      HMACHINE hMachine) {
  if (!Buffer || BufferLen == 0) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  if (hMachine) return CR_INVALID_POINTER;  // no remote machines: no handle can name one
  return Guarded([&]() -> CONFIGRET {
    std::string folded;
    if (!devtree::IdForDevInst(dnDevInst, &folded)) return CR_INVALID_DEVNODE;
    devtree::Tree tree;
    if (devtree::LoadTree(&tree) != ERROR_SUCCESS) return CR_REGISTRY_ERROR;
    // Phantoms have ids too; only a node the registry has lost entirely has none.
    const devtree::Node* node = tree.Find(folded);
    if (!node) return CR_NO_SUCH_DEVNODE;
    const std::string& id = node->id;
    // As on Windows: what fits is copied; a buffer of exactly the id's length gets the id
    // without a terminator and the call succeeds.
    if (BufferLen < id.size()) {
      std::memcpy(Buffer, id.data(), BufferLen);
      return CR_BUFFER_SMALL;
    }
    std::memcpy(Buffer, id.data(), id.size());
    if (BufferLen > id.size()) Buffer[id.size()] = '\0';
    return CR_SUCCESS;
  });
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, LPSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  return CM_Get_Device_ID_ExA(dnDevInst, Buffer, BufferLen, ulFlags, nullptr);
}

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags & ~CM_LOCATE_DEVNODE_PHANTOM) return CR_INVALID_FLAG;
  return Guarded([&]() -> CONFIGRET {
    if (!pDeviceID || !*pDeviceID) {
      *pdnDevInst = devtree::DevInstFor(devtree::Fold(tesk::win32::kRootInstanceId));
      return CR_SUCCESS;
    }
    if (!devtree::ValidInstanceId(pDeviceID)) return CR_INVALID_DEVICE_ID;
    devtree::Tree tree;
    if (devtree::LoadTree(&tree) != ERROR_SUCCESS) return CR_REGISTRY_ERROR;
    const std::string folded = devtree::Fold(pDeviceID);
    const devtree::Node* node =
        (ulFlags & CM_LOCATE_DEVNODE_PHANTOM) ? tree.Find(folded) : tree.FindPresent(folded);
    if (!node) return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = devtree::DevInstFor(node->folded);
    return CR_SUCCESS;
  });
}

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeA(PULONG pulLen, const GUID* InterfaceClassGuid,
                                                    DEVINSTID_A pDeviceID, ULONG ulFlags) {
  if (!pulLen || !InterfaceClassGuid) return CR_INVALID_POINTER;
  *pulLen = 0;
  return Guarded([&]() -> CONFIGRET {
    std::string list;
    if (const CONFIGRET cr = InterfaceList(*InterfaceClassGuid, pDeviceID, ulFlags, &list); cr != CR_SUCCESS)
      return cr;
    *pulLen = static_cast<ULONG>(list.size());
    return CR_SUCCESS;
  });
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListA(const GUID* InterfaceClassGuid, DEVINSTID_A pDeviceID,
                                               PCHAR Buffer, ULONG BufferLen, ULONG ulFlags) {
  if (!InterfaceClassGuid || !Buffer) return CR_INVALID_POINTER;
  return Guarded([&]() -> CONFIGRET {
    std::string list;
    if (const CONFIGRET cr = InterfaceList(*InterfaceClassGuid, pDeviceID, ulFlags, &list); cr != CR_SUCCESS)
      return cr;
    if (BufferLen < list.size()) {
      if (BufferLen) Buffer[0] = '\0';
      return CR_BUFFER_SMALL;
    }
    std::memcpy(Buffer, list.data(), list.size());
    return CR_SUCCESS;
  });
}

CONFIGRET WINAPI CM_Open_DevNode_Key(DEVINST dnDevNode, REGSAM samDesired, ULONG /*ulHardwareProfile*/,
                                     REGDISPOSITION Disposition, HKEY* phkDevice, ULONG ulFlags) {
  if (!phkDevice) return CR_INVALID_POINTER;
  *phkDevice = nullptr;
  if (ulFlags & ~CM_REGISTRY_SOFTWARE) return CR_INVALID_FLAG;
  if (Disposition != RegDisposition_OpenAlways && Disposition != RegDisposition_OpenExisting)
    return CR_INVALID_DATA;
  return Guarded([&]() -> CONFIGRET {
    std::string folded;
    if (!devtree::IdForDevInst(dnDevNode, &folded)) return CR_INVALID_DEVNODE;
    devtree::Tree tree;
    if (devtree::LoadTree(&tree) != ERROR_SUCCESS) return CR_REGISTRY_ERROR;
    const devtree::Node* node = tree.Find(folded);
    if (!node) return CR_NO_SUCH_DEVNODE;
    // Nodes have no driver (software) keys here.
    if (ulFlags & CM_REGISTRY_SOFTWARE) return CR_NO_SUCH_REGISTRY_KEY;
    const std::string path = std::string(devtree::kEnumKey) + "\\" + node->id + "\\" + devtree::kHardwareKey;
    HKEY key = nullptr;
    const LONG rc = Disposition == RegDisposition_OpenExisting
                        ? RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, samDesired, &key)
                        : RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, samDesired,
                                          nullptr, &key, nullptr);
    if (rc == ERROR_FILE_NOT_FOUND) return CR_NO_SUCH_REGISTRY_KEY;
    if (rc != ERROR_SUCCESS) return CR_REGISTRY_ERROR;
    *phkDevice = key;
    return CR_SUCCESS;
  });
}

}  // extern "C"
