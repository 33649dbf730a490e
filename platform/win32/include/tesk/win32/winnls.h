// Code pages. The ANSI code page is Windows-1252 unless the registry value
// HKLM\System\CurrentControlSet\Control\Nls\CodePage\ACP names another (65001: UTF-8);
// it is read once per process, and again when the process moves to another prefix.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

extern "C" {
TESK_WIN32_API UINT WINAPI GetACP();
// Always 437, whatever the ANSI code page.
TESK_WIN32_API UINT WINAPI GetOEMCP();
TESK_WIN32_API BOOL WINAPI IsValidCodePage(UINT CodePage);
// cbMultiByte/cchWideChar -1: the source is terminated and the terminator is converted too.
// A zero destination size asks for the size needed. Too small a destination: 0 with
// ERROR_INSUFFICIENT_BUFFER. Unknown code page: 0 with ERROR_INVALID_PARAMETER.
// A character a single-byte code page lacks becomes the default character ('?' unless
// lpDefaultChar), without best-fit substitutes; each UTF-16 code unit counts as one.
TESK_WIN32_API int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                              int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
TESK_WIN32_API int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                              int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                              LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar);
TESK_WIN32_API int WINAPI lstrlenW(LPCWSTR lpString);
TESK_WIN32_API int WINAPI lstrlenA(LPCSTR lpString);
TESK_WIN32_API LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
TESK_WIN32_API LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
TESK_WIN32_API int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
TESK_WIN32_API int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
}
