// Kernel objects and the process's handle table.
//
// Every HANDLE the stand-in gives out (threads, events, mutexes, file mappings, files) names a
// KernelObject in one table per process. A handle value is a small non-zero multiple of 4;
// closed values are reused. Several handles (DuplicateHandle) may name one object, and the
// object lives while a handle or the stand-in itself (a running thread) holds a reference.
//
// Locks, in the order they may be taken:
//   1. the table lock, private to handles.cpp: held only while the table changes; no hook
//      below ever runs under it.
//   2. the wait lock, WaitLock(): guards the in-process state of every waitable object. A
//      blocked wait sleeps, without it, on a futex word of the process's own (bumped by
//      WakeWaiters()) and on the ChangeWords of the objects it names.
//   3. an object's own locks (e.g. a process-shared mutex in the prefix's shared memory):
//      taken inside the hooks, never held on return, never waited on for long.
//   4. the named-object namespace lock (named_object.h): taken only with none of the above
//      held, e.g. where a named object's last reference goes.
//
// The hooks an object provides, in the manner of a backend's table of operations:
//
//   Waitable()        const, no lock needed, never blocks. False for objects a wait cannot
//                     name (WaitFor* then fail with ERROR_INVALID_HANDLE).
//   IsSignaled(tid)   wait lock held, must not block. Whether a wait by thread `tid` would be
//                     satisfied now (a mutex owned by `tid` is signalled for it).
//   TryAcquire(tid, abandoned)
//                     wait lock held, must not block. Does what a satisfied wait does (an
//                     auto-reset event resets, a mutex becomes owned by `tid`) and returns
//                     true; false when the object turned out not to be signalled (another
//                     process took it first). *abandoned: the object was a mutex whose owner
//                     died (WAIT_ABANDONED). The default answers IsSignaled and takes nothing.
//   UndoAcquire(tid)  wait lock held, must not block. Gives back one TryAcquire that a
//                     wait-all could not complete because a later object failed. Only
//                     objects whose state other processes change need it: for in-process
//                     objects the wait-all check and take happen under one hold of the wait
//                     lock and cannot fail.
//   Changes()         const, no lock needed. Null when the object's state only changes in
//                     this process, under the wait lock, followed by WakeWaiters(). Otherwise
//                     the object's ChangeWord (below), which every change that may satisfy a
//                     wait bumps with NotifyChange(), in whatever process makes it; a blocked
//                     wait sleeps on the words of all its objects at once.
//   PollIntervalMs()  const, no lock needed. 0 when every change that may satisfy a wait is
//                     announced (WakeWaiters or NotifyChange). Otherwise how often a blocked
//                     waiter looks again (a mutex whose owner dies is not announced).
//   WaitBegins(tid), WaitEnds(tid)
//                     wait lock held, must not block. Bracket each wait by thread `tid` that
//                     names the object (once per time it is named), in the thread that waits,
//                     so that an object can tell the waits that were already under way at
//                     some moment (PulseEvent). Not called around WaitAlone.
//   WaitAlone(tid, deadline_ms, result)
//                     no lock held, may block until the deadline. A wait on this object by
//                     itself, done the object's own way (a mutex blocks in the kernel, which
//                     hands it over as soon as its owner lets go or dies). Stores the wait's
//                     answer (and the last error for WAIT_FAILED) and returns true; false when
//                     the object has no way of its own, and the common wait runs.
//   OnHandleClosed()  no lock held, may block briefly. Called once per handle closed
//                     (CloseHandle, DUPLICATE_CLOSE_SOURCE), before the table lets go of its
//                     reference.
//   ~KernelObject()   no lock held: runs where the last reference goes, which may be any
//                     thread (e.g. a thread's own object, when it ends after its handle was
//                     closed). Named objects drop their hold on the name here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include <tesk/win32/types.h>

namespace tesk::win32::internal {

// A counter that announces changes to waits in any process: it lives with the object's
// state (in memory shared between processes for named objects). Zero-filled memory is a
// valid ChangeWord.
struct ChangeWord {
  std::atomic<std::uint32_t> count{0};
  std::atomic<std::uint32_t> sleepers{0};  // waits asleep on it, to spare a system call
};
static_assert(sizeof(ChangeWord) == 8 && std::atomic<std::uint32_t>::is_always_lock_free);

// Bumps the word and wakes every wait asleep on it, in this process or another. Call after
// the change is visible.
void NotifyChange(ChangeWord& word);

class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;

  virtual bool Waitable() const { return false; }
  virtual bool IsSignaled(DWORD /*thread_id*/) { return false; }
  virtual bool TryAcquire(DWORD thread_id, bool* /*abandoned*/) { return IsSignaled(thread_id); }
  virtual void UndoAcquire(DWORD /*thread_id*/) {}
  virtual ChangeWord* Changes() const { return nullptr; }
  virtual DWORD PollIntervalMs() const { return 0; }
  virtual void WaitBegins(DWORD /*thread_id*/) {}
  virtual void WaitEnds(DWORD /*thread_id*/) {}
  virtual bool WaitAlone(DWORD /*thread_id*/, std::uint64_t /*deadline_ms*/, DWORD* /*result*/) {
    return false;
  }
  virtual void OnHandleClosed() {}
};

using ObjectRef = std::shared_ptr<KernelObject>;

// A new handle to `object`. NULL with ERROR_NOT_ENOUGH_MEMORY when the table is full.
HANDLE InsertHandle(ObjectRef object);

// The object behind a handle, the pseudo-handles of GetCurrentProcess and GetCurrentThread
// included; null when the handle names nothing.
ObjectRef ObjectFromHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> ObjectFromHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(ObjectFromHandle(handle));
}

// Takes a handle out of the table (pseudo-handles are not in it); null when unknown. The
// caller calls OnHandleClosed() on the result.
ObjectRef RemoveHandle(HANDLE handle);

std::mutex& WaitLock();
// Wakes every blocked wait to look again; call after a change made under the wait lock
// (with it still held or not).
void WakeWaiters();
// Lets go of the wait lock, which `lock` holds, until WakeWaiters() or the deadline (steady
// clock, in ms since its epoch; ~0 for none), and takes it again.
void SleepOnWaitLock(std::unique_lock<std::mutex>& lock, std::uint64_t deadline_ms);
std::uint64_t SteadyNowMs();

// The wait behind WaitForSingleObject and WaitForMultipleObjects, for any further wait the
// stand-in grows. Objects are non-null, waitable and distinct when wait_all. Returns
// WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i or WAIT_TIMEOUT.
DWORD WaitForObjects(std::span<const ObjectRef> objects, bool wait_all, DWORD timeout_ms);

// The calling thread's object (made on first use for threads the stand-in did not start) and
// the process's own; thread.cpp keeps both.
ObjectRef CurrentThreadObject();
ObjectRef CurrentProcessObject();

}  // namespace tesk::win32::internal
