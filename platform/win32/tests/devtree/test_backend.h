// A USB function backend for the device tree's tests, loaded by path as the simulated
// player's module is. Its argument is the device's serial number, which its string
// descriptor 3 returns; "refuse" makes the open fail with ERROR_DEVICE_NOT_CONNECTED.
//
// Control transfers:
//   IN,  bRequest kEchoRequest:  the data stage is the request as the backend received it,
//                                 kEchoSize bytes: bmRequestType, bRequest, wValue, wIndex,
//                                 wLength (little-endian), flags (4 bytes), cut to wLength.
//   OUT, any bRequest:            the data stage is kept ...
//   IN,  bRequest kReadBackRequest: ... and returned.
//   bRequest kStallRequest:        stalls (ERROR_GEN_FAILURE).
// Unknown descriptors stall too.
#pragma once

#include <tesk/win32/types.h>

namespace devtree_test {

constexpr BYTE kEchoRequest = 0x01;
constexpr BYTE kReadBackRequest = 0x02;
constexpr BYTE kStallRequest = 0xFF;
constexpr DWORD kEchoSize = 12;

constexpr BYTE kDeviceDescriptor[18] = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x3D,
                                        0x7A, 0x01, 0x00, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01};

// Functions opened and not yet closed, in this process.
using LiveCountProc = int (*)();
constexpr char kLiveCountEntry[] = "DevtreeTestLiveCount";

}  // namespace devtree_test
