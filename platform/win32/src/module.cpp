// Modules: shared objects loaded with dlopen, seen through the Windows loader's calls.
//
// An HMODULE is the module's link_map. glibc hands out that same pointer as the dlopen
// handle, and dladdr1(RTLD_DL_LINKMAP) finds it from any address inside the module, so the
// handle LoadLibraryA returns, the hinstDLL an entry point receives and GetModuleHandleA's
// answer agree without a table of our own. dlopen and dlclose keep the reference counts.
//
// Entry points run from the module's static constructor and destructor (TESK_DLL_ENTRY),
// that is inside dlopen, dlclose or exit. Loads and unloads made by this file count on the
// calling thread; a detach that happens outside one of them is the process exiting.

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <tesk/win32/winbase.h>

#include "internal.h"

namespace {

// Serialises every load and unload made through this file. Recursive: an entry point may
// load or free another module. Never destroyed, so that detaches at exit can still use it.
std::recursive_mutex& LoaderMutex() {
  static auto* mutex = new std::recursive_mutex;
  return *mutex;
}

// Modules whose entry point refused the attach and that are still mapped. A leaf lock:
// nothing is called while it is held.
std::mutex& RefusedMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::set<HMODULE>& Refused() {
  static auto* refused = new std::set<HMODULE>;
  return *refused;
}

// What the calling thread's loader calls are doing right now.
thread_local int t_loading = 0;
thread_local int t_unloading = 0;
thread_local bool t_attach_refused = false;

// lpvReserved for loads at program start and unloads at exit.
LPVOID const kProcessLifetime = reinterpret_cast<LPVOID>(1);

HMODULE ModuleContaining(const void* address) {
  Dl_info info;
  link_map* map = nullptr;
  if (!dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP)) return nullptr;
  return reinterpret_cast<HMODULE>(map);
}

std::string ProgramPath() {
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

struct LoadedModule {
  HMODULE handle = nullptr;
  std::string path;  // UTF-8, the program's own path for the main program
};

// Every mapped module, the program first. dladdr1 runs after dl_iterate_phdr returns, so
// the loader's own locks are never nested in ours.
std::vector<LoadedModule> LoadedModules() {
  struct Seen {
    const void* address;
    std::string name;
  };
  std::vector<Seen> seen;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* list = static_cast<std::vector<Seen>*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          if (info->dlpi_phdr[i].p_type != PT_LOAD) continue;
          const auto address = reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
          list->push_back({address, info->dlpi_name ? info->dlpi_name : ""});
          break;
        }
        return 0;
      },
      &seen);

  std::vector<LoadedModule> modules;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const HMODULE handle = ModuleContaining(seen[i].address);
    if (!handle) continue;
    // Libraries found through a $ORIGIN/../lib run path are recorded with the "..".
    modules.push_back(
        {handle, i == 0 ? ProgramPath() : std::filesystem::path(seen[i].name).lexically_normal().string()});
  }
  return modules;
}

bool FindLoaded(HMODULE handle, std::string* path) {
  for (auto& module : LoadedModules()) {
    if (module.handle != handle) continue;
    if (path) *path = std::move(module.path);
    return true;
  }
  return false;
}

HMODULE ProgramModule() {
  const auto modules = LoadedModules();
  return modules.empty() ? nullptr : modules.front().handle;
}

