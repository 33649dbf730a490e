#include "registry_access.h"

#include <algorithm>

namespace tesk::tool {

RegKey::~RegKey() {
  Close();
}

RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    Close();
    key_ = other.key_;
    other.key_ = nullptr;
  }
  return *this;
}

void RegKey::Close() {
  if (key_) RegCloseKey(key_);
  key_ = nullptr;
}

LONG RegKey::Open(const KeyPath& path, REGSAM access) {
  Close();
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExA(path.root, path.subkey.c_str(), 0, access, &key);
  if (rc == ERROR_SUCCESS) key_ = key;
  return rc;
}

LONG RegKey::Create(const KeyPath& path) {
  Close();
  HKEY key = nullptr;
  const LONG rc = RegCreateKeyExA(path.root, path.subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) key_ = key;
  return rc;
}

LONG RegKey::SubkeyNames(std::vector<std::string>* names) const {
  names->clear();
  DWORD max_name = 0;
  LONG rc = RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, &max_name, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<char> buffer(max_name + 1);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(buffer.size());
    rc = RegEnumKeyExA(key_, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) {
      // Another process added a longer name since we asked.
      buffer.resize(buffer.size() * 2);
      --index;
      continue;
    }
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    names->emplace_back(buffer.data(), length);
  }
}

LONG RegKey::Values(std::vector<RegFileValue>* values) const {
  values->clear();
  DWORD max_name = 0;
  DWORD max_data = 0;
  LONG rc = RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &max_name,
                             &max_data, nullptr, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<char> name(max_name + 1);
  std::vector<BYTE> data(std::max<DWORD>(max_data, 1));
  for (DWORD index = 0;; ++index) {
    DWORD name_length = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    rc = RegEnumValueA(key_, index, name.data(), &name_length, nullptr, &type, data.data(), &data_size);
    if (rc == ERROR_MORE_DATA) {
      name.resize(name.size() * 2);
      data.resize(std::max<std::size_t>(data.size() * 2, data_size));
      --index;
      continue;
    }
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    RegFileValue value;
    value.name.assign(name.data(), name_length);
    value.type = type;
    value.data.assign(data.begin(), data.begin() + data_size);
    values->push_back(std::move(value));
  }
}

LONG RegKey::Value(const std::string& name, RegFileValue* value) const {
  DWORD type = 0;
  DWORD size = 0;
  LONG rc = RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size);
  while (rc == ERROR_SUCCESS) {
    std::vector<BYTE> data(std::max<DWORD>(size, 1));
    DWORD got = static_cast<DWORD>(data.size());
    rc = RegQueryValueExA(key_, name.c_str(), nullptr, &type, data.data(), &got);
    if (rc == ERROR_MORE_DATA) {
      // It grew between the two calls.
      size = std::max<DWORD>(got, static_cast<DWORD>(data.size() * 2));
      rc = ERROR_SUCCESS;
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    value->name = name;
    value->type = type;
    value->data.assign(data.begin(), data.begin() + got);
    return ERROR_SUCCESS;
  }
  return rc;
}

KeyPath StoredKeyPath(const KeyPath& path) {
  KeyPath stored{path.root, {}};
  std::string_view rest = path.subkey;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('\\');
    std::string component(rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    RegKey parent;
    std::vector<std::string> names;
    if (parent.Open(stored, KEY_READ) == ERROR_SUCCESS && parent.SubkeyNames(&names) == ERROR_SUCCESS) {
      const auto match = std::find_if(names.begin(), names.end(),
                                      [&](const std::string& n) { return SameKeyName(n, component); });
      if (match != names.end()) component = *match;
    }
    stored = ChildPath(stored, component);
  }
  return stored;
}

LONG DeleteKeyTree(const KeyPath& path) {
  std::vector<std::string> children;
  {
    RegKey key;
    LONG rc = key.Open(path, KEY_READ);
    if (rc != ERROR_SUCCESS) return rc;
    rc = key.SubkeyNames(&children);
    if (rc != ERROR_SUCCESS) return rc;
  }
  for (const auto& child : children) {
    const LONG rc = DeleteKeyTree(ChildPath(path, child));
    // Someone else may have removed it meanwhile; that is what we wanted.
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
  }
  return RegDeleteKeyA(path.root, path.subkey.c_str());
}

LONG ReadKeyTree(const KeyPath& path, std::vector<RegFileKey>* keys, std::string* failed) {
  RegKey key;
  LONG rc = key.Open(path, KEY_READ);
  RegFileKey entry;
  entry.path = FullKeyName(path);
  std::vector<std::string> children;
  if (rc == ERROR_SUCCESS) rc = key.Values(&entry.values);
  if (rc == ERROR_SUCCESS) rc = key.SubkeyNames(&children);
  if (rc != ERROR_SUCCESS) {
    *failed = FullKeyName(path);
    return rc;
  }
  keys->push_back(std::move(entry));
  for (const auto& child : children) {
    rc = ReadKeyTree(ChildPath(path, child), keys, failed);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

}  // namespace tesk::tool
