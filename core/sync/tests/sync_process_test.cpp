// The pool and the busy locks across real processes: one pool for all, one word per device,
// a crashed holder, a foreign section of the pool's name, the pool's lifetime and racing adders.
#include <signal.h>

#include <memory>
#include <set>

#include "sync_fixture.h"

namespace tesk::sync::testing {
namespace {

using tesk::testing::RunChild;
using tesk::testing::StartChild;
using tesk::testing::WaitChild;

struct Releaser {
  void operator()(CSync* lock) const {
    if (lock) lock->Release();
  }
};
using LockPtr = std::unique_ptr<CSync, Releaser>;

class SyncProcessTest : public SyncTest {};

TEST_F(SyncProcessTest, EachProcessFindsThePoolAndTheEntriesOfTheOther) {
  // The child makes the pool and keeps it while this process opens it.
  const int pid = StartChild("sync_child", {"open", "add", "x", "5", "raise", "made", "await", "done"});
  ASSERT_TRUE(AwaitFlag("made"));
  BYTE* view = OpenPool();
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(Field(view, 48), 1u);
  EXPECT_EQ(Add(view, "x", 0, S_FALSE), 0);
  EXPECT_EQ(Word(view, 0), 5u);
  EXPECT_EQ(Add(view, "y", 6), 1);
  Raise("done");
  auto child = WaitChild(pid);
  EXPECT_EQ(child.exit_code, 0) << child.output;
  EXPECT_EQ(Answer(child.output, "open"), "0x00000000") << child.output;

  // And the other way round, with this process as the one that holds the pool.
  child = RunChild("sync_child", {"open", "add", "y", "0", "add", "z", "9", "count"});
  EXPECT_EQ(child.exit_code, 0) << child.output;
  EXPECT_EQ(Answer(child.output, "add", 0), "0x00000001 1") << child.output;
  EXPECT_EQ(Answer(child.output, "add", 1), "0x00000000 2") << child.output;
  EXPECT_EQ(Answer(child.output, "count"), "3") << child.output;
  EXPECT_EQ(Field(view, 48), 3u);
  EXPECT_EQ(Word(view, 2), 9u);
}

TEST_F(SyncProcessTest, OneBusyWordPerDeviceAcrossProcesses) {
  OpenPool();
  LockPtr lock(CSync::Create(kDriver, 0, false));
  ASSERT_TRUE(lock);
  ASSERT_TRUE(lock->TryLock(0x00100000));

  auto child = RunChild("sync_child", {"open", "trylock", "0", "0", "status", "0", "trylock", "1", "0"});
  EXPECT_EQ(child.exit_code, 0) << child.output;
  EXPECT_EQ(Answer(child.output, "trylock", 0), "0") << child.output;
  EXPECT_EQ(Answer(child.output, "status"), "0x00100001") << child.output;
  EXPECT_EQ(Answer(child.output, "trylock", 1), "1") << "another device is not busy\n" << child.output;

  // Unlock in either process frees both.
  child = RunChild("sync_child", {"open", "unlock", "0", "status", "0"});
  EXPECT_EQ(Answer(child.output, "status"), "0x00000000") << child.output;
  EXPECT_EQ(lock->GetStatus(), 0u);
  EXPECT_FALSE(lock->IsBusy());

  child = RunChild("sync_child", {"open", "trylock", "0", "0"});
  EXPECT_EQ(Answer(child.output, "trylock"), "1") << child.output;
  EXPECT_EQ(lock->GetStatus(), 0x00000001u);
  EXPECT_FALSE(lock->TryLock(0x8));
  lock->Unlock();
  child = RunChild("sync_child", {"open", "status", "0"});
  EXPECT_EQ(Answer(child.output, "status"), "0x00000000") << child.output;
}

TEST_F(SyncProcessTest, KilledHolderAbandonsTheEntryMutexButNotItsWord) {
  const std::string entry_mutex = std::string("SMEM.TeskSyncPool.CSync.") + kDriverText + ".0";
  struct Case {
    const char* command;
    const char* status;
    DWORD word_left;
  };
  for (const Case c : {Case{"enter", "0", 0}, Case{"trylock", "0x40", 0x41}}) {
    SCOPED_TRACE(c.command);
    OpenPool();
    LockPtr lock(CSync::Create(kDriver, 0, false));
    ASSERT_TRUE(lock);
    const std::string flag = std::string("held.") + c.command;
    std::vector<std::string> args = {"open", c.command, "0"};
    if (c.command == std::string("trylock")) args.push_back(c.status);
    args.insert(args.end(), {"raise", flag, "hang"});
    const int pid = StartChild("sync_child", args);
    ASSERT_TRUE(AwaitFlag(flag));
    if (c.word_left == 0) {
      EXPECT_EQ(StateOf(entry_mutex), MutexState::kHeld);
    }

    ASSERT_EQ(kill(pid, SIGKILL), 0);
    const auto child = WaitChild(pid);
    EXPECT_EQ(child.signal, SIGKILL) << child.output;

    EXPECT_EQ(lock->GetStatus(), c.word_left);
    EXPECT_EQ(lock->EnterIfIdle(), c.word_left == 0);
    if (c.word_left == 0) lock->Leave();
    EXPECT_EQ(lock->TryLock(0), c.word_left == 0);
    lock->Unlock();
    EXPECT_EQ(lock->GetStatus(), 0u);
    EXPECT_EQ(StateOf(entry_mutex), MutexState::kAbsent);
    lock.reset();
    SmemClosePools();
  }
}

TEST_F(SyncProcessTest, SectionOfThePoolsNameWithoutSignatureIsRefused) {
  const int pid = StartChild(
      "sync_child", {"section", std::to_string(kPoolSize), "JUNK", "raise", "made", "await", "done"});
  ASSERT_TRUE(AwaitFlag("made"));
  BYTE* view = reinterpret_cast<BYTE*>(1);
  EXPECT_EQ(SmemOpenPool(kPoolName, kPoolDataSize, kPoolCapacity, &view), E_FAIL);
  EXPECT_EQ(view, nullptr);
  Raise("done");
  auto child = WaitChild(pid);
  EXPECT_EQ(child.exit_code, 0) << child.output;

  // The refusal let go of the pool-creation mutex: another process makes the pool now.
  child = RunChild("sync_child", {"open", "count"});
  EXPECT_EQ(Answer(child.output, "open"), "0x00000000") << child.output;
  EXPECT_EQ(Answer(child.output, "count"), "0") << child.output;
}

TEST_F(SyncProcessTest, PoolLastsWhileAnyProcessHoldsIt) {
  auto child = RunChild("sync_child", {"open", "add", "a", "1", "count"});
  EXPECT_EQ(Answer(child.output, "count"), "1") << child.output;
  child = RunChild("sync_child", {"open", "count"});
  EXPECT_EQ(Answer(child.output, "count"), "0") << "the pool outlived its last process\n" << child.output;

  BYTE* view = OpenPool();
  Add(view, "p", 1);
  child = RunChild("sync_child", {"open", "count"});
  EXPECT_EQ(Answer(child.output, "count"), "1") << child.output;
  SmemClosePools();
  child = RunChild("sync_child", {"open", "count"});
  EXPECT_EQ(Answer(child.output, "count"), "0") << child.output;
}

TEST_F(SyncProcessTest, ProcessesAddingTheSameNamesAtOnceShareOneEntryEach) {
  constexpr int kChildren = 3;
  constexpr int kNames = 300;
  BYTE* view = OpenPool();
  ASSERT_NE(view, nullptr);
  std::vector<int> pids;
  for (int i = 0; i < kChildren; ++i) {
    pids.push_back(
        StartChild("sync_child", {"open", "await", "go", "addmany", "race", std::to_string(kNames)}));
  }
  Raise("go");
  std::vector<std::string> answers;
  for (const int pid : pids) {
    const auto child = WaitChild(pid);
    EXPECT_EQ(child.exit_code, 0) << child.output;
    answers.push_back(Answer(child.output, "addmany"));
  }
  for (const auto& answer : answers) EXPECT_EQ(answer, answers[0]);

  EXPECT_EQ(Field(view, 48), static_cast<DWORD>(kNames));
  std::set<std::string> names;
  for (LONG i = 0; i < static_cast<LONG>(Field(view, 48)); ++i) {
    std::string name;
    SmemApply(
        view, i, false,
        [](const char* entry_name, void*, void* argument) {
          *static_cast<std::string*>(argument) = entry_name;
          return S_OK;
        },
        &name);
    names.insert(name);
  }
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kNames));
}

}  // namespace
}  // namespace tesk::sync::testing
