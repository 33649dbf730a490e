#include "stream.h"

#include <new>

#include <tesk/win32/fileapi.h>
#include <tesk/win32/winbase.h>

#include "storage.h"

namespace gannet {

CFileStream::CFileStream(Listing* listing) : listing_(listing) {
  LiveObjectAdded(this, "CFileStream");
  listing_->AddRef();
}

CFileStream::~CFileStream() {
  // Released without Close: give back the handle, and a half-written new file goes.
  if (mode_ != Mode::kNone && !closed_) Close(FALSE);
  if (storage_) storage_->Release();
  listing_->Release();
  LiveObjectRemoved(this);
}

CFileStream* CFileStream::ForListedFile(CFileStorage* storage, Listing* listing) {
  auto* stream = new (std::nothrow) CFileStream(listing);
  if (!stream) return nullptr;
  stream->position_ = storage->Locate();
  stream->serial_ = storage->serial();
  stream->listed_name_ = storage->listed_name();
  stream->folder_ = storage->folder();
  return stream;
}

CFileStream* CFileStream::ForNewFile(CFileStorage* storage, Listing* listing) {
  auto* stream = new (std::nothrow) CFileStream(listing);
  if (!stream) return nullptr;
  stream->new_file_ = true;
  stream->name_ = storage->name();
  stream->folder_ = storage->folder();
  stream->texts_ = storage->texts();
  storage->AddRef();
  stream->storage_ = storage;
  return stream;
}

HRESULT CFileStream::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_ISpdStream) {
    *out = static_cast<ISpdStream*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG CFileStream::AddRef() {
  return refs_.fetch_add(1) + 1;
}

ULONG CFileStream::Release() {
  const ULONG left = refs_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

std::string CFileStream::NewFilePath() const {
  return JoinPath(folder_, ToAnsi(name_));
}

HRESULT CFileStream::OpenRead() {
  if (new_file_ || mode_ != Mode::kNone) return E_FAIL;
  // Entries move when others are deleted: read this stream's own file, or nothing.
  const long at = listing_->Find(position_, serial_, listed_name_);
  if (at < 0) return E_FAIL;
  position_ = at;
  listed_name_ = listing_->NameAt(static_cast<size_t>(at));
  const std::string path = JoinPath(listing_->EntryAt(static_cast<size_t>(at)).folder, listed_name_);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return E_FAIL;
  file_ = file;
  size_ = GetFileSize(file, nullptr);
  if (size_ == INVALID_FILE_SIZE) size_ = 0;
  mode_ = Mode::kRead;
  return S_OK;
}

HRESULT CFileStream::OpenWrite(DWORD) {
  if (!new_file_ || mode_ != Mode::kNone) return E_FAIL;
  const std::string path = NewFilePath();
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return E_FAIL;
  file_ = file;
  mode_ = Mode::kWrite;
  if (!HasExtension(name_.c_str(), ".rel") && !TagsSwitchedOff()) {
    const std::vector<BYTE> tag = BuildTag(texts_, &UnicodeTagsSwitchedOn);
    DWORD written = 0;
    WriteFile(file, tag.data(), static_cast<DWORD>(tag.size()), &written, nullptr);  // not reported
  }
  return S_OK;
}

HRESULT CFileStream::GetSize(DWORD* size) {
  if (!size) return E_INVALIDARG;
  *size = mode_ == Mode::kRead ? size_ : 0;
  return S_OK;
}

HRESULT CFileStream::Read(void* buf, DWORD* len) {
  if (!buf || !len) return E_INVALIDARG;
  if (mode_ != Mode::kRead || closed_) return E_FAIL;
  DWORD got = 0;
  if (!ReadFile(file_, buf, *len, &got, nullptr)) return E_FAIL;
  *len = got;
  return got == 0 ? S_FALSE : S_OK;
}

HRESULT CFileStream::Write(const void* buf, DWORD* len) {
  if (!buf || !len) return E_INVALIDARG;
  if (mode_ != Mode::kWrite || closed_) return E_FAIL;
  DWORD written = 0;
  if (!WriteFile(file_, buf, *len, &written, nullptr)) return E_FAIL;
  *len = written;
  FlushFileBuffers(file_);
  return S_OK;
}

HRESULT CFileStream::Close(BOOL commit) {
  if (mode_ == Mode::kNone || closed_) return S_OK;
  closed_ = true;
  CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  if (mode_ == Mode::kWrite) {
    const std::string path = NewFilePath();
    storage_->Commit(commit != FALSE, path);
    if (!commit) DeleteFileA(path.c_str());
    storage_->Release();
    storage_ = nullptr;
  }
  return S_OK;
}

}  // namespace gannet
