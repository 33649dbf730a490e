// The hidden-window subset of user32: window classes, windows and per-thread message queues.
//
// A window belongs to the thread that created it, and every thread gets a message queue the
// first time it needs one. Messages posted from any thread wait in the owner's queue until it
// takes them (GetMessageA, PeekMessageA); DispatchMessageA runs the window's procedure on the
// calling thread. SendMessageA from the owner thread calls the procedure directly; from
// another thread it queues the call for the owner, which runs it the next time it looks at its
// queue, and waits for the result, meanwhile running calls sent to its own thread so that two
// threads sending to each other do not deadlock. A thread that never looks at its queue keeps
// its senders waiting, as on Windows.
//
// When a thread ends its windows go without further messages, its queue is closed and calls
// still waiting for it answer 0.
//
// Locks: the state lock (classes, windows, the thread to queue map) comes before a queue's
// lock; the wait lock of handles.h comes before a queue's lock too (MsgWaitForMultipleObjects
// looks at the queue from a wait hook), and the state lock is never held with it. No window
// procedure runs, and nothing outside this file is called, with any of them held.

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <tesk/win32/winbase.h>
#include <tesk/win32/winuser.h>

#include "handles.h"
#include "user32_internal.h"

namespace tesk::win32::internal {
namespace {

// PeekMessageA and GetMessageA take only thread messages (those without a window) for this.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// Window handles count up from here in steps of two and are not given out again until the
// count wraps, far beyond any process's life. They stay below 2^32: code written for
// Windows may keep one in a DWORD.
constexpr std::uintptr_t kFirstWindow = 0x00020000;
constexpr std::uintptr_t kLastWindow = 0xFFFFFFF0;
constexpr ATOM kFirstAtom = 0xC000;

struct Posted {
  MSG msg{};
  std::unique_ptr<char[]> record;  // what lParam points at, for messages that carry one
};

class Queue;

// A call another thread is waiting for.
struct SentCall {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  std::shared_ptr<Queue> sender;
  // Guarded by the sender's queue lock.
  bool done = false;
  LRESULT result = 0;
};

class Queue {
 public:
  explicit Queue(DWORD thread) : thread_id(thread) {}

