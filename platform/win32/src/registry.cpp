// The registry's A-functions: argument checks, access rights and the ANSI code page around
// the store. Code-page conversions run outside the store's transactions, since looking up
// the code page reads the registry itself.
#include <tesk/win32/winreg.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"
#include "registry_store.h"

namespace tesk::win32 {
namespace {

using registry::Mode;
using registry::Transact;
using registry::Txn;

constexpr std::size_t kMaxKeyNameChars = 255;
constexpr std::size_t kMaxValueNameChars = 16383;

// Characters as the NT registry counts them: UTF-16 code units.
std::size_t Utf16Length(std::string_view utf8) {
  std::size_t n = 0;
  for (const char ch : utf8) {
    const auto b = static_cast<unsigned char>(ch);
    if ((b & 0xC0) != 0x80) n += b >= 0xF0 ? 2 : 1;
  }
  return n;
}

struct KeyPath {
  std::vector<std::string> names;
  std::vector<std::string> folded;
};

// Splits a UTF-8 path on '\'. A trailing '\' is tolerated; a leading one, or an empty name
// inside, is not.
LONG SplitPath(std::string_view path, KeyPath* out) {
  if (path.empty()) return ERROR_SUCCESS;
  if (path.front() == '\\') return ERROR_BAD_PATHNAME;
  if (path.back() == '\\') path.remove_suffix(1);
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find('\\', start);
    const std::string_view name = path.substr(start, end == std::string_view::npos ? path.npos : end - start);
    if (name.empty()) return ERROR_INVALID_PARAMETER;
    if (Utf16Length(name) > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
    out->names.emplace_back(name);
    out->folded.push_back(registry::Fold(name));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

LONG ParseAnsiPath(LPCSTR sub_key, KeyPath* out) {
  if (!sub_key || !*sub_key) return ERROR_SUCCESS;
  return SplitPath(internal::AnsiToUtf8(sub_key), out);
}

LONG ParseValueName(LPCSTR name, std::string* utf8) {
  *utf8 = (name && *name) ? internal::AnsiToUtf8(name) : std::string();
  return Utf16Length(*utf8) > kMaxValueNameChars ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data is converted piece by piece between NULs, so that the terminators of a
// REG_MULTI_SZ (or a missing one) come through as they were given.
template <class Convert>
std::string ConvertStringData(std::string_view data, Convert convert) {
  std::string out;
  out.reserve(data.size());
  std::size_t start = 0;
  while (true) {
    const std::size_t nul = data.find('\0', start);
    const std::string_view piece =
        data.substr(start, nul == std::string_view::npos ? data.npos : nul - start);
    if (!piece.empty()) out += convert(piece);
    if (nul == std::string_view::npos) break;
    out.push_back('\0');
    start = nul + 1;
  }
  return out;
}

std::string DataToUtf8(DWORD type, std::string_view data) {
  return IsString(type) ? ConvertStringData(data, internal::AnsiToUtf8) : std::string(data);
}

std::string DataToAnsi(DWORD type, std::string_view data) {
  return IsString(type) ? ConvertStringData(data, internal::Utf8ToAnsi) : std::string(data);
}

REGSAM MapGeneric(REGSAM sam) {
  REGSAM mapped = sam & (KEY_ALL_ACCESS | SYNCHRONIZE);
  if (sam & GENERIC_READ) mapped |= KEY_READ;
  if (sam & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (sam & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
  if (sam & GENERIC_ALL) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

// The rights a new handle gets: what was asked for, MAXIMUM_ALLOWED adding whatever the
// registry allows. A read-only registry refuses any write right asked for by name.
LONG Grant(const Txn& txn, REGSAM sam, REGSAM* granted) {
  const REGSAM asked = MapGeneric(sam);
  if (txn.read_only() && (asked & registry::kWriteRights)) return ERROR_ACCESS_DENIED;
  *granted = asked;
  if (sam & MAXIMUM_ALLOWED) *granted |= txn.read_only() ? KEY_READ : KEY_ALL_ACCESS;
  return ERROR_SUCCESS;
}

Mode ModeFor(REGSAM sam) {
  return (sam & MAXIMUM_ALLOWED) || (MapGeneric(sam) & registry::kWriteRights) ? Mode::kOpen : Mode::kRead;
}

// Opens or creates a path below a key whose handle has the given rights. Creating needs
// KEY_CREATE_SUB_KEY on that handle.
LONG CreatePath(Txn& txn, std::int64_t base, REGSAM base_access, const KeyPath& path, std::int64_t* id,
                bool* created) {
  *created = false;
  std::int64_t at = base;
  for (std::size_t i = 0; i < path.names.size(); ++i) {
    std::int64_t child = 0;
    if (txn.FindChild(at, path.folded[i], &child)) {
      at = child;
      continue;
    }
    if (!(base_access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    at = txn.AddChild(at, path.names[i], path.folded[i]);
    *created = true;
  }
  *id = at;
  return ERROR_SUCCESS;
}

// Hands data to a caller's buffer the registry way: a null buffer asks for the size, a short
// one gets ERROR_MORE_DATA with the size needed.
LONG Deliver(const std::string& data, LPBYTE buffer, LPDWORD size) {
  if (!size) return ERROR_SUCCESS;
  const auto needed = static_cast<DWORD>(data.size());
  if (!buffer) {
    *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  *size = needed;
  return ERROR_SUCCESS;
}

// Copies a name with its terminator when it fits in `capacity` characters.
bool CopyName(const std::string& name, LPSTR buffer, DWORD capacity) {
  if (name.size() + 1 > capacity) return false;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return true;
}

}  // namespace
}  // namespace tesk::win32

using namespace tesk::win32;

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                          PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyPath path;
  if (const LONG rc = ParseAnsiPath(lpSubKey, &path); rc != ERROR_SUCCESS) return rc;
  HKEY result = nullptr;
  const LONG rc = Transact(ModeFor(samDesired), [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM unused = 0;
    LONG r = txn.Resolve(hKey, &id, &unused);
    if (r == ERROR_SUCCESS) r = txn.Walk(id, path.folded, &id);
    REGSAM granted = 0;
    if (r == ERROR_SUCCESS) r = Grant(txn, samDesired, &granted);
    if (r == ERROR_SUCCESS) result = txn.NewHandle(id, granted);
    return r;
  });
  if (rc == ERROR_SUCCESS) *phkResult = result;
  return rc;
}

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  if (lpSubKey && *lpSubKey) return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
  // No subkey: the same handle comes back.
  const LONG rc = Transact(Mode::kRead, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    return txn.Resolve(hKey, &id, &access);
  });
  *phkResult = rc == ERROR_SUCCESS ? hKey : nullptr;
  return rc;
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                            DWORD /*dwOptions*/, REGSAM samDesired,
                            const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyPath path;
  if (const LONG rc = ParseAnsiPath(lpSubKey, &path); rc != ERROR_SUCCESS) return rc;
  HKEY result = nullptr;
  bool created = false;
  const LONG rc = Transact(Mode::kWrite, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    LONG r = txn.Resolve(hKey, &id, &access);
    if (r == ERROR_SUCCESS) r = CreatePath(txn, id, access, path, &id, &created);
    REGSAM granted = 0;
    if (r == ERROR_SUCCESS) r = Grant(txn, samDesired, &granted);
    if (r == ERROR_SUCCESS) result = txn.NewHandle(id, granted);
    return r;
  });
  if (rc != ERROR_SUCCESS) return rc;
  *phkResult = result;
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  if (!lpSubKey || !*lpSubKey) return RegOpenKeyA(hKey, nullptr, phkResult);
  return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr,
                         phkResult, nullptr);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  return registry::CloseHandle(hKey);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
  if (!lpData && cbData != 0) return ERROR_NOACCESS;
  std::string name;
  if (const LONG rc = ParseValueName(lpValueName, &name); rc != ERROR_SUCCESS) return rc;
  const std::string folded = registry::Fold(name);
  const std::string data =
      DataToUtf8(dwType, std::string_view(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0));
  return Transact(Mode::kWrite, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    if (const LONG r = txn.Resolve(hKey, &id, &access); r != ERROR_SUCCESS) return r;
    if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    txn.SetValue(id, name, folded, dwType, data);
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegSetValueA(HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData, DWORD /*cbData*/) {
  if (dwType != REG_SZ || !lpData) return ERROR_INVALID_PARAMETER;
  KeyPath path;
  if (const LONG rc = ParseAnsiPath(lpSubKey, &path); rc != ERROR_SUCCESS) return rc;
  const std::string data = DataToUtf8(REG_SZ, std::string_view(lpData, std::strlen(lpData) + 1));
  return Transact(Mode::kWrite, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    LONG r = txn.Resolve(hKey, &id, &access);
    if (r != ERROR_SUCCESS) return r;
    if (path.names.empty()) {
      if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    } else {
      bool created = false;
      if ((r = CreatePath(txn, id, access, path, &id, &created)) != ERROR_SUCCESS) return r;
    }
    txn.SetValue(id, "", "", REG_SZ, data);
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  std::string name;
  if (const LONG rc = ParseValueName(lpValueName, &name); rc != ERROR_SUCCESS) return rc;
  const std::string folded = registry::Fold(name);
  registry::Value value;
  const LONG rc = Transact(Mode::kRead, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    if (const LONG r = txn.Resolve(hKey, &id, &access); r != ERROR_SUCCESS) return r;
    if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return (txn.GetValue(id, folded, &value) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (lpType) *lpType = value.type;
  return Deliver(DataToAnsi(value.type, value.data), lpData, lpcbData);
}

LONG WINAPI RegQueryValueA(HKEY hKey, LPCSTR lpSubKey, LPSTR lpData, PLONG lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  KeyPath path;
  if (const LONG rc = ParseAnsiPath(lpSubKey, &path); rc != ERROR_SUCCESS) return rc;
  registry::Value value;
  bool found = false;
  const LONG rc = Transact(Mode::kRead, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    LONG r = txn.Resolve(hKey, &id, &access);
    if (r != ERROR_SUCCESS) return r;
    if (path.names.empty() && !(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    if ((r = txn.Walk(id, path.folded, &id)) != ERROR_SUCCESS) return r;
    found = txn.GetValue(id, "", &value);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  // A key without a default value reads as an empty string.
  if (found && !IsString(value.type)) return ERROR_INVALID_DATA;
  std::string text = found ? DataToAnsi(value.type, value.data) : std::string();
  if (text.empty() || text.back() != '\0') text.push_back('\0');
  DWORD size = lpcbData ? static_cast<DWORD>(*lpcbData < 0 ? 0 : *lpcbData) : 0;
  const LONG result = Deliver(text, reinterpret_cast<LPBYTE>(lpData), lpcbData ? &size : nullptr);
  if (lpcbData) *lpcbData = static_cast<LONG>(size);
  return result;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  std::string name;
  FILETIME written{};
  const LONG rc = Transact(Mode::kRead, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    if (const LONG r = txn.Resolve(hKey, &id, &access); r != ERROR_SUCCESS) return r;
    if (!(access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    return (txn.ChildAt(id, dwIndex, &name, &written) ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS);
  });
  if (rc != ERROR_SUCCESS) return rc;
  const std::string ansi = internal::Utf8ToAnsi(name);
  if (ansi.size() + 1 > *lpcchName || (lpClass && *lpcchClass < 1)) return ERROR_MORE_DATA;
  CopyName(ansi, lpName, *lpcchName);
  *lpcchName = static_cast<DWORD>(ansi.size());
  if (lpClass) {
    lpClass[0] = '\0';
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) *lpftLastWriteTime = written;
  return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  DWORD size = cchName;
  return RegEnumKeyExA(hKey, dwIndex, lpName, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  registry::Value value;
  const LONG rc = Transact(Mode::kRead, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    if (const LONG r = txn.Resolve(hKey, &id, &access); r != ERROR_SUCCESS) return r;
    if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    return (txn.ValueAt(id, dwIndex, &value) ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS);
  });
  if (rc != ERROR_SUCCESS) return rc;
  const std::string name = internal::Utf8ToAnsi(value.name);
  if (!CopyName(name, lpValueName, *lpcchValueName)) return ERROR_MORE_DATA;
  *lpcchValueName = static_cast<DWORD>(name.size());
  if (lpType) *lpType = value.type;
  return Deliver(DataToAnsi(value.type, value.data), lpData, lpcbData);
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                             LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> subkeys;
  std::vector<registry::Value> values;
  FILETIME written{};
  const LONG rc = Transact(Mode::kRead, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    if (const LONG r = txn.Resolve(hKey, &id, &access); r != ERROR_SUCCESS) return r;
    if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    txn.ChildNames(id, &subkeys);
    txn.Values(id, &values);
    written = txn.WriteTime(id);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) return rc;
  if (lpClass) {
    if (*lpcchClass < 1) return ERROR_MORE_DATA;
    lpClass[0] = '\0';
    *lpcchClass = 0;
  }
  DWORD max_subkey = 0, max_name = 0, max_data = 0;
  for (const std::string& subkey : subkeys) {
    max_subkey = std::max(max_subkey, static_cast<DWORD>(internal::Utf8ToAnsi(subkey).size()));
  }
  for (const registry::Value& value : values) {
    max_name = std::max(max_name, static_cast<DWORD>(internal::Utf8ToAnsi(value.name).size()));
    max_data = std::max(max_data, static_cast<DWORD>(DataToAnsi(value.type, value.data).size()));
  }
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subkeys.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = max_subkey;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
  if (lpcValues) *lpcValues = static_cast<DWORD>(values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = max_name;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = max_data;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = written;
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  KeyPath path;
  if (const LONG rc = ParseAnsiPath(lpSubKey, &path); rc != ERROR_SUCCESS) return rc;
  const bool predefined = hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_USERS ||
                          hKey == HKEY_CLASSES_ROOT;
  return Transact(Mode::kWrite, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    LONG r = txn.Resolve(hKey, &id, &access);
    if (r != ERROR_SUCCESS) return r;
    if (path.names.empty()) {
      // The key itself: a root never goes, and the handle must carry DELETE.
      if (predefined || !(access & DELETE)) return ERROR_ACCESS_DENIED;
    } else if ((r = txn.Walk(id, path.folded, &id)) != ERROR_SUCCESS) {
      return r;
    }
    if (txn.HasChildren(id)) return ERROR_ACCESS_DENIED;
    txn.RemoveKey(id);
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  std::string name;
  if (const LONG rc = ParseValueName(lpValueName, &name); rc != ERROR_SUCCESS) return rc;
  const std::string folded = registry::Fold(name);
  return Transact(Mode::kWrite, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    if (const LONG r = txn.Resolve(hKey, &id, &access); r != ERROR_SUCCESS) return r;
    if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    return (txn.DeleteValue(id, folded) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
  });
}

LONG WINAPI RegFlushKey(HKEY hKey) {
  const LONG rc = Transact(Mode::kRead, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    return txn.Resolve(hKey, &id, &access);
  });
  return rc == ERROR_SUCCESS ? registry::Flush() : rc;
}

}  // extern "C"

namespace tesk::win32::internal {

bool ReadRegistryStringUtf8(HKEY root, std::string_view path, std::string_view value_name, std::string* out) {
  KeyPath key_path;
  if (SplitPath(path, &key_path) != ERROR_SUCCESS) return false;
  const std::string folded = registry::Fold(value_name);
  registry::Value value;
  const LONG rc = Transact(Mode::kRead, [&](Txn& txn) -> LONG {
    std::int64_t id = 0;
    REGSAM access = 0;
    LONG r = txn.Resolve(root, &id, &access);
    if (r == ERROR_SUCCESS) r = txn.Walk(id, key_path.folded, &id);
    if (r == ERROR_SUCCESS && !txn.GetValue(id, folded, &value)) r = ERROR_FILE_NOT_FOUND;
    return r;
  });
  if (rc != ERROR_SUCCESS || (value.type != REG_SZ && value.type != REG_EXPAND_SZ)) return false;
  *out = value.data.substr(0, value.data.find('\0'));
  return true;
}

}  // namespace tesk::win32::internal
