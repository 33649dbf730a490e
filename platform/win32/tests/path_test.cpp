// DOS paths: drive letters, case-insensitive fallback, ANSI names, missing parts.
#include <unistd.h>

#include <climits>
#include <string>

#include "files_support.h"

namespace {

using files_test::DriveTest;

class PathTest : public DriveTest {};

TEST_F(PathTest, ResolvesDosPathsThroughTheDriveLinks) {
  ASSERT_EQ(0, mkdir(OnDrive("Music").c_str(), 0755));
  Write(OnDrive("track.lse"), "t");
  Write(OnDrive("Music/a.lse"), "a");
  Write(OnDrive("caf\xC3\xA9.lse"), "e");  // UTF-8 on disk
  Write(prefix() + "/drive_c/boot.ini", "c");
  const std::string unix_file = OnDrive("track.lse");

  struct Case {
    const char* path;
    const char* content;  // null: the open fails with `error`
    DWORD error;
  } cases[] = {
      {"E:\\track.lse", "t", 0},
      {"e:/track.lse", "t", 0},
      {"E:\\TRACK.LSE", "t", 0},
      {"E:\\music\\A.LSE", "a", 0},
      {"E:\\Music\\..\\track.lse", "t", 0},
      {"E:\\..\\..\\track.lse", "t", 0},  // never above the root
      {"E:\\.\\Music\\\\a.lse", "a", 0},
      {"E:\\caf\xE9.lse", "e", 0},  // the ANSI code page's e-acute
      {"E:\\CAF\xC9.LSE", "e", 0},
      {"C:\\boot.ini", "c", 0},
      {unix_file.c_str(), "t", 0},
      {"E:\\missing.lse", nullptr, ERROR_FILE_NOT_FOUND},
      {"E:\\Nowhere\\a.lse", nullptr, ERROR_PATH_NOT_FOUND},
      {"E:\\track.lse\\a.lse", nullptr, ERROR_PATH_NOT_FOUND},
      {"Q:\\a.lse", nullptr, ERROR_PATH_NOT_FOUND},
      {"", nullptr, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    HANDLE file = nullptr;
    const DWORD error = Open(c.path, GENERIC_READ, FILE_SHARE_READ, &file);
    if (!c.content) {
      EXPECT_EQ(c.error, error);
      continue;
    }
    ASSERT_EQ(ERROR_SUCCESS, error);
    char buffer[16] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(c.content, std::string(buffer, got));
    CloseHandle(file);
  }
}

TEST_F(PathTest, NewNamesAreKeptAsWrittenInUtf8) {
  HANDLE file = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\Caf\xE9 New.LSE", GENERIC_WRITE, 0, &file, CREATE_NEW));
  CloseHandle(file);
  EXPECT_TRUE(Exists(OnDrive("Caf\xC3\xA9 New.LSE")));
  // An existing name in another case is the same file, not a second one.
  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\caf\xC9 NEW.lse", GENERIC_WRITE, 0, &file, CREATE_ALWAYS));
  CloseHandle(file);
}

TEST_F(PathTest, DebugReportLandsInTheDriveCFolder) {
  ASSERT_TRUE(CreateDirectoryA("c:\\temp", nullptr));
  for (const char* line : {"first\r\n", "second\r\n"}) {
    const HANDLE file = CreateFileA("c:\\temp\\debug.out", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ASSERT_NE(INVALID_SET_FILE_POINTER, SetFilePointer(file, 0, nullptr, FILE_END));
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(file, line, static_cast<DWORD>(std::string(line).size()), &put, nullptr));
    CloseHandle(file);
  }
  EXPECT_EQ("first\r\nsecond\r\n", Read(prefix() + "/drive_c/temp/debug.out"));

  // Append-only access writes at the end wherever the handle's position is.
  const HANDLE append =
      CreateFileA("c:\\temp\\debug.out", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, append);
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(append, "third", 5, &put, nullptr));
  CloseHandle(append);
  EXPECT_EQ("first\r\nsecond\r\nthird", Read(prefix() + "/drive_c/temp/debug.out"));
}

TEST_F(PathTest, RelativePathsFollowTheCurrentFolder) {
  char saved[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
  ASSERT_EQ(0, mkdir(OnDrive("Music").c_str(), 0755));
  Write(OnDrive("Music/a.lse"), "a");
  ASSERT_TRUE(SetCurrentDirectoryA("E:\\MUSIC"));
  char buffer[MAX_PATH];
  EXPECT_EQ(std::string("E:\\Music"), std::string(buffer, GetCurrentDirectoryA(sizeof buffer, buffer)));
  EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesA("A.lse"));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA("..\\music"));
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA("\\Music"));  // the current drive's root

  LPSTR part = nullptr;
  const DWORD length = GetFullPathNameA("sub\\..\\a.lse", sizeof buffer, buffer, &part);
  EXPECT_EQ(std::string("E:\\Music\\a.lse"), std::string(buffer, length));
  ASSERT_NE(nullptr, part);
  EXPECT_STREQ("a.lse", part);
  EXPECT_EQ(length + 1,
            GetFullPathNameA("sub\\..\\a.lse", length, buffer, nullptr));  // too short: size needed
  EXPECT_FALSE(SetCurrentDirectoryA("E:\\Nowhere"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  ASSERT_EQ(0, chdir(saved));
}

}  // namespace
