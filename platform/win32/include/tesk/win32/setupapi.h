// SetupAPI: device information sets over the device tree (HKLM\System\CurrentControlSet\Enum
// for nodes, ...\Control\DeviceClasses for interfaces).
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

using HDEVINFO = void*;

#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

#define DIODI_NO_ADD 0x00000001

// Size fields hold this build's sizeof: 32, 32 and 8.
struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_A = SP_DEVICE_INTERFACE_DETAIL_DATA_A*;

extern "C" {
// The interfaces of one class (DIGCF_DEVICEINTERFACE), present ones only with DIGCF_PRESENT.
// A snapshot: later arrivals are not in it.
TESK_WIN32_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND hwndParent,
                                                    DWORD Flags);
TESK_WIN32_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
// Past the last member: FALSE with ERROR_NO_MORE_ITEMS.
TESK_WIN32_API BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                       PSP_DEVINFO_DATA DeviceInfoData,
                                                       const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                       PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
// With no detail buffer: FALSE, ERROR_INSUFFICIENT_BUFFER and the size needed (the devinfo
// data is filled all the same when given). A detail record whose cbSize is not this build's
// sizeof: ERROR_INVALID_USER_BUFFER.
TESK_WIN32_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
TESK_WIN32_API BOOL WINAPI SetupDiOpenDeviceInterfaceA(HDEVINFO DeviceInfoSet, LPCSTR DevicePath,
                                                       DWORD OpenFlags,
                                                       PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
}
