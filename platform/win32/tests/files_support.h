// A prefix with a player's drive: E: is a folder of the test's own.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

#include "tesk_testing.h"

namespace files_test {

class DriveTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tesk::win32::EnsurePrefix());
    drive_ = prefix() + "/player";
    ASSERT_EQ(0, mkdir(drive_.c_str(), 0755));
    ASSERT_EQ(0, symlink(drive_.c_str(), (prefix() + "/dosdevices/e:").c_str()));
  }

  // The Linux path of a name on E:.
  std::string OnDrive(const std::string& name) const { return drive_ + "/" + name; }

  static void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
  }

  // CreateFileA with OPEN_EXISTING; the last error when it failed (the handle stays null).
  static DWORD Open(const std::string& path, DWORD access, DWORD share, HANDLE* handle,
                    DWORD disposition = OPEN_EXISTING) {
    *handle = CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*handle == INVALID_HANDLE_VALUE) {
      *handle = nullptr;
      return GetLastError();
    }
    return ERROR_SUCCESS;
  }

  std::string drive_;
};

}  // namespace files_test