  const DWORD thread_id;
  std::mutex lock;
  std::condition_variable changed;
  // Guarded by lock.
  std::deque<Posted> posted;
  std::deque<std::shared_ptr<SentCall>> incoming;
  bool quit = false;
  int quit_code = 0;
  bool closed = false;
  // Touched only by the owner thread.
  std::vector<std::unique_ptr<char[]>> held;  // records of messages taken
  std::vector<LPARAM> dispatching;            // lParams of the dispatches under way
};

// Wakes the owner's GetMessageA and any MsgWaitForMultipleObjects on the queue. The wait
// lock is taken once so that a waiter between its check and its sleep cannot miss the change.
void Wake(Queue& queue) {
  queue.changed.notify_all();
  { std::lock_guard<std::mutex> hold(WaitLock()); }
  WakeWaiters();
}

struct ClassInfo {
  std::string key;  // lower case
  HINSTANCE instance = nullptr;
  WNDPROC proc = nullptr;
  UINT style = 0;
  ATOM atom = 0;
  int windows = 0;
};

struct WindowInfo {
  WNDPROC proc = nullptr;
  DWORD thread = 0;
  std::shared_ptr<Queue> queue;
  ATOM atom = 0;
  bool destroying = false;
};

struct State {
  std::mutex lock;
  std::vector<ClassInfo> classes;
  std::unordered_map<std::uintptr_t, WindowInfo> windows;
  std::unordered_map<DWORD, std::weak_ptr<Queue>> queues;
  std::uintptr_t next_window = kFirstWindow;
};

// Never destroyed: windows and queues may go while the process exits.
State& Global() {
  static auto* state = new State;
  return *state;
}

std::uintptr_t Key(HWND hwnd) {
  return reinterpret_cast<std::uintptr_t>(hwnd);
}

// Only the owner thread frees its queue's records; a thread's teardown does it last.
struct ThreadQueue {
  std::shared_ptr<Queue> queue;
  ~ThreadQueue();
  // Trivially destructible, so still readable while other thread_locals are torn down.
  static thread_local bool gone;
};
thread_local bool ThreadQueue::gone = false;
thread_local ThreadQueue t_queue;

// The calling thread's queue, made on first use; null during the thread's last cleanup.
std::shared_ptr<Queue> CurrentQueue() {
  if (ThreadQueue::gone) return nullptr;
  if (!t_queue.queue) {
    auto queue = std::make_shared<Queue>(GetCurrentThreadId());
    {
      State& state = Global();
      std::lock_guard<std::mutex> hold(state.lock);
      state.queues[queue->thread_id] = queue;
    }
    t_queue.queue = std::move(queue);
  }
  return t_queue.queue;
}

void Complete(const std::shared_ptr<SentCall>& call, LRESULT result) {
  {
    std::lock_guard<std::mutex> hold(call->sender->lock);
    call->done = true;
    call->result = result;
  }
  call->sender->changed.notify_all();
}

ThreadQueue::~ThreadQueue() {
  gone = true;
  if (!queue) return;
  std::vector<HWND> windows;
  State& state = Global();
  {
    std::lock_guard<std::mutex> hold(state.lock);
    for (auto it = state.windows.begin(); it != state.windows.end();) {
      if (it->second.thread != queue->thread_id) {
        ++it;
        continue;
      }
      for (auto& info : state.classes)
        if (info.atom == it->second.atom) --info.windows;
      windows.push_back(reinterpret_cast<HWND>(it->first));
      it = state.windows.erase(it);
    }
    auto mine = state.queues.find(queue->thread_id);
    if (mine != state.queues.end() && mine->second.lock() == queue) state.queues.erase(mine);
  }
  for (HWND hwnd : windows) ForgetDeviceNotifications(hwnd);
  std::deque<std::shared_ptr<SentCall>> pending;
  std::deque<Posted> dropped;
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    queue->closed = true;
    pending.swap(queue->incoming);
    dropped.swap(queue->posted);
  }
  for (const auto& call : pending) Complete(call, 0);
  queue->held.clear();
  queue.reset();
}

HINSTANCE ProgramInstance() {
  static const HINSTANCE program = GetModuleHandleA(nullptr);
  return program;
}

HINSTANCE OrProgram(HINSTANCE instance) {
  return instance ? instance : ProgramInstance();
}

std::string LowerAscii(const char* text) {
  std::string key(text);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

bool IsAtomName(LPCSTR name) {
  return reinterpret_cast<std::uintptr_t>(name) <= 0xFFFF;
}

// State lock held. The class a name (or atom) and instance find, or null: one registered by
// that instance first, then a global one.
ClassInfo* FindClass(State& state, LPCSTR name, HINSTANCE instance, bool include_global) {
  if (IsAtomName(name)) {
    const auto atom = static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name));
    for (auto& info : state.classes)
      if (info.atom == atom) return &info;
    return nullptr;
  }
  const std::string key = LowerAscii(name);
  for (auto& info : state.classes)
    if (info.key == key && info.instance == instance) return &info;
  if (include_global) {
    for (auto& info : state.classes)
      if (info.key == key && (info.style & CS_GLOBALCLASS)) return &info;
  }
  return nullptr;
}

// State lock held.
WindowInfo* FindWindow(State& state, HWND hwnd) {
  auto it = state.windows.find(Key(hwnd));
  return it == state.windows.end() ? nullptr : &it->second;
}

// The procedure of a window of the calling thread, or null (the window is gone or is
// another thread's).
WNDPROC OwnWindowProc(HWND hwnd) {
  State& state = Global();
  std::lock_guard<std::mutex> hold(state.lock);
  const WindowInfo* window = FindWindow(state, hwnd);
  return window && window->thread == GetCurrentThreadId() ? window->proc : nullptr;
}

