// The frame every tesk command plugs into. A command lives in a file of its own and
// registers itself with TESK_COMMAND; main() adds every registered command to the parser and
// runs the one the user chose.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

namespace tesk::tool {

// Exit statuses, as documented in "tesk --help".
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

class Command {
 public:
  virtual ~Command() = default;
  // Adds this command's subcommand, options and help to the program's parser.
  virtual void Define(CLI::App& program) = 0;
  // True when the parse selected this command.
  virtual bool Selected() const = 0;
  // Runs the selected command and returns the exit status.
  virtual int Run() = 0;
  // Whether the command works on the prefix (help does not).
  virtual bool UsesPrefix() const { return true; }
};

// A command that is one CLI11 subcommand; Selected() is whether it was parsed.
class SubcommandBase : public Command {
 public:
  bool Selected() const override { return app_ && app_->parsed(); }

 protected:
  // Creates the subcommand with its one-line description and an example for its help.
  CLI::App* AddSubcommand(CLI::App& program, const std::string& name, const std::string& description,
                          const std::string& examples);
  CLI::App* app_ = nullptr;
};

struct CommandEntry {
  std::string name;
  int order;  // place in the help's list of commands
  std::unique_ptr<Command> (*make)();
};

// Called once per command at start-up, through TESK_COMMAND.
bool RegisterCommand(const char* name, int order, std::unique_ptr<Command> (*make)());
// Every registered command, in help order.
std::vector<CommandEntry> RegisteredCommands();

// Thrown by a command for a mistake in how it was called: exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "tesk: ..." on standard error.
template <typename... Args>
void PrintError(fmt::format_string<Args...> format, Args&&... args) {
  fmt::print(stderr, "tesk: {}\n", fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace tesk::tool

#define TESK_COMMAND_JOIN2(a, b) a##b
#define TESK_COMMAND_JOIN(a, b) TESK_COMMAND_JOIN2(a, b)
// Registers Class (default-constructible, derived from Command) under name.
#define TESK_COMMAND(Class, name, order)                                                          \
  namespace {                                                                                     \
  [[maybe_unused]] const bool TESK_COMMAND_JOIN(tesk_command_registered_, __LINE__) =             \
      ::tesk::tool::RegisterCommand(name, order, []() -> std::unique_ptr<::tesk::tool::Command> { \
        return std::make_unique<Class>();                                                         \
      });                                                                                         \
  }
