// Announces device interface changes to every process of the prefix, as the device tree does.
//   notify_broadcast (arrival|removal <class GUID> <interface path>)...
// Exits 0 once every notice has been handed out, 2 for bad arguments.
#include <cstdio>
#include <string>

#include <tesk/win32/windows.h>

#include "device_notify.h"

int main(int argc, char** argv) {
  if (argc < 4 || (argc - 1) % 3 != 0) {
    std::fprintf(stderr, "usage: notify_broadcast (arrival|removal <class GUID> <path>)...\n");
    return 2;
  }
  for (int i = 1; i + 2 < argc; i += 3) {
    const std::string event = argv[i];
    GUID interface_class{};
    if ((event != "arrival" && event != "removal") ||
        UuidFromStringA(reinterpret_cast<RPC_CSTR>(argv[i + 1]), &interface_class) != RPC_S_OK) {
      std::fprintf(stderr, "bad notice: %s %s\n", argv[i], argv[i + 1]);
      return 2;
    }
    tesk::win32::internal::BroadcastDeviceInterfaceChange(interface_class, argv[i + 2], event == "arrival");
  }
  return 0;
}
