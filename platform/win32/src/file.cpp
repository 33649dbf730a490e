// Files on the prefix's drives: CreateFileA for paths, synchronous I/O on the handle, and the
// calls that work on a file by name.
//
// Rights are checked here rather than left to Linux, since the stand-in may run as root: a
// file without its owner's write bit is read-only (FILE_ATTRIBUTE_READONLY) and refuses
// opens for writing and deletion with ERROR_ACCESS_DENIED, as on Windows.
#include "file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <tesk/win32/fileapi.h>
#include <tesk/win32/winbase.h>

#include "file_share.h"
#include "handles.h"
#include "internal.h"
#include "path.h"

namespace tesk::win32::internal {
namespace {

constexpr DWORD kFlagBackupSemantics = 0x02000000;

class FileObject : public KernelObject {
 public:
  FileObject(int fd, bool can_read, bool can_write, ShareClaim claim)
      : fd_(fd), can_read_(can_read), can_write_(can_write), claim_(std::move(claim)) {}
  ~FileObject() override { close(fd_); }
  int fd() const { return fd_; }
  bool can_read() const { return can_read_; }
  bool can_write() const { return can_write_; }
  // Keeps a seek and the transfer that follows it together.
  std::mutex& mutex() { return mutex_; }

 private:
  const int fd_;
  const bool can_read_;
  const bool can_write_;
  ShareClaim claim_;
  std::mutex mutex_;
};

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool ReadOnlyMode(mode_t mode) {
  return (mode & S_IWUSR) == 0;
}

DWORD AttributesOf(const struct stat& st, const std::string& linux_path) {
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (ReadOnlyMode(st.st_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
  const size_t slash = linux_path.find_last_of('/');
  const std::string name = slash == std::string::npos ? linux_path : linux_path.substr(slash + 1);
  if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes;
}

// The error of a failed operation on a resolved path whose last component may be missing.
DWORD MissingOrError(int error) {
  return FileErrorFromErrno(error);
}

std::shared_ptr<FileObject> FileFromHandle(HANDLE handle) {
  return ObjectFromHandleAs<FileObject>(handle);
}

DWORD AccessBits(DWORD desired) {
  DWORD bits = 0;
  if (desired & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA | MAXIMUM_ALLOWED)) bits |= kShareRead;
  if (desired & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) bits |= kShareWrite;
  if (desired & (DELETE | GENERIC_ALL)) bits |= kShareDelete;
  return bits;
}

}  // namespace

HANDLE OpenFileHandle(LPCSTR ansi_path, DWORD desired_access, DWORD share_mode, DWORD disposition,
                      DWORD flags_and_attributes) {
  std::string path;
  if (const DWORD error = ResolvePath(ansi_path, &path); error != ERROR_SUCCESS) return FailHandle(error);
  const DWORD access = AccessBits(desired_access);
  const bool want_read = access & kShareRead;
  const bool want_write = access & kShareWrite;

  struct stat st {};
  const bool existed = stat(path.c_str(), &st) == 0;
  if (!existed && errno != ENOENT) return FailHandle(FileErrorFromErrno(errno));
  if (existed && disposition == CREATE_NEW) return FailHandle(ERROR_FILE_EXISTS);
  if (!existed && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING))
    return FailHandle(ERROR_FILE_NOT_FOUND);
  if (existed && S_ISDIR(st.st_mode)) {
    if (!(flags_and_attributes & kFlagBackupSemantics) ||
        (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS))
      return FailHandle(ERROR_ACCESS_DENIED);
  }
  if (existed && ReadOnlyMode(st.st_mode) && !S_ISDIR(st.st_mode) &&
      (want_write || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING ||
       (access & kShareDelete)))
    return FailHandle(ERROR_ACCESS_DENIED);
  if (disposition == TRUNCATE_EXISTING && !want_write) return FailHandle(ERROR_INVALID_PARAMETER);

