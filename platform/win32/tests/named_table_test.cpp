// The prefix's table of named objects: what dead processes leave (their holds, their process
// slots, a namespace lock held when they died), processes racing over the same names, a
// full table and a damaged one.
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
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
using named_test::RuntimeFiles;

const char* const kHeldKinds[] = {"mutex", "event", "section"};
const char* const kHeldSuffixes[] = {".m", ".e", ".s"};

// The last error of opening `name` as `kind` (mutex, event or section) in this process.
DWORD OpenError(const std::string& kind, const std::string& name) {
  SetLastError(kMarker);
  HANDLE handle = nullptr;
  if (kind == "mutex") handle = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
  if (kind == "event") handle = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
  if (kind == "section") handle = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  if (!handle) return GetLastError();
  CloseHandle(handle);
  return ERROR_SUCCESS;
}

// Starts `named_helper hold-all <name>` and waits until it holds its three objects.
class Holder {
 public:
  explicit Holder(const std::string& name)
      : ready_(CreateEventA(nullptr, TRUE, FALSE, (name + ".ready").c_str())) {
    child_ = std::make_unique<Child>(std::vector<std::string>{"hold-all", name, name + ".ready"});
    EXPECT_EQ(WaitForSingleObject(ready_, kLongWait), WAIT_OBJECT_0);
  }
  ~Holder() { CloseHandle(ready_); }
  Child& child() { return *child_; }

 private:
  HANDLE ready_;
  std::unique_ptr<Child> child_;
};

class DeadProcessTest : public tesk::testing::PrefixTest {};

TEST_F(DeadProcessTest, ANameHeldWithADeadProcessGoesWithTheLastLiveHolder) {
  Holder holder("both");
  Handles ours;
  for (int i = 0; i < 3; ++i) {
    const std::string name = std::string("both") + kHeldSuffixes[i];
    ours.Add(i == 0   ? OpenMutexA(SYNCHRONIZE, FALSE, name.c_str())
             : i == 1 ? OpenEventA(SYNCHRONIZE, FALSE, name.c_str())
                      : OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()));
  }
  EXPECT_EQ(holder.child().Kill().signal, SIGKILL);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(OpenError(kHeldKinds[i], std::string("both") + kHeldSuffixes[i]),
              static_cast<DWORD>(ERROR_SUCCESS))
        << "still held here";
  ours.CloseAll();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(OpenError(kHeldKinds[i], std::string("both") + kHeldSuffixes[i]),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND))
        << kHeldKinds[i];
  }
  EXPECT_EQ(RuntimeFiles(true), std::vector<std::string>{});
}

// The next process takes the dead one's place in the table: what the dead one held must not
// pass for held by the new one.
TEST_F(DeadProcessTest, AProcessSlotOfTheDeadIsTakenWithoutItsHolds) {
  {
    Holder first("first");
    EXPECT_EQ(first.child().Kill().signal, SIGKILL);
  }
  Holder second("second");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(OpenError(kHeldKinds[i], std::string("first") + kHeldSuffixes[i]),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenError(kHeldKinds[i], std::string("second") + kHeldSuffixes[i]),
              static_cast<DWORD>(ERROR_SUCCESS));
  }
  EXPECT_EQ(RuntimeFiles(true).size(), 1u) << "the second one's section only";
}

// A process dies (here: is killed while stopped) holding the namespace lock, halfway through
// making a section: the lock is taken over, the half-made section never existed.
TEST_F(DeadProcessTest, ADeathInsideTheNamespaceLockLeavesItUsable) {
  Handles handles;
  ASSERT_NE(handles.Add(CreateEventA(nullptr, TRUE, FALSE, "before")), nullptr);
  Child child({"stop-in-lock", "midway"});
  ASSERT_GT(child.pid(), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid(), &status, WUNTRACED), child.pid());
  ASSERT_TRUE(WIFSTOPPED(status)) << "the helper ended instead: " << status;
  EXPECT_EQ(child.Kill().signal, SIGKILL);

  EXPECT_EQ(OpenError("section", "midway"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RuntimeFiles(true), std::vector<std::string>{}) << "its data file is cleared away";
  EXPECT_EQ(OpenError("event", "before"), static_cast<DWORD>(ERROR_SUCCESS));
  SetLastError(kMarker);
  ASSERT_NE(handles.Add(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "midway")),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", "section", "midway"}).output, "0\n");
}

class RaceTest : public tesk::testing::PrefixTest {};

