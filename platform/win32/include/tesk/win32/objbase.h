// The COM runtime: apartments, in-process activation, the task allocator, GUIDs.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/unknwn.h>
#include <tesk/win32/winerror.h>

enum CLSCTX : DWORD {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
  CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
  CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
};

enum COINIT : DWORD {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
};

// The exports every in-process server module provides.
using LPFNGETCLASSOBJECT = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using LPFNCANUNLOADNOW = HRESULT(STDAPICALLTYPE*)();
using LPFNREGISTERSERVER = HRESULT(STDAPICALLTYPE*)();

extern "C" {

// Per-thread initialisation count. The first call on a thread answers S_OK, later ones
// S_FALSE; a second call in the other model answers RPC_E_CHANGED_MODE. Nothing is marshalled.
TESK_WIN32_API HRESULT WINAPI CoInitialize(LPVOID pvReserved);
TESK_WIN32_API HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
TESK_WIN32_API void WINAPI CoUninitialize();

// In-process activation through HKCR\CLSID\{clsid}\InprocServer32. Without CoInitialize
// on the calling thread: CO_E_NOTINITIALIZED. No in-process server registered:
// REGDB_E_CLASSNOTREG. Module that does not load: HRESULT_FROM_WIN32 of the loader's error.
// Module without DllGetClassObject: CO_E_ERRORINDLL. A module is loaded once and kept
// until CoFreeUnusedLibraries finds it unloadable.
TESK_WIN32_API HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                               REFIID riid, LPVOID* ppv);
TESK_WIN32_API HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                               REFIID riid, LPVOID* ppv);
// Asks DllCanUnloadNow of every module that COM loaded and unloads those answering S_OK.
TESK_WIN32_API void WINAPI CoFreeUnusedLibraries();
TESK_WIN32_API void WINAPI CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);

TESK_WIN32_API LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
TESK_WIN32_API LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
TESK_WIN32_API void WINAPI CoTaskMemFree(LPVOID pv);

TESK_WIN32_API HRESULT WINAPI CoCreateGuid(GUID* pguid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case; returns the characters written
// including the terminator, or 0 when cchMax is below 39.
TESK_WIN32_API int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Reads the braced form; CO_E_CLASSSTRING when it is not one.
TESK_WIN32_API HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
TESK_WIN32_API HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
}
