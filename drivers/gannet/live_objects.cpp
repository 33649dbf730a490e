// The table of live driver objects, reported at unload when something was not released.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gannet.h"

#include <tesk/win32/fileapi.h>
#include <tesk/win32/winbase.h>

namespace gannet {
namespace {

constexpr char kReportFile[] = "c:\\temp\\debug.out";
constexpr char kRule[] = "==================================================================\n";

struct LiveObject {
  IUnknown* object;
  char* class_name;
};

// Sorted by address; grows by doubling from 32 entries. Made and freed by the module's entry
// point rather than by a constructor and destructor, so that it is still there for the
// report at unload whatever order the module's statics go in.
struct LiveTable {
  CRITICAL_SECTION lock;
  LiveObject* entries;
  std::size_t count;
  std::size_t capacity;

  void Init() {
    InitializeCriticalSection(&lock);
    entries = static_cast<LiveObject*>(std::calloc(32, sizeof(LiveObject)));
    count = 0;
    capacity = entries ? 32 : 0;
  }
  void Free() {
    for (std::size_t i = 0; i < count; ++i) std::free(entries[i].class_name);
    std::free(entries);
    entries = nullptr;
    count = capacity = 0;
    DeleteCriticalSection(&lock);
  }

  // The first position whose address is not below object.
  std::size_t LowerBound(const IUnknown* object) const {
    std::size_t low = 0, high = count;
    while (low < high) {
      const std::size_t middle = low + (high - low) / 2;
      if (entries[middle].object < object)
        low = middle + 1;
      else
        high = middle;
    }
    return low;
  }

  void Insert(IUnknown* object, const char* class_name) {
    if (count == capacity) {
      const std::size_t grown = capacity == 0 ? 32 : capacity * 2;
      auto* larger = static_cast<LiveObject*>(std::realloc(entries, grown * sizeof(LiveObject)));
      if (!larger) return;
      entries = larger;
      capacity = grown;
    }
    char* name = strdup(class_name ? class_name : "");
    if (!name) return;
    const std::size_t at = LowerBound(object);
    std::memmove(entries + at + 1, entries + at, (count - at) * sizeof(LiveObject));
    entries[at] = {object, name};
    ++count;
  }

  void Remove(const IUnknown* object) {
    const std::size_t at = LowerBound(object);
    if (at == count || entries[at].object != object) return;
    std::free(entries[at].class_name);
    std::memmove(entries + at, entries + at + 1, (count - at - 1) * sizeof(LiveObject));
    --count;
  }
};

LiveTable g_table;

LiveTable& Table() {
  return g_table;
}

class TableLock {
 public:
  TableLock() { EnterCriticalSection(&Table().lock); }
  ~TableLock() { LeaveCriticalSection(&Table().lock); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
};

// Appends one line to the report file, opening and closing it each time; a file that cannot
// be opened gets nothing.
__attribute__((format(printf, 1, 2))) void ReportLine(const char* format, ...) {
  char line[4095];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  if (length < 0) return;
  const DWORD size =
      static_cast<DWORD>(length) < sizeof(line) ? static_cast<DWORD>(length) : sizeof(line) - 1;
  const HANDLE file = CreateFileA(kReportFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  SetFilePointer(file, 0, nullptr, FILE_END);
  DWORD written = 0;
  WriteFile(file, line, size, &written, nullptr);
  CloseHandle(file);
}

}  // namespace

void LiveObjectAdded(IUnknown* object, const char* class_name) {
  Counters().ObjectCreated();
  TableLock lock;
  Table().Insert(object, class_name);
}

void LiveObjectRemoved(IUnknown* object) {
  {
    TableLock lock;
    Table().Remove(object);
  }
  Counters().ObjectDestroyed();
}

void InitLiveObjects() {
  Table().Init();
}

void FreeLiveObjects() {
  Table().Free();
}

void ReportLiveObjects() {
  TableLock lock;
  LiveTable& table = Table();
  if (table.count == 0) return;
  ReportLine("%d Unreleased interfaces:\n", static_cast<int>(table.count));
  ReportLine("%s", kRule);
  ReportLine("  %25s  %15s\n", "Class name", "Reference Count");
  ReportLine("  -------------------------  ---------------\n");
  for (std::size_t i = 0; i < table.count; ++i) {
    IUnknown* object = table.entries[i].object;
    object->AddRef();
    const ULONG references = object->Release();
    ReportLine("  %25s %15d\n", table.entries[i].class_name, static_cast<int>(references));
  }
  ReportLine("%s", kRule);
  ReportLine("\n");
}

}  // namespace gannet
