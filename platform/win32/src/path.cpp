// DOS paths: drive letters through the prefix's dosdevices/ links, case-insensitive names.
#include "path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include <tesk/win32/prefix.h>
#include <tesk/win32/winerror.h>

#include "internal.h"

namespace tesk::win32::internal {
namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char LowerLetter(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::vector<std::string> SplitComponents(std::string_view path) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : path) {
    if (IsSeparator(c)) {
      if (!current.empty()) parts.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

// Folds upper-case ASCII and Latin-1 letters; enough for the names players carry.
char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  return c;
}

std::string DriveFolder(char letter) {
  return PrefixPath() + "/dosdevices/" + std::string(1, LowerLetter(letter)) + ":";
}

char CurrentDrive() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer)) {
    const std::string dos = DosFormOf(buffer);
    if (!dos.empty()) return dos[0];
  }
  return 'C';
}

// The entry of `folder` whose name equals `name` ignoring case; empty when none.
std::string FindIgnoringCase(const std::string& folder, const std::string& name) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return {};
  while (const dirent* entry = readdir(dir.get())) {
    if (NamesEqualIgnoringCase(entry->d_name, name)) return entry->d_name;
  }
  return {};
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool NamesEqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const std::u16string wa = Utf8ToUtf16(a);
  const std::u16string wb = Utf8ToUtf16(b);
  if (wa.size() != wb.size()) return false;
  for (size_t i = 0; i < wa.size(); ++i) {
    if (FoldCase(wa[i]) != FoldCase(wb[i])) return false;
  }
  return true;
}

DWORD FileErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENODEV:
    case ENXIO:
      return ERROR_NOT_READY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD ResolvePath(std::string_view ansi_path, std::string* linux_path) {
  const std::string path = AnsiToUtf8(ansi_path);
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (path[0] == '/') {
    *linux_path = path;
    return ERROR_SUCCESS;
  }
  std::string base;
  std::string_view rest = path;
  bool clamp_at_root = true;  // ".." never climbs above a drive's root
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == ':') {
    base = DriveFolder(path[0]);
    rest.remove_prefix(2);
  } else if (IsSeparator(path[0])) {
    if (path.size() > 1 && IsSeparator(path[1])) return ERROR_BAD_PATHNAME;  // UNC and device paths
    base = DriveFolder(CurrentDrive());
  } else {
    base = ".";
    clamp_at_root = false;
  }
  if (!IsFolder(base)) return ERROR_PATH_NOT_FOUND;

  std::vector<std::string> parts;
  for (std::string& part : SplitComponents(rest)) {
    if (part == ".") continue;
    if (part == ".." && clamp_at_root) {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(std::move(part));
  }
  if (parts.empty() && !clamp_at_root) {
    *linux_path = base;
    return ERROR_SUCCESS;
  }

  std::string current = base;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    std::string candidate = current + "/" + parts[i];
    struct stat st {};
    if (lstat(candidate.c_str(), &st) != 0 && parts[i] != "..") {
      const std::string match = FindIgnoringCase(current, parts[i]);
      if (!match.empty()) {
        candidate = current + "/" + match;
      } else if (!last) {
        return ERROR_PATH_NOT_FOUND;
      }
    }
    if (!last && !IsFolder(candidate)) return ERROR_PATH_NOT_FOUND;
    current = std::move(candidate);
  }
  *linux_path = std::move(current);
  return ERROR_SUCCESS;
}

std::string DosFormOf(const std::string& linux_path) {
  char real[PATH_MAX];
  if (!realpath(linux_path.c_str(), real)) return {};
  const std::string target = real;
  std::string best_root;
  char best_letter = 0;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    char root[PATH_MAX];
    if (!realpath(DriveFolder(letter).c_str(), root)) continue;
    const std::string root_path = root;
    const bool inside = target == root_path || (target.size() > root_path.size() &&
                                                target.compare(0, root_path.size(), root_path) == 0 &&
                                                (target[root_path.size()] == '/' || root_path == "/"));
    if (inside && root_path.size() > best_root.size()) {
      best_root = root_path;
      best_letter = letter;
    }
  }
  if (!best_letter) return {};
  std::string dos(1, static_cast<char>(best_letter - 'a' + 'A'));
  dos += ":";
  std::string tail = target.substr(best_root == "/" ? 0 : best_root.size());
  for (char& c : tail) {
    if (c == '/') c = '\\';
  }
  dos += tail.empty() ? "\\" : tail;
  return Utf8ToAnsi(dos);
}

}  // namespace tesk::win32::internal
