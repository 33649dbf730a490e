// tesk sim: attach, detach and list simulated Gannet players.

#include <string>
#include <vector>

#include <tesk/sim.h>

#include "command.h"

namespace tesk::tool {
namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string Drive(char letter) {
  return letter ? std::string(1, letter) + ":" : "-";
}

// "F", "f" or "F:".
char ParseLetter(const std::string& text) {
  const bool letter =
      !text.empty() && ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
  if (letter && (text.size() == 1 || (text.size() == 2 && text[1] == ':'))) return text[0];
  throw UsageError(
      fmt::format("\"{}\" is not a drive letter: give one letter from E to Z, such as F or F:", text));
}

class SimCommand : public SubcommandBase {
 public:
  void Define(CLI::App& program) override {
    CLI::App* sim =
        AddSubcommand(program, "sim", "Attach, detach and list simulated Gannet players",
                      "  tesk sim attach gannet1\n"
                      "  tesk sim attach gannet2 --dir ~/music --serial 0123456789ABCDEF --letter G\n"
                      "  tesk sim list\n"
                      "  tesk sim detach gannet1\n"
                      "\n"
                      "A simulated player is a Holvenn Q41 (\"Gannet\") on a virtual USB port: its USB\n"
                      "device, disk and volume appear in the prefix's device tree, and its folder is its\n"
                      "volume, under a drive letter. Every program using the prefix sees it until it is\n"
                      "detached.");
    sim->require_subcommand(1);

    attach_ = AddCommand(sim, "attach", "Attach a player");
    attach_->add_option("NAME", name_, "The player's name: letters, digits, '-', '_' or '.'")
        ->type_name("")
        ->required();
    attach_->add_option("--dir", folder_, "The folder that is the player's volume; it must exist")
        ->type_name("DIR");
    attach_->add_option("--serial", serial_, "The serial number the player reports")->type_name("TEXT");
    attach_->add_option("--letter", letter_, "The drive letter, from E to Z")->type_name("L");
    attach_->footer(
        "Example:\n"
        "  tesk sim attach gannet1\n"
        "  tesk sim attach gannet2 --dir ~/music --letter G\n"
        "\n"
        "Without --dir the volume is the folder players/NAME in the prefix, made when missing.\n"
        "Without --serial the player makes up sixteen hexadecimal digits, as a real one\n"
        "reports. Without --letter it takes the first free letter from E. The folder stays\n"
        "when the player is detached.");

    detach_ = AddCommand(sim, "detach", "Detach a player; its folder stays");
    detach_->add_option("NAME", name_, "The player's name")->type_name("")->required();
    detach_->footer(
        "Example:\n"
        "  tesk sim detach gannet1");

    faults_ = AddCommand(sim, "faults", "Show or change the faults a player injects");
    faults_->add_option("NAME", name_, "The player's name")->type_name("")->required();
    faults_->add_option("--fail", given_.fail_next, "Fail this many of the next requests")->type_name("N");
    faults_->add_option("--fail-error", given_.fail_error, "The error those requests fail with (default 31)")
        ->type_name("CODE");
    faults_->add_option("--short", given_.short_next, "Answer this many of the next requests short")
        ->type_name("N");
    faults_->add_option("--short-length", given_.short_length, "The most bytes a short answer moves")
        ->type_name("BYTES");
    faults_->add_option("--delay", given_.delay_ms, "Hold every request back this long")->type_name("MS");
    faults_->add_flag("--clear", clear_, "Start from no faults, then apply the other options");
    faults_->footer(
        "Example:\n"
        "  tesk sim faults gannet1 --fail 2 --fail-error 121\n"
        "  tesk sim faults gannet1 --short 1 --short-length 4\n"
        "  tesk sim faults gannet1 --clear\n"
        "\n"
        "Requests are the descriptor reads and control transfers of every program that opens\n"
        "the player. The failures come first; each fault injected uses up one of its count.\n"
        "Options not given keep their value. Without options the faults are only shown.");

    list_ = AddCommand(sim, "list", "List the attached players");
    list_->add_flag("--json", json_, "Write a JSON array instead of a table");
    list_->footer(
        "Example:\n"
        "  tesk sim list\n"
        "  tesk sim list --json\n"
        "\n"
        "One line per player: its name, serial number, drive letter and folder.");
  }

  int Run() override {
    if (attach_->parsed()) return Attach();
    if (detach_->parsed()) return Detach();
    if (faults_->parsed()) return Faults();
    return List();
  }

 private:
  static CLI::App* AddCommand(CLI::App* sim, const std::string& name, const std::string& description) {
    return sim->add_subcommand(name, description)->group("Commands");
  }

