// What hoxa keeps per process, set up at load and torn down at unload. Nothing here is
// locked: a client enumerates from one thread at a time and pumps notices on one thread.
#pragma once

#include <tesk/hoxa.h>
#include <tesk/win32/setupapi.h>
#include <tesk/win32/winbase.h>

namespace hoxa {

struct ModuleState {
  HINSTANCE instance = nullptr;              // instance of the notify window class and window
  OSVERSIONINFOA version{};                  // only the platform id is used
  HDEVINFO snapshot = INVALID_HANDLE_VALUE;  // taken by Hoxa_EnumDevices at index 0
  HoxaNotifyProc notify_proc = nullptr;
  DWORD notify_context = 0;
  HWND notify_window = nullptr;  // created once
};

ModuleState& State();

// Releases the enumeration snapshot if there is one.
void ReleaseSnapshot();
// Destroys the notify window if there is one.
void DestroyNotifyWindow();

// Copies text into buffer, cut to bufferSize - 1 bytes and terminated; bufferSize > 0.
void CopyCut(LPSTR buffer, DWORD bufferSize, LPCSTR text);

}  // namespace hoxa
