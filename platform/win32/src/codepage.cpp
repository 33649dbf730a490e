// Code pages: the ANSI code page chosen by the registry, the single-byte tables we carry,
// UTF-8, and the conversions the A-functions share.
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <tesk/win32/winbase.h>
#include <tesk/win32/winnls.h>
#include <tesk/win32/winreg.h>

#include "internal.h"

namespace {

constexpr UINT kCp1252 = 1252;
constexpr UINT kCp437 = 437;
constexpr UINT kCpAscii = 20127;
constexpr UINT kCpLatin1 = 28591;
constexpr char16_t kReplacement = 0xFFFD;
// Marks a byte that a single-byte code page leaves without a character.
constexpr char16_t kNoChar = 0xFFFF;

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page does not define decode to the
// C1 control of the same value and encode back, as Windows does.
constexpr char16_t k1252Specials[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

// The OEM code page of US systems, bytes 0x80..0xFF (0x00..0x7F are ASCII controls and text).
constexpr char16_t k437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 0x80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 0x88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 0x90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 0x98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // 0xA0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // 0xA8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // 0xB0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // 0xC8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // 0xD0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // 0xD8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // 0xE0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // 0xE8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // 0xF0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // 0xF8
};

class SingleByteTable {
 public:
  // Bytes below `first` are themselves; the rest come from `high` (kNoChar: undefined).
  SingleByteTable(unsigned first, const char16_t* high) {
    for (unsigned b = 0; b < 256; ++b)
      to_unicode_[b] = b < first ? static_cast<char16_t>(b) : high[b - first];
    for (unsigned b = 0; b < 256; ++b)
      if (to_unicode_[b] != kNoChar)
        from_unicode_.emplace_back(to_unicode_[b], static_cast<unsigned char>(b));
    std::sort(from_unicode_.begin(), from_unicode_.end());
  }

  char16_t Decode(unsigned char byte) const { return to_unicode_[byte]; }

  bool Encode(char16_t c, unsigned char* byte) const {
    auto it = std::lower_bound(from_unicode_.begin(), from_unicode_.end(),
                               std::make_pair(c, static_cast<unsigned char>(0)));
    if (it == from_unicode_.end() || it->first != c) return false;
    *byte = it->second;
    return true;
  }

 private:
  std::array<char16_t, 256> to_unicode_{};
  std::vector<std::pair<char16_t, unsigned char>> from_unicode_;
};

const SingleByteTable* TableFor(UINT code_page) {
  static const SingleByteTable cp1252 = [] {
    char16_t high[128];
    for (unsigned i = 0; i < 128; ++i) high[i] = i < 32 ? k1252Specials[i] : static_cast<char16_t>(0x80 + i);
    return SingleByteTable(0x80, high);
  }();
  static const SingleByteTable cp437(0x80, k437High);
  static const SingleByteTable ascii = [] {
    char16_t high[128];
    std::fill(std::begin(high), std::end(high), kNoChar);
    return SingleByteTable(0x80, high);
  }();
  static const SingleByteTable latin1(0x100, nullptr);
  switch (code_page) {
    case kCp1252:
      return &cp1252;
    case kCp437:
      return &cp437;
    case kCpAscii:
      return &ascii;
    case kCpLatin1:
      return &latin1;
    default:
      return nullptr;
  }
}

bool IsSupported(UINT code_page) {
  return code_page == CP_UTF8 || TableFor(code_page) != nullptr;
}

// ---- UTF-8 -------------------------------------------------------------------------------

// Decodes the code point at text[*pos]. An invalid sequence consumes its maximal valid prefix
// (at least one byte) and returns false, so each broken sequence becomes one U+FFFD.
bool DecodeUtf8(const unsigned char* text, std::size_t size, std::size_t* pos, char32_t* out) {
  const unsigned char lead = text[*pos];
  ++*pos;
  if (lead < 0x80) {
    *out = lead;
    return true;
  }
  int trail;
  char32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return false;
  }
  for (int i = 0; i < trail; ++i) {
    if (*pos >= size) return false;
    const unsigned char byte = text[*pos];
    if (byte < low || byte > high) return false;
    low = 0x80;
    high = 0xBF;
    cp = (cp << 6) | (byte & 0x3F);
    ++*pos;
  }
  *out = cp;
  return true;
}

