// The configuration manager over the device tree: walking it, device ids into small buffers,
// locating nodes, interface lists and the nodes' hardware keys.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/win32/cfgmgr32.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/winreg.h>

#include "two_players.h"

namespace {

using namespace tesk::win32;
using devtree_test::TwoPlayersTest;

constexpr DEVINST kMarker = 0xdeadbeef;

using CmTest = TwoPlayersTest;

// Pre-order, depth first, as a caller walks a subtree with CM_Get_Child and CM_Get_Sibling.
void Walk(DEVINST node, std::vector<DEVINST>* out) {
  out->push_back(node);
  DEVINST child = 0;
  for (CONFIGRET cr = CM_Get_Child(&child, node, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&child, child, 0))
    Walk(child, out);
}

TEST_F(CmTest, WalksTheTreeInPreOrder) {
  DEVINST root = kMarker;
  ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, 0), DWORD{CR_SUCCESS});
  EXPECT_EQ(IdOf(root), kRootInstanceId);
  DEVINST none = kMarker;
  EXPECT_EQ(CM_Get_Parent(&none, root, 0), DWORD{CR_NO_SUCH_DEVNODE});
  EXPECT_EQ(none, 0u);
  EXPECT_EQ(CM_Get_Sibling(&none, root, 0), DWORD{CR_NO_SUCH_DEVNODE});

  std::vector<DEVINST> order;
  Walk(root, &order);
  std::vector<std::string> ids;
  for (const DEVINST d : order) ids.push_back(IdOf(d));
  // Siblings come in the order of their ids, as the registry lists them.
  EXPECT_EQ(ids, (std::vector<std::string>{kRootInstanceId, a_.device, a_.disk, a_.volume, a_.access,
                                           b_.device, b_.disk, b_.volume, b_.access}));

  // From an access node up to the player, as a caller looking for its storage does.
  DEVINST parent = kMarker;
  ASSERT_EQ(CM_Get_Parent(&parent, Locate(b_.access), 0), DWORD{CR_SUCCESS});
  EXPECT_EQ(parent, Locate(b_.device));
  EXPECT_EQ(CM_Get_Parent(&parent, Locate(b_.device), 0), DWORD{CR_SUCCESS});
  EXPECT_EQ(parent, root);
  EXPECT_EQ(CM_Get_Child(&none, Locate(b_.volume), 0), DWORD{CR_NO_SUCH_DEVNODE});
  EXPECT_EQ(CM_Get_Sibling(&none, Locate(b_.access), 0), DWORD{CR_NO_SUCH_DEVNODE});

  // Numbers are stable within the process.
  EXPECT_EQ(Locate(a_.volume), order[3]);
  EXPECT_EQ(Locate(a_.volume), Locate(a_.volume));
}

TEST_F(CmTest, RefusesBadArguments) {
  DEVINST out = kMarker;
  EXPECT_EQ(CM_Get_Parent(nullptr, Locate(a_.access), 0), DWORD{CR_INVALID_POINTER});
  EXPECT_EQ(CM_Get_Child(&out, Locate(a_.device), 1), DWORD{CR_INVALID_FLAG});
  for (const DEVINST bad : {DEVINST{0}, DEVINST{99999}}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(CM_Get_Parent(&out, bad, 0), DWORD{CR_INVALID_DEVNODE});
    EXPECT_EQ(CM_Get_Child(&out, bad, 0), DWORD{CR_INVALID_DEVNODE});
    EXPECT_EQ(CM_Get_Sibling(&out, bad, 0), DWORD{CR_INVALID_DEVNODE});
    char id[8];
    EXPECT_EQ(CM_Get_Device_IDA(bad, id, sizeof(id), 0), DWORD{CR_INVALID_DEVNODE});
  }
  char unknown[] = "USB\\VID_0000&PID_0000\\NONE";
  char malformed[] = "USB\\VID_7A3D&PID_0001";
  char with_hash[] = "USB\\VID#7A3D\\X";
  EXPECT_EQ(CM_Locate_DevNodeA(&out, unknown, 0), DWORD{CR_NO_SUCH_DEVNODE});
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(CM_Locate_DevNodeA(&out, malformed, 0), DWORD{CR_INVALID_DEVICE_ID});
  EXPECT_EQ(CM_Locate_DevNodeA(&out, with_hash, 0), DWORD{CR_INVALID_DEVICE_ID});
  EXPECT_EQ(CM_Locate_DevNodeA(&out, nullptr, 0x10), DWORD{CR_INVALID_FLAG});
}

