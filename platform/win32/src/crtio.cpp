// The C runtime's _findfirst/_findnext/_findclose and _chmod over the prefix's drives.
//
// A search takes its snapshot of the folder at _findfirst, sorted by name with "." and ".."
// first (they are not reported at a drive's root, as on FAT and NTFS volumes). Names the ANSI
// code page cannot hold come back with '?' in place of those characters and cannot be opened
// by that name; names longer than the record holds are left out.
#include <tesk/win32/crtio.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <tesk/win32/winerror.h>

#include "internal.h"
#include "path.h"

using namespace tesk::win32::internal;

namespace {

struct Search {
  std::vector<_finddata_t> entries;
  size_t next = 0;
};

std::mutex& SearchesMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::map<std::intptr_t, std::unique_ptr<Search>>& Searches() {
  static auto* searches = new std::map<std::intptr_t, std::unique_ptr<Search>>;
  return *searches;
}
std::intptr_t g_next_handle = 0x100;

char16_t Fold(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  return c;
}

bool Match(std::u16string_view pattern, std::u16string_view name) {
  size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

// DOS matching: "*.*" takes every name, and "name.*" also a name without an extension.
bool MatchesPattern(const std::u16string& pattern, const std::u16string& name) {
  if (pattern == u"*.*" || Match(pattern, name)) return true;
  return pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, u".*") == 0 &&
         name.find(u'.') == std::u16string::npos && Match(pattern.substr(0, pattern.size() - 2), name);
}

__time32_t Time32(long long seconds) {
  return static_cast<__time32_t>(std::clamp<long long>(seconds, INT32_MIN, INT32_MAX));
}

bool Describe(const std::string& folder, const std::string& name, _finddata_t* out) {
  const std::string ansi = Utf8ToAnsi(name);
  if (ansi.size() >= sizeof out->name) return false;
  const std::string path = folder + "/" + name;
  struct statx stx {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0 &&
      statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
    return false;
  *out = {};
  const bool folder_entry = S_ISDIR(stx.stx_mode);
  out->attrib = folder_entry ? _A_SUBDIR : _A_ARCH;
  if (!(stx.stx_mode & S_IWUSR)) out->attrib |= _A_RDONLY;
  if (name.size() > 1 && name[0] == '.' && name != "..") out->attrib |= _A_HIDDEN;
  out->time_create = Time32((stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec);
  out->time_access = Time32(stx.stx_atime.tv_sec);
  out->time_write = Time32(stx.stx_mtime.tv_sec);
  out->size =
      folder_entry ? 0 : static_cast<_fsize_t>(std::min<unsigned long long>(stx.stx_size, 0xFFFFFFFFull));
  std::memcpy(out->name, ansi.c_str(), ansi.size() + 1);
  return true;
}

int FailErrno(int error) {
  errno = error;
  return -1;
}

// Whether the folder part of a search names a drive's root ("E:", "E:\", "\").
bool IsDriveRoot(std::string_view folder) {
  if (folder.size() >= 2 && folder[1] == ':')
    folder.remove_prefix(2);
  else if (folder.empty() || folder[0] != '\\')
    return false;
  return folder.find_first_not_of("\\/") == std::string_view::npos;
}

std::intptr_t FindFirst(const char* filespec, _finddata_t* fileinfo) {
  const std::string spec = filespec;
  const size_t cut = spec.find_last_of("\\/");
  std::string folder_text;
  std::string pattern_text;
  if (cut != std::string::npos) {
    folder_text = spec.substr(0, cut == 0 || (cut == 2 && spec[1] == ':') ? cut + 1 : cut);
    pattern_text = spec.substr(cut + 1);
  } else if (spec.size() >= 2 && spec[1] == ':') {
    folder_text = spec.substr(0, 2);
    pattern_text = spec.substr(2);
  } else {
    folder_text = ".";
    pattern_text = spec;
  }
  if (pattern_text.empty()) return FailErrno(ENOENT);
  std::string folder;
  if (ResolvePath(folder_text, &folder) != ERROR_SUCCESS) return FailErrno(ENOENT);
  const std::u16string pattern = Utf8ToUtf16(AnsiToUtf8(pattern_text));
  const bool root = IsDriveRoot(folder_text);

  std::vector<std::string> names;
  {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) return FailErrno(errno == ENOMEM ? ENOMEM : ENOENT);
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (root && (name == "." || name == "..")) continue;
      if (MatchesPattern(pattern, Utf8ToUtf16(name))) names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const int rank_a = a == "." ? 0 : a == ".." ? 1 : 2;
    const int rank_b = b == "." ? 0 : b == ".." ? 1 : 2;
    return rank_a != rank_b ? rank_a < rank_b : a < b;
  });
  auto search = std::make_unique<Search>();
  for (const std::string& name : names) {
    _finddata_t data;
    if (Describe(folder, name, &data)) search->entries.push_back(data);
  }
  if (search->entries.empty()) return FailErrno(ENOENT);
  *fileinfo = search->entries[0];
  search->next = 1;
  std::lock_guard hold(SearchesMutex());
  const std::intptr_t handle = g_next_handle++;
  Searches()[handle] = std::move(search);
  return handle;
}

}  // namespace

extern "C" {

std::intptr_t _findfirst(const char* filespec, _finddata_t* fileinfo) {
  if (!filespec || !fileinfo) return FailErrno(EINVAL);
  try {
    return FindFirst(filespec, fileinfo);
  } catch (const std::bad_alloc&) {
    return FailErrno(ENOMEM);
  }
}

int _findnext(std::intptr_t handle, _finddata_t* fileinfo) {
  if (!fileinfo) return FailErrno(EINVAL);
  std::lock_guard hold(SearchesMutex());
  const auto it = Searches().find(handle);
  if (it == Searches().end()) return FailErrno(EINVAL);
  Search& search = *it->second;
  if (search.next >= search.entries.size()) return FailErrno(ENOENT);
  *fileinfo = search.entries[search.next++];
  return 0;
}

int _findclose(std::intptr_t handle) {
  std::lock_guard hold(SearchesMutex());
  if (Searches().erase(handle) == 0) return FailErrno(EINVAL);
  return 0;
}

int _chmod(const char* filename, int pmode) {
  if (!filename || (pmode & ~(_S_IREAD | _S_IWRITE))) return FailErrno(EINVAL);
  try {
    std::string path;
    if (ResolvePath(filename, &path) != ERROR_SUCCESS) return FailErrno(ENOENT);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return FailErrno(errno);
    const mode_t mode =
        (pmode & _S_IWRITE) ? (st.st_mode | S_IWUSR) : (st.st_mode & ~static_cast<mode_t>(0222));
    if (chmod(path.c_str(), mode & 07777) != 0) return FailErrno(errno);
    return 0;
  } catch (const std::bad_alloc&) {
    return FailErrno(ENOMEM);
  }
}

}  // extern "C"
