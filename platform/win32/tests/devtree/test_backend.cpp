// The device tree tests' USB function backend (see test_backend.h).
#include "test_backend.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <tesk/win32/devtree.h>

namespace {

std::atomic<int> g_live{0};

struct TestFunction {
  TeskUsbFunction base;
  std::string serial;
  std::vector<BYTE> kept;
};

TestFunction* Self(TeskUsbFunction* function) {
  return reinterpret_cast<TestFunction*>(function);
}

std::vector<BYTE> StringDescriptor(const std::string& text) {
  std::vector<BYTE> out = {static_cast<BYTE>(2 + 2 * text.size()), 0x03};
  for (const char c : text) {
    out.push_back(static_cast<BYTE>(c));
    out.push_back(0);
  }
  return out;
}

DWORD Deliver(const std::vector<BYTE>& data, BYTE* buffer, DWORD length, DWORD* transferred) {
  const DWORD count = std::min<DWORD>(static_cast<DWORD>(data.size()), length);
  if (count) std::memcpy(buffer, data.data(), count);
  *transferred = count;
  return ERROR_SUCCESS;
}

DWORD GetDescriptor(TeskUsbFunction* function, BYTE type, BYTE index, WORD language, BYTE* buffer,
                    DWORD length, DWORD* transferred) {
  if (type == 1 && index == 0 && language == 0) {
    const std::vector<BYTE> device(std::begin(devtree_test::kDeviceDescriptor),
                                   std::end(devtree_test::kDeviceDescriptor));
    return Deliver(device, buffer, length, transferred);
  }
  if (type == 3 && index == 0) return Deliver({0x04, 0x03, 0x09, 0x04}, buffer, length, transferred);
  if (type == 3 && language == 0x0409) {
    if (index == 1) return Deliver(StringDescriptor("Vorelle"), buffer, length, transferred);
    if (index == 2) return Deliver(StringDescriptor("Gannet"), buffer, length, transferred);
    if (index == 3) return Deliver(StringDescriptor(Self(function)->serial), buffer, length, transferred);
  }
  return ERROR_GEN_FAILURE;
}

DWORD ControlTransfer(TeskUsbFunction* function, const TeskUsbSetupPacket* setup, DWORD flags, BYTE* data,
                      DWORD* transferred) {
  if (setup->bRequest == devtree_test::kStallRequest) return ERROR_GEN_FAILURE;
  if (!(setup->bmRequestType & 0x80)) {
    Self(function)->kept.assign(data, data + setup->wLength);
    *transferred = setup->wLength;
    return ERROR_SUCCESS;
  }
  if (setup->bRequest == devtree_test::kReadBackRequest)
    return Deliver(Self(function)->kept, data, setup->wLength, transferred);
  const std::vector<BYTE> echo = {setup->bmRequestType,
                                  setup->bRequest,
                                  static_cast<BYTE>(setup->wValue),
                                  static_cast<BYTE>(setup->wValue >> 8),
                                  static_cast<BYTE>(setup->wIndex),
                                  static_cast<BYTE>(setup->wIndex >> 8),
                                  static_cast<BYTE>(setup->wLength),
                                  static_cast<BYTE>(setup->wLength >> 8),
                                  static_cast<BYTE>(flags),
                                  static_cast<BYTE>(flags >> 8),
                                  static_cast<BYTE>(flags >> 16),
                                  static_cast<BYTE>(flags >> 24)};
  return Deliver(echo, data, setup->wLength, transferred);
}

void Close(TeskUsbFunction* function) {
  delete Self(function);
  --g_live;
}

constexpr TeskUsbFunctionOps kOps = {GetDescriptor, ControlTransfer, Close};

}  // namespace

extern "C" TESK_EXPORT DWORD TeskUsbFunctionOpen(const char* /*instance_id*/, const char* argument,
                                                 TeskUsbFunction** function) {
  if (std::string(argument) == "refuse") return ERROR_DEVICE_NOT_CONNECTED;
  *function = &(new TestFunction{{&kOps}, argument, {}})->base;
  ++g_live;
  return ERROR_SUCCESS;
}

extern "C" TESK_EXPORT int DevtreeTestLiveCount() {
  return g_live.load();
}
