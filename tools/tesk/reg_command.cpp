// tesk reg: query, change, export and import the registry of the prefix.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

#include <tesk/win32/windows.h>

#include "command.h"
#include "console_text.h"
#include "key_path.h"
#include "reg_file.h"
#include "registry_access.h"
#include "result_text.h"
#include "value_text.h"

namespace tesk::tool {
namespace {

// Registry calls answer ERROR_FILE_NOT_FOUND for a missing key or value alike.
std::string KeyErrorText(LONG rc) {
  if (rc == ERROR_FILE_NOT_FOUND) return fmt::format("the key does not exist (error {})", rc);
  return Win32ErrorText(rc);
}

std::string ValueErrorText(LONG rc) {
  if (rc == ERROR_FILE_NOT_FOUND) return fmt::format("the value does not exist (error {})", rc);
  return Win32ErrorText(rc);
}

// A key or value name for the terminal.
std::string Shown(std::string_view ansi) {
  return AnsiToUtf8Text(ansi);
}

std::string ShownValueName(std::string_view ansi) {
  return ansi.empty() ? "(Default)" : "\"" + Shown(ansi) + "\"";
}

std::string ToAnsi(std::string_view utf8, std::string_view what) {
  auto ansi = Utf8ToAnsiText(utf8);
  if (!ansi)
    throw UsageError(fmt::format("the {} \"{}\" is not text the ANSI code page can hold", what, utf8));
  return *ansi;
}

KeyPath KeyArgument(const std::string& text) {
  const auto path = ParseKeyPath(ToAnsi(text, "key"));
  if (!path)
    throw UsageError(fmt::format(
        "\"{}\" is not a key path: it starts with HKLM, HKCU, HKCR or HKU (or the long names, as in "
        "HKEY_LOCAL_MACHINE), then subkeys separated by backslashes",
        text));
  return *path;
}

// Asks on standard input; anything but yes (or no answer at all) is no.
bool Confirm(const std::string& question) {
  fmt::print(stderr, "{} (y/N) ", question);
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    fmt::print(stderr, "\n");
    return false;
  }
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

bool WriteWhole(std::FILE* file, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

constexpr char kKeyNote[] =
    "Keys start with HKLM, HKCU, HKCR or HKU (or HKEY_LOCAL_MACHINE ...), then subkeys separated\n"
    "by backslashes; quote them, or the shell eats the backslashes.";

class RegCommand : public SubcommandBase {
 public:
  void Define(CLI::App& program) override {
    CLI::App* reg = AddSubcommand(program, "reg", "Query, change, export and import the registry",
                                  "  tesk reg add 'HKLM\\Software\\Tesk' -v Level -t REG_DWORD -d 3\n"
                                  "  tesk reg query 'HKLM\\Software\\Tesk' -s\n"
                                  "\n" +
                                      std::string(kKeyNote));
    reg->require_subcommand(1);

    query_ = AddCommand(reg, "query", "List a key's values and subkeys");
    AddKey(query_, "The key");
    query_->add_option("-v,--value", value_name_, "Show only this value (in every key with -s)")
        ->type_name("NAME");
    query_->add_flag("--ve", default_value_, "Show only the default value");
    query_->add_flag("-s,--recursive", recursive_, "Also show every key below it, with its values");
    query_->footer(
        "Example:\n"
        "  tesk reg query 'HKCR\\CLSID' -s\n"
        "  tesk reg query 'HKLM\\Software\\Tesk' -v Level\n"
        "\n"
        "Each key is shown by its path, then one indented line per value: name, type and data.\n\n" +
        std::string(kKeyNote));

    add_ = AddCommand(reg, "add", "Create a key, or set one of its values");
    AddKey(add_, "The key; missing parents are created too");
    add_->add_option("-v,--value", value_name_, "The value to set (else the default value)")
        ->type_name("NAME");
    add_->add_flag("--ve", default_value_, "Set the default value");
    add_->add_option("-t,--type", type_name_, "The value's type; REG_SZ when not given")->type_name("TYPE");
    add_->add_option("-d,--data", data_, "The value's data")->type_name("DATA");
    add_->add_flag("-f,--force", force_, "Replace an existing value without asking");
    add_->footer(
        "Example:\n"
        "  tesk reg add 'HKLM\\Software\\Tesk\\Players' -v Paths -t REG_MULTI_SZ -d 'E:\\0F:'\n"
        "\n"
        "Without -v, --ve, -t or -d only the key is created. Types and their data:\n"
        "  REG_SZ, REG_EXPAND_SZ   text\n"
        "  REG_MULTI_SZ            items separated by the two characters \\0\n"
        "  REG_DWORD, REG_QWORD    a number, decimal or 0x hex (REG_DWORD_BIG_ENDIAN too)\n"
        "  REG_BINARY, REG_NONE    hex digits, two for each byte\n\n" +
        std::string(kKeyNote));

    delete_ = AddCommand(reg, "delete", "Delete a value, or a key with everything under it");
    AddKey(delete_, "The key");
    delete_->add_option("-v,--value", value_name_, "Delete only this value")->type_name("NAME");
    delete_->add_flag("--ve", default_value_, "Delete only the default value");
    delete_->add_flag("-f,--force", force_, "Do not ask for confirmation");
    delete_->footer(
        "Example:\n"
        "  tesk reg delete 'HKLM\\Software\\Tesk\\Old' -f\n"
        "  tesk reg delete 'HKLM\\Software\\Tesk' -v Level\n"
        "\n" +
        std::string(kKeyNote));

    export_ = AddCommand(reg, "export", "Write a key and everything under it to a REGEDIT4 file");
    AddKey(export_, "The key");
    export_->add_option("FILE", file_, "The file to write (replaced if it exists); - for standard output")
        ->type_name("")
        ->required();
    export_->footer(
        "Example:\n"
        "  tesk reg export 'HKLM\\Software\\Tesk' tesk.reg\n"
        "\n"
        "Text is kept in the ANSI code page and lines end in CR LF, as regedit writes them.\n\n" +
        std::string(kKeyNote));

    import_ = AddCommand(reg, "import", "Apply a REGEDIT4 file to the registry");
    import_->add_option("FILE", file_, "The file to read; - for standard input")->type_name("")->required();
    import_->footer(
        "Example:\n"
        "  tesk reg import tesk.reg\n"
        "\n"
        "The whole file is checked before anything changes. [-KEY] deletes a key with everything\n"
        "under it, \"name\"=- deletes a value, lines starting with ; are comments.");
  }

  int Run() override {
    if (query_->parsed()) return Query();
    if (add_->parsed()) return Add();
    if (delete_->parsed()) return Delete();
    if (export_->parsed()) return Export();
    return Import();
  }

 private:
  static CLI::App* AddCommand(CLI::App* reg, const std::string& name, const std::string& description) {
    return reg->add_subcommand(name, description)->group("Commands");
  }

  void AddKey(CLI::App* command, const std::string& help) {
    command->add_option("KEY", key_, help)->type_name("")->required();
  }

  // The value the options name, if any.
  std::optional<std::string> ValueOption(const CLI::App* command) const {
    const bool named = command->count("--value") > 0;
    if (default_value_ && named) throw UsageError("-v and --ve cannot be used together");
    if (default_value_) return std::string();
    if (named) return ToAnsi(value_name_, "value name");
    return std::nullopt;
  }

  int OpenFailed(const KeyPath& path, LONG rc) const {
    PrintError("cannot open {}: {}", Shown(FullKeyName(path)), KeyErrorText(rc));
    return kExitFailure;
  }

  static void PrintValue(const RegFileValue& value) {
    fmt::print("    {}    {}    {}\n", value.name.empty() ? std::string("(Default)") : Shown(value.name),
               TypeName(value.type), Shown(FormatValueData(value.type, value.data)));
  }

  int Query() {
    const std::optional<std::string> only = ValueOption(query_);
    const KeyPath path = KeyArgument(key_);
    RegKey key;
    if (const LONG rc = key.Open(path, KEY_READ); rc != ERROR_SUCCESS) return OpenFailed(path, rc);
    const KeyPath stored = StoredKeyPath(path);

    if (recursive_) {
      std::vector<RegFileKey> tree;
      std::string failed;
      if (const LONG rc = ReadKeyTree(stored, &tree, &failed); rc != ERROR_SUCCESS) {
        PrintError("cannot read {}: {}", Shown(failed), KeyErrorText(rc));
        return kExitFailure;
      }
      bool found = false;
      for (const auto& entry : tree) {
        std::vector<const RegFileValue*> shown;
        for (const auto& value : entry.values)
          if (!only || SameKeyName(value.name, *only)) shown.push_back(&value);
        if (only && shown.empty()) continue;
        found = true;
        fmt::print("{}\n", Shown(entry.path));
        for (const auto* value : shown) PrintValue(*value);
        fmt::print("\n");
      }
      if (only && !found) {
        PrintError("no key in {} has the value {}", Shown(FullKeyName(stored)), ShownValueName(*only));
        return kExitFailure;
      }
      return kExitSuccess;
    }

    if (only) {
      RegFileValue value;
      if (const LONG rc = key.Value(*only, &value); rc != ERROR_SUCCESS) {
        PrintError("cannot read the value {} of {}: {}", ShownValueName(*only), Shown(FullKeyName(stored)),
                   ValueErrorText(rc));
        return kExitFailure;
      }
      // Show the name as stored, not as typed.
      std::vector<RegFileValue> all;
      if (key.Values(&all) == ERROR_SUCCESS) {
        for (const auto& candidate : all)
          if (SameKeyName(candidate.name, *only)) value.name = candidate.name;
      }
      fmt::print("{}\n", Shown(FullKeyName(stored)));
      PrintValue(value);
      return kExitSuccess;
    }

    std::vector<RegFileValue> values;
    std::vector<std::string> subkeys;
    LONG rc = key.Values(&values);
    if (rc == ERROR_SUCCESS) rc = key.SubkeyNames(&subkeys);
    if (rc != ERROR_SUCCESS) {
      PrintError("cannot read {}: {}", Shown(FullKeyName(stored)), KeyErrorText(rc));
      return kExitFailure;
    }
    fmt::print("{}\n", Shown(FullKeyName(stored)));
    for (const auto& value : values) PrintValue(value);
    if (!subkeys.empty()) fmt::print("\n");
    for (const auto& name : subkeys) fmt::print("{}\n", Shown(FullKeyName(ChildPath(stored, name))));
    return kExitSuccess;
  }

  int Add() {
    std::optional<std::string> name = ValueOption(add_);
    const bool sets_value = name || !type_name_.empty() || add_->count("--data") > 0;
    if (!name) name = std::string();
    DWORD type = REG_SZ;
    if (!type_name_.empty()) {
      const auto parsed = ParseTypeName(type_name_);
      if (!parsed) throw UsageError(fmt::format("unknown value type \"{}\"", type_name_));
      type = *parsed;
    }
    std::vector<BYTE> bytes;
    if (sets_value) {
      const bool is_text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
      const std::string text = is_text ? ToAnsi(data_, "data") : data_;
      std::string error;
      if (!ParseValueData(type, text, &bytes, &error)) throw UsageError(error);
    }
    const KeyPath path = KeyArgument(key_);

    RegKey key;
    if (const LONG rc = key.Create(path); rc != ERROR_SUCCESS) {
      PrintError("cannot create {}: {}", Shown(FullKeyName(path)), Win32ErrorText(rc));
      return kExitFailure;
    }
    if (!sets_value) return kExitSuccess;

    RegFileValue existing;
    if (!force_ && key.Value(*name, &existing) == ERROR_SUCCESS &&
        !Confirm(fmt::format("{} already has the value {}. Replace it?", Shown(FullKeyName(path)),
                             ShownValueName(*name)))) {
      PrintError("the value {} was left as it was", ShownValueName(*name));
      return kExitFailure;
    }
    const LONG rc =
        RegSetValueExA(key.get(), name->c_str(), 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    if (rc != ERROR_SUCCESS) {
      PrintError("cannot set the value {} of {}: {}", ShownValueName(*name), Shown(FullKeyName(path)),
                 Win32ErrorText(rc));
      return kExitFailure;
    }
    return kExitSuccess;
  }

  int Delete() {
    const std::optional<std::string> name = ValueOption(delete_);
    const KeyPath path = KeyArgument(key_);
    if (!name && path.subkey.empty()) throw UsageError("a root key cannot be deleted");

    RegKey key;
    if (const LONG rc = key.Open(path, KEY_READ | KEY_SET_VALUE); rc != ERROR_SUCCESS)
      return OpenFailed(path, rc);
    const std::string shown_key = Shown(FullKeyName(StoredKeyPath(path)));

    if (name) {
      RegFileValue existing;
      if (const LONG rc = key.Value(*name, &existing); rc != ERROR_SUCCESS) {
        PrintError("cannot delete the value {} of {}: {}", ShownValueName(*name), shown_key,
                   ValueErrorText(rc));
        return kExitFailure;
      }
      if (!force_ && !Confirm(fmt::format("Delete the value {} of {}?", ShownValueName(*name), shown_key))) {
        PrintError("nothing was deleted");
        return kExitFailure;
      }
      if (const LONG rc = RegDeleteValueA(key.get(), name->c_str()); rc != ERROR_SUCCESS) {
        PrintError("cannot delete the value {} of {}: {}", ShownValueName(*name), shown_key,
                   ValueErrorText(rc));
        return kExitFailure;
      }
      return kExitSuccess;
    }

    key = RegKey();
    if (!force_ && !Confirm(fmt::format("Delete {} and everything under it?", shown_key))) {
      PrintError("nothing was deleted");
      return kExitFailure;
    }
    if (const LONG rc = DeleteKeyTree(path); rc != ERROR_SUCCESS) {
      PrintError("cannot delete {}: {}", shown_key, KeyErrorText(rc));
      return kExitFailure;
    }
    return kExitSuccess;
  }

  int Export() {
    const KeyPath path = KeyArgument(key_);
    {
      RegKey key;
      if (const LONG rc = key.Open(path, KEY_READ); rc != ERROR_SUCCESS) return OpenFailed(path, rc);
    }
    std::vector<RegFileKey> tree;
    std::string failed;
    if (const LONG rc = ReadKeyTree(StoredKeyPath(path), &tree, &failed); rc != ERROR_SUCCESS) {
      PrintError("cannot read {}: {}", Shown(failed), KeyErrorText(rc));
      return kExitFailure;
    }
    const std::string text = WriteRegFile(tree);

    if (file_ == "-") {
      if (!WriteWhole(stdout, text) || std::fflush(stdout) != 0) {
        PrintError("cannot write to standard output: {}", std::strerror(errno));
        return kExitFailure;
      }
      return kExitSuccess;
    }
    std::FILE* file = std::fopen(file_.c_str(), "wb");
    if (!file) {
      PrintError("cannot write {}: {}", file_, std::strerror(errno));
      return kExitFailure;
    }
    const bool written = WriteWhole(file, text);
    const int saved_errno = errno;
    if (std::fclose(file) != 0 || !written) {
      PrintError("cannot write {}: {}", file_, std::strerror(written ? errno : saved_errno));
      return kExitFailure;
    }
    return kExitSuccess;
  }

  bool ReadInput(std::string* text) const {
    if (file_ == "-") {
      std::ostringstream buffer;
      buffer << std::cin.rdbuf();
      *text = buffer.str();
      if (std::cin.bad()) {
        PrintError("cannot read standard input");
        return false;
      }
      return true;
    }
    std::FILE* file = std::fopen(file_.c_str(), "rb");
    if (!file) {
      PrintError("cannot read {}: {}", file_, std::strerror(errno));
      return false;
    }
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text->append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    const int saved_errno = errno;
    std::fclose(file);
    if (failed) PrintError("cannot read {}: {}", file_, std::strerror(saved_errno));
    return !failed;
  }

  int Import() {
    std::string text;
    if (!ReadInput(&text)) return kExitFailure;
    const std::string source = file_ == "-" ? std::string("standard input") : file_;
    std::vector<RegFileKey> keys;
    RegFileError error;
    if (!ReadRegFile(text, &keys, &error)) {
      PrintError("{}: line {}: {}; nothing was imported", source, error.line, error.message);
      return kExitFailure;
    }

    // The file is sound; a failure from here on is the registry's, reported where it stopped.
    auto stopped = [&](int line, const std::string& what, const std::string& why) {
      PrintError("{}: line {}: cannot {}: {}; the lines before it were imported", source, line, what, why);
      return kExitFailure;
    };
    for (const auto& entry : keys) {
      const KeyPath path = *ParseKeyPath(entry.path);
      if (entry.remove) {
        const LONG rc = DeleteKeyTree(path);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
          return stopped(entry.line, "delete " + Shown(entry.path), Win32ErrorText(rc));
        continue;
      }
      RegKey key;
      if (const LONG rc = key.Create(path); rc != ERROR_SUCCESS)
        return stopped(entry.line, "create " + Shown(entry.path), Win32ErrorText(rc));
      for (const auto& value : entry.values) {
        if (value.remove) {
          const LONG rc = RegDeleteValueA(key.get(), value.name.c_str());
          if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return stopped(value.line, "delete the value " + ShownValueName(value.name), Win32ErrorText(rc));
          continue;
        }
        const LONG rc = RegSetValueExA(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                                       static_cast<DWORD>(value.data.size()));
        if (rc != ERROR_SUCCESS)
          return stopped(value.line, "set the value " + ShownValueName(value.name), Win32ErrorText(rc));
      }
    }
    return kExitSuccess;
  }

  CLI::App* query_ = nullptr;
  CLI::App* add_ = nullptr;
  CLI::App* delete_ = nullptr;
  CLI::App* export_ = nullptr;
  CLI::App* import_ = nullptr;

  std::string key_;
  std::string value_name_;
  bool default_value_ = false;
  bool recursive_ = false;
  std::string type_name_;
  std::string data_;
  bool force_ = false;
  std::string file_;
};

}  // namespace
}  // namespace tesk::tool

TESK_COMMAND(tesk::tool::RegCommand, "reg", 80)
