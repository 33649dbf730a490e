#include "console_text.h"

#include <tesk/win32/winnls.h>

namespace tesk::tool {
namespace {

std::u16string Widen(UINT code_page, DWORD flags, std::string_view text, bool* ok) {
  *ok = true;
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(code_page, flags, text.data(), length, nullptr, 0);
  if (needed <= 0) {
    *ok = false;
    return {};
  }
  std::u16string wide(static_cast<std::size_t>(needed), u'\0');
  if (MultiByteToWideChar(code_page, flags, text.data(), length, wide.data(), needed) != needed) *ok = false;
  return wide;
}

std::string Narrow(UINT code_page, std::u16string_view wide, bool* used_default) {
  if (wide.empty()) return {};
  const int length = static_cast<int>(wide.size());
  // The default-character report is only defined for single- and double-byte code pages.
  BOOL defaulted = FALSE;
  BOOL* report = code_page == CP_UTF8 ? nullptr : &defaulted;
  const int needed = WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0, nullptr, report);
  if (needed <= 0) {
    if (used_default) *used_default = true;
    return {};
  }
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), length, narrow.data(), needed, nullptr, report);
  if (used_default) *used_default = defaulted != FALSE;
  return narrow;
}

}  // namespace

std::optional<std::string> Utf8ToAnsiText(std::string_view utf8) {
  bool ok = true;
  const std::u16string wide = Widen(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, &ok);
  if (!ok) return std::nullopt;
  if (GetACP() == CP_UTF8) return std::string(utf8);
  bool defaulted = false;
  std::string ansi = Narrow(CP_ACP, wide, &defaulted);
  if (defaulted) return std::nullopt;
  return ansi;
}

std::string AnsiToUtf8Text(std::string_view ansi) {
  bool ok = true;
  const std::u16string wide = Widen(CP_ACP, 0, ansi, &ok);
  if (!ok) return std::string(ansi);
  return Narrow(CP_UTF8, wide, nullptr);
}

}  // namespace tesk::tool