void AppendUtf16(char32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// ---- Conversions shared by the Win32 entry points and the stand-in ------------------------

// False only when `strict` and the text holds a byte sequence without a character.
bool DecodeBytes(UINT code_page, std::string_view text, bool strict, std::u16string* out) {
  out->clear();
  out->reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  if (code_page == CP_UTF8) {
    std::size_t pos = 0;
    while (pos < text.size()) {
      char32_t cp;
      if (DecodeUtf8(bytes, text.size(), &pos, &cp)) {
        AppendUtf16(cp, out);
      } else {
        if (strict) return false;
        out->push_back(kReplacement);
      }
    }
    return true;
  }
  const SingleByteTable* table = TableFor(code_page);
  for (unsigned char byte : text) {
    char16_t c = table->Decode(byte);
    if (c == kNoChar) {
      if (strict) return false;
      c = kReplacement;
    }
    out->push_back(c);
  }
  return true;
}

// UTF-8: lone surrogates become U+FFFD (false when `strict`). Single-byte code pages: each
// code unit without a byte becomes `default_char` and sets *used_default.
bool EncodeText(UINT code_page, std::u16string_view text, bool strict, char default_char, bool* used_default,
                std::string* out) {
  out->clear();
  out->reserve(text.size());
  if (used_default) *used_default = false;
  if (code_page == CP_UTF8) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char16_t c = text[i];
      if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
        AppendUtf8(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00), out);
        ++i;
      } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
        if (strict) return false;
        AppendUtf8(kReplacement, out);
      } else {
        AppendUtf8(c, out);
      }
    }
    return true;
  }
  const SingleByteTable* table = TableFor(code_page);
  for (char16_t c : text) {
    unsigned char byte;
    if (table->Encode(c, &byte)) {
      out->push_back(static_cast<char>(byte));
    } else {
      out->push_back(default_char);
      if (used_default) *used_default = true;
    }
  }
  return true;
}

// CP_ACP and friends to the code page they stand for; 0 when unsupported.
UINT ResolveCodePage(UINT code_page) {
  switch (code_page) {
    case CP_ACP:
    case CP_THREAD_ACP:
      return GetACP();
    case CP_OEMCP:
      return GetOEMCP();
    default:
      return IsSupported(code_page) ? code_page : 0;
  }
}

// ---- The ANSI code page ------------------------------------------------------------------

constexpr char kNlsKey[] = "System\\CurrentControlSet\\Control\\Nls\\CodePage";

UINT ReadAcpFromRegistry() {
  // The registry may convert names through the code page it is asked for; answer the default
  // to a lookup nested in our own.
  thread_local bool reading = false;
  if (reading) return kCp1252;
  reading = true;
  std::string value;
  const bool found =
      tesk::win32::internal::ReadRegistryStringUtf8(HKEY_LOCAL_MACHINE, kNlsKey, "ACP", &value);
  reading = false;
  if (!found || value.empty() || value.size() > 9) return kCp1252;
  UINT code_page = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return kCp1252;
    code_page = code_page * 10 + static_cast<UINT>(c - '0');
  }
  // Only a code page we can convert is usable; the pseudo code pages are not names of one.
  if (code_page == CP_ACP || code_page == CP_OEMCP || code_page == CP_THREAD_ACP || !IsSupported(code_page))
    return kCp1252;
  return code_page;
}

struct AcpCache {
  std::mutex lock;
  bool known = false;
  std::uint64_t generation = 0;
  UINT code_page = kCp1252;
};

AcpCache& Cache() {
  static AcpCache* cache = new AcpCache;  // never destroyed: used by code running at exit
  return *cache;
}

