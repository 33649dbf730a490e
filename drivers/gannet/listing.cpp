#include "listing.h"

#include <tesk/win32/fileapi.h>
#include <tesk/win32/winbase.h>

#include "tag.h"

namespace gannet {
namespace {

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

class FileTagSource : public TagSource {
 public:
  explicit FileTagSource(HANDLE file) : file_(file) {}
  bool Read(void* buffer, DWORD n) override {
    DWORD got = 0;
    return ReadFile(file_, buffer, n, &got, nullptr) && got == n;
  }
  bool Skip(DWORD n) override {
    LARGE_INTEGER by;
    by.QuadPart = n;
    return SetFilePointerEx(file_, by, nullptr, FILE_CURRENT) != FALSE;
  }

 private:
  HANDLE file_;
};

DWORD PlayLengthOf(const std::string& path, const char* name) {
  if (HasExtension(name, ".rel")) return 0;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  FileTagSource source(file);
  const DWORD seconds = ReadPlayLength(source);
  CloseHandle(file);
  return seconds;
}

}  // namespace

std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string path = folder;
  if (path.empty() || path.back() != '\\') path += '\\';
  return path + name;
}

void Listing::Append(std::string name, std::unique_ptr<ListingEntry> entry) {
  items_.push_back(Item{std::move(name), std::move(entry)});
}

std::unique_ptr<ListingEntry> Listing::MakeEntry(const _finddata_t& found, const std::string& folder) {
  auto entry = std::make_unique<ListingEntry>();
  entry->attributes = found.attrib == FILE_ATTRIBUTE_NORMAL ? 0 : found.attrib;
  entry->time_create = static_cast<DWORD>(found.time_create);
  entry->time_access = static_cast<DWORD>(found.time_access);
  entry->time_write = static_cast<DWORD>(found.time_write);
  entry->size = found.size;
  entry->folder = folder;
  entry->serial = next_serial_++;
  char name[261] = {};
  for (size_t i = 0; i < 260 && found.name[i]; ++i) name[i] = found.name[i];
  entry->play_length = PlayLengthOf(JoinPath(folder, name), name);
  return entry;
}

void Listing::Read(const std::string& folder) {
  const std::string pattern = JoinPath(folder, "*.*");
  _finddata_t found = {};
  const std::intptr_t search = _findfirst(pattern.c_str(), &found);
  if (search == -1) return;
  do {
    if (found.attrib & _A_SUBDIR) continue;
    found.name[259] = '\0';
    if (!HasExtension(found.name, ".rel") && !HasExtension(found.name, ".lse")) continue;
    Append(found.name, MakeEntry(found, folder));
  } while (_findnext(search, &found) == 0);
  _findclose(search);
}

long Listing::Find(long hint, std::uint64_t serial, const std::string& name) const {
  const long count = static_cast<long>(items_.size());
  if (hint >= 0 && hint < count && items_[hint].entry->serial == serial) return hint;
  for (long i = 0; i < count; ++i)
    if (items_[i].entry->serial == serial) return i;
  for (long i = 0; i < count; ++i)
    if (items_[i].name == name) return i;
  return -1;
}

long Listing::FindOtherName(const std::string& name, long except) const {
  for (long i = 0; i < static_cast<long>(items_.size()); ++i)
    if (i != except && SameTextIgnoringCase(items_[i].name, name)) return i;
  return -1;
}

HRESULT DeleteListedFile(Listing& listing, size_t position, const std::string& folder) {
  const std::string path = JoinPath(folder, listing.NameAt(position));
  _chmod(path.c_str(), _S_IREAD | _S_IWRITE);
  if (!DeleteFileA(path.c_str())) return E_FAIL;
  listing.RemoveAt(position);
  return S_OK;
}

}  // namespace gannet
