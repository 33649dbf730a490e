// Share modes are open-file-description locks on a lock file per file (named by device and
// inode) in the prefix's runtime folder, so that every process of the prefix sees them and a
// process that dies lets go of them. A lock file is kept rather than locks on the file itself
// because a read-only file or a write-only open cannot carry both kinds of lock.
//
// Bytes of a lock file: 0 is a guard held for writing while an open checks and takes its
// claim; 1..3 are read-locked by the opens that have read, write and delete access; 4..6 by
// the opens that deny read, write and delete to others. Lock files stay behind (a few bytes
// each on tmpfs): removing one could race with an open that is taking it.
#include "file_share.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <tesk/win32/prefix.h>
#include <tesk/win32/winerror.h>

#include "path.h"

namespace tesk::win32::internal {
namespace {

constexpr off_t kGuard = 0, kAccessBase = 1, kDenyBase = 4;

bool Lock(int fd, short type, off_t byte, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Whether another open description holds a lock on `byte`.
bool Held(int fd, off_t byte) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
  return lock.l_type != F_UNLCK;
}

DWORD OpenLockFile(dev_t device, ino_t inode, int* fd) {
  const std::string folder = RuntimePath() + "/files";
  if (mkdir(RuntimePath().c_str(), 0700) != 0 && errno != EEXIST) return FileErrorFromErrno(errno);
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return FileErrorFromErrno(errno);
  const std::string name = folder + "/" + std::to_string(static_cast<unsigned long long>(device)) + "-" +
                           std::to_string(static_cast<unsigned long long>(inode)) + ".lock";
  *fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return *fd < 0 ? FileErrorFromErrno(errno) : ERROR_SUCCESS;
}

// Whether an open with `access` that lets others `share` may join the claims on `fd`.
bool Compatible(int fd, DWORD access, DWORD share) {
  for (int bit = 0; bit < 3; ++bit) {
    const DWORD mask = 1u << bit;
    if ((access & mask) && Held(fd, kDenyBase + bit)) return false;
    if (!(share & mask) && Held(fd, kAccessBase + bit)) return false;
  }
  return true;
}

}  // namespace

ShareClaim::~ShareClaim() {
  if (fd_ >= 0) close(fd_);
}

DWORD ShareClaim::Take(dev_t device, ino_t inode, DWORD access, DWORD share) {
  if (access == 0) return ERROR_SUCCESS;  // an open for attributes only shares with everyone
  int fd = -1;
  if (const DWORD error = OpenLockFile(device, inode, &fd); error != ERROR_SUCCESS) return error;
  if (!Lock(fd, F_WRLCK, kGuard, true)) {
    close(fd);
    return ERROR_GEN_FAILURE;
  }
  DWORD result = ERROR_SUCCESS;
  if (!Compatible(fd, access, share)) {
    result = ERROR_SHARING_VIOLATION;
  } else {
    for (int bit = 0; bit < 3 && result == ERROR_SUCCESS; ++bit) {
      const DWORD mask = 1u << bit;
      if ((access & mask) && !Lock(fd, F_RDLCK, kAccessBase + bit, false)) result = ERROR_GEN_FAILURE;
      if (!(share & mask) && !Lock(fd, F_RDLCK, kDenyBase + bit, false)) result = ERROR_GEN_FAILURE;
    }
  }
  Lock(fd, F_UNLCK, kGuard, false);
  if (result != ERROR_SUCCESS) {
    close(fd);  // drops whatever part of the claim was taken
    return result;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  return ERROR_SUCCESS;
}

DWORD BeginAccessCheck(dev_t device, ino_t inode, DWORD access, int* guard_fd) {
  int fd = -1;
  if (const DWORD error = OpenLockFile(device, inode, &fd); error != ERROR_SUCCESS) return error;
  if (!Lock(fd, F_WRLCK, kGuard, true)) {
    close(fd);
    return ERROR_GEN_FAILURE;
  }
  if (!Compatible(fd, access, kShareRead | kShareWrite | kShareDelete)) {
    close(fd);
    return ERROR_SHARING_VIOLATION;
  }
  *guard_fd = fd;
  return ERROR_SUCCESS;
}

void EndAccessCheck(int guard_fd) {
  close(guard_fd);
}

}  // namespace tesk::win32::internal
