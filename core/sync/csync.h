// The busy lock of a driver or a device: one status word shared by every object of that
// device in every process (in the shared pool), or, when the driver asks for it, a word and
// a mutex private to one lock object.
#pragma once

#include <atomic>

#include <tesk/win32/windows.h>

namespace tesk::sync {

class CSync {
 public:
  // A lock for the driver `identity` as a whole (index -1) or its device `index`; count 1.
  // Null when it cannot be allocated.
  static CSync* Create(REFGUID identity, LONG index, bool local);

  // Sets the word to status | 1 if it was 0; true when it did (or when the lock has no entry).
  bool TryLock(DWORD status);
  // Sets the word to 0, whoever holds it.
  void Unlock();
  bool IsBusy();
  DWORD GetStatus();
  // Takes the word's mutex and keeps it when the word is 0 (true); else lets go (false).
  bool EnterIfIdle();
  void Leave();

  CSync* Clone() const;
  CSync* CloneFor(LONG index, bool local) const;

  void AddRef();
  void Release();

  REFGUID Identity() const { return identity_; }
  LONG Index() const { return index_; }
  bool IsLocal() const { return local_; }
  // The pool entry of a shared lock; -1 when none was found or created.
  LONG Entry() const { return entry_; }

 private:
  CSync(REFGUID identity, LONG index, bool local);
  ~CSync();

  std::atomic<LONG> refs_{1};
  GUID identity_;
  LONG index_;
  bool local_;
  HANDLE mutex_ = nullptr;
  // Local: the word itself. Shared: the last value set or read. Atomic because the calls that
  // read it without a mutex (GetStatus) may run on other threads.
  std::atomic<DWORD> status_{0};
  LONG entry_ = -1;
};

// Around every ordinary method: TryLock(TESK_STATUS_BUSY) at construction, Unlock at the end
// only when acquired.
class CSyncGuard {
 public:
  explicit CSyncGuard(CSync* lock, DWORD status = 0x00000001);
  ~CSyncGuard();
  CSyncGuard(const CSyncGuard&) = delete;
  CSyncGuard& operator=(const CSyncGuard&) = delete;
  bool Acquired() const { return acquired_; }

 private:
  CSync* lock_;
  bool acquired_;
};

}  // namespace tesk::sync
