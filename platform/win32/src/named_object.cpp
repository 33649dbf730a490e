// The named-object namespace of a prefix: one table, mapped by every process that uses it.
//
// The table ("named.table" in the runtime folder) holds:
//   - a header with the namespace lock, a robust process-shared mutex: the table changes only
//     with it held. A holder that dies leaves it to the next taker (EOWNERDEAD), which sweeps
//     (below) and carries on. Every change is a few single-word stores in an order that a
//     death between any two leaves harmless: a slot is filled before it is published, and
//     unpublished before its section's file goes.
//   - a directory (state and name hash of each slot) and the slots: open addressing with
//     linear probing on the hash. A slot is empty, deleted (lookups go past it, a creation
//     may reuse it), live, or pinned: out of the namespace, but its robust mutex is held by a
//     live thread whose C library lists it by address, so its memory is not reused until that
//     thread lets go or dies. Deleted slots that end a run become empty again, so that
//     lookups stay short.
//   - in each slot: kind, name, the object's core, a section's size and protection, and a
//     bitmap of the process slots that hold the object.
// Process slots: a process that first uses the table takes, with the namespace lock held, the
// first of 256 byte-range locks on the table file (open-file-description locks, far beyond its
// end) that it can take, keeps it for its life (the kernel drops it when the process ends,
// however it ends), and clears its slot's bit from every object, for a dead predecessor may
// have left it there. So a holder bit whose byte is locked belongs to a live process.
// Each process counts its own holds on each object (HeldObject): only its first and its last
// touch the table, and for a mutex or an event neither makes a system call unless another
// process holds the object too. A lookup that finds an object this process does not hold tests whether one of
// its holders lives (a lock test on its byte), clearing the bits of the dead: an object none of whose holders
// lives is gone (Open* answers ERROR_FILE_NOT_FOUND, Create* makes a fresh one). The last holder to let go
// frees the slot. Dead holders are otherwise noticed when a section's holder lets go (its data is worth
// giving back soon), and by a sweep: on a process's first use of the table, after a death under the namespace
// lock, and when the table is full. A sweep clears dead bits, frees what nobody holds, unpins slots whose
// mutex is no longer held, and removes section files that no live slot owns. A section's data is
// "named.section.<slot>", made with the section and removed when its slot is freed; a process that holds the
// section keeps it open once. Limits: 4096 objects (a new name is then refused with ERROR_NOT_ENOUGH_MEMORY)
// and 256 processes at once (ERROR_TOO_MANY_OPEN_FILES) per prefix. A table file that is not one of this
// layout is refused (ERROR_INVALID_DATA), and left as it is.
//
// A process keeps its table mapped while it holds objects in it or the prefix is its current
// one; it lets go of the others (and of its process slot in them) once it holds nothing there,
// keeping only the mapping when a live thread of its own still holds a mutex in it.
// The table of the current prefix is looked up again when the prefix changes (SetPrefixPath):
// a folder removed and made again is then a new namespace. Creating, opening and letting go are
// serialised in a process by one mutex, taken before the namespace lock.
#include "named_object.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <tesk/win32/prefix.h>
#include <tesk/win32/winbase.h>

#include "internal.h"

