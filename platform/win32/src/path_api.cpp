// The process's current folder and full path names, in DOS form where a drive holds them.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <tesk/win32/fileapi.h>
#include <tesk/win32/winbase.h>

#include "internal.h"
#include "path.h"

using namespace tesk::win32::internal;

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// The current folder: DOS form on a drive, else the Linux path (both ANSI).
std::string CurrentFolder() {
  char buffer[PATH_MAX];
  if (!getcwd(buffer, sizeof buffer)) return "C:\\";
  const std::string dos = DosFormOf(buffer);
  return dos.empty() ? Utf8ToAnsi(buffer) : dos;
}

// Joins `base` (a drive root "X:" or a Unix folder) with lexically cleaned components.
std::string Join(const std::string& root, char separator, const std::vector<std::string>& parts,
                 bool trailing) {
  std::string out = root;
  for (const std::string& part : parts) {
    if (out.empty() || out.back() != separator) out += separator;
    out += part;
  }
  if (parts.empty() || trailing) {
    if (out.empty() || out.back() != separator) out += separator;
  }
  return out;
}

void AddComponents(std::string_view text, std::vector<std::string>* parts) {
  std::string current;
  auto flush = [&]() {
    if (current == "..") {
      if (!parts->empty()) parts->pop_back();
    } else if (!current.empty() && current != ".") {
      parts->push_back(current);
    }
    current.clear();
  };
  for (char c : text) {
    if (IsSeparator(c)) {
      flush();
    } else {
      current.push_back(c);
    }
  }
  flush();
}

std::string FullPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  const bool trailing = !path.empty() && IsSeparator(path.back());
  std::string cwd = CurrentFolder();
  const bool cwd_on_drive = cwd.size() >= 2 && cwd[1] == ':';
  std::vector<std::string> parts;
  std::string root;
  std::string_view rest = path;
  if (path.size() >= 2 && path[1] == ':') {
    root = path.substr(0, 2);
    if (root[0] >= 'a' && root[0] <= 'z') root[0] = static_cast<char>(root[0] - 'a' + 'A');
    rest.remove_prefix(2);
    if ((rest.empty() || !IsSeparator(rest[0])) && cwd_on_drive && cwd[0] == root[0])
      AddComponents(std::string_view(cwd).substr(2), &parts);
  } else if (!path.empty() && IsSeparator(path[0])) {
    root = cwd_on_drive ? cwd.substr(0, 2) : "C:";
  } else if (cwd_on_drive) {
    root = cwd.substr(0, 2);
    AddComponents(std::string_view(cwd).substr(2), &parts);
  } else {
    AddComponents(cwd, &parts);
    AddComponents(rest, &parts);
    return Join("/", '/', parts, trailing);
  }
  AddComponents(rest, &parts);
  return Join(root, '\\', parts, trailing);
}

}  // namespace

extern "C" {

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
  if (lpFilePart) *lpFilePart = nullptr;
  if (!lpFileName || !*lpFileName) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  try {
    const std::string full = FullPath(lpFileName);
    if (!lpBuffer || nBufferLength <= full.size()) return static_cast<DWORD>(full.size() + 1);
    std::memcpy(lpBuffer, full.c_str(), full.size() + 1);
    const size_t cut = full.find_last_of("\\/");
    if (lpFilePart && cut != std::string::npos && cut + 1 < full.size()) *lpFilePart = lpBuffer + cut + 1;
    return static_cast<DWORD>(full.size());
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
  try {
    const std::string cwd = CurrentFolder();
    if (!lpBuffer || nBufferLength <= cwd.size()) return static_cast<DWORD>(cwd.size() + 1);
    std::memcpy(lpBuffer, cwd.c_str(), cwd.size() + 1);
    return static_cast<DWORD>(cwd.size());
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
  if (!lpPathName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  try {
    std::string path;
    DWORD error = ResolvePath(lpPathName, &path);
    if (error == ERROR_SUCCESS && chdir(path.c_str()) != 0)
      error = errno == ENOENT    ? ERROR_FILE_NOT_FOUND
              : errno == ENOTDIR ? ERROR_DIRECTORY
                                 : FileErrorFromErrno(errno);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

}  // extern "C"
