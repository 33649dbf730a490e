// Simulated Gannet players: attach one (its USB device, disk and volume appear in the device
// tree, its folder under a drive letter), detach it, list them, inject faults. Attached players
// live in the prefix, so every process of the prefix sees them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <tesk/sim_usb.h>
#include <tesk/win32/types.h>

namespace tesk::sim {

struct PlayerInfo {
  std::string name;
  std::string serial_number;
  std::string folder;       // the volume's contents, a Linux path
  char letter = 0;          // the drive letter, 'E' for E:
  std::string instance_id;  // the USB device's node, USB\VID_7A3D&PID_0041\...
  std::string device_path;  // its GUID_CLASS_HOXA_DEVICE interface, for CreateFileA
  std::string volume_name;  // \\?\Volume{...}\ of its volume
};

struct AttachOptions {
  std::string folder;         // empty: <prefix>/players/<name>, created if missing
  std::string serial_number;  // empty: sixteen hexadecimal digits made up at attach
  char letter = 0;            // 0: the first free letter from E
};

enum class Error {
  kNone,
  kBadName,          // not 1 to 32 letters, digits, '-', '_' or '.'
  kBadSerialNumber,  // see IsValidSerialNumber
  kBadLetter,        // not C to Z
  kBadFolder,        // missing, not a folder, cannot be made, or another player's
  kNameInUse,
  kLetterInUse,
  kNoFreeLetter,
  kUnknownPlayer,
  kSystem,  // the registry or the device tree failed
};

struct Status {
  Error error = Error::kNone;
  DWORD code = 0;       // the Win32 error code that goes with it
  std::string message;  // what went wrong, in words

  bool ok() const { return error == Error::kNone; }
  explicit operator bool() const { return ok(); }
};

// The registry key under HKLM that holds one subkey per attached player.
inline constexpr char kPlayersKey[] = "Software\\Vorelle\\Tesk\\Simulator";

// Attaches a player; on failure nothing of it is left behind.
TESK_SIM_API Status Attach(const std::string& name, const AttachOptions& options = {},
                           PlayerInfo* info = nullptr);
// Detaches a player: its nodes, interfaces and drive letter go (with removal notices); its
// folder stays.
TESK_SIM_API Status Detach(const std::string& name);
// Attached players, by name.
TESK_SIM_API std::vector<PlayerInfo> List();
TESK_SIM_API std::optional<PlayerInfo> Find(const std::string& name);

// The faults a player injects, as every process that talks to it sees them.
TESK_SIM_API Status SetFaults(const std::string& name, const FaultSettings& faults);
TESK_SIM_API Status GetFaults(const std::string& name, FaultSettings* faults);

}  // namespace tesk::sim