// Runs the calls other threads sent to the calling thread.
void ServeIncoming(Queue& queue) {
  for (;;) {
    std::shared_ptr<SentCall> call;
    {
      std::lock_guard<std::mutex> hold(queue.lock);
      if (queue.incoming.empty()) return;
      call = std::move(queue.incoming.front());
      queue.incoming.pop_front();
    }
    const WNDPROC proc = OwnWindowProc(call->hwnd);
    Complete(call, proc ? proc(call->hwnd, call->message, call->wparam, call->lparam) : 0);
  }
}

bool Matches(const MSG& msg, HWND filter, UINT first, UINT last) {
  if (filter == kThreadMessagesOnly) {
    if (msg.hwnd) return false;
  } else if (filter && msg.hwnd != filter) {
    return false;
  }
  return (first == 0 && last == 0) || (msg.message >= first && msg.message <= last);
}

// Queue lock held. The first message the filter lets through; WM_QUIT once nothing else is
// there, whatever the filter.
bool TakeLocked(Queue& queue, HWND filter, UINT first, UINT last, bool remove, MSG* out,
                std::unique_ptr<char[]>* record) {
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!Matches(it->msg, filter, first, last)) continue;
    *out = it->msg;
    if (remove) {
      *record = std::move(it->record);
      queue.posted.erase(it);
    }
    return true;
  }
  if (!queue.quit) return false;
  *out = MSG{};
  out->message = WM_QUIT;
  out->wParam = static_cast<WPARAM>(queue.quit_code);
  out->time = GetTickCount();
  if (remove) queue.quit = false;
  return true;
}

bool Dispatching(const Queue& queue, const char* record) {
  const auto value = reinterpret_cast<LPARAM>(record);
  return std::find(queue.dispatching.begin(), queue.dispatching.end(), value) != queue.dispatching.end();
}

// Owner thread. A message was taken: records of earlier ones go unless a procedure is still
// looking at them, and the new one's record is kept.
void KeepRecord(Queue& queue, std::unique_ptr<char[]> record) {
  std::erase_if(queue.held,
                [&queue](const std::unique_ptr<char[]>& held) { return !Dispatching(queue, held.get()); });
  if (record) queue.held.push_back(std::move(record));
}

// Whether the filter names a window of the calling thread, or no window.
bool ValidFilter(HWND filter) {
  return !filter || filter == kThreadMessagesOnly || OwnWindowProc(filter) != nullptr;
}

MSG Message(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  MSG msg{};
  msg.hwnd = hwnd;
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  msg.time = GetTickCount();
  return msg;
}

// Queues a message for a window (or, with no window, for the calling thread). Done under the
// state lock so that DestroyWindow's purge sees every message posted before it.
BOOL Post(HWND hwnd, Posted posted) {
  std::shared_ptr<Queue> queue;
  if (!hwnd) {
    queue = CurrentQueue();
    if (!queue) return FALSE;
    std::lock_guard<std::mutex> hold(queue->lock);
    queue->posted.push_back(std::move(posted));
  } else {
    State& state = Global();
    std::lock_guard<std::mutex> hold(state.lock);
    const WindowInfo* window = FindWindow(state, hwnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue = window->queue;
    std::lock_guard<std::mutex> hold_queue(queue->lock);
    if (queue->closed) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    queue->posted.push_back(std::move(posted));
  }
  Wake(*queue);
  return TRUE;
}

// Signalled while the queue holds what the wake mask asks for.
class QueueWait : public KernelObject {
 public:
  QueueWait(std::shared_ptr<Queue> queue, DWORD mask) : queue_(std::move(queue)), mask_(mask) {}
  bool Waitable() const override { return true; }
  bool IsSignaled(DWORD /*thread_id*/) override {
    std::lock_guard<std::mutex> hold(queue_->lock);
    const bool posted = !queue_->posted.empty() || queue_->quit;
    return (posted && (mask_ & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE))) ||
           (!queue_->incoming.empty() && (mask_ & QS_SENDMESSAGE));
  }

 private:
  const std::shared_ptr<Queue> queue_;
  const DWORD mask_;
};

