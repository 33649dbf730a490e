// Unnamed events.
#include <memory>
#include <new>

#include <tesk/win32/winbase.h>

#include "handles.h"

namespace tesk::win32::internal {
namespace {

class EventObject : public KernelObject {
 public:
  EventObject(bool manual_reset, bool signaled) : manual_reset_(manual_reset), signaled_(signaled) {}

  bool Waitable() const override { return true; }
  bool IsSignaled(DWORD /*thread_id*/) override { return signaled_; }
  bool TryAcquire(DWORD /*thread_id*/, bool* /*abandoned*/) override {
    if (!signaled_) return false;
    if (!manual_reset_) signaled_ = false;
    return true;
  }
  void UndoAcquire(DWORD /*thread_id*/) override { signaled_ = true; }

  void Set(bool signaled) {
    {
      std::lock_guard<std::mutex> hold(WaitLock());
      signaled_ = signaled;
    }
    if (signaled) WakeWaiters();
  }

 private:
  const bool manual_reset_;
  bool signaled_;  // guarded by the wait lock
};

BOOL SetEventState(HANDLE handle, bool signaled) {
  auto event = ObjectFromHandleAs<EventObject>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set(signaled);
  return TRUE;
}

}  // namespace
}  // namespace tesk::win32::internal

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  using namespace tesk::win32::internal;
  // An empty name makes an unnamed event, as on Windows.
  if (lpName && *lpName) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  ObjectRef event;
  try {
    event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const HANDLE handle = InsertHandle(std::move(event));
  if (handle) SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  return tesk::win32::internal::SetEventState(hEvent, true);
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  return tesk::win32::internal::SetEventState(hEvent, false);
}

}  // extern "C"
