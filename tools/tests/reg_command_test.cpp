// tesk reg, run as a program against a prefix of the test's own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tool_test_support.h"

namespace tesk::tool::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kKey[] = "HKLM\\Software\\TeskTest";
constexpr char kKeyName[] = "HKEY_LOCAL_MACHINE\\Software\\TeskTest";

class RegCommandTest : public TeskProgramTest {
 protected:
  void Add(const std::vector<std::string>& args) {
    std::vector<std::string> full = {"reg", "add"};
    full.insert(full.end(), args.begin(), args.end());
    const auto result = Tesk(full);
    ASSERT_EQ(result.exit_code, 0) << result.output;
    EXPECT_EQ(result.output, "");
  }

  // A small tree with a value of every type the command line writes, some of them non-ASCII.
  void Populate() {
    Add({kKey, "-d", "the default"});
    Add({kKey, "-v", "Name", "-d", "Gannet \"GX\" C:\\Music\\"});
    Add({kKey, "-v", "Level", "-t", "REG_DWORD", "-d", "42"});
    Add({kKey, "-v", "Mask", "-t", "reg_dword", "-d", "0xFFFFFFFF"});
    Add({kKey, "-v", "Size", "-t", "REG_QWORD", "-d", "0x100000000"});
    Add({kKey, "-v", "Paths", "-t", "REG_MULTI_SZ", "-d", "E:\\0F:"});
    Add({kKey, "-v", "Temp", "-t", "REG_EXPAND_SZ", "-d", "%TEMP%\\tesk"});
    Add({kKey, "-v", "Blob", "-t", "REG_BINARY", "-d", "00ff10"});
    Add({std::string(kKey) + "\\Players\\Café", "-v", "Grüße", "-d", "naïve €"});
    Add({std::string(kKey) + "\\Empty"});
  }
};

