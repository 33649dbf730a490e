// The namespace all named kinds share in a prefix, how long a name lives (handles, views,
// processes that end or are killed), and waits over several named objects.
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

#include "named_support.h"
#include "tesk_testing.h"

namespace {

using named_test::Child;
using named_test::Handles;
using named_test::kLongWait;
using named_test::kMarker;
using named_test::kShortWait;
using named_test::RuntimeFiles;

struct Kind {
  const char* label;
  HANDLE (*create)(const char* name);
  HANDLE (*open)(const char* name);
};

const Kind kKinds[] = {
    {"mutex", [](const char* name) { return CreateMutexA(nullptr, FALSE, name); },
     [](const char* name) { return OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name); }},
    {"event", [](const char* name) { return CreateEventA(nullptr, TRUE, FALSE, name); },
     [](const char* name) { return OpenEventA(EVENT_ALL_ACCESS, FALSE, name); }},
    {"section",
     [](const char* name) {
       return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name);
     },
     [](const char* name) { return OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name); }},
};

// The error of opening `name` as `kind` (ERROR_SUCCESS when it exists; the handle is closed).
DWORD OpenError(const Kind& kind, const char* name) {
  SetLastError(kMarker);
  const HANDLE handle = kind.open(name);
  if (!handle) return GetLastError();
  CloseHandle(handle);
  return ERROR_SUCCESS;
}

// The error left by creating `name`; the handle goes to `handles`.
DWORD CreateError(const Kind& kind, const char* name, Handles* handles) {
  SetLastError(kMarker);
  const HANDLE handle = handles->Add(kind.create(name));
  const DWORD error = GetLastError();
  return handle || error != ERROR_SUCCESS ? error : kMarker;
}

class NamespaceTest : public tesk::testing::PrefixTest {};

