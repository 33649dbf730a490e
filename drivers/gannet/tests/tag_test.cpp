// Tags in front of new tracks, and playing times read from listed tracks' tags, including
// tags made by other ID3 tools and broken ones.
#include <unistd.h>

#include <cstring>

#include "storage_fixture.h"

namespace gannet_storage_test {
namespace {

using TagTest = StorageTest;
using Bytes = std::vector<std::uint8_t>;

constexpr char kId3v2Tool[] = "/usr/bin/id3v2";  // Debian package id3v2

Bytes Frame(const char* id, const std::string& text, std::uint32_t size_field) {
  Bytes frame(id, id + 4);
  for (int shift = 24; shift >= 0; shift -= 8)
    frame.push_back(static_cast<std::uint8_t>(size_field >> shift));
  frame.insert(frame.end(), {0, 0, 0});
  frame.insert(frame.end(), text.begin(), text.end());
  return frame;
}
Bytes Frame(const char* id, const std::string& text) {
  return Frame(id, text, static_cast<std::uint32_t>(text.size() + 1));
}

Bytes Tag(std::uint32_t size, const std::vector<Bytes>& frames) {
  Bytes tag = {'I',
               'D',
               '3',
               3,
               0,
               0,
               static_cast<std::uint8_t>((size >> 21) & 0x7F),
               static_cast<std::uint8_t>((size >> 14) & 0x7F),
               static_cast<std::uint8_t>((size >> 7) & 0x7F),
               static_cast<std::uint8_t>(size & 0x7F)};
  for (const Bytes& f : frames) tag.insert(tag.end(), f.begin(), f.end());
  return tag;
}

Bytes Plus(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class TagWriteTest : public TagTest {
 protected:
  Bytes WriteTrack(const std::string& name, const std::string& title, const std::string& artist,
                   const std::string& seconds, const std::string& data = "DATA") {
    ComPtr<ISpdStorage> root = Root();
    if (!root) return {};
    ComPtr<ISpdStorage> file = Create(root, name);
    if (!title.empty()) SetText(file, "TIT2", title);
    if (!artist.empty()) SetText(file, "TPE1", artist);
    if (!seconds.empty()) SetText(file, "TLEN", seconds);
    EXPECT_EQ(S_OK, WriteAll(file, data, TRUE));
    return Contents(name);
  }
};

Bytes ExampleTag(const Bytes& title_frame) {
  Bytes tag = {0x49, 0x44, 0x33, 0x03, 0x00, 0x00, 0x00, 0x00, 0x02, 0x76};
  tag = Plus(tag, title_frame);
  tag = Plus(tag, Frame("TLEN", "200000"));
  tag.resize(384, 0);
  return tag;
}

TEST_F(TagWriteTest, NarrowTagIsExactlyTheExample) {
  const Bytes file = WriteTrack("x.mp3", "Song", "", "200");
  const Bytes title = {0x54, 0x49, 0x54, 0x32, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 'S', 'o', 'n', 'g'};
  EXPECT_EQ(Plus(ExampleTag(title), {'D', 'A', 'T', 'A'}), file);
}

TEST_F(TagWriteTest, UnicodeSwitchWritesTitleBigEndianWithoutMark) {
  SwitchKey("Unicode", true);
  const Bytes file = WriteTrack("x.lse", "Song", "", "200");
  const Bytes title = {0x54, 0x49, 0x54, 0x32, 0,    0,    0,    9,    0,   0,
                       0,    0x00, 0x53, 0x00, 0x6F, 0x00, 0x6E, 0x00, 0x67};
  EXPECT_EQ(Plus(ExampleTag(title), {'D', 'A', 'T', 'A'}), file);
}

TEST_F(TagWriteTest, NoTagForRelNamesOrWithTheNoTagsSwitch) {
  struct Case {
    const char* name;
    bool no_tags;
    bool unicode;
  } cases[] = {
      {"x.rel", false, false}, {"y.REL", false, true}, {"z.mp3", true, false}, {"w.lse", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SwitchKey("NoTags", c.no_tags);
    SwitchKey("Unicode", c.unicode);
    EXPECT_EQ((Bytes{'D', 'A', 'T', 'A'}), WriteTrack(c.name, "Song", "Artist", "200"));
  }
}

TEST_F(TagWriteTest, LongTextsAreCutAndEmptyOnesLeftOut) {
  const std::string long_title(200, 't');
  const std::string artist = std::string("A\xFF") + "B";
  Bytes file = WriteTrack("long.mp3", long_title, artist, "");
  ASSERT_GE(file.size(), 384u);
  Bytes expected = {0x49, 0x44, 0x33, 0x03, 0x00, 0x00, 0x00, 0x00, 0x02, 0x76};
  expected = Plus(expected, Frame("TIT2", std::string(127, 't')));
  expected = Plus(expected, Frame("TPE1", "A B"));  // 0xFF becomes a space
  expected.resize(384, 0);
  EXPECT_EQ(expected, Bytes(file.begin(), file.begin() + 384));

  SwitchKey("Unicode", true);
  file = WriteTrack("long.lse", long_title, "", "");
  ASSERT_GE(file.size(), 384u);
  EXPECT_EQ(0x7Fu, file[10 + 7]);  // 63 code units: 126 bytes and the encoding byte
  EXPECT_EQ('t', file[10 + 11 + 125]);
  EXPECT_EQ(0u, file[10 + 11 + 126]);
}

TEST_F(TagWriteTest, FramesAreKeptOnlyForKnownIdsAndOnlyWhileCreating) {
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ComPtr<ISpdStorage> file = Create(root, "f.mp3");
  const std::string text = "text";
  SpdFrame frame = {sizeof(SpdFrame), SPD_FRAME_TYPE_TEXT, 0, 4,
                    reinterpret_cast<BYTE*>(const_cast<char*>(text.data()))};
  EXPECT_EQ(E_INVALIDARG,
            file->SetProperty(SPD_PROP_FRAME, SpdFrameId("TRCK"), SpdKindFrame, &frame, sizeof frame));
  for (const char* id : {"TALB", "TCON", "TCOP", "TIT2", "TLEN"})
    EXPECT_EQ(E_NOTIMPL,
              file->SetProperty(SPD_PROP_FRAME, SpdFrameId(reinterpret_cast<const char(&)[5]>(*id)),
                                SpdKindFrame, &frame, sizeof frame))
        << id;
  EXPECT_EQ(E_INVALIDARG, file->SetProperty(SPD_PROP_FRAME, SpdFrameId("TIT2"), SpdKindFrame, nullptr, 0));
  ComPtr<ISpdStream> stream;
  ASSERT_EQ(S_OK, file->OpenStream(stream.Put()));
  SetText(file, "TPE1", "late");  // after the stream was made: not written
  ASSERT_EQ(S_OK, stream->OpenWrite(0));
  ASSERT_EQ(S_OK, stream->Close(TRUE));
  const Bytes written = Contents("f.mp3");
  Bytes expected = {0x49, 0x44, 0x33, 0x03, 0x00, 0x00, 0x00, 0x00, 0x02, 0x76};
  expected = Plus(expected, Frame("TIT2", "text"));
  expected = Plus(expected, Frame("TLEN", "0"));  // "text" read as a number of seconds
  expected.resize(384, 0);
  EXPECT_EQ(expected, written);
  EXPECT_EQ(E_FAIL,
            file->SetProperty(SPD_PROP_FRAME, SpdFrameId("TIT2"), SpdKindFrame, &frame, sizeof frame));
}

TEST_F(TagWriteTest, OwnTagGivesThePlayingTimeBack) {
  WriteTrack("back.lse", "Song", "Artist", "185");
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  ASSERT_EQ(1u, Names(root).size());
  EXPECT_EQ(185u, Dword(Child(root, 0), SPD_PROP_PLAY_LENGTH));
}

TEST_F(TagTest, PlayingTimeFromWellFormedAndBrokenTags) {
  const Bytes audio(64, 0xAB);
  const Bytes three_frames = Tag(60, {Frame("TIT2", "t"), Frame("TPE1", "a"), Frame("TLEN", "185000")});
  const Bytes text_512(512, '1');
  struct Case {
    const char* name;
    Bytes bytes;
    DWORD seconds;
  } cases[] = {
      {"third.lse", Plus(three_frames, audio), 185},
      {"padded.lse", Plus(Tag(1000, {Frame("TLEN", "61999")}), Bytes(1000, 0)), 61},
      {"flagged.lse", Plus(Tag(20, {Frame("TLEN", "5000")}), audio), 5},
      {"no_tlen.lse", Plus(Tag(40, {Frame("TIT2", "only")}), Bytes(40, 0)), 0},
      {"not_id3.lse", Plus(Bytes{'T', 'A', 'G'}, three_frames), 0},
      {"rel_name.rel", Plus(three_frames, audio), 0},
      {"empty.lse", {}, 0},
      {"short.lse", {'I', 'D', '3', 3, 0}, 0},
      {"zero_size.lse", Plus(Tag(0, {Frame("TLEN", "9000")}), audio), 0},
      {"huge_size.lse", Tag(0x0FFFFFFF, {Frame("TIT2", "x"), Frame("TLEN", "9000")}), 9},
      {"tag_past_end.lse", Tag(0x0FFFFFFF, {Frame("TIT2", "x")}), 0},
      {"frame_past_end.lse", Tag(60, {Frame("TIT2", "x", 0x7FFFFFF0)}), 0},
      {"frame_past_tag.lse", Plus(Tag(12, {Frame("TLEN", "9000")}), audio), 0},
      {"overflow.lse", Plus(Tag(60, {Frame("TLEN", "9000", 0xFFFFFFFF)}), Bytes(100, '9')), 0},
      {"zero_frame.lse", Plus(Tag(60, {Frame("TIT2", "", 0), Frame("TLEN", "9000")}), audio), 0},
      {"not_syncsafe.lse", Plus(Bytes{'I', 'D', '3', 3, 0, 0, 0x80, 0x80, 0x80, 0x80}, Frame("TLEN", "9000")),
       0},
      {"long_tlen.lse", Plus(Tag(600, {Frame("TLEN", std::string(text_512.begin(), text_512.end()))}), audio),
       0},
      {"negative.lse", Plus(Tag(20, {Frame("TLEN", "-5000")}), audio), 0},
      {"cut_text.lse", Tag(60, {Frame("TLEN", "123456789", 10)}), 0},
  };
  // The flag bytes of a frame are not looked at.
  cases[2].bytes[10 + 8] = 0x40;
  // A frame text cut short by the end of the file.
  cases[18].bytes.resize(cases[18].bytes.size() - 4);
  for (const Case& c : cases) Put(c.name, c.bytes);

  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  const std::vector<std::string> names = Names(root);
  ASSERT_EQ(std::size(cases), names.size());
  for (DWORD i = 0; i < names.size(); ++i) {
    for (const Case& c : cases) {
      if (names[i] != c.name) continue;
      EXPECT_EQ(c.seconds, Dword(Child(root, i), SPD_PROP_PLAY_LENGTH)) << c.name;
    }
  }
}

bool HaveTool() {
  if (access(kId3v2Tool, X_OK) == 0) return true;
  return false;
}

TEST_F(TagTest, PlayingTimeFromTagsOfTheId3v2Tool) {
  if (!HaveTool()) GTEST_SKIP() << kId3v2Tool << " is missing: install the Debian package id3v2";
  Put("tool.lse", Bytes(3000, 0));
  Put("tool_len_first.lse", Bytes(3000, 0));
  const std::string path = folder_ + "/tool.lse";
  auto run = [](const std::vector<std::string>& args) {
    const tesk::testing::ChildResult result = tesk::testing::RunChild(kId3v2Tool, args);
    EXPECT_EQ(0, result.exit_code) << result.output;
  };
  run({"-2", "-t", "Title", "-a", "Artist", "--TCON", "Rock", "--TLEN", "185000", "-A", "Album", path});
  run({"-2", "--TLEN", "3600000", folder_ + "/tool_len_first.lse"});
  ComPtr<ISpdStorage> root = Root();
  ASSERT_TRUE(root);
  const std::vector<std::string> names = Names(root);
  ASSERT_EQ(2u, names.size());
  for (DWORD i = 0; i < 2; ++i)
    EXPECT_EQ(names[i] == "tool.lse" ? 185u : 3600u, Dword(Child(root, i), SPD_PROP_PLAY_LENGTH)) << names[i];
}

TEST_F(TagWriteTest, Id3v2ToolReadsTheWrittenTag) {
  if (!HaveTool()) GTEST_SKIP() << kId3v2Tool << " is missing: install the Debian package id3v2";
  WriteTrack("read_by_tool.mp3", "Night Song", "The Band", "245", std::string(4000, '\0'));
  const tesk::testing::ChildResult result =
      tesk::testing::RunChild(kId3v2Tool, {"-l", folder_ + "/read_by_tool.mp3"});
  ASSERT_EQ(0, result.exit_code) << result.output;
  EXPECT_NE(std::string::npos, result.output.find("TIT2 (Title/songname/content description): Night Song"))
      << result.output;
  EXPECT_NE(std::string::npos, result.output.find("TPE1 (Lead performer(s)/Soloist(s)): The Band"))
      << result.output;
  EXPECT_NE(std::string::npos, result.output.find("TLEN (Length): 245000")) << result.output;
}

}  // namespace
}  // namespace gannet_storage_test