TEST_F(RegCommandTest, AddThenQueryShowsValuesAndSubkeys) {
  Populate();

  auto result = Tesk({"reg", "query", kKey});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, StartsWith(std::string(kKeyName) + "\n"));
  for (const char* line : {
           "    (Default)    REG_SZ    the default\n",
           "    Name    REG_SZ    Gannet \"GX\" C:\\Music\\\n",
           "    Level    REG_DWORD    0x2a\n",
           "    Mask    REG_DWORD    0xffffffff\n",
           "    Size    REG_QWORD    0x100000000\n",
           "    Paths    REG_MULTI_SZ    E:\\0F:\n",
           "    Temp    REG_EXPAND_SZ    %TEMP%\\tesk\n",
           "    Blob    REG_BINARY    00FF10\n",
           "\nHKEY_LOCAL_MACHINE\\Software\\TeskTest\\Empty\n",
           "HKEY_LOCAL_MACHINE\\Software\\TeskTest\\Players\n",
       })
    EXPECT_THAT(result.output, HasSubstr(line));
  // Without -s the subkeys' values stay out.
  EXPECT_THAT(result.output, Not(HasSubstr("Grüße")));

  // Names are matched without regard to case and shown as stored.
  result = Tesk({"reg", "query", "hklm\\software\\tesktest", "-v", "level"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, std::string(kKeyName) + "\n    Level    REG_DWORD    0x2a\n");

  result = Tesk({"reg", "query", std::string(kKey) + "\\Players", "-s"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output,
            "HKEY_LOCAL_MACHINE\\Software\\TeskTest\\Players\n\n"
            "HKEY_LOCAL_MACHINE\\Software\\TeskTest\\Players\\Café\n"
            "    Grüße    REG_SZ    naïve €\n\n");
}

TEST_F(RegCommandTest, ReplacingAValueNeedsForce) {
  Add({kKey, "-v", "Level", "-t", "REG_DWORD", "-d", "1"});

  // No one answers the question: nothing changes.
  const std::string no_answer = Path("empty-input");
  WriteFile(no_answer, "");
  auto result = TeskWithInput(no_answer, {"reg", "add", kKey, "-v", "Level", "-t", "REG_DWORD", "-d", "2"});
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_THAT(result.output, HasSubstr("left as it was"));
  EXPECT_THAT(Tesk({"reg", "query", kKey, "-v", "Level"}).output, HasSubstr("0x1\n"));

  Add({kKey, "-v", "Level", "-t", "REG_DWORD", "-d", "2", "-f"});
  EXPECT_THAT(Tesk({"reg", "query", kKey, "-v", "Level"}).output, HasSubstr("0x2\n"));
}

TEST_F(RegCommandTest, DeleteRemovesValuesAndWholeTrees) {
  Populate();

  auto result = Tesk({"reg", "delete", kKey, "-v", "Level", "-f"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  result = Tesk({"reg", "query", kKey, "-v", "Level"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.output, "tesk: cannot read the value \"Level\" of " + std::string(kKeyName) +
                               ": the value does not exist (error 2)\n");
  result = Tesk({"reg", "delete", kKey, "-v", "Level", "-f"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.output, HasSubstr("the value does not exist (error 2)"));

  // Unconfirmed, the tree stays.
  const std::string no_answer = Path("empty-input");
  WriteFile(no_answer, "");
  result = TeskWithInput(no_answer, {"reg", "delete", kKey});
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_EQ(Tesk({"reg", "query", kKey}).exit_code, 0);

  // The key has subkeys two levels deep, which RegDeleteKeyA alone refuses.
  result = Tesk({"reg", "delete", kKey, "-f"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  result = Tesk({"reg", "query", std::string(kKey) + "\\Players"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.output,
            "tesk: cannot open " + std::string(kKeyName) + "\\Players: the key does not exist (error 2)\n");
  EXPECT_EQ(Tesk({"reg", "query", "HKLM\\Software"}).exit_code, 0);
}

TEST_F(RegCommandTest, ExportThenImportIntoAnotherPrefixGivesTheSameTree) {
  Populate();
  const std::string exported = Path("first.reg");
  auto result = Tesk({"reg", "export", kKey, exported});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  const std::string text = ReadFile(exported);
  EXPECT_THAT(text, StartsWith("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\TeskTest]\r\n"));
  EXPECT_THAT(text, HasSubstr("\"Level\"=dword:0000002a\r\n"));
  EXPECT_THAT(text, HasSubstr("\"Name\"=\"Gannet \\\"GX\\\" C:\\\\Music\\\\\"\r\n"));
  // Text is written in the ANSI code page, Windows-1252 here.
  EXPECT_THAT(text, HasSubstr("[HKEY_LOCAL_MACHINE\\Software\\TeskTest\\Players\\Caf\xE9]\r\n"
                              "\"Gr\xFC\xDF"
                              "e\"=\"na\xEFve \x80\"\r\n"));

  // To standard output, the same bytes.
  result = Tesk({"reg", "export", kKey, "-"});
  ASSERT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, text);

  // Into a fresh prefix through standard input, then out again.
  tesk::testing::TempPrefix other;
  result = TeskWithInput(exported, {"reg", "import", "-"}, other.path());
  ASSERT_EQ(result.exit_code, 0) << result.output;
  const std::string again = other.path() + "/again.reg";
  result = Tesk({"reg", "export", kKey, again}, other.path());
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(ReadFile(again), text);
}

TEST_F(RegCommandTest, ImportAppliesDeletions) {
  Populate();
  const std::string file = Path("changes.reg");
  WriteFile(file,
            "REGEDIT4\n\n"
            "; drop the players, one value, and add one\n"
            "[-HKEY_LOCAL_MACHINE\\Software\\TeskTest\\Players]\n\n"
            "[HKLM\\Software\\TeskTest]\n"
            "\"Level\"=-\n"
            "\"Missing\"=-\n"
            "\"Added\"=hex(b):01,00,00,00,\\\n"
            "  00,00,00,00\n");
  auto result = Tesk({"reg", "import", file});
  ASSERT_EQ(result.exit_code, 0) << result.output;

  EXPECT_EQ(Tesk({"reg", "query", std::string(kKey) + "\\Players"}).exit_code, 1);
  EXPECT_EQ(Tesk({"reg", "query", kKey, "-v", "Level"}).exit_code, 1);
  EXPECT_THAT(Tesk({"reg", "query", kKey, "-v", "Added"}).output, HasSubstr("Added    REG_QWORD    0x1\n"));
  EXPECT_EQ(Tesk({"reg", "query", kKey, "-v", "Name"}).exit_code, 0);
}

TEST_F(RegCommandTest, MalformedImportChangesNothing) {
  const std::string file = Path("broken.reg");
  WriteFile(file,
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\TeskTest\\New]\r\n"
            "\"Good\"=dword:00000001\r\n"
            "\"Bad\"=dword:xyz\r\n");
  auto result = Tesk({"reg", "import", file});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.output, StartsWith("tesk: " + file + ": line 5: "));
  EXPECT_THAT(result.output, HasSubstr("nothing was imported"));
  EXPECT_EQ(Tesk({"reg", "query", std::string(kKey) + "\\New"}).exit_code, 1);

  result = Tesk({"reg", "import", Path("no-such.reg")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.output, HasSubstr("cannot read " + Path("no-such.reg")));
}

TEST_F(RegCommandTest, UsageErrorsExitWithTwo) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "frobnicate"},
      {{"reg"}, "subcommand"},
      {{"reg", "query"}, "KEY"},
      {{"reg", "query", "HKXX\\Foo"}, "is not a key path"},
      {{"reg", "query", "Software\\Foo"}, "is not a key path"},
      {{"reg", "query", kKey, "-v", "a", "--ve"}, "cannot be used together"},
      {{"reg", "add", kKey, "-v", "x", "-t", "REG_DWORD", "-d", "12abc"}, "is not a number"},
      {{"reg", "add", kKey, "-v", "x", "-t", "REG_FOO"}, "unknown value type"},
      {{"reg", "add", kKey, "-v", "x", "-t", "REG_BINARY", "-d", "abc"}, "two hex digits"},
      {{"reg", "delete", "HKLM", "-f"}, "root key cannot be deleted"},
      {{"reg", "export", kKey}, "FILE"},
      {{"help", "nosuch"}, "no command \"nosuch\""},
  };
  for (const auto& c : cases) {
    const auto result = Tesk(c.args);
    EXPECT_EQ(result.exit_code, 2) << ::testing::PrintToString(c.args) << "\n" << result.output;
    EXPECT_THAT(result.output, HasSubstr(c.message)) << ::testing::PrintToString(c.args);
    EXPECT_THAT(result.output, StartsWith("tesk: ")) << ::testing::PrintToString(c.args);
  }
  // Nothing was created by the refused add.
  EXPECT_EQ(Tesk({"reg", "query", kKey}).exit_code, 1);
}

TEST_F(RegCommandTest, HelpExplainsEveryCommandWithAnExample) {
  auto result = Tesk({"--help"});
  EXPECT_EQ(result.exit_code, 0);
  for (const char* text : {"reg", "regsvr", "help", "--prefix", "Exit status: 0"})
    EXPECT_THAT(result.output, HasSubstr(text));

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"help", "reg"}, {"help", "regsvr"}, {"help", "reg", "export"}, {"reg", "query", "--help"}}) {
    result = Tesk(args);
    EXPECT_EQ(result.exit_code, 0) << ::testing::PrintToString(args);
    EXPECT_THAT(result.output, HasSubstr("Example:")) << ::testing::PrintToString(args);
  }
  EXPECT_THAT(Tesk({"help", "reg", "export"}).output, HasSubstr("Usage: tesk reg export"));

  result = Tesk({"--version"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_THAT(result.output, StartsWith("tesk "));
}

}  // namespace
}  // namespace tesk::tool::testing