TEST_F(NamespaceTest, CreateOpensAnExistingNameAndSaysSo) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.label);
    Handles handles;
    EXPECT_EQ(OpenError(kind, "thing"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateError(kind, "thing", &handles), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(CreateError(kind, "thing", &handles), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(OpenError(kind, "thing"), static_cast<DWORD>(ERROR_SUCCESS));
    const auto child = tesk::testing::RunChild("named_helper", {"open", kind.label, "thing"});
    EXPECT_EQ(child.output, "0\n") << "another process of the prefix finds it";
  }
}

TEST_F(NamespaceTest, OneNameBelongsToOneKind) {
  for (const Kind& owner : kKinds) {
    Handles handles;
    ASSERT_EQ(CreateError(owner, "taken", &handles), static_cast<DWORD>(ERROR_SUCCESS));
    for (const Kind& other : kKinds) {
      if (&other == &owner) continue;
      SCOPED_TRACE(std::string(other.label) + " on a " + owner.label);
      Handles more;
      EXPECT_EQ(CreateError(other, "taken", &more), static_cast<DWORD>(ERROR_INVALID_HANDLE));
      EXPECT_EQ(OpenError(other, "taken"), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
  }
}

TEST_F(NamespaceTest, NamesAreExactExceptForTheSessionPrefix) {
  const Kind& event = kKinds[1];
  Handles handles;
  ASSERT_EQ(CreateError(event, "Global\\same", &handles), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(CreateError(event, "Local\\same", &handles), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(OpenError(event, "same"), static_cast<DWORD>(ERROR_SUCCESS));

  // Each of these is a name of its own.
  const std::string long_name(MAX_PATH, 'x');
  const std::vector<std::string> names = {
      "Same", "same ", "a/b", "a\\b", "..", "%2E%2E", "\xE9t\xE9", "Global\\Global\\same", long_name};
  for (const std::string& name : names) {
    EXPECT_EQ(CreateError(event, name.c_str(), &handles), static_cast<DWORD>(ERROR_SUCCESS)) << name;
  }
  for (const std::string& name : names)
    EXPECT_EQ(OpenError(event, name.c_str()), static_cast<DWORD>(ERROR_SUCCESS)) << name;

  Handles none;
  EXPECT_EQ(CreateError(event, (long_name + "x").c_str(), &none),
            static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(CreateError(event, "Local\\", &none), static_cast<DWORD>(ERROR_INVALID_NAME));
  for (const Kind& kind : kKinds)
    EXPECT_EQ(OpenError(kind, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(NamespaceTest, TwoPrefixesShareNothing) {
  Handles handles;
  const HANDLE here = handles.Add(CreateMutexA(nullptr, FALSE, "same"));
  ASSERT_NE(here, nullptr);
  const std::string runtime = tesk::win32::RuntimePath();
  std::string other_runtime;
  {
    tesk::testing::TempPrefix other;
    other_runtime = tesk::win32::RuntimePath();
    EXPECT_NE(other_runtime, runtime);
    EXPECT_EQ(OpenError(kKinds[0], "same"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", "mutex", "same"}).output, "2\n");
    Handles there;
    EXPECT_EQ(CreateError(kKinds[0], "same", &there), static_cast<DWORD>(ERROR_SUCCESS));
  }
  EXPECT_FALSE(std::filesystem::exists(other_runtime)) << "a test prefix takes its objects' folder along";
  EXPECT_EQ(OpenError(kKinds[0], "same"), static_cast<DWORD>(ERROR_SUCCESS));
}

class LifetimeTest : public tesk::testing::PrefixTest {};

TEST_F(LifetimeTest, NameGoesWithTheLastHandle) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.label);
    const HANDLE first = kind.create("brief");
    ASSERT_NE(first, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), first, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    const HANDLE opened = kind.open("brief");
    ASSERT_NE(opened, nullptr);
    for (const HANDLE handle : {first, copy}) {
      CloseHandle(handle);
      EXPECT_EQ(OpenError(kind, "brief"), static_cast<DWORD>(ERROR_SUCCESS));
    }
    // Held by another process too: it stays while that one holds it.
    EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", kind.label, "brief"}).output, "0\n");
    CloseHandle(opened);
    EXPECT_EQ(OpenError(kind, "brief"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", kind.label, "brief"}).output, "2\n");
    Handles handles;
    EXPECT_EQ(CreateError(kind, "brief", &handles), static_cast<DWORD>(ERROR_SUCCESS));
  }
}

TEST_F(LifetimeTest, AViewKeepsItsSectionAlive) {
  const HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "viewed");
  auto* view = static_cast<char*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  view[0] = 'v';
  ASSERT_TRUE(CloseHandle(section));

  const HANDLE again = OpenFileMappingA(FILE_MAP_READ, FALSE, "viewed");
  ASSERT_NE(again, nullptr);
  const auto* seen = static_cast<const char*>(MapViewOfFile(again, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(seen[0], 'v');
  CloseHandle(again);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_EQ(OpenError(kKinds[2], "viewed"), static_cast<DWORD>(ERROR_SUCCESS)) << "the second view holds it";
  EXPECT_TRUE(UnmapViewOfFile(seen));
  EXPECT_EQ(OpenError(kKinds[2], "viewed"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(LifetimeTest, AKilledHolderLeavesNothingBehind) {
  Handles handles;
  const HANDLE ready = handles.Add(CreateEventA(nullptr, TRUE, FALSE, "ready"));
  Child child({"hold-all", "held", "ready"});
  ASSERT_EQ(WaitForSingleObject(ready, kLongWait), WAIT_OBJECT_0);
  const char* names[] = {"held.m", "held.e", "held.s"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(OpenError(kKinds[i], names[i]), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(child.Kill().signal, SIGKILL);

  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(OpenError(kKinds[i], names[i]), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RuntimeFiles(true), std::vector<std::string>{}) << "the section's data went with it";
  SetLastError(kMarker);
  const HANDLE fresh =
      handles.Add(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x10000, "held.s"));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  const auto* view = static_cast<const unsigned char*>(MapViewOfFile(fresh, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0);
  EXPECT_EQ(view[0xFFFF], 0);
  UnmapViewOfFile(view);
  handles.CloseAll();
  EXPECT_EQ(RuntimeFiles(), std::vector<std::string>{"named.table"});
}

TEST_F(LifetimeTest, LeftoversOfDeadProcessesAreSweptAway) {
  Handles handles;
  const HANDLE ready = handles.Add(CreateEventA(nullptr, TRUE, FALSE, "ready"));
  Child child({"hold-all", "left", "ready"});
  ASSERT_EQ(WaitForSingleObject(ready, kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(child.Kill().signal, SIGKILL);
  handles.CloseAll();
  // A process that first uses the namespace clears away what nobody holds.
  EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", "event", "other"}).output, "2\n");
  EXPECT_EQ(RuntimeFiles(), std::vector<std::string>{"named.table"});
}

class WaitMixTest : public tesk::testing::PrefixTest {};

TEST_F(WaitMixTest, WaitAnyAndAllOverNamedObjects) {
  Handles handles;
  const HANDLE mutex = handles.Add(CreateMutexA(nullptr, FALSE, "mix.m"));
  const HANDLE automatic = handles.Add(CreateEventA(nullptr, FALSE, TRUE, "mix.auto"));
  const HANDLE manual = handles.Add(CreateEventA(nullptr, TRUE, FALSE, "mix.manual"));
  const HANDLE ready = handles.Add(CreateEventA(nullptr, TRUE, FALSE, "mix.ready"));
  const HANDLE release = handles.Add(CreateEventA(nullptr, TRUE, FALSE, "mix.release"));
  Child child({"hold-mutex", "mix.m", "mix.ready", "mix.release"});
  ASSERT_EQ(WaitForSingleObject(ready, kLongWait), WAIT_OBJECT_0);

  const HANDLE any[] = {mutex, manual, automatic};
  EXPECT_EQ(WaitForMultipleObjects(3, any, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, any, FALSE, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT)) << "taken";

  // Another process holds the mutex: a wait for all takes nothing, however long it waits.
  const HANDLE all[] = {automatic, mutex};
  SetEvent(automatic);
  EXPECT_EQ(WaitForMultipleObjects(2, all, TRUE, kShortWait), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0) << "still set";
  SetEvent(automatic);

  // It is let go in the other process: the blocked wait for all takes both.
  SetEvent(release);
  EXPECT_EQ(WaitForMultipleObjects(2, all, TRUE, kLongWait), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  const HANDLE owned[] = {manual, mutex};
  EXPECT_EQ(WaitForMultipleObjects(2, owned, FALSE, 0), WAIT_OBJECT_0 + 1) << "the owner takes it again";
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(child.Wait().exit_code, 0);
}

}  // namespace
