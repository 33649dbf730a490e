// Arrival and removal notices through hoxa's hidden window.
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <tesk/win32/dbt.h>

#include "hoxa_test_support.h"

namespace hoxa_test {
namespace {

struct Notice {
  DWORD event;
  std::string path;
  DWORD context;
};

std::vector<Notice> g_notices;

void WINAPI RecordNotice(DWORD event, LPCSTR path, DWORD context) {
  g_notices.push_back({event, path, context});
}

// Data, not code: hoxa must refuse it as a procedure.
const unsigned char kNotCode[16] = {};

class HoxaNotifyTest : public HoxaTest {
 protected:
  void SetUp() override {
    g_notices.clear();
    HoxaTest::SetUp();
  }

  // Dispatches this thread's messages until `done` holds or a minute has passed; remembers
  // the window that device-change messages were sent to.
  bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (;;) {
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_DEVICECHANGE) notify_window_ = msg.hwnd;
        DispatchMessageA(&msg);
      }
      if (done()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    }
  }
  bool PumpUntilNotices(std::size_t count) {
    return PumpUntil([count] { return g_notices.size() >= count; });
  }

  // Whether the notify window class is registered (and whether a window of it exists), told
  // by trying to unregister it: it cannot go while it has a window.
  DWORD ClassState() {
    SetLastError(0);
    if (UnregisterClassA(kNotifyClass, module_)) return ERROR_SUCCESS;
    return GetLastError();
  }

  HWND notify_window_ = nullptr;
};

TEST_F(HoxaNotifyTest, ANullProcBeforeAnyWindowCreatesNothing) {
  EXPECT_TRUE(hoxa_.RegisterNotifyProc(nullptr, 1));
  EXPECT_EQ(ClassState(), DWORD{ERROR_CLASS_DOES_NOT_EXIST});

  EXPECT_TRUE(hoxa_.RegisterNotifyProc(RecordNotice, 2));
  EXPECT_EQ(ClassState(), DWORD{ERROR_CLASS_HAS_WINDOWS});

  // Unloading destroys the window, so the class can go.
  const HINSTANCE instance = module_;
  FreeLibrary(module_);
  module_ = nullptr;
  EXPECT_TRUE(UnregisterClassA(kNotifyClass, instance));
}

TEST_F(HoxaNotifyTest, ANonExecutableProcIsRefusedAndTheEarlierOneStays) {
  ASSERT_TRUE(hoxa_.RegisterNotifyProc(RecordNotice, 0x11));
  SetLastError(0);
  HoxaNotifyProc not_code = nullptr;
  const void* data = kNotCode;
  std::memcpy(&not_code, &data, sizeof(not_code));
  EXPECT_FALSE(hoxa_.RegisterNotifyProc(not_code, 0x22));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});

  const Player player = AddPlayer("G0001");
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(PumpUntilNotices(1));
  EXPECT_EQ(g_notices[0].event, DWORD{HOXA_NOTIFY_ARRIVAL});
  EXPECT_EQ(g_notices[0].path, player.access_path);
  EXPECT_EQ(g_notices[0].context, 0x11u);
}

TEST_F(HoxaNotifyTest, PlayersAttachedAndDetachedByAnotherProcess) {
  ASSERT_TRUE(hoxa_.RegisterNotifyProc(RecordNotice, 0x5150));

  tesk::testing::ChildResult result = tesk::testing::RunChild("tesk", {"sim", "attach", "gannet1"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  ASSERT_TRUE(PumpUntilNotices(1)) << "no arrival notice";
  char path[MAX_PATH] = {};
  ASSERT_TRUE(hoxa_.EnumDevices(0, path, sizeof(path)));
  EXPECT_EQ(g_notices[0].event, DWORD{HOXA_NOTIFY_ARRIVAL});
  EXPECT_EQ(g_notices[0].path, path);
  EXPECT_EQ(g_notices[0].context, 0x5150u);

  result = tesk::testing::RunChild("tesk", {"sim", "detach", "gannet1"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  ASSERT_TRUE(PumpUntilNotices(2)) << "no removal notice";
  EXPECT_EQ(g_notices[1].event, DWORD{HOXA_NOTIFY_REMOVAL});
  EXPECT_EQ(g_notices[1].path, path);
  EXPECT_EQ(g_notices[1].context, 0x5150u);
  // Nothing else of the player (its volume) reaches the procedure.
  PumpUntil([] { return true; });
  EXPECT_EQ(g_notices.size(), 2u);
}

TEST_F(HoxaNotifyTest, MessagesSentToTheWindow) {
  ASSERT_TRUE(hoxa_.RegisterNotifyProc(RecordNotice, 0x33));
  AddPlayer("G0001");
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(PumpUntilNotices(1));
  ASSERT_NE(notify_window_, nullptr);
  g_notices.clear();

  // An interface record with its name, and a volume record.
  alignas(DEV_BROADCAST_DEVICEINTERFACE_A) char
      interface_record[sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) + 32] = {};
  auto* notice = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(interface_record);
  notice->dbcc_size = sizeof(interface_record);
  notice->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  notice->dbcc_classguid = GUID_CLASS_HOXA_DEVICE;
  std::strcpy(notice->dbcc_name, "\\\\?\\sent#directly");
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof(volume);
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << 5;

  struct Case {
    const char* what;
    WPARAM event;
    const void* record;
    std::vector<DWORD> notices;
  };
  const Case cases[] = {
      {"arrival", DBT_DEVICEARRIVAL, notice, {HOXA_NOTIFY_ARRIVAL}},
      {"removal complete", DBT_DEVICEREMOVECOMPLETE, notice, {HOXA_NOTIFY_REMOVAL}},
      {"removal query", DBT_DEVICEQUERYREMOVE, notice, {}},
      {"removal pending", DBT_DEVICEREMOVEPENDING, notice, {}},
      {"volume arrival", DBT_DEVICEARRIVAL, &volume, {}},
      {"no record", DBT_DEVICEARRIVAL, nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_notices.clear();
    EXPECT_EQ(SendMessageA(notify_window_, WM_DEVICECHANGE, c.event, reinterpret_cast<LPARAM>(c.record)),
              TRUE);
    ASSERT_EQ(g_notices.size(), c.notices.size());
    for (std::size_t i = 0; i < c.notices.size(); ++i) {
      EXPECT_EQ(g_notices[i].event, c.notices[i]);
      EXPECT_EQ(g_notices[i].path, "\\\\?\\sent#directly");
      EXPECT_EQ(g_notices[i].context, 0x33u);
    }
  }
  // Any other message is the default procedure's.
  EXPECT_EQ(SendMessageA(notify_window_, WM_USER, 0, 0), 0);

  // Switched off, the window stays and still grants everything; switched on again, the same
  // window serves the new procedure and context.
  g_notices.clear();
  EXPECT_TRUE(hoxa_.RegisterNotifyProc(nullptr, 0));
  EXPECT_EQ(
      SendMessageA(notify_window_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(notice)),
      TRUE);
  EXPECT_TRUE(g_notices.empty());
  EXPECT_TRUE(IsWindow(notify_window_));
  EXPECT_TRUE(hoxa_.RegisterNotifyProc(RecordNotice, 0x44));
  EXPECT_EQ(
      SendMessageA(notify_window_, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(notice)),
      TRUE);
  ASSERT_EQ(g_notices.size(), 1u);
  EXPECT_EQ(g_notices[0].context, 0x44u);
}

}  // namespace
}  // namespace hoxa_test
