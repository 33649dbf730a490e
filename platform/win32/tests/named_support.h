// What the named-object tests share: handles closed at the end, helper processes killed if a
// test stops early, threads, and knowing when a waiter is really asleep.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

#include "tesk_testing.h"

namespace named_test {

constexpr DWORD kMarker = 0xDEADBEEF;
// Long enough that a wrongly released waiter would have finished; where a timeout is the point.
constexpr DWORD kShortWait = 30;
// Where something must happen: a failure rather than a hung test if it never does.
constexpr DWORD kLongWait = 20000;

class Handles {
 public:
  Handles() = default;
  Handles(const Handles&) = delete;
  Handles& operator=(const Handles&) = delete;
  ~Handles() { CloseAll(); }
  HANDLE Add(HANDLE handle) {
    if (handle) handles_.push_back(handle);
    return handle;
  }
  void CloseAll() {
    for (HANDLE handle : handles_) CloseHandle(handle);
    handles_.clear();
  }

 private:
  std::vector<HANDLE> handles_;
};

// A helper process (named_helper) that is killed and collected if the test ends first.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args)
      : pid_(tesk::testing::StartChild("named_helper", args)) {
    EXPECT_GT(pid_, 0) << "cannot start named_helper";
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      tesk::testing::WaitChild(pid_);
    }
  }
  int pid() const { return pid_; }
  tesk::testing::ChildResult Wait() {
    const int pid = pid_;
    pid_ = -1;
    return tesk::testing::WaitChild(pid);
  }
  tesk::testing::ChildResult Kill() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    return Wait();
  }

 private:
  int pid_;
};

// Runs `body` on a new thread; the thread returns what `body` returns.
template <typename Body>
HANDLE StartThread(Body* body, DWORD* id = nullptr) {
  auto run = [](LPVOID p) -> DWORD { return (*static_cast<Body*>(p))(); };
  return CreateThread(nullptr, 0, run, body, 0, id);
}

// Waits until a thread sleeps in a futex (where a blocked wait sleeps), seen twice in a row
// so that a passing lock does not count; false if it never does.
inline bool WaitUntilBlocked(int pid, DWORD tid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/syscall";
  int seen = 0;
  for (int i = 0; i < 4000 && seen < 2; ++i) {
    std::ifstream in(path);
    std::string number;
    in >> number;
    seen = number == "202" || number == "449" ? seen + 1 : 0;  // futex, futex_waitv
    usleep(5000);
  }
  return seen >= 2;
}

// The files in the prefix's runtime folder; those of sections' data when `sections`.
inline std::vector<std::string> RuntimeFiles(bool sections = false) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(tesk::win32::RuntimePath(), error)) {
    std::string name = entry.path().filename().string();
    if (!sections || name.rfind("named.section.", 0) == 0) files.push_back(std::move(name));
  }
  return files;
}

}  // namespace named_test
