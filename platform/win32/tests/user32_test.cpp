// Window classes, windows and their threads' message queues.
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/win32/windows.h>

namespace {

constexpr UINT kDouble = WM_USER + 1;  // answers wParam * 2
constexpr char kClass[] = "User32TestWindow";

struct Seen {
  HWND hwnd;
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  DWORD thread;
  bool operator==(const Seen&) const = default;
};

std::mutex g_seen_mutex;
std::vector<Seen> g_seen;
CREATESTRUCTA g_create{};

std::vector<Seen> TakeSeen() {
  std::lock_guard<std::mutex> hold(g_seen_mutex);
  return std::exchange(g_seen, {});
}

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  {
    std::lock_guard<std::mutex> hold(g_seen_mutex);
    g_seen.push_back({hwnd, message, wparam, lparam, GetCurrentThreadId()});
  }
  switch (message) {
    case WM_CREATE: {
      g_create = *reinterpret_cast<const CREATESTRUCTA*>(lparam);
      const auto* answer = static_cast<const LRESULT*>(g_create.lpCreateParams);
      return answer ? *answer : 0;
    }
    case kDouble:
      return static_cast<LRESULT>(wparam * 2);
    default:
      return DefWindowProcA(hwnd, message, wparam, lparam);
  }
}

LRESULT CALLBACK OtherProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  return message == kDouble ? 1000 : DefWindowProcA(hwnd, message, wparam, lparam);
}

// Instances of modules other than the program; only their identity matters.
int g_module_a, g_module_b;
HINSTANCE ModuleA() {
  return reinterpret_cast<HINSTANCE>(&g_module_a);
}
HINSTANCE ModuleB() {
  return reinterpret_cast<HINSTANCE>(&g_module_b);
}

HWND MakeWindow(LPCSTR class_name, HINSTANCE instance = nullptr, LPVOID param = nullptr) {
  return CreateWindowExA(0, class_name, "test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, param);
}

class User32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    TakeSeen();
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = RecordingProc;
    window_class.lpszClassName = kClass;
    atom_ = RegisterClassA(&window_class);
    ASSERT_NE(0, atom_) << GetLastError();
  }
  void TearDown() override {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    for (HWND hwnd : windows_)
      if (IsWindow(hwnd)) DestroyWindow(hwnd);
    UnregisterClassA(kClass, nullptr);
  }
  HWND Make(LPVOID param = nullptr) {
    const HWND hwnd = MakeWindow(kClass, nullptr, param);
    if (hwnd) windows_.push_back(hwnd);
    return hwnd;
  }

  ATOM atom_ = 0;
  std::vector<HWND> windows_;
};

TEST_F(User32Test, ClassesAreKeptPerModuleAndName) {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = OtherProc;
  window_class.lpszClassName = "USER32TESTWINDOW";
  SetLastError(0);
  EXPECT_EQ(0, RegisterClassA(&window_class));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS), GetLastError());

  // Another module may use the same name; its windows get its own procedure.
  window_class.hInstance = ModuleA();
  ASSERT_NE(0, RegisterClassA(&window_class));
  const HWND other = MakeWindow(kClass, ModuleA());
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(1000, SendMessageA(other, kDouble, 1, 0));
  const HWND mine = Make();
  ASSERT_NE(nullptr, mine);
  EXPECT_EQ(2, SendMessageA(mine, kDouble, 1, 0));
  // ... and so does a window made through the class's atom.
  const HWND by_atom = MakeWindow(reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(atom_)));
  ASSERT_NE(nullptr, by_atom);
  EXPECT_EQ(4, SendMessageA(by_atom, kDouble, 2, 0));
  DestroyWindow(by_atom);

  // A class of one module is not found from another, unless it is global.
  SetLastError(0);
  EXPECT_EQ(nullptr, MakeWindow("User32TestWindow", ModuleB()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST), GetLastError());
  window_class.lpszClassName = "User32TestGlobal";
  window_class.style = CS_GLOBALCLASS;
  ASSERT_NE(0, RegisterClassA(&window_class));
  const HWND global = MakeWindow("user32testglobal", ModuleB());
  ASSERT_NE(nullptr, global);
  DestroyWindow(global);
  EXPECT_TRUE(UnregisterClassA("User32TestGlobal", ModuleA()));

  SetLastError(0);
  EXPECT_EQ(nullptr, MakeWindow("NoSuchClass"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST), GetLastError());

  // A class goes only once its windows have.
  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA(kClass, ModuleA()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS), GetLastError());
  EXPECT_TRUE(DestroyWindow(other));
  EXPECT_TRUE(UnregisterClassA(kClass, ModuleA()));
  SetLastError(0);
  EXPECT_FALSE(UnregisterClassA(kClass, ModuleA()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST), GetLastError());
  EXPECT_EQ(2, SendMessageA(mine, kDouble, 1, 0));
}

