// Events, named and unnamed. The state is a few words in the object's core (shared with other
// processes for a named event); every change that may release a wait bumps the core's
// ChangeWord, so waits in any process wake at once.
//
// PulseEvent releases the waits under way when it is called, in any process: each wait
// notes the count of pulses when it begins, and a wait that sees the count move was waiting
// during a pulse. A manual-reset event releases all of them; an auto-reset one leaves a single
// ticket that the first of them to look takes. Limits: a wait counts a pulse until it ends,
// so a WaitForMultipleObjects for all objects whose other objects become signalled later is
// still released by it; and pulses that come faster than a waiter wakes release one waiter
// between them on an auto-reset event.
#include <array>
#include <atomic>
#include <memory>
#include <new>

#include <tesk/win32/winbase.h>

#include "handles.h"
#include "named_object.h"

namespace tesk::win32::internal {
namespace {

struct EventCore {
  std::atomic<std::uint32_t> signaled;
  std::atomic<std::uint32_t> manual_reset;
  std::atomic<std::uint32_t> pulses;  // PulseEvent calls so far
  std::atomic<std::uint32_t> ticket;  // auto-reset: 1 while a pulse's release is unclaimed
  ChangeWord changed;
};
static_assert(sizeof(EventCore) <= kCoreSize);

struct EventInit {
  bool manual_reset;
  bool signaled;
};

bool InitEvent(void* memory, const void* context) {
  const auto* init = static_cast<const EventInit*>(context);
  auto* core = new (memory) EventCore{};
  core->manual_reset.store(init->manual_reset ? 1 : 0);
  core->signaled.store(init->signaled ? 1 : 0);
  return true;
}

// The waits of this thread under way on events, with the pulse count each began at. A thread
// is in one wait at a time, which names at most MAXIMUM_WAIT_OBJECTS objects.
struct PulseWatch {
  const KernelObject* event;
  std::uint32_t pulses_at_start;
};
thread_local std::array<PulseWatch, MAXIMUM_WAIT_OBJECTS> t_watches;
thread_local std::size_t t_watch_count = 0;

class EventObject : public KernelObject {
 public:
  explicit EventObject(SharedRef shared)
      : shared_(std::move(shared)), core_(static_cast<EventCore*>(shared_->Core())) {}

  bool Waitable() const override { return true; }
  ChangeWord* Changes() const override { return &core_->changed; }

  void WaitBegins(DWORD /*tid*/) override {
    if (t_watch_count < t_watches.size())
      t_watches[t_watch_count++] = {this, core_->pulses.load(std::memory_order_seq_cst)};
  }

  void WaitEnds(DWORD /*tid*/) override {
    for (std::size_t i = t_watch_count; i-- > 0;) {
      if (t_watches[i].event == this) {
        t_watches[i] = t_watches[--t_watch_count];
        return;
      }
    }
  }

  bool IsSignaled(DWORD /*tid*/) override {
    if (core_->signaled.load(std::memory_order_seq_cst)) return true;
    return Pulsed() && (Manual() || core_->ticket.load(std::memory_order_seq_cst) != 0);
  }

  bool TryAcquire(DWORD /*tid*/, bool* /*abandoned*/) override {
    if (Manual()) return core_->signaled.load(std::memory_order_seq_cst) != 0 || Pulsed();
    std::uint32_t one = 1;
    if (core_->signaled.compare_exchange_strong(one, 0, std::memory_order_seq_cst)) {
      took_ = Took::kSignal;
      return true;
    }
    one = 1;
    if (Pulsed() && core_->ticket.compare_exchange_strong(one, 0, std::memory_order_seq_cst)) {
      took_ = Took::kTicket;
      return true;
    }
    return false;
  }

  void UndoAcquire(DWORD /*tid*/) override {
    if (Manual()) return;
    (took_ == Took::kSignal ? core_->signaled : core_->ticket).store(1, std::memory_order_seq_cst);
    NotifyChange(core_->changed);
  }

  void Set() {
    core_->signaled.store(1, std::memory_order_seq_cst);
    NotifyChange(core_->changed);
  }

  void Reset() { core_->signaled.store(0, std::memory_order_seq_cst); }

  void Pulse() {
    core_->pulses.fetch_add(1, std::memory_order_seq_cst);
    if (!Manual()) core_->ticket.store(1, std::memory_order_seq_cst);
    core_->signaled.store(0, std::memory_order_seq_cst);
    NotifyChange(core_->changed);
  }

 private:
  enum class Took { kSignal, kTicket };

  bool Manual() const { return core_->manual_reset.load(std::memory_order_relaxed) != 0; }

  // Whether a pulse came since the calling thread's wait on this event began.
  bool Pulsed() const {
    for (std::size_t i = 0; i < t_watch_count; ++i) {
      if (t_watches[i].event == this)
        return t_watches[i].pulses_at_start != core_->pulses.load(std::memory_order_seq_cst);
    }
    return false;
  }

  SharedRef shared_;
  EventCore* core_;
  Took took_ = Took::kSignal;  // by the last TryAcquire, for UndoAcquire; guarded by the wait lock
};

std::shared_ptr<EventObject> EventFromHandle(HANDLE handle) {
  auto event = ObjectFromHandleAs<EventObject>(handle);
  if (!event) SetLastError(ERROR_INVALID_HANDLE);
  return event;
}

HANDLE InsertEvent(SharedRef shared) {
  ObjectRef event;
  try {
    event = std::make_shared<EventObject>(std::move(shared));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return InsertHandle(std::move(event));
}

}  // namespace
}  // namespace tesk::win32::internal

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  using namespace tesk::win32::internal;
  // An empty name makes an unnamed event, as on Windows.
  const bool named = lpName && *lpName;
  const EventInit init{bManualReset != FALSE, bInitialState != FALSE};
  NewObject request;
  request.kind = ObjectKind::kEvent;
  request.init = InitEvent;
  request.context = &init;
  bool existed = false;
  SharedRef shared = named ? CreateShared(request, lpName, &existed) : CreatePrivate(request);
  if (!shared) return nullptr;
  const HANDLE handle = InsertEvent(std::move(shared));
  if (handle) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE WINAPI OpenEventA(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/, LPCSTR lpName) {
  using namespace tesk::win32::internal;
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SharedRef shared = OpenShared(ObjectKind::kEvent, lpName);
  return shared ? InsertEvent(std::move(shared)) : nullptr;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  auto event = tesk::win32::internal::EventFromHandle(hEvent);
  if (!event) return FALSE;
  event->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = tesk::win32::internal::EventFromHandle(hEvent);
  if (!event) return FALSE;
  event->Reset();
  return TRUE;
}

BOOL WINAPI PulseEvent(HANDLE hEvent) {
  auto event = tesk::win32::internal::EventFromHandle(hEvent);
  if (!event) return FALSE;
  event->Pulse();
  return TRUE;
}

}  // extern "C"
