// The handle table, CloseHandle and DuplicateHandle, and the waits on kernel objects.
#include "handles.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <new>
#include <vector>

#include <tesk/win32/winbase.h>

namespace tesk::win32::internal {
namespace {

// Windows stops well before this too; it keeps a runaway loop from eating the machine.
constexpr std::size_t kMaxHandles = std::size_t{1} << 20;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

struct HandleTable {
  std::mutex lock;
  std::vector<ObjectRef> slots;  // slot i is handle (i + 1) * 4
  std::vector<std::size_t> free_slots;
};

// Never destroyed: handles may be closed and waits may end while the process exits.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

struct WaitState {
  std::mutex lock;
  ChangeWord changed;  // the process's own: WakeWaiters() bumps it
};

WaitState& Waits() {
  static WaitState* state = new WaitState;
  return *state;
}

constexpr std::uint64_t kNoDeadline = ~std::uint64_t{0};

timespec MonotonicTime(std::uint64_t ms) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000 * 1000000);
  return ts;
}

// Sleeps until one of the words no longer holds its expected count, a wake-up or the
// deadline. Futexes are not private: the words may be shared with other processes.
void SleepOnWords(std::span<ChangeWord* const> words, std::span<const std::uint32_t> expected,
                  std::uint64_t deadline_ms) {
  for (ChangeWord* word : words) word->sleepers.fetch_add(1, std::memory_order_seq_cst);
  const timespec deadline = MonotonicTime(deadline_ms);
  const timespec* timeout = deadline_ms == kNoDeadline ? nullptr : &deadline;
  if (words.size() == 1) {
    syscall(SYS_futex, &words[0]->count, FUTEX_WAIT_BITSET, expected[0], timeout, nullptr,
            FUTEX_BITSET_MATCH_ANY);
  } else {
    std::array<futex_waitv, MAXIMUM_WAIT_OBJECTS + 1> waits{};
    for (std::size_t i = 0; i < words.size(); ++i) {
      waits[i].val = expected[i];
      waits[i].uaddr = reinterpret_cast<std::uintptr_t>(&words[i]->count);
      waits[i].flags = FUTEX_32;
    }
    const long rc = syscall(SYS_futex_waitv, waits.data(), static_cast<unsigned>(words.size()), 0u, timeout,
                            CLOCK_MONOTONIC);
    if (rc < 0 && errno == ENOSYS) {
      // Kernels before 5.16: sleep on the first word and look again soon.
      const std::uint64_t soon = std::min(deadline_ms, SteadyNowMs() + 2);
      const timespec short_deadline = MonotonicTime(soon);
      syscall(SYS_futex, &words[0]->count, FUTEX_WAIT_BITSET, expected[0], &short_deadline, nullptr,
              FUTEX_BITSET_MATCH_ANY);
    }
  }
  for (ChangeWord* word : words) word->sleepers.fetch_sub(1, std::memory_order_seq_cst);
}

bool SlotOf(HANDLE handle, std::size_t* slot) {
  const auto value = reinterpret_cast<ULONG_PTR>(handle);
  if (value == 0 || value % 4 != 0 || value / 4 > kMaxHandles) return false;
  *slot = value / 4 - 1;
  return true;
}

}  // namespace

