#include "tag.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tesk/win32/winnls.h>
#include <tesk/win32/winreg.h>

namespace gannet {
namespace {

constexpr size_t kHeaderBytes = 10;
constexpr size_t kTagBody = kTagBytes - kHeaderBytes;  // 374, the size in the header
constexpr DWORD kMaxText = 127;
constexpr DWORD kLengthBuffer = 512;  // TLEN texts longer than 511 bytes are passed over

template <size_t N>
void StoreText(char (&slot)[N], const SpdFrame& frame) {
  size_t n = frame.pData ? frame.cbData : 0;
  if (n > N - 1) n = N - 1;
  if (n) std::memcpy(slot, frame.pData, n);
  slot[n] = '\0';
  // A text with a NUL inside ends there, as it would for any reader of the slot.
}

void AppendFrameHeader(std::vector<BYTE>& out, const char (&id)[5], DWORD n) {
  out.insert(out.end(), id, id + 4);
  const DWORD size = n + 1;
  out.push_back(static_cast<BYTE>(size >> 24));
  out.push_back(static_cast<BYTE>(size >> 16));
  out.push_back(static_cast<BYTE>(size >> 8));
  out.push_back(static_cast<BYTE>(size));
  out.push_back(0);  // flags
  out.push_back(0);
  out.push_back(0);  // encoding byte: 0 in both forms
}

bool KeyOpens(const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

}  // namespace

HRESULT SetTagFrame(TagTexts& texts, DWORD frame_id, const SpdFrame* frame) {
  if (!frame) return E_INVALIDARG;
  if (frame_id == SpdFrameId("TIT2")) {
    StoreText(texts.title, *frame);
  } else if (frame_id == SpdFrameId("TPE1")) {
    StoreText(texts.artist, *frame);
  } else if (frame_id == SpdFrameId("TALB")) {
    StoreText(texts.album, *frame);
  } else if (frame_id == SpdFrameId("TCON")) {
    StoreText(texts.genre, *frame);
  } else if (frame_id == SpdFrameId("TCOP")) {
    StoreText(texts.rights, *frame);
  } else if (frame_id == SpdFrameId("TLEN")) {
    // Given in seconds, kept in milliseconds.
    StoreText(texts.length, *frame);
    const long long ms = static_cast<long long>(std::atoi(texts.length)) * 1000;
    std::snprintf(texts.length, sizeof texts.length, "%d", static_cast<int>(ms));
  } else {
    return E_INVALIDARG;
  }
  return E_NOTIMPL;
}

std::vector<BYTE> BuildTagFrame(const char (&id)[5], const char* text, bool unicode) {
  std::vector<BYTE> out;
  if (!text || !*text) return out;
  if (unicode) {
    WCHAR wide[121] = {};
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 121);
    if (units <= 0) {
      // Too long for the buffer: keep what fits.
      units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(strnlen(text, 120)), wide, 120);
      if (units < 0) units = 0;
    } else {
      units -= 1;  // the terminator
    }
    DWORD n = 2 * static_cast<DWORD>(units);
    if (n > kMaxText) n = 126;
    if (n == 0) return out;
    AppendFrameHeader(out, id, n);
    for (DWORD i = 0; i < n / 2; ++i) {
      out.push_back(static_cast<BYTE>(wide[i] >> 8));  // big-endian, no byte-order mark
      out.push_back(static_cast<BYTE>(wide[i]));
    }
    return out;
  }
  DWORD n = static_cast<DWORD>(std::strlen(text));
  if (n > kMaxText) n = kMaxText;
  AppendFrameHeader(out, id, n);
  for (DWORD i = 0; i < n; ++i) {
    const BYTE c = static_cast<BYTE>(text[i]);
    out.push_back(c == 0xFF ? 0x20 : c);
  }
  return out;
}

std::vector<BYTE> BuildTag(const TagTexts& texts, bool (*unicode)()) {
  std::vector<BYTE> tag = {'I', 'D', '3', 3, 0, 0, 0, 0, (kTagBody >> 7) & 0x7F, kTagBody & 0x7F};
  const auto add = [&](const std::vector<BYTE>& frame) { tag.insert(tag.end(), frame.begin(), frame.end()); };
  add(BuildTagFrame("TIT2", texts.title, *texts.title && unicode && unicode()));
  add(BuildTagFrame("TPE1", texts.artist, *texts.artist && unicode && unicode()));
  add(BuildTagFrame("TLEN", texts.length, false));
  tag.resize(kTagBytes, 0);  // three frames of at most 138 bytes each always fit
  return tag;
}

bool TagsSwitchedOff() {
  return KeyOpens("Software\\Vorelle\\Tesk\\Holvenn\\NoTags");
}
bool UnicodeTagsSwitchedOn() {
  return KeyOpens("Software\\Vorelle\\Tesk\\Holvenn\\Unicode");
}

DWORD ReadPlayLength(TagSource& source) {
  BYTE header[kHeaderBytes];
  if (!source.Read(header, sizeof header)) return 0;
  if (header[0] != 'I' || header[1] != 'D' || header[2] != '3') return 0;
  // A syncsafe size has seven bits per byte; a byte with the high bit set is a bad tag.
  if ((header[6] | header[7] | header[8] | header[9]) & 0x80) return 0;
  const DWORD tag_size =
      (DWORD{header[6]} << 21) | (DWORD{header[7]} << 14) | (DWORD{header[8]} << 7) | header[9];
  if (tag_size == 0) return 0;

  DWORD used = 0;  // bytes of the tag body consumed so far
  for (;;) {
    if (tag_size - used < 11) return 0;  // no room for another frame: padding or end
    BYTE frame[11];
    if (!source.Read(frame, sizeof frame)) return 0;
    used += 11;
    const DWORD size = (DWORD{frame[4]} << 24) | (DWORD{frame[5]} << 16) | (DWORD{frame[6]} << 8) | frame[7];
    if (size == 0) return 0;
    const DWORD text = size - 1;           // after the encoding byte
    if (text > tag_size - used) return 0;  // the frame claims more than the tag holds
    if (std::memcmp(frame, "TLEN", 4) == 0) {
      if (text >= kLengthBuffer) return 0;
      char buffer[kLengthBuffer] = {};
      if (text && !source.Read(buffer, text)) return 0;
      const int ms = std::atoi(buffer);
      return ms > 0 ? static_cast<DWORD>(ms) / 1000 : 0;
    }
    if (text && !source.Skip(text)) return 0;
    used += text;
  }
}

bool HasExtension(const char* name, const char* ext) {
  const size_t n = std::strlen(name);
  if (n < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    char c = name[n - 4 + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ext[i]) return false;
  }
  return true;
}

bool HasExtension(const WCHAR* name, const char* ext) {
  size_t n = 0;
  while (name[n]) ++n;
  if (n < 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    WCHAR c = name[n - 4 + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<WCHAR>(c - u'A' + u'a');
    if (c != static_cast<WCHAR>(ext[i])) return false;
  }
  return true;
}

}  // namespace gannet
