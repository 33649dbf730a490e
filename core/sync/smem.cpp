// The shared pool. Every number in a view may have been written by another process, or be
// damaged, so each operation checks the header and the entry it uses against the size this
// process mapped before it reads or writes through an offset.
#include "smem.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace tesk::sync {
namespace {

constexpr char kSignature[] = "SMEM";  // compared with its terminating zero
constexpr char kCreationMutexName[] = "SMEM.CreateSharedPool";
constexpr std::size_t kInitialRoom = 32;

struct PoolRecord {
  BYTE* view;
  std::string name;
  HANDLE section;
  DWORD mapped;  // bytes of the view, the only size this process can trust
};

// Sorted by view address. Constant-initialised and never destroyed by the runtime, so that
// a module's detach at exit still finds it.
constinit std::mutex g_table_lock;
std::vector<PoolRecord>* g_pools = nullptr;
HANDLE g_creation_mutex = nullptr;

DWORD Load32(const BYTE* p) {
  DWORD value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

void Store32(BYTE* p, DWORD value) {
  std::memcpy(p, &value, sizeof(value));
}

// The entry count is published last when an entry is added, so that a reader who sees the
// count also sees the tables below it. The view is page-aligned, so the count is aligned.
DWORD LoadCount(const BYTE* view) {
  return __atomic_load_n(reinterpret_cast<const DWORD*>(view + kOffsetCount), __ATOMIC_ACQUIRE);
}

void StoreCount(BYTE* view, DWORD count) {
  __atomic_store_n(reinterpret_cast<DWORD*>(view + kOffsetCount), count, __ATOMIC_RELEASE);
}

bool WaitForMutex(HANDLE mutex) {
  const DWORD wait = WaitForSingleObject(mutex, INFINITE);
  return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

// A view's header, checked: every table and the data area lie inside the bytes mapped.
struct Pool {
  BYTE* view = nullptr;
  std::string name;  // this process's copy, for the mutex names
  DWORD bound = 0;   // end of the usable bytes
  DWORD capacity = 0;
  DWORD count = 0;
  DWORD name_table = 0;
  DWORD entry_table = 0;
  DWORD data_start = 0;
};

struct Entry {
  const char* name = nullptr;
  BYTE* data = nullptr;
  DWORD length = 0;
};

bool FindRecord(const BYTE* view, std::string* name, DWORD* mapped) {
  std::lock_guard hold(g_table_lock);
  if (!g_pools) return false;
  const auto it = std::lower_bound(g_pools->begin(), g_pools->end(), view,
                                   [](const PoolRecord& r, const BYTE* v) { return r.view < v; });
  if (it == g_pools->end() || it->view != view) return false;
  *name = it->name;
  *mapped = it->mapped;
  return true;
}

// False for a view this process did not open, a bad signature or an inconsistent header.
bool ReadHeader(BYTE* view, Pool* pool) {
  if (!view) return false;
  DWORD mapped = 0;
  try {
    if (!FindRecord(view, &pool->name, &mapped)) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (mapped < kHeaderSize || std::memcmp(view + kOffsetSignature, kSignature, sizeof(kSignature)) != 0) {
    return false;
  }
  pool->view = view;
  pool->bound = std::min(Load32(view + kOffsetTotalSize), mapped);
  pool->capacity = Load32(view + kOffsetCapacity);
  pool->count = LoadCount(view);
  pool->name_table = Load32(view + kOffsetNameTable);
  pool->entry_table = Load32(view + kOffsetEntryTable);
  const std::uint64_t names_end = std::uint64_t{pool->name_table} + 4ull * pool->capacity;
  const std::uint64_t entries_end = std::uint64_t{pool->entry_table} + 8ull * pool->capacity;
  if (pool->name_table < kHeaderSize || pool->entry_table < names_end || entries_end > pool->bound ||
      pool->count > pool->capacity) {
    return false;
  }
  pool->data_start = static_cast<DWORD>(entries_end);
  return true;
}

// Entry `index` of a checked pool, when it is in use and its name and data lie in the data area.
bool ReadEntry(const Pool& pool, LONG index, Entry* entry) {
  if (index < 0 || static_cast<DWORD>(index) >= pool.count) return false;
  const DWORD i = static_cast<DWORD>(index);
  const DWORD name = Load32(pool.view + pool.name_table + 4ull * i);
  const DWORD data = Load32(pool.view + pool.entry_table + 8ull * i);
  const DWORD length = Load32(pool.view + pool.entry_table + 8ull * i + 4);
  if (name < pool.data_start || name >= pool.bound) return false;
  if (!std::memchr(pool.view + name, '\0', pool.bound - name)) return false;
  if (data < pool.data_start || std::uint64_t{data} + length > pool.bound) return false;
  entry->name = reinterpret_cast<const char*>(pool.view + name);
  entry->data = pool.view + data;
  entry->length = length;
  return true;
}

constexpr LONG kNotFound = -1;
constexpr LONG kDamaged = -2;

// The first entry of that name, in index order; kNotFound, or kDamaged when an entry before
// it cannot be read.
LONG FindEntry(const Pool& pool, const char* name) {
  for (DWORD i = 0; i < pool.count; ++i) {
    Entry entry;
    if (!ReadEntry(pool, static_cast<LONG>(i), &entry)) return kDamaged;
    if (std::strcmp(entry.name, name) == 0) return static_cast<LONG>(i);
  }
  return kNotFound;
}

// Under the pool mutex. Everything is checked before the first byte is written, so a
// refused entry leaves the tables, the data area and the cursor as they were.
HRESULT AddLocked(BYTE* view, const char* name, const void* data, DWORD length, LONG* index) {
  Pool pool;
  if (!ReadHeader(view, &pool)) return E_FAIL;
  // Another process may have added the name since the first look.
  const LONG existing = FindEntry(pool, name);
  if (existing == kDamaged) return E_FAIL;
  if (existing >= 0) {
    *index = existing;
    return S_FALSE;
  }
  if (pool.count >= pool.capacity || pool.count > 0x7FFFFFFF) return E_OUTOFMEMORY;
  const DWORD cursor = Load32(view + kOffsetCursor);
  if (cursor < pool.data_start || cursor > pool.bound) return E_FAIL;
  const std::uint64_t name_size = std::strlen(name) + 1;
  const std::uint64_t end = cursor + name_size + length;
  if (end > pool.bound) return E_OUTOFMEMORY;

  const DWORD name_offset = cursor;
  const DWORD data_offset = static_cast<DWORD>(cursor + name_size);
  std::memcpy(view + name_offset, name, name_size);
  if (length) std::memcpy(view + data_offset, data, length);
  Store32(view + pool.name_table + 4ull * pool.count, name_offset);
  Store32(view + pool.entry_table + 8ull * pool.count, data_offset);
  Store32(view + pool.entry_table + 8ull * pool.count + 4, length);
  Store32(view + kOffsetCursor, static_cast<DWORD>(end));
  *index = static_cast<LONG>(pool.count);
  StoreCount(view, pool.count + 1);
  return S_OK;
}

// Creates or opens the section under the pool-creation mutex.
HRESULT OpenLocked(const char* name, DWORD size, DWORD capacity, BYTE** out) {
  const HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
  if (!section) return E_FAIL;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  // Exactly the size we asked for, so that every later check has a size it can trust.
  BYTE* view = static_cast<BYTE*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, size));
  if (!view) {
    CloseHandle(section);
    return E_FAIL;
  }
  HRESULT hr = S_OK;
  if (!existed) {
    std::memset(view, 0, size);
    std::memcpy(view + kOffsetSignature, kSignature, sizeof(kSignature));
    std::strncpy(reinterpret_cast<char*>(view + kOffsetName), name, kNameLimit);
    Store32(view + kOffsetTotalSize, size);
    Store32(view + kOffsetCapacity, capacity);
    Store32(view + kOffsetNameTable, kHeaderSize);
    Store32(view + kOffsetEntryTable, static_cast<DWORD>(kHeaderSize + 4 * capacity));
    Store32(view + kOffsetCursor, static_cast<DWORD>(kHeaderSize + 12 * capacity));
  } else if (std::memcmp(view + kOffsetSignature, kSignature, sizeof(kSignature)) != 0) {
    hr = E_FAIL;
  }
  if (SUCCEEDED(hr)) {
    std::lock_guard hold(g_table_lock);
    try {
      if (!g_pools) {
        hr = E_FAIL;
      } else {
        if (g_pools->size() == g_pools->capacity()) g_pools->reserve(2 * g_pools->capacity());
        const auto at = std::lower_bound(g_pools->begin(), g_pools->end(), view,
                                         [](const PoolRecord& r, const BYTE* v) { return r.view < v; });
        g_pools->insert(at, PoolRecord{view, name, section, size});
      }
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
  }
  if (FAILED(hr)) {
    UnmapViewOfFile(view);
    CloseHandle(section);
    return hr;
  }
  *out = view;
  return S_OK;
}

HANDLE OpenEntryMutex(const Pool& pool, const Entry& entry) {
  try {
    const std::string mutex_name = "SMEM." + pool.name + "." + entry.name;
    return CreateMutexA(nullptr, FALSE, mutex_name.c_str());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void SmemProcessAttach() {
  std::lock_guard hold(g_table_lock);
  if (!g_pools) {
    g_pools = new (std::nothrow) std::vector<PoolRecord>();
    if (g_pools) {
      try {
        g_pools->reserve(kInitialRoom);
      } catch (const std::bad_alloc&) {
        delete g_pools;
        g_pools = nullptr;
      }
    }
  }
  if (!g_creation_mutex) g_creation_mutex = CreateMutexA(nullptr, FALSE, kCreationMutexName);
}

void SmemProcessDetach() {
  SmemClosePools();
  std::lock_guard hold(g_table_lock);
  delete g_pools;
  g_pools = nullptr;
  if (g_creation_mutex) CloseHandle(g_creation_mutex);
  g_creation_mutex = nullptr;
}

HRESULT SmemOpenPool(const char* name, DWORD data_size, DWORD capacity, BYTE** view) {
  if (view) *view = nullptr;
  if (!name || !view) return E_INVALIDARG;
  const std::uint64_t size = std::uint64_t{data_size} + 12ull * capacity + kHeaderSize;
  if (size > 0xFFFFFFFFull || capacity > 0x7FFFFFFF) return E_INVALIDARG;
  HANDLE creation = nullptr;
  {
    std::lock_guard hold(g_table_lock);
    creation = g_creation_mutex;
  }
  if (!creation || !WaitForMutex(creation)) return E_FAIL;
  const HRESULT hr = OpenLocked(name, static_cast<DWORD>(size), capacity, view);
  ReleaseMutex(creation);
  return hr;
}

HRESULT SmemAddEntry(BYTE* view, const char* name, const void* data, DWORD length, LONG* index) {
  if (!name || !index || (length && !data)) return E_INVALIDARG;
  Pool pool;
  if (!ReadHeader(view, &pool)) return E_FAIL;
  const LONG existing = FindEntry(pool, name);
  if (existing == kDamaged) return E_FAIL;
  if (existing >= 0) {
    *index = existing;
    return S_FALSE;
  }
  HANDLE mutex = nullptr;
  try {
    mutex = CreateMutexA(nullptr, FALSE, ("SMEM." + pool.name).c_str());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (!mutex) return E_FAIL;
  HRESULT hr = E_FAIL;
  if (WaitForMutex(mutex)) {
    hr = AddLocked(view, name, data, length, index);
    ReleaseMutex(mutex);
  }
  CloseHandle(mutex);
  return hr;
}

HRESULT SmemReadEntry(BYTE* view, LONG index, void* buffer, DWORD* length) {
  if (!length || (!buffer && *length)) return E_INVALIDARG;
  Pool pool;
  Entry entry;
  if (!ReadHeader(view, &pool) || !ReadEntry(pool, index, &entry)) return E_FAIL;
  const DWORD copied = std::min(entry.length, *length);
  if (copied) std::memcpy(buffer, entry.data, copied);
  *length = copied;
  return S_OK;
}

HRESULT SmemLockEntry(BYTE* view, LONG index, HANDLE* mutex) {
  if (!mutex) return E_INVALIDARG;
  *mutex = nullptr;
  Pool pool;
  Entry entry;
  if (!ReadHeader(view, &pool) || !ReadEntry(pool, index, &entry)) return E_FAIL;
  const HANDLE handle = OpenEntryMutex(pool, entry);
  if (!handle) return E_FAIL;
  if (!WaitForMutex(handle)) {
    CloseHandle(handle);
    return E_FAIL;
  }
  *mutex = handle;
  return S_OK;
}

void SmemUnlockEntry(HANDLE mutex) {
  if (!mutex) return;
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

HRESULT SmemApply(BYTE* view, LONG index, bool lock, SmemFunction fn, void* argument) {
  if (!fn) return E_INVALIDARG;
  Pool pool;
  Entry entry;
  if (!ReadHeader(view, &pool) || !ReadEntry(pool, index, &entry)) return E_FAIL;
  if (!lock) return fn(entry.name, entry.data, argument);
  const HANDLE mutex = OpenEntryMutex(pool, entry);
  if (!mutex) return E_FAIL;
  HRESULT hr = E_FAIL;
  if (WaitForMutex(mutex)) {
    hr = fn(entry.name, entry.data, argument);
    ReleaseMutex(mutex);
  }
  CloseHandle(mutex);
  return hr;
}

void SmemClosePools() {
  std::vector<PoolRecord> closing;
  {
    std::lock_guard hold(g_table_lock);
    if (!g_pools) return;
    closing.swap(*g_pools);
    try {
      g_pools->reserve(kInitialRoom);
    } catch (const std::bad_alloc&) {
      // The table grows again on the next open.
    }
  }
  for (auto it = closing.rbegin(); it != closing.rend(); ++it) {
    UnmapViewOfFile(it->view);
    CloseHandle(it->section);
  }
}

BYTE* SmemFindPool(const char* name) {
  if (!name) return nullptr;
  std::lock_guard hold(g_table_lock);
  if (!g_pools) return nullptr;
  for (const auto& record : *g_pools) {
    if (record.name == name) return record.view;
  }
  return nullptr;
}

}  // namespace tesk::sync
