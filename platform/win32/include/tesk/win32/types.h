// Basic Windows types, as the components are written against them.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(TESK_BUILDING_WIN32)
#define TESK_WIN32_API __attribute__((visibility("default")))
#else
#define TESK_WIN32_API
#endif

// Exports of a component module; the project builds with hidden visibility.
#define TESK_EXPORT __attribute__((visibility("default")))

// x86-64 has one calling convention; the markers stay so that code reads as written.
#define WINAPI
#define APIENTRY
#define CALLBACK
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define RPC_ENTRY
#define STDAPI extern "C" HRESULT STDAPICALLTYPE

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using QWORD = std::uint64_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using INT = int;
using UINT = unsigned int;
using BOOL = int;
using BOOLEAN = std::uint8_t;
using CHAR = char;
using UCHAR = unsigned char;
using WCHAR = char16_t;
using OLECHAR = WCHAR;
using HRESULT = std::int32_t;
using SCODE = HRESULT;
using REGSAM = DWORD;
using LCID = DWORD;
using ATOM = WORD;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = ULONG_PTR;
using SIZE_T = std::size_t;
using SSIZE_T = std::ptrdiff_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;

using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using LPLONG = LONG*;
using PULONG = ULONG*;
using LPWORD = WORD*;
using LPBOOL = BOOL*;
using PBOOL = BOOL*;
using LPINT = int*;
using LPUINT = UINT*;
using LPSTR = CHAR*;
using LPCSTR = const CHAR*;
using LPCCH = const CHAR*;
using PCHAR = CHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPCWCH = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_PATH 260

// Standard and generic access rights, shared by every kind of object.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define INFINITE 0xFFFFFFFFu

using HANDLE = void*;
using PHANDLE = HANDLE*;
using LPHANDLE = HANDLE*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
struct HWND__;
using HWND = HWND__*;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

using FARPROC = INT_PTR(WINAPI*)();

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using PFILETIME = FILETIME*;
using LPFILETIME = FILETIME*;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};

#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xFFFF))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xFFFF))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD_PTR>(w) & 0xFF))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<DWORD_PTR>(w) >> 8) & 0xFF))
#define MAKEWORD(a, b) \
  (static_cast<WORD>((static_cast<BYTE>(a)) | (static_cast<WORD>(static_cast<BYTE>(b)) << 8)))
#define MAKELONG(a, b) \
  (static_cast<LONG>((static_cast<WORD>(a)) | (static_cast<DWORD>(static_cast<WORD>(b)) << 16)))

// GUID and its aliases.
struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using UUID = GUID;
using LPGUID = GUID*;
using LPIID = IID*;
using LPCLSID = CLSID*;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline BOOL IsEqualGUID(REFGUID a, REFGUID b) {
  return a == b ? TRUE : FALSE;
}
inline BOOL IsEqualIID(REFIID a, REFIID b) {
  return a == b ? TRUE : FALSE;
}
inline BOOL IsEqualCLSID(REFCLSID a, REFCLSID b) {
  return a == b ? TRUE : FALSE;
}

namespace tesk::win32 {

namespace detail {
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
constexpr std::uint64_t HexField(const char* text, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) throw "not a hexadecimal digit";  // fails the constant evaluation
    value = (value << 4) | static_cast<unsigned>(digit);
  }
  return value;
}
}  // namespace detail

// A GUID written as "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", checked at compile time,
// so identifiers in the source read exactly as they are documented.
template <std::size_t N>
consteval GUID GuidFromText(const char (&text)[N]) {
  static_assert(N == 37, "a GUID is written as 36 characters without braces");
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') throw "misplaced dash";
  GUID g{};
  g.Data1 = static_cast<DWORD>(detail::HexField(text, 8));
  g.Data2 = static_cast<WORD>(detail::HexField(text + 9, 4));
  g.Data3 = static_cast<WORD>(detail::HexField(text + 14, 4));
  g.Data4[0] = static_cast<BYTE>(detail::HexField(text + 19, 2));
  g.Data4[1] = static_cast<BYTE>(detail::HexField(text + 21, 2));
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<BYTE>(detail::HexField(text + 24 + 2 * i, 2));
  return g;
}

}  // namespace tesk::win32

static_assert(sizeof(GUID) == 16);
static_assert(sizeof(WCHAR) == 2);
