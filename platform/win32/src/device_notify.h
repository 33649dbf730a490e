// How the device tree tells every process of the prefix that a device interface came or went.
#pragma once

#include <string>

#include <tesk/win32/types.h>

namespace tesk::win32::internal {

// Sends WM_DEVICECHANGE (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE) with a
// DEV_BROADCAST_DEVICEINTERFACE_A naming `symbolic_link` to every window, in every process of
// the prefix, registered for `interface_class` through RegisterDeviceNotificationA. Returns once
// every live receiver has been handed the notice; a receiver that has died is forgotten.
// Exported only so that the device tree's helper programs and tests can announce changes;
// not for applications.
TESK_WIN32_API void BroadcastDeviceInterfaceChange(REFGUID interface_class, const std::string& symbolic_link,
                                                   bool arrival);

}  // namespace tesk::win32::internal
