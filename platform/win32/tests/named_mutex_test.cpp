// Mutexes, named and unnamed: recursion, ownership, initial owner, waits with a time limit,
// and abandonment by a thread that ends or a process that is killed holding one.
#include <signal.h>

#include <gtest/gtest.h>
#include <tesk/win32/windows.h>

#include "named_support.h"
#include "tesk_testing.h"

namespace {

using named_test::Child;
using named_test::Handles;
using named_test::kLongWait;
using named_test::kMarker;
using named_test::kShortWait;
using named_test::StartThread;

// Every case runs on an unnamed mutex and on a named one.
class MutexTest : public tesk::testing::PrefixTest, public ::testing::WithParamInterface<const char*> {
 protected:
  HANDLE NewMutex(bool owned) {
    return handles_.Add(CreateMutexA(nullptr, owned ? TRUE : FALSE, GetParam()));
  }
  HANDLE NewEvent(bool manual, bool signaled) {
    return handles_.Add(CreateEventA(nullptr, manual ? TRUE : FALSE, signaled ? TRUE : FALSE, nullptr));
  }

  // Runs `body` on another thread and returns what it returned.
  template <typename Body>
  static DWORD OnOtherThread(Body body) {
    const HANDLE thread = StartThread(&body);
    EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
  }

  Handles handles_;
};

TEST_P(MutexTest, IsRecursiveAndReleasedOnlyByItsOwner) {
  SetLastError(kMarker);
  const HANDLE mutex = NewMutex(false);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0) << "the owner takes it again";

  EXPECT_EQ(OnOtherThread([mutex] {
              DWORD result = WaitForSingleObject(mutex, kShortWait);
              if (result != WAIT_TIMEOUT) return result;
              SetLastError(kMarker);
              if (ReleaseMutex(mutex)) return DWORD{1};
              return GetLastError() == ERROR_NOT_OWNER ? DWORD{0} : GetLastError();
            }),
            0u);

  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(OnOtherThread([mutex] { return WaitForSingleObject(mutex, 0); }),
            static_cast<DWORD>(WAIT_TIMEOUT))
      << "taken twice, released once: still owned";
  EXPECT_TRUE(ReleaseMutex(mutex));
  SetLastError(kMarker);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));

  // Free now: another thread takes and gives it back.
  EXPECT_EQ(OnOtherThread([mutex] {
              return WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(mutex) ? 0u : 1u;
            }),
            0u);
}

TEST_P(MutexTest, InitialOwnerHoldsItUntilReleased) {
  const HANDLE mutex = NewMutex(true);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(OnOtherThread([mutex] { return WaitForSingleObject(mutex, kShortWait); }),
            static_cast<DWORD>(WAIT_TIMEOUT));
  if (const char* name = GetParam()) {
    // The name exists: another creator gets it without the ownership it asked for.
    EXPECT_EQ(OnOtherThread([name] {
                const HANDLE again = CreateMutexA(nullptr, TRUE, name);
                const DWORD error = GetLastError();
                const DWORD wait = WaitForSingleObject(again, kShortWait);
                CloseHandle(again);
                return error == ERROR_ALREADY_EXISTS && wait == WAIT_TIMEOUT ? 0u : 1u;
              }),
              0u);
  }
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(OnOtherThread([mutex] {
              return WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(mutex) ? 0u : 1u;
            }),
            0u);
}

TEST_P(MutexTest, WaiterGetsItWhenTheOwnerLetsGo) {
  const HANDLE mutex = NewMutex(false);
  const HANDLE taken = NewEvent(true, false);
  const HANDLE go = NewEvent(true, false);
  auto owner = [&] {
    WaitForSingleObject(mutex, INFINITE);
    SetEvent(taken);
    WaitForSingleObject(go, INFINITE);
    return ReleaseMutex(mutex) ? 0u : 1u;
  };
  const HANDLE thread = handles_.Add(StartThread(&owner));
  ASSERT_EQ(WaitForSingleObject(taken, kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
  const HANDLE pair[] = {go, mutex};
  EXPECT_EQ(WaitForMultipleObjects(2, pair, TRUE, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(mutex, kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
}

TEST_P(MutexTest, ThreadThatEndsHoldingItAbandonsIt) {
  const HANDLE mutex = NewMutex(false);
  const HANDLE other = NewEvent(true, true);
  // The next wait hears of it once, whether it waits on the mutex alone or with others.
  for (const bool alone : {true, false}) {
    SCOPED_TRACE(alone ? "alone" : "with another object");
    EXPECT_EQ(OnOtherThread([mutex] {
                WaitForSingleObject(mutex, 0);
                return WaitForSingleObject(mutex, 0);  // held twice when it ends
              }),
              WAIT_OBJECT_0);
    const HANDLE both[] = {other, mutex};
    EXPECT_EQ(
        alone ? WaitForSingleObject(mutex, kLongWait) : WaitForMultipleObjects(2, both, TRUE, kLongWait),
        alone ? WAIT_ABANDONED : WAIT_ABANDONED_0 + 1);
    // Then it is owned as any other: once, by this thread.
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(OnOtherThread([mutex] {
                return WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0 && ReleaseMutex(mutex) ? 0u : 1u;
              }),
              0u);
  }
}

// The C library lists the robust mutexes a thread holds inside the mutexes themselves: the
// memory of a mutex closed while owned must outlive the handle, or the next mutex this thread
// takes, and its end, would touch memory that is gone.
TEST_P(MutexTest, ClosingTheHandleOfAnOwnedMutexIsSafe) {
  const char* name = GetParam();
  EXPECT_EQ(OnOtherThread([name] {
              // Made first, so that it cannot land where the closed one was.
              const HANDLE next = CreateMutexA(nullptr, FALSE, nullptr);
              const HANDLE owned = CreateMutexA(nullptr, TRUE, name);
              if (!owned || !CloseHandle(owned)) return 1u;
              const bool ok = WaitForSingleObject(next, 0) == WAIT_OBJECT_0 && ReleaseMutex(next);
              CloseHandle(next);
              return ok ? 0u : 2u;
            }),
            0u);
  if (name) {
    SetLastError(kMarker);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, name), nullptr) << "its only handle is closed";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

INSTANTIATE_TEST_SUITE_P(NamedAndUnnamed, MutexTest, ::testing::Values(nullptr, "Local\\tesk-mutex"),
                         [](const ::testing::TestParamInfo<const char*>& param_info) {
                           return std::string(param_info.param ? "Named" : "Unnamed");
                         });

class NamedMutexTest : public tesk::testing::PrefixTest {};

TEST_F(NamedMutexTest, KilledOwnerProcessAbandonsIt) {
  for (const bool alone : {true, false}) {
    SCOPED_TRACE(alone ? "alone" : "with another object");
    Handles handles;
    const HANDLE mutex = handles.Add(CreateMutexA(nullptr, FALSE, "held"));
    const HANDLE ready = handles.Add(CreateEventA(nullptr, TRUE, FALSE, "ready"));
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(ready, nullptr);
    Child child({"hold-mutex", "held", "ready"});
    ASSERT_EQ(WaitForSingleObject(ready, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(child.Kill().signal, SIGKILL);

    const HANDLE both[] = {ready, mutex};
    EXPECT_EQ(
        alone ? WaitForSingleObject(mutex, kLongWait) : WaitForMultipleObjects(2, both, TRUE, kLongWait),
        alone ? WAIT_ABANDONED : WAIT_ABANDONED_0 + 1);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
  }
}

}  // namespace
