// Files and devices opened by name, and requests to a device's driver.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_WRITE_THROUGH 0x80000000

// Specific access rights of a file handle, besides GENERIC_READ and GENERIC_WRITE.
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    } s;
    PVOID Pointer;
  } u;
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

// I/O control codes.
#define CTL_CODE(DeviceType, Function, Method, Access) \
  ((static_cast<DWORD>(DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

extern "C" {
// A device interface's path (\\?\...) opens the device through its driver: an open with
// share mode 0 excludes every other open, in any process of the prefix, and a shared open
// excludes only an exclusive one (ERROR_SHARING_VIOLATION). DOS file paths resolve through
// the prefix's dosdevices/ folder.
TESK_WIN32_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                         LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                         DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                         HANDLE hTemplateFile);
TESK_WIN32_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                           DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                           LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);

// Files. Paths are in the ANSI code page. A DOS path ("E:\Music\a.lse") resolves through
// the prefix's dosdevices/<letter>: link; a component with no exact match falls back to a
// case-insensitive one in its folder. A relative path is taken against the process's current
// folder; an absolute Unix path ("/tmp/x") is used as it is. Share modes are enforced between
// every open of a file in any process of the prefix (ERROR_SHARING_VIOLATION). I/O is
// synchronous; an OVERLAPPED only carries the offset and is completed on return. A handle
// opened with FILE_APPEND_DATA and no other write right appends every write at the end.
TESK_WIN32_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                    LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
TESK_WIN32_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                     LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
TESK_WIN32_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);
TESK_WIN32_API DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
TESK_WIN32_API BOOL WINAPI GetFileSizeEx(HANDLE hFile, LARGE_INTEGER* lpFileSize);
TESK_WIN32_API DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                           DWORD dwMoveMethod);
TESK_WIN32_API BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                            LARGE_INTEGER* lpNewFilePointer, DWORD dwMoveMethod);
TESK_WIN32_API BOOL WINAPI SetEndOfFile(HANDLE hFile);
TESK_WIN32_API BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
TESK_WIN32_API BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
TESK_WIN32_API BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists);
TESK_WIN32_API DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
TESK_WIN32_API BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);
TESK_WIN32_API BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
TESK_WIN32_API BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName);
TESK_WIN32_API BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR lpDirectoryName,
                                               ULARGE_INTEGER* lpFreeBytesAvailableToCaller,
                                               ULARGE_INTEGER* lpTotalNumberOfBytes,
                                               ULARGE_INTEGER* lpTotalNumberOfFreeBytes);
// The full DOS form of a path; Unix paths come back as they are.
TESK_WIN32_API DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                                             LPSTR* lpFilePart);
// The process's current folder is the Linux one; it is shown in DOS form ("C:\temp") when
// it lies on a drive of the prefix, else as a Unix path.
TESK_WIN32_API DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
TESK_WIN32_API BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName);

// The volume name ("\\?\Volume{GUID}\") of a volume mount point: a drive's root ("E:\") or a
// volume interface's path with one trailing backslash.
TESK_WIN32_API BOOL WINAPI GetVolumeNameForVolumeMountPointA(LPCSTR lpszVolumeMountPoint,
                                                             LPSTR lpszVolumeName, DWORD cchBufferLength);
}
