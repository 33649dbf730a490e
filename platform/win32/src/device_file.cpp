// CreateFileA on device interface paths, the device handle, and DeviceIoControl with the two
// requests of the players' USB access driver.
//
// Sharing between opens of one device, in any process of the prefix, is an open-file-
// description lock on the device's lock file in the runtime folder: an exclusive open (share
// mode 0) holds it for writing, a shared one for reading. The kernel drops it when the handle's
// descriptor is closed or its process dies, so a crashed holder never keeps a device busy.
// Share modes are not told apart further: any non-zero mode shares with every other shared open.
//
// Other paths are files, opened by file.cpp.
#include <tesk/win32/fileapi.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <tesk/win32/devtree.h>
#include <tesk/win32/winbase.h>

#include "devtree_internal.h"
#include "devtree_store.h"
#include "file.h"
#include "handles.h"
#include "internal.h"
#include "usb_backend.h"

namespace tesk::win32 {
namespace {

constexpr DWORD kIoctlControlTransfer = CTL_CODE(0x8000, 0x800, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr DWORD kIoctlGetDescriptor = CTL_CODE(0x8000, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
static_assert(kIoctlControlTransfer == 0x80002002 && kIoctlGetDescriptor == 0x80002006);

constexpr DWORD kControlRequestSize = 10;
constexpr DWORD kDescriptorRequestSize = 4;

class DeviceFile : public internal::KernelObject {
 public:
  DeviceFile(std::string path, DWORD generation, int lock_fd, std::unique_ptr<internal::UsbFunction> function)
      : path_(std::move(path)), generation_(generation), lock_fd_(lock_fd), function_(std::move(function)) {}
  ~DeviceFile() override {
    function_.reset();
    if (lock_fd_ >= 0) close(lock_fd_);
  }

  const std::string& path() const { return path_; }
  DWORD generation() const { return generation_; }
  // Requests go to the backend one at a time.
  std::mutex& mutex() { return mutex_; }
  internal::UsbFunction& function() { return *function_; }

 private:
  const std::string path_;  // normalised device path
  const DWORD generation_;  // of the attachment it was opened on
  const int lock_fd_;
  std::mutex mutex_;
  std::unique_ptr<internal::UsbFunction> function_;
};

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// One lock file per attachment: a device that went and came back is a new device, which the
// handles of the old one do not keep busy.
std::string LockFileName(const std::string& folded_id, DWORD generation) {
  std::string name = folded_id;
  std::replace(name.begin(), name.end(), '\\', '#');
  return devtree::LockFolder() + "/" + name + "." + std::to_string(generation) + ".lock";
}

// Takes the device's sharing lock; the descriptor that holds it, or -1 with *error set.
int TakeSharingLock(const std::string& folded_id, DWORD generation, bool exclusive, DWORD* error) {
  const int fd = open(LockFileName(folded_id, generation).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
    return -1;
  }
  struct flock lock {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    *error = (errno == EAGAIN || errno == EACCES) ? ERROR_SHARING_VIOLATION : ERROR_GEN_FAILURE;
    close(fd);
    return -1;
  }
  return fd;
}

bool IsDevicePath(const std::string& path) {
  return path.size() > 4 && (path.rfind("\\\\?\\", 0) == 0 || path.rfind("\\\\.\\", 0) == 0);
}

HANDLE OpenDevice(const std::string& path, DWORD share_mode, DWORD disposition) {
  devtree::Tree tree;
  if (const LONG rc = devtree::LoadTree(&tree); rc != ERROR_SUCCESS)
    return FailHandle(static_cast<DWORD>(rc));
  const devtree::Interface* entry = tree.FindInterface(path);
  if (!entry || !tree.Present(*entry)) return FailHandle(ERROR_FILE_NOT_FOUND);
  if (disposition == CREATE_NEW) return FailHandle(ERROR_FILE_EXISTS);
  if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return FailHandle(ERROR_INVALID_PARAMETER);
  const devtree::Node* node = tree.FindPresent(entry->instance);
  if (node->usb_backend.empty()) return FailHandle(ERROR_NOT_SUPPORTED);

  DWORD error = ERROR_SUCCESS;
  const bool exclusive = (share_mode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) == 0;
  const int lock_fd = TakeSharingLock(node->folded, entry->generation, exclusive, &error);
  if (lock_fd < 0) return FailHandle(error);

  std::unique_ptr<internal::UsbFunction> function;
  error = internal::OpenUsbFunction(node->id, node->usb_backend, node->usb_argument, &function);
  if (error != ERROR_SUCCESS) {
    close(lock_fd);
    return FailHandle(error);
  }
  std::shared_ptr<DeviceFile> file;
  try {
    file = std::make_shared<DeviceFile>(entry->path, entry->generation, lock_fd, std::move(function));
  } catch (const std::bad_alloc&) {
    close(lock_fd);
    return FailHandle(ERROR_NOT_ENOUGH_MEMORY);
  }
  const HANDLE handle = internal::InsertHandle(file);
  return handle ? handle : INVALID_HANDLE_VALUE;  // InsertHandle set the last error
}

// Whether the device behind an open handle is still attached: the same attachment, not one
// that went and came back.
bool StillPresent(const DeviceFile& file) {
  devtree::Tree tree;
  if (devtree::LoadTree(&tree) != ERROR_SUCCESS) return false;
  const devtree::Interface* entry = tree.FindInterface(file.path());
  return entry && tree.Present(*entry) && entry->generation == file.generation();
}

WORD ReadWord(const BYTE* p) {
  return static_cast<WORD>(p[0] | (p[1] << 8));
}

DWORD ReadDword(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
         (static_cast<DWORD>(p[3]) << 24);
}

void Complete(LPOVERLAPPED overlapped, DWORD error, DWORD count) {
  if (!overlapped) return;
  overlapped->Internal = error;
  overlapped->InternalHigh = count;
  if (overlapped->hEvent) SetEvent(overlapped->hEvent);
}

}  // namespace
}  // namespace tesk::win32

using namespace tesk::win32;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
  if (!lpFileName) return FailHandle(ERROR_INVALID_PARAMETER);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return FailHandle(ERROR_INVALID_PARAMETER);
  try {
    const std::string path = internal::AnsiToUtf8(lpFileName);
    if (IsDevicePath(path) && path.find('#') != std::string::npos)
      return OpenDevice(devtree::NormalizeDevicePath(path), dwShareMode, dwCreationDisposition);
    if (IsDevicePath(path)) return FailHandle(ERROR_FILE_NOT_FOUND);
    return internal::OpenFileHandle(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                                    dwFlagsAndAttributes);
  } catch (const std::bad_alloc&) {
    return FailHandle(ERROR_NOT_ENOUGH_MEMORY);
  }
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
  const auto file = internal::ObjectFromHandleAs<DeviceFile>(hDevice);
  if (!file) return Fail(ERROR_INVALID_HANDLE);
  if (!lpBytesReturned && !lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
  DWORD count = 0;
  if (lpBytesReturned) *lpBytesReturned = 0;
  if (nOutBufferSize && !lpOutBuffer) return Fail(ERROR_INVALID_PARAMETER);
  const auto* in = static_cast<const BYTE*>(lpInBuffer);
  auto* out = static_cast<BYTE*>(lpOutBuffer);

  DWORD error = ERROR_SUCCESS;
  switch (dwIoControlCode) {
    case kIoctlGetDescriptor: {
      if (!in || nInBufferSize != kDescriptorRequestSize) return Fail(ERROR_INVALID_PARAMETER);
      if (!StillPresent(*file)) return Fail(ERROR_DEVICE_NOT_CONNECTED);
      std::lock_guard lock(file->mutex());
      error = file->function().GetDescriptor(in[0], in[1], ReadWord(in + 2), out,
                                             std::min<DWORD>(nOutBufferSize, 0xFFFF), &count);
      break;
    }
    case kIoctlControlTransfer: {
      if (!in || nInBufferSize != kControlRequestSize || nOutBufferSize > 0xFFFF)
        return Fail(ERROR_INVALID_PARAMETER);
      if (!StillPresent(*file)) return Fail(ERROR_DEVICE_NOT_CONNECTED);
      TeskUsbSetupPacket setup{};
      setup.bmRequestType = in[4];
      setup.bRequest = in[5];
      setup.wValue = ReadWord(in + 6);
      setup.wIndex = ReadWord(in + 8);
      setup.wLength = static_cast<WORD>(nOutBufferSize);
      std::lock_guard lock(file->mutex());
      error = file->function().ControlTransfer(setup, ReadDword(in), out, &count);
      break;
    }
    default:
      return Fail(ERROR_INVALID_FUNCTION);
  }
  if (error != ERROR_SUCCESS) {
    Complete(lpOverlapped, error, 0);
    return Fail(error);
  }
  if (lpBytesReturned) *lpBytesReturned = count;
  Complete(lpOverlapped, ERROR_SUCCESS, count);
  return TRUE;
}

}  // extern "C"
