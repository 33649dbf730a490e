// The named-object namespace: files in the prefix's runtime folder, held with shared
// open-file-description locks (see named_object.h).
#include "named_object.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string_view>

#include <tesk/win32/prefix.h>
#include <tesk/win32/winbase.h>

#include "internal.h"

namespace tesk::win32::internal {
namespace {

constexpr std::size_t kPageSize = 4096;  // x86-64; sections' data starts on the next page
constexpr std::size_t kCoreOffset = kPageSize - kCoreSize;
constexpr std::uint32_t kMagic = 0x314b5354;  // "TSK1"
constexpr std::size_t kNameRoom = 1024;       // a MAX_PATH name, in UTF-8
constexpr char kLockFile[] = "namespace.lock";

struct FileHeader {
  std::uint32_t magic;
  std::uint32_t kind;
  std::uint64_t section_size;
  std::uint32_t section_writable;
  std::uint32_t name_length;
  char name[kNameRoom];
};
static_assert(sizeof(FileHeader) <= kCoreOffset);

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
  bool ascii = true;
  for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  // Only a name beyond ASCII needs the code page (which reads the registry).
  *key = ascii ? std::string(text) : AnsiToUtf8(text);
  if (key->size() > kNameRoom) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  return true;
}

std::uint64_t Fnv1a(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// "n" and the name with unusual bytes as %XX; a long one is cut and ends in its hash instead
// ("h..."), and the header's copy of the name tells such names apart.
std::string FileNameFor(std::string_view key) {
  std::string file = "n";
  for (const char c : key) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        byte == '.' || byte == '_' || byte == '-') {
      file.push_back(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof(escaped), "%%%02X", byte);
      file += escaped;
    }
  }
  if (file.size() <= 200) return file;
  char hash[24];
  std::snprintf(hash, sizeof(hash), "~%016llx", static_cast<unsigned long long>(Fnv1a(key)));
  file[0] = 'h';
  file.resize(121);
  file += hash;
  return file;
}

// ---- Locks ------------------------------------------------------------------------------

bool OfdLock(int fd, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool SameFile(int fd, const std::string& path) {
  struct stat open_file {};
  struct stat named_file {};
  return fstat(fd, &open_file) == 0 && stat(path.c_str(), &named_file) == 0 &&
         open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}

// The folder must be ours alone: it is in a directory every user can write to.
bool EnsureFolder(const std::string& dir, DWORD* error) {
  if (mkdir(dir.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) {
    *error = ErrorFromErrno(errno);
    return false;
  }
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  return true;
}

// What this process knows of the namespaces it used; never destroyed, since objects may go
// while the process exits.
struct Namespaces {
  std::mutex lock;
  std::string lock_dir;  // the namespace whose lock file lock_fd is
  int lock_fd = -1;
  std::set<std::string> swept;
  std::map<std::string, std::weak_ptr<SharedObject>> open;  // this process's objects, by file
  std::uint64_t generation = 0;                             // of runtime_dir
  std::string runtime_dir;
};

Namespaces& Ns() {
  static Namespaces* namespaces = new Namespaces;
  return *namespaces;
}

// The namespace lock: this process's mutex, then the folder's lock file, exclusively.
class NamespaceLock {
 public:
  NamespaceLock(const std::string& dir, bool create) : hold_(Ns().lock) {
    Namespaces& ns = Ns();
    const std::string path = dir + "/" + kLockFile;
    // The folder may have been removed and made again since the file was opened.
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (ns.lock_fd < 0 || ns.lock_dir != dir) {
        Forget();
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno == ENOENT && create) {
          if (!EnsureFolder(dir, &error_)) return;
          fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        }
        if (fd < 0) {
          error_ = ErrorFromErrno(errno);
          return;
        }
        try {
          ns.lock_dir = dir;
        } catch (const std::bad_alloc&) {
          close(fd);
          error_ = ERROR_NOT_ENOUGH_MEMORY;
          return;
        }
        ns.lock_fd = fd;
      }
      if (!OfdLock(ns.lock_fd, F_WRLCK, true)) {
        error_ = ErrorFromErrno(errno);
        return;
      }
      if (SameFile(ns.lock_fd, path)) {
        locked_ = true;
        return;
      }
      OfdLock(ns.lock_fd, F_UNLCK, false);
      Forget();
    }
    error_ = ERROR_GEN_FAILURE;
  }

  ~NamespaceLock() {
    if (locked_) OfdLock(Ns().lock_fd, F_UNLCK, false);
  }

  NamespaceLock(const NamespaceLock&) = delete;
  NamespaceLock& operator=(const NamespaceLock&) = delete;

  bool ok() const { return locked_; }
  DWORD error() const { return error_; }

 private:
  static void Forget() {
    Namespaces& ns = Ns();
    if (ns.lock_fd >= 0) close(ns.lock_fd);
    ns.lock_fd = -1;
    ns.lock_dir.clear();
  }

  std::lock_guard<std::mutex> hold_;
  bool locked_ = false;
  DWORD error_ = ERROR_SUCCESS;
};

