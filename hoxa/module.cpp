// hoxa's entry point and process-wide state.
#include <cstring>

#include "module_state.h"

#include <tesk/win32/winuser.h>

namespace hoxa {

ModuleState& State() {
  static ModuleState state;
  return state;
}

void ReleaseSnapshot() {
  ModuleState& state = State();
  if (state.snapshot != INVALID_HANDLE_VALUE) {
    SetupDiDestroyDeviceInfoList(state.snapshot);
    state.snapshot = INVALID_HANDLE_VALUE;
  }
}

void DestroyNotifyWindow() {
  ModuleState& state = State();
  if (state.notify_window) {
    DestroyWindow(state.notify_window);
    state.notify_window = nullptr;
  }
}

void CopyCut(LPSTR buffer, DWORD bufferSize, LPCSTR text) {
  const std::size_t length = std::strlen(text);
  const std::size_t count = length < bufferSize - 1 ? length : bufferSize - 1;
  std::memcpy(buffer, text, count);
  buffer[count] = '\0';
}

}  // namespace hoxa

static BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  hoxa::ModuleState& state = hoxa::State();
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      state.instance = instance;
      state.version = OSVERSIONINFOA{};
      state.version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
      return GetVersionExA(&state.version);
    case DLL_PROCESS_DETACH:
      hoxa::ReleaseSnapshot();
      hoxa::DestroyNotifyWindow();
      break;
    default:
      break;
  }
  return TRUE;
}
TESK_DLL_ENTRY(DllMain)
