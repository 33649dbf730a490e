// GUID creation and text forms: COM's braced form and the RPC runtime's bare form.

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include <tesk/win32/windows.h>

namespace {

constexpr GUID kSample = tesk::win32::GuidFromText("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9");
constexpr GUID kMarker = tesk::win32::GuidFromText("DEADBEEF-DEAD-BEEF-DEAD-BEEFDEADBEEF");

std::u16string Wide(const char* text) {
  std::u16string out;
  for (; *text; ++text) out += static_cast<char16_t>(*text);
  return out;
}

std::string Narrow(const OLECHAR* text) {
  std::string out;
  for (; *text; ++text) out += static_cast<char>(*text);
  return out;
}

RPC_STATUS FromString(const char* text, UUID* uuid) {
  return UuidFromStringA(reinterpret_cast<RPC_CSTR>(const_cast<char*>(text)), uuid);
}

TEST(GuidText, StringFromGuid2WritesUpperCaseBracedForm) {
  OLECHAR text[39];
  ASSERT_EQ(39, StringFromGUID2(kSample, text, 39));
  EXPECT_EQ("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", Narrow(text));
}

TEST(GuidText, StringFromGuid2RefusesShortBufferWithoutWriting) {
  OLECHAR text[39];
  std::fill(std::begin(text), std::end(text), u'#');
  EXPECT_EQ(0, StringFromGUID2(kSample, text, 38));
  EXPECT_EQ(0, StringFromGUID2(kSample, text, 0));
  for (OLECHAR c : text) EXPECT_EQ(u'#', c);
}

TEST(GuidText, BracedFormRoundTripsInEitherCase) {
  OLECHAR text[39];
  ASSERT_EQ(39, StringFromGUID2(kSample, text, 39));
  CLSID clsid = kMarker;
  ASSERT_EQ(S_OK, CLSIDFromString(text, &clsid));
  EXPECT_EQ(kSample, clsid);

  IID iid = kMarker;
  ASSERT_EQ(S_OK, IIDFromString(Wide("{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}").c_str(), &iid));
  EXPECT_EQ(kSample, iid);
}

TEST(GuidText, BracedFormRefusesOtherText) {
  const char* cases[] = {
      "",
      "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",     // no braces
      "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9",    // no closing brace
      "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}x",  // trailing text
      "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}",    // one digit short
      "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8G9}",   // not hexadecimal
      "{0A1B2C3D+4E5F-6071-8293-A4B5C6D7E8F9}",   // not a dash
      "[0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9]",   // other brackets
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    CLSID clsid = kMarker;
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(Wide(text).c_str(), &clsid));
    EXPECT_EQ(kMarker, clsid);
    IID iid = kMarker;
    EXPECT_EQ(CO_E_CLASSSTRING, IIDFromString(Wide(text).c_str(), &iid));
  }
}

TEST(GuidText, UuidToStringWritesLowerCaseWithoutBraces) {
  RPC_CSTR text = nullptr;
  ASSERT_EQ(RPC_S_OK, UuidToStringA(&kSample, &text));
  ASSERT_NE(nullptr, text);
  EXPECT_STREQ("0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", reinterpret_cast<char*>(text));

  UUID back = kMarker;
  ASSERT_EQ(RPC_S_OK, UuidFromStringA(text, &back));
  EXPECT_EQ(kSample, back);

  EXPECT_EQ(RPC_S_OK, RpcStringFreeA(&text));
  EXPECT_EQ(nullptr, text);
}

TEST(GuidText, UuidFromStringAcceptsUpperCaseAndNull) {
  UUID uuid = kMarker;
  ASSERT_EQ(RPC_S_OK, FromString("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", &uuid));
  EXPECT_EQ(kSample, uuid);
  ASSERT_EQ(RPC_S_OK, UuidFromStringA(nullptr, &uuid));
  EXPECT_EQ(GUID_NULL, uuid);
}

TEST(GuidText, UuidFromStringRefusesAnythingButTheBareForm) {
  const char* cases[] = {
      "",
      "{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}",  // braced, as COM writes it
      "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f",     // 35 characters
      "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f90",   // 37 characters
      "0a1b2c3d4-e5f-6071-8293-a4b5c6d7e8f9",    // dash misplaced
      "0a1b2c3d-4e5f-6071-8293a-4b5c6d7e8f9",    // dash misplaced
      "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8fg",    // not hexadecimal
      "0a1b2c3d-4e5f-6071-8293-a4b5c6d7 8f9",    // space
      " 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f",    // leading space
      "0x1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9",    // C prefix
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    UUID uuid = kMarker;
    EXPECT_EQ(RPC_S_INVALID_STRING_UUID, FromString(text, &uuid));
    EXPECT_EQ(kMarker, uuid);
  }
}

TEST(GuidCreation, GivesDistinctRandomVersion4Guids) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    GUID guid = GUID_NULL;
    if (i % 2 == 0)
      ASSERT_EQ(S_OK, CoCreateGuid(&guid));
    else
      ASSERT_EQ(RPC_S_OK, UuidCreate(&guid));
    EXPECT_EQ(0x4000, guid.Data3 & 0xF000);
    EXPECT_EQ(0x80, guid.Data4[0] & 0xC0);
    OLECHAR text[39];
    ASSERT_EQ(39, StringFromGUID2(guid, text, 39));
    seen.insert(Narrow(text));
  }
  EXPECT_EQ(64u, seen.size());
  EXPECT_EQ(E_INVALIDARG, CoCreateGuid(nullptr));
}

}  // namespace
