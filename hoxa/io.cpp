// Opening a player and the two requests to its access driver.
#include "module_state.h"

#include <tesk/win32/winbase.h>

namespace {

// A null count pointer is allowed; anything else must take four bytes.
bool BadCountPointer(LPDWORD bytesReturned) {
  return bytesReturned && IsBadWritePtr(bytesReturned, sizeof(DWORD));
}

BOOL SendRequest(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID buffer, DWORD bufferSize,
                 LPDWORD bytesReturned) {
  DWORD discarded = 0;
  return DeviceIoControl(device, code, input, inputSize, buffer, bufferSize,
                         bytesReturned ? bytesReturned : &discarded, nullptr);
}

}  // namespace

extern "C" HOXA_API HANDLE WINAPI Hoxa_OpenDevice(LPCSTR devicePath, DWORD flags) {
  if (IsBadStringPtrA(devicePath, ~UINT_PTR{0})) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD share = (flags & HOXA_OPEN_EXCLUSIVE) ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
  return CreateFileA(devicePath, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

extern "C" HOXA_API BOOL WINAPI Hoxa_CloseDevice(HANDLE device) {
  return CloseHandle(device);
}

extern "C" HOXA_API BOOL WINAPI Hoxa_GetDescriptor(HANDLE device, BYTE descriptorType, BYTE descriptorIndex,
                                                   WORD languageId, LPVOID buffer, DWORD bufferSize,
                                                   LPDWORD bytesReturned) {
  if (IsBadWritePtr(buffer, bufferSize) || BadCountPointer(bytesReturned)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HoxaDescriptorRequest request{descriptorType, descriptorIndex, languageId};
  return SendRequest(device, HOXA_IOCTL_GET_DESCRIPTOR, &request, sizeof(request), buffer, bufferSize,
                     bytesReturned);
}

extern "C" HOXA_API BOOL WINAPI Hoxa_ControlTransfer(HANDLE device, BYTE request, WORD value, WORD index,
                                                     LPVOID buffer, DWORD bufferSize, LPDWORD bytesReturned,
                                                     DWORD requestType) {
  // Checked for reading even when the transfer fills the buffer.
  if (IsBadReadPtr(buffer, bufferSize) || BadCountPointer(bytesReturned)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HoxaControlRequest setup{requestType, static_cast<BYTE>(requestType & 0xFF), request, value, index};
  return SendRequest(device, HOXA_IOCTL_CONTROL_TRANSFER, &setup, sizeof(setup), buffer, bufferSize,
                     bytesReturned);
}
