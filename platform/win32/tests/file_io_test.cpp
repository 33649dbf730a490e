// Reading, writing, seeking and sizes through file handles; the calls that work on a file
// by name: delete, move, copy, attributes, folders and free space.
#include <sys/stat.h>

#include <string>

#include "files_support.h"

namespace {

using files_test::DriveTest;

class FileIoTest : public DriveTest {
 protected:
  static DWORD LastError() { return GetLastError(); }
};

TEST_F(FileIoTest, ReadWriteSeekAndSize) {
  HANDLE file = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\a.bin", GENERIC_READ | GENERIC_WRITE, 0, &file, CREATE_NEW));
  DWORD count = 0;
  ASSERT_TRUE(WriteFile(file, "0123456789", 10, &count, nullptr));
  EXPECT_EQ(10u, count);
  DWORD high = 7;
  EXPECT_EQ(10u, GetFileSize(file, &high));
  EXPECT_EQ(0u, high);

  EXPECT_EQ(4u, SetFilePointer(file, 4, nullptr, FILE_BEGIN));
  char buffer[32] = {};
  ASSERT_TRUE(ReadFile(file, buffer, 3, &count, nullptr));
  EXPECT_EQ("456", std::string(buffer, count));
  EXPECT_EQ(5u, SetFilePointer(file, -2, nullptr, FILE_CURRENT));
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));  // short at the end
  EXPECT_EQ("56789", std::string(buffer, count));
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(0u, count);

  EXPECT_EQ(8u, SetFilePointer(file, -2, nullptr, FILE_END));
  EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(file, -20, nullptr, FILE_CURRENT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), LastError());
  EXPECT_EQ(8u, SetFilePointer(file, 0, nullptr, FILE_CURRENT));  // unchanged by the failure

  // Past the end, then cut there.
  LONG far_high = 1;
  EXPECT_EQ(16u, SetFilePointer(file, 16, &far_high, FILE_BEGIN));
  EXPECT_EQ(1, far_high);
  LARGE_INTEGER size{};
  EXPECT_EQ(4u, SetFilePointer(file, 4, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(file));
  ASSERT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(4, size.QuadPart);
  EXPECT_TRUE(FlushFileBuffers(file));

  // An OVERLAPPED names the offset and is completed on return.
  OVERLAPPED at{};
  at.u.s.Offset = 2;
  ASSERT_TRUE(WriteFile(file, "xy", 2, nullptr, &at));
  EXPECT_EQ(2u, at.InternalHigh);
  at.u.s.Offset = 1;
  ASSERT_TRUE(ReadFile(file, buffer, 3, nullptr, &at));
  EXPECT_EQ("1xy", std::string(buffer, at.InternalHigh));
  at.u.s.Offset = 100;
  EXPECT_FALSE(ReadFile(file, buffer, 3, &count, &at));
  EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), LastError());
  CloseHandle(file);
  EXPECT_EQ("01xy", Read(OnDrive("a.bin")));
}

