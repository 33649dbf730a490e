// The usbfs backend: a real device's control pipe through /dev/bus/usb/BBB/DDD.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "usb_backend.h"

namespace tesk::win32::internal {
namespace {

// As long as a control transfer may take before it is given up.
constexpr unsigned kControlTimeoutMs = 5000;

struct UsbfsFunction {
  TeskUsbFunction base;
  int fd;
};

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EPIPE:
      return ERROR_GEN_FAILURE;  // the device stalled the request
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    case ENODEV:
    case ESHUTDOWN:
    case ENXIO:
      return ERROR_DEVICE_NOT_CONNECTED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case EOVERFLOW:
      return ERROR_INVALID_PARAMETER;
    case ENOTTY:
      return ERROR_INVALID_FUNCTION;
    case EBUSY:
      return ERROR_BUSY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD Control(TeskUsbFunction* function, const TeskUsbSetupPacket* setup, DWORD /*flags*/, BYTE* data,
              DWORD* transferred) {
  auto* self = reinterpret_cast<UsbfsFunction*>(function);
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = setup->bmRequestType;
  transfer.bRequest = setup->bRequest;
  transfer.wValue = setup->wValue;
  transfer.wIndex = setup->wIndex;
  transfer.wLength = setup->wLength;
  transfer.timeout = kControlTimeoutMs;
  transfer.data = data;
  int count;
  do {
    count = ioctl(self->fd, USBDEVFS_CONTROL, &transfer);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return ErrorFromErrno(errno);
  *transferred = static_cast<DWORD>(count);
  return ERROR_SUCCESS;
}

DWORD Descriptor(TeskUsbFunction* function, BYTE type, BYTE index, WORD language, BYTE* buffer, DWORD length,
                 DWORD* transferred) {
  TeskUsbSetupPacket setup{};
  setup.bmRequestType = 0x80;  // device to host, standard, device
  setup.bRequest = 0x06;       // GET_DESCRIPTOR
  setup.wValue = static_cast<WORD>((type << 8) | index);
  setup.wIndex = language;
  setup.wLength = static_cast<WORD>(length > 0xFFFF ? 0xFFFF : length);
  return Control(function, &setup, setup.bmRequestType, buffer, transferred);
}

void Close(TeskUsbFunction* function) {
  auto* self = reinterpret_cast<UsbfsFunction*>(function);
  close(self->fd);
  delete self;
}

constexpr TeskUsbFunctionOps kOps = {Descriptor, Control, Close};

}  // namespace

DWORD OpenUsbfsFunction(const std::string& device_node, TeskUsbFunction** out) {
  int fd = open(device_node.c_str(), O_RDWR | O_CLOEXEC);
  // Reading descriptors needs no more than read access.
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = open(device_node.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno);
  auto* self = new (std::nothrow) UsbfsFunction{{&kOps}, fd};
  if (!self) {
    close(fd);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  *out = &self->base;
  return ERROR_SUCCESS;
}

}  // namespace tesk::win32::internal
