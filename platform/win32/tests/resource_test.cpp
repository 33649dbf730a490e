// String tables of modules: LoadStringA/W and the RT_STRING blocks.
#include <cstring>
#include <string>

#include <tesk/win32/windows.h>

#include "tesk_testing.h"

namespace {

class ResourceTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override {
    module_ = LoadLibraryA((tesk::testing::LibDir() + "/libwin32_teststrings.so").c_str());
    ASSERT_NE(nullptr, module_);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  HMODULE module_ = nullptr;
};

TEST_F(ResourceTest, LoadStringCopiesAndTruncates) {
  char buffer[32];
  EXPECT_EQ(6, LoadStringA(module_, 100, buffer, sizeof buffer));
  EXPECT_STREQ("Player", buffer);
  EXPECT_EQ(4, LoadStringA(module_, 117, buffer, sizeof buffer));
  EXPECT_STREQ("caf\xE9", buffer);                     // in the ANSI code page
  EXPECT_EQ(5, LoadStringA(module_, 101, buffer, 6));  // max - 1 characters and the terminator
  EXPECT_STREQ("Track", buffer);
  EXPECT_EQ(0, LoadStringA(module_, 101, buffer, 1));
  EXPECT_STREQ("", buffer);

  WCHAR wide[32];
  EXPECT_EQ(4, LoadStringW(module_, 117, wide, 32));
  EXPECT_EQ(std::u16string(u"caf\u00e9"), std::u16string(wide));
  const WCHAR* direct = nullptr;
  EXPECT_EQ(14, LoadStringW(module_, 101, reinterpret_cast<LPWSTR>(&direct), 0));
  EXPECT_EQ(std::u16string(u"Track %d of %d"), std::u16string(direct, 14));
}

TEST_F(ResourceTest, UnknownStringsAndModulesWithoutTable) {
  char buffer[8] = "x";
  SetLastError(0);
  EXPECT_EQ(0, LoadStringA(module_, 102, buffer, sizeof buffer));
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(0, LoadStringA(nullptr, 100, buffer, sizeof buffer));  // the test program has none
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND), GetLastError());
  EXPECT_EQ(0, LoadStringA(module_, 100, nullptr, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(ResourceTest, StringBlocksHoldSixteenCountedStrings) {
  // Block 7 holds ids 96..111: 100 and 101 are there.
  const HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(7), RT_STRING);
  ASSERT_NE(nullptr, found);
  const auto* data = static_cast<const WCHAR*>(LockResource(LoadResource(module_, found)));
  ASSERT_NE(nullptr, data);
  std::u16string strings[16];
  const WCHAR* p = data;
  for (auto& text : strings) {
    text.assign(p + 1, p[0]);
    p += 1 + p[0];
  }
  EXPECT_EQ(static_cast<DWORD>((p - data) * sizeof(WCHAR)), SizeofResource(module_, found));
  EXPECT_EQ(u"Player", strings[4]);
  EXPECT_EQ(u"Track %d of %d", strings[5]);
  EXPECT_EQ(u"", strings[0]);

  EXPECT_EQ(nullptr, FindResourceA(module_, MAKEINTRESOURCEA(1), RT_STRING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, FindResourceA(module_, MAKEINTRESOURCEA(7), MAKEINTRESOURCEA(10)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
}

}  // namespace
