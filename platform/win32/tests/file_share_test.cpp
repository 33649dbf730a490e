// Share modes between opens of one file, in one process and across two.
#include <string>

#include "files_support.h"

namespace {

using files_test::DriveTest;
using tesk::testing::RunChild;

class FileShareTest : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    Write(OnDrive("track.lse"), "data");
  }
};

constexpr DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SD = FILE_SHARE_DELETE;

TEST_F(FileShareTest, SecondOpenMustFitTheFirstsShareModeAndAccess) {
  struct Case {
    DWORD first_access, first_share, second_access, second_share;
    DWORD expected;
  } cases[] = {
      {R, 0, R, SR | SW, ERROR_SHARING_VIOLATION},  // exclusive excludes everyone
      {R, SR, R, SR, ERROR_SUCCESS},                // readers among readers
      {R, SR, W, SR, ERROR_SHARING_VIOLATION},      // no writer while readers deny writing
      {R, SR, R, 0, ERROR_SHARING_VIOLATION},       // cannot deny reading to a reader
      {R, SR | SW, W, SR | SW, ERROR_SUCCESS},
      {R, SR | SW, RW, SR, ERROR_SUCCESS},            // denies writing to others, and none writes
      {R, SR | SW, RW, SW, ERROR_SHARING_VIOLATION},  // cannot deny reading to a reader
      {W, SR, R, SW, ERROR_SUCCESS},                  // a reader may join a writer sharing reads
      {W, SR, R, SR, ERROR_SHARING_VIOLATION},        // ...if it lets the writer go on writing
      {W, SW, W, SW, ERROR_SUCCESS},
      {0, 0, R, SR | SW, ERROR_SUCCESS},  // no data access: neither checked nor claimed
      {R, SR | SW, 0, 0, ERROR_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.first_access << "/" << c.first_share << " then "
                                    << c.second_access << "/" << c.second_share);
    HANDLE first = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, Open("E:\\track.lse", c.first_access, c.first_share, &first));
    HANDLE second = nullptr;
    EXPECT_EQ(c.expected, Open("E:\\TRACK.LSE", c.second_access, c.second_share, &second));
    if (second) CloseHandle(second);
    CloseHandle(first);
    // Closing gives everything back.
    ASSERT_EQ(ERROR_SUCCESS, Open("E:\\track.lse", RW, 0, &second));
    CloseHandle(second);
  }
}

TEST_F(FileShareTest, DeleteAndMoveNeedTheOpensToShareDeletion) {
  HANDLE reader = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\track.lse", R, SR, &reader));
  EXPECT_FALSE(DeleteFileA("E:\\track.lse"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(MoveFileA("E:\\track.lse", "E:\\moved.lse"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_EQ("data", Read(OnDrive("track.lse")));
  CloseHandle(reader);

  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\track.lse", R, SR | SD, &reader));
  EXPECT_TRUE(MoveFileA("E:\\track.lse", "E:\\moved.lse"));
  EXPECT_TRUE(DeleteFileA("E:\\moved.lse"));
  EXPECT_FALSE(Exists(OnDrive("moved.lse")));
  CloseHandle(reader);
}

TEST_F(FileShareTest, ModesHoldAcrossProcesses) {
  const std::string path = "E:\\track.lse";
  auto child_open = [&](DWORD access, DWORD share) {
    return RunChild("files_helper", {"open", path, std::to_string(access), std::to_string(share)}).output;
  };
  HANDLE file = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open(path, R, SR, &file));
  EXPECT_EQ("rc=0\n", child_open(R, SR));
  EXPECT_EQ("rc=32\n", child_open(W, SR | SW));
  CloseHandle(file);
  EXPECT_EQ("rc=0\n", child_open(W, SR | SW));
  ASSERT_EQ(ERROR_SUCCESS, Open(path, RW, 0, &file));
  EXPECT_EQ("rc=32\n", child_open(R, SR | SW | SD));
  CloseHandle(file);
}

TEST_F(FileShareTest, RefusedOpenLeavesTheFileAsItWas) {
  HANDLE first = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\track.lse", R, SR, &first));
  HANDLE second = nullptr;
  EXPECT_EQ(ERROR_SHARING_VIOLATION, Open("E:\\track.lse", W, SR, &second, CREATE_ALWAYS));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, Open("E:\\track.lse", W, SR, &second, TRUNCATE_EXISTING));
  EXPECT_EQ("data", Read(OnDrive("track.lse")));
  CloseHandle(first);
}

}  // namespace
