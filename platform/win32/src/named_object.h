// The memory behind mutexes, events and sections, and the namespace of named ones that every
// process of a prefix shares.
//
// The named objects of a prefix live in one table in its runtime folder (RuntimePath(), on
// tmpfs), mapped by every process that uses them: each object has a slot there with its
// kind, its name, its state (its "core": a robust mutex, an event's words) and the set of
// processes that hold it. A section's data is a file of its own next to the table. An object
// lives while a process of the prefix holds it (a handle, or a view of a section) and goes
// when the last one lets go or dies; named_object.cpp tells how.
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
inline constexpr std::size_t kCoreSize = 128;

struct Namespace;
struct HeldObject;

class SharedObject {
 public:
  SharedObject(const SharedObject&) = delete;
  SharedObject& operator=(const SharedObject&) = delete;
  // Lets go of the object: the name goes when no process holds it any more.
  ~SharedObject();

  ObjectKind kind() const { return kind_; }
  // Mutexes and events: their state, shared with every process that holds the object.
  void* Core() const { return core_; }

  // Sections: the file that holds the data (from its start), its size, and whether the
  // section allows writable views.
  int data_fd() const;
  std::uint64_t data_size() const { return data_size_; }
  bool writable() const { return writable_; }

  // An unnamed object's state stays mapped after the object goes: a thread of this process
  // holds a robust mutex in it, and the C library's list of such mutexes points into it.
  // (A named one's slot is kept from reuse while any live thread holds its mutex.)
  void KeepMapped() { keep_mapped_.store(true); }

 private:
  friend struct SharedObjectMaker;
  SharedObject() = default;

  ObjectKind kind_ = ObjectKind::kMutex;
  Namespace* namespace_ = nullptr;  // named: the table it is in, and this process's hold on it
  HeldObject* held_ = nullptr;
  void* core_ = nullptr;
  void* page_ = nullptr;  // unnamed mutexes and events: the memory of their state
  int fd_ = -1;           // unnamed sections: the data
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
// or ERROR_FILENAME_EXCED_RANGE for a bad name, ERROR_NOT_ENOUGH_MEMORY when the prefix's
// table of objects is full, ERROR_TOO_MANY_OPEN_FILES when too many processes use it,
// ERROR_INVALID_DATA when the table is damaged ...
SharedRef CreateShared(const NewObject& request, LPCSTR name, bool* existed);
// Null with ERROR_FILE_NOT_FOUND when nobody holds `name`, ERROR_INVALID_HANDLE when it is
// another kind's.
SharedRef OpenShared(ObjectKind kind, LPCSTR name);
// An unnamed object, private to this process.
SharedRef CreatePrivate(const NewObject& request);

// From mutex.cpp, for the memory of a mutex's core: whether a live thread holds it (checked
// without waiting; it may be taken and let go to find out), and whether a live thread of
// this process does (nothing taken). Such memory must not be reused for another object.
bool MutexInUse(void* core);
bool MutexHeldHere(const void* core);

}  // namespace tesk::win32::internal
