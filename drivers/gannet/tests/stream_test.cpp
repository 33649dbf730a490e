// File streams: reading listed tracks, writing new ones, and the wrong way round.
#include "storage_fixture.h"

namespace gannet_storage_test {
namespace {

using StreamTest = StorageTest;

std::string ReadAll(const ComPtr<ISpdStream>& stream, DWORD chunk) {
  std::string data;
  for (;;) {
    std::string buffer(chunk, '\0');
    DWORD len = chunk;
    const HRESULT hr = stream->Read(buffer.data(), &len);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << hr;
    if (hr != S_OK) {
      EXPECT_EQ(0u, len);
      return data;
    }
    EXPECT_LE(len, chunk);
    data.append(buffer.data(), len);
  }
}

TEST_F(StreamTest, ReadsListedFilesWhole) {
  const std::string body = "0123456789abcdefghij";
  Put("full.rel", body);
  Put("empty.lse");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  const std::vector<std::string> names = Names(root);
  for (DWORD i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    const std::string expected = names[i] == "full.rel" ? body : "";
    for (DWORD chunk : {1u, 7u, 64u}) {
      ComPtr<ISpdStream> stream;
      ASSERT_EQ(S_OK, Child(root, i)->OpenStream(stream.Put()));
      ASSERT_EQ(S_OK, stream->OpenRead());
      DWORD size = 99;
      EXPECT_EQ(S_OK, stream->GetSize(&size));
      EXPECT_EQ(expected.size(), size);
      EXPECT_EQ(expected, ReadAll(stream, chunk));
      EXPECT_EQ(E_FAIL, stream->OpenWrite(0));
      DWORD len = 4;
      EXPECT_EQ(E_FAIL, stream->Write("data", &len));
      EXPECT_EQ(S_OK, stream->Close(TRUE));
      EXPECT_EQ(S_OK, stream->Close(TRUE));  // a second Close does nothing
      char byte = 0;
      len = 1;
      EXPECT_EQ(E_FAIL, stream->Read(&byte, &len));
    }
  }
  EXPECT_EQ(body.size(), Contents("full.rel").size());
}

TEST_F(StreamTest, StreamOfAListedFileOutlivesItsParents) {
  Put("keep.rel", "kept");
  ComPtr<ISpdStream> stream;
  {
    ComPtr<ISpdStorage> root = Root();
    ASSERT_TRUE(root);
    ASSERT_EQ(S_OK, Child(root, 0)->OpenStream(stream.Put()));
  }
  ASSERT_EQ(S_OK, stream->OpenRead());
  EXPECT_EQ("kept", ReadAll(stream, 16));
  EXPECT_EQ(S_OK, stream->Close(FALSE));
  EXPECT_TRUE(Exists("keep.rel"));  // closing a read stream never deletes
}

TEST_F(StreamTest, NewFileIsWrittenOnlyOnceAndOnlyForWriting) {
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ComPtr<ISpdStorage> file = Create(root, "x.rel");
  ComPtr<ISpdStream> stream;
  ASSERT_EQ(S_OK, file->OpenStream(stream.Put()));
  EXPECT_EQ(E_FAIL, stream->OpenRead());
  EXPECT_EQ(E_INVALIDARG, file->OpenStream(nullptr));
  ASSERT_EQ(S_OK, stream->OpenWrite(12345));
  EXPECT_EQ(E_FAIL, stream->OpenWrite(0));
  DWORD size = 7;
  EXPECT_EQ(S_OK, stream->GetSize(&size));
  EXPECT_EQ(0u, size);
  const std::string data(100000, 'q');
  DWORD len = static_cast<DWORD>(data.size());
  EXPECT_EQ(S_OK, stream->Write(data.data(), &len));
  EXPECT_EQ(data.size(), len);
  EXPECT_EQ(S_OK, stream->Close(TRUE));
  EXPECT_EQ(data.size(), Contents("x.rel").size());
  EXPECT_EQ(data.size(), Dword(file, SPD_PROP_SIZE_LOW));
}

TEST_F(StreamTest, StreamReleasedWithoutCloseLeavesNoHalfFile) {
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ComPtr<ISpdStorage> file = Create(root, "half.rel");
  {
    ComPtr<ISpdStream> stream;
    ASSERT_EQ(S_OK, file->OpenStream(stream.Put()));
    ASSERT_EQ(S_OK, stream->OpenWrite(0));
    DWORD len = 3;
    EXPECT_EQ(S_OK, stream->Write("abc", &len));
  }
  EXPECT_FALSE(Exists("half.rel"));
  EXPECT_TRUE(Names(root).empty());
}

TEST_F(StreamTest, WriteToAFolderThatIsGoneFailsAndStaysUnopened) {
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ComPtr<ISpdStorage> file = Create(root, "lost.rel");
  std::filesystem::remove_all(folder_);
  ComPtr<ISpdStream> stream;
  ASSERT_EQ(S_OK, file->OpenStream(stream.Put()));
  EXPECT_EQ(E_FAIL, stream->OpenWrite(0));
  DWORD len = 1;
  EXPECT_EQ(E_FAIL, stream->Write("z", &len));
  EXPECT_EQ(S_OK, stream->Close(TRUE));
  DWORD value = 0;
  EXPECT_EQ(E_FAIL, file->GetProperty(SPD_PROP_SIZE_LOW, 0, SpdKindDword, &value, 4));
}

}  // namespace
}  // namespace gannet_storage_test
