// Sections of the paging file: sharing between processes and views, sizes, offsets, access,
// and the errors of bad arguments.
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <tesk/win32/windows.h>

#include "named_support.h"
#include "tesk_testing.h"

namespace {

using named_test::Handles;
using named_test::kMarker;

constexpr DWORD k64K = 0x10000;

class SectionTest : public tesk::testing::PrefixTest {
 protected:
  ~SectionTest() override {
    for (void* view : views_) UnmapViewOfFile(view);
  }
  HANDLE NewSection(DWORD size, const char* name, DWORD protect = PAGE_READWRITE) {
    return handles_.Add(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, protect, 0, size, name));
  }
  char* Map(HANDLE section, DWORD access, DWORD offset = 0, SIZE_T size = 0) {
    void* view = MapViewOfFile(section, access, 0, offset, size);
    if (view) views_.push_back(view);
    return static_cast<char*>(view);
  }

  Handles handles_;
  std::vector<void*> views_;
};

TEST_F(SectionTest, WrittenInOneProcessReadInAnother) {
  SetLastError(kMarker);
  const HANDLE section = NewSection(3 * k64K, "Global\\shared");
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  char* view = Map(section, FILE_MAP_WRITE);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[3 * k64K - 1], 0) << "a new section is zeroed";
  std::strcpy(view, "from the parent");

  const auto result = tesk::testing::RunChild(
      "named_helper", {"section-exchange", "shared", "from the parent", "from the child", "140000"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_STREQ(view + 140000, "from the child");
}

TEST_F(SectionTest, ExistingNameKeepsItsSizeAndData) {
  const HANDLE section = NewSection(8192, "sized");
  char* view = Map(section, FILE_MAP_ALL_ACCESS);
  ASSERT_NE(view, nullptr);
  std::strcpy(view + 8000, "kept");

  SetLastError(kMarker);
  const HANDLE again = NewSection(4 * k64K, "sized");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  const char* whole = Map(again, FILE_MAP_READ);
  ASSERT_NE(whole, nullptr);
  EXPECT_STREQ(whole + 8000, "kept");
  SetLastError(kMarker);
  EXPECT_EQ(Map(again, FILE_MAP_READ, 0, 8193), nullptr) << "the section is still 8192 bytes";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(SectionTest, ViewsStartAtMultiplesOf64K) {
  const HANDLE section = NewSection(2 * k64K + 100, nullptr);
  char* whole = Map(section, FILE_MAP_WRITE);
  ASSERT_NE(whole, nullptr);
  std::strcpy(whole + k64K + 10, "second block");
  const char* part = Map(section, FILE_MAP_READ, k64K, 100);
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part + 10, "second block");
  const char* tail = Map(section, FILE_MAP_READ, 2 * k64K);
  ASSERT_NE(tail, nullptr) << "size 0 maps to the end";

  struct Case {
    DWORD offset;
    SIZE_T size;
    DWORD error;
  };
  for (const Case& c : {Case{1000, 0, ERROR_MAPPED_ALIGNMENT}, Case{3 * k64K, 0, ERROR_ACCESS_DENIED},
                        Case{k64K, k64K + 101, ERROR_ACCESS_DENIED}}) {
    SetLastError(kMarker);
    EXPECT_EQ(Map(section, FILE_MAP_READ, c.offset, c.size), nullptr) << c.offset << "+" << c.size;
    EXPECT_EQ(GetLastError(), c.error) << c.offset << "+" << c.size;
  }
}

TEST_F(SectionTest, ViewsOfOneSectionShareItsDataButCopiesDoNot) {
  const HANDLE section = NewSection(4096, nullptr);
  char* one = Map(section, FILE_MAP_WRITE);
  char* two = Map(section, FILE_MAP_READ);
  char* copy = Map(section, FILE_MAP_COPY);
  ASSERT_TRUE(one && two && copy);
  std::strcpy(one, "shared");
  EXPECT_STREQ(two, "shared");
  std::strcpy(copy, "private");
  EXPECT_STREQ(one, "shared");
  EXPECT_TRUE(FlushViewOfFile(one, 0));
  EXPECT_TRUE(FlushViewOfFile(one + 100, 10));
}

TEST_F(SectionTest, AccessFollowsTheSectionAndTheHandle) {
  const HANDLE read_only = NewSection(4096, "ro", PAGE_READONLY);
  ASSERT_NE(read_only, nullptr);
  SetLastError(kMarker);
  EXPECT_EQ(Map(read_only, FILE_MAP_WRITE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  const char* view = Map(read_only, FILE_MAP_READ);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0);

  SetLastError(kMarker);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_WRITE, FALSE, "ro"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  NewSection(4096, "rw");
  const HANDLE reader = handles_.Add(OpenFileMappingA(FILE_MAP_READ, FALSE, "rw"));
  ASSERT_NE(reader, nullptr);
  SetLastError(kMarker);
  EXPECT_EQ(Map(reader, FILE_MAP_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_NE(Map(reader, FILE_MAP_READ), nullptr);
}

TEST_F(SectionTest, BadArgumentsAreRefused) {
  const HANDLE event = handles_.Add(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  struct Create {
    HANDLE file;
    DWORD protect;
    DWORD size;
    DWORD error;
  };
  for (const Create& c : {Create{event, PAGE_READWRITE, 4096, ERROR_INVALID_HANDLE},
                          Create{nullptr, PAGE_READWRITE, 4096, ERROR_INVALID_HANDLE},
                          Create{INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, ERROR_INVALID_PARAMETER},
                          Create{INVALID_HANDLE_VALUE, 0, 4096, ERROR_INVALID_PARAMETER},
                          Create{INVALID_HANDLE_VALUE, 0x40 /* execute */, 4096, ERROR_INVALID_PARAMETER}}) {
    SetLastError(kMarker);
    EXPECT_EQ(CreateFileMappingA(c.file, nullptr, c.protect, 0, c.size, "bad"), nullptr);
    EXPECT_EQ(GetLastError(), c.error) << c.protect << " " << c.size;
  }
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "bad"), nullptr) << "no failed call left a section";

  const HANDLE section = NewSection(4096, nullptr);
  SetLastError(kMarker);
  EXPECT_EQ(MapViewOfFile(event, FILE_MAP_READ, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(kMarker);
  EXPECT_EQ(MapViewOfFile(section, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(kMarker);
  EXPECT_EQ(WaitForSingleObject(section, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  int not_a_view = 0;
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  for (const void* address : {static_cast<const void*>(&not_a_view), static_cast<const void*>(nullptr)}) {
    SetLastError(kMarker);
    EXPECT_FALSE(UnmapViewOfFile(address));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    SetLastError(kMarker);
    EXPECT_FALSE(FlushViewOfFile(address, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  }
  EXPECT_TRUE(UnmapViewOfFile(view));
  SetLastError(kMarker);
  EXPECT_FALSE(UnmapViewOfFile(view)) << "unmapped already";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

}  // namespace