TEST_F(FileIoTest, HandlesDoOnlyWhatTheirAccessAllows) {
  Write(OnDrive("a.bin"), "abc");
  HANDLE reader = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\a.bin", GENERIC_READ, FILE_SHARE_READ, &reader));
  DWORD count = 9;
  EXPECT_FALSE(WriteFile(reader, "x", 1, &count, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_EQ(0u, count);
  EXPECT_FALSE(SetEndOfFile(reader));
  EXPECT_FALSE(FlushFileBuffers(reader));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  CloseHandle(reader);

  HANDLE writer = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\a.bin", GENERIC_WRITE, 0, &writer));
  char buffer[4];
  EXPECT_FALSE(ReadFile(writer, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  CloseHandle(writer);
  EXPECT_EQ("abc", Read(OnDrive("a.bin")));

  EXPECT_FALSE(ReadFile(reader, buffer, sizeof buffer, &count, nullptr));  // closed
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), LastError());
}

TEST_F(FileIoTest, DispositionsCreateOpenAndTruncate) {
  struct Case {
    DWORD disposition;
    bool exists;
    DWORD error;        // of the open
    const char* after;  // the content after opening (and writing nothing)
  } cases[] = {
      {CREATE_NEW, false, ERROR_SUCCESS, ""},
      {CREATE_NEW, true, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, ERROR_SUCCESS, ""},
      {CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},  // succeeds, says so
      {OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, "<missing>"},
      {OPEN_EXISTING, true, ERROR_SUCCESS, "old"},
      {OPEN_ALWAYS, false, ERROR_SUCCESS, ""},
      {OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, "<missing>"},
      {TRUNCATE_EXISTING, true, ERROR_SUCCESS, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.disposition << (c.exists ? " existing" : " missing"));
    unlink(OnDrive("f.txt").c_str());
    if (c.exists) Write(OnDrive("f.txt"), "old");
    const HANDLE file = CreateFileA("E:\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(c.error, GetLastError());
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    EXPECT_EQ(c.after, Read(OnDrive("f.txt")));
  }
}

TEST_F(FileIoTest, FullDiskFailsTheWrite) {
  // No small file system can be mounted here; /dev/full answers every write with ENOSPC.
  HANDLE full = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, Open("/dev/full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &full));
  DWORD count = 9;
  EXPECT_FALSE(WriteFile(full, "abc", 3, &count, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), LastError());
  EXPECT_EQ(0u, count);
  CloseHandle(full);
}

TEST_F(FileIoTest, ReadOnlyFilesRefuseWritingAndDeletion) {
  Write(OnDrive("ro.txt"), "keep");
  ASSERT_TRUE(SetFileAttributesA("E:\\ro.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesA("E:\\RO.TXT"));
  HANDLE file = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, Open("E:\\ro.txt", GENERIC_WRITE, 0, &file));
  EXPECT_EQ(ERROR_ACCESS_DENIED, Open("E:\\ro.txt", GENERIC_READ, 0, &file, CREATE_ALWAYS));
  EXPECT_FALSE(DeleteFileA("E:\\ro.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  ASSERT_EQ(ERROR_SUCCESS, Open("E:\\ro.txt", GENERIC_READ, FILE_SHARE_READ, &file));
  CloseHandle(file);
  EXPECT_EQ("keep", Read(OnDrive("ro.txt")));

  ASSERT_TRUE(SetFileAttributesA("E:\\ro.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesA("E:\\ro.txt"));
  EXPECT_TRUE(DeleteFileA("E:\\ro.txt"));
  EXPECT_FALSE(Exists(OnDrive("ro.txt")));
}

TEST_F(FileIoTest, DeleteMoveAndCopyByName) {
  Write(OnDrive("a.txt"), "A");
  Write(OnDrive("b.txt"), "B");
  ASSERT_TRUE(CreateDirectoryA("E:\\Sub", nullptr));

  EXPECT_FALSE(MoveFileA("E:\\a.txt", "E:\\B.TXT"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), LastError());
  EXPECT_TRUE(MoveFileA("E:\\a.txt", "E:\\sub\\c.txt"));  // another folder of the drive
  EXPECT_EQ("A", Read(OnDrive("Sub/c.txt")));
  EXPECT_TRUE(MoveFileA("E:\\sub\\c.txt", "E:\\Sub\\C.TXT"));  // only the case changes
  EXPECT_EQ("A", Read(OnDrive("Sub/C.TXT")));
  EXPECT_FALSE(MoveFileA("E:\\gone.txt", "E:\\x.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());

  EXPECT_FALSE(CopyFileA("E:\\b.txt", "E:\\sub\\c.txt", TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), LastError());
  EXPECT_TRUE(CopyFileA("E:\\b.txt", "E:\\sub\\c.txt", FALSE));
  EXPECT_EQ("B", Read(OnDrive("Sub/C.TXT")));
  EXPECT_EQ("B", Read(OnDrive("b.txt")));

  EXPECT_FALSE(DeleteFileA("E:\\Sub"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), LastError());
  EXPECT_FALSE(DeleteFileA("E:\\gone.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());
  EXPECT_FALSE(DeleteFileA("E:\\Nowhere\\gone.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
}

TEST_F(FileIoTest, FoldersAndFreeSpace) {
  ASSERT_TRUE(CreateDirectoryA("E:\\Music", nullptr));
  EXPECT_FALSE(CreateDirectoryA("E:\\MUSIC", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), LastError());
  EXPECT_FALSE(CreateDirectoryA("E:\\No\\Music", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesA("E:\\music"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("E:\\none"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), LastError());

  HANDLE file = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, Open("E:\\Music", GENERIC_READ, FILE_SHARE_READ, &file));
  Write(OnDrive("Music/a.lse"), "a");
  EXPECT_FALSE(RemoveDirectoryA("E:\\Music"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), LastError());
  EXPECT_FALSE(RemoveDirectoryA("E:\\Music\\a.lse"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), LastError());
  ASSERT_TRUE(DeleteFileA("E:\\Music\\A.LSE"));
  EXPECT_TRUE(RemoveDirectoryA("E:\\music"));
  EXPECT_FALSE(Exists(OnDrive("Music")));

  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetDiskFreeSpaceExA("E:\\", &available, &total, &free));
  EXPECT_GT(total.QuadPart, 0u);
  EXPECT_LE(free.QuadPart, total.QuadPart);
  EXPECT_LE(available.QuadPart, free.QuadPart);
  EXPECT_FALSE(GetDiskFreeSpaceExA("Q:\\", &available, &total, &free));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), LastError());
}

}  // namespace
