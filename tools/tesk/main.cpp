// tesk: the command-line program for portable music players.

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <tesk/win32/prefix.h>

#include "command.h"

namespace {

constexpr const char* kFooter =
    "Run 'tesk help COMMAND' for what a command does, with an example.\n"
    "\n"
    "The prefix is the folder that holds the registry and the players' state: --prefix DIR,\n"
    "else $TESK_PREFIX, else ${XDG_DATA_HOME:-$HOME/.local/share}/tesk.\n"
    "\n"
    "Exit status: 0 when the command succeeded, 1 when it failed, 2 when it was called wrongly.";

int ReportParseError(const CLI::App& program, const CLI::ParseError& error) {
  // Help and version are "errors" to the parser and successes to the user.
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
    program.exit(error);
    return tesk::tool::kExitSuccess;
  }
  tesk::tool::PrintError("{}", error.what());
  std::fprintf(stderr, "Run 'tesk --help' or 'tesk help COMMAND' for more information.\n");
  return tesk::tool::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tesk::tool;

  CLI::App program(
      "tesk finds portable music players and works with their storage, the registry and "
      "component registration.",
      "tesk");
  program.set_version_flag("--version", "tesk " TESK_VERSION, "Print the version and exit");
  program.set_help_flag("-h,--help", "Print this help and exit");
  program.footer(kFooter);
  // Set before the commands are added: they take the program's formatter.
  program.get_formatter()->label("Subcommands", "Commands");
  program.get_formatter()->label("SUBCOMMAND", "COMMAND");
  // One command at a time: words after it are its own ("tesk help reg").
  program.require_subcommand(0, 1);
  // Global options may also follow the command.
  program.fallthrough();
  std::string prefix;
  program.add_option("--prefix", prefix, "Use the prefix in DIR")->type_name("DIR");

  std::vector<std::unique_ptr<Command>> commands;
  for (const auto& entry : RegisteredCommands()) {
    commands.push_back(entry.make());
    commands.back()->Define(program);
  }

  try {
    program.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return ReportParseError(program, error);
  }

  for (const auto& command : commands) {
    if (!command->Selected()) continue;
    try {
      if (command->UsesPrefix()) {
        if (!prefix.empty()) tesk::win32::SetPrefixPath(prefix);
        std::string why;
        if (!tesk::win32::EnsurePrefix(&why)) {
          PrintError("cannot use the prefix {}: {}", tesk::win32::PrefixPath(), why);
          return kExitFailure;
        }
      }
      return command->Run();
    } catch (const UsageError& error) {
      PrintError("{}", error.what());
      std::fprintf(stderr, "Run 'tesk help COMMAND' for how to call it.\n");
      return kExitUsage;
    } catch (const std::exception& error) {
      PrintError("{}", error.what());
      return kExitFailure;
    }
  }
  PrintError("no command given");
  std::fprintf(stderr, "Run 'tesk --help' for the list of commands.\n");
  return kExitUsage;
}
