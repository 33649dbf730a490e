// The byte stream of one track file: reading a listed file, or writing a new one with its tag.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "gannet.h"
#include "listing.h"
#include "tag.h"

namespace gannet {

class CFileStorage;

class CFileStream final : public ISpdStream {
 public:
  // Each takes a reference on the listing (and, for a new file, on the storage); null when
  // the stream cannot be made.
  static CFileStream* ForListedFile(CFileStorage* storage, Listing* listing);
  static CFileStream* ForNewFile(CFileStorage* storage, Listing* listing);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // ISpdStream
  HRESULT STDMETHODCALLTYPE OpenRead() override;
  HRESULT STDMETHODCALLTYPE OpenWrite(DWORD hint) override;
  HRESULT STDMETHODCALLTYPE GetSize(DWORD* size) override;
  HRESULT STDMETHODCALLTYPE Read(void* buf, DWORD* len) override;
  HRESULT STDMETHODCALLTYPE Write(const void* buf, DWORD* len) override;
  HRESULT STDMETHODCALLTYPE Close(BOOL commit) override;

 private:
  enum class Mode { kNone, kRead, kWrite };
  explicit CFileStream(Listing* listing);
  ~CFileStream();
  std::string NewFilePath() const;

  std::atomic<ULONG> refs_{1};
  Listing* listing_;
  bool new_file_ = false;
  // A listed file: where it was, its serial and name, to find it again.
  long position_ = -1;
  std::uint64_t serial_ = 0;
  std::string listed_name_;
  std::string folder_;
  // A new file.
  std::u16string name_;
  CFileStorage* storage_ = nullptr;
  TagTexts texts_;
  Mode mode_ = Mode::kNone;
  bool closed_ = false;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  DWORD size_ = 0;
};

}  // namespace gannet
