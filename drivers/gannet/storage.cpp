#include "storage.h"

#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include <tesk/win32/fileapi.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winnls.h>

#include "stream.h"

namespace gannet {
namespace {

constexpr DWORD kRootAttributes = SPD_ATTR_FILESYSTEM | SPD_ATTR_NONREMOVABLE | SPD_ATTR_MEDIUM_ROOT;
constexpr DWORD kLseAttributes = 0xB51;  // play, move, file, music, rename, bit 0x1
constexpr DWORD kRelAttributes = 0x355;  // play, file, music, rename, bits 0x4 and 0x1
constexpr size_t kMaxName = 259;

HRESULT CopyName(const std::u16string& name, LPWSTR buf, UINT size) {
  const size_t n = name.size() < size - 1 ? name.size() : size - 1;
  std::memcpy(buf, name.data(), n * sizeof(WCHAR));
  buf[n] = 0;
  return S_OK;
}

void PutDword(void* out, DWORD value) {
  std::memcpy(out, &value, sizeof value);
}
void PutBool(void* out, bool value) {
  *static_cast<BYTE*>(out) = value ? 1 : 0;
}

// The standard asctime layout of the local time, without its newline.
HRESULT PutDateText(DWORD seconds, void* out, UINT size) {
  if (size == 0) return E_INVALIDARG;
  static std::mutex local_time_lock;  // std::localtime shares one result buffer
  char text[32] = {};
  {
    std::lock_guard<std::mutex> hold(local_time_lock);
    const std::time_t t = static_cast<std::time_t>(seconds);
    const std::tm* local = std::localtime(&t);
    if (!local) return E_FAIL;
    std::strftime(text, sizeof text, "%a %b %d %H:%M:%S %Y", local);
  }
  // asctime pads the day with a space, not a zero.
  if (text[8] == '0') text[8] = ' ';
  std::u16string wide(text, text + std::strlen(text));
  return CopyName(wide, static_cast<LPWSTR>(out), size);
}

HRESULT PutDate(DWORD seconds, UINT kind, void* out, UINT size) {
  if (kind == SpdKindTime) {
    PutDword(out, seconds);
    return S_OK;
  }
  if (kind == SpdKindString) return PutDateText(seconds, out, size);
  return SPD_E_WRONGKIND;
}

struct DiskSpace {
  ULARGE_INTEGER free_for_caller{};
  ULARGE_INTEGER total{};
};
DiskSpace SpaceOf(const std::string& folder) {
  DiskSpace space;
  ULARGE_INTEGER free_total{};
  if (!GetDiskFreeSpaceExA(folder.c_str(), &space.free_for_caller, &space.total, &free_total)) space = {};
  return space;
}

bool SpaceProperty(UINT id, const DiskSpace& space, DWORD size_low, DWORD size_high, void* out) {
  switch (id) {
    case SPD_PROP_SIZE_LOW:
      PutDword(out, size_low);
      return true;
    case SPD_PROP_SIZE_HIGH:
      PutDword(out, size_high);
      return true;
    case SPD_PROP_FREE_LOW:
      PutDword(out, space.free_for_caller.u.LowPart);
      return true;
    case SPD_PROP_FREE_HIGH:
      PutDword(out, space.free_for_caller.u.HighPart);
      return true;
    default:
      return false;
  }
}

HRESULT SameStoragePath(ISpdStoragePath* self, IUnknown* other) {
  if (!other) return SPD_E_NOTSAME;
  ISpdStoragePath* theirs = nullptr;
  if (FAILED(other->QueryInterface(IID_ISpdStoragePath, reinterpret_cast<void**>(&theirs))) || !theirs)
    return SPD_E_NOTSAME;
  SpdStoragePath mine = {}, other_path = {};
  self->GetPath(&mine);
  const HRESULT got = theirs->GetPath(&other_path);
  theirs->Release();
  if (FAILED(got)) return SPD_E_NOTSAME;
  DWORD common = mine.depth < other_path.depth ? mine.depth : other_path.depth;
  if (common > kSpdStoragePathMaxDepth) common = kSpdStoragePathMaxDepth;
  for (DWORD level = 0; level < common; ++level)
    if (mine.index[level] != other_path.index[level]) return SPD_E_NOTSAME;
  return mine.depth == other_path.depth ? S_OK : SPD_E_DEPTHDIFFERS;
}

}  // namespace

std::string ToAnsi(const std::u16string& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::u16string FromAnsi(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// ---- Medium root ----------------------------------------------------------------------

CFileSystemStorage::CFileSystemStorage(const char* drive_root, DWORD index)
    : drive_root_(drive_root ? drive_root : ""), index_(index) {
  LiveObjectAdded(static_cast<ISpdStorage*>(this), "CFileSystemStorage");
}

CFileSystemStorage::~CFileSystemStorage() {
  if (listing_) listing_->Release();
  LiveObjectRemoved(static_cast<ISpdStorage*>(this));
}

HRESULT CFileSystemStorage::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_ISpdStorage) {
    *out = static_cast<ISpdStorage*>(this);
  } else if (iid == IID_ISpdStoragePath) {
    *out = static_cast<ISpdStoragePath*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CFileSystemStorage::AddRef() {
  return refs_.fetch_add(1) + 1;
}

ULONG CFileSystemStorage::Release() {
  const ULONG left = refs_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

Listing& CFileSystemStorage::listing() {
  if (!listing_) {
    listing_ = Listing::Create();
    listing_->Read(drive_root_);
  }
  return *listing_;
}

HRESULT CFileSystemStorage::GetStorageType(DWORD* type) {
  if (!type) return E_INVALIDARG;
  *type = SPD_STORAGE_MEDIUM;
  return S_OK;
}

HRESULT CFileSystemStorage::GetName(LPWSTR buf, UINT size) {
  if (!buf || size == 0) return E_INVALIDARG;
  return CopyName(FromAnsi(drive_root_), buf, size);
}

HRESULT CFileSystemStorage::GetProperty(UINT id, UINT, UINT kind, void* out, UINT size) {
  if (!out) return E_INVALIDARG;
  const auto expect = [&](UINT wanted) { return kind == wanted; };
  switch (id) {
    case SPD_PROP_NAME:
      if (!expect(SpdKindString)) return SPD_E_WRONGKIND;
      return GetName(static_cast<LPWSTR>(out), size);
    case SPD_PROP_VENDOR_ID:
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      PutDword(out, kVendorId);
      return S_OK;
    case SPD_PROP_SERIAL: {
      if (!expect(SpdKindBlob)) return SPD_E_WRONGKIND;
      BYTE serial[16] = {};
      ReadSerialNumber(serial);
      auto* blob = static_cast<SpdBlob*>(out);
      blob->pData = static_cast<BYTE*>(CoTaskMemAlloc(sizeof serial));
      if (!blob->pData) {
        blob->cbData = 0;
        return E_OUTOFMEMORY;
      }
      std::memcpy(blob->pData, serial, sizeof serial);
      blob->cbData = sizeof serial;
      return S_OK;
    }
    case SPD_PROP_ATTRIBUTES:
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      PutDword(out, kRootAttributes);
      return S_OK;
    case SPD_PROP_FORMAT:
      if (!expect(SpdKindRecord)) return SPD_E_WRONGKIND;
      if (size != sizeof(WAVEFORMATEX)) return E_INVALIDARG;
      std::memset(out, 0, sizeof(WAVEFORMATEX));
      return S_OK;
    case SPD_PROP_CAPABILITIES:
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      PutDword(out, 2);
      return S_OK;
    case SPD_PROP_SIZE_LOW:
    case SPD_PROP_SIZE_HIGH:
    case SPD_PROP_FREE_LOW:
    case SPD_PROP_FREE_HIGH: {
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      const DiskSpace space = SpaceOf(drive_root_);
      SpaceProperty(id, space, space.total.u.LowPart, space.total.u.HighPart, out);
      return S_OK;
    }
    case SPD_PROP_BAD_LOW:
    case SPD_PROP_BAD_HIGH:
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      PutDword(out, 0);
      return S_OK;
    case SPD_PROP_DATE: {
      if (kind != SpdKindTime && kind != SpdKindString) return SPD_E_WRONGKIND;
      _finddata_t found = {};
      const std::intptr_t search = _findfirst(drive_root_.c_str(), &found);
      if (search == -1) return E_FAIL;
      _findclose(search);
      return PutDate(static_cast<DWORD>(found.time_write), kind, out, size);
    }
    case SPD_PROP_PRESENT:
      if (!expect(SpdKindBool)) return SPD_E_WRONGKIND;
      PutBool(out, true);
      return S_OK;
    case SPD_PROP_SIGNALS_CHANGE:
      if (!expect(SpdKindBool)) return SPD_E_WRONGKIND;
      PutBool(out, false);
      return S_OK;
    case SPD_PROP_STATUS:
      PutDword(out, SPD_STATUS_READY);
      return S_OK;
    default:
      return E_NOTIMPL;
  }
}

HRESULT CFileSystemStorage::GetChildCount(DWORD* count) {
  if (!count) return E_INVALIDARG;
  if (!listing_) listing_ = Listing::Create();
  listing_->Clear();
  listing_->Read(drive_root_);
  *count = static_cast<DWORD>(listing_->Count());
  return S_OK;
}

HRESULT CFileSystemStorage::GetChild(DWORD index, ISpdStorage** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  Listing& list = listing();
  if (index >= list.Count()) return E_INVALIDARG;
  auto* child = new (std::nothrow) CFileStorage(this, &list, static_cast<long>(index));
  if (!child) return E_OUTOFMEMORY;
  *out = child;
  return S_OK;
}

HRESULT CFileSystemStorage::CreateChild(LPCWSTR name, DWORD type, DWORD, ISpdStorage** out) {
  if (!name || !out) return E_INVALIDARG;
  if (type != SPD_CREATE_FILE) return E_NOTIMPL;
  *out = nullptr;
  auto* child = new (std::nothrow) CFileStorage(this, &listing(), name, drive_root_);
  if (!child) return E_OUTOFMEMORY;
  *out = child;
  return S_OK;
}

HRESULT CFileSystemStorage::InitializeBegin(DWORD* steps) {
  if (!steps) return E_INVALIDARG;
  *steps = static_cast<DWORD>(listing().Count());
  return S_OK;
}

HRESULT CFileSystemStorage::InitializeStep() {
  Listing& list = listing();
  if (list.Count() == 0) return S_OK;
  const HRESULT hr = DeleteListedFile(list, 0, list.EntryAt(0).folder);
  return FAILED(hr) ? hr : S_FALSE;
}

HRESULT CFileSystemStorage::IsSameStorage(IUnknown* other) {
  return SameStoragePath(static_cast<ISpdStoragePath*>(this), other);
}

HRESULT CFileSystemStorage::GetPath(SpdStoragePath* path) {
  if (!path) return E_INVALIDARG;
  *path = {};
  path->depth = 1;
  path->index[0] = index_;
  return S_OK;
}

HRESULT CreateFileSystemStorage(const char* drive_root, DWORD index, ISpdStorage** out) {
  if (!out) return E_INVALIDARG;
  *out = new (std::nothrow) CFileSystemStorage(drive_root, index);
  return *out ? S_OK : E_OUTOFMEMORY;
}

// ---- File ------------------------------------------------------------------------------

CFileStorage::CFileStorage(CFileSystemStorage* root, Listing* listing, long position)
    : root_(root), listing_(listing) {
  LiveObjectAdded(static_cast<ISpdStorage*>(this), "CFileStorage");
  root_->AddRef();
  listing_->AddRef();
  Remember(position);
  name_ = FromAnsi(listed_name_).substr(0, kMaxName);
  folder_ = listing_->EntryAt(static_cast<size_t>(position)).folder;
}

CFileStorage::CFileStorage(CFileSystemStorage* root, Listing* listing, LPCWSTR name,
                           const std::string& folder)
    : root_(root), listing_(listing), creating_(true), folder_(folder) {
  LiveObjectAdded(static_cast<ISpdStorage*>(this), "CFileStorage");
  root_->AddRef();
  listing_->AddRef();
  for (size_t i = 0; name[i] && i < kMaxName; ++i) name_.push_back(name[i]);
}

CFileStorage::~CFileStorage() {
  listing_->Release();
  root_->Release();
  LiveObjectRemoved(static_cast<ISpdStorage*>(this));
}

void CFileStorage::Remember(long position) {
  position_ = position;
  serial_ = listing_->EntryAt(static_cast<size_t>(position)).serial;
  listed_name_ = listing_->NameAt(static_cast<size_t>(position));
}

long CFileStorage::Locate() {
  if (position_ < 0) return -1;
  const long found = listing_->Find(position_, serial_, listed_name_);
  if (found >= 0) Remember(found);
  return found;
}

HRESULT CFileStorage::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_ISpdStorage) {
    *out = static_cast<ISpdStorage*>(this);
  } else if (iid == IID_ISpdStoragePath) {
    *out = static_cast<ISpdStoragePath*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CFileStorage::AddRef() {
  return refs_.fetch_add(1) + 1;
}

ULONG CFileStorage::Release() {
  const ULONG left = refs_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT CFileStorage::GetStorageType(DWORD* type) {
  if (!type) return E_INVALIDARG;
  *type = SPD_STORAGE_FILE;
  return S_OK;
}

HRESULT CFileStorage::GetName(LPWSTR buf, UINT size) {
  if (!buf || size == 0) return E_INVALIDARG;
  return CopyName(name_, buf, size);
}

HRESULT CFileStorage::GetProperty(UINT id, UINT, UINT kind, void* out, UINT size) {
  if (!out) return E_INVALIDARG;
  if (creating_) return E_FAIL;
  const long position = Locate();
  ListingEntry* entry = position >= 0 ? &listing_->EntryAt(static_cast<size_t>(position)) : nullptr;
  const bool lse = entry && HasExtension(listed_name_.c_str(), ".lse");
  const auto expect = [&](UINT wanted) { return kind == wanted; };
  switch (id) {
    case SPD_PROP_NAME:
      if (!expect(SpdKindString)) return SPD_E_WRONGKIND;
      return GetName(static_cast<LPWSTR>(out), size);
    case SPD_PROP_ATTRIBUTES:
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      PutDword(out, lse ? kLseAttributes : kRelAttributes);
      return S_OK;
    case SPD_PROP_FORMAT: {
      if (!expect(SpdKindRecord)) return SPD_E_WRONGKIND;
      if (size != sizeof(WAVEFORMATEX)) return E_INVALIDARG;
      WAVEFORMATEX format = {};
      if (entry && !lse) {
        format.wFormatTag = SPD_FORMAT_TAG_7FF3;
        format.nChannels = 2;
        format.nSamplesPerSec = 32000;
        format.wBitsPerSample = 2;
      }
      std::memcpy(out, &format, sizeof format);
      return S_OK;
    }
    case SPD_PROP_CAPABILITIES:
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      PutDword(out, 0x22);
      return S_OK;
    case SPD_PROP_SIZE_LOW:
    case SPD_PROP_SIZE_HIGH:
    case SPD_PROP_FREE_LOW:
    case SPD_PROP_FREE_HIGH: {
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      const DiskSpace space = entry ? SpaceOf(entry->folder) : DiskSpace{};
      SpaceProperty(id, space, entry ? entry->size : 0, 0, out);
      return S_OK;
    }
    case SPD_PROP_BAD_LOW:
    case SPD_PROP_BAD_HIGH:
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      PutDword(out, 0);
      return S_OK;
    case SPD_PROP_DATE:
      return PutDate(entry ? entry->time_write : 0, kind, out, size);
    case SPD_PROP_SIGNALS_CHANGE:
      if (!expect(SpdKindBool)) return SPD_E_WRONGKIND;
      PutBool(out, false);
      return S_OK;
    case SPD_PROP_STATUS:
      PutDword(out, SPD_STATUS_READY);
      return S_OK;
    case SPD_PROP_PLAY_LENGTH:
      if (!expect(SpdKindDword)) return SPD_E_WRONGKIND;
      PutDword(out, entry ? entry->play_length : 0);
      return S_OK;
    default:
      return E_NOTIMPL;
  }
}

HRESULT CFileStorage::SetProperty(UINT id, UINT sub, UINT kind, const void* in, UINT size) {
  if (!in) return E_INVALIDARG;
  if (!creating_) return E_FAIL;
  switch (id) {
    case SPD_PROP_ATTRIBUTES:
      if (kind != SpdKindDword) return SPD_E_WRONGKIND;
      std::memcpy(&attributes_, in, sizeof attributes_);
      return S_OK;
    case SPD_PROP_FORMAT: {
      if (kind != SpdKindRecord) return SPD_E_WRONGKIND;
      if (size != sizeof format_) return E_INVALIDARG;
      std::memcpy(format_, in, sizeof format_);
      const WORD tag = static_cast<WORD>(format_[0] | (format_[1] << 8));
      // Files in the 0x7FF3 format are the player's ".rel" kind; they carry no tag.
      if (tag == SPD_FORMAT_TAG_7FF3 && !HasExtension(name_.c_str(), ".rel") && name_.size() + 4 <= kMaxName)
        name_ += u".rel";
      return S_OK;
    }
    case SPD_PROP_FRAME:
      return SetTagFrame(texts_, sub, static_cast<const SpdFrame*>(in));
    default:
      return E_NOTIMPL;
  }
}

HRESULT CFileStorage::CreateChild(LPCWSTR name, DWORD type, DWORD position, ISpdStorage** out) {
  if (!name || !out) return E_INVALIDARG;
  if (creating_) return E_FAIL;
  if (type != SPD_CREATE_FILE) return E_NOTIMPL;
  if (position == SPD_POSITION_INTO || position == 3) return E_NOTIMPL;
  *out = nullptr;
  const long at = Locate();
  const std::string folder = at >= 0 ? listing_->EntryAt(static_cast<size_t>(at)).folder : folder_;
  auto* child = new (std::nothrow) CFileStorage(root_, listing_, name, folder);
  if (!child) return E_OUTOFMEMORY;
  *out = child;
  return S_OK;
}

HRESULT CFileStorage::InitializeBegin(DWORD* steps) {
  if (!steps) return E_INVALIDARG;
  if (creating_) return E_FAIL;
  *steps = static_cast<DWORD>(listing_->Count());
  return S_OK;
}

HRESULT CFileStorage::InitializeStep() {
  if (creating_) return E_FAIL;
  if (listing_->Count() == 0) return S_OK;
  const long at = Locate();
  const std::string folder = at >= 0 ? listing_->EntryAt(static_cast<size_t>(at)).folder : folder_;
  const HRESULT hr = DeleteListedFile(*listing_, 0, folder);
  return FAILED(hr) ? hr : S_FALSE;
}

HRESULT CFileStorage::DeleteBegin(DWORD* steps) {
  if (!steps) return E_INVALIDARG;
  if (creating_) return E_FAIL;
  *steps = 1;
  return S_OK;
}

HRESULT CFileStorage::DeleteStep() {
  if (creating_) return E_FAIL;
  const long at = Locate();
  if (at < 0) return E_FAIL;
  const HRESULT hr =
      DeleteListedFile(*listing_, static_cast<size_t>(at), listing_->EntryAt(static_cast<size_t>(at)).folder);
  if (SUCCEEDED(hr)) position_ = -1;
  return FAILED(hr) ? hr : S_OK;
}

HRESULT CFileStorage::RenameBegin(DWORD* steps) {
  if (!steps) return E_INVALIDARG;
  if (creating_) return E_FAIL;
  *steps = 1;
  return S_OK;
}

HRESULT CFileStorage::RenameStep(LPCWSTR new_name) {
  if (!new_name) return E_INVALIDARG;
  if (creating_) return E_FAIL;
  std::u16string wide;
  for (size_t i = 0; new_name[i]; ++i) wide.push_back(new_name[i]);
  const std::string target = ToAnsi(wide);
  if (target.empty() || target.size() > kMaxName) return E_FAIL;
  const long at = Locate();
  if (at < 0) return E_FAIL;
  // The player's file system ignores case: another listed file under the name is taken.
  if (listing_->FindOtherName(target, at) >= 0) return E_FAIL;
  const std::string& folder = listing_->EntryAt(static_cast<size_t>(at)).folder;
  const std::string from = JoinPath(folder, listing_->NameAt(static_cast<size_t>(at)));
  const std::string to = JoinPath(folder, target);
  if (!MoveFileA(from.c_str(), to.c_str())) return E_FAIL;
  listing_->SetName(static_cast<size_t>(at), target);
  listed_name_ = target;
  return S_OK;
}

HRESULT CFileStorage::OpenStream(ISpdStream** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  auto* stream =
      creating_ ? CFileStream::ForNewFile(this, listing_) : CFileStream::ForListedFile(this, listing_);
  if (!stream) return E_OUTOFMEMORY;
  *out = stream;
  return S_OK;
}

HRESULT CFileStorage::IsSameStorage(IUnknown* other) {
  return SameStoragePath(static_cast<ISpdStoragePath*>(this), other);
}

HRESULT CFileStorage::GetPath(SpdStoragePath* path) {
  if (!path) return E_INVALIDARG;
  *path = {};
  path->depth = 2;
  path->index[0] = root_->index();
  const long at = Locate();
  path->index[1] = static_cast<DWORD>(at >= 0 ? at : position_);
  return S_OK;
}

void CFileStorage::Commit(bool commit, const std::string& path) {
  if (!commit) return;
  _finddata_t found = {};
  const std::intptr_t search = _findfirst(path.c_str(), &found);
  if (search != -1) {
    _findclose(search);
    if (!(found.attrib & _A_SUBDIR)) {
      found.name[259] = '\0';
      listing_->Append(found.name, listing_->MakeEntry(found, folder_));
      Remember(static_cast<long>(listing_->Count()) - 1);
    }
  }
  creating_ = false;
}

}  // namespace gannet
