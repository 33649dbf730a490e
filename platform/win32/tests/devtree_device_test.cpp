// Opening a player through its access interface: the requests of DeviceIoControl as the
// backend receives them, sharing between opens in one process and across processes, and
// devices that go away.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <tesk_testing.h>

#include <tesk/win32/devtree.h>
#include <tesk/win32/fileapi.h>
#include <tesk/win32/winbase.h>

#include "test_backend.h"
#include "two_players.h"

namespace {

using namespace tesk::win32;
using devtree_test::TwoPlayersTest;
using tesk::testing::StartChild;
using tesk::testing::WaitChild;

constexpr DWORD kMarker = 0xdeadbeef;
constexpr DWORD kGetDescriptor = 0x80002006;
constexpr DWORD kControlTransfer = 0x80002002;
constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE Open(const std::string& path, DWORD share) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

class DeviceTest : public TwoPlayersTest {
 protected:
  void SetUp() override {
    TwoPlayersTest::SetUp();
    backend_ = LoadLibraryA(devtree_test::BackendPath().c_str());
    ASSERT_NE(backend_, nullptr);
    live_ = GetProcAddressAs<devtree_test::LiveCountProc>(backend_, devtree_test::kLiveCountEntry);
    ASSERT_NE(live_, nullptr);
  }
  void TearDown() override {
    for (const HANDLE h : handles_) CloseHandle(h);
    EXPECT_EQ(live_(), 0) << "a backend object was not closed";
    FreeLibrary(backend_);
  }

  HANDLE Keep(HANDLE h) {
    if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
    return h;
  }
  void Close(HANDLE h) {
    std::erase(handles_, h);
    EXPECT_TRUE(CloseHandle(h));
  }

  // The bytes a request returned, or "error N".
  static std::vector<BYTE> Request(HANDLE h, DWORD code, std::vector<BYTE> in, DWORD out_size,
                                   std::vector<BYTE> out_data = {}) {
    std::vector<BYTE> out(out_size, 0xCC);
    std::copy(out_data.begin(), out_data.end(), out.begin());
    DWORD count = kMarker;
    SetLastError(kMarker);
    if (!DeviceIoControl(h, code, in.data(), static_cast<DWORD>(in.size()), out.data(), out_size, &count,
                         nullptr)) {
      const std::string text = "error " + std::to_string(GetLastError());
      return std::vector<BYTE>(text.begin(), text.end());
    }
    out.resize(count);
    return out;
  }

  static std::vector<BYTE> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

  std::string Marker(const std::string& name) const { return prefix() + "/" + name; }
  static bool WaitForFile(const std::string& path) {
    struct stat st {};
    for (int i = 0; i < 3000; ++i) {
      if (stat(path.c_str(), &st) == 0) return true;
      usleep(10000);
    }
    return false;
  }

