// Sections of the paging file, named and unnamed, and their views. A named section's data is
// a file of its own in the prefix's runtime folder on tmpfs; an unnamed one is a memfd. Each
// view holds the section, so the section outlives its handles while it is mapped.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include <tesk/win32/winbase.h>

#include "handles.h"
#include "named_object.h"

namespace tesk::win32::internal {
namespace {

// Windows places views at multiples of its allocation granularity and wants offsets to be too.
constexpr std::uint64_t kAllocationGranularity = 0x10000;

class SectionObject : public KernelObject {
 public:
  SectionObject(SharedRef section, bool writable_handle)
      : shared(std::move(section)), writable(writable_handle) {}
  const SharedRef shared;
  const bool writable;  // this handle may make writable views
};

struct View {
  std::size_t length;
  SharedRef section;
};

struct Views {
  std::mutex lock;
  std::map<std::uintptr_t, View> by_base;
};

// Never destroyed: views may be unmapped while the process exits.
Views& AllViews() {
  static Views* views = new Views;
  return *views;
}

// The view that holds `address`; views.lock held.
std::map<std::uintptr_t, View>::iterator FindView(Views& views, LPCVOID address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  auto it = views.by_base.upper_bound(at);
  if (it == views.by_base.begin()) return views.by_base.end();
  --it;
  return at < it->first + it->second.length ? it : views.by_base.end();
}

HANDLE InsertSection(SharedRef shared, bool writable) {
  ObjectRef section;
  try {
    section = std::make_shared<SectionObject>(std::move(shared), writable);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return InsertHandle(std::move(section));
}

}  // namespace
}  // namespace tesk::win32::internal

extern "C" {

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES /*lpFileMappingAttributes*/,
                                 DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow,
                                 LPCSTR lpName) {
  using namespace tesk::win32::internal;
  // Only sections of the paging file so far.
  if (hFile != INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const DWORD protect = flProtect & 0xFF;
  const std::uint64_t size = (std::uint64_t{dwMaximumSizeHigh} << 32) | dwMaximumSizeLow;
  if ((flProtect & ~DWORD{0xFF} & ~DWORD{SEC_COMMIT}) != 0 ||
      (protect != PAGE_READONLY && protect != PAGE_READWRITE) || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  NewObject request;
  request.kind = ObjectKind::kSection;
  request.section_size = size;
  request.section_writable = protect == PAGE_READWRITE;
  bool existed = false;
  SharedRef shared = lpName && *lpName ? CreateShared(request, lpName, &existed) : CreatePrivate(request);
  if (!shared) return nullptr;
  // An existing section keeps its size and protection.
  const bool writable = request.section_writable && shared->writable();
  const HANDLE handle = InsertSection(std::move(shared), writable);
  if (handle) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE WINAPI OpenFileMappingA(DWORD dwDesiredAccess, BOOL /*bInheritHandle*/, LPCSTR lpName) {
  using namespace tesk::win32::internal;
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SharedRef shared = OpenShared(ObjectKind::kSection, lpName);
  if (!shared) return nullptr;
  if ((dwDesiredAccess & FILE_MAP_WRITE) && !shared->writable()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return InsertSection(std::move(shared), (dwDesiredAccess & FILE_MAP_WRITE) != 0);
}

LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                            DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
  using namespace tesk::win32::internal;
  auto section = ObjectFromHandleAs<SectionObject>(hFileMappingObject);
  if (!section) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const bool copy = dwDesiredAccess == FILE_MAP_COPY;
  const bool write = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
  if (!copy && !write && !(dwDesiredAccess & FILE_MAP_READ)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (write && !section->writable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const std::uint64_t offset = (std::uint64_t{dwFileOffsetHigh} << 32) | dwFileOffsetLow;
  if (offset % kAllocationGranularity != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  const SharedObject& shared = *section->shared;
  // A view beyond the end of the section is refused, as Windows refuses it.
  if (offset >= shared.data_size() || dwNumberOfBytesToMap > shared.data_size() - offset) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const std::uint64_t length = dwNumberOfBytesToMap != 0 ? dwNumberOfBytesToMap : shared.data_size() - offset;
  if (length > SIZE_MAX) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // A copy view is private to this process and writable whatever the section allows.
  void* base =
      mmap(nullptr, static_cast<std::size_t>(length), write || copy ? PROT_READ | PROT_WRITE : PROT_READ,
           copy ? MAP_PRIVATE : MAP_SHARED, shared.data_fd(), static_cast<off_t>(offset));
  if (base == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Views& views = AllViews();
  try {
    std::lock_guard<std::mutex> hold(views.lock);
    views.by_base.emplace(reinterpret_cast<std::uintptr_t>(base),
                          View{static_cast<std::size_t>(length), section->shared});
  } catch (const std::bad_alloc&) {
    munmap(base, static_cast<std::size_t>(length));
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return base;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  using namespace tesk::win32::internal;
  Views& views = AllViews();
  SharedRef section;  // let go after the views' lock: the section may go with it
  {
    std::lock_guard<std::mutex> hold(views.lock);
    const auto it = FindView(views, lpBaseAddress);
    if (it == views.by_base.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    munmap(reinterpret_cast<void*>(it->first), it->second.length);
    section = std::move(it->second.section);
    views.by_base.erase(it);
  }
  return TRUE;
}

BOOL WINAPI FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
  using namespace tesk::win32::internal;
  Views& views = AllViews();
  std::lock_guard<std::mutex> hold(views.lock);
  const auto it = FindView(views, lpBaseAddress);
  if (it == views.by_base.end()) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  const auto start = reinterpret_cast<std::uintptr_t>(lpBaseAddress);
  const std::uintptr_t end = it->first + it->second.length;
  const std::uintptr_t stop = dwNumberOfBytesToFlush == 0 || dwNumberOfBytesToFlush > end - start
                                  ? end
                                  : start + dwNumberOfBytesToFlush;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = start / page * page;
  if (msync(reinterpret_cast<void*>(first), stop - first, MS_SYNC) != 0) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