  int flags = O_CLOEXEC | O_NOCTTY;
  if (existed && S_ISDIR(st.st_mode)) {
    flags |= O_RDONLY | O_DIRECTORY;
  } else if (want_read && want_write) {
    flags |= O_RDWR;
  } else if (want_write) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  // Append-only access writes every block at the end, whoever else appends meanwhile.
  if ((desired_access & FILE_APPEND_DATA) &&
      !(desired_access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)))
    flags |= O_APPEND;
  bool created = false;
  int fd = -1;
  if (!existed) {
    const mode_t mode = (flags_and_attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    fd = open(path.c_str(), flags | O_CREAT | O_EXCL, mode);
    if (fd < 0 && errno == EEXIST && disposition != CREATE_NEW) {
      fd = open(path.c_str(), flags);  // made by someone else meanwhile
    } else {
      created = fd >= 0;
    }
  } else {
    fd = open(path.c_str(), flags);
    if (fd < 0 && errno == EACCES && !want_read && !want_write) fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  }
  if (fd < 0) {
    const int error = errno;
    return FailHandle(error == EEXIST ? ERROR_FILE_EXISTS : MissingOrError(error));
  }
  auto give_up = [&](DWORD error) {
    close(fd);
    if (created) unlink(path.c_str());
    return FailHandle(error);
  };
  if (fstat(fd, &st) != 0) return give_up(FileErrorFromErrno(errno));

  ShareClaim claim;
  if (const DWORD error = claim.Take(st.st_dev, st.st_ino, access, share_mode & 7); error != ERROR_SUCCESS)
    return give_up(error);
  if (!created && S_ISREG(st.st_mode) && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
    if (ftruncate(fd, 0) != 0) return give_up(FileErrorFromErrno(errno));
    if (disposition == CREATE_ALWAYS && (flags_and_attributes & FILE_ATTRIBUTE_READONLY))
      fchmod(fd, st.st_mode & ~static_cast<mode_t>(0222));
  }
  std::shared_ptr<FileObject> file;
  try {
    file = std::make_shared<FileObject>(fd, want_read, want_write, std::move(claim));
  } catch (const std::bad_alloc&) {
    return give_up(ERROR_NOT_ENOUGH_MEMORY);
  }
  const HANDLE handle = InsertHandle(file);
  if (!handle) {
    if (created) unlink(path.c_str());
    return INVALID_HANDLE_VALUE;  // InsertHandle set the last error; the object closes fd
  }
  const bool reports_existing = existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  SetLastError(reports_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace tesk::win32::internal

using namespace tesk::win32;
using namespace tesk::win32::internal;

namespace {

// The position a transfer with an OVERLAPPED starts at; -1 without one.
off_t OverlappedOffset(LPOVERLAPPED overlapped) {
  if (!overlapped) return -1;
  return static_cast<off_t>((static_cast<ULONGLONG>(overlapped->u.s.OffsetHigh) << 32) |
                            overlapped->u.s.Offset);
}

void Complete(LPOVERLAPPED overlapped, DWORD error, DWORD count) {
  if (!overlapped) return;
  overlapped->Internal = error;
  overlapped->InternalHigh = count;
  if (overlapped->hEvent) SetEvent(overlapped->hEvent);
}

// Runs `action` with a path resolved, catching allocation failures.
template <class Action>
BOOL WithPath(LPCSTR ansi_path, Action action) {
  if (!ansi_path) return Fail(ERROR_INVALID_PARAMETER);
  try {
    std::string path;
    if (const DWORD error = ResolvePath(ansi_path, &path); error != ERROR_SUCCESS) return Fail(error);
    const DWORD error = action(path);
    if (error != ERROR_SUCCESS) return Fail(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

DWORD RemoveFile(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return FileErrorFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (!S_ISLNK(st.st_mode) && ReadOnlyMode(st.st_mode)) return ERROR_ACCESS_DENIED;
  return WithAccessChecked(st.st_dev, st.st_ino, kShareDelete, [&]() -> DWORD {
    return unlink(path.c_str()) == 0 ? ERROR_SUCCESS : FileErrorFromErrno(errno);
  });
}

DWORD CopyContents(LPCSTR from, LPCSTR to, BOOL fail_if_exists) {
  const HANDLE source = CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (source == INVALID_HANDLE_VALUE) return GetLastError();
  const auto source_file = FileFromHandle(source);
  struct stat st {};
  if (!source_file || fstat(source_file->fd(), &st) != 0 || S_ISDIR(st.st_mode)) {
    CloseHandle(source);
    return ERROR_ACCESS_DENIED;
  }
  const HANDLE target =
      CreateFileA(to, GENERIC_WRITE, 0, nullptr, fail_if_exists ? CREATE_NEW : CREATE_ALWAYS, 0, nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    CloseHandle(source);
    return error;
  }
  DWORD error = ERROR_SUCCESS;
  std::vector<char> buffer(65536);
  for (;;) {
    DWORD got = 0, put = 0;
    if (!ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      error = GetLastError();
      break;
    }
    if (got == 0) break;
    if (!WriteFile(target, buffer.data(), got, &put, nullptr)) {
      error = GetLastError();
      break;
    }
  }
  const auto target_file = FileFromHandle(target);
  if (error == ERROR_SUCCESS && target_file) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(target_file->fd(), times);
    if (ReadOnlyMode(st.st_mode)) fchmod(target_file->fd(), 0444);
  }
  CloseHandle(target);
  CloseHandle(source);
  if (error != ERROR_SUCCESS) DeleteFileA(to);
  return error;
}

}  // namespace

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  const auto file = FileFromHandle(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (!lpNumberOfBytesRead && !lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
  if (nNumberOfBytesToRead && !lpBuffer) return Fail(ERROR_INVALID_USER_BUFFER);
  if (!file->can_read()) return Fail(ERROR_ACCESS_DENIED);
  std::lock_guard hold(file->mutex());
  off_t offset = OverlappedOffset(lpOverlapped);
  if (offset >= 0 && lseek(file->fd(), offset, SEEK_SET) < 0) return Fail(FileErrorFromErrno(errno));
  auto* out = static_cast<char*>(lpBuffer);
  DWORD done = 0;
  DWORD error = ERROR_SUCCESS;
  while (done < nNumberOfBytesToRead) {
    const ssize_t n = read(file->fd(), out + done, nNumberOfBytesToRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno == EISDIR ? ERROR_INVALID_FUNCTION : FileErrorFromErrno(errno);
      break;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
  if (error == ERROR_SUCCESS && lpOverlapped && done == 0 && nNumberOfBytesToRead) error = ERROR_HANDLE_EOF;
  Complete(lpOverlapped, error, done);
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  const auto file = FileFromHandle(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (!lpNumberOfBytesWritten && !lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
  if (nNumberOfBytesToWrite && !lpBuffer) return Fail(ERROR_INVALID_USER_BUFFER);
  if (!file->can_write()) return Fail(ERROR_ACCESS_DENIED);
  std::lock_guard hold(file->mutex());
  const off_t offset = OverlappedOffset(lpOverlapped);
  if (offset >= 0 && lseek(file->fd(), offset, SEEK_SET) < 0) return Fail(FileErrorFromErrno(errno));
  const auto* in = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  DWORD error = ERROR_SUCCESS;
  while (done < nNumberOfBytesToWrite) {
    const ssize_t n = write(file->fd(), in + done, nNumberOfBytesToWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n == 0 ? ERROR_DISK_FULL : FileErrorFromErrno(errno);
      break;
    }
    done += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
  Complete(lpOverlapped, error, done);
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  const auto file = FileFromHandle(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (!file->can_write()) return Fail(ERROR_ACCESS_DENIED);
  if (fdatasync(file->fd()) != 0 && errno != EINVAL) return Fail(FileErrorFromErrno(errno));
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, LARGE_INTEGER* lpFileSize) {
  const auto file = FileFromHandle(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (!lpFileSize) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st {};
  if (fstat(file->fd(), &st) != 0) return Fail(FileErrorFromErrno(errno));
  lpFileSize->QuadPart = S_ISREG(st.st_mode) ? st.st_size : 0;
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
  const auto value = static_cast<ULONGLONG>(size.QuadPart);
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(value >> 32);
  const auto low = static_cast<DWORD>(value);
  if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);  // a size, not a failure
  return low;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, LARGE_INTEGER* lpNewFilePointer,
                             DWORD dwMoveMethod) {
  const auto file = FileFromHandle(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard hold(file->mutex());
  LONGLONG base = 0;
  if (dwMoveMethod == FILE_CURRENT) {
    base = lseek(file->fd(), 0, SEEK_CUR);
  } else if (dwMoveMethod == FILE_END) {
    struct stat st {};
    if (fstat(file->fd(), &st) != 0) return Fail(FileErrorFromErrno(errno));
    base = st.st_size;
  } else if (dwMoveMethod != FILE_BEGIN) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (base < 0) return Fail(FileErrorFromErrno(errno));
  const LONGLONG target = base + liDistanceToMove.QuadPart;
  if (target < 0) return Fail(ERROR_NEGATIVE_SEEK);
  if (lseek(file->fd(), static_cast<off_t>(target), SEEK_SET) < 0) return Fail(FileErrorFromErrno(errno));
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = target;
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                            DWORD dwMoveMethod) {
  LARGE_INTEGER distance{};
  if (lpDistanceToMoveHigh) {
    distance.QuadPart =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                              static_cast<DWORD>(lDistanceToMove));
  } else {
    distance.QuadPart = lDistanceToMove;
  }
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(hFile, distance, &position, dwMoveMethod)) return INVALID_SET_FILE_POINTER;
  const auto value = static_cast<ULONGLONG>(position.QuadPart);
  if (lpDistanceToMoveHigh) {
    *lpDistanceToMoveHigh = static_cast<LONG>(value >> 32);
  } else if (value > 0xFFFFFFFEull) {
    return Fail(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(value);
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  const auto file = FileFromHandle(hFile);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (!file->can_write()) return Fail(ERROR_ACCESS_DENIED);
  std::lock_guard hold(file->mutex());
  const off_t position = lseek(file->fd(), 0, SEEK_CUR);
  if (position < 0 || ftruncate(file->fd(), position) != 0) return Fail(FileErrorFromErrno(errno));
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  return WithPath(lpFileName, RemoveFile);
}

BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
  if (!lpNewFileName) return Fail(ERROR_INVALID_PARAMETER);
  return WithPath(lpExistingFileName, [&](const std::string& from) -> DWORD {
    struct stat source {};
    if (lstat(from.c_str(), &source) != 0) return FileErrorFromErrno(errno);
    std::string to;
    if (const DWORD error = ResolvePath(lpNewFileName, &to); error != ERROR_SUCCESS) return error;
    struct stat target {};
    bool same_file = false;
    if (lstat(to.c_str(), &target) == 0) {
      if (target.st_dev != source.st_dev || target.st_ino != source.st_ino) return ERROR_ALREADY_EXISTS;
      same_file = true;
      // The same file by another case: rename to the name as written.
      std::string leaf = AnsiToUtf8(lpNewFileName);
      if (leaf.size() >= 2 && leaf[1] == ':') leaf.erase(0, 2);
      if (const size_t cut = leaf.find_last_of("\\/"); cut != std::string::npos) leaf.erase(0, cut + 1);
      to = to.substr(0, to.find_last_of('/') + 1) + leaf;
    }
    const DWORD error = WithAccessChecked(source.st_dev, source.st_ino, kShareDelete, [&]() -> DWORD {
      // No replacing a target that appeared meanwhile, where the file system can say so.
      int rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), same_file ? 0 : RENAME_NOREPLACE);
      if (rc != 0 && errno == EINVAL && !same_file) rc = rename(from.c_str(), to.c_str());
      if (rc == 0) return ERROR_SUCCESS;
      if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
      return errno == EXDEV ? ERROR_NOT_SAME_DEVICE : FileErrorFromErrno(errno);
    });
    if (error != ERROR_NOT_SAME_DEVICE || S_ISDIR(source.st_mode)) return error;
    // Another file system: copy, then remove the original.
    if (const DWORD copied = CopyContents(lpExistingFileName, lpNewFileName, TRUE); copied != ERROR_SUCCESS)
      return copied == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : copied;
    chmod(from.c_str(), source.st_mode | S_IWUSR);
    return RemoveFile(from);
  });
}

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
  if (!lpExistingFileName || !lpNewFileName) return Fail(ERROR_INVALID_PARAMETER);
  try {
    const DWORD error = CopyContents(lpExistingFileName, lpNewFileName, bFailIfExists);
    if (error != ERROR_SUCCESS) return Fail(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  const BOOL ok = WithPath(lpFileName, [&](const std::string& path) -> DWORD {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return FileErrorFromErrno(errno);
    attributes = AttributesOf(st, path);
    return ERROR_SUCCESS;
  });
  return ok ? attributes : INVALID_FILE_ATTRIBUTES;
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  return WithPath(lpFileName, [&](const std::string& path) -> DWORD {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return FileErrorFromErrno(errno);
    const mode_t mode = (dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                            ? (st.st_mode & ~static_cast<mode_t>(0222))
                            : (st.st_mode | S_IWUSR);
    if ((mode & 07777) != (st.st_mode & 07777) && chmod(path.c_str(), mode & 07777) != 0)
      return FileErrorFromErrno(errno);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
  return WithPath(lpPathName, [](const std::string& path) -> DWORD {
    if (mkdir(path.c_str(), 0777) == 0) return ERROR_SUCCESS;
    if (errno == EEXIST) return ERROR_ALREADY_EXISTS;
    return errno == ENOENT ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(errno);
  });
}

BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName) {
  return WithPath(lpPathName, [](const std::string& path) -> DWORD {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return FileErrorFromErrno(errno);
    if (!S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
    if (rmdir(path.c_str()) == 0) return ERROR_SUCCESS;
    return errno == EEXIST ? ERROR_DIR_NOT_EMPTY : FileErrorFromErrno(errno);
  });
}

BOOL WINAPI GetDiskFreeSpaceExA(LPCSTR lpDirectoryName, ULARGE_INTEGER* lpFreeBytesAvailableToCaller,
                                ULARGE_INTEGER* lpTotalNumberOfBytes,
                                ULARGE_INTEGER* lpTotalNumberOfFreeBytes) {
  return WithPath(lpDirectoryName ? lpDirectoryName : ".", [&](const std::string& path) -> DWORD {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
      return errno == ENOENT ? ERROR_PATH_NOT_FOUND : FileErrorFromErrno(errno);
    if (!S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
    struct statvfs vfs {};
    if (statvfs(path.c_str(), &vfs) != 0) return FileErrorFromErrno(errno);
    const ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = vfs.f_bavail * unit;
    if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = vfs.f_blocks * unit;
    if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = vfs.f_bfree * unit;
    return ERROR_SUCCESS;
  });
}

}  // extern "C"
