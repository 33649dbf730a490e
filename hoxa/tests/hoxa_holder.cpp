// The other process of hoxa's open tests:
//   hoxa_holder <device path> <flags> <ready event> <release event>
// opens the device through hoxa with the flags, sets the ready event and keeps the device
// open until the release event is set (a minute at most, so a failed test leaves nothing
// behind). "error N" and exit 1 when the open fails.
#include <cstdio>
#include <cstdlib>

#include <tesk/hoxa.h>
#include <tesk/win32/winbase.h>

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[3]);
  const HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, argv[4]);
  if (!ready || !release) {
    std::printf("events: error %u\n", GetLastError());
    return 2;
  }
  const HANDLE device = Hoxa_OpenDevice(argv[1], static_cast<DWORD>(std::strtoul(argv[2], nullptr, 0)));
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("error %u\n", GetLastError());
    return 1;
  }
  SetEvent(ready);
  const DWORD waited = WaitForSingleObject(release, 60000);
  Hoxa_CloseDevice(device);
  CloseHandle(ready);
  CloseHandle(release);
  return waited == WAIT_OBJECT_0 ? 0 : 3;
}
