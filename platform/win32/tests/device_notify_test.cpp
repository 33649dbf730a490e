// Device notifications: registrations, and notices that cross from one process of the prefix
// to the windows of another.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

#include "../src/device_notify.h"
#include "tesk_testing.h"

namespace {

using tesk::win32::GuidFromText;

constexpr GUID kPlayers = GuidFromText("a5dcbf10-6530-11d2-901f-00c04fb951ed");
constexpr char kPlayersText[] = "a5dcbf10-6530-11d2-901f-00c04fb951ed";
constexpr GUID kOther = GuidFromText("53f56307-b6bf-11d0-94f2-00a0c91efb8b");
constexpr char kOtherText[] = "53f56307-b6bf-11d0-94f2-00a0c91efb8b";
constexpr char kClass[] = "DeviceNotifyTestWindow";

struct Notice {
  HWND hwnd;
  WPARAM event;
  DWORD size;
  DWORD type;
  GUID interface_class;
  std::string name;
  bool operator==(const Notice&) const = default;
};

std::vector<Notice> g_notices;

LRESULT CALLBACK NoticeProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcA(hwnd, message, wparam, lparam);
  const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lparam);
  g_notices.push_back(
      {hwnd, wparam, record->dbcc_size, record->dbcc_devicetype, record->dbcc_classguid, record->dbcc_name});
  return TRUE;
}

Notice Expected(HWND hwnd, bool arrival, const GUID& interface_class, const std::string& name) {
  const auto size =
      static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1);
  return {hwnd,
          static_cast<WPARAM>(arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE),
          size,
          DBT_DEVTYP_DEVICEINTERFACE,
          interface_class,
          name};
}

class DeviceNotifyTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override {
    g_notices.clear();
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = NoticeProc;
    window_class.lpszClassName = kClass;
    ASSERT_NE(0, RegisterClassA(&window_class));
  }
  void TearDown() override {
    for (HDEVNOTIFY registration : registrations_) UnregisterDeviceNotification(registration);
    for (HWND hwnd : windows_) DestroyWindow(hwnd);
    UnregisterClassA(kClass, nullptr);
  }

  HWND MakeWindow() {
    const HWND hwnd = CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (hwnd) windows_.push_back(hwnd);
    return hwnd;
  }

  HDEVNOTIFY Register(HWND hwnd, const GUID& interface_class, DWORD flags = DEVICE_NOTIFY_WINDOW_HANDLE) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interface_class;
    const HDEVNOTIFY registration = RegisterDeviceNotificationA(hwnd, &filter, flags);
    if (registration) registrations_.push_back(registration);
    return registration;
  }

  // Dispatches this thread's messages until `count` notices came; fewer if they stop coming.
  static std::vector<Notice> Receive(std::size_t count) {
    while (g_notices.size() < count) {
      MSG msg;
      if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
        continue;
      }
      // A guard against a hang, not a limit on delivery time.
      if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 30000, QS_ALLINPUT) == WAIT_TIMEOUT) break;
    }
    return std::exchange(g_notices, {});
  }

  // The sockets a process listens on in this prefix: their names start with its id.
  static std::vector<std::string> SocketsOf(int pid) {
    std::vector<std::string> found;
    std::error_code ignored;
    const std::string socket = std::to_string(pid) + ".";
    for (const auto& entry :
         std::filesystem::directory_iterator(tesk::win32::RuntimePath() + "/notify", ignored))
      if (entry.path().filename().string().rfind(socket, 0) == 0) found.push_back(entry.path().string());
    return found;
  }

  // Starts a notify_receiver for kPlayers and waits until it has registered; its process id,
  // or -1 when it never got ready.
  int StartReceiver() {
    const std::string fifo = prefix() + "/ready";
    if (mkfifo(fifo.c_str(), 0600) != 0) return -1;
    const int ready = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int pid = tesk::testing::StartChild("notify_receiver", {"receive", kPlayersText, fifo});
    pollfd wait{ready, POLLIN, 0};
    char line[8] = {};
    // The timeout only guards against a child that never gets ready.
    const bool got_ready =
        ready >= 0 && pid > 0 && poll(&wait, 1, 30000) == 1 && read(ready, line, sizeof(line)) > 0;
    if (ready >= 0) close(ready);
    unlink(fifo.c_str());
    if (got_ready) return pid;
    if (pid > 0) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << tesk::testing::WaitChild(pid).output;
    }
    return -1;
  }

  std::vector<HWND> windows_;
  std::vector<HDEVNOTIFY> registrations_;
};