// Two processes make and close the same names as fast as they can; each name must stay one
// object: the mutex excludes the other process, the counts under it add up, and a section
// made after the last holder let go is a new one.
TEST_F(RaceTest, ProcessesMakingAndClosingTheSameNamesShareOneObjectPerName) {
  constexpr int kRounds = 10000;
  constexpr int kNames = 4;
  Handles handles;
  const HANDLE data =
      handles.Add(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "churn.data"));
  ASSERT_NE(data, nullptr);
  const auto* words = static_cast<const DWORD*>(MapViewOfFile(data, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(words, nullptr);
  Child first({"churn", std::to_string(kRounds)});
  Child second({"churn", std::to_string(kRounds)});
  const auto first_result = first.Wait();
  const auto second_result = second.Wait();
  EXPECT_EQ(first_result.exit_code, 0) << first_result.output;
  EXPECT_EQ(second_result.exit_code, 0) << second_result.output;
  DWORD rounds = 0;
  for (int k = 0; k < kNames; ++k) rounds += words[2 * k + 1];  // {inside, rounds} per name
  EXPECT_EQ(rounds, 2u * kRounds);
  UnmapViewOfFile(words);
  for (int k = 0; k < kNames; ++k)
    EXPECT_EQ(OpenError("mutex", "churn.m" + std::to_string(k)), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

class TableTest : public tesk::testing::PrefixTest {};

TEST_F(TableTest, AFullTableRefusesNewNamesOnly) {
  const HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "full.first");
  ASSERT_NE(first, nullptr);
  Handles handles;
  constexpr int kMost = 1 << 20;
  int made = 0;
  DWORD error = ERROR_SUCCESS;
  for (; made < kMost; ++made) {
    SetLastError(kMarker);
    if (!handles.Add(CreateEventA(nullptr, TRUE, FALSE, ("full." + std::to_string(made)).c_str()))) {
      error = GetLastError();
      break;
    }
  }
  ASSERT_LT(made, kMost);
  EXPECT_GE(made, 1000) << "room for a good many objects";
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  SetLastError(kMarker);
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "one more"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

  // What is there is still found, here and elsewhere.
  SetLastError(kMarker);
  const HANDLE again = handles.Add(CreateEventA(nullptr, TRUE, FALSE, "full.7"));
  EXPECT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", "event", "full.8"}).output, "0\n");
  EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", "event", "one more"}).output, "2\n");

  // Room again once one goes.
  ASSERT_TRUE(CloseHandle(first));
  SetLastError(kMarker);
  const HANDLE room = handles.Add(CreateMutexA(nullptr, FALSE, "one more"));
  EXPECT_NE(room, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

// A table file that is not one is refused, in this process and in another, without harm.
TEST_F(TableTest, ADamagedTableIsRefused) {
  Handles handles;
  ASSERT_NE(handles.Add(CreateMutexA(nullptr, FALSE, "sizer")), nullptr);
  const auto table_size = std::filesystem::file_size(tesk::win32::RuntimePath() + "/named.table");
  struct Case {
    const char* label;
    std::uintmax_t size;
  };
  for (const Case& c : {Case{"short", 100}, Case{"of the right size", table_size}}) {
    SCOPED_TRACE(c.label);
    tesk::testing::TempPrefix other;
    const std::string runtime = tesk::win32::RuntimePath();
    std::filesystem::create_directory(runtime);
    {
      std::ofstream table(runtime + "/named.table", std::ios::binary);
      table << std::string(64, 'x');
    }
    std::filesystem::resize_file(runtime + "/named.table", c.size);
    SetLastError(kMarker);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "x"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(OpenError("event", "x"), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", "mutex", "x"}).output, "13\n");
    EXPECT_EQ(std::filesystem::file_size(runtime + "/named.table"), c.size) << "left as it was";
  }
  EXPECT_EQ(OpenError("mutex", "sizer"), static_cast<DWORD>(ERROR_SUCCESS))
      << "the first prefix's table is unharmed";
}

// Its data cut short under it, a section is refused to those that open it after, rather
// than give views that fault when touched.
TEST_F(TableTest, ASectionWhoseDataFileWasCutShortIsRefused) {
  Handles handles;
  ASSERT_NE(handles.Add(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x10000, "cut")),
            nullptr);
  const std::vector<std::string> files = RuntimeFiles(true);
  ASSERT_EQ(files.size(), 1u);
  std::filesystem::resize_file(tesk::win32::RuntimePath() + "/" + files[0], 4096);
  EXPECT_EQ(tesk::testing::RunChild("named_helper", {"open", "section", "cut"}).output, "13\n");
}

}  // namespace
