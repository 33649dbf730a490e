// The terminal and the command line speak UTF-8; the registry's narrow interface speaks the
// ANSI code page. Names and data cross here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesk::tool {

// Empty when the text is not UTF-8 or holds characters the ANSI code page lacks.
std::optional<std::string> Utf8ToAnsiText(std::string_view utf8);
// Characters without a UTF-8 form cannot occur; bytes the code page leaves undefined show as '?'.
std::string AnsiToUtf8Text(std::string_view ansi);

}  // namespace tesk::tool
