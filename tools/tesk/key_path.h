// Registry key paths as the user writes them: a root name, then subkeys separated by
// backslashes ("HKLM\Software\Tesk", "HKEY_CLASSES_ROOT\CLSID").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <tesk/win32/winreg.h>

namespace tesk::tool {

struct KeyPath {
  HKEY root = nullptr;
  std::string subkey;  // without leading or trailing backslashes; empty for the root itself
};

// The root names HKEY_LOCAL_MACHINE/HKLM, HKEY_CURRENT_USER/HKCU, HKEY_CLASSES_ROOT/HKCR and
// HKEY_USERS/HKU in any case. Empty when the root is unknown or a subkey name is empty.
std::optional<KeyPath> ParseKeyPath(std::string_view text);

// The long name of a root ("HKEY_LOCAL_MACHINE").
std::string_view RootName(HKEY root);

// "HKEY_LOCAL_MACHINE\Software\Tesk"
std::string FullKeyName(const KeyPath& path);

// Key names compare without regard to ASCII case.
bool SameKeyName(std::string_view a, std::string_view b);

// Joins a subkey name onto a path.
KeyPath ChildPath(const KeyPath& parent, std::string_view name);

}  // namespace tesk::tool
