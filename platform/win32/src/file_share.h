// Share modes between the opens of one file, in every process of a prefix.
#pragma once

#include <sys/types.h>

#include <tesk/win32/types.h>

namespace tesk::win32::internal {

// What an open may do to the file (FILE_SHARE_* bits: read, write, delete).
constexpr DWORD kShareRead = 1, kShareWrite = 2, kShareDelete = 4;

// An open's claim on a file: holds its access and its denials until destroyed.
class ShareClaim {
 public:
  ShareClaim() = default;
  ~ShareClaim();
  ShareClaim(const ShareClaim&) = delete;
  ShareClaim& operator=(const ShareClaim&) = delete;
  ShareClaim(ShareClaim&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

  // Claims `access` (kShare* bits) on the file (device, inode) letting others share
  // `share`. ERROR_SHARING_VIOLATION when it conflicts with another open's claim.
  DWORD Take(dev_t device, ino_t inode, DWORD access, DWORD share);

 private:
  int fd_ = -1;
};

// Runs `action` while no open of the file can start, if no open's claim denies `access`;
// ERROR_SHARING_VIOLATION otherwise. For deleting and renaming without an open handle.
template <class Action>
DWORD WithAccessChecked(dev_t device, ino_t inode, DWORD access, Action action);

// The untemplated part of WithAccessChecked: the guard's descriptor, or an error.
DWORD BeginAccessCheck(dev_t device, ino_t inode, DWORD access, int* guard_fd);
void EndAccessCheck(int guard_fd);

template <class Action>
DWORD WithAccessChecked(dev_t device, ino_t inode, DWORD access, Action action) {
  int guard = -1;
  if (const DWORD error = BeginAccessCheck(device, inode, access, &guard); error != 0) return error;
  const DWORD result = action();
  EndAccessCheck(guard);
  return result;
}

}  // namespace tesk::win32::internal
