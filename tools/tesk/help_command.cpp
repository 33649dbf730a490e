// tesk help [COMMAND...]: the help of the program or of one of its commands.

#include <string>
#include <vector>

#include "command.h"

namespace tesk::tool {
namespace {

class HelpCommand : public SubcommandBase {
 public:
  void Define(CLI::App& program) override {
    program_ = &program;
    CLI::App* app = AddSubcommand(program, "help", "Explain a command, with an example",
                                  "  tesk help reg\n"
                                  "  tesk help reg export");
    app->add_option("COMMAND", words_, "The command, and its subcommand if it has them")->type_name("");
  }

  bool UsesPrefix() const override { return false; }

  int Run() override {
    const CLI::App* app = program_;
    std::string name = program_->get_name();
    for (const auto& word : words_) {
      const auto found = app->get_subcommands([&](const CLI::App* sub) { return sub->check_name(word); });
      if (found.empty())
        throw UsageError(
            fmt::format("\"{}\" has no command \"{}\"; run 'tesk --help' for the list", name, word));
      app = found.front();
      name += " " + app->get_name();
    }
    // Straight to the formatter: App::help() would describe the help command itself, which is
    // the command the parser selected.
    fmt::print("{}", app->get_formatter()->make_help(app, name, CLI::AppFormatMode::Normal));
    return kExitSuccess;
  }

 private:
  const CLI::App* program_ = nullptr;
  std::vector<std::string> words_;
};

}  // namespace
}  // namespace tesk::tool

TESK_COMMAND(tesk::tool::HelpCommand, "help", 1000)
