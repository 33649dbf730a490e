// What the sync tests and their helper process share: the driver identity the locks use and
// flags, named mutexes that one process raises and another waits to see.
#pragma once

#include <string>

#include <tesk/win32/windows.h>

namespace tesk::sync::testing {

// {028D6280-A219-11D5-98A1-00105AA9FECC}
inline constexpr GUID kDriver = {
    0x028d6280, 0xa219, 0x11d5, {0x98, 0xa1, 0x00, 0x10, 0x5a, 0xa9, 0xfe, 0xcc}};
inline constexpr char kDriverText[] = "028d6280-a219-11d5-98a1-00105aa9fecc";

inline std::string FlagName(const std::string& flag) {
  return "SyncTest.flag." + flag;
}

// A raised flag stays up while the returned handle is open.
inline HANDLE RaiseFlag(const std::string& flag) {
  return CreateMutexA(nullptr, FALSE, FlagName(flag).c_str());
}

// Looks for the flag until it is up; false only if it never comes (a broken test, not a
// slow machine: the limit is far beyond any wait the tests make).
inline bool AwaitFlag(const std::string& flag) {
  for (int i = 0; i < 60000; ++i) {
    if (HANDLE h = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, FlagName(flag).c_str())) {
      CloseHandle(h);
      return true;
    }
    Sleep(1);
  }
  return false;
}

}  // namespace tesk::sync::testing
