#include "command.h"

#include <algorithm>

namespace tesk::tool {
namespace {

// Filled by static initialisers in every command's file, so it must exist before any of them.
std::vector<CommandEntry>& Registry() {
  static std::vector<CommandEntry> registry;
  return registry;
}

}  // namespace

CLI::App* SubcommandBase::AddSubcommand(CLI::App& program, const std::string& name,
                                        const std::string& description, const std::string& examples) {
  app_ = program.add_subcommand(name, description)->group("Commands");
  if (!examples.empty()) app_->footer("Example:\n" + examples);
  return app_;
}

bool RegisterCommand(const char* name, int order, std::unique_ptr<Command> (*make)()) {
  Registry().push_back({name, order, make});
  return true;
}

std::vector<CommandEntry> RegisteredCommands() {
  std::vector<CommandEntry> commands = Registry();
  std::stable_sort(commands.begin(), commands.end(),
                   [](const CommandEntry& a, const CommandEntry& b) { return a.order < b.order; });
  return commands;
}

}  // namespace tesk::tool
