#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

#include "tesk_testing.h"

namespace {

using namespace std::string_literals;

class RegistryTest : public tesk::testing::PrefixTest {
 protected:
  void TearDown() override {
    for (HKEY key : keys_) RegCloseKey(key);
  }

  // Creates or opens a key with every right; closed when the test ends.
  HKEY Create(HKEY root, const char* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition);
    EXPECT_EQ(rc, ERROR_SUCCESS) << path;
    if (key) keys_.push_back(key);
    return key;
  }

  HKEY Open(HKEY root, const char* path, REGSAM sam = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(root, path, 0, sam, &key), ERROR_SUCCESS) << path;
    if (key) keys_.push_back(key);
    return key;
  }

  static std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD size = sizeof(name);
      const LONG rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      EXPECT_EQ(rc, ERROR_SUCCESS);
      if (rc != ERROR_SUCCESS) break;
      EXPECT_EQ(size, std::strlen(name));
      names.emplace_back(name);
    }
    return names;
  }

  static std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD size = sizeof(name);
      const LONG rc = RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      EXPECT_EQ(rc, ERROR_SUCCESS);
      if (rc != ERROR_SUCCESS) break;
      names.emplace_back(name);
    }
    return names;
  }

  static LONG SetBytes(HKEY key, const char* name, DWORD type, const std::string& data) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
  }

  // The value's bytes, or the error code as text.
  static std::string Query(HKEY key, const char* name, DWORD* type = nullptr) {
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return "error " + std::to_string(rc);
    std::string data(size, '\0');
    rc = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (rc != ERROR_SUCCESS) return "error " + std::to_string(rc);
    data.resize(size);
    return data;
  }

  std::vector<HKEY> keys_;
};

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirCase) {
  DWORD disposition = 0;
  Create(HKEY_CURRENT_USER, "Software\\MixedCase\\Inner", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY key = Create(HKEY_CURRENT_USER, "SOFTWARE\\mixedcase\\INNER\\", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  EXPECT_EQ(Subkeys(Open(HKEY_CURRENT_USER, "software\\MIXEDCASE")), std::vector<std::string>{"Inner"});

  ASSERT_EQ(SetBytes(key, "ValueName", REG_SZ, "first\0"s), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key, "VALUENAME", REG_SZ, "second\0"s), ERROR_SUCCESS);
  EXPECT_EQ(Query(key, "valuename"), "second\0"s);
  EXPECT_EQ(ValueNames(key), std::vector<std::string>{"ValueName"});

  // Latin-1 letters fold too: "Été" in the ANSI code page, found as "éTÉ".
  Create(key, "\xC9t\xE9");
  Open(key, "\xE9T\xC9");
  EXPECT_EQ(Subkeys(key), std::vector<std::string>{"\xC9t\xE9"});
}

TEST_F(RegistryTest, SubkeysEnumerateInNtOrderAndValuesInCreationOrder) {
  HKEY parent = Create(HKEY_CURRENT_USER, "Software\\Order");
  for (const char* name : {"b", "A", "c", "_x", "B1"}) Create(parent, name);
  // Upper-case order, as NT keeps it: '_' sorts after the letters.
  EXPECT_EQ(Subkeys(parent), (std::vector<std::string>{"A", "b", "B1", "c", "_x"}));

  char name[8];
  EXPECT_EQ(RegEnumKeyA(parent, 0, name, sizeof(name)), ERROR_SUCCESS);
  EXPECT_STREQ(name, "A");
  EXPECT_EQ(RegEnumKeyA(parent, 5, name, sizeof(name)), ERROR_NO_MORE_ITEMS);
  DWORD size = 2;  // "B1" needs three with its terminator
  EXPECT_EQ(RegEnumKeyExA(parent, 2, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  size = 3;
  EXPECT_EQ(RegEnumKeyExA(parent, 2, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);

  for (const char* value : {"zeta", "alpha", "Mid"}) ASSERT_EQ(SetBytes(parent, value, REG_BINARY, "1"), 0);
  ASSERT_EQ(SetBytes(parent, "ALPHA", REG_BINARY, "2"), ERROR_SUCCESS);  // rewriting keeps the place
  EXPECT_EQ(ValueNames(parent), (std::vector<std::string>{"zeta", "alpha", "Mid"}));
  ASSERT_EQ(RegDeleteValueA(parent, "ZETA"), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(parent, "zeta", REG_BINARY, "3"), ERROR_SUCCESS);
  EXPECT_EQ(ValueNames(parent), (std::vector<std::string>{"alpha", "Mid", "zeta"}));
  EXPECT_EQ(RegDeleteValueA(parent, "gone"), ERROR_FILE_NOT_FOUND);

  size = 3;  // "alpha" does not fit
  EXPECT_EQ(RegEnumValueA(parent, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumValueA(parent, 3, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTripWithTheirSizes) {
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      {"Text", REG_SZ, "hello\0"s},
      {"Expand", REG_EXPAND_SZ, "%TEMP%\\x\0"s},
      {"Multi", REG_MULTI_SZ, "one\0two\0\0"s},
      {"Latin", REG_SZ, "d\xE9j\xE0\0"s},
      {"Unterminated", REG_SZ, "abc"s},
      {"Binary", REG_BINARY, "\x00\x01\xFE\xFF"s},
      {"Dword", REG_DWORD, "\x78\x56\x34\x12"s},
      {"BigEndian", REG_DWORD_BIG_ENDIAN, "\x12\x34\x56\x78"s},
      {"Qword", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\x08"s},
      {"None", REG_NONE, ""s},
      {"", REG_SZ, "the default\0"s},
  };
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Types");
  for (const Case& c : cases) ASSERT_EQ(SetBytes(key, c.name, c.type, c.data), ERROR_SUCCESS) << c.name;

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DWORD type = 0xDEADBEEF;
    DWORD size = 0xDEADBEEF;
    ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.data.size());
    EXPECT_EQ(Query(key, c.name), c.data);
    if (!c.data.empty()) {
      std::string buffer(c.data.size() - 1, '\0');
      size = static_cast<DWORD>(buffer.size());
      EXPECT_EQ(
          RegQueryValueExA(key, c.name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size),
          ERROR_MORE_DATA);
      EXPECT_EQ(size, c.data.size());
    }
  }
  EXPECT_EQ(Query(key, nullptr), "the default\0"s);

  // Enumeration gives the same names, types and bytes, in creation order.
  for (DWORD i = 0; i < std::size(cases); ++i) {
    char name[64];
    DWORD name_size = sizeof(name);
    DWORD type = 0;
    BYTE data[64];
    DWORD size = sizeof(data);
    ASSERT_EQ(RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, cases[i].name);
    EXPECT_EQ(type, cases[i].type);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), cases[i].data);
  }

  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  BYTE byte = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, &byte, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(key, "Bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
}

TEST_F(RegistryTest, QueryInfoKeyCountsAndMeasures) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Info");
  Create(key, "Short");
  Create(key, "AMuchLongerName");
  ASSERT_EQ(SetBytes(key, "v", REG_BINARY, std::string(10, 'x')), ERROR_SUCCESS);
  ASSERT_EQ(SetBytes(key, "LongerValueName", REG_SZ, "abc\0"s), ERROR_SUCCESS);

  DWORD subkeys = 0, max_subkey = 0, values = 0, max_name = 0, max_data = 0;
  FILETIME written{};
  ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, &max_subkey, nullptr, &values,
                             &max_name, &max_data, nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 2u);
  EXPECT_EQ(max_subkey, 15u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(max_name, 15u);
  EXPECT_EQ(max_data, 10u);
  EXPECT_NE(written.dwHighDateTime, 0u);
}

TEST_F(RegistryTest, DeletingKeys) {
  HKEY doomed = Create(HKEY_CURRENT_USER, "Software\\Doomed");
  Create(doomed, "Child");
  ASSERT_EQ(SetBytes(doomed, "v", REG_SZ, "x\0"s), ERROR_SUCCESS);

  // A key with subkeys stays, as on NT.
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Doomed"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Query(doomed, "v"), "x\0"s);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "software\\DOOMED\\child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Doomed\\Child"), ERROR_FILE_NOT_FOUND);

  // An empty subkey deletes the key itself; its handle then answers ERROR_KEY_DELETED.
  ASSERT_EQ(RegDeleteKeyA(doomed, ""), ERROR_SUCCESS);
  HKEY child = nullptr;
  EXPECT_EQ(Query(doomed, "v"), "error " + std::to_string(ERROR_KEY_DELETED));
  EXPECT_EQ(SetBytes(doomed, "v", REG_SZ, "y\0"s), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyExA(doomed, "New", 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr),
            ERROR_KEY_DELETED);
  char name[8];
  DWORD size = sizeof(name);
  EXPECT_EQ(RegEnumKeyExA(doomed, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);

  // Made again, the key is a new one: the old handle stays dead and the values are gone.
  DWORD disposition = 0;
  HKEY again = Create(HKEY_CURRENT_USER, "Software\\Doomed", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(Query(again, "v"), "error " + std::to_string(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Query(doomed, "v"), "error " + std::to_string(ERROR_KEY_DELETED));

  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, nullptr), ERROR_INVALID_PARAMETER);
  HKEY no_delete = Open(HKEY_CURRENT_USER, "Software\\Doomed", KEY_WRITE | KEY_READ);
  EXPECT_EQ(RegDeleteKeyA(no_delete, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, HandleRightsAreChecked) {
  struct Case {
    REGSAM sam;
    LONG query, set, create, enumerate;
  };
  constexpr LONG ok = ERROR_SUCCESS, denied = ERROR_ACCESS_DENIED;
  const Case cases[] = {
      {KEY_READ, ok, denied, denied, ok},
      {GENERIC_READ, ok, denied, denied, ok},
      {KEY_QUERY_VALUE, ok, denied, denied, denied},
      {KEY_SET_VALUE, denied, ok, denied, denied},
      {KEY_WRITE, denied, ok, ok, denied},
      {KEY_ALL_ACCESS, ok, ok, ok, ok},
  };
  HKEY full = Create(HKEY_CURRENT_USER, "Software\\Rights");
  ASSERT_EQ(SetBytes(full, "v", REG_SZ, "x\0"s), ERROR_SUCCESS);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "access 0x" << std::hex << c.sam);
    HKEY key = Open(HKEY_CURRENT_USER, "Software\\Rights", c.sam);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), c.query);
    EXPECT_EQ(SetBytes(key, "v", REG_SZ, "y\0"s), c.set);
    EXPECT_EQ(RegDeleteValueA(key, "none"), c.set == ok ? ERROR_FILE_NOT_FOUND : denied);
    HKEY sub = nullptr;
    const std::string name = "New" + std::to_string(n++);
    EXPECT_EQ(RegCreateKeyExA(key, name.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), c.create);
    if (sub) RegCloseKey(sub);
    char buffer[16];
    size = sizeof(buffer);
    const LONG enumerated = RegEnumKeyExA(key, 0, buffer, &size, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(enumerated == ERROR_NO_MORE_ITEMS ? ok : enumerated, c.enumerate);
  }
}

TEST_F(RegistryTest, BadHandlesAndPaths) {
  SetLastError(0x1234);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(nullptr, "v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(reinterpret_cast<HKEY>(0x12345), "v", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Handles", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

  struct PathCase {
    const char* path;
    LONG open, create;
  };
  const std::string longest(255, 'k'), too_long(256, 'k');
  const PathCase paths[] = {
      {"\\Software\\X", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
      {"Software\\\\Twice", ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {"Software\\Nothing\\Here", ERROR_FILE_NOT_FOUND, ERROR_SUCCESS},
      {longest.c_str(), ERROR_FILE_NOT_FOUND, ERROR_SUCCESS},
      {too_long.c_str(), ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
  };
  for (const PathCase& c : paths) {
    SCOPED_TRACE(c.path);
    key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, c.path, 0, KEY_READ, &key), c.open);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, c.path, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              c.create);
    if (key) RegCloseKey(key);
  }

  // A null or empty subkey opens the key itself.
  HKEY base = Create(HKEY_CURRENT_USER, "Software\\Self");
  HKEY by_null = Open(base, nullptr);
  HKEY by_empty = Open(base, "");
  ASSERT_EQ(SetBytes(by_null, "v", REG_SZ, "same\0"s), ERROR_SUCCESS);
  EXPECT_EQ(Query(by_empty, "v"), "same\0"s);
  HKEY legacy = nullptr;
  EXPECT_EQ(RegOpenKeyA(base, "", &legacy), ERROR_SUCCESS);
  EXPECT_EQ(legacy, base);

  // Pointing the process at another prefix retires the handles of the old one.
  tesk::win32::SetPrefixPath(prefix());
  EXPECT_EQ(Query(base, "v"), "error " + std::to_string(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Query(Open(HKEY_CURRENT_USER, "Software\\Self"), "v"), "same\0"s);

  EXPECT_EQ(GetLastError(), 0x1234u);
}

TEST_F(RegistryTest, StandardKeysAndPrefixFolders) {
  std::string error;
  ASSERT_TRUE(tesk::win32::EnsurePrefix(&error)) << error;
  EXPECT_EQ(tesk::win32::PrefixPath(), prefix());
  for (const char* path : {"Software\\Classes\\CLSID", "Software\\Classes\\Interface",
                           "Software\\Microsoft\\Windows\\CurrentVersion", "System\\CurrentControlSet\\Enum",
                           "System\\CurrentControlSet\\Control\\DeviceClasses"}) {
    Open(HKEY_LOCAL_MACHINE, path, KEY_READ);
  }
  Open(HKEY_CURRENT_USER, "Software", KEY_READ);
  EXPECT_EQ(Query(Open(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Nls\\CodePage"), "ACP"),
            "1252\0"s);

  // HKEY_CLASSES_ROOT is HKLM\Software\Classes.
  Create(HKEY_CLASSES_ROOT, "CLSID\\{Test}");
  Open(HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\{Test}", KEY_READ);

  namespace fs = std::filesystem;
  EXPECT_TRUE(fs::is_directory(prefix() + "/drive_c"));
  EXPECT_TRUE(fs::is_regular_file(prefix() + "/registry.db"));
  ASSERT_TRUE(fs::is_symlink(prefix() + "/dosdevices/c:"));
  EXPECT_EQ(fs::read_symlink(prefix() + "/dosdevices/c:"), "../drive_c");
  EXPECT_TRUE(fs::equivalent(prefix() + "/dosdevices/c:", prefix() + "/drive_c"));
  ASSERT_TRUE(tesk::win32::EnsurePrefix(&error)) << error;  // again, on an existing prefix
}

TEST_F(RegistryTest, LegacyCallsUseTheDefaultValue) {
  ASSERT_EQ(RegSetValueA(HKEY_CURRENT_USER, "Software\\Legacy\\Sub", REG_SZ, "text", 0), ERROR_SUCCESS);
  char data[16];
  LONG size = sizeof(data);
  ASSERT_EQ(RegQueryValueA(HKEY_CURRENT_USER, "Software\\Legacy\\Sub", data, &size), ERROR_SUCCESS);
  EXPECT_STREQ(data, "text");
  EXPECT_EQ(size, 5);
  EXPECT_EQ(Query(Open(HKEY_CURRENT_USER, "Software\\Legacy\\Sub"), nullptr), "text\0"s);

  size = 2;
  EXPECT_EQ(RegQueryValueA(HKEY_CURRENT_USER, "Software\\Legacy\\Sub", data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5);
  size = 0;
  EXPECT_EQ(RegQueryValueA(HKEY_CURRENT_USER, "Software\\Legacy\\Sub", nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 5);
  // A key without a default value reads as an empty string.
  size = sizeof(data);
  EXPECT_EQ(RegQueryValueA(HKEY_CURRENT_USER, "Software\\Legacy", data, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(RegQueryValueA(HKEY_CURRENT_USER, "Software\\Nowhere", data, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueA(HKEY_CURRENT_USER, "Software\\Legacy", REG_DWORD, "x", 0), ERROR_INVALID_PARAMETER);

  HKEY created = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Legacy\\Other", &created), ERROR_SUCCESS);
  keys_.push_back(created);
  EXPECT_EQ(SetBytes(created, "v", REG_SZ, "x\0"s), ERROR_SUCCESS);
  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "software\\legacy\\other", &opened), ERROR_SUCCESS);
  keys_.push_back(opened);
  EXPECT_EQ(Query(opened, "V"), "x\0"s);
}

TEST_F(RegistryTest, AnsiNamesAndDataAreKeptAsUtf8) {
  HKEY key = Create(HKEY_CURRENT_USER, "Software\\Caf\xE9");
  ASSERT_EQ(SetBytes(key, "Ann\xE9", REG_SZ, "d\xE9j\xE0\0"s), ERROR_SUCCESS);
  EXPECT_EQ(Query(key, "ANN\xC9"), "d\xE9j\xE0\0"s);

  // Under the UTF-8 code page the same key and value read back as the UTF-8 they are kept in,
  // with sizes in that form.
  HKEY code_page = Open(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Nls\\CodePage");
  ASSERT_EQ(SetBytes(code_page, "ACP", REG_SZ, "65001\0"s), ERROR_SUCCESS);
  tesk::win32::SetPrefixPath(prefix());  // drops the cached code page (and the handles)
  keys_.clear();
  EXPECT_EQ(Subkeys(Open(HKEY_CURRENT_USER, "Software")), std::vector<std::string>{"Caf\xC3\xA9"});
  key = Open(HKEY_CURRENT_USER, "Software\\CAF\xC3\x89");
  EXPECT_EQ(ValueNames(key), std::vector<std::string>{"Ann\xC3\xA9"});
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExA(key, "ANN\xC3\x89", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(Query(key, "Ann\xC3\xA9"), "d\xC3\xA9j\xC3\xA0\0"s);
}

}  // namespace
