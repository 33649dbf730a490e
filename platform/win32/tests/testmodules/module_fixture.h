// A fixture for the tests that load the test modules: a fresh prefix and a fresh trace file
// for the test server's entry point.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <tesk_testing.h>

#include "testserver.h"

namespace tesk::testing {

class ModuleTest : public PrefixTest {
 protected:
  void SetUp() override {
    trace_ = prefix() + "/entry-trace.txt";
    setenv(TESK_TEST_TRACE_ENV, trace_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv(TESK_TEST_TRACE_ENV);
    unsetenv(TESK_TEST_REFUSE_ATTACH_ENV);
  }

  static std::string ServerPath() { return LibDir() + "/libwin32_testserver.so"; }
  static std::string NoFactoryPath() { return LibDir() + "/libwin32_testnofactory.so"; }

  // The entry point's lines so far.
  std::vector<std::string> Trace() const {
    std::vector<std::string> lines;
    std::ifstream in(trace_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  void ClearTrace() const { std::ofstream truncate(trace_, std::ios::trunc); }

 private:
  std::string trace_;
};

}  // namespace tesk::testing
