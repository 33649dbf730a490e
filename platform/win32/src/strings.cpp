// The lstr* string helpers.
#include <string>
#include <string_view>

#include <tesk/win32/winbase.h>
#include <tesk/win32/winnls.h>

namespace {

// Case folding for the letters of ASCII, Latin-1 and Windows-1252, to lower case so that the
// punctuation between 'Z' and 'a' sorts before letters, as Windows' comparison does.
char16_t Fold(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) return static_cast<char16_t>(c + 0x20);
  switch (c) {
    case 0x0152:  // OE ligature
    case 0x0160:  // S caron
    case 0x017D:  // Z caron
      return static_cast<char16_t>(c + 1);
    case 0x0178:  // Y diaeresis
      return 0x00FF;
    default:
      return c;
  }
}

int CompareFolded(std::u16string_view a, std::u16string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const char16_t fa = Fold(a[i]), fb = Fold(b[i]);
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::u16string AnsiToWide(LPCSTR text) {
  std::u16string wide;
  const int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (needed <= 0) return wide;
  wide.resize(static_cast<std::size_t>(needed));
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), needed);
  wide.pop_back();  // the terminator
  return wide;
}

template <typename Char>
Char* CopyBounded(Char* dst, const Char* src, int max_length) {
  if (!dst || !src) return nullptr;
  if (max_length <= 0) return dst;
  int i = 0;
  for (; i < max_length - 1 && src[i] != 0; ++i) dst[i] = src[i];
  dst[i] = 0;
  return dst;
}

}  // namespace

extern "C" {

int WINAPI lstrlenW(LPCWSTR lpString) {
  return lpString ? static_cast<int>(std::u16string_view(lpString).size()) : 0;
}

int WINAPI lstrlenA(LPCSTR lpString) {
  return lpString ? static_cast<int>(std::string_view(lpString).size()) : 0;
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
  return CopyBounded(lpString1, lpString2, iMaxLength);
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  return CopyBounded(lpString1, lpString2, iMaxLength);
}

// A null string sorts before every other, as with Windows.
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
  return CompareFolded(lpString1, lpString2);
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  if (!lpString1 || !lpString2) return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
  return CompareFolded(AnsiToWide(lpString1), AnsiToWide(lpString2));
}

}  // extern "C"