HANDLE InsertHandle(ObjectRef object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  if (table.free_slots.empty()) {
    if (table.slots.size() >= kMaxHandles) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    try {
      table.slots.emplace_back();
      // Room for every slot, so that RemoveHandle never allocates.
      table.free_slots.reserve(table.slots.size());
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    table.free_slots.push_back(table.slots.size() - 1);
  }
  const std::size_t slot = table.free_slots.back();
  table.free_slots.pop_back();
  table.slots[slot] = std::move(object);
  return reinterpret_cast<HANDLE>((slot + 1) * 4);
}

ObjectRef ObjectFromHandle(HANDLE handle) {
  if (handle == kCurrentProcess) return CurrentProcessObject();
  if (handle == kCurrentThread) return CurrentThreadObject();
  std::size_t slot;
  if (!SlotOf(handle, &slot)) return nullptr;
  HandleTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  return slot < table.slots.size() ? table.slots[slot] : nullptr;
}

ObjectRef RemoveHandle(HANDLE handle) {
  std::size_t slot;
  if (!SlotOf(handle, &slot)) return nullptr;
  HandleTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  if (slot >= table.slots.size() || !table.slots[slot]) return nullptr;
  ObjectRef object = std::move(table.slots[slot]);
  table.slots[slot] = nullptr;
  try {
    table.free_slots.push_back(slot);
  } catch (const std::bad_alloc&) {
    // The slot stays unused; the handle is closed all the same.
  }
  return object;
}

std::mutex& WaitLock() {
  return Waits().lock;
}

void NotifyChange(ChangeWord& word) {
  word.count.fetch_add(1, std::memory_order_seq_cst);
  if (word.sleepers.load(std::memory_order_seq_cst) != 0)
    syscall(SYS_futex, &word.count, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void WakeWaiters() {
  NotifyChange(Waits().changed);
}

std::uint64_t SteadyNowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void SleepOnWaitLock(std::unique_lock<std::mutex>& lock, std::uint64_t deadline_ms) {
  ChangeWord* const word = &Waits().changed;
  const std::uint32_t expected = word->count.load(std::memory_order_seq_cst);
  lock.unlock();
  SleepOnWords(std::span<ChangeWord* const>(&word, 1), std::span<const std::uint32_t>(&expected, 1),
               deadline_ms);
  lock.lock();
}

namespace {

// One look at the objects, with the wait lock held: the answer, or WAIT_TIMEOUT for none yet.
DWORD CheckObjects(std::span<const ObjectRef> objects, bool wait_all, DWORD self) {
  if (wait_all) {
    const bool all = std::all_of(objects.begin(), objects.end(),
                                 [self](const ObjectRef& object) { return object->IsSignaled(self); });
    if (!all) return WAIT_TIMEOUT;
    std::size_t taken = 0;
    std::size_t first_abandoned = objects.size();
    for (; taken < objects.size(); ++taken) {
      bool abandoned = false;
      if (!objects[taken]->TryAcquire(self, &abandoned)) break;
      if (abandoned && first_abandoned == objects.size()) first_abandoned = taken;
    }
    if (taken == objects.size())
      return first_abandoned == objects.size() ? WAIT_OBJECT_0
                                               : WAIT_ABANDONED_0 + static_cast<DWORD>(first_abandoned);
    while (taken > 0) objects[--taken]->UndoAcquire(self);
    WakeWaiters();
    return WAIT_TIMEOUT;
  }
  for (std::size_t i = 0; i < objects.size(); ++i) {
    bool abandoned = false;
    if (objects[i]->IsSignaled(self) && objects[i]->TryAcquire(self, &abandoned))
      return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + static_cast<DWORD>(i);
  }
  return WAIT_TIMEOUT;
}

}  // namespace

DWORD WaitForObjects(std::span<const ObjectRef> objects, bool wait_all, DWORD timeout_ms) {
  const DWORD self = GetCurrentThreadId();
  const std::uint64_t start = SteadyNowMs();
  const std::uint64_t deadline = timeout_ms == INFINITE ? kNoDeadline : start + timeout_ms;
  if (objects.size() == 1) {
    DWORD result;
    if (objects[0]->WaitAlone(self, deadline, &result)) return result;
  }

  // What a blocked wait sleeps on: the objects' words, and the process's own when an object
  // announces its changes with WakeWaiters().
  DWORD poll_ms = 0;
  std::array<ChangeWord*, MAXIMUM_WAIT_OBJECTS + 1> words;
  std::array<std::uint32_t, MAXIMUM_WAIT_OBJECTS + 1> expected;
  std::size_t word_count = 0;
  bool any_in_process = false;
  for (const ObjectRef& object : objects) {
    const DWORD interval = object->PollIntervalMs();
    if (interval != 0 && (poll_ms == 0 || interval < poll_ms)) poll_ms = interval;
    ChangeWord* word = object->Changes();
    if (!word) {
      any_in_process = true;
    } else if (std::find(words.begin(), words.begin() + word_count, word) == words.begin() + word_count) {
      words[word_count++] = word;
    }
  }
  if (any_in_process) words[word_count++] = &Waits().changed;

  std::unique_lock<std::mutex> lock(WaitLock());
  for (const ObjectRef& object : objects) object->WaitBegins(self);
  DWORD result;
  for (;;) {
    // Counts first: a change after the look below moves one of them, and the sleep ends.
    for (std::size_t i = 0; i < word_count; ++i)
      expected[i] = words[i]->count.load(std::memory_order_seq_cst);
    result = CheckObjects(objects, wait_all, self);
    if (result != WAIT_TIMEOUT) break;
    const std::uint64_t now = SteadyNowMs();
    if (now >= deadline) break;
    const std::uint64_t wake = poll_ms == 0 ? deadline : std::min(deadline, now + poll_ms);
    lock.unlock();
    SleepOnWords(std::span<ChangeWord* const>(words.data(), word_count),
                 std::span<const std::uint32_t>(expected.data(), word_count), wake);
    lock.lock();
  }
  for (const ObjectRef& object : objects) object->WaitEnds(self);
  return result;
}

}  // namespace tesk::win32::internal

using tesk::win32::internal::ObjectRef;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject) {
  using namespace tesk::win32::internal;
  if (hObject == kCurrentProcess || hObject == kCurrentThread) return TRUE;
  ObjectRef object = RemoveHandle(hObject);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnHandleClosed();
  return TRUE;
}

BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            LPHANDLE lpTargetHandle, DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/,
                            DWORD dwOptions) {
  using namespace tesk::win32::internal;
  // Only this process has handles here: both process handles must name it.
  const ObjectRef self = CurrentProcessObject();
  if (ObjectFromHandle(hSourceProcessHandle) != self || ObjectFromHandle(hTargetProcessHandle) != self) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ObjectRef object = ObjectFromHandle(hSourceHandle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BOOL result = TRUE;
  if (lpTargetHandle) {
    const HANDLE copy = InsertHandle(object);
    if (copy) {
      *lpTargetHandle = copy;
    } else {
      result = FALSE;
    }
  }
  // As on Windows, the source goes even when the copy failed.
  if ((dwOptions & DUPLICATE_CLOSE_SOURCE) && hSourceHandle != kCurrentProcess &&
      hSourceHandle != kCurrentThread) {
    const DWORD error = GetLastError();
    CloseHandle(hSourceHandle);
    SetLastError(error);
  }
  return result;
}

HANDLE WINAPI GetCurrentProcess() {
  return tesk::win32::internal::kCurrentProcess;
}

HANDLE WINAPI GetCurrentThread() {
  return tesk::win32::internal::kCurrentThread;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  using namespace tesk::win32::internal;
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::array<ObjectRef, MAXIMUM_WAIT_OBJECTS> objects;
  for (DWORD i = 0; i < nCount; ++i) {
    objects[i] = ObjectFromHandle(lpHandles[i]);
    if (!objects[i] || !objects[i]->Waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
  }
  if (bWaitAll) {
    for (DWORD i = 0; i < nCount; ++i)
      for (DWORD j = 0; j < i; ++j)
        if (objects[i] == objects[j]) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
  }
  return WaitForObjects(std::span<const ObjectRef>(objects.data(), nCount), bWaitAll != FALSE,
                        dwMilliseconds);
}

}  // extern "C"
