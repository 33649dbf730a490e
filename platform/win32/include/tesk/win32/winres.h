// Module resources: a module's string table.
//
// A module declares its strings once, with their language, in one of its source files:
//
//   TESK_STRING_TABLE(1033, {100, "Player"}, {101, "Track %d"});
//
// The macro exports a well-known symbol (TeskStringTable) that LoadStringA finds with
// GetProcAddress on the module handle it is given. The texts are UTF-8 in the source;
// LoadStringA gives them in the ANSI code page, LoadStringW in UTF-16.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = HANDLE;

#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)
#define RT_STRING MAKEINTRESOURCEA(6)

struct TeskStringEntry {
  UINT id;
  const char* text;  // UTF-8
};
struct TeskStringTableData {
  WORD language;
  const TeskStringEntry* entries;
  SIZE_T count;
};
using TeskStringTableFn = const TeskStringTableData*(WINAPI*)();

extern "C" {
// Copies string `uID` of a module (NULL: the program) into lpBuffer, truncated to
// cchBufferMax - 1 characters and terminated; returns the characters copied, without the
// terminator. 0 with ERROR_RESOURCE_NAME_NOT_FOUND for an unknown id (or a module without
// strings: ERROR_RESOURCE_DATA_NOT_FOUND). LoadStringW with cchBufferMax 0 stores a pointer
// to the read-only string (not terminated) in lpBuffer and returns its length.
TESK_WIN32_API int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
TESK_WIN32_API int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// RT_STRING resources: block n (MAKEINTRESOURCEA(n)) holds strings 16*(n-1) to 16*n-1, each as
// its UTF-16 length (a WORD) followed by its characters. Other types:
// ERROR_RESOURCE_TYPE_NOT_FOUND. Resources need no unlocking or freeing.
TESK_WIN32_API HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
TESK_WIN32_API HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
TESK_WIN32_API DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
TESK_WIN32_API LPVOID WINAPI LockResource(HGLOBAL hResData);
}

// Declares the module's string table, once per module. Entries are {id, "UTF-8 text"}.
#define TESK_STRING_TABLE(language, ...)                                                            \
  extern "C" TESK_EXPORT const TeskStringTableData* WINAPI TeskStringTable() {                      \
    static const TeskStringEntry kTeskStrings[] = {__VA_ARGS__};                                    \
    static const TeskStringTableData kTeskTable = {static_cast<WORD>(language), kTeskStrings,       \
                                                   sizeof(kTeskStrings) / sizeof(kTeskStrings[0])}; \
    return &kTeskTable;                                                                             \
  }                                                                                                 \
  static_assert(true, "")
