// The configuration manager: walking the device tree and its nodes' keys.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

using CONFIGRET = DWORD;
using DEVINST = DWORD;
using PDEVINST = DEVINST*;
using DEVNODE = DWORD;
using HMACHINE = HANDLE;
using DEVINSTID_A = CHAR*;
using REGDISPOSITION = ULONG;

#define MAX_DEVICE_ID_LEN 200

#define CR_SUCCESS 0x00000000
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A
#define CR_REGISTRY_ERROR 0x0000001B
#define CR_INVALID_DEVICE_ID 0x0000001E
#define CR_NO_SUCH_VALUE 0x00000025
#define CR_INVALID_DATA 0x0000001F
#define CR_NO_SUCH_REGISTRY_KEY 0x0000002E

#define CM_LOCATE_DEVNODE_NORMAL 0x00000000
#define CM_LOCATE_DEVNODE_PHANTOM 0x00000001

#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001

#define RegDisposition_OpenAlways 0x00000000
#define RegDisposition_OpenExisting 0x00000001
#define CM_REGISTRY_HARDWARE 0x00000000
#define CM_REGISTRY_SOFTWARE 0x00000001

extern "C" {
TESK_WIN32_API CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
TESK_WIN32_API CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
TESK_WIN32_API CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
TESK_WIN32_API CONFIGRET WINAPI CM_Get_Device_ID_ExA(DEVINST dnDevInst, LPSTR Buffer, ULONG BufferLen,
                                                     ULONG ulFlags, HMACHINE hMachine);
TESK_WIN32_API CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, LPSTR Buffer, ULONG BufferLen,
                                                  ULONG ulFlags);
TESK_WIN32_API CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags);
// The size, in characters, of the multi-string of interface paths (with its final terminator).
TESK_WIN32_API CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeA(PULONG pulLen,
                                                                   const GUID* InterfaceClassGuid,
                                                                   DEVINSTID_A pDeviceID, ULONG ulFlags);
TESK_WIN32_API CONFIGRET WINAPI CM_Get_Device_Interface_ListA(const GUID* InterfaceClassGuid,
                                                              DEVINSTID_A pDeviceID, PCHAR Buffer,
                                                              ULONG BufferLen, ULONG ulFlags);
TESK_WIN32_API CONFIGRET WINAPI CM_Open_DevNode_Key(DEVINST dnDevNode, REGSAM samDesired,
                                                    ULONG ulHardwareProfile, REGDISPOSITION Disposition,
                                                    HKEY* phkDevice, ULONG ulFlags);
}
