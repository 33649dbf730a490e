// The fixture of the sync tests: a prefix of its own, the process's pool table made and
// emptied around each test, and readers for the pool's header and child output.
#pragma once

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "csync.h"
#include "smem.h"
#include "sync_support.h"
#include "tesk_testing.h"

namespace tesk::sync::testing {

inline DWORD Field(const BYTE* view, std::size_t offset) {
  DWORD value;
  std::memcpy(&value, view + offset, sizeof(value));
  return value;
}

inline void SetField(BYTE* view, std::size_t offset, DWORD value) {
  std::memcpy(view + offset, &value, sizeof(value));
}

// A named mutex as another thread of this process finds it (mutexes are recursive, so the
// holder's own thread could always take it again).
enum class MutexState { kAbsent, kFree, kHeld };

inline MutexState StateOf(const std::string& name) {
  MutexState state = MutexState::kAbsent;
  std::thread([&] {
    const HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
    if (!mutex) return;
    const DWORD wait = WaitForSingleObject(mutex, 0);
    state = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED ? MutexState::kFree : MutexState::kHeld;
    if (state == MutexState::kFree) ReleaseMutex(mutex);
    CloseHandle(mutex);
  }).join();
  return state;
}

inline constexpr DWORD kPoolSize = PoolSectionSize(kPoolDataSize, kPoolCapacity);

class SyncTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override { SmemProcessAttach(); }
  void TearDown() override {
    for (const HANDLE flag : flags_) CloseHandle(flag);
    SmemProcessDetach();
  }

  static BYTE* OpenPool() {
    BYTE* view = nullptr;
    EXPECT_EQ(SmemOpenPool(kPoolName, kPoolDataSize, kPoolCapacity, &view), S_OK);
    return view;
  }

  static LONG Add(BYTE* view, const char* name, DWORD word, HRESULT expected = S_OK) {
    LONG index = -1;
    EXPECT_EQ(SmemAddEntry(view, name, &word, sizeof(word), &index), expected) << name;
    return index;
  }

  static DWORD Word(BYTE* view, LONG index) {
    DWORD word = 0xdeadbeef;
    DWORD length = sizeof(word);
    EXPECT_EQ(SmemReadEntry(view, index, &word, &length), S_OK);
    return word;
  }

  void Raise(const std::string& flag) {
    const HANDLE handle = RaiseFlag(flag);
    ASSERT_NE(handle, nullptr);
    flags_.push_back(handle);
  }

  // The child's line that starts with `command`, without the command; "missing" when none.
  static std::string Answer(const std::string& output, const std::string& command, int nth = 0) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind(command + " ", 0) == 0 && nth-- == 0) return line.substr(command.size() + 1);
      if (line == command && nth-- == 0) return "";
    }
    return "missing";
  }

 private:
  std::vector<HANDLE> flags_;
};

}  // namespace tesk::sync::testing
