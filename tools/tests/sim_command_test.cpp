// tesk sim: attaching, listing and detaching simulated players, and its errors.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tool_test_support.h"

namespace tesk::tool::testing {
namespace {

using ::testing::HasSubstr;

using SimCommandTest = TeskProgramTest;

TEST_F(SimCommandTest, AttachesListsAndDetaches) {
  auto result = Tesk({"sim", "attach", "gannet1", "--serial", "0123456789ABCDEF"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output,
            "attached gannet1 as E: (serial 0123456789ABCDEF, folder " + Path("players/gannet1") + ")\n");
  EXPECT_TRUE(std::filesystem::is_directory(Path("players/gannet1")));

  std::filesystem::create_directories(Path("music"));
  result = Tesk({"sim", "attach", "g2", "--dir", Path("music"), "--serial", "12", "--letter", "h:"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, "attached g2 as H: (serial 12, folder " + Path("music") + ")\n");

  result = Tesk({"sim", "list"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output,
            "NAME     SERIAL            DRIVE  FOLDER\n"
            "g2       12                H:     " +
                Path("music") +
                "\n"
                "gannet1  0123456789ABCDEF  E:     " +
                Path("players/gannet1") + "\n");

  result = Tesk({"sim", "list", "--json"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output,
              ::testing::StartsWith("[\n  {\"name\": \"g2\", \"serial\": \"12\", \"letter\": \"H:\", "
                                    "\"folder\": \"" +
                                    Path("music") + "\", \"device_path\": \"\\\\\\\\?\\\\usb#vid_7a3d"));
  EXPECT_THAT(result.output,
              HasSubstr("\"instance_id\": \"USB\\\\VID_7A3D&PID_0041\\\\0123456789ABCDEF\"}\n]\n"));

  result = Tesk({"sim", "detach", "GANNET1"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, "detached GANNET1\n");
  EXPECT_TRUE(std::filesystem::is_directory(Path("players/gannet1")));
  EXPECT_THAT(Tesk({"sim", "list"}).output, ::testing::Not(HasSubstr("gannet1")));

  EXPECT_EQ(Tesk({"sim", "detach", "g2"}).exit_code, 0);
  EXPECT_EQ(Tesk({"sim", "list"}).output, "no players attached\n");
  EXPECT_EQ(Tesk({"sim", "list", "--json"}).output, "[]\n");
}

TEST_F(SimCommandTest, ReportsFailuresInWordsWithTheirCodes) {
  ASSERT_EQ(Tesk({"sim", "attach", "gannet1"}).exit_code, 0);
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string message;
  };
  const Case cases[] = {
      {{"attach", "Gannet1"},
       1,
       "tesk: cannot attach Gannet1: a player named \"Gannet1\" is attached already (error 183)\n"},
      {{"attach", "g2", "--letter", "E"},
       1,
       "tesk: cannot attach g2: drive letter E: is in use (error 183)\n"},
      {{"detach", "nobody"},
       1,
       "tesk: cannot detach nobody: no player named \"nobody\" is attached (error 1168)\n"},
      {{"attach", "g2", "--dir", Path("missing")},
       1,
       "tesk: cannot attach g2: the folder " + Path("missing") + " does not exist (error 3)\n"},
      {{"attach", "g2", "--dir", Path("players/gannet1")},
       1,
       "tesk: cannot attach g2: the folder " + Path("players/gannet1") +
           " is the volume of player gannet1 already (error 32)\n"},
      {{"attach", "a b"},
       2,
       "tesk: \"a b\" is not a player name: use 1 to 32 letters, digits, '-', '_' or '.', starting with a "
       "letter or "
       "digit\nRun 'tesk help COMMAND' for how to call it.\n"},
      {{"attach", "g2", "--letter", "EF"},
       2,
       "tesk: \"EF\" is not a drive letter: give one letter from E to Z, such as F or F:\n"
       "Run 'tesk help COMMAND' for how to call it.\n"},
      {{"attach", "g2", "--letter", "D"},
       2,
       "tesk: \"D\" is not a drive letter from E to Z\nRun 'tesk help COMMAND' for how to call it.\n"},
      {{"attach", "g2", "--serial", "tab\there"},
       2,
       "tesk: \"tab\there\" cannot be a serial number: use 1 to 126 printable ASCII characters\n"
       "Run 'tesk help COMMAND' for how to call it.\n"},
      {{"attach", "g2", "--serial", ""},
       2,
       "tesk: the serial number cannot be empty\nRun 'tesk help COMMAND' for how to call it.\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"sim"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = Tesk(args);
    EXPECT_EQ(result.exit_code, c.exit_code) << ::testing::PrintToString(c.args);
    EXPECT_EQ(result.output, c.message);
  }
  // Nothing of the refused players is left.
  const auto list = Tesk({"sim", "list"});
  EXPECT_EQ(std::count(list.output.begin(), list.output.end(), '\n'), 2) << list.output;
  EXPECT_FALSE(std::filesystem::exists(Path("players/g2")));

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"sim"}, {"sim", "attach"}, {"sim", "detach"}, {"sim", "list", "extra"}}) {
    const auto result = Tesk(args);
    EXPECT_EQ(result.exit_code, 2) << ::testing::PrintToString(args) << result.output;
  }
}

TEST_F(SimCommandTest, ShowsAndChangesFaults) {
  ASSERT_EQ(Tesk({"sim", "attach", "gannet1"}).exit_code, 0);
  auto result = Tesk({"sim", "faults", "gannet1", "--fail", "2", "--fail-error", "121", "--short", "1",
                      "--short-length", "4"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output,
            "faults of gannet1:\n"
            "  fail   the next 2 requests, with error 121\n"
            "  short  the next 1 answers, at most 4 bytes each\n"
            "  delay  0 ms for every request\n");
  // Options not given keep their value; the faults live in the player's record.
  result = Tesk({"sim", "faults", "gannet1", "--fail", "1"});
  EXPECT_THAT(result.output, HasSubstr("the next 1 requests, with error 121\n  short  the next 1 answers"));
  result = Tesk(
      {"reg", "query", "HKLM\\Software\\Vorelle\\Tesk\\Simulator\\gannet1\\Faults", "-v", "ShortLength"});
  EXPECT_THAT(result.output, HasSubstr("ShortLength    REG_DWORD    0x4"));

  result = Tesk({"sim", "faults", "gannet1", "--clear", "--delay", "5"});
  EXPECT_THAT(result.output, HasSubstr("fail   the next 0 requests, with error 31\n"));
  EXPECT_THAT(result.output, HasSubstr("delay  5 ms"));

  result = Tesk({"sim", "faults", "nobody", "--fail", "1"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(
      result.output,
      "tesk: cannot change the faults of nobody: no player named \"nobody\" is attached (error 1168)\n");
  EXPECT_EQ(Tesk({"sim", "faults", "gannet1", "--fail", "many"}).exit_code, 2);
}

TEST_F(SimCommandTest, HelpShowsExamples) {
  auto result = Tesk({"help", "sim"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("  tesk sim attach gannet1\n"));
  result = Tesk({"help", "sim", "attach"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("--letter L"));
  EXPECT_THAT(result.output, HasSubstr("first free letter from E"));
}

}  // namespace
}  // namespace tesk::tool::testing
