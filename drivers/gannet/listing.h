// A medium root's listing: the track files of its top folder, shared by the root and by every
// file storage and stream made from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <tesk/win32/crtio.h>
#include <tesk/win32/types.h>

namespace gannet {

struct ListingEntry {
  // From the file's find record; attributes are 0 for a file with only the normal attribute.
  DWORD attributes = 0;
  DWORD time_create = 0;
  DWORD time_access = 0;
  DWORD time_write = 0;
  DWORD size = 0;         // low 32 bits
  std::string folder;     // the folder the file was found in (the drive root text)
  DWORD play_length = 0;  // seconds, from the tag
  // Tells this entry apart from every other entry the listing ever held, so that objects
  // find their own file again after entries moved.
  std::uint64_t serial = 0;
};

class Listing {
 public:
  static Listing* Create() { return new Listing(); }
  void AddRef() { refs_.fetch_add(1); }
  void Release() {
    if (refs_.fetch_sub(1) == 1) delete this;
  }

  size_t Count() const { return items_.size(); }
  const std::string& NameAt(size_t i) const { return items_[i].name; }
  ListingEntry& EntryAt(size_t i) { return *items_[i].entry; }
  void Append(std::string name, std::unique_ptr<ListingEntry> entry);
  void RemoveAt(size_t i) { items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i)); }
  void SetName(size_t i, std::string name) { items_[i].name = std::move(name); }
  void Clear() { items_.clear(); }

  // Reads the track files (".rel" and ".lse") of a folder afresh, after the current entries.
  void Read(const std::string& folder);

  // Position of the entry with this serial, or else of the one named name (the entry of the
  // same file made by a later read); -1 when neither is there. hint is tried first.
  long Find(long hint, std::uint64_t serial, const std::string& name) const;
  // Position of another entry whose name equals name without regard to case; -1 if none.
  long FindOtherName(const std::string& name, long except) const;

  // An entry for a found file; its play length is read from the file's tag.
  std::unique_ptr<ListingEntry> MakeEntry(const _finddata_t& found, const std::string& folder);

 private:
  Listing() = default;
  struct Item {
    std::string name;
    std::unique_ptr<ListingEntry> entry;
  };
  std::atomic<long> refs_{1};
  std::vector<Item> items_;
  std::uint64_t next_serial_ = 1;
};

// folder, a backslash unless it already ends in one, name.
std::string JoinPath(const std::string& folder, const std::string& name);

// Deletes the file of a listing entry, clearing its read-only attribute first, and removes
// the entry. E_FAIL with the listing unchanged when the file cannot be deleted.
HRESULT DeleteListedFile(Listing& listing, size_t position, const std::string& folder);

}  // namespace gannet