template <typename Char>
bool Overlaps(const void* a, std::size_t a_size, const Char* b, std::size_t b_count) {
  const auto* pa = static_cast<const char*>(a);
  const auto* pb = reinterpret_cast<const char*>(b);
  return pa < pb + b_count * sizeof(Char) && pb < pa + a_size;
}

}  // namespace

namespace tesk::win32::internal {

std::string AnsiToUtf8(std::string_view ansi) {
  const UINT acp = GetACP();
  std::u16string wide;
  DecodeBytes(acp, ansi, false, &wide);
  return Utf16ToUtf8(wide);
}

std::string Utf8ToAnsi(std::string_view utf8) {
  const UINT acp = GetACP();
  std::u16string wide = Utf8ToUtf16(utf8);
  std::string out;
  EncodeText(acp, wide, false, '?', nullptr, &out);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  DecodeBytes(CP_UTF8, utf8, false, &out);
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  EncodeText(CP_UTF8, utf16, false, '?', nullptr, &out);
  return out;
}

}  // namespace tesk::win32::internal

extern "C" {

UINT WINAPI GetACP() {
  AcpCache& cache = Cache();
  const std::uint64_t generation = tesk::win32::internal::PrefixGeneration();
  {
    std::lock_guard<std::mutex> hold(cache.lock);
    if (cache.known && cache.generation == generation) return cache.code_page;
  }
  // Read without the lock: the registry takes locks of its own and may come back here.
  const UINT code_page = ReadAcpFromRegistry();
  std::lock_guard<std::mutex> hold(cache.lock);
  cache.known = true;
  cache.generation = generation;
  cache.code_page = code_page;
  return code_page;
}

UINT WINAPI GetOEMCP() {
  return kCp437;
}

BOOL WINAPI IsValidCodePage(UINT CodePage) {
  return IsSupported(CodePage) ? TRUE : FALSE;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  const UINT code_page = ResolveCodePage(CodePage);
  if (code_page == 0 || !lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD allowed = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS);
  if (dwFlags & ~allowed) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const std::size_t in_size =
      cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
  if (cchWideChar > 0 &&
      Overlaps(lpMultiByteStr, in_size, lpWideCharStr, static_cast<std::size_t>(cchWideChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string wide;
  if (!DecodeBytes(code_page, std::string_view(lpMultiByteStr, in_size),
                   (dwFlags & MB_ERR_INVALID_CHARS) != 0, &wide)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (wide.size() > static_cast<std::size_t>(INT_MAX)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const int needed = static_cast<int>(wide.size());
  if (cchWideChar == 0) return needed;
  if (needed > cchWideChar) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
  return needed;
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
  const UINT code_page = ResolveCodePage(CodePage);
  if (code_page == 0 || !lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && !lpMultiByteStr) ||
      (code_page == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD allowed = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  if (dwFlags & ~allowed) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  std::size_t in_count = static_cast<std::size_t>(cchWideChar);
  if (cchWideChar == -1) {
    in_count = 0;
    while (lpWideCharStr[in_count] != 0) ++in_count;
    ++in_count;
  }
  if (cbMultiByte > 0 &&
      Overlaps(lpMultiByteStr, static_cast<std::size_t>(cbMultiByte), lpWideCharStr, in_count)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool used_default = false;
  std::string bytes;
  if (!EncodeText(code_page, std::u16string_view(lpWideCharStr, in_count),
                  (dwFlags & WC_ERR_INVALID_CHARS) != 0, lpDefaultChar ? *lpDefaultChar : '?', &used_default,
                  &bytes)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const int needed = static_cast<int>(bytes.size());
  if (cbMultiByte > 0 && needed > cbMultiByte) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (cbMultiByte > 0) std::memcpy(lpMultiByteStr, bytes.data(), bytes.size());
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used_default ? TRUE : FALSE;
  return needed;
}

}  // extern "C"
