// A USB function backend for hoxa's tests that answers every request with the request itself,
// so a test sees through hoxa exactly what reached the device:
//   descriptor read: type, index, language (2 bytes), then the buffer length (4 bytes);
//   control transfer, device to host: the caller's flags (4 bytes), bmRequestType, bRequest,
//     wValue, wIndex, then wLength (2 bytes);
//   control transfer, host to device: takes the whole data stage.
// Everything little-endian and cut to the buffer. Descriptor type 0xFF and request 0xFF stall.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include <tesk/win32/devtree.h>

#include "echo_backend.h"

namespace {

void PutLittleEndian(std::vector<BYTE>& out, DWORD value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

DWORD Deliver(const std::vector<BYTE>& answer, BYTE* buffer, DWORD length, DWORD* transferred) {
  const DWORD count = std::min<DWORD>(static_cast<DWORD>(answer.size()), length);
  if (count) std::memcpy(buffer, answer.data(), count);
  *transferred = count;
  return ERROR_SUCCESS;
}

DWORD GetDescriptor(TeskUsbFunction*, BYTE type, BYTE index, WORD language, BYTE* buffer, DWORD length,
                    DWORD* transferred) {
  if (type == hoxa_test::kStall) return ERROR_GEN_FAILURE;
  std::vector<BYTE> answer = {type, index};
  PutLittleEndian(answer, language, 2);
  PutLittleEndian(answer, length, 4);
  return Deliver(answer, buffer, length, transferred);
}

DWORD ControlTransfer(TeskUsbFunction*, const TeskUsbSetupPacket* setup, DWORD flags, BYTE* data,
                      DWORD* transferred) {
  if (setup->bRequest == hoxa_test::kStall) return ERROR_GEN_FAILURE;
  if (!(setup->bmRequestType & 0x80)) {
    *transferred = setup->wLength;
    return ERROR_SUCCESS;
  }
  std::vector<BYTE> answer;
  PutLittleEndian(answer, flags, 4);
  answer.push_back(setup->bmRequestType);
  answer.push_back(setup->bRequest);
  PutLittleEndian(answer, setup->wValue, 2);
  PutLittleEndian(answer, setup->wIndex, 2);
  PutLittleEndian(answer, setup->wLength, 2);
  return Deliver(answer, data, setup->wLength, transferred);
}

void Close(TeskUsbFunction* function) {
  delete function;
}

const TeskUsbFunctionOps kOps = {GetDescriptor, ControlTransfer, Close};

}  // namespace

extern "C" TESK_EXPORT DWORD TeskUsbFunctionOpen(const char*, const char*, TeskUsbFunction** function) {
  *function = new (std::nothrow) TeskUsbFunction{&kOps};
  return *function ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}
