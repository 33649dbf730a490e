// hoxa: user-mode access to portable players served by the player's USB access driver.
//
//   char path[MAX_PATH];
//   for (DWORD i = 0; Hoxa_EnumDevices(i, path, sizeof(path)); ++i) {
//     HANDLE device = Hoxa_OpenDevice(path, HOXA_OPEN_EXCLUSIVE);
//     ... Hoxa_GetDescriptor(device, 1, 0, 0, descriptor, 18, &count) ...
//     Hoxa_CloseDevice(device);
//   }
//
// Every function reports failure through the thread's last error.
#pragma once

#include <cstddef>

#include <tesk/win32/devtree.h>
#include <tesk/win32/fileapi.h>
#include <tesk/win32/types.h>

#if defined(TESK_BUILDING_HOXA)
#define HOXA_API TESK_EXPORT
#else
#define HOXA_API
#endif

// The access driver's interface class (one interface per attached player) and the class of
// the volumes that hold a player's storage.
using tesk::win32::GUID_CLASS_HOXA_DEVICE;
using tesk::win32::GUID_DEVINTERFACE_VOLUME;

// I/O control requests understood by the access driver.
#define HOXA_IOCTL_CONTROL_TRANSFER CTL_CODE(0x8000, 0x800, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define HOXA_IOCTL_GET_DESCRIPTOR CTL_CODE(0x8000, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
static_assert(HOXA_IOCTL_CONTROL_TRANSFER == 0x80002002u);
static_assert(HOXA_IOCTL_GET_DESCRIPTOR == 0x80002006u);

// Bit 0 of Hoxa_OpenDevice's flags: open without sharing.
#define HOXA_OPEN_EXCLUSIVE 0x00000001

// Events handed to a HoxaNotifyProc.
#define HOXA_NOTIFY_ARRIVAL 1
#define HOXA_NOTIFY_REMOVAL 2

#pragma pack(push, 1)

// Input of HOXA_IOCTL_GET_DESCRIPTOR.
struct HoxaDescriptorRequest {
  BYTE DescriptorType;
  BYTE DescriptorIndex;
  WORD LanguageId;
};

// Input of HOXA_IOCTL_CONTROL_TRANSFER. Bytes 4 to 9 are the first six bytes of the USB setup
// packet; its length is the size of the data buffer that travels as the request's output.
struct HoxaControlRequest {
  DWORD Flags;  // the caller's requestType, all 32 bits
  BYTE RequestType;
  BYTE Request;
  WORD Value;
  WORD Index;
};

#pragma pack(pop)

static_assert(sizeof(HoxaDescriptorRequest) == 4);
static_assert(offsetof(HoxaDescriptorRequest, DescriptorIndex) == 1);
static_assert(offsetof(HoxaDescriptorRequest, LanguageId) == 2);
static_assert(sizeof(HoxaControlRequest) == 10);
static_assert(alignof(HoxaControlRequest) == 1);
static_assert(offsetof(HoxaControlRequest, RequestType) == 4);
static_assert(offsetof(HoxaControlRequest, Request) == 5);
static_assert(offsetof(HoxaControlRequest, Value) == 6);
static_assert(offsetof(HoxaControlRequest, Index) == 8);

// Called with HOXA_NOTIFY_ARRIVAL or HOXA_NOTIFY_REMOVAL, the interface's device path (valid
// only during the call) and the context given at registration. Runs on the thread that first
// registered a procedure, from within its message dispatch.
using HoxaNotifyProc = void(WINAPI*)(DWORD event, LPCSTR devicePath, DWORD context);

extern "C" {

// The device path of the index-th present player. Index 0 takes a new snapshot of the players;
// other indexes read the last one. Past the end: FALSE with ERROR_NO_MORE_ITEMS.
HOXA_API BOOL WINAPI Hoxa_EnumDevices(DWORD index, LPSTR buffer, DWORD bufferSize);

// Opens a device path for reading and writing; bit 0 of flags asks for an exclusive open.
HOXA_API HANDLE WINAPI Hoxa_OpenDevice(LPCSTR devicePath, DWORD flags);
HOXA_API BOOL WINAPI Hoxa_CloseDevice(HANDLE device);

// Reads a USB descriptor into buffer; bytesReturned may be null.
HOXA_API BOOL WINAPI Hoxa_GetDescriptor(HANDLE device, BYTE descriptorType, BYTE descriptorIndex,
                                        WORD languageId, LPVOID buffer, DWORD bufferSize,
                                        LPDWORD bytesReturned);

// A USB control transfer whose data stage is buffer. requestType comes last.
HOXA_API BOOL WINAPI Hoxa_ControlTransfer(HANDLE device, BYTE request, WORD value, WORD index, LPVOID buffer,
                                          DWORD bufferSize, LPDWORD bytesReturned, DWORD requestType);

// The bare drive letters (no colons) under which the player's storage is mounted, e.g. "EF".
HOXA_API BOOL WINAPI Hoxa_GetLogicalDrives(LPCSTR devicePath, LPSTR buffer, DWORD bufferSize);

// Arrival and removal notices to proc (null switches them off). The thread of the first call
// with a proc must retrieve and dispatch window messages for notices to arrive.
HOXA_API BOOL WINAPI Hoxa_RegisterNotifyProc(HoxaNotifyProc proc, DWORD context);

}  // extern "C"
