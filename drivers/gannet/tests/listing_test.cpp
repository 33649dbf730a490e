// What a medium root lists: track files of the drive's top folder, in the file system's order.
#include <cstring>

#include <tesk/win32/crtio.h>

#include "storage_fixture.h"

namespace gannet_storage_test {
namespace {

using ListingTest = StorageTest;

// The track names in the order the drive's own search returns them.
std::vector<std::string> SearchOrder(const std::vector<std::string>& tracks) {
  std::vector<std::string> order;
  _finddata_t found = {};
  const std::intptr_t search = _findfirst("E:\\*.*", &found);
  if (search == -1) return order;
  do {
    for (const std::string& t : tracks)
      if (t == found.name) order.push_back(t);
  } while (_findnext(search, &found) == 0);
  _findclose(search);
  return order;
}

TEST_F(ListingTest, ListsOnlyTrackFilesOfTheTopFolderInSearchOrder) {
  Put("A.REL");
  Put("b.lse");
  Put("c.mp3");
  Put("song.rel.mp3");
  Put("song.mp3.rel");
  Put("x.LsE");
  Put(".rel");
  std::filesystem::create_directories(folder_ + "/x.rel");
  std::filesystem::create_directories(folder_ + "/sub");
  Put("sub/inner.lse");

  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  EXPECT_EQ(SearchOrder({"A.REL", "b.lse", "song.mp3.rel", "x.LsE", ".rel"}), Names(root));
}

TEST_F(ListingTest, EmptyDriveAndDriveWithoutFolderListNothing) {
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  EXPECT_TRUE(Names(root).empty());
  ComPtr<ISpdStorage> child;
  EXPECT_EQ(E_INVALIDARG, root->GetChild(0, child.Put()));

  // The player's folder goes away under the root: still an empty listing, no failure.
  std::filesystem::remove_all(folder_);
  DWORD count = 7;
  EXPECT_EQ(S_OK, root->GetChildCount(&count));
  EXPECT_EQ(0u, count);
}

TEST_F(ListingTest, ChildCountReadsTheFolderAfreshButGetChildKeepsTheListing) {
  Put("one.lse");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  EXPECT_EQ(std::vector<std::string>{"one.lse"}, Names(root));
  Put("two.lse");
  // No re-read yet: index 1 is past the listing.
  ComPtr<ISpdStorage> child;
  EXPECT_EQ(E_INVALIDARG, root->GetChild(1, child.Put()));
  EXPECT_EQ(2u, Names(root).size());
}

TEST_F(ListingTest, RootAnswersItsNameAndTypeAndRejectsNulls) {
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  DWORD type = 9;
  EXPECT_EQ(S_OK, root->GetStorageType(&type));
  EXPECT_EQ(0u, type);
  EXPECT_EQ("E:", Name(root));
  WCHAR one[2] = {u'x', u'x'};
  EXPECT_EQ(S_OK, root->GetName(one, 2));
  EXPECT_EQ(u'E', one[0]);
  EXPECT_EQ(0, one[1]);
  EXPECT_EQ(E_INVALIDARG, root->GetName(nullptr, 10));
  EXPECT_EQ(E_INVALIDARG, root->GetName(one, 0));
  EXPECT_EQ(E_INVALIDARG, root->GetStorageType(nullptr));
  EXPECT_EQ(E_INVALIDARG, root->GetChildCount(nullptr));
  EXPECT_EQ(E_INVALIDARG, root->GetChild(0, nullptr));
  EXPECT_EQ(E_INVALIDARG, root->GetProperty(SPD_PROP_ATTRIBUTES, 0, SpdKindDword, nullptr, 4));
  EXPECT_EQ(S_FALSE, root->PollForChange());
  EXPECT_EQ(E_NOTIMPL, root->RenameBegin(&type));
  ComPtr<ISpdStorage> folder;
  EXPECT_EQ(E_NOTIMPL, root->CreateChild(u"dir", SPD_CREATE_FOLDER, SPD_POSITION_INTO, folder.Put()));
  EXPECT_EQ(E_INVALIDARG, root->CreateChild(nullptr, SPD_CREATE_FILE, SPD_POSITION_INTO, folder.Put()));
}

}  // namespace
}  // namespace gannet_storage_test