TEST_F(CmTest, DeviceIdsFitOrReportSmallBuffers) {
  const DEVINST volume = Locate(a_.volume);
  const std::size_t length = a_.volume.size();
  struct Case {
    ULONG buffer_length;
    CONFIGRET expected;
    std::size_t copied;
    bool terminated;
  } const cases[] = {
      {201, CR_SUCCESS, length, true},
      {static_cast<ULONG>(length + 1), CR_SUCCESS, length, true},
      // Exactly the id's length: the id without its terminator, and success, as on Windows.
      {static_cast<ULONG>(length), CR_SUCCESS, length, false},
      {5, CR_BUFFER_SMALL, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buffer_length);
    std::string buffer(256, '\x7f');
    EXPECT_EQ(CM_Get_Device_ID_ExA(volume, buffer.data(), c.buffer_length, 0, nullptr), c.expected);
    EXPECT_EQ(buffer.substr(0, c.copied), a_.volume.substr(0, c.copied));
    EXPECT_EQ(buffer[c.copied], c.terminated ? '\0' : '\x7f');
  }
  char id[8];
  EXPECT_EQ(CM_Get_Device_IDA(volume, nullptr, 8, 0), DWORD{CR_INVALID_POINTER});
  EXPECT_EQ(CM_Get_Device_IDA(volume, id, 0, 0), DWORD{CR_INVALID_POINTER});
  EXPECT_EQ(CM_Get_Device_IDA(volume, id, sizeof(id), 1), DWORD{CR_INVALID_FLAG});
}