TEST_F(DeviceNotifyTest, BadRegistrationsAreRefused) {
  const HWND hwnd = MakeWindow();
  ASSERT_NE(nullptr, hwnd);
  DEV_BROADCAST_DEVICEINTERFACE_A good{};
  good.dbcc_size = sizeof(good);
  good.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  DEV_BROADCAST_DEVICEINTERFACE_A short_record = good, volume = good;
  short_record.dbcc_size = sizeof(DEV_BROADCAST_HDR);
  volume.dbcc_devicetype = DBT_DEVTYP_VOLUME;
  const struct {
    const char* what;
    HWND hwnd;
    void* filter;
    DWORD flags;
    DWORD error;
  } cases[] = {
      {"no filter", hwnd, nullptr, DEVICE_NOTIFY_WINDOW_HANDLE, ERROR_INVALID_PARAMETER},
      {"short record", hwnd, &short_record, DEVICE_NOTIFY_WINDOW_HANDLE, ERROR_INVALID_DATA},
      {"not an interface filter", hwnd, &volume, DEVICE_NOTIFY_WINDOW_HANDLE, ERROR_INVALID_DATA},
      {"service recipient", hwnd, &good, 1, ERROR_INVALID_PARAMETER},
      {"not a window", reinterpret_cast<HWND>(0x1234), &good, DEVICE_NOTIFY_WINDOW_HANDLE,
       ERROR_INVALID_WINDOW_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_EQ(nullptr, RegisterDeviceNotificationA(c.hwnd, c.filter, c.flags));
    EXPECT_EQ(c.error, GetLastError());
  }

  const HDEVNOTIFY registration = RegisterDeviceNotificationA(hwnd, &good, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(nullptr, registration);
  EXPECT_TRUE(UnregisterDeviceNotification(registration));
  SetLastError(0);
  EXPECT_FALSE(UnregisterDeviceNotification(registration));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(DeviceNotifyTest, RegistrationsEndWithTheirWindowOrThread) {
  // The process listens only while it has registrations: its socket shows whether it does.
  const HWND hwnd = MakeWindow();
  ASSERT_NE(nullptr, Register(hwnd, kPlayers));
  ASSERT_NE(nullptr, Register(hwnd, kOther));
  EXPECT_EQ(1u, SocketsOf(getpid()).size());
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_TRUE(SocketsOf(getpid()).empty());

  std::size_t sockets_while_running = 0;
  std::thread owner([&] {
    const HWND mine = CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (mine && Register(mine, kPlayers)) sockets_while_running = SocketsOf(getpid()).size();
  });
  owner.join();
  EXPECT_EQ(1u, sockets_while_running);
  EXPECT_TRUE(SocketsOf(getpid()).empty());
}

TEST_F(DeviceNotifyTest, NoticesFromAnotherProcessReachTheMatchingWindows) {
  const HWND players = MakeWindow(), everything = MakeWindow();
  ASSERT_TRUE(players && everything);
  const HDEVNOTIFY players_registration = Register(players, kPlayers);
  ASSERT_NE(nullptr, players_registration);
  ASSERT_NE(nullptr, Register(everything, GUID{}, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES));

  const std::string player = "\\\\?\\usb#vid_0b70&pid_00ba#0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const std::string disk = "\\\\?\\storage#volume#1";
  auto child = tesk::testing::RunChild("notify_broadcast",
                                       {"arrival", kOtherText, disk, "removal", kPlayersText, player});
  ASSERT_EQ(0, child.exit_code) << child.output;
  // Windows get a notice in the order they registered.
  EXPECT_EQ((std::vector<Notice>{Expected(everything, true, kOther, disk),
                                 Expected(players, false, kPlayers, player),
                                 Expected(everything, false, kPlayers, player)}),
            Receive(3));

  // After Unregister the first window gets nothing, and would have been served first.
  ASSERT_TRUE(UnregisterDeviceNotification(players_registration));
  std::erase(registrations_, players_registration);
  child = tesk::testing::RunChild("notify_broadcast", {"arrival", kPlayersText, player});
  ASSERT_EQ(0, child.exit_code) << child.output;
  EXPECT_EQ((std::vector<Notice>{Expected(everything, true, kPlayers, player)}), Receive(1));

  // A destroyed window's registrations go with it.
  ASSERT_NE(nullptr, Register(players, kPlayers));
  const HWND last = MakeWindow();
  ASSERT_NE(nullptr, Register(last, kPlayers));
  ASSERT_TRUE(DestroyWindow(everything));
  tesk::win32::internal::BroadcastDeviceInterfaceChange(kPlayers, player, false);
  EXPECT_EQ((std::vector<Notice>{Expected(players, false, kPlayers, player),
                                 Expected(last, false, kPlayers, player)}),
            Receive(2));
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(DeviceNotifyTest, AWindowOfAnotherProcessGetsOnlyItsClass) {
  const int pid = StartReceiver();
  ASSERT_GT(pid, 0);
  const std::string player = "\\\\?\\usb#vid_0b70&pid_00ba#0002#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  tesk::win32::internal::BroadcastDeviceInterfaceChange(kOther, "\\\\?\\storage#volume#2", true);
  tesk::win32::internal::BroadcastDeviceInterfaceChange(kPlayers, player, true);
  const auto child = tesk::testing::WaitChild(pid);
  EXPECT_EQ(0, child.exit_code) << child.output;
  EXPECT_EQ("event=0x8000 type=5 size=" +
                std::to_string(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + player.size() + 1) +
                " class=" + kPlayersText + " name=" + player + "\n",
            child.output);
  // The child took its socket away when it ended.
  EXPECT_TRUE(SocketsOf(pid).empty());
}

TEST_F(DeviceNotifyTest, AStoppedReceiverDoesNotHoldUpTheOthers) {
  const HWND hwnd = MakeWindow();
  ASSERT_NE(nullptr, Register(hwnd, kOther));
  const int pid = StartReceiver();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(0, kill(pid, SIGSTOP));
  // More than the stopped process's socket holds: the broadcasts still end, and this
  // process gets every notice.
  std::vector<Notice> expected;
  for (int i = 0; i < 16; ++i) {
    const std::string name = "\\\\?\\storage#" + std::to_string(i);
    tesk::win32::internal::BroadcastDeviceInterfaceChange(kOther, name, true);
    expected.push_back(Expected(hwnd, true, kOther, name));
  }
  kill(pid, SIGKILL);
  tesk::testing::WaitChild(pid);
  EXPECT_EQ(expected, Receive(expected.size()));
}

TEST_F(DeviceNotifyTest, ABurstOfNoticesArrivesWholeAndInOrder) {
  // More notices at once than the kernel queues for one socket.
  const HWND hwnd = MakeWindow();
  ASSERT_NE(nullptr, Register(hwnd, kPlayers));
  std::vector<Notice> expected;
  for (int i = 0; i < 64; ++i) {
    const std::string name = "\\\\?\\usb#" + std::to_string(i);
    tesk::win32::internal::BroadcastDeviceInterfaceChange(kPlayers, name, i % 2 == 0);
    expected.push_back(Expected(hwnd, i % 2 == 0, kPlayers, name));
  }
  EXPECT_EQ(expected, Receive(expected.size()));
}

TEST_F(DeviceNotifyTest, ADeadReceiverIsForgottenByTheNextBroadcast) {
  const int pid = tesk::testing::StartChild("notify_receiver", {"die", kPlayersText});
  const auto child = tesk::testing::WaitChild(pid);
  ASSERT_EQ(SIGKILL, child.signal) << child.output;
  ASSERT_EQ(1u, SocketsOf(pid).size());

  const HWND hwnd = MakeWindow();
  ASSERT_NE(nullptr, Register(hwnd, kPlayers));
  tesk::win32::internal::BroadcastDeviceInterfaceChange(kPlayers, "\\\\?\\usb#3", true);
  EXPECT_TRUE(SocketsOf(pid).empty());
  EXPECT_EQ((std::vector<Notice>{Expected(hwnd, true, kPlayers, "\\\\?\\usb#3")}), Receive(1));
}

}  // namespace
