// Where an attached player lives in the prefix: HKLM\Software\Vorelle\Tesk\Simulator\<name>
// holds what it was attached with and where it is in the device tree; its subkey "Faults" holds
// the faults it injects. The key of a player exists from the start of its attach to the end of
// its detach; "Faults" is written last at attach and taken first at detach, so a backend that
// finds it talks to a whole player.
#pragma once

#include <string>

#include <tesk/sim.h>
#include <tesk/win32/types.h>

namespace tesk::sim::internal {

// Value names of a player's key.
inline constexpr char kFolderValue[] = "Folder";
inline constexpr char kSerialNumberValue[] = "SerialNumber";
inline constexpr char kLetterValue[] = "DriveLetter";
inline constexpr char kInstanceIdValue[] = "InstanceId";
inline constexpr char kDevicePathValue[] = "DevicePath";
inline constexpr char kVolumeNameValue[] = "VolumeName";
inline constexpr char kFaultsKey[] = "Faults";

// "Software\Vorelle\Tesk\Simulator\<name>" (relative to HKLM).
std::string PlayerKeyPath(const std::string& name);

// Stores UTF-8 text as REG_SZ in the ANSI code page when it survives the trip, else as
// REG_BINARY holding the UTF-8 bytes.
LONG WriteText(HKEY key, const char* name, const std::string& utf8);

// A player's stored record; false when it is not attached.
bool ReadPlayer(const std::string& name, PlayerInfo* info);

// The faults of an attached player: ERROR_SUCCESS, or ERROR_DEVICE_NOT_CONNECTED when it is not
// attached (any more).
DWORD ReadFaults(const std::string& name, FaultSettings* faults);
DWORD WriteFaults(const std::string& name, const FaultSettings& faults);

}  // namespace tesk::sim::internal
