// The system version in both families, pointer checks, and kernel32's exports found the way
// code written for Windows looks them up.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <tesk/win32/windows.h>

namespace {

// A function as GetProcAddress hands it out (g++ wants the detour through void (*)()).
template <class Fn>
FARPROC AsFarProc(Fn* fn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

class VersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* family = std::getenv("TESK_WINDOWS_FAMILY")) saved_ = family, had_ = true;
  }
  void TearDown() override {
    if (had_) {
      setenv("TESK_WINDOWS_FAMILY", saved_.c_str(), 1);
    } else {
      unsetenv("TESK_WINDOWS_FAMILY");
    }
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST_F(VersionTest, ReportsTheFamilyTheSettingAsksFor) {
  const struct {
    const char* family;  // null: not set
    DWORD major, minor, build, platform;
    const char* service_pack;
  } cases[] = {
      {nullptr, 5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 2"},
      {"nt", 5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 2"},
      {"9x", 4, 10, 0x040A0000 | 2222, VER_PLATFORM_WIN32_WINDOWS, " A "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.family ? c.family : "unset");
    if (c.family) {
      setenv("TESK_WINDOWS_FAMILY", c.family, 1);
    } else {
      unsetenv("TESK_WINDOWS_FAMILY");
    }
    OSVERSIONINFOA info;
    std::memset(&info, 0xCC, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(148u, info.dwOSVersionInfoSize);
    EXPECT_EQ(c.major, info.dwMajorVersion);
    EXPECT_EQ(c.minor, info.dwMinorVersion);
    EXPECT_EQ(c.build, info.dwBuildNumber);
    EXPECT_EQ(c.platform, info.dwPlatformId);
    EXPECT_STREQ(c.service_pack, info.szCSDVersion);
  }
}

TEST_F(VersionTest, AWrongRecordSizeIsRefused) {
  for (DWORD size : {0u, 147u, 156u}) {
    SCOPED_TRACE(size);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = size;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(0u, info.dwMajorVersion);
  }
}

// Three pages: read-write, read-only, no access; the first two are full of characters and
// hold no terminator.
class PointerCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* base = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, base);
    base_ = static_cast<char*>(base);
    std::memset(base_, 'a', 2 * page_);
    ASSERT_EQ(0, mprotect(read_only(), page_, PROT_READ));
    ASSERT_EQ(0, mprotect(no_access(), page_, PROT_NONE));
  }
  void TearDown() override {
    if (base_) munmap(base_, 3 * page_);
  }
  char* read_write() const { return base_; }
  char* read_only() const { return base_ + page_; }
  char* no_access() const { return base_ + 2 * page_; }

  std::size_t page_ = 0;
  char* base_ = nullptr;
};

TEST_F(PointerCheckTest, ReadAndWriteChecksNeverFault) {
  char stack[64] = {};
  const struct {
    const char* what;
    void* address;
    UINT_PTR size;
    BOOL bad_read, bad_write;
  } cases[] = {
      {"stack buffer", stack, sizeof(stack), FALSE, FALSE},
      {"nothing at null", nullptr, 0, FALSE, FALSE},
      {"null", nullptr, 1, TRUE, TRUE},
      {"read-write page", read_write(), page_, FALSE, FALSE},
      {"read-only page", read_only(), page_, FALSE, TRUE},
      {"into the read-only page", read_write() + page_ - 8, 16, FALSE, TRUE},
      {"no-access page", no_access(), 1, TRUE, TRUE},
      {"into the no-access page", read_only() + page_ - 8, 16, TRUE, TRUE},
      {"all three pages", read_write(), 3 * page_, TRUE, TRUE},
      {"wraps around", reinterpret_cast<void*>(~std::uintptr_t{0} - 4), 16, TRUE, TRUE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.bad_read, IsBadReadPtr(c.address, c.size));
    EXPECT_EQ(c.bad_write, IsBadWritePtr(c.address, c.size));
  }
  // Asking about writing wrote nothing.
  EXPECT_EQ('a', read_only()[0]);
  EXPECT_EQ('a', read_write()[page_ - 1]);
}

TEST_F(PointerCheckTest, StringChecksStopAtTheTerminatorOrTheLimit) {
  read_write()[10] = '\0';
  const struct {
    const char* what;
    const char* text;
    UINT_PTR max;
    BOOL bad;
  } cases[] = {
      {"terminated", read_write(), ~UINT_PTR{0}, FALSE},
      {"no terminator before the no-access page", read_write() + 11, ~UINT_PTR{0}, TRUE},
      {"limit reached first", read_write() + 11, 2 * page_ - 11, FALSE},
      {"limit one past the readable pages", read_write() + 11, 2 * page_ - 10, TRUE},
      {"null", nullptr, 5, TRUE},
      {"null, no characters asked for", nullptr, 0, FALSE},
      {"no-access page", no_access(), 1, TRUE},
      {"literal", "text", 100, FALSE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.bad, IsBadStringPtrA(c.text, c.max));
  }
}

TEST_F(PointerCheckTest, CodeChecksAskForAnExecutableMapping) {
  EXPECT_FALSE(IsBadCodePtr(AsFarProc(&GetVersionExA)));
  EXPECT_TRUE(IsBadCodePtr(reinterpret_cast<FARPROC>(read_write())));
  EXPECT_TRUE(IsBadCodePtr(reinterpret_cast<FARPROC>(no_access())));
  EXPECT_TRUE(IsBadCodePtr(nullptr));
}

TEST(Kernel32Test, TheModuleOfKernel32IsTheStandInsOwn) {
  const HMODULE own = GetModuleHandleA("libteskwin32.so");
  ASSERT_NE(nullptr, own);
  for (const char* name : {"KERNEL32.DLL", "kernel32.dll", "Kernel32"}) {
    SCOPED_TRACE(name);
    const HMODULE module = GetModuleHandleA(name);
    EXPECT_EQ(own, module);
    EXPECT_EQ(AsFarProc(&GetVersionExA), GetProcAddress(module, "GetVersionExA"));
  }
  SetLastError(0);
  EXPECT_EQ(nullptr, GetModuleHandleA("kernel32.dl"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

}  // namespace