HWND NewWindowHandle(State& state) {
  for (;;) {
    const std::uintptr_t value = state.next_window;
    state.next_window = value >= kLastWindow ? kFirstWindow : value + 2;
    if (!state.windows.count(value)) return reinterpret_cast<HWND>(value);
  }
}

ATOM NewAtom(const State& state) {
  for (DWORD atom = kFirstAtom; atom <= 0xFFFF; ++atom) {
    const bool used = std::any_of(state.classes.begin(), state.classes.end(),
                                  [atom](const ClassInfo& info) { return info.atom == atom; });
    if (!used) return static_cast<ATOM>(atom);
  }
  return 0;
}

}  // namespace

bool PostMessageWithRecord(HWND window, UINT message, WPARAM wparam, std::unique_ptr<char[]> record) {
  if (!window) return false;
  Posted posted;
  posted.msg = Message(window, message, wparam, reinterpret_cast<LPARAM>(record.get()));
  posted.record = std::move(record);
  return Post(window, std::move(posted)) != FALSE;
}

bool IsLiveWindow(HWND window) {
  State& state = Global();
  std::lock_guard<std::mutex> hold(state.lock);
  const WindowInfo* info = FindWindow(state, window);
  return info && !info->destroying;
}

}  // namespace tesk::win32::internal

using namespace tesk::win32::internal;

