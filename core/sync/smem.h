// The shared pool: named entries of data in one section of the paging file, shared by every
// process of the prefix that opens the pool by name. Each entry's data is guarded by a named
// mutex of its own; the busy words of devices live here.
//
// Layout of a pool view (offsets from the start; numbers 32-bit little-endian):
//    0  "SMEM\0"                  signature
//    5  pool name, at most 32 characters, then zeros up to 40
//   40  total size of the section
//   44  entry capacity
//   48  entries in use
//   52  offset of the name table (64)
//   56  offset of the entry table (64 + 4 * capacity)
//   60  allocation cursor: first free byte of the data area
//   64  name table: per entry, the offset of its name
//       entry table: per entry, the offset and the length of its data
//       data area: names and data blocks, allocated upwards, never freed
#pragma once

#include <cstddef>

#include <tesk/win32/windows.h>

namespace tesk::sync {

inline constexpr char kPoolName[] = "TeskSyncPool";
inline constexpr DWORD kPoolDataSize = 0x80000;
inline constexpr DWORD kPoolCapacity = 512;

inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kOffsetSignature = 0;
inline constexpr std::size_t kOffsetName = 5;
inline constexpr std::size_t kNameLimit = 32;
inline constexpr std::size_t kOffsetTotalSize = 40;
inline constexpr std::size_t kOffsetCapacity = 44;
inline constexpr std::size_t kOffsetCount = 48;
inline constexpr std::size_t kOffsetNameTable = 52;
inline constexpr std::size_t kOffsetEntryTable = 56;
inline constexpr std::size_t kOffsetCursor = 60;

constexpr DWORD PoolSectionSize(DWORD data_size, DWORD capacity) {
  return data_size + 12 * capacity + 64;
}

// Process attach: the table of this process's pools and the pool-creation mutex
// ("SMEM.CreateSharedPool"). Detach: SmemClosePools and the creation mutex closed.
void SmemProcessAttach();
void SmemProcessDetach();

// Creates or opens the pool section `name` and maps it whole. A new section is zeroed and
// given its header; an existing one must start with "SMEM" (else E_FAIL).
HRESULT SmemOpenPool(const char* name, DWORD data_size, DWORD capacity, BYTE** view);

// S_FALSE with the existing index when an entry of that name exists (its data untouched);
// S_OK with the new index; E_FAIL on a bad signature; E_OUTOFMEMORY when the name, the data
// or another entry does not fit (nothing is overwritten then).
HRESULT SmemAddEntry(BYTE* view, const char* name, const void* data, DWORD length, LONG* index);

// Copies min(entry length, *length) bytes and sets *length to that; no mutex taken.
HRESULT SmemReadEntry(BYTE* view, LONG index, void* buffer, DWORD* length);

// Opens the entry's mutex and waits for it; SmemUnlockEntry releases and closes it.
HRESULT SmemLockEntry(BYTE* view, LONG index, HANDLE* mutex);
void SmemUnlockEntry(HANDLE mutex);

// Calls fn(entry name, entry data, argument), holding the entry's mutex when lock is true,
// and returns what fn returns.
using SmemFunction = HRESULT (*)(const char* entry_name, void* data, void* argument);
HRESULT SmemApply(BYTE* view, LONG index, bool lock, SmemFunction fn, void* argument);

// Unmaps every view of this process, last first, and closes their sections.
void SmemClosePools();

// The view of the pool named `name` that this process opened, or null.
BYTE* SmemFindPool(const char* name);

}  // namespace tesk::sync
