#include "key_path.h"

#include <algorithm>
#include <cctype>

namespace tesk::tool {
namespace {

struct RootEntry {
  std::string_view long_name;
  std::string_view short_name;
  HKEY key;
};

const RootEntry* Roots() {
  static const RootEntry roots[] = {
      {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
      {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
      {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
      {"HKEY_USERS", "HKU", HKEY_USERS},
      {{}, {}, nullptr},
  };
  return roots;
}

}  // namespace

std::optional<KeyPath> ParseKeyPath(std::string_view text) {
  // A trailing backslash is harmless and common when pasting paths.
  while (!text.empty() && text.back() == '\\') text.remove_suffix(1);
  const std::size_t slash = text.find('\\');
  const std::string_view root_text = text.substr(0, slash);
  const std::string_view rest = slash == std::string_view::npos ? std::string_view{} : text.substr(slash + 1);

  KeyPath path;
  for (const RootEntry* r = Roots(); r->key; ++r) {
    if (SameKeyName(root_text, r->long_name) || SameKeyName(root_text, r->short_name)) path.root = r->key;
  }
  if (!path.root) return std::nullopt;
  if (slash != std::string_view::npos && (rest.empty() || rest.find("\\\\") != std::string_view::npos))
    return std::nullopt;
  path.subkey = std::string(rest);
  return path;
}

bool SameKeyName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view RootName(HKEY root) {
  for (const RootEntry* r = Roots(); r->key; ++r)
    if (r->key == root) return r->long_name;
  return "(unknown root)";
}

std::string FullKeyName(const KeyPath& path) {
  std::string name(RootName(path.root));
  if (!path.subkey.empty()) name += "\\" + path.subkey;
  return name;
}

KeyPath ChildPath(const KeyPath& parent, std::string_view name) {
  KeyPath child{parent.root, parent.subkey};
  if (!child.subkey.empty()) child.subkey += '\\';
  child.subkey += name;
  return child;
}

}  // namespace tesk::tool