TEST_F(User32Test, BadClassesAreRefused) {
  WNDCLASSA good{};
  good.lpfnWndProc = RecordingProc;
  good.lpszClassName = "User32TestBad";
  WNDCLASSA no_name = good, empty_name = good, no_proc = good;
  no_name.lpszClassName = nullptr;
  empty_name.lpszClassName = "";
  no_proc.lpfnWndProc = nullptr;
  const struct {
    const char* what;
    const WNDCLASSA* window_class;
  } cases[] = {
      {"no record", nullptr}, {"no name", &no_name}, {"empty name", &empty_name}, {"no procedure", &no_proc}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_EQ(0, RegisterClassA(c.window_class));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  SetLastError(0);
  EXPECT_EQ(nullptr, CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, reinterpret_cast<HWND>(0x1234), nullptr,
                                     nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
}

TEST_F(User32Test, AWindowIsCreatedAndDestroyedWithItsMessages) {
  LRESULT accept = 0;
  const HWND hwnd = Make(&accept);
  ASSERT_NE(nullptr, hwnd);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(&accept, g_create.lpCreateParams);
  EXPECT_STREQ(kClass, g_create.lpszClass);
  EXPECT_EQ(HWND_MESSAGE, g_create.hwndParent);

  // A message still queued for the window goes with it.
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 7, 0, 0));
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_FALSE(IsWindow(hwnd));
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  const auto seen = TakeSeen();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(static_cast<UINT>(WM_CREATE), seen[0].message);
  EXPECT_EQ((Seen{hwnd, WM_DESTROY, 0, 0, GetCurrentThreadId()}), seen[1]);

  const struct {
    const char* what;
    BOOL result;
  } gone[] = {{"destroy", DestroyWindow(hwnd)},
              {"post", PostMessageA(hwnd, WM_USER, 0, 0)},
              {"send", static_cast<BOOL>(SendMessageA(hwnd, kDouble, 1, 0))},
              {"get", GetMessageA(&msg, hwnd, 0, 0) == -1 ? FALSE : TRUE}};
  for (const auto& c : gone) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(c.result);
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());

  // A refused WM_CREATE destroys the window; handles are not given out again.
  LRESULT refuse = -1;
  EXPECT_EQ(nullptr, Make(&refuse));
  const auto refused = TakeSeen();
  ASSERT_EQ(2u, refused.size());
  EXPECT_EQ(static_cast<UINT>(WM_DESTROY), refused[1].message);
  EXPECT_FALSE(IsWindow(refused[1].hwnd));
  const HWND next = Make();
  ASSERT_NE(nullptr, next);
  EXPECT_NE(hwnd, next);
  EXPECT_NE(refused[1].hwnd, next);
}

