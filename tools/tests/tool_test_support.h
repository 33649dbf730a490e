// Runs the built tesk program against the test's own prefix.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <tesk_testing.h>

namespace tesk::tool::testing {

class TeskProgramTest : public tesk::testing::PrefixTest {
 protected:
  // tesk --prefix PREFIX args...
  tesk::testing::ChildResult Tesk(std::vector<std::string> args, const std::string& prefix_dir = {}) const {
    args.insert(args.begin(), {"--prefix", prefix_dir.empty() ? prefix() : prefix_dir});
    return tesk::testing::RunChild("tesk", args);
  }

  // The same, with standard input read from a file.
  tesk::testing::ChildResult TeskWithInput(const std::string& input_file, std::vector<std::string> args,
                                           const std::string& prefix_dir = {}) const {
    std::vector<std::string> shell = {"-c",       "exec \"$@\" < \"$0\"",
                                      input_file, tesk::testing::BinDir() + "/tesk",
                                      "--prefix", prefix_dir.empty() ? prefix() : prefix_dir};
    shell.insert(shell.end(), args.begin(), args.end());
    return tesk::testing::RunChild("/bin/sh", shell);
  }

  std::string Path(const std::string& name) const { return prefix() + "/" + name; }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
};

}  // namespace tesk::tool::testing
