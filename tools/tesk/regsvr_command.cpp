// tesk regsvr: asks in-process COM servers to write (or remove) their registry entries.

#include <filesystem>
#include <string>
#include <vector>

#include <tesk/win32/windows.h>

#include "command.h"
#include "result_text.h"

namespace tesk::tool {
namespace {

// The lib/ folder beside the program's bin/ folder, where our modules are built and installed.
std::filesystem::path ModuleFolder() {
  std::string program(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, program.data(), static_cast<DWORD>(program.size()));
    if (length == 0) return {};
    if (length < program.size()) {
      program.resize(length);
      break;
    }
    program.resize(program.size() * 2);
  }
  return std::filesystem::path(program).parent_path().parent_path() / "lib";
}

// A path is taken as it is. A bare name ("teskroot", "libteskroot.so") is looked for in our
// lib/ folder first, then wherever LoadLibraryA looks.
std::string ResolveModule(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const std::string file = name.find(".so") == std::string::npos ? "lib" + name + ".so" : name;
  const std::filesystem::path folder = ModuleFolder();
  std::error_code ignored;
  if (!folder.empty() && std::filesystem::exists(folder / file, ignored)) return (folder / file).string();
  return file;
}

std::string LoadedPath(HMODULE module, const std::string& fallback) {
  char path[4096];
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  return length > 0 && length < sizeof path ? std::string(path, length) : fallback;
}

class RegsvrCommand : public SubcommandBase {
 public:
  void Define(CLI::App& program) override {
    CLI::App* app =
        AddSubcommand(program, "regsvr", "Register COM server modules (or unregister them with -u)",
                      "  tesk regsvr teskroot teskcore\n"
                      "  tesk regsvr -u /opt/tesk/lib/libteskroot.so\n"
                      "\n"
                      "A bare name is looked for in the lib folder beside tesk's bin folder first;\n"
                      "\"lib\" and \".so\" are added when it has no \".so\". Every module is tried even\n"
                      "when one fails; the exit status is 1 if any failed.");
    app->add_flag("-u,--unregister", unregister_, "Remove the modules' registry entries instead");
    app->add_option("MODULE", modules_, "A module's name or path")->type_name("")->required();
  }

  int Run() override {
    const HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) {
      PrintError("cannot start COM: {}", ResultText(init));
      return kExitFailure;
    }
    bool all_done = true;
    for (const auto& module : modules_) all_done = Process(module) && all_done;
    CoUninitialize();
    return all_done ? kExitSuccess : kExitFailure;
  }

 private:
  bool Process(const std::string& name) const {
    const char* entry = unregister_ ? "DllUnregisterServer" : "DllRegisterServer";
    const HMODULE module = LoadLibraryA(ResolveModule(name).c_str());
    if (!module) {
      PrintError("cannot load {}: {}", name, Win32ErrorText(static_cast<LONG>(GetLastError())));
      return false;
    }
    const auto server_entry = tesk::win32::GetProcAddressAs<LPFNREGISTERSERVER>(module, entry);
    if (!server_entry) {
      const DWORD error = GetLastError();
      PrintError("{} has no {} entry point: {}", name, entry,
                 Win32ErrorText(static_cast<LONG>(error != ERROR_SUCCESS ? error : ERROR_PROC_NOT_FOUND)));
      FreeLibrary(module);
      return false;
    }
    const HRESULT result = server_entry();
    const std::string path = LoadedPath(module, name);
    FreeLibrary(module);
    if (FAILED(result)) {
      PrintError("{} {} failed: {}", unregister_ ? "unregistering" : "registering", name, ResultText(result));
      return false;
    }
    fmt::print("{} {}\n", unregister_ ? "unregistered" : "registered", path);
    return true;
  }

  bool unregister_ = false;
  std::vector<std::string> modules_;
};

}  // namespace
}  // namespace tesk::tool

TESK_COMMAND(tesk::tool::RegsvrCommand, "regsvr", 90)