std::string CurrentRuntimeDir() {
  static std::mutex lock;
  std::lock_guard<std::mutex> hold(lock);
  Namespaces& ns = Ns();
  const std::uint64_t generation = PrefixGeneration();
  if (ns.generation != generation || ns.runtime_dir.empty()) {
    ns.runtime_dir = RuntimePath();
    ns.generation = generation;
  }
  return ns.runtime_dir;
}

// Removes the files nobody holds. Namespace lock held.
void SweepOnce(const std::string& dir) {
  Namespaces& ns = Ns();
  if (ns.swept.count(dir)) return;
  try {
    ns.swept.insert(dir);
  } catch (const std::bad_alloc&) {
    return;
  }
  DIR* folder = opendir(dir.c_str());
  if (!folder) return;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != 'n' && entry->d_name[0] != 'h') continue;
    const int fd = openat(dirfd(folder), entry->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    if (OfdLock(fd, F_WRLCK, false)) unlinkat(dirfd(folder), entry->d_name, 0);
    close(fd);
  }
  closedir(folder);
}

}  // namespace

// Builds objects; a friend of SharedObject.
struct SharedObjectMaker {
  static SharedRef Make() { return SharedRef(new SharedObject); }

  // An existing file: a holder of it when another process holds it. Namespace lock held.
  static SharedRef OpenFile(const std::string& dir, const std::string& path, const std::string& key,
                            ObjectKind kind, DWORD* error) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      *error = ErrorFromErrno(errno);
      return nullptr;
    }
    if (OfdLock(fd, F_WRLCK, false)) {
      // Nobody holds it: what is left of an object whose holders died.
      unlink(path.c_str());
      close(fd);
      *error = ERROR_FILE_NOT_FOUND;
      return nullptr;
    }
    if (!OfdLock(fd, F_RDLCK, false)) {
      *error = ErrorFromErrno(errno);
      close(fd);
      return nullptr;
    }
    struct stat st {};
    void* page = MAP_FAILED;
    if (fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) >= kPageSize)
      page = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED) {
      *error = ERROR_GEN_FAILURE;
      close(fd);
      return nullptr;
    }
    const auto* header = static_cast<const FileHeader*>(page);
    // A different name here is another long name with the same hash: taken, as by another kind.
    if (header->magic != kMagic || header->kind != static_cast<std::uint32_t>(kind) ||
        std::string_view(header->name, std::min<std::size_t>(header->name_length, kNameRoom)) != key) {
      *error = ERROR_INVALID_HANDLE;
      munmap(page, kPageSize);
      close(fd);
      return nullptr;
    }
    SharedRef object;
    try {
      object = Make();
      object->path_ = path;
      object->dir_ = dir;
    } catch (const std::bad_alloc&) {
      object = nullptr;
    }
    if (!object) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      munmap(page, kPageSize);
      close(fd);
      return nullptr;
    }
    // From here the object's destructor lets go of the file.
    object->kind_ = kind;
    object->fd_ = fd;
    object->page_ = page;
    object->data_offset_ = kPageSize;
    object->data_size_ = header->section_size;
    object->writable_ = header->section_writable != 0;
    return object;
  }

  // A new file, held. Namespace lock held; no file of that name. No object is made until
  // the file is ready: an object's destructor takes the namespace lock.
  static SharedRef MakeFile(const std::string& dir, const std::string& path, const std::string& key,
                            const NewObject& request, DWORD* error) {
    const std::uint64_t data_size = request.kind == ObjectKind::kSection ? request.section_size : 0;
    if (data_size > (std::uint64_t{1} << 46)) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return nullptr;
    }
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      *error = ErrorFromErrno(errno);
      return nullptr;
    }
    void* page = MAP_FAILED;
    const auto total = static_cast<off_t>(kPageSize + data_size);
    // Sections of the paging file are committed when made, so that a full tmpfs is an error
    // now rather than a crash when the data is written.
    if (OfdLock(fd, F_WRLCK, false) && ftruncate(fd, total) == 0 &&
        (data_size == 0 || fallocate(fd, 0, 0, total) == 0 || errno == EOPNOTSUPP)) {
      page = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    SharedRef object;
    if (page != MAP_FAILED) {
      auto* header = static_cast<FileHeader*>(page);
      header->kind = static_cast<std::uint32_t>(request.kind);
      header->section_size = data_size;
      header->section_writable = request.section_writable ? 1 : 0;
      header->name_length = static_cast<std::uint32_t>(key.size());
      std::memcpy(header->name, key.data(), key.size());
      header->magic = kMagic;
      try {
        object = Make();
        object->path_ = path;
        object->dir_ = dir;
      } catch (const std::bad_alloc&) {
        object = nullptr;
        errno = ENOMEM;
      }
    }
    if (!object || !OfdLock(fd, F_RDLCK, false)) {
      *error = ErrorFromErrno(errno);
      if (object) object->path_.clear();  // its destructor must not take the lock we hold
      object = nullptr;
      if (page != MAP_FAILED) munmap(page, kPageSize);
      unlink(path.c_str());
      close(fd);
      return nullptr;
    }
    object->kind_ = request.kind;
    object->fd_ = fd;
    object->page_ = page;
    object->data_offset_ = kPageSize;
    object->data_size_ = data_size;
    object->writable_ = request.section_writable;
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
  if (page_ && !keep_mapped_.load()) munmap(page_, kPageSize);
  if (path_.empty()) {
    if (fd_ >= 0) close(fd_);
    return;
  }
  {
    NamespaceLock ns(dir_, false);
    Namespaces& all = Ns();
    if (const auto it = all.open.find(path_); it != all.open.end() && it->second.expired())
      all.open.erase(it);
    // Able to hold it alone: the last holder of the prefix; the name goes with it.
    if (ns.ok() && fd_ >= 0 && OfdLock(fd_, F_WRLCK, false) && SameFile(fd_, path_)) unlink(path_.c_str());
  }
  if (fd_ >= 0) close(fd_);
}

