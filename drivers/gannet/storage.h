// The player's drive as a two-level tree: the medium root and one file storage per track.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "gannet.h"
#include "listing.h"
#include "tag.h"

namespace gannet {

class CFileSystemStorage final : public ISpdStorage, public ISpdStoragePath {
 public:
  CFileSystemStorage(const char* drive_root, DWORD index);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // ISpdStorage
  HRESULT STDMETHODCALLTYPE GetStorageType(DWORD* type) override;
  HRESULT STDMETHODCALLTYPE GetName(LPWSTR buf, UINT size) override;
  HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT sub, UINT kind, void* out, UINT size) override;
  HRESULT STDMETHODCALLTYPE SetProperty(UINT, UINT, UINT, const void*, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetChangeEvent(HANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE PollForChange() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE OpenOpaque(REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChildCount(DWORD* count) override;
  HRESULT STDMETHODCALLTYPE GetChild(DWORD index, ISpdStorage** out) override;
  HRESULT STDMETHODCALLTYPE CreateChild(LPCWSTR name, DWORD type, DWORD position, ISpdStorage** out) override;
  HRESULT STDMETHODCALLTYPE InitializeBegin(DWORD* steps) override;
  HRESULT STDMETHODCALLTYPE InitializeStep() override;
  HRESULT STDMETHODCALLTYPE MoveBegin(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveStep(ISpdStorage*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveExBegin(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveExStep(ISpdStorage*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteBegin(DWORD* steps) override { return InitializeBegin(steps); }
  HRESULT STDMETHODCALLTYPE DeleteStep() override { return InitializeStep(); }
  HRESULT STDMETHODCALLTYPE RenameBegin(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RenameStep(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenStream(ISpdStream**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsSameStorage(IUnknown* other) override;
  // ISpdStoragePath
  HRESULT STDMETHODCALLTYPE GetPath(SpdStoragePath* path) override;

  const std::string& drive_root() const { return drive_root_; }
  DWORD index() const { return index_; }
  // The listing, read from the folder when it does not exist yet.
  Listing& listing();

 private:
  ~CFileSystemStorage();
  std::atomic<ULONG> refs_{1};
  std::string drive_root_;
  DWORD index_;
  Listing* listing_ = nullptr;
};

class CFileStorage final : public ISpdStorage, public ISpdStoragePath {
 public:
  // An existing file: entry position of the root's listing.
  CFileStorage(CFileSystemStorage* root, Listing* listing, long position);
  // A new file, in creating state, in folder.
  CFileStorage(CFileSystemStorage* root, Listing* listing, LPCWSTR name, const std::string& folder);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // ISpdStorage
  HRESULT STDMETHODCALLTYPE GetStorageType(DWORD* type) override;
  HRESULT STDMETHODCALLTYPE GetName(LPWSTR buf, UINT size) override;
  HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT sub, UINT kind, void* out, UINT size) override;
  HRESULT STDMETHODCALLTYPE SetProperty(UINT id, UINT sub, UINT kind, const void* in, UINT size) override;
  HRESULT STDMETHODCALLTYPE SetChangeEvent(HANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE PollForChange() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenOpaque(REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChildCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChild(DWORD, ISpdStorage**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateChild(LPCWSTR name, DWORD type, DWORD position, ISpdStorage** out) override;
  HRESULT STDMETHODCALLTYPE InitializeBegin(DWORD* steps) override;
  HRESULT STDMETHODCALLTYPE InitializeStep() override;
  HRESULT STDMETHODCALLTYPE MoveBegin(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveStep(ISpdStorage*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveExBegin(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MoveExStep(ISpdStorage*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteBegin(DWORD* steps) override;
  HRESULT STDMETHODCALLTYPE DeleteStep() override;
  HRESULT STDMETHODCALLTYPE RenameBegin(DWORD* steps) override;
  HRESULT STDMETHODCALLTYPE RenameStep(LPCWSTR new_name) override;
  HRESULT STDMETHODCALLTYPE OpenStream(ISpdStream** out) override;
  HRESULT STDMETHODCALLTYPE IsSameStorage(IUnknown* other) override;
  // ISpdStoragePath
  HRESULT STDMETHODCALLTYPE GetPath(SpdStoragePath* path) override;

  // Called by the stream of a new file when it is closed: with commit, the file joins the
  // listing and the storage leaves creating state.
  void Commit(bool commit, const std::string& path);

  // This file's position in the listing now, found again when entries moved; -1 when the
  // file is no longer listed (or not yet, for a new file).
  long Locate();
  const std::string& folder() const { return folder_; }
  std::uint64_t serial() const { return serial_; }
  const std::string& listed_name() const { return listed_name_; }
  const std::u16string& name() const { return name_; }
  const TagTexts& texts() const { return texts_; }
  bool creating() const { return creating_; }

 private:
  ~CFileStorage();
  void Remember(long position);
  std::atomic<ULONG> refs_{1};
  CFileSystemStorage* root_;
  Listing* listing_;
  long position_ = -1;
  std::uint64_t serial_ = 0;
  std::string listed_name_;  // the file's name in the listing when last seen
  std::u16string name_;      // at most 259 characters
  bool creating_ = false;
  std::string folder_;
  DWORD attributes_ = 0;
  BYTE format_[18] = {};
  TagTexts texts_;
};

// UTF-16 <-> ANSI code page.
std::string ToAnsi(const std::u16string& text);
std::u16string FromAnsi(const std::string& text);

}  // namespace gannet
