#include "csync.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "smem.h"

namespace tesk::sync {
namespace {

bool WaitForMutex(HANDLE mutex) {
  const DWORD wait = WaitForSingleObject(mutex, INFINITE);
  return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

// The word may sit at any byte offset of the data area.
DWORD LoadWord(const void* data) {
  DWORD word;
  std::memcpy(&word, data, sizeof(word));
  return word;
}

void StoreWord(void* data, DWORD word) {
  std::memcpy(data, &word, sizeof(word));
}

HRESULT TestAndSet(const char* /*entry_name*/, void* data, void* argument) {
  if (LoadWord(data) != 0) return S_FALSE;
  StoreWord(data, *static_cast<const DWORD*>(argument));
  return S_OK;
}

HRESULT Clear(const char* /*entry_name*/, void* data, void* /*argument*/) {
  StoreWord(data, 0);
  return S_OK;
}

// "CSync.<uuid>" for the driver as a whole, "CSync.<uuid>.<index>" for one of its devices.
bool EntryName(REFGUID identity, LONG index, std::string* name) {
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&identity, &text) != RPC_S_OK || !text) return false;
  bool made = true;
  try {
    *name = "CSync.";
    *name += reinterpret_cast<const char*>(text);
    if (index != -1) *name += "." + std::to_string(index);
  } catch (const std::bad_alloc&) {
    made = false;
  }
  RpcStringFreeA(&text);
  return made;
}

BYTE* Pool() {
  return SmemFindPool(kPoolName);
}

}  // namespace

CSync::CSync(REFGUID identity, LONG index, bool local) : identity_(identity), index_(index), local_(local) {}

CSync::~CSync() {
  if (!mutex_) return;
  if (local_) {
    CloseHandle(mutex_);
  } else {
    // Released while EnterIfIdle still held the entry: let the entry go.
    SmemUnlockEntry(mutex_);
  }
}

CSync* CSync::Create(REFGUID identity, LONG index, bool local) {
  CSync* lock = new (std::nothrow) CSync(identity, index, local);
  if (!lock) return nullptr;
  if (local) {
    char name[32];
    std::snprintf(name, sizeof(name), "CSync.%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(lock)));
    lock->mutex_ = CreateMutexA(nullptr, FALSE, name);
    if (!lock->mutex_) {
      delete lock;
      return nullptr;
    }
    return lock;
  }
  std::string name;
  BYTE* pool = Pool();
  if (!pool || !EntryName(identity, index, &name)) return lock;
  DWORD status = 0;
  LONG entry = -1;
  if (FAILED(SmemAddEntry(pool, name.c_str(), &status, sizeof(status), &entry))) return lock;
  // An entry of this name made by someone else must hold a whole word.
  DWORD length = sizeof(status);
  if (FAILED(SmemReadEntry(pool, entry, &status, &length)) || length != sizeof(status)) return lock;
  lock->entry_ = entry;
  return lock;
}

bool CSync::TryLock(DWORD status) {
  const DWORD busy = status | 0x1;
  if (local_) {
    if (!WaitForMutex(mutex_)) return false;
    const bool acquired = status_.load() == 0;
    if (acquired) status_.store(busy);
    ReleaseMutex(mutex_);
    return acquired;
  }
  status_.store(busy);
  DWORD argument = busy;
  // Anything but "busy" counts as acquired, a missing entry (E_FAIL) included.
  return SmemApply(Pool(), entry_, true, TestAndSet, &argument) != S_FALSE;
}

void CSync::Unlock() {
  if (local_) {
    if (!WaitForMutex(mutex_)) return;
    status_.store(0);
    ReleaseMutex(mutex_);
    return;
  }
  SmemApply(Pool(), entry_, true, Clear, nullptr);
  status_.store(0);
}

bool CSync::IsBusy() {
  if (local_) {
    if (!WaitForMutex(mutex_)) return false;
    const DWORD word = status_.load();
    ReleaseMutex(mutex_);
    return word != 0;
  }
  return GetStatus() != 0;
}

DWORD CSync::GetStatus() {
  if (local_) return status_.load();
  DWORD word = 0;
  DWORD length = sizeof(word);
  if (SUCCEEDED(SmemReadEntry(Pool(), entry_, &word, &length)) && length == sizeof(word)) status_.store(word);
  return status_.load();
}

bool CSync::EnterIfIdle() {
  if (local_) {
    if (!WaitForMutex(mutex_)) return false;
    if (status_.load() != 0) {
      ReleaseMutex(mutex_);
      return false;
    }
    return true;
  }
  BYTE* pool = Pool();
  HANDLE held = nullptr;
  // Without an entry there is nothing to hold, and nothing excludes the caller.
  if (FAILED(SmemLockEntry(pool, entry_, &held))) return GetStatus() == 0;
  DWORD word = 0;
  DWORD length = sizeof(word);
  if (SUCCEEDED(SmemReadEntry(pool, entry_, &word, &length)) && length == sizeof(word)) status_.store(word);
  if (word != 0) {
    SmemUnlockEntry(held);
    return false;
  }
  mutex_ = held;
  return true;
}

void CSync::Leave() {
  if (local_) {
    ReleaseMutex(mutex_);
    return;
  }
  const HANDLE held = mutex_;
  mutex_ = nullptr;
  SmemUnlockEntry(held);
}

CSync* CSync::Clone() const {
  return Create(identity_, index_, local_);
}

CSync* CSync::CloneFor(LONG index, bool local) const {
  return Create(identity_, index, local);
}

void CSync::AddRef() {
  refs_.fetch_add(1);
}

void CSync::Release() {
  if (refs_.fetch_sub(1) == 1) delete this;
}

CSyncGuard::CSyncGuard(CSync* lock, DWORD status)
    : lock_(lock), acquired_(lock ? lock->TryLock(status) : true) {}

CSyncGuard::~CSyncGuard() {
  if (lock_ && acquired_) lock_->Unlock();
}

}  // namespace tesk::sync
