// An open registry key that closes itself on every path out.
#pragma once

#include <utility>

#include <tesk/win32/winreg.h>

namespace tesk::win32 {

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { Close(); }
  RegKey(RegKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  RegKey& operator=(RegKey&& other) noexcept {
    if (this != &other) {
      Close();
      key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // For the out-parameter of RegOpenKeyExA / RegCreateKeyExA.
  HKEY* Put() {
    Close();
    return &key_;
  }
  HKEY Get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }

  void Close() {
    if (key_) RegCloseKey(std::exchange(key_, nullptr));
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace tesk::win32

#include <string>

#include <tesk/win32/winbase.h>

namespace tesk::win32 {

// What an in-process server's registration writes under HKCR\CLSID: the class key (its
// default value set to `description` when one is given, without testing the result), and
// InProcServer32 naming `module` with ThreadingModel "Apartment". False when a key cannot be
// opened, created or written, or when the module's path does not fit the room for it
// (registering a path cut short would name another file).
inline bool RegisterInprocServerKeys(HMODULE module, const std::string& class_key, const char* description) {
  constexpr DWORD kPathChars = 4096;
  RegKey clsid;
  RegKey cls;
  RegKey server;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, clsid.Put()) != ERROR_SUCCESS ||
      RegCreateKeyExA(clsid.Get(), class_key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, cls.Put(), nullptr) != ERROR_SUCCESS)
    return false;
  if (description) {
    RegSetValueExA(cls.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(description),
                   static_cast<DWORD>(std::char_traits<char>::length(description) + 1));
  }

  std::string path(kPathChars, '\0');
  const DWORD length = GetModuleFileNameA(module, path.data(), kPathChars);
  if (length == 0 || length >= kPathChars) return false;
  if (RegSetValueA(cls.Get(), "InProcServer32", REG_SZ, path.c_str(), length + 1) != ERROR_SUCCESS)
    return false;

  static constexpr char kModel[] = "Apartment";
  return RegOpenKeyExA(cls.Get(), "InProcServer32", 0, KEY_ALL_ACCESS, server.Put()) == ERROR_SUCCESS &&
         RegSetValueExA(server.Get(), "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(kModel),
                        sizeof(kModel)) == ERROR_SUCCESS;
}

}  // namespace tesk::win32
