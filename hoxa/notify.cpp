// Arrival and removal notices through a hidden window that receives WM_DEVICECHANGE.
#include "module_state.h"

#include <tesk/win32/dbt.h>
#include <tesk/win32/winuser.h>

using hoxa::State;

namespace {

constexpr char kNotifyClass[] = "HoxaNotifyWindow";

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcA(window, message, wParam, lParam);

  const hoxa::ModuleState& state = State();
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
  if (state.notify_proc && header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
    const auto* notice = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
    if (wParam == DBT_DEVICEARRIVAL)
      state.notify_proc(HOXA_NOTIFY_ARRIVAL, notice->dbcc_name, state.notify_context);
    else if (wParam == DBT_DEVICEREMOVECOMPLETE)
      state.notify_proc(HOXA_NOTIFY_REMOVAL, notice->dbcc_name, state.notify_context);
  }
  // Every device-change message is granted, removal queries included.
  return TRUE;
}

}  // namespace

extern "C" HOXA_API BOOL WINAPI Hoxa_RegisterNotifyProc(HoxaNotifyProc proc, DWORD context) {
  // Through void (*)(), the one function pointer type that converts to any other unwarned.
  if (proc && IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(proc)))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  hoxa::ModuleState& state = State();
  state.notify_proc = proc;
  state.notify_context = context;
  if (!proc || state.notify_window) return TRUE;

  // A class left registered by an earlier load is reused, so the result does not matter.
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = NotifyWindowProc;
  window_class.hInstance = state.instance;
  window_class.lpszClassName = kNotifyClass;
  RegisterClassA(&window_class);

  state.notify_window =
      CreateWindowExA(0, kNotifyClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, state.instance, nullptr);
  if (!state.notify_window) return FALSE;

  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof(filter);
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_CLASS_HOXA_DEVICE;
  // The registration lives as long as the window; its handle is not needed.
  return RegisterDeviceNotificationA(state.notify_window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) ? TRUE
                                                                                                : FALSE;
}