namespace tesk::win32::internal {
namespace {

constexpr std::uint32_t kTableMagic = 0x324b5354;  // "TSK2"
constexpr std::uint32_t kTableVersion = 1;
constexpr std::uint32_t kSlotCount = 4096;  // a power of two
constexpr std::uint32_t kProcessSlots = 256;
constexpr std::uint32_t kNoProcessSlot = kProcessSlots;
constexpr std::size_t kNameRoom = 1024;  // a MAX_PATH name, in UTF-8
constexpr std::size_t kPageSize = 4096;
constexpr char kTableFile[] = "named.table";
constexpr char kSectionFile[] = "named.section.";
// The table file's lock bytes: the setting up of a new table, then one per process slot.
constexpr off_t kSetupByte = off_t{1} << 40;
// Makes a process stop itself (SIGSTOP) holding the namespace lock, when it is about to
// publish a new object of this name: how the tests leave a dead process inside the lock.
constexpr char kStopHook[] = "TESK_NAMED_STOP_WHILE_LOCKED";

enum SlotState : std::uint32_t { kEmpty = 0, kDeleted = 1, kLive = 2, kPinned = 3 };

struct TableHeader {
  std::atomic<std::uint32_t> magic;  // set last when the table is set up
  std::uint32_t version;
  std::uint32_t slot_count;
  std::uint32_t process_slots;
  std::uint64_t slot_size;
  std::uint64_t table_size;
  alignas(64) pthread_mutex_t lock;  // the namespace lock
};
static_assert(sizeof(TableHeader) <= kPageSize);

struct DirEntry {
  std::atomic<std::uint32_t> state;
  std::atomic<std::uint32_t> hash;
};

struct Slot {
  std::atomic<std::uint64_t> holders[kProcessSlots / 64];
  std::uint32_t kind;
  std::uint32_t name_length;
  std::uint64_t section_size;
  std::uint32_t section_writable;
  alignas(64) unsigned char core[kCoreSize];
  char name[kNameRoom];
};
static_assert(sizeof(Slot) % 64 == 0 && std::atomic<std::uint64_t>::is_always_lock_free);

constexpr std::size_t kDirOffset = kPageSize;
constexpr std::size_t kSlotsOffset =
    kDirOffset + (kSlotCount * sizeof(DirEntry) + kPageSize - 1) / kPageSize * kPageSize;
constexpr std::size_t kTableSize = kSlotsOffset + kSlotCount * sizeof(Slot);

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
    case ENOSPC:
    case EFBIG:
    case EOVERFLOW:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// ---- Names ------------------------------------------------------------------------------

bool NormalizeName(LPCSTR name, std::string* key, DWORD* error) {
  std::string_view text(name);
  if (text.size() > MAX_PATH) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  for (const std::string_view session : {std::string_view("Global\\"), std::string_view("Local\\")}) {
    if (text.substr(0, session.size()) == session) {
      text.remove_prefix(session.size());
      break;
    }
  }
  if (text.empty()) {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  unsigned char bytes = 0;
  for (const char c : text) bytes |= static_cast<unsigned char>(c);
  // Only a name beyond ASCII needs the code page (which reads the registry).
  *key = bytes < 0x80 ? std::string(text) : AnsiToUtf8(text);
  if (key->size() > kNameRoom) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  return true;
}

// Eight bytes at a time: names are hashed on every first open in a process.
std::uint32_t HashOf(std::string_view text) {
  constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ull;
  std::uint64_t hash = text.size() * kMultiplier;
  const char* at = text.data();
  for (std::size_t left = text.size(); left > 0;) {
    std::uint64_t word = 0;
    const std::size_t take = std::min<std::size_t>(left, 8);
    std::memcpy(&word, at, take);
    at += take;
    left -= take;
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 29;
  }
  hash *= kMultiplier;
  return static_cast<std::uint32_t>(hash >> 32);
}

// ---- Files and locks --------------------------------------------------------------------

bool OfdLock(int fd, short type, off_t byte, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

off_t ProcessByte(std::uint32_t process) {
  return kSetupByte + 1 + static_cast<off_t>(process);
}

// The folder must be ours alone: it is in a directory every user can write to.
bool EnsureFolder(const std::string& dir, DWORD* error) {
  if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
  *error = ErrorFromErrno(errno);
  return false;
}

struct SectionFileName {
  explicit SectionFileName(std::uint32_t slot) {
    std::snprintf(text, sizeof(text), "%s%u", kSectionFile, static_cast<unsigned>(slot));
  }
  char text[40];
};

}  // namespace

// This process's holds on one object.
struct HeldObject {
  const std::string* name = nullptr;  // its key in Namespace::held
  std::uint32_t slot = 0;
  std::uint32_t count = 0;
  ObjectKind kind = ObjectKind::kMutex;
  int data_fd = -1;  // sections
};

// A table this process uses.
struct Namespace {
  std::string dir;
  int dir_fd = -1;
  int fd = -1;  // the table file; holds the lock of our process slot
  unsigned char* base = nullptr;
  dev_t device = 0;
  ino_t inode = 0;
  std::uint32_t self = kNoProcessSlot;
  std::string stop_name;  // kStopHook
  std::unordered_map<std::string, HeldObject> held;

  TableHeader& header() const { return *reinterpret_cast<TableHeader*>(base); }
  DirEntry& entry(std::uint32_t index) const {
    return reinterpret_cast<DirEntry*>(base + kDirOffset)[index & (kSlotCount - 1)];
  }
  Slot& slot(std::uint32_t index) const {
    return reinterpret_cast<Slot*>(base + kSlotsOffset)[index & (kSlotCount - 1)];
  }
};

namespace {

// What this process knows of the tables it uses; never destroyed, since objects may go while
// the process exits.
struct Registry {
  std::mutex lock;
  std::vector<Namespace*> attached;
  Namespace* current = nullptr;  // the current prefix's, once used
  std::string current_dir;
  std::uint64_t generation = 0;  // of current_dir
  bool resolved = false;
};

Registry& Reg() {
  static Registry* registry = new Registry;
  return *registry;
}

// ---- The table, with the namespace lock held --------------------------------------------

// Whether the process in a process slot lives: it keeps its byte locked. In doubt, it does.
bool ProcessAlive(const Namespace& ns, std::uint32_t process) {
  if (process == ns.self) return true;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = ProcessByte(process);
  lock.l_len = 1;
  if (fcntl(ns.fd, F_OFD_GETLK, &lock) != 0) return true;
  return lock.l_type != F_UNLCK;
}

bool NoHolders(const Slot& slot) {
  for (const auto& word : slot.holders)
    if (word.load(std::memory_order_relaxed) != 0) return false;
  return true;
}

// Clears the bits of the slot's holders that died, up to the first that lives; true when one
// does. `known` (optional) keeps what was learnt of each process slot.
bool HolderLives(const Namespace& ns, std::uint32_t index, signed char* known) {
  Slot& slot = ns.slot(index);
  for (std::uint32_t word = 0; word < kProcessSlots / 64; ++word) {
    std::uint64_t bits = slot.holders[word].load(std::memory_order_relaxed);
    while (bits != 0) {
      const auto bit = static_cast<std::uint32_t>(__builtin_ctzll(bits));
      bits &= bits - 1;
      const std::uint32_t process = word * 64 + bit;
      bool alive;
      if (known && known[process] != 0) {
        alive = known[process] > 0;
      } else {
        alive = ProcessAlive(ns, process);
        if (known) known[process] = alive ? 1 : -1;
      }
      if (alive) return true;
      slot.holders[word].fetch_and(~(std::uint64_t{1} << bit), std::memory_order_relaxed);
    }
  }
  return false;
}

// Deleted slots that end a run of used ones become empty: no lookup needs to go past them.
void Tidy(const Namespace& ns, std::uint32_t index) {
  if (ns.entry(index + 1).state.load(std::memory_order_relaxed) != kEmpty) return;
  for (std::uint32_t n = 0;
       n < kSlotCount && ns.entry(index).state.load(std::memory_order_relaxed) == kDeleted; ++n, --index) {
    ns.entry(index).state.store(kEmpty, std::memory_order_release);
  }
}

// A slot that nobody holds leaves the namespace: free, or pinned while a live thread still
// holds its mutex.
void FreeSlot(const Namespace& ns, std::uint32_t index) {
  Slot& slot = ns.slot(index);
  DirEntry& entry = ns.entry(index);
  if (slot.kind == static_cast<std::uint32_t>(ObjectKind::kMutex) && MutexInUse(slot.core)) {
    entry.state.store(kPinned, std::memory_order_release);
    return;
  }
  const bool section = slot.kind == static_cast<std::uint32_t>(ObjectKind::kSection);
  entry.state.store(kDeleted, std::memory_order_release);
  Tidy(ns, index);
  if (section) unlinkat(ns.dir_fd, SectionFileName(index).text, 0);
}

// Removes the section files that no live section slot owns: left by a process that died
// while making or freeing one.
void RemoveStrayFiles(const Namespace& ns) {
  const int fd = openat(ns.dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* folder = fdopendir(fd);
  if (!folder) {
    close(fd);
    return;
  }
  const std::string_view prefix(kSectionFile);
  while (const dirent* item = readdir(folder)) {
    const std::string_view name(item->d_name);
    if (name.substr(0, prefix.size()) != prefix) continue;
    const std::string_view digits = name.substr(prefix.size());
    std::uint64_t index = 0;
    bool valid = !digits.empty() && digits.size() <= 6 && (digits.size() == 1 || digits[0] != '0');
    for (const char c : digits) {
      valid = valid && c >= '0' && c <= '9';
      index = index * 10 + static_cast<std::uint64_t>(c - '0');
    }
    const auto slot = static_cast<std::uint32_t>(index);
    const bool owned = valid && index < kSlotCount &&
                       ns.entry(slot).state.load(std::memory_order_acquire) == kLive &&
                       ns.slot(slot).kind == static_cast<std::uint32_t>(ObjectKind::kSection);
    if (!owned) unlinkat(dirfd(folder), item->d_name, 0);
  }
  closedir(folder);
}

// Frees what no live process holds, unpins what no live thread holds, removes stray files.
void Sweep(const Namespace& ns) {
  signed char known[kProcessSlots] = {};
  for (std::uint32_t index = 0; index < kSlotCount; ++index) {
    const std::uint32_t state = ns.entry(index).state.load(std::memory_order_acquire);
    if (state == kLive && !HolderLives(ns, index, known)) {
      FreeSlot(ns, index);
    } else if (state == kPinned && !MutexInUse(ns.slot(index).core)) {
      ns.entry(index).state.store(kDeleted, std::memory_order_release);
      Tidy(ns, index);
    }
  }
  RemoveStrayFiles(ns);
}

class TableLock {
 public:
  explicit TableLock(const Namespace& ns) : ns_(ns) {
    const int rc = pthread_mutex_lock(&ns.header().lock);
    if (rc == EOWNERDEAD) {
      // Its holder died: every change is safe to stop anywhere; clear up what it may have left.
      pthread_mutex_consistent(&ns.header().lock);
      locked_ = true;
      Sweep(ns);
    } else {
      locked_ = rc == 0;
    }
  }
  ~TableLock() {
    if (locked_) pthread_mutex_unlock(&ns_.header().lock);
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
  bool ok() const { return locked_; }

 private:
  const Namespace& ns_;
  bool locked_ = false;
};

struct Place {
  std::int64_t found = -1;  // the live slot of the name
  std::int64_t free = -1;   // else the first slot a new object may take
};

Place Lookup(const Namespace& ns, std::string_view key, std::uint32_t hash) {
  Place place;
  for (std::uint32_t n = 0; n < kSlotCount; ++n) {
    const std::uint32_t index = (hash + n) & (kSlotCount - 1);
    const DirEntry& entry = ns.entry(index);
    const std::uint32_t state = entry.state.load(std::memory_order_acquire);
    if (state == kEmpty || state == kDeleted) {
      if (place.free < 0) place.free = index;
      if (state == kEmpty) break;
    } else if (state == kLive && entry.hash.load(std::memory_order_relaxed) == hash) {
      const Slot& slot = ns.slot(index);
      if (slot.name_length == key.size() && std::memcmp(slot.name, key.data(), key.size()) == 0) {
        place.found = index;
        break;
      }
    }
  }
  return place;
}

// A view beyond the end of the file would fault when touched: the file must be as long as
// the slot says.
int OpenSectionFile(const Namespace& ns, std::uint32_t index, DWORD* error) {
  const int fd = openat(ns.dir_fd, SectionFileName(index).text, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
  } else if (fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != ns.slot(index).section_size) {
    *error = ERROR_INVALID_DATA;
    close(fd);
    return -1;
  }
  return fd;
}

// Sections of the paging file are committed when made, so that a full tmpfs is an error now
// rather than a crash when the data is written.
int MakeSectionFile(const Namespace& ns, std::uint32_t index, std::uint64_t size, DWORD* error) {
  const SectionFileName name(index);
  unlinkat(ns.dir_fd, name.text, 0);  // a stray one
  const int fd = openat(ns.dir_fd, name.text, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return -1;
  }
  const auto length = static_cast<off_t>(size);
  if (ftruncate(fd, length) != 0 || (fallocate(fd, 0, 0, length) != 0 && errno != EOPNOTSUPP)) {
    *error = ErrorFromErrno(errno);
    close(fd);
    unlinkat(ns.dir_fd, name.text, 0);
    return -1;
  }
  return fd;
}

// This process's first hold on `key` (held.name): finds the object, or makes it when
// `request` says how. Fills `held`.
DWORD TakeHold(const Namespace& ns, HeldObject& held, const NewObject* request, ObjectKind kind,
               bool* existed) {
  const std::string& key = *held.name;
  const std::uint32_t hash = HashOf(key);
  TableLock lock(ns);
  if (!lock.ok()) return ERROR_GEN_FAILURE;
  const std::uint64_t our_bit = std::uint64_t{1} << (ns.self % 64);
  Place place = Lookup(ns, key, hash);
  if (place.found >= 0 && !HolderLives(ns, static_cast<std::uint32_t>(place.found), nullptr)) {
    // What is left of an object whose holders all died: gone.
    FreeSlot(ns, static_cast<std::uint32_t>(place.found));
    place = Lookup(ns, key, hash);
  }
  DWORD error = ERROR_SUCCESS;
  if (place.found >= 0) {
    const auto index = static_cast<std::uint32_t>(place.found);
    Slot& slot = ns.slot(index);
    if (slot.kind != static_cast<std::uint32_t>(kind)) return ERROR_INVALID_HANDLE;
    int data_fd = -1;
    if (kind == ObjectKind::kSection && (data_fd = OpenSectionFile(ns, index, &error)) < 0) return error;
    slot.holders[ns.self / 64].fetch_or(our_bit, std::memory_order_relaxed);
    held.slot = index;
    held.data_fd = data_fd;
    *existed = true;
    return ERROR_SUCCESS;
  }
  if (!request) return ERROR_FILE_NOT_FOUND;
  if (place.free < 0) {
    // Full: perhaps of what the dead left.
    Sweep(ns);
    place = Lookup(ns, key, hash);
    if (place.free < 0) return ERROR_NOT_ENOUGH_MEMORY;
  }
  const auto index = static_cast<std::uint32_t>(place.free);
  Slot& slot = ns.slot(index);
  int data_fd = -1;
  if (kind == ObjectKind::kSection &&
      (data_fd = MakeSectionFile(ns, index, request->section_size, &error)) < 0)
    return error;
  // Filled before it is published; nobody looks at it before.
  for (auto& word : slot.holders) word.store(0, std::memory_order_relaxed);
  slot.holders[ns.self / 64].store(our_bit, std::memory_order_relaxed);
  slot.kind = static_cast<std::uint32_t>(kind);
  slot.name_length = static_cast<std::uint32_t>(key.size());
  std::memcpy(slot.name, key.data(), key.size());
  slot.section_size = kind == ObjectKind::kSection ? request->section_size : 0;
  slot.section_writable = request->section_writable ? 1 : 0;
  std::memset(slot.core, 0, kCoreSize);
  if (request->init && !request->init(slot.core, request->context)) {
    error = GetLastError();
    if (data_fd >= 0) {
      close(data_fd);
      unlinkat(ns.dir_fd, SectionFileName(index).text, 0);
    }
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
  }
  if (!ns.stop_name.empty() && ns.stop_name == key) raise(SIGSTOP);
  ns.entry(index).hash.store(hash, std::memory_order_relaxed);
  ns.entry(index).state.store(kLive, std::memory_order_release);
  held.slot = index;
  held.data_fd = data_fd;
  *existed = false;
  return ERROR_SUCCESS;
}

// ---- Tables of a process ----------------------------------------------------------------

// Maps the table of the file, setting it up when it is new. Null with *error for a damaged
// table.
unsigned char* MapTable(int fd, DWORD* error) {
  if (!OfdLock(fd, F_WRLCK, kSetupByte, true)) {
    *error = ErrorFromErrno(errno);
    return nullptr;
  }
  unsigned char* base = nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *error = ErrorFromErrno(errno);
  } else if (st.st_size != 0 && static_cast<std::uint64_t>(st.st_size) != kTableSize) {
    *error = ERROR_INVALID_DATA;
  } else if (st.st_size == 0 && ftruncate(fd, static_cast<off_t>(kTableSize)) != 0) {
    *error = ErrorFromErrno(errno);
  } else {
    void* memory = mmap(nullptr, kTableSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
    } else {
      base = static_cast<unsigned char*>(memory);
      auto& header = *reinterpret_cast<TableHeader*>(base);
      const std::uint32_t magic = header.magic.load(std::memory_order_acquire);
      bool ready = magic == kTableMagic && header.version == kTableVersion &&
                   header.slot_count == kSlotCount && header.process_slots == kProcessSlots &&
                   header.slot_size == sizeof(Slot) && header.table_size == kTableSize;
      if (magic == 0) {
        // New, or its maker died setting it up (nobody used it then): all zero, then set up.
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        if (ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(kTableSize)) == 0 &&
            pthread_mutex_init(&header.lock, &attributes) == 0) {
          header.version = kTableVersion;
          header.slot_count = kSlotCount;
          header.process_slots = kProcessSlots;
          header.slot_size = sizeof(Slot);
          header.table_size = kTableSize;
          header.magic.store(kTableMagic, std::memory_order_release);
          ready = true;
        } else {
          *error = ERROR_NOT_ENOUGH_MEMORY;
        }
        pthread_mutexattr_destroy(&attributes);
      } else if (!ready) {
        *error = ERROR_INVALID_DATA;
      }
      if (!ready) {
        munmap(base, kTableSize);
        base = nullptr;
      }
    }
  }
  OfdLock(fd, F_UNLCK, kSetupByte, false);
  return base;
}

// Lets go of a table: its mapping (unless a thread of ours holds a mutex in it) and our
// process slot. Nothing of it is held.
void Detach(Namespace* ns) {
  if (ns->base) {
    bool mutex_held = false;
    for (std::uint32_t index = 0; index < kSlotCount && !mutex_held; ++index) {
      const std::uint32_t state = ns->entry(index).state.load(std::memory_order_acquire);
      mutex_held = (state == kLive || state == kPinned) &&
                   ns->slot(index).kind == static_cast<std::uint32_t>(ObjectKind::kMutex) &&
                   MutexHeldHere(ns->slot(index).core);
    }
    if (!mutex_held) munmap(ns->base, kTableSize);
  }
  if (ns->fd >= 0) close(ns->fd);
  if (ns->dir_fd >= 0) close(ns->dir_fd);
  delete ns;
}

// Opens (and makes, when `create`) the folder's table and takes a process slot in it.
Namespace* Attach(const std::string& dir, bool create, DWORD* error) {
  if (create && !EnsureFolder(dir, error)) return nullptr;
  auto* ns = new (std::nothrow) Namespace;
  if (!ns) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  struct stat st {};
  ns->dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (ns->dir_fd < 0) {
    // No folder: nothing was ever made in this namespace.
    *error = ErrorFromErrno(errno);
  } else if (fstat(ns->dir_fd, &st) != 0 || st.st_uid != getuid()) {
    *error = ERROR_ACCESS_DENIED;
  } else if ((ns->fd = openat(ns->dir_fd, kTableFile, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) < 0) {
    *error = ErrorFromErrno(errno);
  } else if (fstat(ns->fd, &st) != 0) {
    *error = ErrorFromErrno(errno);
  } else {
    ns->device = st.st_dev;
    ns->inode = st.st_ino;
    ns->base = MapTable(ns->fd, error);
  }
  if (ns->base) {
    try {
      ns->dir = dir;
      if (const char* stop = std::getenv(kStopHook)) ns->stop_name = stop;
    } catch (const std::bad_alloc&) {
      munmap(ns->base, kTableSize);
      ns->base = nullptr;
      *error = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (!ns->base) {
    Detach(ns);
    return nullptr;
  }
  {
    TableLock lock(*ns);
    if (!lock.ok()) {
      *error = ERROR_GEN_FAILURE;
    } else {
      for (std::uint32_t process = 0; process < kProcessSlots; ++process) {
        if (OfdLock(ns->fd, F_WRLCK, ProcessByte(process), false)) {
          ns->self = process;
          break;
        }
      }
      if (ns->self == kNoProcessSlot) {
        *error = ERROR_TOO_MANY_OPEN_FILES;
      } else {
        // What a dead predecessor in our process slot held is no longer held.
        const std::uint64_t keep = ~(std::uint64_t{1} << (ns->self % 64));
        for (std::uint32_t index = 0; index < kSlotCount; ++index) {
          if (ns->entry(index).state.load(std::memory_order_acquire) == kLive)
            ns->slot(index).holders[ns->self / 64].fetch_and(keep, std::memory_order_relaxed);
        }
        Sweep(*ns);
      }
    }
  }
  if (ns->self == kNoProcessSlot) {
    Detach(ns);
    return nullptr;
  }
  return ns;
}

// Whether the folder's table is still the one `ns` maps (the folder may have been removed
// and made again).
bool StillThere(const Namespace& ns) {
  struct stat st {};
  try {
    const std::string path = ns.dir + "/" + kTableFile;
    return lstat(path.c_str(), &st) == 0 && st.st_dev == ns.device && st.st_ino == ns.inode;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Registry lock held.
void DetachIdle(Registry& registry) {
  auto& attached = registry.attached;
  for (auto it = attached.begin(); it != attached.end();) {
    if (*it != registry.current && (*it)->held.empty()) {
      Detach(*it);
      it = attached.erase(it);
    } else {
      ++it;
    }
  }
}

// The current prefix's table. Registry lock held.
Namespace* CurrentNamespace(bool create, DWORD* error) {
  Registry& registry = Reg();
  const std::uint64_t generation = PrefixGeneration();
  if (!registry.resolved || registry.generation != generation) {
    try {
      registry.current_dir = RuntimePath();
    } catch (const std::bad_alloc&) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    registry.generation = generation;
    registry.resolved = true;
    registry.current = nullptr;
    for (Namespace* ns : registry.attached) {
      if (ns->dir == registry.current_dir && StillThere(*ns)) {
        registry.current = ns;
        break;
      }
    }
    DetachIdle(registry);
  }
  if (!registry.current) {
    try {
      registry.attached.reserve(registry.attached.size() + 1);
    } catch (const std::bad_alloc&) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    Namespace* ns = Attach(registry.current_dir, create, error);
    if (!ns) return nullptr;
    registry.attached.push_back(ns);
    registry.current = ns;
  }
  return registry.current;
}

}  // namespace

// Builds objects; a friend of SharedObject.
struct SharedObjectMaker {
  static SharedRef Make() { return SharedRef(new SharedObject); }

  static SharedRef Acquire(const NewObject* request, ObjectKind kind, LPCSTR name, bool* existed) {
    std::string key;
    DWORD error = ERROR_SUCCESS;
    if (!NormalizeName(name, &key, &error)) {
      SetLastError(error);
      return nullptr;
    }
    if (request && kind == ObjectKind::kSection && request->section_size > (std::uint64_t{1} << 46)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    // Made before the lock: an object dropped here goes after it is let go.
    SharedRef object;
    try {
      object = Make();
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    Registry& registry = Reg();
    std::lock_guard<std::mutex> hold(registry.lock);
    Namespace* ns = CurrentNamespace(request != nullptr, &error);
    if (!ns) {
      SetLastError(error);
      return nullptr;
    }
    std::unordered_map<std::string, HeldObject>::iterator it;
    bool first = false;
    try {
      std::tie(it, first) = ns->held.try_emplace(std::move(key));
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    HeldObject& held = it->second;
    if (first) {
      held.name = &it->first;
      held.kind = kind;
      error = TakeHold(*ns, held, request, kind, existed);
      if (error != ERROR_SUCCESS) {
        ns->held.erase(it);
        SetLastError(error);
        return nullptr;
      }
    } else if (held.kind != kind) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    } else {
      *existed = true;
    }
    ++held.count;
    const Slot& slot = ns->slot(held.slot);
    object->kind_ = kind;
    object->namespace_ = ns;
    object->held_ = &held;
    object->core_ = const_cast<unsigned char*>(slot.core);
    object->data_size_ = kind == ObjectKind::kSection ? slot.section_size : 0;
    object->writable_ = slot.section_writable != 0;
    return object;
  }

  static SharedRef MakePrivate(const NewObject& request, DWORD* error) {
    SharedRef object;
    try {
      object = Make();
    } catch (const std::bad_alloc&) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    object->kind_ = request.kind;
    object->writable_ = request.section_writable;
    if (request.kind != ObjectKind::kSection) {
      void* page = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (page == MAP_FAILED) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
      }
      object->page_ = page;
      object->core_ = page;
      return object;
    }
    if (request.section_size > (std::uint64_t{1} << 46)) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    object->data_size_ = request.section_size;
    object->fd_ = memfd_create("tesk-section", MFD_CLOEXEC);
    const auto total = static_cast<off_t>(request.section_size);
    if (object->fd_ < 0 || ftruncate(object->fd_, total) != 0 ||
        (fallocate(object->fd_, 0, 0, total) != 0 && errno != EOPNOTSUPP)) {
      *error = ErrorFromErrno(errno);
      return nullptr;
    }
    return object;
  }
};

SharedObject::~SharedObject() {
  if (!namespace_) {
    if (page_ && !keep_mapped_.load()) munmap(page_, kPageSize);
    if (fd_ >= 0) close(fd_);
    return;
  }
  Registry& registry = Reg();
  std::lock_guard<std::mutex> hold(registry.lock);
  Namespace& ns = *namespace_;
  if (--held_->count != 0) return;
  {
    TableLock lock(ns);
    if (lock.ok()) {
      const std::uint32_t index = held_->slot;
      ns.slot(index).holders[ns.self / 64].fetch_and(~(std::uint64_t{1} << (ns.self % 64)),
                                                     std::memory_order_relaxed);
      // A section's data is worth giving back as soon as no live process holds it.
      if (held_->kind == ObjectKind::kSection ? !HolderLives(ns, index, nullptr) : NoHolders(ns.slot(index)))
        FreeSlot(ns, index);
    }
  }
  if (held_->data_fd >= 0) close(held_->data_fd);
  ns.held.erase(ns.held.find(*held_->name));
  if (&ns != registry.current && ns.held.empty()) {
    auto& attached = registry.attached;
    attached.erase(std::remove(attached.begin(), attached.end(), &ns), attached.end());
    Detach(&ns);
  }
}

int SharedObject::data_fd() const {
  return held_ ? held_->data_fd : fd_;
}

SharedRef CreateShared(const NewObject& request, LPCSTR name, bool* existed) {
  return SharedObjectMaker::Acquire(&request, request.kind, name, existed);
}

SharedRef OpenShared(ObjectKind kind, LPCSTR name) {
  bool existed = false;
  return SharedObjectMaker::Acquire(nullptr, kind, name, &existed);
}

SharedRef CreatePrivate(const NewObject& request) {
  DWORD error = ERROR_SUCCESS;
  SharedRef object = SharedObjectMaker::MakePrivate(request, &error);
  if (!object) {
    SetLastError(error);
    return nullptr;
  }
  if (request.init && !request.init(object->Core(), request.context)) return nullptr;
  return object;
}

}  // namespace tesk::win32::internal
