// IsBadReadPtr and friends: whether memory may be read, written or run, found out without
// touching it. Reads go through process_vm_readv on the process itself, which answers EFAULT
// for an address that cannot be read instead of raising a signal. Writing and running are
// answered from the mapping's permissions in /proc/self/maps: a probing write could undo
// another thread's store to the same bytes.
//
// As on Windows, the answer is only as good as the moment it was given: another thread may
// unmap the memory right after.

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include <tesk/win32/winbase.h>

namespace {

std::uintptr_t PageSize() {
  static const auto size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// [start, end) with its permissions, from /proc/self/maps.
struct Mapping {
  std::uintptr_t start;
  std::uintptr_t end;
  bool read;
  bool write;
  bool execute;
};

std::vector<Mapping> Mappings() {
  std::vector<Mapping> mappings;
  FILE* maps = std::fopen("/proc/self/maps", "re");
  if (!maps) return mappings;
  char line[4096];
  while (std::fgets(line, sizeof(line), maps)) {
    unsigned long long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line, "%llx-%llx %4s", &start, &end, perms) == 3) {
      mappings.push_back({static_cast<std::uintptr_t>(start), static_cast<std::uintptr_t>(end),
                          perms[0] == 'r', perms[1] == 'w', perms[2] == 'x'});
    }
    // A line longer than the buffer (a long file name): skip its rest.
    while (!std::strchr(line, '\n') && std::fgets(line, sizeof(line), maps)) {
    }
  }
  std::fclose(maps);
  return mappings;
}

enum class Access { kRead, kWrite, kExecute };

// Whether every byte of [start, end) lies in mappings that allow `access`.
bool MappedWith(std::uintptr_t start, std::uintptr_t end, Access access) {
  const std::vector<Mapping> mappings = Mappings();
  std::uintptr_t at = start;
  for (const Mapping& mapping : mappings) {
    if (mapping.end <= at) continue;
    if (mapping.start > at) return false;
    const bool allowed = access == Access::kRead    ? mapping.read
                         : access == Access::kWrite ? mapping.write
                                                    : mapping.execute;
    if (!allowed) return false;
    at = mapping.end;
    if (at >= end) return true;
  }
  return false;
}

// Reads `size` bytes at `address` into `out` without faulting; false when some of them
// cannot be read. Where a sandbox forbids process_vm_readv the mappings decide first.
bool ReadOwnMemory(std::uintptr_t address, void* out, std::size_t size) {
  iovec local{out, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  const ssize_t got = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (got >= 0) return static_cast<std::size_t>(got) == size;
  if (errno == EFAULT) return false;
  if (!MappedWith(address, address + size, Access::kRead)) return false;
  std::memcpy(out, reinterpret_cast<const void*>(address), size);
  return true;
}

// Whether [start, start + size) can be read, one byte per page.
bool Readable(std::uintptr_t start, std::uintptr_t size) {
  const std::uintptr_t last = start + size - 1;
  const std::uintptr_t page = PageSize();
  char byte;
  for (std::uintptr_t at = start;;) {
    if (!ReadOwnMemory(at, &byte, 1)) return false;
    const std::uintptr_t next_page = (at / page + 1) * page;
    if (next_page == 0 || next_page > last) return true;
    at = next_page;
  }
}

// A range that is empty is never bad; one that wraps around the address space always is.
bool BadRange(const void* lp, UINT_PTR size, bool* bad) {
  if (size == 0) {
    *bad = false;
    return true;
  }
  const auto start = reinterpret_cast<std::uintptr_t>(lp);
  if (!lp || start + size - 1 < start) {
    *bad = true;
    return true;
  }
  return false;
}

}  // namespace

extern "C" {

BOOL WINAPI IsBadReadPtr(const void* lp, UINT_PTR ucb) {
  bool bad;
  if (BadRange(lp, ucb, &bad)) return bad ? TRUE : FALSE;
  return Readable(reinterpret_cast<std::uintptr_t>(lp), ucb) ? FALSE : TRUE;
}

BOOL WINAPI IsBadWritePtr(LPVOID lp, UINT_PTR ucb) {
  bool bad;
  if (BadRange(lp, ucb, &bad)) return bad ? TRUE : FALSE;
  const auto start = reinterpret_cast<std::uintptr_t>(lp);
  return MappedWith(start, start + ucb, Access::kWrite) ? FALSE : TRUE;
}

BOOL WINAPI IsBadStringPtrA(LPCSTR lpsz, UINT_PTR ucchMax) {
  if (ucchMax == 0) return FALSE;
  if (!lpsz) return TRUE;
  // Page by page up to the terminator or ucchMax characters, whichever comes first.
  const std::uintptr_t page = PageSize();
  char chunk[4096];
  auto at = reinterpret_cast<std::uintptr_t>(lpsz);
  for (UINT_PTR left = ucchMax; left > 0;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uintptr_t>({page - at % page, left, sizeof(chunk)}));
    if (!ReadOwnMemory(at, chunk, want)) return TRUE;
    if (std::memchr(chunk, '\0', want)) return FALSE;
    left -= want;
    at += want;
    if (at == 0) return TRUE;  // ran off the end of the address space
  }
  return FALSE;
}

BOOL WINAPI IsBadCodePtr(FARPROC lpfn) {
  const auto address = reinterpret_cast<std::uintptr_t>(lpfn);
  if (!address) return TRUE;
  return MappedWith(address, address + 1, Access::kExecute) ? FALSE : TRUE;
}

}  // extern "C"
