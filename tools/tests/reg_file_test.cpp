#include "reg_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tesk/win32/winreg.h>

namespace tesk::tool {
namespace {

using ::testing::HasSubstr;

std::vector<BYTE> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}
// A string value's stored form: the text and its terminator.
std::vector<BYTE> Sz(std::string_view text) {
  auto data = Bytes(text);
  data.push_back(0);
  return data;
}

RegFileValue Value(std::string name, DWORD type, std::vector<BYTE> data) {
  RegFileValue value;
  value.name = std::move(name);
  value.type = type;
  value.data = std::move(data);
  return value;
}

std::vector<RegFileKey> Read(std::string_view text) {
  std::vector<RegFileKey> keys;
  RegFileError error;
  EXPECT_TRUE(ReadRegFile(text, &keys, &error)) << "line " << error.line << ": " << error.message;
  return keys;
}

struct FormatCase {
  const char* what;
  RegFileValue value;
  std::string line;
};

TEST(RegFileWriter, WritesEachTypeAsRegedit) {
  RegFileValue removed;
  removed.name = "Old";
  removed.remove = true;
  const FormatCase cases[] = {
      {"default string", Value("", REG_SZ, Sz("Gannet")), "@=\"Gannet\""},
      {"escapes in name and data", Value("Say \"hi\"\\now", REG_SZ, Sz("C:\\Music\\\"x\"")),
       "\"Say \\\"hi\\\"\\\\now\"=\"C:\\\\Music\\\\\\\"x\\\"\""},
      {"empty string", Value("Empty", REG_SZ, Sz("")), "\"Empty\"=\"\""},
      {"Windows-1252 text kept byte for byte", Value("Caf\xE9", REG_SZ, Sz("\x80 \xFC")),
       "\"Caf\xE9\"=\"\x80 \xFC\""},
      {"string without terminator", Value("Raw", REG_SZ, Bytes("ab")), "\"Raw\"=hex(1):61,62"},
      {"string with a line break", Value("Lines", REG_SZ, Sz("a\nb")), "\"Lines\"=hex(1):61,0a,62,00"},
      {"dword", Value("Level", REG_DWORD, {0x2a, 0, 0, 0x80}), "\"Level\"=dword:8000002a"},
      {"dword of the wrong size", Value("Odd", REG_DWORD, {1, 2, 3}), "\"Odd\"=hex(4):01,02,03"},
      {"qword", Value("Big", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 0xff}),
       "\"Big\"=hex(b):01,02,03,04,05,06,07,ff"},
      {"expand string", Value("Path", REG_EXPAND_SZ, Sz("%T%")), "\"Path\"=hex(2):25,54,25,00"},
      {"multi string", Value("List", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}), "\"List\"=hex(7):61,00,62,00,00"},
      {"binary", Value("Blob", REG_BINARY, {0xde, 0xad}), "\"Blob\"=hex:de,ad"},
      {"empty none", Value("Nothing", REG_NONE, {}), "\"Nothing\"=hex(0):"},
      {"big-endian dword", Value("Be", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}), "\"Be\"=hex(5):00,00,00,01"},
      {"unnamed type", Value("Own", 0x1234, {1}), "\"Own\"=hex(1234):01"},
      {"deletion", removed, "\"Old\"=-"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatRegValue(c.value), c.line) << c.what;
}

TEST(RegFileWriter, WritesWholeFileWithCrlf) {
  RegFileKey key{"HKEY_LOCAL_MACHINE\\Software\\Tesk", false, {Value("", REG_SZ, Sz("x"))}, 0};
  RegFileKey empty{"HKEY_LOCAL_MACHINE\\Software\\Tesk\\Empty", false, {}, 0};
  RegFileKey gone{"HKEY_CURRENT_USER\\Gone", true, {}, 0};
  EXPECT_EQ(WriteRegFile({key, empty, gone}),
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Tesk]\r\n@=\"x\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Tesk\\Empty]\r\n\r\n"
            "[-HKEY_CURRENT_USER\\Gone]\r\n\r\n");
  EXPECT_EQ(WriteRegFile({}), "REGEDIT4\r\n\r\n");
}