void* SharedObject::Core() const {
  return page_ ? static_cast<char*>(page_) + kCoreOffset : nullptr;
}

SharedRef CreateShared(const NewObject& request, LPCSTR name, bool* existed) {
  std::string key;
  DWORD error = ERROR_SUCCESS;
  if (!NormalizeName(name, &key, &error)) {
    SetLastError(error);
    return nullptr;
  }
  const std::string dir = CurrentRuntimeDir();
  const std::string path = dir + "/" + FileNameFor(key);
  // Declared before the lock: an object dropped here goes after the lock is let go, since
  // its destructor takes the lock.
  SharedRef object;
  {
    NamespaceLock ns(dir, true);
    if (!ns.ok()) {
      SetLastError(ns.error());
      return nullptr;
    }
    SweepOnce(dir);
    Namespaces& all = Ns();
    if (const auto it = all.open.find(path); it != all.open.end()) object = it->second.lock();
    if (!object) object = SharedObjectMaker::OpenFile(dir, path, key, request.kind, &error);
    *existed = object != nullptr;
    if (object) {
      if (object->kind() != request.kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
    } else if (error == ERROR_FILE_NOT_FOUND) {
      object = SharedObjectMaker::MakeFile(dir, path, key, request, &error);
    }
    if (!object) {
      SetLastError(error);
      return nullptr;
    }
    try {
      all.open[path] = object;
    } catch (const std::bad_alloc&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    if (!*existed && request.init && !request.init(object->Core(), request.context)) {
      all.open.erase(path);
      return nullptr;
    }
  }
  return object;
}

SharedRef OpenShared(ObjectKind kind, LPCSTR name) {
  std::string key;
  DWORD error = ERROR_SUCCESS;
  if (!NormalizeName(name, &key, &error)) {
    SetLastError(error);
    return nullptr;
  }
  const std::string dir = CurrentRuntimeDir();
  const std::string path = dir + "/" + FileNameFor(key);
  SharedRef object;
  {
    NamespaceLock ns(dir, false);
    if (!ns.ok()) {
      // No folder: nothing was ever made in this namespace.
      SetLastError(ns.error());
      return nullptr;
    }
    SweepOnce(dir);
    Namespaces& all = Ns();
    if (const auto it = all.open.find(path); it != all.open.end()) object = it->second.lock();
    if (!object) {
      object = SharedObjectMaker::OpenFile(dir, path, key, kind, &error);
      if (!object) {
        SetLastError(error);
        return nullptr;
      }
      try {
        all.open[path] = object;
      } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
      }
    }
    if (object->kind() != kind) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  return object;
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
