// The last error: one value per thread, as on Windows.
#include <tesk/win32/winbase.h>

namespace {
thread_local DWORD g_last_error = ERROR_SUCCESS;
}  // namespace

extern "C" {

DWORD WINAPI GetLastError() {
  return g_last_error;
}

void WINAPI SetLastError(DWORD dwErrCode) {
  g_last_error = dwErrCode;
}

}  // extern "C"
