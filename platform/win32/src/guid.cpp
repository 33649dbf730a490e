// GUIDs: creation and their two text forms, COM's braced upper-case one and the RPC
// runtime's bare lower-case one.

#include <sys/random.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <tesk/win32/objbase.h>
#include <tesk/win32/rpc.h>

namespace {

constexpr int kUuidChars = 36;    // xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx
constexpr int kBracedChars = 38;  // {...}

bool RandomBytes(void* buffer, std::size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  if (size == 0) return true;
  // Kernels without getrandom.
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (size > 0) {
    const ssize_t got = read(fd, out, size);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      break;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  close(fd);
  return size == 0;
}

// A random (version 4, RFC 4122 variant) GUID.
bool RandomGuid(GUID* guid) {
  GUID g;
  if (!RandomBytes(&g, sizeof g)) return false;
  g.Data3 = static_cast<WORD>((g.Data3 & 0x0FFF) | 0x4000);
  g.Data4[0] = static_cast<BYTE>((g.Data4[0] & 0x3F) | 0x80);
  *guid = g;
  return true;
}

// Writes the 36 characters of the bare form.
template <class Char>
void FormatUuid(const GUID& g, bool upper, Char* out) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  auto put = [&](std::uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) *out++ = static_cast<Char>(digits[(value >> (4 * i)) & 0xF]);
  };
  put(g.Data1, 8);
  *out++ = '-';
  put(g.Data2, 4);
  *out++ = '-';
  put(g.Data3, 4);
  *out++ = '-';
  put(g.Data4[0], 2);
  put(g.Data4[1], 2);
  *out++ = '-';
  for (int i = 2; i < 8; ++i) put(g.Data4[i], 2);
}

template <class Char>
int HexValue(Char c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// Reads exactly the 36 characters of the bare form, either case.
template <class Char>
bool ParseUuid(const Char* text, GUID* guid) {
  std::uint64_t fields[5] = {};
  int field = 0;
  for (int i = 0; i < kUuidChars; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++field;
      continue;
    }
    const int digit = HexValue(text[i]);
    if (digit < 0) return false;
    fields[field] = (fields[field] << 4) | static_cast<unsigned>(digit);
  }
  GUID g;
  g.Data1 = static_cast<DWORD>(fields[0]);
  g.Data2 = static_cast<WORD>(fields[1]);
  g.Data3 = static_cast<WORD>(fields[2]);
  g.Data4[0] = static_cast<BYTE>(fields[3] >> 8);
  g.Data4[1] = static_cast<BYTE>(fields[3]);
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<BYTE>(fields[4] >> (8 * (5 - i)));
  *guid = g;
  return true;
}

// Length of a terminated string, looking no further than limit characters.
template <class Char>
int BoundedLength(const Char* text, int limit) {
  int n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

HRESULT GuidFromBraced(LPCOLESTR text, GUID* guid) {
  if (!guid) return E_INVALIDARG;
  // A null string stands for the null GUID.
  if (!text) {
    *guid = GUID_NULL;
    return S_OK;
  }
  if (BoundedLength(text, kBracedChars + 1) != kBracedChars || text[0] != u'{' ||
      text[kBracedChars - 1] != u'}')
    return CO_E_CLASSSTRING;
  return ParseUuid(text + 1, guid) ? S_OK : CO_E_CLASSSTRING;
}

}  // namespace

extern "C" {

HRESULT WINAPI CoCreateGuid(GUID* pguid) {
  if (!pguid) return E_INVALIDARG;
  return RandomGuid(pguid) ? S_OK : E_FAIL;
}

int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < kBracedChars + 1) return 0;
  lpsz[0] = u'{';
  FormatUuid(rguid, true, lpsz + 1);
  lpsz[kBracedChars - 1] = u'}';
  lpsz[kBracedChars] = 0;
  return kBracedChars + 1;
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  return GuidFromBraced(lpsz, pclsid);
}

HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  return GuidFromBraced(lpsz, lpiid);
}

RPC_STATUS RPC_ENTRY UuidToStringA(const UUID* Uuid, RPC_CSTR* StringUuid) {
  if (!Uuid || !StringUuid) return RPC_S_INVALID_ARG;
  auto* text = static_cast<unsigned char*>(std::malloc(kUuidChars + 1));
  if (!text) return RPC_S_OUT_OF_MEMORY;
  FormatUuid(*Uuid, false, text);
  text[kUuidChars] = 0;
  *StringUuid = text;
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY UuidFromStringA(RPC_CSTR StringUuid, UUID* Uuid) {
  if (!Uuid) return RPC_S_INVALID_ARG;
  if (!StringUuid) {
    *Uuid = GUID_NULL;
    return RPC_S_OK;
  }
  if (BoundedLength(StringUuid, kUuidChars + 1) != kUuidChars) return RPC_S_INVALID_STRING_UUID;
  return ParseUuid(StringUuid, Uuid) ? RPC_S_OK : RPC_S_INVALID_STRING_UUID;
}

RPC_STATUS RPC_ENTRY RpcStringFreeA(RPC_CSTR* String) {
  if (!String) return RPC_S_INVALID_ARG;
  std::free(*String);
  *String = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY UuidCreate(UUID* Uuid) {
  if (!Uuid) return RPC_S_INVALID_ARG;
  return RandomGuid(Uuid) ? RPC_S_OK : RPC_S_UUID_NO_ADDRESS;
}

}  // extern "C"
