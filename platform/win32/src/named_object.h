// The memory behind mutexes, events and sections, and the namespace of named ones that every
// process of a prefix shares.
//
// A named object is a file in the prefix's runtime folder (RuntimePath(), on tmpfs): a page
// holding a header (kind, section size, the name) and the object's state (its "core"), then
// a section's data. Every process that holds the object (a handle, or a view of a section)
// keeps one descriptor of the file open with a shared open-file-description lock on it; the
// kernel drops that lock when the process ends, however it ends. So:
//   - whoever lets go last can take the lock exclusively, and removes the file;
//   - a file that nobody holds (its holders died) is no object: Open* removes it and answers
//     ERROR_FILE_NOT_FOUND, Create* replaces it with a fresh one (a new file, never the old
//     one reused: a dead process's robust mutexes may still be listed in a live one);
//   - creating, opening and removing are serialised per namespace by an exclusive lock on the
//     folder's namespace.lock (with a mutex for the threads of this process).
// The first use of a namespace in a process also removes every file nobody holds, so that the
// leftovers of crashed processes do not pile up.
//
// Names: a leading "Global\" or "Local\" is dropped (all processes of a prefix share one
// session); any other character, '\' included, is part of the name. Comparison is exact, as on
// Windows. Unnamed objects use the same cores in memory of this process (a memfd for sections).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <tesk/win32/types.h>

namespace tesk::win32::internal {

enum class ObjectKind : std::uint32_t { kMutex = 1, kEvent = 2, kSection = 3 };

// Room for an object's state, at SharedObject::Core(); zero-filled when the object is new.
inline constexpr std::size_t kCoreSize = 2048;

class SharedObject {
 public:
  SharedObject(const SharedObject&) = delete;
  SharedObject& operator=(const SharedObject&) = delete;
  // Lets go of the object: the name goes when no process holds it any more.
  ~SharedObject();

  ObjectKind kind() const { return kind_; }
  bool named() const { return !path_.empty(); }
  // Mutexes and events: their state, shared with every process that holds the object.
  void* Core() const;

  // Sections: the file that holds the data, where the data starts in it, its size, and
  // whether the section allows writable views.
  int data_fd() const { return fd_; }
  std::uint64_t data_offset() const { return data_offset_; }
  std::uint64_t data_size() const { return data_size_; }
  bool writable() const { return writable_; }

  // The state stays mapped after the object goes: a thread of this process holds a robust
  // mutex in it, and the C library's list of such mutexes points into it.
  void KeepMapped() { keep_mapped_.store(true); }

 private:
  friend struct SharedObjectMaker;
  SharedObject() = default;

  ObjectKind kind_ = ObjectKind::kMutex;
  std::string path_;  // the object's file; empty when unnamed
  std::string dir_;   // its namespace
  int fd_ = -1;       // named: holds the shared lock; sections: the data
  void* page_ = nullptr;
  std::uint64_t data_offset_ = 0;
  std::uint64_t data_size_ = 0;
  bool writable_ = true;
  std::atomic<bool> keep_mapped_{false};
};

using SharedRef = std::shared_ptr<SharedObject>;

// A new object's first use: runs once, in the creating process and thread, before any other
// process can see the object. False (with the last error set) undoes the creation; it must
// then leave nothing taken.
using InitCore = bool (*)(void* core, const void* context);

struct NewObject {
  ObjectKind kind = ObjectKind::kMutex;
  std::uint64_t section_size = 0;  // sections only; not zero
  bool section_writable = true;
  InitCore init = nullptr;
  const void* context = nullptr;
};

// Opens `name` (non-empty) when it exists, with *existed set, else creates it. Null with the
// last error set: ERROR_INVALID_HANDLE when the name is another kind's, ERROR_INVALID_NAME
// or ERROR_FILENAME_EXCED_RANGE for a bad name, ERROR_NOT_ENOUGH_MEMORY ...
SharedRef CreateShared(const NewObject& request, LPCSTR name, bool* existed);
// Null with ERROR_FILE_NOT_FOUND when nobody holds `name`, ERROR_INVALID_HANDLE when it is
// another kind's.
SharedRef OpenShared(ObjectKind kind, LPCSTR name);
// An unnamed object, private to this process.
SharedRef CreatePrivate(const NewObject& request);

}  // namespace tesk::win32::internal
