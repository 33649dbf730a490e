// The registry. Kept in the prefix's registry.db and shared by every process of the prefix;
// every call is one transaction. Names compare without regard to case and keep their case;
// subkeys enumerate in case-insensitive name order. Narrow names and string data are in the
// ANSI code page.
#pragma once

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000))))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001))))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002))))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000003))))

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

extern "C" {
TESK_WIN32_API LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                         PHKEY phkResult);
TESK_WIN32_API LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
TESK_WIN32_API LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                           DWORD dwOptions, REGSAM samDesired,
                                           const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                                           LPDWORD lpdwDisposition);
TESK_WIN32_API LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
TESK_WIN32_API LONG WINAPI RegCloseKey(HKEY hKey);
TESK_WIN32_API LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                          const BYTE* lpData, DWORD cbData);
// Sets the default value of lpSubKey (created when missing) to a REG_SZ string.
TESK_WIN32_API LONG WINAPI RegSetValueA(HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData,
                                        DWORD cbData);
TESK_WIN32_API LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                            LPBYTE lpData, LPDWORD lpcbData);
TESK_WIN32_API LONG WINAPI RegQueryValueA(HKEY hKey, LPCSTR lpSubKey, LPSTR lpData, PLONG lpcbData);
TESK_WIN32_API LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                         LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                         PFILETIME lpftLastWriteTime);
TESK_WIN32_API LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName);
TESK_WIN32_API LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                         LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
TESK_WIN32_API LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                            LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                            LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                            LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                            LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
// Refuses a key that has subkeys with ERROR_ACCESS_DENIED, as the NT family does.
TESK_WIN32_API LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
TESK_WIN32_API LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
TESK_WIN32_API LONG WINAPI RegFlushKey(HKEY hKey);
}
