// SetupAPI over the device tree: enumeration by index, interface details and their sizes,
// opening an interface by path, snapshots, and the checks on the callers' records.
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <tesk/win32/cfgmgr32.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/setupapi.h>
#include <tesk/win32/winbase.h>

#include "two_players.h"

namespace {

using namespace tesk::win32;
using devtree_test::TwoPlayersTest;

constexpr DWORD kMarker = 0xdeadbeef;
constexpr char kAccessPathA[] =
    "\\\\?\\usb#vid_7a3d&pid_0001&mi_00#g0001#{bb60e4cb-4c49-11d4-8e10-005004ad18a6}";

class SetupApiTest : public TwoPlayersTest {
 protected:
  void SetUp() override {
    TwoPlayersTest::SetUp();
    set_ = SetupDiGetClassDevsA(&GUID_CLASS_HOXA_DEVICE, nullptr, nullptr,
                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set_, INVALID_HANDLE_VALUE);
    data_.cbSize = sizeof(data_);
  }
  void TearDown() override {
    if (set_ != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set_));
    }
  }

  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVICE_INTERFACE_DATA data_{};
};

TEST_F(SetupApiTest, EnumeratesPresentInterfacesByIndexWithDetails) {
  std::string paths[2];
  for (DWORD index = 0; index < 2; ++index) {
    SCOPED_TRACE(index);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_CLASS_HOXA_DEVICE, index, &data_));
    EXPECT_EQ(data_.InterfaceClassGuid, GUID_CLASS_HOXA_DEVICE);
    EXPECT_EQ(data_.Flags, DWORD{SPINT_ACTIVE});

    // The size query fails as on Windows, yet reports the size and fills the device's data.
    DWORD required = kMarker;
    SP_DEVINFO_DATA devinfo{};
    devinfo.cbSize = sizeof(devinfo);
    SetLastError(kMarker);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set_, &data_, nullptr, 0, &required, &devinfo));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_NE(devinfo.DevInst, 0u);
    EXPECT_EQ(IdOf(devinfo.DevInst), index == 0 ? a_.access : b_.access);

    const std::size_t fixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    ASSERT_EQ(required, fixed + a_.access_path.size() + 1);
    std::string record(required, '\x7f');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(record.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    // One byte short is still too small.
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set_, &data_, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set_, &data_, detail, required, nullptr, nullptr));
    paths[index] = detail->DevicePath;
  }
  EXPECT_EQ(paths[0], kAccessPathA);
  EXPECT_EQ(paths[0], a_.access_path);
  EXPECT_EQ(paths[1], b_.access_path);

  SetLastError(kMarker);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_CLASS_HOXA_DEVICE, 2, &data_));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_ITEMS});
  // Another class has members of its own only.
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_DEVINTERFACE_VOLUME, 0, &data_));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_ITEMS});
}

TEST_F(SetupApiTest, SetIsASnapshotAndRemovedInterfacesLeavePresentSets) {
  devtree_test::Player c;
  std::string error;
  ASSERT_EQ(devtree_test::AddPlayer(prefix(), devtree_test::BackendPath(), "G0003", &c, &error),
            DWORD{ERROR_SUCCESS})
      << error;
  ASSERT_EQ(RemoveDevice(a_.device, &error), DWORD{ERROR_SUCCESS}) << error;

  // The old set still has what it had.
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_CLASS_HOXA_DEVICE, 1, &data_));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_CLASS_HOXA_DEVICE, 2, &data_));

  EXPECT_EQ(PresentPaths(GUID_CLASS_HOXA_DEVICE), (std::vector<std::string>{b_.access_path, c.access_path}));

  // Without DIGCF_PRESENT the removed one is listed too, not active.
  const HDEVINFO all = SetupDiGetClassDevsA(&GUID_CLASS_HOXA_DEVICE, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(all, nullptr, &GUID_CLASS_HOXA_DEVICE, 0, &data_));
  EXPECT_EQ(data_.Flags, 0u);
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(all, nullptr, &GUID_CLASS_HOXA_DEVICE, 2, &data_));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));

  // An enumerator narrows the set: every class, devices of one enumerator.
  const HDEVINFO storage = SetupDiGetClassDevsA(nullptr, "STORAGE", nullptr,
                                                DIGCF_ALLCLASSES | DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(storage, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(storage, nullptr, &GUID_DEVINTERFACE_VOLUME, 1, &data_));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(storage, nullptr, &GUID_DEVINTERFACE_VOLUME, 2, &data_));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(storage, nullptr, &GUID_CLASS_HOXA_DEVICE, 0, &data_));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(storage));
}

