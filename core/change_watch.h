// Watching a device or a storage medium for coming and going, and telling the application's
// ITeskConnect sink from a thread of its own. One watch belongs to one CTeskDevice or one
// CTeskStorage.
#pragma once

#include <tesk/spd.h>
#include <tesk/tesk.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/windows.h>

#include "csync.h"

namespace teskcore {

class ChangeWatch {
 public:
  ChangeWatch();
  ~ChangeWatch();
  ChangeWatch(const ChangeWatch&) = delete;
  ChangeWatch& operator=(const ChangeWatch&) = delete;

  // Asks the driver object (exactly one of `device`, `storage`) whether it signals changes
  // itself (else the thread polls every `poll_interval` ms) and creates the change event
  // "<class_name>.<owner's address in lower-case hex>". `source` is what the sink is told
  // about; it is not referenced. The watch keeps its own references to the driver and the lock.
  HRESULT Init(const char* class_name, const void* owner, IUnknown* source, ISpdDevice* device,
               ISpdStorage* storage, tesk::sync::CSync* lock, DWORD poll_interval);

  // Installs `sink` (replacing any earlier one) and starts the thread if none runs; null
  // stops and joins the thread and removes the sink. E_OUTOFMEMORY, with nothing changed,
  // when the thread cannot be started.
  HRESULT Advise(ITeskConnect* sink);

  // Stops and joins the thread and drops the sink; the owner's destructor calls it first.
  void Shutdown();

 private:
  class State;
  struct ThreadStart;
  static DWORD WINAPI ThreadMain(LPVOID parameter);

  HRESULT StartThread();
  void StopThread();

  CRITICAL_SECTION cs_;  // serialises Advise and Shutdown
  State* state_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD thread_id_ = 0;
};

}  // namespace teskcore
