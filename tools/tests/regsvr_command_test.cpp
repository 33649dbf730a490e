// tesk regsvr against the test modules built beside the program (tools/tests/testmodule.cpp).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tool_test_support.h"

namespace tesk::tool::testing {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

constexpr char kOkKey[] = "HKLM\\Software\\TeskToolTest\\ok";

using RegsvrCommandTest = TeskProgramTest;

TEST_F(RegsvrCommandTest, RegistersAndUnregistersByNameOrPath) {
  auto result = Tesk({"regsvr", "tesk_regtest_ok"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, ::testing::StartsWith("registered /"));
  EXPECT_THAT(result.output, EndsWith("/libtesk_regtest_ok.so\n"));
  result = Tesk({"reg", "query", kOkKey, "-v", "Registered"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, HasSubstr("Registered    REG_SZ    yes"));

  result = Tesk({"regsvr", "-u", "libtesk_regtest_ok.so"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_THAT(result.output, ::testing::StartsWith("unregistered /"));
  EXPECT_EQ(Tesk({"reg", "query", kOkKey}).exit_code, 1);

  result = Tesk({"regsvr", tesk::testing::LibDir() + "/libtesk_regtest_ok.so"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(Tesk({"reg", "query", kOkKey}).exit_code, 0);
}

TEST_F(RegsvrCommandTest, ReportsEachFailureInWordsWithItsCode) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"regsvr", "tesk_regtest_fails"},
       "tesk: registering tesk_regtest_fails failed: class registration failed (0x80040201)\n"},
      {{"regsvr", "no_such_module"},
       "tesk: cannot load no_such_module: the module was not found (error 126)\n"},
      {{"regsvr", "/nowhere/libnothing.so"},
       "tesk: cannot load /nowhere/libnothing.so: the module was not found (error 126)\n"},
      {{"regsvr", "tesk_regtest_bare"},
       "tesk: tesk_regtest_bare has no DllRegisterServer entry point: the module lacks that entry point "
       "(error 127)\n"},
      {{"regsvr", "-u", "tesk_regtest_bare"},
       "tesk: tesk_regtest_bare has no DllUnregisterServer entry point: the module lacks that entry point "
       "(error 127)\n"},
  };
  for (const auto& c : cases) {
    const auto result = Tesk(c.args);
    EXPECT_EQ(result.exit_code, 1) << ::testing::PrintToString(c.args);
    EXPECT_EQ(result.output, c.message);
  }
}

TEST_F(RegsvrCommandTest, GoesOnAfterAFailedModule) {
  const auto result = Tesk({"regsvr", "no_such_module", "tesk_regtest_fails", "tesk_regtest_ok"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.output, HasSubstr("cannot load no_such_module"));
  EXPECT_THAT(result.output, HasSubstr("registering tesk_regtest_fails failed"));
  EXPECT_THAT(result.output, HasSubstr("registered /"));
  EXPECT_EQ(Tesk({"reg", "query", kOkKey}).exit_code, 0);

  EXPECT_EQ(Tesk({"regsvr"}).exit_code, 2);
}

}  // namespace
}  // namespace tesk::tool::testing