TEST_F(CmTest, ListsInterfacesOfADeviceOrOfAll) {
  const auto list_of = [](const char* device, ULONG flags, CONFIGRET* cr) {
    ULONG size = 12345;
    *cr = CM_Get_Device_Interface_List_SizeA(&size, &GUID_DEVINTERFACE_VOLUME, const_cast<char*>(device),
                                             flags);
    if (*cr != CR_SUCCESS) return std::string("<size failed>");
    std::string buffer(size, '\x7f');
    *cr = CM_Get_Device_Interface_ListA(&GUID_DEVINTERFACE_VOLUME, const_cast<char*>(device), buffer.data(),
                                        size, flags);
    return buffer;
  };
  CONFIGRET cr = 0;
  const std::string one = a_.volume_info.device_path;
  EXPECT_EQ(list_of(a_.volume.c_str(), 0, &cr), one + std::string("\0\0", 2));
  EXPECT_EQ(cr, DWORD{CR_SUCCESS});
  // A node without one: the list's terminator alone.
  EXPECT_EQ(list_of(a_.disk.c_str(), 0, &cr), std::string(1, '\0'));
  EXPECT_EQ(list_of(nullptr, 0, &cr), one + '\0' + b_.volume_info.device_path + std::string("\0\0", 2));

  // Too small: nothing but the failure.
  std::string small(one.size() + 1, '\x7f');
  EXPECT_EQ(CM_Get_Device_Interface_ListA(&GUID_DEVINTERFACE_VOLUME, const_cast<char*>(a_.volume.c_str()),
                                          small.data(), static_cast<ULONG>(small.size()), 0),
            DWORD{CR_BUFFER_SMALL});

  ULONG size = 0;
  char unknown[] = "STORAGE\\Volume\\NONE";
  EXPECT_EQ(CM_Get_Device_Interface_List_SizeA(&size, &GUID_DEVINTERFACE_VOLUME, unknown, 0),
            DWORD{CR_NO_SUCH_DEVNODE});
  EXPECT_EQ(CM_Get_Device_Interface_List_SizeA(&size, &GUID_DEVINTERFACE_VOLUME, nullptr, 2),
            DWORD{CR_INVALID_FLAG});
  EXPECT_EQ(CM_Get_Device_Interface_List_SizeA(nullptr, &GUID_DEVINTERFACE_VOLUME, nullptr, 0),
            DWORD{CR_INVALID_POINTER});

  // Once removed, a device's interfaces are listed only when all are asked for.
  ASSERT_EQ(RemoveDevice(a_.device), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(list_of(a_.volume.c_str(), 0, &cr), std::string(1, '\0'));
  EXPECT_EQ(list_of(a_.volume.c_str(), CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES, &cr),
            one + std::string("\0\0", 2));
}

TEST_F(CmTest, LocatesPresentNodesAndPhantomsWhenAsked) {
  std::string lower = a_.access;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const DEVINST access = Locate(a_.access);
  ASSERT_NE(access, 0u);
  EXPECT_EQ(Locate(lower), access);

  ASSERT_EQ(RemoveDevice(a_.device), DWORD{ERROR_SUCCESS});
  DEVINST out = kMarker;
  EXPECT_EQ(CM_Locate_DevNodeA(&out, lower.data(), CM_LOCATE_DEVNODE_NORMAL), DWORD{CR_NO_SUCH_DEVNODE});
  EXPECT_EQ(CM_Locate_DevNodeA(&out, lower.data(), CM_LOCATE_DEVNODE_PHANTOM), DWORD{CR_SUCCESS});
  EXPECT_EQ(out, access);
  // A removed node keeps its id but is in no walk.
  EXPECT_EQ(IdOf(access), a_.access);
  EXPECT_EQ(CM_Get_Parent(&out, access, 0), DWORD{CR_NO_SUCH_DEVNODE});
  DEVINST root = 0;
  ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, 0), DWORD{CR_SUCCESS});
  std::vector<DEVINST> order;
  Walk(root, &order);
  EXPECT_EQ(order.size(), 5u);
}

TEST_F(CmTest, HardwareKeysHoldTheWindows98DriveLetters) {
  // What a caller on Windows 98/Me gathers over a player's subtree.
  const auto letters_below = [](DEVINST top) {
    std::vector<DEVINST> nodes;
    Walk(top, &nodes);
    std::string letters;
    for (const DEVINST node : nodes) {
      RegKey key;
      if (CM_Open_DevNode_Key(node, KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, key.Put(),
                              CM_REGISTRY_HARDWARE) != CR_SUCCESS) {
        ADD_FAILURE() << "no hardware key for " << IdOf(node);
        continue;
      }
      char value[32] = {};
      DWORD size = sizeof(value);
      if (RegQueryValueExA(key.Get(), "CurrentDriveLetterAssignment", nullptr, nullptr,
                           reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS)
        letters += value;
    }
    return letters;
  };
  EXPECT_EQ(letters_below(Locate(a_.device)), "E");
  EXPECT_EQ(letters_below(Locate(b_.device)), "F");

  HKEY key = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(CM_Open_DevNode_Key(Locate(a_.device), KEY_READ, 0, RegDisposition_OpenExisting, &key,
                                CM_REGISTRY_SOFTWARE),
            DWORD{CR_NO_SUCH_REGISTRY_KEY});
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(CM_Open_DevNode_Key(Locate(a_.device), KEY_READ, 0, 7, &key, CM_REGISTRY_HARDWARE),
            DWORD{CR_INVALID_DATA});
  EXPECT_EQ(CM_Open_DevNode_Key(0, KEY_READ, 0, RegDisposition_OpenExisting, &key, CM_REGISTRY_HARDWARE),
            DWORD{CR_INVALID_DEVNODE});

  // Unmapped with the volume.
  ASSERT_EQ(RemoveDevice(a_.volume), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(letters_below(Locate(a_.device)), "");
}

}  // namespace