extern "C" {

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
  if (!lpWndClass || !lpWndClass->lpfnWndProc || IsAtomName(lpWndClass->lpszClassName) ||
      !*lpWndClass->lpszClassName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  try {
    ClassInfo info;
    info.key = LowerAscii(lpWndClass->lpszClassName);
    info.instance = OrProgram(lpWndClass->hInstance);
    info.proc = lpWndClass->lpfnWndProc;
    info.style = lpWndClass->style;
    State& state = Global();
    std::lock_guard<std::mutex> hold(state.lock);
    const bool global = (info.style & CS_GLOBALCLASS) != 0;
    const bool taken = std::any_of(state.classes.begin(), state.classes.end(), [&](const ClassInfo& other) {
      return other.key == info.key &&
             (other.instance == info.instance || (global && (other.style & CS_GLOBALCLASS)));
    });
    if (taken) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
    info.atom = NewAtom(state);
    if (!info.atom) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    state.classes.push_back(std::move(info));
    return state.classes.back().atom;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) {
  if (!lpClassName) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  State& state = Global();
  std::lock_guard<std::mutex> hold(state.lock);
  ClassInfo* info = FindClass(state, lpClassName, OrProgram(hInstance), false);
  if (!info) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (info->windows > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  state.classes.erase(state.classes.begin() + (info - state.classes.data()));
  return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X,
                            int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam) {
  if (!lpClassName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (hWndParent && hWndParent != HWND_MESSAGE && !IsWindow(hWndParent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  HWND hwnd = nullptr;
  WNDPROC proc = nullptr;
  try {
    std::shared_ptr<Queue> queue = CurrentQueue();
    if (!queue) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return nullptr;
    }
    State& state = Global();
    std::lock_guard<std::mutex> hold(state.lock);
    ClassInfo* info = FindClass(state, lpClassName, OrProgram(hInstance), true);
    if (!info) {
      SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
      return nullptr;
    }
    WindowInfo window;
    window.proc = proc = info->proc;
    window.thread = queue->thread_id;
    window.queue = std::move(queue);
    window.atom = info->atom;
    hwnd = NewWindowHandle(state);
    state.windows.emplace(Key(hwnd), std::move(window));
    ++info->windows;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  CREATESTRUCTA create{};
  create.lpCreateParams = lpParam;
  create.hInstance = hInstance;
  create.hMenu = hMenu;
  create.hwndParent = hWndParent;
  create.cy = nHeight;
  create.cx = nWidth;
  create.y = Y;
  create.x = X;
  create.style = static_cast<LONG>(dwStyle);
  create.lpszName = lpWindowName;
  create.lpszClass = lpClassName;
  create.dwExStyle = dwExStyle;
  if (proc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
    DestroyWindow(hwnd);
    return nullptr;
  }
  // The procedure may have destroyed the window itself.
  return IsWindow(hwnd) ? hwnd : nullptr;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  WNDPROC proc = nullptr;
  State& state = Global();
  {
    std::lock_guard<std::mutex> hold(state.lock);
    WindowInfo* window = FindWindow(state, hWnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (window->thread != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    // A procedure that destroys its window again while handling WM_DESTROY.
    if (window->destroying) return TRUE;
    window->destroying = true;
    proc = window->proc;
  }
  ForgetDeviceNotifications(hWnd);
  proc(hWnd, WM_DESTROY, 0, 0);

  std::deque<Posted> purged;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    auto it = state.windows.find(Key(hWnd));
    if (it == state.windows.end()) return TRUE;
    const std::shared_ptr<Queue> queue = it->second.queue;
    for (auto& info : state.classes)
      if (info.atom == it->second.atom) --info.windows;
    state.windows.erase(it);
    std::lock_guard<std::mutex> hold_queue(queue->lock);
    for (auto posted = queue->posted.begin(); posted != queue->posted.end();) {
      if (posted->msg.hwnd == hWnd) {
        purged.push_back(std::move(*posted));
        posted = queue->posted.erase(posted);
      } else {
        ++posted;
      }
    }
  }
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  State& state = Global();
  std::lock_guard<std::mutex> hold(state.lock);
  return FindWindow(state, hWnd) ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM /*wParam*/, LPARAM /*lParam*/) {
  switch (Msg) {
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_DEVICECHANGE:
      return TRUE;
    default:
      return 0;
  }
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (!ValidFilter(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  const std::shared_ptr<Queue> queue = CurrentQueue();
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return -1;
  }
  std::unique_lock<std::mutex> lock(queue->lock);
  for (;;) {
    if (!queue->incoming.empty()) {
      lock.unlock();
      ServeIncoming(*queue);
      lock.lock();
      continue;
    }
    std::unique_ptr<char[]> record;
    if (TakeLocked(*queue, hWnd, wMsgFilterMin, wMsgFilterMax, true, lpMsg, &record)) {
      lock.unlock();
      KeepRecord(*queue, std::move(record));
      return lpMsg->message == WM_QUIT ? FALSE : TRUE;
    }
    queue->changed.wait(lock);
  }
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!ValidFilter(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const std::shared_ptr<Queue> queue = CurrentQueue();
  if (!queue) return FALSE;
  ServeIncoming(*queue);
  std::unique_ptr<char[]> record;
  const bool remove = (wRemoveMsg & PM_REMOVE) != 0;
  bool found;
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    found = TakeLocked(*queue, hWnd, wMsgFilterMin, wMsgFilterMax, remove, lpMsg, &record);
  }
  if (found && remove) KeepRecord(*queue, std::move(record));
  return found ? TRUE : FALSE;
}

// No keyboard input reaches these windows: there is never anything to translate.
BOOL WINAPI TranslateMessage(const MSG* /*lpMsg*/) {
  return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Thread messages have no procedure to go to.
  if (!lpMsg->hwnd) return 0;
  WNDPROC proc = nullptr;
  {
    State& state = Global();
    std::lock_guard<std::mutex> hold(state.lock);
    const WindowInfo* window = FindWindow(state, lpMsg->hwnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (window->thread != GetCurrentThreadId()) {
      SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
      return 0;
    }
    proc = window->proc;
  }
  const std::shared_ptr<Queue> queue = CurrentQueue();
  if (!queue) return proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
  try {
    queue->dispatching.push_back(lpMsg->lParam);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  // The procedure may reuse the caller's MSG for a message loop of its own.
  const LPARAM lparam = lpMsg->lParam;
  const LRESULT result = proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lparam);
  queue->dispatching.erase(std::find(queue->dispatching.begin(), queue->dispatching.end(), lparam));
  if (!Dispatching(*queue, reinterpret_cast<const char*>(lparam))) {
    std::erase_if(queue->held, [lparam](const std::unique_ptr<char[]>& held) {
      return reinterpret_cast<LPARAM>(held.get()) == lparam;
    });
  }
  return result;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  try {
    Posted posted;
    posted.msg = Message(hWnd, Msg, wParam, lParam);
    return Post(hWnd, std::move(posted));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Queue> target;
  WNDPROC own_proc = nullptr;
  {
    State& state = Global();
    std::lock_guard<std::mutex> hold(state.lock);
    const WindowInfo* window = FindWindow(state, hWnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (window->thread == GetCurrentThreadId()) {
      own_proc = window->proc;
    } else {
      target = window->queue;
    }
  }
  if (own_proc) return own_proc(hWnd, Msg, wParam, lParam);
  try {
    const std::shared_ptr<Queue> self = CurrentQueue();
    if (!self) return 0;
    auto call = std::make_shared<SentCall>();
    call->hwnd = hWnd;
    call->message = Msg;
    call->wparam = wParam;
    call->lparam = lParam;
    call->sender = self;
    {
      std::lock_guard<std::mutex> hold(target->lock);
      if (target->closed) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
      target->incoming.push_back(call);
    }
    Wake(*target);
    std::unique_lock<std::mutex> lock(self->lock);
    while (!call->done) {
      if (!self->incoming.empty()) {
        lock.unlock();
        ServeIncoming(*self);
        lock.lock();
        continue;
      }
      self->changed.wait(lock);
    }
    return call->result;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Queue> queue;
  {
    State& state = Global();
    std::lock_guard<std::mutex> hold(state.lock);
    auto it = state.queues.find(idThread);
    if (it != state.queues.end()) queue = it->second.lock();
  }
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  try {
    std::lock_guard<std::mutex> hold(queue->lock);
    if (queue->closed) {
      SetLastError(ERROR_INVALID_THREAD_ID);
      return FALSE;
    }
    Posted posted;
    posted.msg = Message(nullptr, Msg, wParam, lParam);
    queue->posted.push_back(std::move(posted));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  Wake(*queue);
  return TRUE;
}

void WINAPI PostQuitMessage(int nExitCode) {
  const std::shared_ptr<Queue> queue = CurrentQueue();
  if (!queue) return;
  {
    std::lock_guard<std::mutex> hold(queue->lock);
    queue->quit = true;
    queue->quit_code = nExitCode;
  }
  Wake(*queue);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                       DWORD dwMilliseconds, DWORD dwWakeMask) {
  if (nCount >= MAXIMUM_WAIT_OBJECTS || (nCount > 0 && !pHandles)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<ObjectRef> objects;
  try {
    objects.reserve(nCount + 1);
    for (DWORD i = 0; i < nCount; ++i) {
      ObjectRef object = ObjectFromHandle(pHandles[i]);
      if (!object || !object->Waitable()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      if (fWaitAll && std::find(objects.begin(), objects.end(), object) != objects.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
      }
      objects.push_back(std::move(object));
    }
    if (dwWakeMask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE | QS_SENDMESSAGE)) {
      std::shared_ptr<Queue> queue = CurrentQueue();
      if (queue) objects.push_back(std::make_shared<QueueWait>(std::move(queue), dwWakeMask));
    }
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
  return WaitForObjects(objects, fWaitAll != FALSE, dwMilliseconds);
}

}  // extern "C"
