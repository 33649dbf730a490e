// A second process for the named-object tests; it uses the prefix in TESK_PREFIX.
//   named_helper hold-mutex <mutex> <ready> [<release>]
//       takes the mutex, sets the event <ready>, then releases the mutex when the event
//       <release> is set and exits, or, without <release>, sleeps until killed
//   named_helper hold-all <name> <ready>
//       makes mutex <name>.m (owned), event <name>.e and a 64 KiB section <name>.s full of
//       0xAB, sets <ready> and sleeps until killed
//   named_helper wait-event <event> <done> [<ready>]
//       sets <ready> if given, waits for the event, then sets <done>
//   named_helper section-exchange <section> <expected text> <reply> <offset>
//       checks that the section starts with the text and writes the reply at the offset
//   named_helper open <mutex|event|section> <name>
//       prints the last error of opening the name (0 when it exists)
//   named_helper churn <rounds>
//       makes and closes the same few names over and over, racing another churn: takes mutex
//       churn.m<k> and, while it owns it, checks that nobody else is inside, counts the round
//       in the section churn.data (made by the test), and now and then makes section
//       churn.s<k> and checks that it is new and zeroed; meanwhile makes and closes events
//       churn.e<k>
//   named_helper stop-in-lock <name>
//       starts making section <name> and stops itself (SIGSTOP) inside the namespace lock
// Exits 0 on success, 1 with a message otherwise.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tesk/win32/windows.h>

namespace {

constexpr DWORD kLongWait = 20000;

int Fail(const char* what) {
  std::printf("%s failed: last error %lu\n", what, static_cast<unsigned long>(GetLastError()));
  return 1;
}

bool SetNamedEvent(const char* name) {
  const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (!event) return false;
  const BOOL ok = SetEvent(event);
  CloseHandle(event);
  return ok != FALSE;
}

int HoldMutex(const char* name, const char* ready, const char* release) {
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (!mutex) return Fail("CreateMutexA");
  if (WaitForSingleObject(mutex, kLongWait) != WAIT_OBJECT_0) return Fail("wait for the mutex");
  if (!SetNamedEvent(ready)) return Fail("set ready");
  if (!release) Sleep(INFINITE);
  const HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, release);
  if (!go || WaitForSingleObject(go, kLongWait) != WAIT_OBJECT_0) return Fail("wait for release");
  if (!ReleaseMutex(mutex)) return Fail("ReleaseMutex");
  return 0;
}

int HoldAll(const std::string& name, const char* ready) {
  if (!CreateMutexA(nullptr, TRUE, (name + ".m").c_str())) return Fail("CreateMutexA");
  if (!CreateEventA(nullptr, TRUE, FALSE, (name + ".e").c_str())) return Fail("CreateEventA");
  const HANDLE section =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x10000, (name + ".s").c_str());
  void* view = section ? MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
  if (!view) return Fail("section");
  std::memset(view, 0xAB, 0x10000);
  if (!SetNamedEvent(ready)) return Fail("set ready");
  Sleep(INFINITE);
  return 0;
}

int WaitEvent(const char* name, const char* done, const char* ready) {
  const HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
  if (!event) return Fail("OpenEventA");
  if (ready && !SetNamedEvent(ready)) return Fail("set ready");
  if (WaitForSingleObject(event, kLongWait) != WAIT_OBJECT_0) return Fail("wait");
  if (!SetNamedEvent(done)) return Fail("set done");
  return 0;
}

int SectionExchange(const char* name, const char* expected, const char* reply, const char* offset) {
  const HANDLE section = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
  if (!section) return Fail("OpenFileMappingA");
  auto* view = static_cast<char*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!view) return Fail("MapViewOfFile");
  if (std::strncmp(view, expected, std::strlen(expected)) != 0) {
    std::printf("the section holds \"%.40s\"\n", view);
    return 1;
  }
  std::strcpy(view + std::strtoul(offset, nullptr, 10), reply);
  UnmapViewOfFile(view);
  CloseHandle(section);
  return 0;
}