TEST(RegFileWriter, ContinuesLongHexLinesAndReadsThemBack) {
  std::vector<BYTE> data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
  const RegFileKey key{
      "HKEY_LOCAL_MACHINE\\Software\\Tesk", false, {Value("A rather long value name", REG_BINARY, data)}, 0};
  const std::string text = WriteRegFile({key});

  const std::string line = FormatRegValue(key.values[0]);
  std::size_t start = 0;
  int lines = 0;
  for (;;) {
    const std::size_t end = line.find("\r\n", start);
    const std::string physical =
        line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    ++lines;
    EXPECT_LE(physical.size(), 80u) << physical;
    if (lines > 1) {
      EXPECT_TRUE(physical.starts_with("  ")) << physical;
    }
    if (end == std::string::npos) {
      EXPECT_FALSE(physical.ends_with("\\")) << physical;
      break;
    }
    EXPECT_TRUE(physical.ends_with(",\\")) << physical;
    start = end + 2;
  }
  EXPECT_GT(lines, 10);

  const auto keys = Read(text);
  ASSERT_EQ(keys.size(), 1u);
  ASSERT_EQ(keys[0].values.size(), 1u);
  EXPECT_EQ(keys[0].values[0].data, data);
}

TEST(RegFileReader, ReadsCommentsContinuationsAndDeletions) {
  const std::string text =
      "REGEDIT4\n"
      "\n"
      "; written by hand\n"
      "[HKLM\\Software\\Tesk]\n"
      "@=\"root\"\n"
      "  \"Level\" = dword:2A\n"
      "\"Blob\"=hex:01,02,\\\n"
      "  03,\\\n"
      "\n"
      "\"Old\"=-\n"
      "\n"
      "[-HKEY_CURRENT_USER\\Software\\Gone]\n";
  // The blank line is the continuation of Blob, holding no bytes.
  const auto keys = Read(text);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].path, "HKEY_LOCAL_MACHINE\\Software\\Tesk");
  EXPECT_FALSE(keys[0].remove);
  EXPECT_EQ(keys[0].line, 4);
  ASSERT_EQ(keys[0].values.size(), 4u);
  EXPECT_EQ(keys[0].values[0].name, "");
  EXPECT_EQ(keys[0].values[0].data, Sz("root"));
  EXPECT_EQ(keys[0].values[1].type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(keys[0].values[1].data, (std::vector<BYTE>{0x2a, 0, 0, 0}));
  EXPECT_EQ(keys[0].values[2].type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(keys[0].values[2].data, (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(keys[0].values[3].name, "Old");
  EXPECT_TRUE(keys[0].values[3].remove);
  EXPECT_EQ(keys[0].values[3].line, 10);
  EXPECT_EQ(keys[1].path, "HKEY_CURRENT_USER\\Software\\Gone");
  EXPECT_TRUE(keys[1].remove);

  // Line ends make no difference.
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const auto again = Read(crlf);
  ASSERT_EQ(again.size(), keys.size());
  EXPECT_EQ(again[0].values[2].data, keys[0].values[2].data);
  EXPECT_EQ(again[1].path, keys[1].path);
}

struct MalformedCase {
  const char* text;
  int line;
  const char* message;
};

TEST(RegFileReader, RejectsMalformedFilesNamingTheLine) {
  const MalformedCase cases[] = {
      {"", 1, "REGEDIT4"},
      {"\n\nWindows Registry Editor Version 5.00\n", 3, "REGEDIT4"},
      {"REGEDIT4\n\n\"a\"=\"b\"\n", 3, "before any [key]"},
      {"REGEDIT4\n[HKEY_NOWHERE\\X]\n", 2, "known root"},
      {"REGEDIT4\n[HKLM\\X\n", 2, "']'"},
      {"REGEDIT4\n[-HKLM]\n", 2, "root key cannot be deleted"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=\"open\n", 3, "not closed"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=\"C:\\Music\"\n", 3, "unknown escape"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=\"b\" extra\n", 3, "after the closing quote"},
      {"REGEDIT4\n[HKLM\\X]\nname=\"b\"\n", 3, "value name"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\" \"b\"\n", 3, "'='"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=word:1\n", 3, "unrecognised"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=dword:123456789\n", 3, "dword"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=dword:\n", 3, "dword"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=hex(zz):00\n", 3, "type number"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=hex:01,2,zz\n", 3, "\"zz\" is not a hex byte"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=hex:01,,02\n", 3, "not a hex byte"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=hex:01,02,\n", 3, "ends with a comma"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=hex:01,\\\n  02,\\\n  0x3\n", 5, "not a hex byte"},
      {"REGEDIT4\n[HKLM\\X]\n\"a\"=hex:01,\\\n", 3, "ends in the middle"},
      {"REGEDIT4\n[-HKLM\\X]\n\"a\"=dword:1\n", 3, "[-key]"},
  };
  for (const auto& c : cases) {
    std::vector<RegFileKey> keys{RegFileKey{}};
    RegFileError error;
    EXPECT_FALSE(ReadRegFile(c.text, &keys, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_THAT(error.message, HasSubstr(c.message)) << c.text;
    EXPECT_TRUE(keys.empty()) << c.text;
  }
}

TEST(RegFile, RoundTripsEveryKindOfValue) {
  std::vector<BYTE> long_binary(97);
  for (std::size_t i = 0; i < long_binary.size(); ++i) long_binary[i] = static_cast<BYTE>(255 - i);
  const std::vector<RegFileKey> keys = {
      {"HKEY_LOCAL_MACHINE\\Software\\Tesk",
       false,
       {
           Value("", REG_SZ, Sz("Gannet \"GX\" C:\\")),
           Value("Caf\xE9 \xC4\xD6\xDC", REG_SZ, Sz("\x80 \x9C\xE6 \xFF")),
           Value("Level", REG_DWORD, {0xff, 0xff, 0xff, 0xff}),
           Value("Size", REG_QWORD, {0, 0, 0, 0, 1, 0, 0, 0}),
           Value("Expand", REG_EXPAND_SZ, Sz("%SystemRoot%\\\xE9")),
           Value("List", REG_MULTI_SZ, {'E', ':', 0, 0xF1, 0, 0}),
           Value("Blob", REG_BINARY, long_binary),
           Value("Empty blob", REG_BINARY, {}),
           Value("None", REG_NONE, {7}),
           Value("Raw text", REG_SZ, {'a', 0, 'b'}),
           Value("Be", REG_DWORD_BIG_ENDIAN, {1, 2, 3, 4}),
           Value("[not a key]", REG_SZ, Sz("=;")),
       },
       0},
      {"HKEY_CLASSES_ROOT\\CLSID\\{0A1B2C3D-0000-0000-0000-000000000000}\\InprocServer32\xE9", false, {}, 0},
      {"HKEY_USERS\\Gone", true, {}, 0},
  };
  const std::string text = WriteRegFile(keys);
  const auto read = Read(text);
  ASSERT_EQ(read.size(), keys.size());
  for (std::size_t k = 0; k < keys.size(); ++k) {
    EXPECT_EQ(read[k].path, keys[k].path);
    EXPECT_EQ(read[k].remove, keys[k].remove);
    ASSERT_EQ(read[k].values.size(), keys[k].values.size());
    for (std::size_t v = 0; v < keys[k].values.size(); ++v) {
      EXPECT_EQ(read[k].values[v].name, keys[k].values[v].name);
      EXPECT_EQ(read[k].values[v].type, keys[k].values[v].type) << keys[k].values[v].name;
      EXPECT_EQ(read[k].values[v].data, keys[k].values[v].data) << keys[k].values[v].name;
    }
  }
  EXPECT_EQ(WriteRegFile(read), text);
}

}  // namespace
}  // namespace tesk::tool
