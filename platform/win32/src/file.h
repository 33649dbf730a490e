// Files opened by CreateFileA: what device_file.cpp hands over for paths that name no device.
#pragma once

#include <tesk/win32/types.h>

namespace tesk::win32::internal {

// CreateFileA for a file or folder path (ANSI); sets the last error.
HANDLE OpenFileHandle(LPCSTR ansi_path, DWORD desired_access, DWORD share_mode, DWORD disposition,
                      DWORD flags_and_attributes);

}  // namespace tesk::win32::internal
