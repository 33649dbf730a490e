// The second process of the core's lock tests. Takes the busy word of a driver (index -1)
// or of one of its devices in the shared pool, as another program using the same player
// would, and holds it until told to let go:
//   core_lock_holder <driver clsid> <index> <status> <held event> <release event>
// Signals <held event> once it has tried (exit 2 when the word was already taken), waits
// for <release event>, unlocks and exits 0.
#include <cstdio>
#include <cstdlib>

#include <tesk/win32/windows.h>

#include "csync.h"
#include "smem.h"

namespace {

int Signal(const char* name) {
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
  if (!event || !SetEvent(event)) {
    std::printf("cannot signal %s: %lu\n", name, static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  CloseHandle(event);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::printf("usage: core_lock_holder <clsid> <index> <status> <held event> <release event>\n");
    return 1;
  }
  CLSID clsid;
  if (UuidFromStringA(reinterpret_cast<RPC_CSTR>(argv[1]), &clsid) != RPC_S_OK) {
    std::printf("not a class identifier: %s\n", argv[1]);
    return 1;
  }
  const auto index = static_cast<LONG>(std::strtol(argv[2], nullptr, 0));
  const auto status = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0));

  tesk::sync::SmemProcessAttach();
  BYTE* view = nullptr;
  HRESULT hr = tesk::sync::SmemOpenPool(tesk::sync::kPoolName, tesk::sync::kPoolDataSize,
                                        tesk::sync::kPoolCapacity, &view);
  if (FAILED(hr)) {
    std::printf("cannot open the pool: 0x%08x\n", static_cast<unsigned>(hr));
    return 1;
  }
  HANDLE release = OpenEventA(EVENT_ALL_ACCESS, FALSE, argv[5]);
  tesk::sync::CSync* lock = tesk::sync::CSync::Create(clsid, index, false);
  if (!release || !lock) {
    std::printf("cannot make the lock or open %s\n", argv[5]);
    return 1;
  }

  const bool held = lock->TryLock(status);
  int rc = Signal(argv[4]);
  if (!held) {
    std::printf("the word was taken already\n");
    rc = 2;
  } else if (rc == 0) {
    WaitForSingleObject(release, INFINITE);
  }
  if (held) lock->Unlock();
  lock->Release();
  CloseHandle(release);
  tesk::sync::SmemProcessDetach();
  return rc;
}
