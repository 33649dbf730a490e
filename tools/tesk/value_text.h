// Registry values as the command line writes and shows them: type names ("REG_DWORD") and
// data ("0x2a", "a\0b" for a list, "0A1B" for bytes).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tesk/win32/types.h>

namespace tesk::tool {

// REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_QWORD,
// REG_BINARY, REG_NONE in any case.
std::optional<DWORD> ParseTypeName(std::string_view name);
// "REG_SZ"; a type without a name shows as its number, "0x1234".
std::string TypeName(DWORD type);

// The stored bytes for data typed on the command line (strings already in the ANSI code
// page). Strings get their terminator; REG_MULTI_SZ items are separated by the two characters
// \0; numbers are decimal or 0x hex, empty meaning 0; other types take hex digits, two a byte.
// False with the reason in *error when the text does not fit the type.
bool ParseValueData(DWORD type, std::string_view text, std::vector<BYTE>* data, std::string* error);

// The data as "reg query" shows it; strings stay in the ANSI code page.
std::string FormatValueData(DWORD type, const std::vector<BYTE>& data);

}  // namespace tesk::tool
