// The C runtime's directory search and _chmod.
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <string>
#include <vector>

#include <tesk/win32/crtio.h>

#include "files_support.h"

namespace {

using files_test::DriveTest;

class CrtIoTest : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    ASSERT_EQ(0, mkdir(OnDrive("Music").c_str(), 0755));
    Write(OnDrive("Music/One.lse"), "1");
    Write(OnDrive("Music/two.LSE"), "22");
    Write(OnDrive("Music/three.mp3"), "333");
    Write(OnDrive("Music/README"), "r");
    Write(OnDrive("Music/caf\xC3\xA9.lse"), "cafe");
    ASSERT_EQ(0, mkdir(OnDrive("Music/Sub").c_str(), 0755));
  }

  // Every name a search reports, in order; errno's value after the search failed, if it did.
  static std::vector<std::string> Find(const std::string& spec, int* error = nullptr) {
    std::vector<std::string> names;
    _finddata_t data{};
    errno = 0;
    const std::intptr_t handle = _findfirst(spec.c_str(), &data);
    if (handle == -1) {
      if (error) *error = errno;
      return names;
    }
    do {
      names.emplace_back(data.name);
    } while (_findnext(handle, &data) == 0);
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(0, _findclose(handle));
    return names;
  }
};

using Names = std::vector<std::string>;

TEST_F(CrtIoTest, PatternsSelectNames) {
  const std::string unix_folder = OnDrive("Music");
  struct Case {
    std::string spec;
    Names names;
  } cases[] = {
      {"E:\\Music\\*.*", {".", "..", "One.lse", "README", "Sub", "caf\xE9.lse", "three.mp3", "two.LSE"}},
      {"E:\\Music\\*", {".", "..", "One.lse", "README", "Sub", "caf\xE9.lse", "three.mp3", "two.LSE"}},
      {"E:\\MUSIC\\*.lse", {"One.lse", "caf\xE9.lse", "two.LSE"}},
      {"E:\\Music\\t??.*", {"two.LSE"}},
      {"E:\\Music\\readme.*", {"README"}},  // ".*" also takes a name without extension
      {"E:\\Music\\ONE.LSE", {"One.lse"}},
      {unix_folder + "/*.mp3", {"three.mp3"}},
      {"E:\\*", {"Music"}},  // no "." or ".." at a drive's root
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(c.names, Find(c.spec));
  }
}

TEST_F(CrtIoTest, NamesOutsideTheCodePageReadWithQuestionMarks) {
  Write(OnDrive("Music/\xD0\xB6.wav"), "w");  // a Cyrillic letter, not in Windows-1252
  EXPECT_EQ(Names{"?.wav"}, Find("E:\\Music\\*.wav"));
}

TEST_F(CrtIoTest, NothingFoundIsENOENT) {
  for (const char* spec : {"E:\\Music\\*.wav", "E:\\Nowhere\\*.*", "Q:\\*.*", "E:\\Music\\"}) {
    SCOPED_TRACE(spec);
    int error = 0;
    EXPECT_TRUE(Find(spec, &error).empty());
    EXPECT_EQ(ENOENT, error);
  }
  _finddata_t data{};
  EXPECT_EQ(-1, _findfirst(nullptr, &data));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, _findnext(12345, &data));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, _findclose(12345));
}

TEST_F(CrtIoTest, RecordsCarrySizeAttributesAndTimes) {
  const struct timeval times[2] = {{1000000000, 0}, {1200000000, 0}};  // access, write
  ASSERT_EQ(0, utimes(OnDrive("Music/two.LSE").c_str(), times));
  ASSERT_EQ(0, _chmod("E:\\Music\\two.lse", _S_IREAD));

  _finddata_t data{};
  const std::intptr_t handle = _findfirst("E:\\Music\\two.lse", &data);
  ASSERT_NE(-1, handle);
  EXPECT_STREQ("two.LSE", data.name);
  EXPECT_EQ(2u, data.size);
  EXPECT_EQ(static_cast<unsigned>(_A_ARCH | _A_RDONLY), data.attrib);
  EXPECT_EQ(1000000000, data.time_access);
  EXPECT_EQ(1200000000, data.time_write);
  EXPECT_GT(data.time_create, 1200000000);  // made by this test, long after the write time set
  _findclose(handle);

  const std::intptr_t folder = _findfirst("E:\\Music\\sub", &data);
  ASSERT_NE(-1, folder);
  EXPECT_EQ(static_cast<unsigned>(_A_SUBDIR), data.attrib);
  EXPECT_EQ(0u, data.size);
  _findclose(folder);
}

TEST_F(CrtIoTest, ChmodTogglesReadOnly) {
  ASSERT_EQ(0, _chmod("E:\\Music\\one.lse", _S_IREAD));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesA("E:\\Music\\One.lse"));
  EXPECT_FALSE(DeleteFileA("E:\\Music\\One.lse"));
  ASSERT_EQ(0, _chmod("E:\\Music\\one.lse", _S_IREAD | _S_IWRITE));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesA("E:\\Music\\One.lse"));

  EXPECT_EQ(-1, _chmod("E:\\Music\\none.lse", _S_IWRITE));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, _chmod("E:\\Music\\one.lse", 0777));
  EXPECT_EQ(EINVAL, errno);
}

}  // namespace
