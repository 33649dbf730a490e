// Handles, events, waits, threads, critical sections, the last error and interlocked operations.
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <tesk/win32/winbase.h>

namespace {

constexpr DWORD kMarker = 0xDEADBEEF;
// Long enough that a wrongly woken waiter would have finished; short enough to keep tests fast.
constexpr DWORD kShortWait = 30;

HANDLE NewEvent(bool manual, bool initial) {
  HANDLE event = CreateEventA(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr);
  EXPECT_NE(event, nullptr);
  return event;
}

// Closes its handles when the test ends, whatever happened.
class Handles {
 public:
  ~Handles() {
    for (HANDLE h : handles_) CloseHandle(h);
  }
  HANDLE Add(HANDLE h) {
    handles_.push_back(h);
    return h;
  }
  HANDLE Event(bool manual, bool initial) { return Add(NewEvent(manual, initial)); }

 private:
  std::vector<HANDLE> handles_;
};

// Starts a thread running `body`; the thread returns what `body` returns.
template <typename Body>
HANDLE StartThread(Body* body, DWORD flags = 0, DWORD* id = nullptr) {
  auto run = [](LPVOID p) -> DWORD { return (*static_cast<Body*>(p))(); };
  return CreateThread(nullptr, 0, run, body, flags, id);
}

// ---- Handles --------------------------------------------------------------------------------

TEST(HandleTest, ValuesAreSmallMultiplesOfFourAndCloseOnce) {
  HANDLE a = NewEvent(true, false);
  HANDLE b = NewEvent(true, false);
  for (HANDLE h : {a, b}) {
    const auto value = reinterpret_cast<ULONG_PTR>(h);
    EXPECT_NE(value, 0u);
    EXPECT_EQ(value % 4, 0u);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
  }
  EXPECT_NE(a, b);
  EXPECT_TRUE(CloseHandle(a));
  SetLastError(kMarker);
  EXPECT_FALSE(CloseHandle(a));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseHandle(b));
}

TEST(HandleTest, BadHandlesAreRefused) {
  HANDLE closed = NewEvent(true, true);
  CloseHandle(closed);
  const HANDLE bad[] = {nullptr, closed, reinterpret_cast<HANDLE>(0x7FFF0000), reinterpret_cast<HANDLE>(6)};
  for (HANDLE h : bad) {
    SetLastError(kMarker);
    EXPECT_FALSE(CloseHandle(h)) << h;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
    SetLastError(kMarker);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED) << h;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
    SetLastError(kMarker);
    EXPECT_FALSE(SetEvent(h)) << h;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
    DWORD code = kMarker;
    EXPECT_FALSE(GetExitCodeThread(h, &code)) << h;
    EXPECT_EQ(code, kMarker);
    SetLastError(kMarker);
    EXPECT_EQ(ResumeThread(h), static_cast<DWORD>(-1)) << h;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
  }
}

