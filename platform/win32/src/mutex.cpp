// Mutexes, named and unnamed: a robust, recursive pthread mutex in the object's core, shared
// with other processes for a named one. The kernel marks a robust mutex whose owner thread
// ended (or whose process died) and the next taker hears of it (EOWNERDEAD): that is
// Windows's abandoned mutex.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>

#include <tesk/win32/winbase.h>

#include "handles.h"
#include "named_object.h"

namespace tesk::win32::internal {
namespace {

// How often a wait on several objects looks for the death of a mutex's owner, which nothing
// announces. A wait on the mutex alone blocks in the kernel and hears of it at once.
constexpr DWORD kDeadOwnerPollMs = 10;

struct MutexCore {
  pthread_mutex_t lock;
  // Written by the owner, with the lock held; read by anyone.
  std::atomic<std::uint32_t> owner_pid;
  std::atomic<std::uint32_t> owner_tid;
  // With the lock held.
  std::uint32_t recursion;
  std::uint32_t abandoned;  // the last owner died; the next one to take it hears of it
  ChangeWord changed;       // bumped when it is let go
};
static_assert(sizeof(MutexCore) <= kCoreSize);

struct MutexInit {
  bool shared;
  bool owned;
};

void SetOwner(MutexCore* core, DWORD tid) {
  core->owner_pid.store(GetCurrentProcessId(), std::memory_order_relaxed);
  core->owner_tid.store(tid, std::memory_order_release);
  core->recursion = 1;
}

void ClearOwner(MutexCore* core) {
  core->recursion = 0;
  core->owner_tid.store(0, std::memory_order_release);
  core->owner_pid.store(0, std::memory_order_relaxed);
}

bool OwnedBy(const MutexCore* core, DWORD tid) {
  return core->owner_tid.load(std::memory_order_acquire) == tid &&
         core->owner_pid.load(std::memory_order_relaxed) == GetCurrentProcessId();
}

bool InitMutex(void* memory, const void* context) {
  const auto* init = static_cast<const MutexInit*>(context);
  auto* core = new (memory) MutexCore{};
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_setpshared(&attr, init->shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
  const int rc = pthread_mutex_init(&core->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  // Taken before any other process can see it: the creator owns it first, as asked.
  if (init->owned && pthread_mutex_lock(&core->lock) == 0) SetOwner(core, GetCurrentThreadId());
  return true;
}

class MutexObject : public KernelObject {
 public:
  explicit MutexObject(SharedRef shared)
      : shared_(std::move(shared)), core_(static_cast<MutexCore*>(shared_->Core())) {}

  ~MutexObject() override {
    // A live thread of ours still holds it: the C library's list of its robust mutexes
    // points into the memory, which must stay.
    if (MutexHeldHere(core_)) shared_->KeepMapped();
  }

  bool Waitable() const override { return true; }
  ChangeWord* Changes() const override { return &core_->changed; }
  DWORD PollIntervalMs() const override { return kDeadOwnerPollMs; }

  bool IsSignaled(DWORD tid) override {
    const DWORD owner = core_->owner_tid.load(std::memory_order_acquire);
    if (owner == 0 || OwnedBy(core_, tid)) return true;
    // Owned by another thread, which may have died: only the lock knows.
    const int rc = pthread_mutex_trylock(&core_->lock);
    if (rc == EOWNERDEAD) {
      // Keep the news for whoever takes it next, and leave it free.
      pthread_mutex_consistent(&core_->lock);
      core_->abandoned = 1;
      ClearOwner(core_);
      pthread_mutex_unlock(&core_->lock);
      NotifyChange(core_->changed);
      return true;
    }
    if (rc == 0) {
      pthread_mutex_unlock(&core_->lock);  // let go meanwhile
      return true;
    }
    return false;
  }

  bool TryAcquire(DWORD tid, bool* abandoned) override {
    const int rc = pthread_mutex_trylock(&core_->lock);
    if (rc != 0 && rc != EOWNERDEAD) return false;
    *abandoned = Taken(tid, rc, &undo_first_);
    undo_abandoned_ = *abandoned;
    return true;
  }

  void UndoAcquire(DWORD /*tid*/) override {
    if (undo_first_) {
      ClearOwner(core_);
      core_->abandoned = undo_abandoned_ ? 1 : 0;
    } else {
      --core_->recursion;
    }
    pthread_mutex_unlock(&core_->lock);
    NotifyChange(core_->changed);
  }

  bool WaitAlone(DWORD tid, std::uint64_t deadline_ms, DWORD* result) override {
    int rc;
    if (deadline_ms == ~std::uint64_t{0}) {
      rc = pthread_mutex_lock(&core_->lock);
    } else if (deadline_ms <= SteadyNowMs()) {
      rc = pthread_mutex_trylock(&core_->lock);
    } else {
      timespec deadline{};
      deadline.tv_sec = static_cast<time_t>(deadline_ms / 1000);
      deadline.tv_nsec = static_cast<long>(deadline_ms % 1000 * 1000000);
      rc = pthread_mutex_clocklock(&core_->lock, CLOCK_MONOTONIC, &deadline);
    }
    if (rc == 0 || rc == EOWNERDEAD) {
      bool first;
      *result = Taken(tid, rc, &first) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
    } else if (rc == EBUSY || rc == ETIMEDOUT) {
      *result = WAIT_TIMEOUT;
    } else {
      // Taken too many times over, or broken.
      SetLastError(ERROR_GEN_FAILURE);
      *result = WAIT_FAILED;
    }
    return true;
  }

  BOOL Release() {
    const DWORD tid = GetCurrentThreadId();
    if (!OwnedBy(core_, tid)) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    const bool last = core_->recursion <= 1;
    if (last) {
      ClearOwner(core_);
    } else {
      --core_->recursion;
    }
    // The lock has the last word: the owner above may be a dead thread whose id came back.
    if (pthread_mutex_unlock(&core_->lock) != 0) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    if (last) NotifyChange(core_->changed);
    return TRUE;
  }

  // Gives up the ownership taken at creation when the handle could not be made.
  void ReleaseInitial() {
    if (OwnedBy(core_, GetCurrentThreadId())) Release();
  }

 private:
  // After the lock was taken (rc 0 or EOWNERDEAD): records the ownership; true when the
  // mutex was abandoned. *first: not a recursive take.
  bool Taken(DWORD tid, int rc, bool* first) {
    bool abandoned = false;
    if (rc == EOWNERDEAD) {
      pthread_mutex_consistent(&core_->lock);
      abandoned = true;
    } else if (core_->recursion > 0 && OwnedBy(core_, tid)) {
      ++core_->recursion;
      *first = false;
      return false;
    }
    *first = true;
    if (core_->abandoned) {
      abandoned = true;
      core_->abandoned = 0;
    }
    SetOwner(core_, tid);
    return abandoned;
  }

  SharedRef shared_;
  MutexCore* core_;
  // What the last TryAcquire did, for UndoAcquire; guarded by the wait lock.
  bool undo_first_ = false;
  bool undo_abandoned_ = false;
};

}  // namespace

bool MutexHeldHere(const void* memory) {
  const auto* core = static_cast<const MutexCore*>(memory);
  const DWORD tid = core->owner_tid.load(std::memory_order_acquire);
  return tid != 0 && core->owner_pid.load(std::memory_order_relaxed) == GetCurrentProcessId() &&
         (syscall(SYS_tgkill, static_cast<pid_t>(GetCurrentProcessId()), static_cast<pid_t>(tid), 0) == 0 ||
          errno != ESRCH);
}

bool MutexInUse(void* memory) {
  auto* core = static_cast<MutexCore*>(memory);
  // An owner records itself while it holds it, and with no handle left nobody is taking it.
  if (core->owner_tid.load(std::memory_order_acquire) == 0) return false;
  if (core->owner_pid.load(std::memory_order_relaxed) == GetCurrentProcessId()) return MutexHeldHere(core);
  // Another process's thread: the lock knows whether it lives.
  const int rc = pthread_mutex_trylock(&core->lock);
  if (rc == EBUSY) return true;
  if (rc == EOWNERDEAD) pthread_mutex_consistent(&core->lock);
  if (rc == 0 || rc == EOWNERDEAD) pthread_mutex_unlock(&core->lock);
  return false;
}

}  // namespace tesk::win32::internal

extern "C" {

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES /*lpMutexAttributes*/, BOOL bInitialOwner, LPCSTR lpName) {
  using namespace tesk::win32::internal;
  const bool named = lpName && *lpName;
  const MutexInit init{named, bInitialOwner != FALSE};
  NewObject request;
  request.kind = ObjectKind::kMutex;
  request.init = InitMutex;
  request.context = &init;
  bool existed = false;
  SharedRef shared = named ? CreateShared(request, lpName, &existed) : CreatePrivate(request);
  if (!shared) return nullptr;
  std::shared_ptr<MutexObject> mutex;
  try {
    mutex = std::make_shared<MutexObject>(std::move(shared));
  } catch (const std::bad_alloc&) {
    // The creation may have made the caller its owner: give that up through a temporary.
    if (!existed) MutexObject(std::move(shared)).ReleaseInitial();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const HANDLE handle = InsertHandle(mutex);
  if (!handle) {
    if (!existed) mutex->ReleaseInitial();
    return nullptr;
  }
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE WINAPI OpenMutexA(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/, LPCSTR lpName) {
  using namespace tesk::win32::internal;
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SharedRef shared = OpenShared(ObjectKind::kMutex, lpName);
  if (!shared) return nullptr;
  ObjectRef mutex;
  try {
    mutex = std::make_shared<MutexObject>(std::move(shared));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return InsertHandle(std::move(mutex));
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  using namespace tesk::win32::internal;
  auto mutex = ObjectFromHandleAs<MutexObject>(hMutex);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return mutex->Release();
}

}  // extern "C"