TEST_F(User32Test, MessagesComeInOrderThroughTheFilters) {
  const HWND a = Make(), b = Make();
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(PostMessageA(a, kDouble, 1, 10));
  ASSERT_TRUE(PostMessageA(b, WM_USER + 2, 2, 20));
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_USER + 3, 3, 30));
  ASSERT_TRUE(PostMessageA(a, WM_USER + 4, 4, 40));
  ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 5, 5, 50));  // a thread message too

  MSG msg;
  struct Take {
    const char* what;
    HWND filter;
    UINT first, last, remove;
    HWND hwnd;
    UINT message;
  } takes[] = {
      {"peek leaves it", nullptr, 0, 0, PM_NOREMOVE, a, kDouble},
      {"window b", b, 0, 0, PM_REMOVE, b, WM_USER + 2},
      {"thread messages", reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE, nullptr, WM_USER + 3},
      {"range", nullptr, WM_USER + 4, WM_USER + 5, PM_REMOVE, a, WM_USER + 4},
      {"first of the rest", nullptr, 0, 0, PM_REMOVE, a, kDouble},
  };
  for (const auto& t : takes) {
    SCOPED_TRACE(t.what);
    ASSERT_TRUE(PeekMessageA(&msg, t.filter, t.first, t.last, t.remove));
    EXPECT_EQ(t.hwnd, msg.hwnd);
    EXPECT_EQ(t.message, msg.message);
  }
  EXPECT_EQ(1u, msg.wParam);
  EXPECT_EQ(10, msg.lParam);
  EXPECT_FALSE(PeekMessageA(&msg, b, 0, 0, PM_NOREMOVE));
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 10, WM_USER + 20, PM_NOREMOVE));

  // The procedure runs on dispatch, and its answer comes back.
  TakeSeen();
  MSG taken{};
  taken.hwnd = a;
  taken.message = kDouble;
  taken.wParam = 21;
  EXPECT_EQ(42, DispatchMessageA(&taken));
  ASSERT_EQ(1, GetMessageA(&msg, nullptr, 0, 0));
  EXPECT_EQ(static_cast<UINT>(WM_USER + 5), msg.message);
  EXPECT_EQ(nullptr, msg.hwnd);
  EXPECT_EQ(0, DispatchMessageA(&msg));  // a thread message has nowhere to go
  EXPECT_EQ((std::vector<Seen>{{a, kDouble, 21, 0, GetCurrentThreadId()}}), TakeSeen());
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));

  SetLastError(0);
  EXPECT_EQ(-1, GetMessageA(&msg, reinterpret_cast<HWND>(0x1234), 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  EXPECT_EQ(-1, GetMessageA(nullptr, nullptr, 0, 0));
}

TEST_F(User32Test, QuitComesAfterThePostedMessagesWhateverTheFilter) {
  const HWND hwnd = Make();
  ASSERT_TRUE(PostMessageA(hwnd, WM_USER, 0, 0));
  PostQuitMessage(7);
  MSG msg;
  EXPECT_EQ(TRUE, GetMessageA(&msg, nullptr, 0, 0));
  EXPECT_EQ(static_cast<UINT>(WM_USER), msg.message);
  EXPECT_EQ(FALSE, GetMessageA(&msg, nullptr, WM_USER, WM_USER));
  EXPECT_EQ(static_cast<UINT>(WM_QUIT), msg.message);
  EXPECT_EQ(7u, msg.wParam);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(User32Test, SendMessageCallsTheProcedureOnItsOwnThread) {
  const HWND hwnd = Make();
  TakeSeen();
  EXPECT_EQ(42, SendMessageA(hwnd, kDouble, 21, 0));
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));

  // From another thread the call waits for the owner, which runs it while it waits for its
  // own messages.
  const DWORD owner = GetCurrentThreadId();
  LRESULT answer = 0;
  DWORD destroy_error = 0, dispatch_error = 0;
  std::thread sender([&] {
    answer = SendMessageA(hwnd, kDouble, 5, 0);
    DestroyWindow(hwnd);
    destroy_error = GetLastError();
    MSG foreign{};
    foreign.hwnd = hwnd;
    DispatchMessageA(&foreign);
    dispatch_error = GetLastError();
    PostMessageA(hwnd, WM_USER + 9, 0, 0);
  });
  do {
    ASSERT_EQ(TRUE, GetMessageA(&msg, nullptr, 0, 0));
  } while (msg.message != WM_USER + 9);
  sender.join();
  EXPECT_EQ(10, answer);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), destroy_error);
  EXPECT_EQ(static_cast<DWORD>(ERROR_WINDOW_OF_OTHER_THREAD), dispatch_error);
  const auto seen = TakeSeen();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ((Seen{hwnd, kDouble, 21, 0, owner}), seen[0]);
  EXPECT_EQ((Seen{hwnd, kDouble, 5, 0, owner}), seen[1]);

  // What the default procedure answers.
  EXPECT_EQ(TRUE, DefWindowProcA(hwnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
  EXPECT_EQ(0, DefWindowProcA(hwnd, WM_USER + 3, 1, 2));
  EXPECT_EQ(0, SendMessageA(hwnd, WM_CLOSE, 0, 0));
  EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(User32Test, MsgWaitWakesForHandlesAndMessages) {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, event);
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists from here
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT));

  const DWORD self = GetCurrentThreadId();
  std::thread poster([self] { PostThreadMessageA(self, WM_USER + 5, 0, 0); });
  // The timeout only guards against a hang.
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0 + 1),
            MsgWaitForMultipleObjects(1, &event, FALSE, 30000, QS_ALLINPUT));
  poster.join();
  // A mask without posted messages does not see it.
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), MsgWaitForMultipleObjects(1, &event, FALSE, 0, 0));
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(static_cast<UINT>(WM_USER + 5), msg.message);

  SetEvent(event);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT));
  ResetEvent(event);
  PostQuitMessage(0);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0 + 1),
            MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT));
  CloseHandle(event);

  const HANDLE bad = reinterpret_cast<HANDLE>(0x7FF0);
  SetLastError(0);
  EXPECT_EQ(WAIT_FAILED, MsgWaitForMultipleObjects(1, &bad, FALSE, 0, QS_ALLINPUT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(User32Test, AThreadsEndTakesItsWindowsAndQueue) {
  HWND hwnd = nullptr;
  DWORD thread_id = 0;
  std::thread owner([&] {
    hwnd = MakeWindow(kClass);
    thread_id = GetCurrentThreadId();
    PostMessageA(hwnd, WM_USER, 0, 0);
  });
  owner.join();
  ASSERT_NE(nullptr, hwnd);
  EXPECT_FALSE(IsWindow(hwnd));
  SetLastError(0);
  EXPECT_FALSE(PostMessageA(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  EXPECT_FALSE(PostThreadMessageA(thread_id, WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_THREAD_ID), GetLastError());
  // The class no longer counts the window.
  EXPECT_TRUE(UnregisterClassA(kClass, nullptr));
}

}  // namespace