TEST_F(SetupApiTest, OpensAnInterfaceByPathAndWalksToItsParent) {
  const HDEVINFO fresh =
      SetupDiGetClassDevsA(&GUID_CLASS_HOXA_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
  // Paths compare without regard to case, and \\.\ names the same interface.
  std::string path = b_.access_path;
  for (char& ch : path) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  path[2] = '.';
  ASSERT_TRUE(SetupDiOpenDeviceInterfaceA(fresh, path.c_str(), 0, &data_));
  SP_DEVINFO_DATA devinfo{};
  devinfo.cbSize = sizeof(devinfo);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(fresh, &data_, nullptr, 0, nullptr, &devinfo));
  DEVINST parent = kMarker;
  ASSERT_EQ(CM_Get_Parent(&parent, devinfo.DevInst, 0), DWORD{CR_SUCCESS});
  EXPECT_EQ(IdOf(parent), b_.device);

  SetLastError(kMarker);
  EXPECT_FALSE(SetupDiOpenDeviceInterfaceA(
      fresh, "\\\\?\\usb#vid_0000&pid_0000#x#{bb60e4cb-4c49-11d4-8e10-005004ad18a6}", 0, &data_));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_SUCH_DEVICE_INTERFACE});
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(fresh));

  // An empty set gains a member by opening, unless told not to.
  const HDEVINFO empty =
      SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(empty, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(SetupDiOpenDeviceInterfaceA(empty, a_.access_path.c_str(), DIODI_NO_ADD, &data_));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_SUCH_DEVICE_INTERFACE});
  EXPECT_TRUE(SetupDiOpenDeviceInterfaceA(empty, a_.access_path.c_str(), 0, nullptr));
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(empty, nullptr, &GUID_CLASS_HOXA_DEVICE, 0, &data_));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(empty));
}

TEST_F(SetupApiTest, RefusesBadRecordsAndHandles) {
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_CLASS_HOXA_DEVICE, 0, &data_));
  char buffer[300];
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
  SP_DEVICE_INTERFACE_DATA bad_data = data_;
  bad_data.cbSize = 28;
  SP_DEVINFO_DATA bad_devinfo{};
  bad_devinfo.cbSize = 28;  // a 32-bit process's size

  struct Case {
    const char* what;
    DWORD detail_size_field;
    DWORD buffer_size;
    bool with_detail;
    SP_DEVICE_INTERFACE_DATA* data;
    SP_DEVINFO_DATA* devinfo;
  } const cases[] = {
      {"detail of a 32-bit process", 5, sizeof(buffer), true, &data_, nullptr},
      {"detail size field 0", 0, sizeof(buffer), true, &data_, nullptr},
      {"no detail but a size", 8, 10, false, &data_, nullptr},
      {"interface data size", 8, sizeof(buffer), true, &bad_data, nullptr},
      {"devinfo size", 8, sizeof(buffer), true, &data_, &bad_devinfo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    detail->cbSize = c.detail_size_field;
    SetLastError(kMarker);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set_, c.data, c.with_detail ? detail : nullptr,
                                                  c.buffer_size, nullptr, c.devinfo));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_USER_BUFFER});
  }
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_CLASS_HOXA_DEVICE, 0, &bad_data));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_USER_BUFFER});

  // Handles that name no set.
  int not_a_set = 0;
  for (const HDEVINFO handle : {static_cast<HDEVINFO>(&not_a_set), INVALID_HANDLE_VALUE, HDEVINFO{}}) {
    SetLastError(kMarker);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(handle, nullptr, &GUID_CLASS_HOXA_DEVICE, 0, &data_));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(handle));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set_));
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set_, &data_, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  set_ = INVALID_HANDLE_VALUE;

  SetLastError(kMarker);
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

}  // namespace