int Open(const std::string& kind, const char* name) {
  HANDLE handle = nullptr;
  if (kind == "mutex") handle = OpenMutexA(SYNCHRONIZE, FALSE, name);
  if (kind == "event") handle = OpenEventA(SYNCHRONIZE, FALSE, name);
  if (kind == "section") handle = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
  std::printf("%lu\n", handle ? 0ul : static_cast<unsigned long>(GetLastError()));
  if (handle) CloseHandle(handle);
  return 0;
}

// One per name of mutex; what the churning processes do under the mutex.
struct ChurnSlot {
  std::atomic<DWORD> inside;  // the process that owns the mutex, 0 when none
  DWORD rounds;               // counted without atomics: the mutex is the only guard
};
constexpr int kChurnNames = 4;

int Churn(const char* rounds_text) {
  const long rounds = std::strtol(rounds_text, nullptr, 10);
  const HANDLE data = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "churn.data");
  auto* slots = data ? static_cast<ChurnSlot*>(MapViewOfFile(data, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
  if (!slots) return Fail("churn.data");
  const DWORD self = GetCurrentProcessId();
  for (long round = 0; round < rounds; ++round) {
    const int k = static_cast<int>(round % kChurnNames);
    const std::string suffix = std::to_string(k);
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ("churn.e" + suffix).c_str());
    if (!event) return Fail("CreateEventA");
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, ("churn.m" + suffix).c_str());
    if (!mutex) return Fail("CreateMutexA");
    if (WaitForSingleObject(mutex, kLongWait) != WAIT_OBJECT_0) return Fail("wait for the mutex");
    DWORD nobody = 0;
    if (!slots[k].inside.compare_exchange_strong(nobody, self)) {
      std::printf("round %ld: process %lu owns churn.m%d too\n", round, static_cast<unsigned long>(nobody),
                  k);
      return 1;
    }
    const DWORD before = slots[k].rounds;
    if (round % 16 == 0) {
      const HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                                ("churn.s" + suffix).c_str());
      const DWORD error = GetLastError();
      auto* bytes =
          section ? static_cast<unsigned char*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
      if (!bytes) return Fail("churn section");
      if (error != ERROR_SUCCESS || bytes[0] != 0 || bytes[4095] != 0) {
        std::printf("round %ld: churn.s%d is not new (error %lu, %u)\n", round, k,
                    static_cast<unsigned long>(error), bytes[0]);
        return 1;
      }
      bytes[0] = bytes[4095] = 0xAB;
      UnmapViewOfFile(bytes);
      CloseHandle(section);
    } else if (round % 4 == 1) {
      sched_yield();  // let the other one run while we are inside
    }
    slots[k].rounds = before + 1;
    slots[k].inside.store(0);
    if (!ReleaseMutex(mutex)) return Fail("ReleaseMutex");
    CloseHandle(mutex);
    CloseHandle(event);
  }
  UnmapViewOfFile(slots);
  CloseHandle(data);
  return 0;
}

int StopInLock(const char* name) {
  setenv("TESK_NAMED_STOP_WHILE_LOCKED", name, 1);
  CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x10000, name);
  std::printf("did not stop\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "hold-mutex" && (argc == 4 || argc == 5))
    return HoldMutex(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
  if (command == "hold-all" && argc == 4) return HoldAll(argv[2], argv[3]);
  if (command == "wait-event" && (argc == 4 || argc == 5))
    return WaitEvent(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
  if (command == "section-exchange" && argc == 6) return SectionExchange(argv[2], argv[3], argv[4], argv[5]);
  if (command == "open" && argc == 4) return Open(argv[2], argv[3]);
  if (command == "churn" && argc == 3) return Churn(argv[2]);
  if (command == "stop-in-lock" && argc == 3) return StopInLock(argv[2]);
  std::printf(
      "usage: named_helper hold-mutex|hold-all|wait-event|section-exchange|open|churn|stop-in-lock ...\n");
  return 2;
}
