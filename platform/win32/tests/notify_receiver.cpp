// A process with a window registered for one interface class.
//   notify_receiver die <class GUID>             registers, then is killed on the spot
//   notify_receiver receive <class GUID> <fifo>  registers, writes "ready" to the FIFO, and
//                                                prints the first notice its window gets
// Exits 0 after printing a notice, 1 when none came or registering failed, 2 for bad
// arguments. The window and its registration are left for the process's end to clean up.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <tesk/win32/windows.h>

namespace {

bool g_received = false;

LRESULT CALLBACK NoticeProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_DEVICECHANGE || g_received) return DefWindowProcA(hwnd, message, wparam, lparam);
  const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lparam);
  RPC_CSTR text = nullptr;
  UuidToStringA(&record->dbcc_classguid, &text);
  std::printf("event=%#x type=%u size=%u class=%s name=%s\n", static_cast<unsigned>(wparam),
              static_cast<unsigned>(record->dbcc_devicetype), static_cast<unsigned>(record->dbcc_size),
              reinterpret_cast<const char*>(text), record->dbcc_name);
  RpcStringFreeA(&text);
  g_received = true;
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  GUID interface_class{};
  if ((mode != "die" && mode != "receive") || argc < (mode == "die" ? 3 : 4) ||
      UuidFromStringA(reinterpret_cast<RPC_CSTR>(argv[2]), &interface_class) != RPC_S_OK) {
    std::fprintf(stderr, "usage: notify_receiver die|receive <class GUID> [fifo]\n");
    return 2;
  }

  WNDCLASSA window_class{};
  window_class.lpfnWndProc = NoticeProc;
  window_class.lpszClassName = "NotifyReceiver";
  HWND window = nullptr;
  if (RegisterClassA(&window_class)) {
    window = CreateWindowExA(0, "NotifyReceiver", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  }
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = interface_class;
  if (!window || !RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE)) {
    std::printf("cannot register: %lu\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  if (mode == "die") raise(SIGKILL);

  const int ready = open(argv[3], O_WRONLY | O_CLOEXEC);
  if (ready < 0 || write(ready, "ready\n", 6) != 6) return 1;
  close(ready);
  while (!g_received) {
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageA(&msg);
      continue;
    }
    // A guard for a broken test, not a time limit on delivery.
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 30000, QS_ALLINPUT) == WAIT_TIMEOUT) {
      std::printf("no notice\n");
      return 1;
    }
  }
  return 0;
}
