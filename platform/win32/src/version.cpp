// GetVersionExA: the NT family, or the Windows 98 family when the setting asks for it.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <tesk/win32/winbase.h>

namespace {

// Read on every call, so that a test (or a tool) can switch families while it runs.
bool Windows9xFamily() {
  const char* family = std::getenv("TESK_WINDOWS_FAMILY");
  return family && (std::string_view(family) == "9x" || std::string_view(family) == "9X");
}

}  // namespace

extern "C" {

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (!lpVersionInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  if (Windows9xFamily()) {
    // Windows 98 Second Edition. The 9x family keeps the version in the build number's
    // high word.
    info.dwMajorVersion = 4;
    info.dwMinorVersion = 10;
    info.dwBuildNumber = (4u << 24) | (10u << 16) | 2222u;
    info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    std::strcpy(info.szCSDVersion, " A ");
  } else {
    // Windows XP with its second service pack.
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    info.dwBuildNumber = 2600;
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::strcpy(info.szCSDVersion, "Service Pack 2");
  }
  *lpVersionInformation = info;
  return TRUE;
}

}  // extern "C"
