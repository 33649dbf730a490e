// A second process for the registry tests. Paths are below HKEY_CURRENT_USER.
//   registry_helper write <writer> <count>   keys and values of one of several writers
//   registry_helper set <path> <name> <text> a REG_SZ value (the key is created)
//   registry_helper get <path> <name>        prints a string value
//   registry_helper delete <path>            deletes a key
// Prints "rc=<code>" for the first failure and exits 1; exits 0 on success.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tesk/win32/windows.h>

namespace {

int Fail(const char* what, LONG rc) {
  std::printf("%s: rc=%ld\n", what, static_cast<long>(rc));
  return 1;
}

LONG SetString(HKEY key, const std::string& name, const std::string& text) {
  return RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

// Every writer adds a key of its own per item and a value per item to one key they all
// share, so that they contend for the same rows as well as the same file.
int Write(int writer, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string item =
        "Software\\Stress\\Writer" + std::to_string(writer) + "\\Item" + std::to_string(i);
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, item.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr);
    if (rc != ERROR_SUCCESS) return Fail("create item", rc);
    rc = SetString(key, "Data", std::to_string(i));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Fail("set item", rc);

    rc = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Stress\\Shared", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                         &key, nullptr);
    if (rc != ERROR_SUCCESS) return Fail("create shared", rc);
    rc = SetString(key, "w" + std::to_string(writer) + "_" + std::to_string(i), std::to_string(writer));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Fail("set shared", rc);
  }
  return 0;
}

int Set(const char* path, const char* name, const char* text) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return Fail("create", rc);
  rc = SetString(key, name, text);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? 0 : Fail("set", rc);
}

int Get(const char* path, const char* name) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) return Fail("open", rc);
  char data[256] = {};
  DWORD size = sizeof(data) - 1;
  DWORD type = 0;
  rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return Fail("query", rc);
  std::printf("%s\n", data);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "write" && argc == 4) return Write(std::atoi(argv[2]), std::atoi(argv[3]));
  if (command == "set" && argc == 5) return Set(argv[2], argv[3], argv[4]);
  if (command == "get" && argc == 4) return Get(argv[2], argv[3]);
  if (command == "delete" && argc == 3) {
    const LONG rc = RegDeleteKeyA(HKEY_CURRENT_USER, argv[2]);
    return rc == ERROR_SUCCESS ? 0 : Fail("delete", rc);
  }
  std::fprintf(stderr, "usage: registry_helper write|set|get|delete ...\n");
  return 2;
}
