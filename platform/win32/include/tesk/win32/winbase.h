// Kernel32: last error, modules and their entry points, threads, events, critical
// sections, waits and interlocked operations.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

// ---- Last error ---------------------------------------------------------------------

extern "C" {
TESK_WIN32_API DWORD WINAPI GetLastError();
TESK_WIN32_API void WINAPI SetLastError(DWORD dwErrCode);
}

// ---- Modules ------------------------------------------------------------------------

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

using PDLLMAIN = BOOL(WINAPI*)(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

extern "C" {
// A path with a slash is loaded as given; a bare name is looked for next to the stand-in's
// own library, then where the system loader looks. NULL with ERROR_MOD_NOT_FOUND when it is
// nowhere, ERROR_BAD_FORMAT when it is not a module, ERROR_DLL_INIT_FAILED when its entry
// point refused the attach.
TESK_WIN32_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
TESK_WIN32_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
TESK_WIN32_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// NULL names the program. Length without terminator; a short buffer gets a truncated,
// terminated path, the result nSize and ERROR_INSUFFICIENT_BUFFER.
TESK_WIN32_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
// A loaded module by file name (with or without directory); NULL names the program.
TESK_WIN32_API HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);

// Called by TESK_DLL_ENTRY; not for direct use.
TESK_WIN32_API void TeskRunDllEntry(PDLLMAIN entry, const void* anchor, DWORD reason);
}

namespace tesk::win32 {
// GetProcAddress's answer as the export's own type. g++ warns about a direct cast between
// function pointer types; going through void (*)() is the sanctioned way.
template <class Fn>
Fn ProcAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}
}  // namespace tesk::win32

// Declares a module's entry point, once per module. The entry point is called with
// DLL_PROCESS_ATTACH when the module is loaded (by LoadLibraryA or as a dependency) and with
// DLL_PROCESS_DETACH when it is unloaded, lpvReserved non-null when the process is exiting.
#define TESK_DLL_ENTRY(entry)                                                      \
  namespace {                                                                      \
  struct TeskDllEntryRunner {                                                      \
    TeskDllEntryRunner() { TeskRunDllEntry(&(entry), this, DLL_PROCESS_ATTACH); }  \
    ~TeskDllEntryRunner() { TeskRunDllEntry(&(entry), this, DLL_PROCESS_DETACH); } \
    TeskDllEntryRunner(const TeskDllEntryRunner&) = delete;                        \
    TeskDllEntryRunner& operator=(const TeskDllEntryRunner&) = delete;             \
  };                                                                               \
  [[maybe_unused]] TeskDllEntryRunner tesk_dll_entry_runner;                       \
  }

// ---- System version and pointer checks ---------------------------------------------

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
using LPOSVERSIONINFOA = OSVERSIONINFOA*;
static_assert(sizeof(OSVERSIONINFOA) == 148);

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

extern "C" {
// The NT family (5.1, Windows XP) unless the setting TESK_WINDOWS_FAMILY=9x asks for the
// Windows 98/Me family (4.10), so that code written for both can be run both ways. The
// setting is read on every call.
TESK_WIN32_API BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

// Whether memory may be read, written or run, tested without touching it: a bad pointer is
// reported, never faulted on.
TESK_WIN32_API BOOL WINAPI IsBadReadPtr(const void* lp, UINT_PTR ucb);
TESK_WIN32_API BOOL WINAPI IsBadWritePtr(LPVOID lp, UINT_PTR ucb);
TESK_WIN32_API BOOL WINAPI IsBadStringPtrA(LPCSTR lpsz, UINT_PTR ucchMax);
TESK_WIN32_API BOOL WINAPI IsBadCodePtr(FARPROC lpfn);
}

// ---- Threads and synchronisation ----------------------------------------------------

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 0x00000103L

#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID lpThreadParameter);

