// Track tags: the ID3v2.3 tag written in front of a new track, and the playing time read
// back from a listed track's tag.
#pragma once

#include <cstddef>
#include <vector>

#include <tesk/spd.h>

namespace gannet {

// Texts handed over through property 30 before a new track's stream is made. Each slot holds
// at most its capacity - 1 bytes and a terminator.
struct TagTexts {
  char title[256] = {};
  char artist[256] = {};
  char rights[256] = {};
  char genre[64] = {};
  char album[256] = {};
  char length[64] = {};  // milliseconds, decimal
};

// Stores one frame's text. E_NOTIMPL for the frames that are kept (the result the hosts
// ignore), E_INVALIDARG for any other frame or a null record.
HRESULT SetTagFrame(TagTexts& texts, DWORD frame_id, const SpdFrame* frame);

// Total size of the tag in front of a new track.
inline constexpr size_t kTagBytes = 384;

// One text frame; empty when the text gives no frame. unicode: title and artist as UTF-16.
std::vector<BYTE> BuildTagFrame(const char (&id)[5], const char* text, bool unicode);
// The whole tag. unicode() is asked for each text frame, as the switch may change between.
std::vector<BYTE> BuildTag(const TagTexts& texts, bool (*unicode)());

// The registry switches under HKLM\Software\Vorelle\Tesk\Holvenn: a switch is on when its
// key opens with full access.
bool TagsSwitchedOff();
bool UnicodeTagsSwitchedOn();

// Where a tag is read from. Read succeeds only when all n bytes were read.
class TagSource {
 public:
  virtual ~TagSource() = default;
  virtual bool Read(void* buffer, DWORD n) = 0;
  virtual bool Skip(DWORD n) = 0;
};

// The playing time in seconds from the tag's TLEN frame; 0 for a ".rel" name, no tag, a bad
// tag or no TLEN frame. Never reads past the tag, the frame or the source's end.
DWORD ReadPlayLength(TagSource& source);

// True when the name's last four characters are the given extension, whatever their case.
bool HasExtension(const char* name, const char* ext);
bool HasExtension(const WCHAR* name, const char* ext);

}  // namespace gannet
