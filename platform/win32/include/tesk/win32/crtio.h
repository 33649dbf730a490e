// The C runtime's directory search and permission calls, as the old 32-bit runtime had them.
#pragma once

#include <cstdint>

#include <tesk/win32/types.h>

// Attribute bits of a found entry.
#define _A_NORMAL 0x00
#define _A_RDONLY 0x01
#define _A_HIDDEN 0x02
#define _A_SYSTEM 0x04
#define _A_SUBDIR 0x10
#define _A_ARCH 0x20

// Permission bits of _chmod.
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080

// Times are 32-bit seconds since 1970 (UTC) and the size 32 bits, as the old runtime's
// time_t and _fsize_t were: times past 2038 read as INT32_MAX, sizes past 4 GiB as
// 0xFFFFFFFF. time_create is the birth time where the file system keeps one, else the last
// status change. name is in the ANSI code page; characters it cannot hold read as '?'.
using _fsize_t = std::uint32_t;
using __time32_t = std::int32_t;
struct _finddata_t {
  unsigned attrib;
  __time32_t time_create;
  __time32_t time_access;
  __time32_t time_write;
  _fsize_t size;
  char name[260];
};

extern "C" {
// Searches for entries matching a path whose last component may hold '*' and '?' ("*.*"
// matches every name, with or without a dot); DOS and Unix paths alike. A folder's "." and
// ".." are reported as the old runtime did. -1 with errno ENOENT when nothing matches (or the
// folder is missing), EINVAL for bad arguments; otherwise a handle for _findnext/_findclose.
TESK_WIN32_API std::intptr_t _findfirst(const char* filespec, _finddata_t* fileinfo);
// 0 and the next entry; -1 with errno ENOENT at the end, EINVAL for a bad handle.
TESK_WIN32_API int _findnext(std::intptr_t handle, _finddata_t* fileinfo);
TESK_WIN32_API int _findclose(std::intptr_t handle);
// Makes a file read-only (_S_IREAD alone) or writable (_S_IWRITE): the owner's write bit.
// 0, or -1 with errno ENOENT (missing), EINVAL (bad mode).
TESK_WIN32_API int _chmod(const char* filename, int pmode);
}
