// What user32's windows and device notifications need of each other.
#pragma once

#include <memory>

#include <tesk/win32/types.h>

namespace tesk::win32::internal {

// Posts a message whose lParam is `record`, from any thread. The record stays valid until
// DispatchMessageA for that message returns or, when the thread takes the message without
// dispatching it, until it takes its next one. False when the window is gone.
bool PostMessageWithRecord(HWND window, UINT message, WPARAM wparam, std::unique_ptr<char[]> record);

// Whether the window exists and its destruction has not begun.
bool IsLiveWindow(HWND window);

// The window's device notifications stop; called when it is destroyed or its thread ends,
// with no user32 lock held.
void ForgetDeviceNotifications(HWND window);

}  // namespace tesk::win32::internal
