// Code pages, the ANSI code page from the registry, and the lstr* helpers.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <tesk/win32/prefix.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winnls.h>
#include <tesk/win32/winreg.h>
#include <tesk_testing.h>

namespace {

constexpr DWORD kMarker = 0xDEADBEEF;

std::u16string Widen(std::string_view ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

struct Decoded {
  int result = 0;
  DWORD error = 0;
  std::u16string text;
};

Decoded Decode(UINT code_page, std::string_view bytes, DWORD flags = 0) {
  Decoded out;
  SetLastError(kMarker);
  const int needed =
      MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::vector<WCHAR> buffer(needed > 0 ? needed : 1);
  out.result = needed > 0 ? MultiByteToWideChar(code_page, flags, bytes.data(),
                                                static_cast<int>(bytes.size()), buffer.data(), needed)
                          : needed;
  out.error = GetLastError();
  if (out.result > 0) out.text.assign(buffer.data(), static_cast<std::size_t>(out.result));
  return out;
}

struct Encoded {
  int result = 0;
  DWORD error = 0;
  std::string bytes;
  BOOL used_default = -1;
};

Encoded Encode(UINT code_page, std::u16string_view text, DWORD flags = 0, const char* default_char = nullptr,
               bool ask_used_default = true) {
  Encoded out;
  BOOL* used = ask_used_default ? &out.used_default : nullptr;
  SetLastError(kMarker);
  const int needed = WideCharToMultiByte(code_page, flags, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, default_char, used);
  std::vector<char> buffer(needed > 0 ? needed : 1);
  out.result = needed > 0 ? WideCharToMultiByte(code_page, flags, text.data(), static_cast<int>(text.size()),
                                                buffer.data(), needed, default_char, used)
                          : needed;
  out.error = GetLastError();
  if (out.result > 0) out.bytes.assign(buffer.data(), static_cast<std::size_t>(out.result));
  return out;
}

struct DecodeCase {
  const char* what;
  UINT code_page;
  std::string bytes;
  std::u16string text;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, MapsBytesToCharacters) {
  const DecodeCase& c = GetParam();
  const Decoded got = Decode(c.code_page, c.bytes);
  EXPECT_EQ(got.result, static_cast<int>(c.text.size())) << c.what;
  EXPECT_EQ(got.text, c.text) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, DecodeTest,
    ::testing::Values(
        DecodeCase{"1252 euro", 1252, "\x80", u"\u20AC"},
        DecodeCase{"1252 Y diaeresis", 1252, "\x9F", u"\u0178"},
        DecodeCase{"1252 specials", 1252, "\x8A\x8C\x99\x9A", u"\u0160\u0152\u2122\u0161"},
        DecodeCase{"1252 undefined bytes", 1252, "\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D"},
        DecodeCase{"1252 Latin-1 half", 1252, "\xA0\xE9\xFF", u"\u00A0\u00E9\u00FF"},
        DecodeCase{"Latin-1 C1", 28591, "\x80\x9F\xFF", u"\u0080\u009F\u00FF"},
        DecodeCase{"ASCII high byte", 20127, "A\x80", u"A\uFFFD"},
        DecodeCase{"437 letters and boxes", 437, "\x80\xB0\xE1\xFF", u"\u00C7\u2591\u00DF\u00A0"},
        DecodeCase{"UTF-8 two and three bytes", CP_UTF8, "\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
        DecodeCase{"UTF-8 surrogate pair", CP_UTF8, "\xF0\x9F\x8E\xB5", u"\U0001F3B5"},
        DecodeCase{"UTF-8 stray byte", CP_UTF8,
                   "a\xFF"
                   "b",
                   u"a\uFFFDb"},
        DecodeCase{"UTF-8 truncated sequence is one U+FFFD", CP_UTF8,
                   "\xE2\x82"
                   "a",
                   u"\uFFFDa"},
        DecodeCase{"UTF-8 truncated at the end", CP_UTF8, "a\xC3", u"a\uFFFD"},
        DecodeCase{"UTF-8 overlong", CP_UTF8, "\xC0\xAF", u"\uFFFD\uFFFD"},
        DecodeCase{"UTF-8 encoded surrogate", CP_UTF8, "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        DecodeCase{"UTF-8 beyond U+10FFFF", CP_UTF8, "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        DecodeCase{"UTF-8 embedded nul", CP_UTF8, std::string("a\0b", 3), std::u16string(u"a\0b", 3)}));

struct EncodeCase {
  const char* what;
  UINT code_page;
  std::u16string text;
  std::string bytes;
  BOOL used_default;
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, MapsCharactersToBytes) {
  const EncodeCase& c = GetParam();
  const bool utf8 = c.code_page == CP_UTF8;
  const Encoded got = Encode(c.code_page, c.text, 0, nullptr, !utf8);
  EXPECT_EQ(got.bytes, c.bytes) << c.what;
  EXPECT_EQ(got.result, static_cast<int>(c.bytes.size())) << c.what;
  if (!utf8) {
    EXPECT_EQ(got.used_default, c.used_default) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, EncodeTest,
    ::testing::Values(EncodeCase{"1252 specials and undefined", 1252, u"\u20AC\u0178\u0081\u009D",
                                 "\x80\x9F\x81\x9D", FALSE},
                      EncodeCase{"1252 unmappable", 1252, u"a\u0100b", "a?b", TRUE},
                      EncodeCase{"1252 lone surrogate", 1252, u"\xD800", "?", TRUE},
                      EncodeCase{"1252 pair: one default per code unit", 1252, u"\U0001F3B5", "??", TRUE},
                      EncodeCase{"Latin-1 has no euro", 28591, u"\u00E9\u20AC", "\xE9?", TRUE},
                      EncodeCase{"ASCII has no accents", 20127, u"e\u00E9", "e?", TRUE},
                      EncodeCase{"437 box", 437, u"\u2591\u00C7", "\xB0\x80", FALSE},
                      EncodeCase{"UTF-8 pair", CP_UTF8, u"\U0001F3B5", "\xF0\x9F\x8E\xB5", FALSE},
                      EncodeCase{"UTF-8 lone low surrogate", CP_UTF8, u"a\xDC00", "a\xEF\xBF\xBD", FALSE},
                      EncodeCase{"UTF-8 reversed pair", CP_UTF8, u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD",
                                 FALSE}));

TEST(CodePageTest, EverySingleByteRoundTrips) {
  for (UINT code_page : {1252u, 28591u, 437u, 20127u}) {
    const int top = code_page == 20127 ? 0x80 : 0x100;
    for (int b = 0; b < top; ++b) {
      const std::string byte(1, static_cast<char>(b));
      const Decoded wide = Decode(code_page, byte);
      ASSERT_EQ(wide.result, 1) << code_page << " byte " << b;
      const Encoded back = Encode(code_page, wide.text);
      EXPECT_EQ(back.bytes, byte) << code_page << " byte " << b;
      EXPECT_EQ(back.used_default, FALSE) << code_page << " byte " << b;
    }
  }
}

TEST(CodePageTest, StrictFlagsRejectWhatHasNoCharacter) {
  const Decoded bad_utf8 = Decode(CP_UTF8, "ok\xC3", MB_ERR_INVALID_CHARS);
  EXPECT_EQ(bad_utf8.result, 0);
  EXPECT_EQ(bad_utf8.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));

  const Decoded good_utf8 = Decode(CP_UTF8, "\xC3\xA9", MB_ERR_INVALID_CHARS);
  EXPECT_EQ(good_utf8.text, u"\u00E9");

  const Decoded ascii = Decode(20127, "\xC9", MB_ERR_INVALID_CHARS);
  EXPECT_EQ(ascii.result, 0);
  EXPECT_EQ(ascii.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));

  const Encoded lone = Encode(CP_UTF8, u"a\xD800", WC_ERR_INVALID_CHARS, nullptr, false);
  EXPECT_EQ(lone.result, 0);
  EXPECT_EQ(lone.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(CodePageTest, CallerDefaultCharacterIsUsedAndReported) {
  const Encoded got = Encode(1252, u"x\u4E2Dy", 0, "#");
  EXPECT_EQ(got.bytes, "x#y");
  EXPECT_EQ(got.used_default, TRUE);
  const Encoded clean = Encode(1252, u"xy", 0, "#");
  EXPECT_EQ(clean.used_default, FALSE);
}

TEST(CodePageTest, MinusOneLengthConvertsTheTerminator) {
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a\x80", -1, nullptr, 0), 3);
  WCHAR wide[4] = {0x1111, 0x1111, 0x1111, 0x1111};
  ASSERT_EQ(MultiByteToWideChar(1252, 0, "a\x80", -1, wide, 4), 3);
  EXPECT_EQ(std::u16string(wide, 4), std::u16string(u"a\u20AC\0\u1111", 4));

  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", -1, nullptr, 0, nullptr, nullptr), 4);
  char bytes[5] = {'z', 'z', 'z', 'z', 'z'};
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", -1, bytes, 5, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(bytes, 5), std::string("\xE2\x82\xAC\0z", 5));
}

TEST(CodePageTest, ExplicitLengthWritesNoTerminator) {
  WCHAR wide[3] = {0x1111, 0x1111, 0x1111};
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 2, wide, 3), 2);
  EXPECT_EQ(std::u16string(wide, 3), u"ab\u1111");
}

TEST(CodePageTest, ShortBufferFailsAndWritesNothing) {
  WCHAR wide[2] = {0x1111, 0x1111};
  SetLastError(kMarker);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x8E\xB5", 4, wide, 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(wide[0], 0x1111);

  char bytes[2] = {'z', 'z'};
  BOOL used = 7;
  SetLastError(kMarker);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"abc", -1, bytes, 2, nullptr, &used), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(bytes[0], 'z');
  EXPECT_EQ(used, 7);
}

TEST(CodePageTest, BadArgumentsAreRefused) {
  WCHAR wide[8];
  char bytes[8];
  BOOL used = FALSE;
  struct Case {
    const char* what;
    int result;
    DWORD error;
  };
  auto mb = [&](UINT cp, DWORD flags, const char* src, int len, WCHAR* dst, int size) {
    SetLastError(kMarker);
    const int r = MultiByteToWideChar(cp, flags, src, len, dst, size);
    return Case{"", r, GetLastError()};
  };
  auto wc = [&](UINT cp, DWORD flags, const WCHAR* src, int len, char* dst, int size, const char* def,
                BOOL* u) {
    SetLastError(kMarker);
    const int r = WideCharToMultiByte(cp, flags, src, len, dst, size, def, u);
    return Case{"", r, GetLastError()};
  };
  const struct {
    const char* what;
    Case got;
    DWORD expected;
  } cases[] = {
      {"unknown code page in", mb(932, 0, "a", 1, wide, 8), ERROR_INVALID_PARAMETER},
      {"unknown code page out", wc(12345, 0, u"a", 1, bytes, 8, nullptr, nullptr), ERROR_INVALID_PARAMETER},
      {"null source in", mb(1252, 0, nullptr, 1, wide, 8), ERROR_INVALID_PARAMETER},
      {"null source out", wc(1252, 0, nullptr, 1, bytes, 8, nullptr, nullptr), ERROR_INVALID_PARAMETER},
      {"zero-length source", mb(1252, 0, "a", 0, wide, 8), ERROR_INVALID_PARAMETER},
      {"length below -1", mb(1252, 0, "a", -2, wide, 8), ERROR_INVALID_PARAMETER},
      {"null destination with a size", mb(1252, 0, "a", 1, nullptr, 8), ERROR_INVALID_PARAMETER},
      {"negative destination size", wc(1252, 0, u"a", 1, bytes, -1, nullptr, nullptr),
       ERROR_INVALID_PARAMETER},
      {"UTF-8 with default char", wc(CP_UTF8, 0, u"a", 1, bytes, 8, "?", nullptr), ERROR_INVALID_PARAMETER},
      {"UTF-8 with used-default flag", wc(CP_UTF8, 0, u"a", 1, bytes, 8, nullptr, &used),
       ERROR_INVALID_PARAMETER},
      {"UTF-8 with a table flag", mb(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 8), ERROR_INVALID_FLAGS},
      {"UTF-8-only flag on 1252", wc(1252, WC_ERR_INVALID_CHARS, u"a", 1, bytes, 8, nullptr, nullptr),
       ERROR_INVALID_FLAGS},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got.result, 0) << c.what;
    EXPECT_EQ(c.got.error, c.expected) << c.what;
  }
}

TEST(CodePageTest, KnowsWhichCodePagesItHas) {
  for (UINT cp : {1252u, 65001u, 20127u, 28591u, 437u}) EXPECT_TRUE(IsValidCodePage(cp)) << cp;
  for (UINT cp : {0u, 1u, 932u, 1251u}) EXPECT_FALSE(IsValidCodePage(cp)) << cp;
  EXPECT_EQ(GetOEMCP(), 437u);
  EXPECT_EQ(Decode(CP_OEMCP, "\x80").text, u"\u00C7");
}

// ---- The ANSI code page comes from the prefix's registry ----------------------------------

class AnsiCodePageTest : public tesk::testing::PrefixTest {
 protected:
  void SetAcp(const char* value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Nls\\CodePage", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             static_cast<DWORD>(std::string_view(value).size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  // The code page is read once per prefix generation; pointing at the prefix again starts one.
  void Reload() { tesk::win32::SetPrefixPath(prefix()); }
};

TEST_F(AnsiCodePageTest, DefaultsToWindows1252) {
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(Decode(CP_ACP, "\x80").text, u"\u20AC");
}

TEST_F(AnsiCodePageTest, RegistrySwitchesToUtf8ForTheNextGeneration) {
  ASSERT_EQ(GetACP(), 1252u);
  SetAcp("65001");
  EXPECT_EQ(GetACP(), 1252u) << "read once per generation";
  Reload();
  EXPECT_EQ(GetACP(), 65001u);
  EXPECT_EQ(Decode(CP_ACP, "\xC3\xA9").text, u"\u00E9");
  EXPECT_EQ(Decode(CP_THREAD_ACP, "\xE2\x82\xAC").text, u"\u20AC");
  EXPECT_EQ(lstrcmpiA("\xC3\x89t\xC3\xA9", "\xC3\xA9T\xC3\x89"), 0);
  {
    tesk::testing::TempPrefix other;
    EXPECT_EQ(GetACP(), 1252u) << "another prefix has its own setting";
  }
  EXPECT_EQ(GetACP(), 65001u);
}

TEST_F(AnsiCodePageTest, UnusableValuesFallBackTo1252) {
  for (const char* value : {"932", "utf8", "", "0", "1252x", "99999999999"}) {
    SetAcp(value);
    Reload();
    EXPECT_EQ(GetACP(), 1252u) << '"' << value << '"';
  }
  SetAcp("28591");
  Reload();
  EXPECT_EQ(GetACP(), 28591u);
}

// ---- lstr* --------------------------------------------------------------------------------

TEST(LstrTest, CopyStopsBeforeTheLimitAndTerminates) {
  const struct {
    int limit;
    const char* expected;
  } cases[] = {{1, ""}, {3, "ab"}, {6, "abcde"}, {10, "abcde"}};
  for (const auto& c : cases) {
    char buffer[10];
    std::fill(std::begin(buffer), std::end(buffer), 'z');
    EXPECT_EQ(lstrcpynA(buffer, "abcde", c.limit), buffer);
    EXPECT_STREQ(buffer, c.expected) << c.limit;
    WCHAR wide[10];
    std::fill(std::begin(wide), std::end(wide), u'z');
    EXPECT_EQ(lstrcpynW(wide, u"abcde", c.limit), wide);
    EXPECT_EQ(std::u16string(wide), Widen(c.expected)) << c.limit;
  }
  char untouched[2] = {'z', 'z'};
  EXPECT_EQ(lstrcpynA(untouched, "abc", 0), untouched);
  EXPECT_EQ(untouched[0], 'z');
  EXPECT_EQ(lstrcpynA(nullptr, "abc", 3), nullptr);
}

TEST(LstrTest, LengthCountsCharactersAndToleratesNull) {
  EXPECT_EQ(lstrlenA("abc"), 3);
  EXPECT_EQ(lstrlenW(u"\U0001F3B5x"), 3);
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrlenW(nullptr), 0);
}

TEST_F(AnsiCodePageTest, CaseInsensitiveComparison) {
  const struct {
    const char* a;
    const char* b;
    int sign;
  } narrow[] = {
      {"abc", "ABC", 0},           {"a", "B", -1},      {"b", "A", 1},
      {"ab", "abc", -1},           {"_", "a", -1},      {"\xC9t\xE9", "\xE9T\xC9", 0},
      {"\x8A\x8C", "\x9A\x9C", 0}, {"\x9F", "\xFF", 0}, {"", "", 0},
  };
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const auto& c : narrow) EXPECT_EQ(sign(lstrcmpiA(c.a, c.b)), c.sign) << c.a << " / " << c.b;
  EXPECT_EQ(lstrcmpiW(u"\u00FF\u00E9", u"\u0178\u00C9"), 0);
  EXPECT_LT(lstrcmpiW(u"abc", u"ABD"), 0);
  EXPECT_LT(lstrcmpiA(nullptr, "a"), 0);
  EXPECT_GT(lstrcmpiA("a", nullptr), 0);
  EXPECT_EQ(lstrcmpiW(nullptr, nullptr), 0);
}

}  // namespace
