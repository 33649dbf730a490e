// Enumeration of the players' device paths by index.
#include <cstring>
#include <string>

#include "hoxa_test_support.h"

namespace hoxa_test {
namespace {

class HoxaEnumDevicesTest : public HoxaTest {
 protected:
  // The path at index, or "" with the last error in *error.
  std::string PathAt(DWORD index, DWORD* error = nullptr) {
    char buffer[MAX_PATH];
    SetLastError(0);
    if (hoxa_.EnumDevices(index, buffer, sizeof(buffer))) return buffer;
    if (error) *error = GetLastError();
    return "";
  }
};

TEST_F(HoxaEnumDevicesTest, IndexesWalkThePresentPlayersUntilNoMoreItems) {
  const Player a = AddPlayer("G0001");
  const Player b = AddPlayer("G0002");
  ASSERT_FALSE(HasFatalFailure());

  EXPECT_EQ(PathAt(0), a.access_path);
  EXPECT_EQ(PathAt(1), b.access_path);
  DWORD error = 0;
  EXPECT_EQ(PathAt(2, &error), "");
  EXPECT_EQ(error, DWORD{ERROR_NO_MORE_ITEMS});
  // Asking again past the end changes nothing, and earlier indexes still answer.
  EXPECT_EQ(PathAt(5, &error), "");
  EXPECT_EQ(error, DWORD{ERROR_NO_MORE_ITEMS});
  EXPECT_EQ(PathAt(1), b.access_path);
}

TEST_F(HoxaEnumDevicesTest, NoPlayersEndsAtIndexZero) {
  DWORD error = 0;
  EXPECT_EQ(PathAt(0, &error), "");
  EXPECT_EQ(error, DWORD{ERROR_NO_MORE_ITEMS});
}

TEST_F(HoxaEnumDevicesTest, AnIndexBeforeAnySnapshotFails) {
  AddPlayer("G0001");
  AddPlayer("G0002");
  ASSERT_FALSE(HasFatalFailure());
  char buffer[MAX_PATH] = "untouched";
  EXPECT_FALSE(hoxa_.EnumDevices(1, buffer, sizeof(buffer)));
  EXPECT_STREQ(buffer, "untouched");
}

TEST_F(HoxaEnumDevicesTest, OnlyIndexZeroTakesANewSnapshot) {
  const Player a = AddPlayer("G0001");
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(PathAt(0), a.access_path);

  const Player b = AddPlayer("G0002");
  ASSERT_FALSE(HasFatalFailure());
  DWORD error = 0;
  EXPECT_EQ(PathAt(1, &error), "") << "a player attached after the snapshot";
  EXPECT_EQ(error, DWORD{ERROR_NO_MORE_ITEMS});

  EXPECT_EQ(PathAt(0), a.access_path);
  EXPECT_EQ(PathAt(1), b.access_path);

  // A removal, too, is seen from the next index 0 on.
  ASSERT_EQ(tesk::win32::RemoveDevice(a.device_id), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(PathAt(0), b.access_path);
  EXPECT_EQ(PathAt(1, &error), "");
  EXPECT_EQ(error, DWORD{ERROR_NO_MORE_ITEMS});
}

TEST_F(HoxaEnumDevicesTest, ALongPathIsCutToTheBufferAndTerminated) {
  const Player a = AddPlayer("G0001");
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_GT(a.access_path.size(), 10u);

  struct Case {
    DWORD size;
    std::string expected;
  };
  for (const Case& c :
       {Case{5, a.access_path.substr(0, 4)}, Case{1, ""},
        Case{static_cast<DWORD>(a.access_path.size()), a.access_path.substr(0, a.access_path.size() - 1)},
        Case{static_cast<DWORD>(a.access_path.size() + 1), a.access_path}}) {
    SCOPED_TRACE(c.size);
    std::string buffer(c.size + 8, 'x');
    ASSERT_TRUE(hoxa_.EnumDevices(0, buffer.data(), c.size));
    EXPECT_EQ(std::string(buffer.c_str()), c.expected);
    EXPECT_EQ(buffer.substr(c.size), std::string(8, 'x')) << "written past the buffer";
  }
}

TEST_F(HoxaEnumDevicesTest, AnUnusableBufferIsAnInvalidParameter) {
  AddPlayer("G0001");
  ASSERT_FALSE(HasFatalFailure());
  char buffer[MAX_PATH];
  struct Case {
    const char* what;
    char* buffer;
    DWORD size;
  };
  for (const Case& c : {Case{"size 0", buffer, 0}, Case{"read-only", ReadOnlyBytes(), 32},
                        Case{"unmapped", UnmappedBytes(), 32}, Case{"null", nullptr, 32}}) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_FALSE(hoxa_.EnumDevices(0, c.buffer, c.size));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  }
  EXPECT_STREQ(ReadOnlyBytes(), "read only");
}

}  // namespace
}  // namespace hoxa_test
