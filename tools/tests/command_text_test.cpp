// What the command line accepts and shows: key paths, value types and data, error texts.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tesk/win32/windows.h>

#include "key_path.h"
#include "result_text.h"
#include "value_text.h"

namespace tesk::tool {
namespace {

using ::testing::HasSubstr;

TEST(KeyPathText, AcceptsEveryRootSpellingAndRejectsTheRest) {
  struct Case {
    const char* text;
    HKEY root;
    const char* subkey;
  };
  const Case good[] = {
      {"HKLM\\Software\\Tesk", HKEY_LOCAL_MACHINE, "Software\\Tesk"},
      {"hkey_local_machine\\Software", HKEY_LOCAL_MACHINE, "Software"},
      {"HKCU", HKEY_CURRENT_USER, ""},
      {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER, ""},
      {"hkcr\\CLSID\\", HKEY_CLASSES_ROOT, "CLSID"},
      {"HKEY_CLASSES_ROOT\\.rel", HKEY_CLASSES_ROOT, ".rel"},
      {"HKU\\.DEFAULT", HKEY_USERS, ".DEFAULT"},
      {"Hkey_Users", HKEY_USERS, ""},
  };
  for (const auto& c : good) {
    const auto path = ParseKeyPath(c.text);
    ASSERT_TRUE(path) << c.text;
    EXPECT_EQ(path->root, c.root) << c.text;
    EXPECT_EQ(path->subkey, c.subkey) << c.text;
  }
  for (const char* bad :
       {"", "Software\\Tesk", "HKEY_LOCAL\\X", "HKLMX", "\\HKLM\\X", "HKLM\\a\\\\b", "HKLM/a"})
    EXPECT_FALSE(ParseKeyPath(bad)) << bad;

  EXPECT_EQ(FullKeyName(*ParseKeyPath("hklm\\Software")), "HKEY_LOCAL_MACHINE\\Software");
  EXPECT_EQ(FullKeyName(ChildPath(*ParseKeyPath("HKU"), "S-1")), "HKEY_USERS\\S-1");
}

TEST(ValueText, ParsesDataForEachType) {
  struct Case {
    const char* type;
    const char* text;
    std::vector<BYTE> data;
  };
  const Case good[] = {
      {"REG_SZ", "Gannet", {'G', 'a', 'n', 'n', 'e', 't', 0}},
      {"reg_expand_sz", "%T%", {'%', 'T', '%', 0}},
      {"REG_SZ", "", {0}},
      {"REG_MULTI_SZ", "E:\\0F:", {'E', ':', 0, 'F', ':', 0, 0}},
      {"REG_MULTI_SZ", "", {0}},
      {"REG_DWORD", "42", {42, 0, 0, 0}},
      {"REG_DWORD", "0x2A", {42, 0, 0, 0}},
      {"REG_DWORD", "4294967295", {0xff, 0xff, 0xff, 0xff}},
      {"REG_DWORD", "", {0, 0, 0, 0}},
      {"REG_DWORD_LITTLE_ENDIAN", "1", {1, 0, 0, 0}},
      {"REG_DWORD_BIG_ENDIAN", "0x01020304", {1, 2, 3, 4}},
      {"REG_QWORD", "0x1122334455667788", {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
      {"REG_BINARY", "0a1B", {0x0a, 0x1b}},
      {"REG_BINARY", "", {}},
      {"REG_NONE", "00", {0}},
  };
  for (const auto& c : good) {
    const auto type = ParseTypeName(c.type);
    ASSERT_TRUE(type) << c.type;
    std::vector<BYTE> data;
    std::string error;
    EXPECT_TRUE(ParseValueData(*type, c.text, &data, &error)) << c.type << " " << c.text << ": " << error;
    EXPECT_EQ(data, c.data) << c.type << " " << c.text;
  }

  struct BadCase {
    DWORD type;
    const char* text;
    const char* message;
  };
  const BadCase bad[] = {
      {REG_DWORD, "4294967296", "not a number"},
      {REG_DWORD, "-1", "not a number"},
      {REG_DWORD, "12abc", "not a number"},
      {REG_DWORD, "0x", "not a number"},
      {REG_QWORD, "0x1ffffffffffffffff", "64-bit"},
      {REG_BINARY, "abc", "two hex digits"},
      {REG_BINARY, "zz", "hex digits"},
      {REG_MULTI_SZ, "a\\0\\0b", "cannot be empty"},
      {REG_MULTI_SZ, "a\\0", "cannot be empty"},
  };
  for (const auto& c : bad) {
    std::vector<BYTE> data;
    std::string error;
    EXPECT_FALSE(ParseValueData(c.type, c.text, &data, &error)) << c.text;
    EXPECT_THAT(error, HasSubstr(c.message)) << c.text;
  }
  EXPECT_FALSE(ParseTypeName("REG_TEXT"));
  EXPECT_FALSE(ParseTypeName("REG_LINK"));
}

TEST(ValueText, ShowsDataAsRegQueryDoes) {
  struct Case {
    DWORD type;
    std::vector<BYTE> data;
    const char* shown;
  };
  const Case cases[] = {
      {REG_SZ, {'a', 'b', 0}, "ab"},
      {REG_SZ, {'a', 'b'}, "ab"},
      {REG_EXPAND_SZ, {'%', 'T', '%', 0}, "%T%"},
      {REG_MULTI_SZ, {'E', ':', 0, 'F', ':', 0, 0}, "E:\\0F:"},
      {REG_DWORD, {42, 0, 0, 0}, "0x2a"},
      {REG_DWORD, {1, 2}, "0102"},
      {REG_DWORD_BIG_ENDIAN, {0, 0, 1, 0}, "0x100"},
      {REG_QWORD, {0, 0, 0, 0, 1, 0, 0, 0}, "0x100000000"},
      {REG_BINARY, {0x0a, 0xff}, "0AFF"},
      {REG_NONE, {}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatValueData(c.type, c.data), c.shown) << TypeName(c.type);
  EXPECT_EQ(TypeName(REG_QWORD), "REG_QWORD");
  EXPECT_EQ(TypeName(0x1234), "0x1234");
}

TEST(ResultText, DescribesCodesInWordsWithTheCode) {
  EXPECT_EQ(Win32ErrorText(ERROR_ACCESS_DENIED), "access is denied (error 5)");
  EXPECT_EQ(ResultText(SELFREG_E_CLASS), "class registration failed (0x80040201)");
  EXPECT_EQ(DescribeResult(REGDB_E_CLASSNOTREG), "class not registered");
  EXPECT_EQ(DescribeResult(static_cast<HRESULT>(0x80000010L)), "the player is busy with another operation");
  // Win32 codes wrapped in an HRESULT read as the Win32 code.
  EXPECT_EQ(DescribeResult(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)), DescribeWin32Error(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(DescribeResult(E_OUTOFMEMORY), DescribeWin32Error(ERROR_OUTOFMEMORY));
  EXPECT_EQ(ResultText(static_cast<HRESULT>(0x8ABC0001L)), "unknown error (0x8ABC0001)");
  EXPECT_EQ(Win32ErrorText(99999), "unknown error (error 99999)");
  for (HRESULT known :
       {E_FAIL, E_OUTOFMEMORY, CO_E_ERRORINDLL, SELFREG_E_TYPELIB, E_NOINTERFACE, E_INVALIDARG})
    EXPECT_NE(DescribeResult(known), "unknown error") << std::hex << known;
}

}  // namespace
}  // namespace tesk::tool
