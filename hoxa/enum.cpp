// Enumeration of the players' interfaces by index.
#include <cstdlib>

#include "module_state.h"

#include <tesk/win32/winbase.h>

using hoxa::State;

extern "C" HOXA_API BOOL WINAPI Hoxa_EnumDevices(DWORD index, LPSTR buffer, DWORD bufferSize) {
  if (IsBadWritePtr(buffer, bufferSize) || bufferSize == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  hoxa::ModuleState& state = State();
  if (index == 0) {
    hoxa::ReleaseSnapshot();
    state.snapshot = SetupDiGetClassDevsA(&GUID_CLASS_HOXA_DEVICE, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (state.snapshot == INVALID_HANDLE_VALUE) return FALSE;
  } else if (state.snapshot == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }

  SP_DEVICE_INTERFACE_DATA interface_data{};
  interface_data.cbSize = sizeof(interface_data);
  if (!SetupDiEnumDeviceInterfaces(state.snapshot, nullptr, &GUID_CLASS_HOXA_DEVICE, index, &interface_data))
    return FALSE;

  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(state.snapshot, &interface_data, nullptr, 0, &required, nullptr);
  if (required == 0) return FALSE;

  auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::malloc(required));
  if (!detail) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  SP_DEVINFO_DATA devinfo{};
  devinfo.cbSize = sizeof(devinfo);
  const BOOL ok =
      SetupDiGetDeviceInterfaceDetailA(state.snapshot, &interface_data, detail, required, nullptr, &devinfo);
  if (ok) hoxa::CopyCut(buffer, bufferSize, detail->DevicePath);
  std::free(detail);
  return ok;
}
