// File storages and the medium root: properties, new files, erase, delete, rename, identity.
#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include <tesk/win32/fileapi.h>

#include "storage_fixture.h"

namespace gannet_storage_test {
namespace {

using FileStorageTest = StorageTest;

WAVEFORMATEX Format(const ComPtr<ISpdStorage>& storage) {
  WAVEFORMATEX format;
  std::memset(&format, 0xCC, sizeof format);
  EXPECT_EQ(S_OK, storage->GetProperty(SPD_PROP_FORMAT, 0, SpdKindRecord, &format, sizeof format));
  return format;
}

void SetFormat(const ComPtr<ISpdStorage>& file, WORD tag) {
  WAVEFORMATEX format = {};
  format.wFormatTag = tag;
  format.nChannels = 2;
  EXPECT_EQ(S_OK, file->SetProperty(SPD_PROP_FORMAT, 0, SpdKindRecord, &format, sizeof format));
}

TEST_F(FileStorageTest, AttributeAndFormatWordsFollowTheName) {
  Put("A.REL");
  Put("b.lse");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  Names(root);
  struct Case {
    const char* name;
    DWORD attributes;
    WORD tag;
    DWORD rate;
  } cases[] = {{"A.REL", 0x355, 0x7FF3, 32000}, {"b.lse", 0xB51, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<ISpdStorage> file = Child(root, std::string(c.name) == Name(Child(root, 0)) ? 0 : 1);
    EXPECT_EQ(c.name, Name(file));
    EXPECT_EQ(c.attributes, Dword(file, SPD_PROP_ATTRIBUTES));
    const WAVEFORMATEX format = Format(file);
    EXPECT_EQ(c.tag, format.wFormatTag);
    EXPECT_EQ(c.tag ? 2 : 0, format.nChannels);
    EXPECT_EQ(c.rate, format.nSamplesPerSec);
    EXPECT_EQ(0u, format.nAvgBytesPerSec);
    EXPECT_EQ(0, format.nBlockAlign);
    EXPECT_EQ(c.tag ? 2 : 0, format.wBitsPerSample);
    EXPECT_EQ(0, format.cbSize);
    EXPECT_EQ(0x22u, Dword(file, SPD_PROP_CAPABILITIES));
    DWORD type = 0;
    EXPECT_EQ(S_OK, file->GetStorageType(&type));
    EXPECT_EQ(2u, type);
    WAVEFORMATEX small = {};
    EXPECT_EQ(E_INVALIDARG, file->GetProperty(SPD_PROP_FORMAT, 0, SpdKindRecord, &small, 17));
    EXPECT_EQ(SPD_E_WRONGKIND, file->GetProperty(SPD_PROP_ATTRIBUTES, 0, SpdKindBool, &small, 1));
    EXPECT_EQ(E_NOTIMPL, file->GetProperty(19, 0, SpdKindDword, &type, 4));
    EXPECT_EQ(E_NOTIMPL, file->GetProperty(99, 0, SpdKindDword, &type, 4));
  }
}

TEST_F(FileStorageTest, RootAnswersMediumWords) {
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  EXPECT_EQ(0x50200000u, Dword(root, SPD_PROP_ATTRIBUTES));
  EXPECT_EQ(2u, Dword(root, SPD_PROP_CAPABILITIES));
  EXPECT_EQ(0x7A3Du, Dword(root, SPD_PROP_VENDOR_ID));
  EXPECT_EQ(0u, Dword(root, SPD_PROP_BAD_LOW));
  EXPECT_EQ(0u, Dword(root, SPD_PROP_STATUS));
  BYTE present = 0;
  EXPECT_EQ(S_OK, root->GetProperty(SPD_PROP_PRESENT, 0, SpdKindBool, &present, 1));
  EXPECT_EQ(1, present);
  const WAVEFORMATEX format = Format(root);
  const WAVEFORMATEX zero = {};
  EXPECT_EQ(0, std::memcmp(&zero, &format, sizeof format));
  SpdBlob blob = {sizeof(SpdBlob), nullptr, 0};
  EXPECT_EQ(S_OK, root->GetProperty(SPD_PROP_SERIAL, 0, SpdKindBlob, &blob, sizeof blob));
  EXPECT_EQ(16u, blob.cbData);
  CoTaskMemFree(blob.pData);
  EXPECT_EQ(SPD_E_WRONGKIND, root->GetProperty(SPD_PROP_PRESENT, 0, SpdKindDword, &present, 4));
  EXPECT_EQ(E_NOTIMPL, root->GetProperty(25, 0, SpdKindDword, &present, 4));
}

TEST_F(FileStorageTest, SizesFreeSpaceAndDatesInBothKinds) {
  Put("t.lse", std::string(1234, 'x'));
  const std::time_t when = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC
  std::filesystem::last_write_time(folder_ + "/t.lse", std::filesystem::file_time_type::clock::from_sys(
                                                           std::chrono::system_clock::from_time_t(when)));
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  Names(root);
  ComPtr<ISpdStorage> file = Child(root, 0);

  EXPECT_EQ(1234u, Dword(file, SPD_PROP_SIZE_LOW));
  EXPECT_EQ(0u, Dword(file, SPD_PROP_SIZE_HIGH));

  ULARGE_INTEGER free_for_caller{}, total{}, free_total{};
  ASSERT_TRUE(GetDiskFreeSpaceExA("E:", &free_for_caller, &total, &free_total));
  EXPECT_EQ(total.u.LowPart, Dword(root, SPD_PROP_SIZE_LOW));
  EXPECT_EQ(total.u.HighPart, Dword(root, SPD_PROP_SIZE_HIGH));
  EXPECT_EQ(free_for_caller.u.HighPart, Dword(root, SPD_PROP_FREE_HIGH));
  EXPECT_EQ(free_for_caller.u.HighPart, Dword(file, SPD_PROP_FREE_HIGH));
  EXPECT_NE(0u, Dword(file, SPD_PROP_FREE_LOW) | Dword(file, SPD_PROP_FREE_HIGH));

  DWORD seconds = 0;
  EXPECT_EQ(S_OK, file->GetProperty(SPD_PROP_DATE, 0, SpdKindTime, &seconds, sizeof seconds));
  EXPECT_EQ(static_cast<DWORD>(when), seconds);

  char expected[32] = {};
  std::tm local = {};
  localtime_r(&when, &local);
  std::strncpy(expected, std::asctime(&local), sizeof expected - 1);
  expected[24] = '\0';  // the newline goes
  WCHAR text[64] = {};
  EXPECT_EQ(S_OK, file->GetProperty(SPD_PROP_DATE, 0, SpdKindString, text, 64));
  EXPECT_EQ(expected, Narrow(text));
  WCHAR cut[4] = {};
  EXPECT_EQ(S_OK, file->GetProperty(SPD_PROP_DATE, 0, SpdKindString, cut, 4));
  EXPECT_EQ(std::string(expected, 3), Narrow(cut));
  EXPECT_EQ(SPD_E_WRONGKIND, file->GetProperty(SPD_PROP_DATE, 0, SpdKindDword, &seconds, 4));
}

TEST_F(FileStorageTest, NewFileTakesRelForTheRelFormatOnly) {
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  struct Case {
    const char* name;
    WORD tag;
    const char* becomes;
  } cases[] = {
      {"new.mp3", 0x7FF3, "new.mp3.rel"}, {"new.mp3", 0x0055, "new.mp3"}, {"NEW.REL", 0x7FF3, "NEW.REL"}};
  for (const Case& c : cases) {
    ComPtr<ISpdStorage> file = Create(root, c.name);
    SetFormat(file, c.tag);
    EXPECT_EQ(c.becomes, Name(file));
  }
}

TEST_F(FileStorageTest, NewFileAnswersOnlyItsNameUntilCommitted) {
  Put("old.lse", "old");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ASSERT_EQ(1u, Names(root).size());
  ComPtr<ISpdStorage> file = Create(root, "new.lse");
  EXPECT_EQ("new.lse", Name(file));
  DWORD value = 0;
  EXPECT_EQ(E_FAIL, file->GetProperty(SPD_PROP_SIZE_LOW, 0, SpdKindDword, &value, 4));
  EXPECT_EQ(E_FAIL, file->DeleteBegin(&value));
  EXPECT_EQ(E_FAIL, file->RenameStep(u"x.lse"));
  EXPECT_EQ(S_OK, file->SetProperty(SPD_PROP_ATTRIBUTES, 0, SpdKindDword, &value, 4));
  EXPECT_EQ(E_INVALIDARG, file->SetProperty(SPD_PROP_ATTRIBUTES, 0, SpdKindDword, nullptr, 4));
  EXPECT_EQ(E_NOTIMPL, file->SetProperty(SPD_PROP_NAME, 0, SpdKindString, u"x", 2));

  // Discarded: nothing on the drive, the listing as it was, the file still being created.
  EXPECT_EQ(S_OK, WriteAll(file, "data", FALSE));
  EXPECT_FALSE(Exists("new.lse"));
  EXPECT_EQ(E_FAIL, file->GetProperty(SPD_PROP_SIZE_LOW, 0, SpdKindDword, &value, 4));
  EXPECT_EQ(E_FAIL, file->InitializeBegin(&value));

  // Committed: the listing gains it at its end, and the storage answers for it.
  SwitchKey("NoTags", true);
  EXPECT_EQ(S_OK, WriteAll(file, "0123456789", TRUE));
  EXPECT_TRUE(Exists("new.lse"));
  EXPECT_EQ(10u, Dword(file, SPD_PROP_SIZE_LOW));
  EXPECT_EQ(0xB51u, Dword(file, SPD_PROP_ATTRIBUTES));
  ComPtr<ISpdStorage> last = Child(root, 1);
  EXPECT_EQ("new.lse", Name(last));
  EXPECT_EQ(S_OK, file->IsSameStorage(last.Get()));
  EXPECT_EQ(E_FAIL, file->SetProperty(SPD_PROP_ATTRIBUTES, 0, SpdKindDword, &value, 4));
}

TEST_F(FileStorageTest, EraseTakesOneStepPerTrackAndLeavesOtherFiles) {
  Put("1.lse");
  Put("2.rel");
  Put("3.lse");
  Put("keep.mp3");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  DWORD steps = 0;
  EXPECT_EQ(S_OK, root->InitializeBegin(&steps));
  EXPECT_EQ(3u, steps);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(S_FALSE, root->InitializeStep());
  EXPECT_EQ(S_OK, root->InitializeStep());
  EXPECT_FALSE(Exists("1.lse") || Exists("2.rel") || Exists("3.lse"));
  EXPECT_TRUE(Exists("keep.mp3"));
  EXPECT_EQ(E_INVALIDARG, root->InitializeBegin(nullptr));
}

TEST_F(FileStorageTest, EraseThroughAFileAndRootDeleteAlsoEmptyTheDrive) {
  Put("1.lse");
  Put("2.lse");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ComPtr<ISpdStorage> file = Child(root, 1);
  DWORD steps = 0;
  EXPECT_EQ(S_OK, file->InitializeBegin(&steps));
  EXPECT_EQ(2u, steps);
  EXPECT_EQ(S_FALSE, file->InitializeStep());
  EXPECT_EQ(S_OK, root->DeleteBegin(&steps));
  EXPECT_EQ(1u, steps);
  EXPECT_EQ(S_FALSE, root->DeleteStep());
  EXPECT_EQ(S_OK, root->DeleteStep());
  EXPECT_TRUE(Names(root).empty());
}

TEST_F(FileStorageTest, DeleteRemovesReadOnlyFilesToo) {
  Put("ro.lse");
  chmod((folder_ + "/ro.lse").c_str(), 0444);
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ComPtr<ISpdStorage> file = Child(root, 0);
  DWORD steps = 0;
  EXPECT_EQ(S_OK, file->DeleteBegin(&steps));
  EXPECT_EQ(1u, steps);
  EXPECT_EQ(S_OK, file->DeleteStep());
  EXPECT_FALSE(Exists("ro.lse"));
  EXPECT_EQ(E_FAIL, file->DeleteStep());  // gone: nothing else is deleted in its place
}

TEST_F(FileStorageTest, RenameRefusesTakenNamesAndKeepsTheObjectsName) {
  Put("a.lse", "A");
  Put("b.lse", "B");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  const std::vector<std::string> before = Names(root);
  ComPtr<ISpdStorage> a = Child(root, before[0] == "a.lse" ? 0 : 1);
  ASSERT_EQ("a.lse", Name(a));
  DWORD steps = 0;
  EXPECT_EQ(S_OK, a->RenameBegin(&steps));
  EXPECT_EQ(1u, steps);
  for (const char16_t* taken : {u"b.lse", u"B.LSE"}) {
    EXPECT_EQ(E_FAIL, a->RenameStep(taken));
    EXPECT_EQ(std::vector<uint8_t>{'A'}, Contents("a.lse"));
    EXPECT_EQ(std::vector<uint8_t>{'B'}, Contents("b.lse"));
  }
  EXPECT_EQ(E_INVALIDARG, a->RenameStep(nullptr));

  EXPECT_EQ(S_OK, a->RenameStep(u"c.lse"));
  EXPECT_FALSE(Exists("a.lse"));
  EXPECT_EQ(std::vector<uint8_t>{'A'}, Contents("c.lse"));
  EXPECT_EQ("a.lse", Name(a));  // the object keeps the name it was made with
  // Renamed again by the same object: it knows its file by the new name.
  EXPECT_EQ(S_OK, a->RenameStep(u"d.mp3"));
  EXPECT_TRUE(Exists("d.mp3"));
  EXPECT_EQ(std::vector<std::string>{"b.lse"}, Names(root));
}

TEST_F(FileStorageTest, OlderObjectsActOnTheirOwnFileAfterEntriesMove) {
  Put("0.lse", "zero");
  Put("1.lse", "one!!");
  Put("2.lse", "two!!!");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  std::vector<std::string> names = Names(root);
  ASSERT_EQ(3u, names.size());
  ComPtr<ISpdStorage> first = Child(root, 0);
  ComPtr<ISpdStorage> second = Child(root, 1);
  ComPtr<ISpdStorage> third = Child(root, 2);
  const DWORD second_size = Dword(second, SPD_PROP_SIZE_LOW);
  const std::string second_name = names[1];

  EXPECT_EQ(S_OK, first->DeleteStep());
  // The entries moved down; the second object still answers for its own file.
  EXPECT_EQ(second_size, Dword(second, SPD_PROP_SIZE_LOW));
  EXPECT_EQ(S_OK, second->RenameStep(u"renamed.lse"));
  EXPECT_TRUE(Exists("renamed.lse"));
  EXPECT_TRUE(Exists(names[2]));
  EXPECT_FALSE(Exists(second_name));

  // A fresh read of the folder: the third object finds its file again by name.
  Names(root);
  EXPECT_EQ(S_OK, third->DeleteStep());
  EXPECT_FALSE(Exists(names[2]));
  EXPECT_TRUE(Exists("renamed.lse"));

  // Its file gone, an object fails instead of touching another one.
  EXPECT_EQ(E_FAIL, third->DeleteStep());
  EXPECT_EQ(E_FAIL, third->RenameStep(u"other.lse"));
  EXPECT_EQ(0u, Dword(third, SPD_PROP_SIZE_LOW));
  EXPECT_EQ(0x355u, Dword(third, SPD_PROP_ATTRIBUTES));
  ComPtr<ISpdStream> stream;
  ASSERT_EQ(S_OK, third->OpenStream(stream.Put()));
  EXPECT_EQ(E_FAIL, stream->OpenRead());
  EXPECT_TRUE(Exists("renamed.lse"));
}

TEST_F(FileStorageTest, IdentityComparesMediumAndPosition) {
  Put("a.lse");
  Put("b.lse");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ComPtr<ISpdStorage> a1 = Child(root, 0);
  ComPtr<ISpdStorage> a2 = Child(root, 0);
  ComPtr<ISpdStorage> b = Child(root, 1);
  EXPECT_EQ(S_OK, a1->IsSameStorage(a2.Get()));
  EXPECT_EQ(SPD_E_NOTSAME, a1->IsSameStorage(b.Get()));
  EXPECT_EQ(SPD_E_DEPTHDIFFERS, a1->IsSameStorage(root.Get()));
  EXPECT_EQ(SPD_E_DEPTHDIFFERS, root->IsSameStorage(a1.Get()));
  EXPECT_EQ(S_OK, root->IsSameStorage(Root().Get()));
  ComPtr<ISpdStream> stream;
  ASSERT_EQ(S_OK, a1->OpenStream(stream.Put()));
  EXPECT_EQ(SPD_E_NOTSAME, a1->IsSameStorage(stream.Get()));
  EXPECT_EQ(SPD_E_NOTSAME, a1->IsSameStorage(nullptr));
  ComPtr<ISpdStoragePath> path;
  ASSERT_EQ(S_OK, b.As(IID_ISpdStoragePath, &path));
  SpdStoragePath where = {};
  EXPECT_EQ(S_OK, path->GetPath(&where));
  EXPECT_EQ(2u, where.depth);
  EXPECT_EQ(0u, where.index[0]);
  EXPECT_EQ(1u, where.index[1]);
}

}  // namespace
}  // namespace gannet_storage_test
