// What the stand-in's parts share among themselves; not exported.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <tesk/win32/types.h>

namespace tesk::win32::internal {

// Text between the ANSI code page and UTF-8 (the form of Linux file names and of names
// stored in the registry). Characters the target cannot hold become '?'.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Reads a string value without any code-page conversion (the code-page lookup itself
// needs the registry). False when the key or value is missing or not a string.
bool ReadRegistryStringUtf8(HKEY root, std::string_view path, std::string_view value_name, std::string* out);

// Raised whenever SetPrefixPath points the process at another prefix, so that caches of the
// old prefix (the registry connection, the code page) know to start over.
std::uint64_t PrefixGeneration();

}  // namespace tesk::win32::internal