// Room for the host's recursive mutex; the layout is private to the stand-in.
struct CRITICAL_SECTION {
  alignas(8) unsigned char opaque[48];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
using PCRITICAL_SECTION = CRITICAL_SECTION*;

extern "C" {
TESK_WIN32_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
TESK_WIN32_API BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                                 DWORD dwSpinCount);
TESK_WIN32_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
TESK_WIN32_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
TESK_WIN32_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
TESK_WIN32_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// The thread runs detached from its handle: closing the handle does not stop it, and the
// handle is signalled when the thread returns.
TESK_WIN32_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                          LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                          DWORD dwCreationFlags, LPDWORD lpThreadId);
TESK_WIN32_API DWORD WINAPI ResumeThread(HANDLE hThread);
TESK_WIN32_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
TESK_WIN32_API BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
TESK_WIN32_API HANDLE WINAPI GetCurrentThread();
TESK_WIN32_API DWORD WINAPI GetCurrentThreadId();
TESK_WIN32_API DWORD WINAPI GetCurrentProcessId();

// Named objects (events, mutexes, sections) share one namespace per prefix, across all its
// processes: creating a name that exists opens it and answers ERROR_ALREADY_EXISTS, or fails
// with ERROR_INVALID_HANDLE when the name belongs to another kind of object. A named object
// lives while any process holds a handle to it (or a view, for a section) and is gone when
// the last one closes it or ends.
TESK_WIN32_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                          BOOL bInitialState, LPCSTR lpName);
TESK_WIN32_API HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
TESK_WIN32_API BOOL WINAPI SetEvent(HANDLE hEvent);
TESK_WIN32_API BOOL WINAPI ResetEvent(HANDLE hEvent);
// Releases the waiters there are now (all of them, or one for an auto-reset event) and
// leaves the event not signalled.
TESK_WIN32_API BOOL WINAPI PulseEvent(HANDLE hEvent);

// Mutexes: recursive, owned by a thread, released only by it. A mutex whose owner thread or
// process ended without releasing it is abandoned: the next wait gets it with WAIT_ABANDONED.
TESK_WIN32_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                          LPCSTR lpName);
TESK_WIN32_API HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
TESK_WIN32_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// Sections. With INVALID_HANDLE_VALUE for the file, a section of the paging file; a named
// one that exists already is opened and the call answers ERROR_ALREADY_EXISTS.
TESK_WIN32_API HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpFileMappingAttributes,
                                                DWORD flProtect, DWORD dwMaximumSizeHigh,
                                                DWORD dwMaximumSizeLow, LPCSTR lpName);
TESK_WIN32_API HANDLE WINAPI OpenFileMappingA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
// A view keeps its section alive after the section's handle is closed.
TESK_WIN32_API LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                                           DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                                           SIZE_T dwNumberOfBytesToMap);
TESK_WIN32_API BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress);
TESK_WIN32_API BOOL WINAPI FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush);

TESK_WIN32_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
TESK_WIN32_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                                   DWORD dwMilliseconds);
TESK_WIN32_API BOOL WINAPI CloseHandle(HANDLE hObject);
TESK_WIN32_API BOOL WINAPI DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                                           HANDLE hTargetProcessHandle, LPHANDLE lpTargetHandle,
                                           DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);
TESK_WIN32_API HANDLE WINAPI GetCurrentProcess();

TESK_WIN32_API void WINAPI Sleep(DWORD dwMilliseconds);
TESK_WIN32_API DWORD WINAPI GetTickCount();
}

#define MUTEX_MODIFY_STATE 0x0001
#define MUTEX_ALL_ACCESS 0x1F0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x1F0003

#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define SEC_COMMIT 0x08000000

#define FILE_MAP_COPY 0x0001
#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FILE_MAP_ALL_ACCESS 0xF001F

#define DUPLICATE_CLOSE_SOURCE 0x00000001
#define DUPLICATE_SAME_ACCESS 0x00000002

// ---- Interlocked operations (full barriers, as on Windows) ---------------------------

inline LONG InterlockedIncrement(volatile LONG* p) {
  return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* p) {
  return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* p, LONG v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(volatile LONG* p, LONG v) {
  return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
  return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

namespace tesk::win32 {
// GetProcAddress with the export's real type.
template <class Fn>
Fn GetProcAddressAs(HMODULE module, LPCSTR name) {
  return ProcAs<Fn>(GetProcAddress(module, name));
}
}  // namespace tesk::win32
