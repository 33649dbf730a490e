// The busy lock inside one process: shared locks meet in one pool word, local ones exclude
// only themselves, clones, the guard, and a lock that found no entry.
#include <cstdio>
#include <memory>

#include "sync_fixture.h"

namespace tesk::sync::testing {
namespace {

struct Releaser {
  void operator()(CSync* lock) const {
    if (lock) lock->Release();
  }
};
using LockPtr = std::unique_ptr<CSync, Releaser>;

LockPtr Make(LONG index, bool local) {
  return LockPtr(CSync::Create(kDriver, index, local));
}

std::string EntryName(BYTE* view, LONG entry) {
  std::string name;
  SmemApply(
      view, entry, false,
      [](const char* entry_name, void*, void* argument) {
        *static_cast<std::string*>(argument) = entry_name;
        return S_OK;
      },
      &name);
  return name;
}

class CSyncTest : public SyncTest {
 protected:
  void SetUp() override {
    SyncTest::SetUp();
    view_ = OpenPool();
  }
  BYTE* view_ = nullptr;
};

TEST_F(CSyncTest, SharedLocksOfOneDeviceShareOneWord) {
  auto a = Make(0, false);
  auto b = Make(0, false);
  auto other_device = Make(1, false);
  auto driver = Make(-1, false);
  ASSERT_TRUE(a && b && other_device && driver);
  EXPECT_EQ(a->Entry(), b->Entry());
  EXPECT_NE(a->Entry(), other_device->Entry());
  EXPECT_NE(a->Entry(), driver->Entry());
  EXPECT_EQ(EntryName(view_, a->Entry()), std::string("CSync.") + kDriverText + ".0");
  EXPECT_EQ(EntryName(view_, other_device->Entry()), std::string("CSync.") + kDriverText + ".1");
  EXPECT_EQ(EntryName(view_, driver->Entry()), std::string("CSync.") + kDriverText);

  EXPECT_TRUE(a->TryLock(0x00100000));
  EXPECT_EQ(Word(view_, a->Entry()), 0x00100001u);
  EXPECT_FALSE(b->TryLock(0x00200000));
  EXPECT_EQ(b->GetStatus(), 0x00100001u);
  EXPECT_TRUE(b->IsBusy());
  EXPECT_FALSE(b->EnterIfIdle());
  EXPECT_TRUE(other_device->TryLock(0x10));
  EXPECT_FALSE(driver->IsBusy());

  // Unlock clears the word whoever holds it.
  b->Unlock();
  EXPECT_EQ(a->GetStatus(), 0u);
  EXPECT_FALSE(a->IsBusy());
  EXPECT_TRUE(b->TryLock(0));
  EXPECT_EQ(a->GetStatus(), 0x00000001u);
  a->Unlock();
  EXPECT_EQ(Word(view_, a->Entry()), 0u);
  EXPECT_EQ(other_device->GetStatus(), 0x11u);
}

TEST_F(CSyncTest, ExistingBusyWordIsKeptByANewLock) {
  const std::string name = std::string("CSync.") + kDriverText + ".4";
  const LONG entry = Add(view_, name.c_str(), 0x8001);
  auto lock = Make(4, false);
  ASSERT_TRUE(lock);
  EXPECT_EQ(lock->Entry(), entry);
  EXPECT_EQ(lock->GetStatus(), 0x8001u);
  EXPECT_FALSE(lock->TryLock(1));
}

TEST_F(CSyncTest, EnterIfIdleHoldsTheEntryMutexUntilLeave) {
  auto lock = Make(0, false);
  auto clone = LockPtr(lock->Clone());
  const std::string mutex_name = std::string("SMEM.TeskSyncPool.CSync.") + kDriverText + ".0";
  ASSERT_TRUE(lock->EnterIfIdle());
  EXPECT_EQ(StateOf(mutex_name), MutexState::kHeld);
  // The holder's own thread may still test and set (the mutex is recursive).
  EXPECT_TRUE(clone->TryLock(2));
  lock->Leave();
  EXPECT_EQ(StateOf(mutex_name), MutexState::kAbsent) << "the entry mutex outlived Leave";

  // A busy word lets go at once.
  EXPECT_FALSE(lock->EnterIfIdle());
  EXPECT_EQ(lock->GetStatus(), 3u);
  clone->Unlock();
  ASSERT_TRUE(lock->EnterIfIdle());
  lock->Leave();
}

TEST_F(CSyncTest, LocalLocksExcludeOnlyCallsOnTheSameObject) {
  auto a = Make(0, true);
  auto b = Make(0, true);
  auto shared = Make(0, false);
  ASSERT_TRUE(a && b && shared);
  EXPECT_TRUE(a->IsLocal());
  EXPECT_EQ(a->Entry(), -1);
  char name[40];
  std::snprintf(name, sizeof(name), "CSync.%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(a.get())));
  EXPECT_EQ(StateOf(name), MutexState::kFree) << name;

  EXPECT_TRUE(a->TryLock(0x40));
  EXPECT_EQ(a->GetStatus(), 0x41u);
  EXPECT_FALSE(a->TryLock(0));
  EXPECT_TRUE(a->IsBusy());
  EXPECT_FALSE(a->EnterIfIdle());
  EXPECT_EQ(StateOf(name), MutexState::kFree) << "EnterIfIdle kept a busy lock's mutex";
  EXPECT_TRUE(b->TryLock(0));
  EXPECT_TRUE(shared->TryLock(0));
  a->Unlock();
  EXPECT_EQ(a->GetStatus(), 0u);
  EXPECT_TRUE(b->IsBusy());

  ASSERT_TRUE(a->EnterIfIdle());
  EXPECT_EQ(StateOf(name), MutexState::kHeld);
  a->Leave();
  EXPECT_EQ(StateOf(name), MutexState::kFree);

  a.reset();
  EXPECT_EQ(StateOf(name), MutexState::kAbsent) << "the local mutex outlived its lock";
}

TEST_F(CSyncTest, ClonesKeepTheIdentityAndTakeTheIndexAndKindAsked) {
  auto device = Make(2, false);
  struct Case {
    bool clone_for;
    LONG index;
    bool local;
  };
  for (const Case c :
       {Case{false, 2, false}, Case{true, 5, false}, Case{true, -1, true}, Case{true, 2, true}}) {
    auto copy = LockPtr(c.clone_for ? device->CloneFor(c.index, c.local) : device->Clone());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(IsEqualGUID(copy->Identity(), kDriver));
    EXPECT_EQ(copy->Index(), c.index);
    EXPECT_EQ(copy->IsLocal(), c.local);
    auto same = Make(c.index, c.local);
    ASSERT_TRUE(copy->TryLock(0));
    // Shared copies meet every other shared lock of their device; local ones meet nobody.
    EXPECT_EQ(same->TryLock(0), c.local) << c.index;
    EXPECT_EQ(device->IsBusy(), c.index == 2 && !c.local) << c.index;
    copy->Unlock();
    if (c.local) same->Unlock();
  }
  // Counting: AddRef keeps a lock alive across one Release.
  CSync* raw = CSync::Create(kDriver, 9, true);
  raw->AddRef();
  raw->Release();
  EXPECT_TRUE(raw->TryLock(0));
  raw->Release();
}

TEST_F(CSyncTest, GuardUnlocksOnlyWhatItAcquired) {
  auto lock = Make(0, false);
  auto other = LockPtr(lock->Clone());
  {
    CSyncGuard outer(lock.get());
    EXPECT_TRUE(outer.Acquired());
    EXPECT_EQ(lock->GetStatus(), 1u);
    {
      CSyncGuard inner(other.get(), 0x2000);
      EXPECT_FALSE(inner.Acquired());
    }
    EXPECT_EQ(other->GetStatus(), 1u) << "a guard that failed unlocked someone else's hold";
  }
  EXPECT_EQ(lock->GetStatus(), 0u);
  {
    CSyncGuard guard(other.get(), 0x2000);
    EXPECT_EQ(lock->GetStatus(), 0x2001u);
  }
  EXPECT_FALSE(lock->IsBusy());
}

class CSyncWithoutPoolTest : public SyncTest {};

TEST_F(CSyncWithoutPoolTest, LockWithoutEntryExcludesNothingAndReportsItsOwnStatus) {
  // No pool open in this process; then a pool too full to take the entry.
  for (const bool full : {false, true}) {
    if (full) {
      BYTE* view = OpenPool();
      for (DWORD i = 0; i < kPoolCapacity; ++i) Add(view, ("e" + std::to_string(i)).c_str(), 0);
    }
    auto a = Make(0, false);
    auto b = Make(0, false);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->Entry(), -1) << full;
    EXPECT_TRUE(a->TryLock(0x100));
    EXPECT_TRUE(b->TryLock(0x200));
    EXPECT_TRUE(a->TryLock(0x300)) << "a lock without entry excluded itself";
    EXPECT_EQ(a->GetStatus(), 0x301u);
    EXPECT_TRUE(a->IsBusy());
    EXPECT_FALSE(a->EnterIfIdle());
    a->Unlock();
    EXPECT_EQ(a->GetStatus(), 0u);
    EXPECT_EQ(b->GetStatus(), 0x201u);
    ASSERT_TRUE(a->EnterIfIdle());
    a->Leave();
    CSyncGuard guard(a.get());
    EXPECT_TRUE(guard.Acquired());
  }
}

}  // namespace
}  // namespace tesk::sync::testing
