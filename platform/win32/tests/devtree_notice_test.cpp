// The notices that filling the device tree sends: a window registered for an interface class
// hears of that class's arrivals and removals, in the order that lets a listener find a
// player's storage when its access interface arrives.
#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/win32/dbt.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winuser.h>

#include "two_players.h"

namespace {

using namespace tesk::win32;
using Notice = std::pair<WPARAM, std::string>;

std::vector<Notice>* g_notices = nullptr;

LRESULT CALLBACK NoticeProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcA(hwnd, message, wparam, lparam);
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
  if (g_notices && header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
    g_notices->emplace_back(wparam,
                            reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lparam)->dbcc_name);
  return TRUE;
}

class DevtreeNoticeTest : public devtree_test::TwoPlayersTest {
 protected:
  void SetUp() override {
    TwoPlayersTest::SetUp();
    g_notices = &notices_;
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = NoticeProc;
    window_class.lpszClassName = "DevtreeNoticeTest";
    RegisterClassA(&window_class);
    window_ =
        CreateWindowExA(0, "DevtreeNoticeTest", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
    for (const GUID& interface_class : {GUID_CLASS_HOXA_DEVICE, GUID_DEVINTERFACE_VOLUME}) {
      DEV_BROADCAST_DEVICEINTERFACE_A filter{};
      filter.dbcc_size = sizeof(filter);
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = interface_class;
      const HDEVNOTIFY registration =
          RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
      ASSERT_NE(registration, nullptr);
      registrations_.push_back(registration);
    }
  }
  void TearDown() override {
    for (const HDEVNOTIFY registration : registrations_) UnregisterDeviceNotification(registration);
    if (window_) DestroyWindow(window_);
    UnregisterClassA("DevtreeNoticeTest", nullptr);
    g_notices = nullptr;
  }

  // The next `count` notices. They are posted to this thread's queue as they come, so wait
  // for them (bounded, so that a missing one fails the test instead of hanging it).
  std::vector<Notice> Next(std::size_t count) {
    const DWORD start = GetTickCount();
    while (notices_.size() < count && GetTickCount() - start < 10000) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    std::vector<Notice> next(notices_.begin(), notices_.begin() + std::min(count, notices_.size()));
    notices_.erase(notices_.begin(), notices_.begin() + static_cast<std::ptrdiff_t>(next.size()));
    return next;
  }

  HWND window_ = nullptr;
  std::vector<HDEVNOTIFY> registrations_;
  std::vector<Notice> notices_;
};

TEST_F(DevtreeNoticeTest, RemovalAndArrivalAreAnnouncedInOrder) {
  ASSERT_EQ(RemoveDevice(a_.device), DWORD{ERROR_SUCCESS});
  // The access interface goes first, before the storage it leads to.
  EXPECT_EQ(Next(2), (std::vector<Notice>{{DBT_DEVICEREMOVECOMPLETE, a_.access_path},
                                          {DBT_DEVICEREMOVECOMPLETE, a_.volume_info.device_path}}));

  devtree_test::Player c;
  std::string error;
  ASSERT_EQ(devtree_test::AddPlayer(prefix(), devtree_test::BackendPath(), "G0003", &c, &error),
            DWORD{ERROR_SUCCESS})
      << error;
  EXPECT_EQ(Next(2), (std::vector<Notice>{{DBT_DEVICEARRIVAL, c.volume_info.device_path},
                                          {DBT_DEVICEARRIVAL, c.access_path}}));

  // A disk's interface is of a class nobody here listens to, and a refused change announces
  // nothing: the next notice is the one after them.
  ASSERT_EQ(AddDeviceInterface(c.disk, GUID_DEVINTERFACE_DISK), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(AddDeviceInterface(c.access, GUID_CLASS_HOXA_DEVICE), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_EQ(RemoveDevice(a_.device), DWORD{ERROR_NO_SUCH_DEVINST});
  ASSERT_EQ(RemoveDeviceInterface(b_.access, GUID_CLASS_HOXA_DEVICE), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(Next(1), (std::vector<Notice>{{DBT_DEVICEREMOVECOMPLETE, b_.access_path}}));
}

}  // namespace