  HMODULE backend_ = nullptr;
  devtree_test::LiveCountProc live_ = nullptr;
  std::vector<HANDLE> handles_;
};

TEST_F(DeviceTest, DescriptorsComeFromTheDeviceOpened) {
  const HANDLE a = Keep(Open(a_.access_path, kShared));
  const HANDLE b = Keep(Open(b_.access_path, kShared));
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_EQ(live_(), 2);

  const std::vector<BYTE> device(std::begin(devtree_test::kDeviceDescriptor),
                                 std::end(devtree_test::kDeviceDescriptor));
  EXPECT_EQ(Request(a, kGetDescriptor, {1, 0, 0, 0}, 18), device);
  EXPECT_EQ(Request(a, kGetDescriptor, {1, 0, 0, 0}, 8),
            std::vector<BYTE>(device.begin(), device.begin() + 8));
  EXPECT_EQ(Request(a, kGetDescriptor, {3, 0, 0, 0}, 256), (std::vector<BYTE>{4, 3, 0x09, 0x04}));
  // Type 3, index 3, language 0x0409: the request record's bytes 03 03 09 04.
  const std::vector<BYTE> serial_a = {12, 3, 'G', 0, '0', 0, '0', 0, '0', 0, '1', 0};
  std::vector<BYTE> serial_b = serial_a;
  serial_b[10] = '2';
  EXPECT_EQ(Request(a, kGetDescriptor, {3, 3, 0x09, 0x04}, 256), serial_a);
  EXPECT_EQ(Request(b, kGetDescriptor, {3, 3, 0x09, 0x04}, 256), serial_b);
  EXPECT_EQ(Request(a, kGetDescriptor, {3, 9, 0x09, 0x04}, 256), Bytes("error 31"));  // a stall

  // The count pointer may be left out when an OVERLAPPED takes the result.
  BYTE out[18];
  OVERLAPPED overlapped{};
  BYTE in[4] = {1, 0, 0, 0};
  EXPECT_TRUE(DeviceIoControl(a, kGetDescriptor, in, 4, out, sizeof(out), nullptr, &overlapped));
  EXPECT_EQ(overlapped.InternalHigh, 18u);
}

TEST_F(DeviceTest, ControlTransfersCarryTheRequestRecord) {
  const HANDLE a = Keep(Open(a_.access_path, 0));
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  using devtree_test::kEchoSize;
  // requestType 0xC0, request 1, value 7, index 2: what the backend saw, echoed.
  EXPECT_EQ(Request(a, kControlTransfer, {0xC0, 0, 0, 0, 0xC0, 1, 7, 0, 2, 0}, kEchoSize),
            (std::vector<BYTE>{0xC0, 1, 7, 0, 2, 0, 12, 0, 0xC0, 0, 0, 0}));
  // All 32 bits of the flags reach the backend; the setup packet's type is byte 4 alone.
  EXPECT_EQ(Request(a, kControlTransfer, {0xC0, 0x01, 0, 0, 0xC0, 1, 0x34, 0x12, 0x78, 0x56}, kEchoSize),
            (std::vector<BYTE>{0xC0, 1, 0x34, 0x12, 0x78, 0x56, 12, 0, 0xC0, 0x01, 0, 0}));
  // wLength is the output's size.
  EXPECT_EQ(Request(a, kControlTransfer, {0xC0, 0, 0, 0, 0xC0, 1, 0, 0, 0, 0}, 4),
            (std::vector<BYTE>{0xC0, 1, 0, 0}));

  // Host to device: the output buffer is the data sent.
  EXPECT_EQ(Request(a, kControlTransfer, {0x40, 0, 0, 0, 0x40, 9, 0, 0, 0, 0}, 3, Bytes("abc")),
            Bytes("abc"));
  EXPECT_EQ(
      Request(a, kControlTransfer, {0xC0, 0, 0, 0, 0xC0, devtree_test::kReadBackRequest, 0, 0, 0, 0}, 8),
      Bytes("abc"));
  EXPECT_EQ(Request(a, kControlTransfer, {0xC0, 0, 0, 0, 0xC0, devtree_test::kStallRequest, 0, 0, 0, 0}, 8),
            Bytes("error 31"));
}

TEST_F(DeviceTest, BadRequestsAndHandles) {
  const HANDLE a = Keep(Open(a_.access_path, kShared));
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  struct Case {
    const char* what;
    HANDLE handle;
    DWORD code;
    DWORD in_size;
    DWORD error;
  } const cases[] = {
      {"descriptor record of 3", a, kGetDescriptor, 3, ERROR_INVALID_PARAMETER},
      {"descriptor record of 5", a, kGetDescriptor, 5, ERROR_INVALID_PARAMETER},
      {"control record of 9", a, kControlTransfer, 9, ERROR_INVALID_PARAMETER},
      {"control record of 11", a, kControlTransfer, 11, ERROR_INVALID_PARAMETER},
      {"unknown code", a, 0x80002000, 4, ERROR_INVALID_FUNCTION},
      {"not a handle", reinterpret_cast<HANDLE>(0x7777), kGetDescriptor, 4, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BYTE in[16] = {1};
    BYTE out[32];
    DWORD count = kMarker;
    SetLastError(kMarker);
    EXPECT_FALSE(DeviceIoControl(c.handle, c.code, in, c.in_size, out, sizeof(out), &count, nullptr));
    EXPECT_EQ(GetLastError(), c.error);
  }
  BYTE in[4] = {1, 0, 0, 0};
  BYTE out[18];
  EXPECT_FALSE(DeviceIoControl(a, kGetDescriptor, in, 4, out, sizeof(out), nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(DeviceTest, OpensOnlyPresentDevicesWithABackend) {
  struct Case {
    std::string path;
    DWORD error;
  } const cases[] = {
      {"\\\\?\\usb#vid_7a3d&pid_0001&mi_00#none#{bb60e4cb-4c49-11d4-8e10-005004ad18a6}",
       ERROR_FILE_NOT_FOUND},
      {"E:\\track.rel", ERROR_FILE_NOT_FOUND},  // a file path, and no such file
      {a_.volume_info.device_path, ERROR_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    SetLastError(kMarker);
    EXPECT_EQ(Open(c.path, kShared), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }

  // Backends that cannot serve: the module refuses, or there is no module.
  for (const auto& [backend, argument, error] :
       {std::tuple{devtree_test::BackendPath(), std::string("refuse"), DWORD{ERROR_DEVICE_NOT_CONNECTED}},
        std::tuple{prefix() + "/missing.so", std::string("x"), DWORD{ERROR_MOD_NOT_FOUND}}}) {
    SCOPED_TRACE(backend + " " + argument);
    DeviceNodeInfo node;
    node.instance_id = "USB\\VID_7A3D&PID_0001&MI_00\\" + argument;
    node.usb_access = {backend, argument};
    ASSERT_EQ(AddDeviceNode(node), DWORD{ERROR_SUCCESS});
    std::string path;
    ASSERT_EQ(AddDeviceInterface(node.instance_id, GUID_CLASS_HOXA_DEVICE, &path), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(Open(path, kShared), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), error);
    // The failed open left no lock behind.
    ASSERT_EQ(RemoveDevice(node.instance_id), DWORD{ERROR_SUCCESS});
  }

  // A device removed while open: its handle fails requests until closed.
  const HANDLE a = Keep(Open(a_.access_path, 0));
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_EQ(RemoveDevice(a_.device), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(Request(a, kGetDescriptor, {1, 0, 0, 0}, 18), Bytes("error 1167"));
  EXPECT_EQ(Open(a_.access_path, kShared), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
  // Back again: a new open works, the old handle stays with the attachment that went.
  std::string error;
  devtree_test::Player again;
  ASSERT_EQ(devtree_test::AddPlayer(prefix(), devtree_test::BackendPath(), "G0001", &again, &error),
            DWORD{ERROR_SUCCESS})
      << error;
  EXPECT_EQ(Request(a, kGetDescriptor, {1, 0, 0, 0}, 18), Bytes("error 1167"));
  const HANDLE fresh = Keep(Open(a_.access_path, kShared));
  ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Request(fresh, kGetDescriptor, {1, 0, 0, 0}, 2), (std::vector<BYTE>{0x12, 0x01}));
  EXPECT_EQ(live_(), 2);
  Close(a);
  Close(fresh);
  EXPECT_EQ(live_(), 0);
}

TEST_F(DeviceTest, SharingWithinOneProcess) {
  struct Case {
    DWORD first, second;
    bool second_opens;
  } const cases[] = {
      {0, 0, false},
      {0, kShared, false},
      {kShared, 0, false},
      {kShared, kShared, true},
      {FILE_SHARE_READ, kShared, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
    const HANDLE first = Open(a_.access_path, c.first);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(kMarker);
    const HANDLE second = Open(a_.access_path, c.second);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.second_opens);
    if (second != INVALID_HANDLE_VALUE) {
      CloseHandle(second);
    } else {
      EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    }
    // Another device is not affected.
    const HANDLE other = Open(b_.access_path, 0);
    EXPECT_NE(other, INVALID_HANDLE_VALUE);
    CloseHandle(other);
    CloseHandle(first);
  }
  const HANDLE again = Open(a_.access_path, 0);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(DeviceTest, SharingAcrossProcesses) {
  struct Case {
    const char* held;
    DWORD ours;
    bool opens;
  } const cases[] = {
      {"0", 0, false},
      {"0", kShared, false},
      {"3", 0, false},
      {"3", kShared, true},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("held ") + c.held + ", ours " + std::to_string(c.ours));
    const std::string ready = Marker("ready" + std::to_string(round));
    const std::string release = Marker("release" + std::to_string(round++));
    const int child = StartChild("devtree_helper", {"hold", a_.access_path, c.held, ready, release});
    ASSERT_TRUE(WaitForFile(ready)) << WaitChild(child).output;
    SetLastError(kMarker);
    const HANDLE h = Open(a_.access_path, c.ours);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
    } else {
      EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    }
    if (FILE* f = std::fopen(release.c_str(), "w")) std::fclose(f);
    const tesk::testing::ChildResult result = WaitChild(child);
    EXPECT_EQ(result.exit_code, 0) << result.output;
  }

  // Our exclusive open keeps the other process out, and then lets it in.
  const HANDLE mine = Open(a_.access_path, 0);
  ASSERT_NE(mine, INVALID_HANDLE_VALUE);
  tesk::testing::ChildResult result = tesk::testing::RunChild("devtree_helper", {"try", a_.access_path, "3"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.output, "error 32\n");
  CloseHandle(mine);
  result = tesk::testing::RunChild("devtree_helper", {"try", a_.access_path, "0"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
}

TEST_F(DeviceTest, AHolderThatDiesLetsGo) {
  const std::string ready = Marker("ready");
  const int child = StartChild("devtree_helper", {"hold", a_.access_path, "0", ready, Marker("never")});
  ASSERT_TRUE(WaitForFile(ready)) << WaitChild(child).output;
  EXPECT_EQ(Open(a_.access_path, kShared), INVALID_HANDLE_VALUE);
  kill(child, SIGKILL);
  EXPECT_EQ(WaitChild(child).signal, SIGKILL);
  const HANDLE h = Open(a_.access_path, 0);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

TEST_F(DeviceTest, APlayerAttachedByAnotherProcessAnswersHere) {
  const tesk::testing::ChildResult result =
      tesk::testing::RunChild("devtree_helper", {"player", "G0009", devtree_test::BackendPath()});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  const std::string path = result.output.substr(0, result.output.find('\n'));
  EXPECT_EQ(PresentPaths(GUID_CLASS_HOXA_DEVICE),
            (std::vector<std::string>{a_.access_path, b_.access_path, path}));
  const HANDLE h = Keep(Open(path, kShared));
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Request(h, kGetDescriptor, {3, 3, 0x09, 0x04}, 256),
            (std::vector<BYTE>{12, 3, 'G', 0, '0', 0, '0', 0, '0', 0, '9', 0}));
}

}  // namespace
