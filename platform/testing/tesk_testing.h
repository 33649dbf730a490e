// Test support: each test runs in a prefix of its own, and multi-process tests start real
// programs from the build tree.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tesk::testing {

// A new empty prefix in a temporary folder; this process and the children it starts use it
// until the object goes away, then it is removed.
class TempPrefix {
 public:
  TempPrefix();
  ~TempPrefix();
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
  bool had_previous_ = false;
};

// A fixture that gives every test its own prefix.
class PrefixTest : public ::testing::Test {
 protected:
  const std::string& prefix() const { return prefix_.path(); }

 private:
  TempPrefix prefix_;
};

// The build tree's bin/ and lib/ folders (the test program sits in bin/).
std::string BinDir();
std::string LibDir();

struct ChildResult {
  int exit_code = -1;  // -1 when it did not exit normally
  int signal = 0;      // the signal that ended it, if any
  std::string output;  // standard output and error together
};

// Runs a program (a bare name is looked for in BinDir()) to its end.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args);

// Starts a program and returns its process id without waiting; WaitChild collects it.
int StartChild(const std::string& program, const std::vector<std::string>& args);
ChildResult WaitChild(int pid);

}  // namespace tesk::testing
