// The registry calls the reg command makes, with handles that close themselves and errors
// as Win32 codes.
#pragma once

#include <string>
#include <vector>

#include <tesk/win32/winreg.h>

#include "key_path.h"
#include "reg_file.h"

namespace tesk::tool {

class RegKey {
 public:
  RegKey() = default;
  ~RegKey();
  RegKey(RegKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  RegKey& operator=(RegKey&& other) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  LONG Open(const KeyPath& path, REGSAM access);
  LONG Create(const KeyPath& path);
  HKEY get() const { return key_; }

  // Subkey names in the registry's order.
  LONG SubkeyNames(std::vector<std::string>* names) const;
  // Values in the registry's order; the default value has an empty name.
  LONG Values(std::vector<RegFileValue>* values) const;
  // ERROR_FILE_NOT_FOUND when the value does not exist.
  LONG Value(const std::string& name, RegFileValue* value) const;

 private:
  void Close();
  HKEY key_ = nullptr;
};

// The key's name as the registry spells it, component by component; the given spelling is
// kept for any component that cannot be matched.
KeyPath StoredKeyPath(const KeyPath& path);

// Deletes the key and everything under it, deepest keys first.
LONG DeleteKeyTree(const KeyPath& path);

// The key and every key under it, parents first, subkeys in the registry's order. *failed
// names the key that could not be read.
LONG ReadKeyTree(const KeyPath& path, std::vector<RegFileKey>* keys, std::string* failed);

}  // namespace tesk::tool
