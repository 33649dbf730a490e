// Threads, thread and process ids, Sleep and GetTickCount.
#include <pthread.h>
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include <tesk/win32/winbase.h>

#include "handles.h"

namespace tesk::win32::internal {
namespace {

constexpr std::uint64_t kNoDeadline = ~std::uint64_t{0};

thread_local DWORD t_thread_id = 0;
std::atomic<DWORD> g_process_id{0};

void ForgetIds() {
  t_thread_id = 0;
  g_process_id.store(0, std::memory_order_relaxed);
}

void ForgetIdsInForkedChildren() {
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, ForgetIds); });
}

class ThreadObject : public KernelObject {
 public:
  bool Waitable() const override { return true; }
  bool IsSignaled(DWORD /*thread_id*/) override { return exited; }

  // Set before the thread starts, read-only afterwards.
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  // Guarded by the wait lock.
  DWORD id = 0;
  bool started = false;
  bool exited = false;
  DWORD exit_code = STILL_ACTIVE;
  DWORD suspend_count = 0;
};

// The process is never signalled while anything in it can wait.
class ProcessObject : public KernelObject {
 public:
  bool Waitable() const override { return true; }
};

void MarkExited(ThreadObject& thread, DWORD exit_code) {
  {
    std::lock_guard<std::mutex> hold(WaitLock());
    thread.exited = true;
    thread.exit_code = exit_code;
  }
  WakeWaiters();
}

// The calling thread's object. A thread started by CreateThread fills it before anything
// else, so it is the thread's first thread_local and is destroyed last: waiters see the
// thread end only after every other per-thread cleanup has run.
struct CurrentThread {
  std::shared_ptr<ThreadObject> object;
  DWORD exit_code = 0;
  ~CurrentThread() {
    ended = true;
    if (object) MarkExited(*object, exit_code);
  }
  // Trivially destructible, so still readable while other thread_locals are torn down.
  static thread_local bool ended;
};
thread_local bool CurrentThread::ended = false;
thread_local CurrentThread t_current;

void* RunThread(void* arg) {
  std::shared_ptr<ThreadObject> self = std::move(*static_cast<std::shared_ptr<ThreadObject>*>(arg));
  delete static_cast<std::shared_ptr<ThreadObject>*>(arg);
  t_current.object = self;
  {
    std::unique_lock<std::mutex> lock(WaitLock());
    self->id = GetCurrentThreadId();
    self->started = true;
    WakeWaiters();
    while (self->suspend_count > 0) SleepOnWaitLock(lock, kNoDeadline);
  }
  t_current.exit_code = self->start(self->parameter);
  return nullptr;
}

std::size_t DefaultStackSize() {
  pthread_attr_t attr;
  std::size_t size = 0;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  return size;
}

}  // namespace

ObjectRef CurrentThreadObject() {
  if (CurrentThread::ended) {
    // Asked during the thread's last cleanup: an object that is already over.
    auto late = std::make_shared<ThreadObject>();
    late->id = GetCurrentThreadId();
    late->started = late->exited = true;
    late->exit_code = 0;
    return late;
  }
  if (!t_current.object) {
    auto object = std::make_shared<ThreadObject>();
    std::lock_guard<std::mutex> hold(WaitLock());
    object->id = GetCurrentThreadId();
    object->started = true;
    t_current.object = std::move(object);
  }
  return t_current.object;
}

ObjectRef CurrentProcessObject() {
  static ObjectRef* process = new ObjectRef(std::make_shared<ProcessObject>());
  return *process;
}

}  // namespace tesk::win32::internal

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
  using namespace tesk::win32::internal;
  if (!lpStartAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<ThreadObject> object;
  std::shared_ptr<ThreadObject>* arg = nullptr;
  try {
    object = std::make_shared<ThreadObject>();
    arg = new std::shared_ptr<ThreadObject>(object);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  object->start = lpStartAddress;
  object->parameter = lpParameter;
  object->suspend_count = (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0;
  const HANDLE handle = InsertHandle(object);
  if (!handle) {
    delete arg;
    return nullptr;
  }

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Windows stacks are small; only ever grow ours.
    if (dwStackSize > DefaultStackSize()) {
      const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
      pthread_attr_setstacksize(&attr, (dwStackSize + page - 1) / page * page);
    }
    pthread_t thread;
    rc = pthread_create(&thread, &attr, RunThread, arg);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    delete arg;
    RemoveHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  // The id is the kernel's, known only once the thread runs.
  std::unique_lock<std::mutex> lock(WaitLock());
  while (!object->started) SleepOnWaitLock(lock, ~std::uint64_t{0});
  if (lpThreadId) *lpThreadId = object->id;
  return handle;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  using namespace tesk::win32::internal;
  auto thread = ObjectFromHandleAs<ThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  DWORD previous;
  {
    std::lock_guard<std::mutex> hold(WaitLock());
    previous = thread->suspend_count;
    if (previous > 0) --thread->suspend_count;
  }
  if (previous == 1) WakeWaiters();
  return previous;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  using namespace tesk::win32::internal;
  auto thread = ObjectFromHandleAs<ThreadObject>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpExitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> hold(WaitLock());
  *lpExitCode = thread->exited ? thread->exit_code : STILL_ACTIVE;
  return TRUE;
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
  using namespace tesk::win32::internal;
  if (!ObjectFromHandleAs<ThreadObject>(hThread)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  constexpr int kIdle = -15, kTimeCritical = 15;
  if ((nPriority < THREAD_PRIORITY_LOWEST || nPriority > THREAD_PRIORITY_HIGHEST) && nPriority != kIdle &&
      nPriority != kTimeCritical) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Priorities need privileges on Linux and nothing here depends on them.
  return TRUE;
}

// Cached, since every wait and mutex asks; a forked child forgets the parent's ids.
DWORD WINAPI GetCurrentThreadId() {
  using tesk::win32::internal::t_thread_id;
  if (t_thread_id == 0) {
    tesk::win32::internal::ForgetIdsInForkedChildren();
    t_thread_id = static_cast<DWORD>(gettid());
  }
  return t_thread_id;
}

DWORD WINAPI GetCurrentProcessId() {
  using tesk::win32::internal::g_process_id;
  DWORD id = g_process_id.load(std::memory_order_relaxed);
  if (id == 0) {
    tesk::win32::internal::ForgetIdsInForkedChildren();
    id = static_cast<DWORD>(getpid());
    g_process_id.store(id, std::memory_order_relaxed);
  }
  return id;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD WINAPI GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000000);
}

}  // extern "C"