// The folder of this library: sibling modules are looked for there first.
std::filesystem::path OwnFolder() {
  Dl_info info;
  if (!dladdr(reinterpret_cast<const void*>(&LoadLibraryA), &info) || !info.dli_fname) return {};
  return std::filesystem::path(info.dli_fname).parent_path();
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

DWORD LoadError(const std::string& target, const char* message) {
  if (target.find('/') != std::string::npos) {
    struct stat st;
    if (stat(target.c_str(), &st) != 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND;
  }
  const std::string text = message ? message : "";
  // A missing dependency is reported like a missing module, as on Windows.
  if (text.find("No such file") != std::string::npos) return ERROR_MOD_NOT_FOUND;
  if (text.find("Permission denied") != std::string::npos) return ERROR_ACCESS_DENIED;
  if (text.find("undefined symbol") != std::string::npos) return ERROR_PROC_NOT_FOUND;
  return ERROR_BAD_FORMAT;
}

bool IsKernel32(const std::string& name) {
  std::string lower = name;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower == "kernel32" || lower == "kernel32.dll";
}

void UnloadFromHere(HMODULE module) {
  ++t_unloading;
  dlclose(module);
  --t_unloading;
}

}  // namespace

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (!lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string name = tesk::win32::internal::AnsiToUtf8(lpLibFileName);
  // dlopen("") would answer the program itself.
  if (name.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::string target;
  if (name.find('/') != std::string::npos) {
    // Absolute, so that the module's recorded name is a full path as on Windows.
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(name, ec);
    target = ec ? name : absolute.lexically_normal().string();
  } else {
    const auto beside = OwnFolder() / name;
    target = IsFile(beside.string()) ? beside.string() : name;
  }

  std::lock_guard lock(LoaderMutex());
  const bool outer_refused = t_attach_refused;
  t_attach_refused = false;
  ++t_loading;
  void* handle = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  --t_loading;
  bool refused = t_attach_refused;
  t_attach_refused = outer_refused;

  if (!handle) {
    SetLastError(LoadError(target, dlerror()));
    return nullptr;
  }
  const auto module = static_cast<HMODULE>(handle);
  if (!refused) {
    std::lock_guard refused_lock(RefusedMutex());
    refused = Refused().count(module) != 0;
  }
  if (refused) {
    UnloadFromHere(module);
    SetLastError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  return module;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  std::lock_guard lock(LoaderMutex());
  if (!hLibModule || !FindLoaded(hLibModule, nullptr)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  // A module nobody opened (the program, a dependency) stays: dlclose refuses it harmlessly.
  UnloadFromHere(hLibModule);
  dlerror();
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  // Ordinals (a name pointer below 64K) are not supported: modules here export by name.
  if (reinterpret_cast<std::uintptr_t>(lpProcName) <= 0xFFFF) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  const HMODULE module = hModule ? hModule : ProgramModule();
  std::string path;
  if (!module || !FindLoaded(module, &path)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // A library loaded with the program has no lookup scope of its own until something opens
  // it, and dlsym on its bare handle crashes; opening it by name (without loading) sets that up.
  void* scope = module == ProgramModule() ? nullptr : dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  dlerror();
  void* symbol = dlsym(scope ? scope : static_cast<void*>(module), lpProcName);
  if (scope) dlclose(scope);
  // dlsym also searches the module's dependencies; Windows answers only the module's exports.
  if (!symbol || ModuleContaining(symbol) != module) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  std::string path;
  if (!hModule) {
    path = ProgramPath();
  } else if (!FindLoaded(hModule, &path)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (nSize > 0 && !lpFilename) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string ansi = tesk::win32::internal::Utf8ToAnsi(path);
  if (ansi.size() < nSize) {
    std::memcpy(lpFilename, ansi.c_str(), ansi.size() + 1);
    return static_cast<DWORD>(ansi.size());
  }
  if (nSize > 0) {
    std::memcpy(lpFilename, ansi.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (!lpModuleName) return ProgramModule();
  const std::string name = tesk::win32::internal::AnsiToUtf8(lpModuleName);
  // Code written for Windows finds kernel32's exports through its module: here, ours.
  if (IsKernel32(name)) return ModuleContaining(reinterpret_cast<const void*>(&GetModuleHandleA));
  const bool with_folder = name.find('/') != std::string::npos;
  std::string wanted = name;
  if (with_folder) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(name, ec);
    if (!ec) wanted = absolute.lexically_normal().string();
  }
  if (!name.empty()) {
    for (const auto& module : LoadedModules()) {
      if (module.path.empty()) continue;
      const std::string candidate =
          with_folder ? module.path : std::filesystem::path(module.path).filename().string();
      if (candidate == wanted) return module.handle;
    }
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

void TeskRunDllEntry(PDLLMAIN entry, const void* anchor, DWORD reason) {
  const HMODULE module = ModuleContaining(anchor);
  if (reason == DLL_PROCESS_ATTACH) {
    // Non-null lpvReserved: loaded with the program rather than by LoadLibraryA.
    const BOOL ok = entry(module, DLL_PROCESS_ATTACH, t_loading > 0 ? nullptr : kProcessLifetime);
    if (!ok) {
      if (t_loading > 0) t_attach_refused = true;
      std::lock_guard lock(RefusedMutex());
      Refused().insert(module);
    }
    return;
  }
  if (reason == DLL_PROCESS_DETACH) {
    // As on Windows, a module that refused the attach still sees the detach of its unload.
    entry(module, DLL_PROCESS_DETACH, t_unloading > 0 ? nullptr : kProcessLifetime);
    std::lock_guard lock(RefusedMutex());
    Refused().erase(module);
  }
}

}  // extern "C"
