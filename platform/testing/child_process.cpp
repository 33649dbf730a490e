#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "tesk_testing.h"

extern char** environ;

namespace tesk::testing {
namespace {

std::string SelfDir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

// Output of running children goes to a file per child, read back when it is collected.
std::mutex g_outputs_mutex;
std::map<int, std::string> g_outputs;

}  // namespace

std::string BinDir() {
  return SelfDir();
}
std::string LibDir() {
  return (std::filesystem::path(SelfDir()).parent_path() / "lib").string();
}

int StartChild(const std::string& program, const std::vector<std::string>& args) {
  const std::string path = program.find('/') == std::string::npos ? BinDir() + "/" + program : program;
  char out_template[] = "/tmp/tesk-child-XXXXXX";
  const int out_fd = mkstemp(out_template);
  if (out_fd < 0) return -1;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
  posix_spawn_file_actions_addclose(&actions, out_fd);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_fd);
  if (rc != 0) {
    unlink(out_template);
    return -1;
  }
  std::lock_guard lock(g_outputs_mutex);
  g_outputs[pid] = out_template;
  return pid;
}

ChildResult WaitChild(int pid) {
  ChildResult result;
  if (pid <= 0) {
    result.output = "could not start the child";
    return result;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  std::string file;
  {
    std::lock_guard lock(g_outputs_mutex);
    file = g_outputs[pid];
    g_outputs.erase(pid);
  }
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  result.output = text.str();
  unlink(file.c_str());
  return result;
}

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args) {
  return WaitChild(StartChild(program, args));
}

}  // namespace tesk::testing
