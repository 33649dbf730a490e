// Named events across processes, and PulseEvent in one process and across two.
#include <unistd.h>

#include <array>
#include <string>

#include <gtest/gtest.h>
#include <tesk/win32/windows.h>

#include "named_support.h"
#include "tesk_testing.h"

namespace {

using named_test::Child;
using named_test::Handles;
using named_test::kLongWait;
using named_test::kShortWait;
using named_test::StartThread;
using named_test::WaitUntilBlocked;

class NamedEventTest : public tesk::testing::PrefixTest {
 protected:
  Handles handles_;
};

// Two processes wait on one event: a set releases both when it is manual-reset and exactly
// one when it is auto-reset (a second set releases the other).
TEST_F(NamedEventTest, SetReleasesWaitersInOtherProcesses) {
  for (const bool manual : {false, true}) {
    SCOPED_TRACE(manual ? "manual reset" : "auto reset");
    Handles handles;
    const std::string go = manual ? "go-manual" : "go-auto";
    const HANDLE event = handles.Add(CreateEventA(nullptr, manual ? TRUE : FALSE, FALSE, go.c_str()));
    const std::array<HANDLE, 2> done = {handles.Add(CreateEventA(nullptr, TRUE, FALSE, "done0")),
                                        handles.Add(CreateEventA(nullptr, TRUE, FALSE, "done1"))};
    ASSERT_NE(event, nullptr);
    Child first({"wait-event", go, "done0"});
    Child second({"wait-event", go, "done1"});

    ASSERT_TRUE(SetEvent(event));
    const DWORD one = WaitForMultipleObjects(2, done.data(), FALSE, kLongWait);
    ASSERT_LT(one, 2u);
    const HANDLE other = done[1 - one];
    if (manual) {
      EXPECT_EQ(WaitForSingleObject(other, kLongWait), WAIT_OBJECT_0);
      EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "a manual-reset event stays set";
    } else {
      EXPECT_EQ(WaitForSingleObject(other, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
      ASSERT_TRUE(SetEvent(event));
      EXPECT_EQ(WaitForSingleObject(other, kLongWait), WAIT_OBJECT_0);
      EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "each set was taken once";
    }
    EXPECT_EQ(first.Wait().exit_code, 0);
    EXPECT_EQ(second.Wait().exit_code, 0);
  }
}

TEST_F(NamedEventTest, ResetInOneProcessIsSeenInAnother) {
  const HANDLE event = handles_.Add(CreateEventA(nullptr, TRUE, TRUE, "state"));
  const HANDLE done = handles_.Add(CreateEventA(nullptr, TRUE, FALSE, "done"));
  const HANDLE again = handles_.Add(CreateEventA(nullptr, FALSE, FALSE, "state"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(ResetEvent(again));
  Child child({"wait-event", "state", "done"});
  EXPECT_EQ(WaitForSingleObject(done, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(done, kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0) << "still manual-reset: the creator's kind holds";
  EXPECT_EQ(child.Wait().exit_code, 0);
}

// A pulse releases the waits under way (all of them, or one for an auto-reset event) and
// leaves the event not signalled; it is not kept for later waits.
TEST_F(NamedEventTest, PulseReleasesTheWaitersOfTheMoment) {
  for (const bool manual : {true, false}) {
    for (const char* name : {static_cast<const char*>(nullptr), "pulsed"}) {
      SCOPED_TRACE(std::string(manual ? "manual" : "auto") + (name ? ", named" : ", unnamed"));
      Handles handles;
      const HANDLE event = handles.Add(CreateEventA(nullptr, manual ? TRUE : FALSE, FALSE, name));
      ASSERT_NE(event, nullptr);
      ASSERT_TRUE(PulseEvent(event));
      EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "nobody was waiting";

      auto wait = [event] { return WaitForSingleObject(event, kLongWait); };
      std::array<DWORD, 2> ids{};
      const std::array<HANDLE, 2> threads = {handles.Add(StartThread(&wait, &ids[0])),
                                             handles.Add(StartThread(&wait, &ids[1]))};
      for (const DWORD id : ids) ASSERT_TRUE(WaitUntilBlocked(getpid(), id));
      ASSERT_TRUE(PulseEvent(event));

      const DWORD first = WaitForMultipleObjects(2, threads.data(), FALSE, kLongWait);
      ASSERT_LT(first, 2u);
      const HANDLE other = threads[1 - first];
      if (!manual) {
        EXPECT_EQ(WaitForSingleObject(other, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        SetEvent(event);
      }
      EXPECT_EQ(WaitForSingleObject(other, kLongWait), WAIT_OBJECT_0);
      for (const HANDLE thread : threads) {
        DWORD code = 1;
        GetExitCodeThread(thread, &code);
        EXPECT_EQ(code, WAIT_OBJECT_0);
      }
      EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

      // A pulse of a set event resets it.
      SetEvent(event);
      ASSERT_TRUE(PulseEvent(event));
      EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
  }
}

TEST_F(NamedEventTest, PulseReleasesAWaiterInAnotherProcess) {
  const HANDLE event = handles_.Add(CreateEventA(nullptr, TRUE, FALSE, "pulsed"));
  const HANDLE ready = handles_.Add(CreateEventA(nullptr, TRUE, FALSE, "ready"));
  const HANDLE done = handles_.Add(CreateEventA(nullptr, TRUE, FALSE, "done"));
  Child child({"wait-event", "pulsed", "done", "ready"});
  ASSERT_EQ(WaitForSingleObject(ready, kLongWait), WAIT_OBJECT_0);
  ASSERT_TRUE(WaitUntilBlocked(child.pid(), static_cast<DWORD>(child.pid())));
  ASSERT_TRUE(PulseEvent(event));
  EXPECT_EQ(WaitForSingleObject(done, kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(child.Wait().exit_code, 0);
}

}  // namespace
