// The prefix folder: where it is, and making its skeleton.
#include <tesk/win32/prefix.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include "internal.h"
#include "registry_store.h"

namespace tesk::win32 {
namespace {

std::mutex g_path_mutex;
std::string g_path;  // guarded by g_path_mutex; empty until first asked
std::atomic<std::uint64_t> g_generation{1};

std::string DefaultPrefixPath() {
  if (const char* env = std::getenv("TESK_PREFIX"); env && *env) return env;
  // XDG asks to ignore a relative XDG_DATA_HOME.
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return std::string(xdg) + "/tesk";
  std::string home;
  if (const char* env = std::getenv("HOME"); env && *env) {
    home = env;
  } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
    home = pw->pw_dir;
  } else {
    home = "/tmp";
  }
  return home + "/.local/share/tesk";
}

bool MakeDirectory(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    if (error) *error = "cannot make folder " + path + ": a file of that name is in the way";
    return false;
  }
  if (error) *error = "cannot make folder " + path + ": " + std::strerror(errno);
  return false;
}

bool MakeDirectories(const std::string& path, std::string* error) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (!MakeDirectory(path.substr(0, slash), error)) return false;
  }
  return MakeDirectory(path, error);
}

}  // namespace

std::string PrefixPath() {
  std::lock_guard lock(g_path_mutex);
  if (g_path.empty()) g_path = DefaultPrefixPath();
  return g_path;
}

void SetPrefixPath(const std::string& path) {
  {
    std::lock_guard lock(g_path_mutex);
    g_path = path;
  }
  g_generation.fetch_add(1, std::memory_order_acq_rel);
}

std::string RuntimePath(const std::string& prefix) {
  // The real path, so that every spelling of the prefix (relative, through a link) agrees;
  // the part that does not exist yet is taken as written.
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(prefix, error);
  if (!error) path = std::filesystem::weakly_canonical(path, error);
  const std::string real = (error ? std::filesystem::path(prefix) : path).lexically_normal().string();
  std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
  for (const char c : real) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  std::string base = "/dev/shm";
  struct stat st {};
  if (stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
    base = error ? "/tmp" : temp.string();
  }
  char name[64];
  std::snprintf(name, sizeof(name), "/tesk-%u-%016llx", static_cast<unsigned>(getuid()),
                static_cast<unsigned long long>(hash));
  return base + name;
}

std::string RuntimePath() {
  return RuntimePath(PrefixPath());
}

bool EnsurePrefix(std::string* error) {
  const std::string prefix = PrefixPath();
  if (!registry::MakePrefixFolders(prefix, error)) return false;
  return registry::EnsureStandardKeys(error);
}

namespace internal {
std::uint64_t PrefixGeneration() {
  return g_generation.load(std::memory_order_acquire);
}
}  // namespace internal

namespace registry {

bool MakePrefixFolders(const std::string& prefix, std::string* error) {
  if (prefix.empty()) {
    if (error) *error = "the prefix path is empty";
    return false;
  }
  const std::string dosdevices = prefix + "/dosdevices";
  if (!MakeDirectories(prefix, error) || !MakeDirectory(prefix + "/drive_c", error) ||
      !MakeDirectory(dosdevices, error)) {
    return false;
  }
  const std::string drive_c = dosdevices + "/c:";
  struct stat st {};
  // A c: the user pointed elsewhere is theirs to keep.
  if (lstat(drive_c.c_str(), &st) != 0 && symlink("../drive_c", drive_c.c_str()) != 0 && errno != EEXIST) {
    if (error) *error = "cannot make " + drive_c + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace registry
}  // namespace tesk::win32