TEST(HandleTest, WrongKindOfObjectIsAnInvalidHandle) {
  Handles handles;
  HANDLE event = handles.Event(true, false);
  DWORD code = kMarker;
  SetLastError(kMarker);
  EXPECT_FALSE(GetExitCodeThread(event, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetThreadPriority(event, THREAD_PRIORITY_NORMAL));
  SetLastError(kMarker);
  EXPECT_FALSE(SetEvent(GetCurrentThread()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(HandleTest, DuplicateNamesTheSameObject) {
  Handles handles;
  HANDLE event = NewEvent(true, false);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  handles.Add(copy);
  EXPECT_NE(copy, event);
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0) << "the copy outlives the original";

  HANDLE moved = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), copy, GetCurrentProcess(), &moved, 0, FALSE,
                              DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
  handles.Add(moved);
  EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_FAILED) << "the source was closed";
  EXPECT_EQ(WaitForSingleObject(moved, 0), WAIT_OBJECT_0);
}

TEST(HandleTest, DuplicateRefusesOtherProcessesAndBadSources) {
  Handles handles;
  HANDLE event = handles.Event(true, false);
  HANDLE copy = reinterpret_cast<HANDLE>(0x1234);
  SetLastError(kMarker);
  EXPECT_FALSE(DuplicateHandle(event, event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(kMarker);
  EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), nullptr, GetCurrentProcess(), &copy, 0, FALSE,
                               DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(copy, reinterpret_cast<HANDLE>(0x1234));
}

TEST(HandleTest, PseudoHandlesAreNeverSignalledAndCloseHarmlessly) {
  EXPECT_EQ(WaitForSingleObject(GetCurrentProcess(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD code = kMarker;
  ASSERT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_TRUE(CloseHandle(GetCurrentThread()));
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
  EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// ---- Events and waits ------------------------------------------------------------------------

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  Handles handles;
  HANDLE event = handles.Event(true, true);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(EventTest, AutoResetIsConsumedByOneWait) {
  Handles handles;
  HANDLE event = handles.Event(false, false);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(SetEvent(event)) << "setting twice does not count twice";
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(EventTest, EmptyNameIsNoName) {
  HANDLE unnamed = CreateEventA(nullptr, TRUE, FALSE, "");
  EXPECT_NE(unnamed, nullptr);
  CloseHandle(unnamed);
}

struct Waiter {
  HANDLE event;
  DWORD operator()() const { return WaitForSingleObject(event, INFINITE); }
};

TEST(EventTest, AutoResetReleasesExactlyOneOfTwoWaiters) {
  Handles handles;
  HANDLE event = handles.Event(false, false);
  Waiter waiter{event};
  HANDLE threads[2] = {handles.Add(StartThread(&waiter)), handles.Add(StartThread(&waiter))};
  ASSERT_NE(threads[0], nullptr);
  ASSERT_NE(threads[1], nullptr);

  ASSERT_TRUE(SetEvent(event));
  const DWORD first = WaitForMultipleObjects(2, threads, FALSE, INFINITE);
  ASSERT_LT(first, 2u);
  HANDLE other = threads[1 - first];
  EXPECT_EQ(WaitForSingleObject(other, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT))
      << "one set, one release";
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the release consumed the set";

  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(other, INFINITE), WAIT_OBJECT_0);
  for (HANDLE t : threads) {
    DWORD code = kMarker;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
  }
}

TEST(EventTest, ManualResetReleasesEveryWaiter) {
  Handles handles;
  HANDLE event = handles.Event(true, false);
  Waiter waiter{event};
  HANDLE threads[3] = {handles.Add(StartThread(&waiter)), handles.Add(StartThread(&waiter)),
                       handles.Add(StartThread(&waiter))};
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "still set";
}

TEST(WaitTest, WaitAnyReportsTheLowestSignalledIndex) {
  Handles handles;
  HANDLE events[3] = {handles.Event(false, false), handles.Event(false, true), handles.Event(false, true)};
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2) << "index 1 was consumed";
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(WaitTest, WaitAllTakesEverythingOrNothing) {
  Handles handles;
  HANDLE events[2] = {handles.Event(false, true), handles.Event(false, false)};
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(events[1]));
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_OBJECT_0) << "the failed waits consumed nothing";
  EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "both consumed";
}

struct Setter {
  HANDLE go;
  HANDLE target;
  DWORD operator()() const {
    WaitForSingleObject(go, INFINITE);
    return SetEvent(target) ? 0 : 1;
  }
};

TEST(WaitTest, BlockedWaitAllWakesWhenTheLastObjectIsSet) {
  Handles handles;
  HANDLE go = handles.Event(true, false);
  HANDLE events[2] = {handles.Event(true, true), handles.Event(false, false)};
  Setter setter{go, events[1]};
  HANDLE thread = handles.Add(StartThread(&setter));
  ASSERT_TRUE(SetEvent(go));
  EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(events[1], 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(WaitTest, TimeoutWaitsAtLeastThatLong) {
  Handles handles;
  HANDLE event = handles.Event(true, false);
  const DWORD start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(event, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_GE(GetTickCount() - start, kShortWait - 1);
}

TEST(WaitTest, BadArgumentsFail) {
  Handles handles;
  HANDLE event = handles.Event(true, true);
  std::array<HANDLE, MAXIMUM_WAIT_OBJECTS + 1> many;
  many.fill(event);
  const struct {
    const char* what;
    DWORD count;
    const HANDLE* list;
    BOOL all;
    DWORD error;
  } cases[] = {
      {"no objects", 0, many.data(), FALSE, ERROR_INVALID_PARAMETER},
      {"too many objects", MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, ERROR_INVALID_PARAMETER},
      {"null list", 1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
      {"one object twice in wait-all", 2, many.data(), TRUE, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SetLastError(kMarker);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.list, c.all, 0), WAIT_FAILED) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);

  HANDLE mixed[2] = {event, reinterpret_cast<HANDLE>(0x7FFF0000)};
  SetLastError(kMarker);
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED)
      << "checked before anything is waited on";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- Threads ---------------------------------------------------------------------------------

struct Worker {
  HANDLE gate;
  std::atomic<DWORD> id{0};
  std::atomic<bool> ran{false};
  DWORD operator()() {
    id = GetCurrentThreadId();
    ran = true;
    if (gate) WaitForSingleObject(gate, INFINITE);
    return 42;
  }
};

TEST(ThreadTest, ExitCodeIsStillActiveUntilTheFunctionReturns) {
  Handles handles;
  Worker worker;
  worker.gate = handles.Event(true, false);
  DWORD id = 0;
  HANDLE thread = handles.Add(StartThread(&worker, 0, &id));
  ASSERT_NE(thread, nullptr);
  DWORD code = kMarker;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(SetEvent(worker.gate));
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(id, worker.id.load()) << "lpThreadId is the thread's own id";
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "a thread stays signalled";
}

TEST(ThreadTest, SuspendedThreadRunsOnlyAfterResume) {
  Handles handles;
  Worker worker;
  worker.gate = nullptr;
  DWORD id = 0;
  HANDLE thread = handles.Add(StartThread(&worker, CREATE_SUSPENDED, &id));
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u) << "the id is known before the thread runs";
  EXPECT_EQ(WaitForSingleObject(thread, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(worker.ran.load());
  EXPECT_EQ(ResumeThread(thread), 1u);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(worker.ran.load());
  EXPECT_EQ(worker.id.load(), id);
  EXPECT_EQ(ResumeThread(thread), 0u);
}

TEST(ThreadTest, ThreadOutlivesItsClosedHandle) {
  Handles handles;
  HANDLE gate = handles.Event(true, false);
  HANDLE done = handles.Event(true, false);
  Setter setter{gate, done};
  HANDLE thread = StartThread(&setter);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  ASSERT_TRUE(SetEvent(gate));
  EXPECT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
}

struct SelfDuplicator {
  HANDLE self = nullptr;
  DWORD operator()() {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return 7;
  }
};

TEST(ThreadTest, CurrentThreadPseudoHandleDuplicatesToARealHandle) {
  SelfDuplicator inside;
  HANDLE thread = StartThread(&inside);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);
  ASSERT_NE(inside.self, nullptr);
  EXPECT_EQ(WaitForSingleObject(inside.self, 0), WAIT_OBJECT_0);
  DWORD code = kMarker;
  ASSERT_TRUE(GetExitCodeThread(inside.self, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(inside.self);

  // A thread the stand-in did not start gets its object on demand and ends with it too.
  HANDLE foreign = nullptr;
  std::thread other([&foreign] {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &foreign, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  });
  other.join();
  ASSERT_NE(foreign, nullptr);
  EXPECT_EQ(WaitForSingleObject(foreign, INFINITE), WAIT_OBJECT_0);
  CloseHandle(foreign);
}

TEST(ThreadTest, CreationAndPriorityArgumentsAreChecked) {
  SetLastError(kMarker);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
  SetLastError(kMarker);
  EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 7));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  DWORD code = kMarker;
  SetLastError(kMarker);
  EXPECT_FALSE(GetExitCodeThread(GetCurrentThread(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(code, kMarker);
}

TEST(ThreadTest, IdsAreStableAndDistinct) {
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
  EXPECT_NE(GetCurrentProcessId(), 0u);
  DWORD other_id = 0;
  std::thread([&other_id] { other_id = GetCurrentThreadId(); }).join();
  EXPECT_NE(other_id, GetCurrentThreadId());
}

TEST(ThreadTest, TickCountMovesForward) {
  const DWORD before = GetTickCount();
  Sleep(kShortWait);
  EXPECT_GE(GetTickCount() - before, kShortWait - 1);
  Sleep(0);
}

// ---- Last error ------------------------------------------------------------------------------

TEST(LastErrorTest, EachThreadHasItsOwn) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen_by_other = kMarker;
  std::thread([&seen_by_other] {
    seen_by_other = GetLastError();
    SetLastError(ERROR_FILE_NOT_FOUND);
  }).join();
  EXPECT_EQ(seen_by_other, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// ---- Critical sections -----------------------------------------------------------------------

class CriticalSectionTest : public ::testing::Test {
 protected:
  CriticalSectionTest() { InitializeCriticalSection(&section_); }
  ~CriticalSectionTest() override { DeleteCriticalSection(&section_); }
  bool TryFromAnotherThread() {
    bool entered = false;
    std::thread([this, &entered] {
      entered = TryEnterCriticalSection(&section_) != FALSE;
      if (entered) LeaveCriticalSection(&section_);
    }).join();
    return entered;
  }
  CRITICAL_SECTION section_;
};

TEST_F(CriticalSectionTest, OwnerMayEnterAgainOthersMayNot) {
  EnterCriticalSection(&section_);
  EXPECT_TRUE(TryEnterCriticalSection(&section_));
  EXPECT_FALSE(TryFromAnotherThread());
  LeaveCriticalSection(&section_);
  EXPECT_FALSE(TryFromAnotherThread()) << "still held once";
  LeaveCriticalSection(&section_);
  EXPECT_TRUE(TryFromAnotherThread());
}

TEST_F(CriticalSectionTest, ExcludesOtherThreads) {
  constexpr int kThreads = 4, kRounds = 20000;
  long counter = 0;  // deliberately not atomic
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, &counter] {
      for (int i = 0; i < kRounds; ++i) {
        EnterCriticalSection(&section_);
        EnterCriticalSection(&section_);
        ++counter;
        LeaveCriticalSection(&section_);
        LeaveCriticalSection(&section_);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

// ---- Interlocked operations ------------------------------------------------------------------

TEST(InterlockedTest, ReturnValuesFollowWindows) {
  volatile LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 10), 5);
  EXPECT_EQ(InterlockedExchange(&value, 1), 15);
  EXPECT_EQ(InterlockedCompareExchange(&value, 9, 2), 1) << "no match, no change";
  EXPECT_EQ(value, 1);
  EXPECT_EQ(InterlockedCompareExchange(&value, 9, 1), 1);
  EXPECT_EQ(value, 9);
  int a = 0, b = 0;
  PVOID volatile slot = &a;
  EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &b, nullptr), &a);
  EXPECT_EQ(InterlockedExchangePointer(&slot, &b), &a);
  EXPECT_EQ(slot, &b);
}

TEST(InterlockedTest, NoUpdateIsLostUnderContention) {
  constexpr int kThreads = 4, kRounds = 20000;
  volatile LONG counter = 0;
  volatile LONG cas_counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        InterlockedIncrement(&counter);
        LONG seen;
        do {
          seen = InterlockedExchangeAdd(&cas_counter, 0);
        } while (InterlockedCompareExchange(&cas_counter, seen + 2, seen) != seen);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, kThreads * kRounds);
  EXPECT_EQ(cas_counter, 2 * kThreads * kRounds);
}

}  // namespace