  // Mistakes in the arguments are usage errors; the rest is a failure of the command.
  static int Report(const char* what, const std::string& name, const sim::Status& status) {
    switch (status.error) {
      case sim::Error::kBadName:
      case sim::Error::kBadSerialNumber:
      case sim::Error::kBadLetter:
        throw UsageError(status.message);
      default:
        PrintError("cannot {} {}: {} (error {})", what, name, status.message, status.code);
        return kExitFailure;
    }
  }

  int Attach() const {
    sim::AttachOptions options;
    options.folder = folder_;
    options.serial_number = serial_;
    if (!letter_.empty()) options.letter = ParseLetter(letter_);
    if (attach_->count("--serial") && serial_.empty()) throw UsageError("the serial number cannot be empty");
    if (attach_->count("--dir") && folder_.empty()) throw UsageError("the folder cannot be empty");
    sim::PlayerInfo player;
    const sim::Status status = sim::Attach(name_, options, &player);
    if (!status) return Report("attach", name_, status);
    fmt::print("attached {} as {} (serial {}, folder {})\n", player.name, Drive(player.letter),
               player.serial_number, player.folder);
    return kExitSuccess;
  }

  int Detach() const {
    const sim::Status status = sim::Detach(name_);
    if (!status) return Report("detach", name_, status);
    fmt::print("detached {}\n", name_);
    return kExitSuccess;
  }

  int Faults() const {
    sim::FaultSettings faults;
    sim::Status status = sim::GetFaults(name_, &faults);
    if (!status) return Report("change the faults of", name_, status);
    if (clear_) faults = sim::FaultSettings{};
    const std::pair<const char*, DWORD sim::FaultSettings::*> options[] = {
        {"--fail", &sim::FaultSettings::fail_next},   {"--fail-error", &sim::FaultSettings::fail_error},
        {"--short", &sim::FaultSettings::short_next}, {"--short-length", &sim::FaultSettings::short_length},
        {"--delay", &sim::FaultSettings::delay_ms},
    };
    bool changed = clear_;
    for (const auto& [option, field] : options) {
      if (faults_->count(option) == 0) continue;
      faults.*field = given_.*field;
      changed = true;
    }
    if (changed) {
      status = sim::SetFaults(name_, faults);
      if (!status) return Report("change the faults of", name_, status);
    }
    fmt::print(
        "faults of {}:\n"
        "  fail   the next {} requests, with error {}\n"
        "  short  the next {} answers, at most {} bytes each\n"
        "  delay  {} ms for every request\n",
        name_, faults.fail_next, faults.fail_error, faults.short_next, faults.short_length, faults.delay_ms);
    return kExitSuccess;
  }

  int List() const {
    const std::vector<sim::PlayerInfo> players = sim::List();
    if (json_) {
      fmt::print("[");
      const char* separator = "";
      for (const auto& p : players) {
        fmt::print(
            "{}\n  {{\"name\": {}, \"serial\": {}, \"letter\": {}, \"folder\": {}, \"device_path\": {}, "
            "\"instance_id\": {}}}",
            separator, JsonString(p.name), JsonString(p.serial_number),
            p.letter ? JsonString(Drive(p.letter)) : "null", JsonString(p.folder), JsonString(p.device_path),
            JsonString(p.instance_id));
        separator = ",";
      }
      fmt::print("{}]\n", players.empty() ? "" : "\n");
      return kExitSuccess;
    }
    if (players.empty()) {
      fmt::print("no players attached\n");
      return kExitSuccess;
    }
    size_t name_width = 4;
    size_t serial_width = 6;
    for (const auto& p : players) {
      name_width = std::max(name_width, p.name.size());
      serial_width = std::max(serial_width, p.serial_number.size());
    }
    fmt::print("{:<{}}  {:<{}}  DRIVE  FOLDER\n", "NAME", name_width, "SERIAL", serial_width);
    for (const auto& p : players) {
      fmt::print("{:<{}}  {:<{}}  {:<5}  {}\n", p.name, name_width, p.serial_number, serial_width,
                 Drive(p.letter), p.folder);
    }
    return kExitSuccess;
  }

  CLI::App* attach_ = nullptr;
  CLI::App* detach_ = nullptr;
  CLI::App* faults_ = nullptr;
  CLI::App* list_ = nullptr;
  std::string name_;
  std::string folder_;
  std::string serial_;
  std::string letter_;
  bool json_ = false;
  sim::FaultSettings given_;
  bool clear_ = false;
};

}  // namespace
}  // namespace tesk::tool

TESK_COMMAND(tesk::tool::SimCommand, "sim", 85)
