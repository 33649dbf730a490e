// The other process of the sync tests. Runs its arguments as commands, in order, and prints
// one line per command:
//   open                      SmemOpenPool of TeskSyncPool         "open <hr>"
//   add <name> <word>         SmemAddEntry of one DWORD            "add <hr> <index>"
//   addmany <prefix> <n>      adds <prefix>0 .. <prefix>n-1        "addmany <index> ..."
//   count                     entries in use                       "count <n>"
//   trylock <device> <status> TryLock on the test driver's device  "trylock <0|1>"
//   unlock <device>           Unlock                               "unlock"
//   status <device>           GetStatus                            "status 0x<word>"
//   enter <device>            EnterIfIdle                          "enter <0|1>"
//   dump <bytes>              the first bytes of TeskSyncPool through OpenFileMappingA, in hex
//   section <size> <text>     a plain section named TeskSyncPool starting with <text>
//   raise <flag> / await <flag>   see sync_support.h
//   hang                      waits to be killed
// Exits 0 when every command ran, 2 on a command it does not know or that failed to run.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "csync.h"
#include "smem.h"
#include "sync_support.h"

namespace {

using namespace tesk::sync;

std::map<LONG, CSync*> g_locks;
std::vector<HANDLE> g_handles;
std::vector<void*> g_views;

CSync* Lock(const char* device) {
  const LONG index = std::atoi(device);
  auto& lock = g_locks[index];
  if (!lock) lock = CSync::Create(testing::kDriver, index, false);
  return lock;
}

DWORD Number(const char* text) {
  return static_cast<DWORD>(std::strtoul(text, nullptr, 0));
}

// Runs the command at args[i]; returns how many arguments it used, 0 when it failed.
int Run(char** args, int left) {
  const std::string command = args[0];
  auto need = [&](int n) { return left > n; };
  if (command == "open") {
    BYTE* view = nullptr;
    std::printf("open 0x%08x\n",
                static_cast<unsigned>(SmemOpenPool(kPoolName, kPoolDataSize, kPoolCapacity, &view)));
    return 1;
  }
  if (command == "add" && need(2)) {
    const DWORD word = Number(args[2]);
    LONG index = -1;
    const HRESULT hr = SmemAddEntry(SmemFindPool(kPoolName), args[1], &word, sizeof(word), &index);
    std::printf("add 0x%08x %ld\n", static_cast<unsigned>(hr), static_cast<long>(index));
    return 3;
  }
  if (command == "addmany" && need(2)) {
    std::string line = "addmany";
    const int n = std::atoi(args[2]);
    for (int i = 0; i < n; ++i) {
      const std::string name = std::string(args[1]) + std::to_string(i);
      const DWORD word = 0;
      LONG index = -1;
      if (FAILED(SmemAddEntry(SmemFindPool(kPoolName), name.c_str(), &word, sizeof(word), &index)))
        index = -1;
      line += " " + std::to_string(index);
    }
    std::printf("%s\n", line.c_str());
    return 3;
  }
  if (command == "count") {
    const BYTE* view = SmemFindPool(kPoolName);
    DWORD count = 0;
    if (view) std::memcpy(&count, view + kOffsetCount, sizeof(count));
    std::printf("count %lu\n", static_cast<unsigned long>(count));
    return view ? 1 : 0;
  }
  if (command == "trylock" && need(2)) {
    CSync* lock = Lock(args[1]);
    if (!lock) return 0;
    std::printf("trylock %d\n", lock->TryLock(Number(args[2])) ? 1 : 0);
    return 3;
  }
  if (command == "unlock" && need(1)) {
    CSync* lock = Lock(args[1]);
    if (!lock) return 0;
    lock->Unlock();
    std::printf("unlock\n");
    return 2;
  }
  if (command == "status" && need(1)) {
    CSync* lock = Lock(args[1]);
    if (!lock) return 0;
    std::printf("status 0x%08lx\n", static_cast<unsigned long>(lock->GetStatus()));
    return 2;
  }
  if (command == "enter" && need(1)) {
    CSync* lock = Lock(args[1]);
    if (!lock) return 0;
    std::printf("enter %d\n", lock->EnterIfIdle() ? 1 : 0);
    return 2;
  }
  if (command == "dump" && need(1)) {
    const DWORD bytes = Number(args[1]);
    const HANDLE section = OpenFileMappingA(FILE_MAP_READ, FALSE, kPoolName);
    if (!section) return 0;
    const auto* view = static_cast<const BYTE*>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, bytes));
    if (!view) return 0;
    std::string hex = "dump ";
    for (DWORD i = 0; i < bytes; ++i) {
      char pair[3];
      std::snprintf(pair, sizeof(pair), "%02x", view[i]);
      hex += pair;
    }
    std::printf("%s\n", hex.c_str());
    UnmapViewOfFile(view);
    CloseHandle(section);
    return 2;
  }
  if (command == "section" && need(2)) {
    const DWORD size = Number(args[1]);
    const HANDLE section =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, kPoolName);
    if (!section) return 0;
    void* view = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0);
    if (!view) return 0;
    std::memcpy(view, args[2], std::min<std::size_t>(std::strlen(args[2]) + 1, size));
    g_views.push_back(view);
    g_handles.push_back(section);
    std::printf("section\n");
    return 3;
  }
  if (command == "raise" && need(1)) {
    const HANDLE flag = testing::RaiseFlag(args[1]);
    if (!flag) return 0;
    g_handles.push_back(flag);
    return 2;
  }
  if (command == "await" && need(1)) return testing::AwaitFlag(args[1]) ? 2 : 0;
  if (command == "hang") {
    for (;;) Sleep(1000);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SmemProcessAttach();
  int status = 0;
  for (int i = 1; i < argc;) {
    const int used = Run(argv + i, argc - i);
    std::fflush(stdout);
    if (!used) {
      std::printf("failed: %s\n", argv[i]);
      status = 2;
      break;
    }
    i += used;
  }
  for (auto& [index, lock] : g_locks) {
    if (lock) lock->Release();
  }
  for (void* view : g_views) UnmapViewOfFile(view);
  for (const HANDLE h : g_handles) CloseHandle(h);
  SmemProcessDetach();
  return status;
}
