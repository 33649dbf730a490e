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
