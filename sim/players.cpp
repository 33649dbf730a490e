// Attaching and detaching players: their nodes in the device tree, their drive letter, their
// record in the registry.
//
// A player's nodes, as a Gannet sits on a Windows machine:
//   USB\VID_7A3D&PID_0041\<serial>                          the USB device
//     USB\VID_7A3D&PID_0041&MI_00\8&<tag>&0&0000            its vendor interface: the access
//                                                           driver's GUID_CLASS_HOXA_DEVICE
//                                                           interface, reached through tesksim
//     USBSTOR\DISK&VEN_HOLVENN&PROD_GANNET_Q41&REV_1.00\8&<tag>&0     its storage
//       STORAGE\VOLUME\9&<tag>&0                            the volume: the folder, a letter
// The interface's parent is the USB device, whose subtree holds the disk and the volume: that
// is where drive-letter discovery looks. <tag> comes from the device's instance id, so a player
// attached again finds its phantoms (and its volume name) again.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include <tesk/sim.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/prefix.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/windows.h>

#include "player_store.h"

namespace tesk::sim {
namespace {

namespace fs = std::filesystem;
using tesk::win32::RegKey;
using namespace tesk::sim::internal;

// Found next to the stand-in's own library, in the build tree as after installation, by every
// process that opens a player.
constexpr char kBackendModule[] = "libtesksim.so";
constexpr char kDeviceId[] = "USB\\VID_7A3D&PID_0041";

Status Fail(Error error, DWORD code, std::string message) {
  return {error, code, std::move(message)};
}

bool IsValidName(const std::string& name) {
  if (name.empty() || name.size() > 32 || !std::isalnum(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// FNV-1a over the upper-case text: the same tag for the same device, whatever its case.
DWORD Tag(const std::string& text) {
  DWORD hash = 2166136261u;
  for (char c : Upper(text)) hash = (hash ^ static_cast<BYTE>(c)) * 16777619u;
  return hash;
}

// Sixteen hexadecimal digits, as a Gannet's serial number reads.
std::string MakeSerialNumber() {
  GUID guid{};
  CoCreateGuid(&guid);
  const auto* bytes = reinterpret_cast<const BYTE*>(&guid);
  std::string serial;
  for (int i = 0; i < 8; ++i) serial += fmt::format("{:02X}", bytes[i] ^ bytes[15 - i]);
  return serial;
}

// A serial number stands as the device's instance id when it is plain (Windows does the
// same for devices that have one); otherwise the id is made up from the port, as Windows does.
std::string DeviceInstanceId(const std::string& serial, const std::string& name, bool use_serial) {
  if (use_serial) return fmt::format("{}\\{}", kDeviceId, serial);
  return fmt::format("{}\\7&{:08X}&0&1", kDeviceId, Tag(name));
}

bool IsPlainSerial(const std::string& serial) {
  return serial.size() <= 64 && std::all_of(serial.begin(), serial.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) != 0;
         });
}

// A Linux folder for the volume: the one given, which must exist, or the player's own folder
// in the prefix, made when missing (*made says so).
Status PrepareFolder(const std::string& name, const std::string& given, std::string* folder, bool* made) {
  std::error_code error;
  *made = false;
  if (given.empty()) {
    const fs::path path = fs::path(tesk::win32::PrefixPath()) / "players" / name;
    if (!fs::is_directory(path, error)) {
      *made = fs::create_directories(path, error);
      if (error || !fs::is_directory(path)) {
        return Fail(Error::kBadFolder, ERROR_ACCESS_DENIED,
                    fmt::format("cannot make the folder {}: {}", path.string(), error.message()));
      }
    }
    *folder = path.string();
    return {};
  }
  const fs::path path = fs::absolute(fs::path(given), error).lexically_normal();
  if (error || !fs::exists(path, error)) {
    return Fail(Error::kBadFolder, ERROR_PATH_NOT_FOUND, fmt::format("the folder {} does not exist", given));
  }
  if (!fs::is_directory(path, error)) {
    return Fail(Error::kBadFolder, ERROR_DIRECTORY, fmt::format("{} is not a folder", given));
  }
  std::string text = path.string();
  if (text.size() > 1 && text.back() == '/') text.pop_back();
  *folder = text;
  return {};
}

// Undoes a half-made attach, newest first.
class Rollback {
 public:
  explicit Rollback(std::string name) : name_(std::move(name)) {}
  ~Rollback() {
    if (done_) return;
    if (!device_.empty()) tesk::win32::RemoveDevice(device_);
    DeleteRecord(name_);
    std::error_code ignored;
    if (!made_folder_.empty()) fs::remove(made_folder_, ignored);  // only while still empty
  }
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;

  void DeviceAdded(const std::string& instance_id) { device_ = instance_id; }
  void FolderMade(const std::string& folder) { made_folder_ = folder; }
  void Keep() { done_ = true; }

  static void DeleteRecord(const std::string& name) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (PlayerKeyPath(name) + "\\" + kFaultsKey).c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, PlayerKeyPath(name).c_str());
  }

 private:
  std::string name_;
  std::string device_;
  std::string made_folder_;
  bool done_ = false;
};

Status TreeFailure(DWORD code, const std::string& what, const std::string& why) {
  return Fail(Error::kSystem, code, why.empty() ? "cannot add " + what : why);
}

}  // namespace

Status Attach(const std::string& name, const AttachOptions& options, PlayerInfo* info) {
  using namespace tesk::win32;
  if (!IsValidName(name)) {
    return Fail(Error::kBadName, ERROR_INVALID_NAME,
                fmt::format("\"{}\" is not a player name: use 1 to 32 letters, digits, '-', '_' or '.', "
                            "starting with a letter or digit",
                            name));
  }
  const std::string serial = options.serial_number.empty() ? MakeSerialNumber() : options.serial_number;
  if (!IsValidSerialNumber(serial)) {
    return Fail(
        Error::kBadSerialNumber, ERROR_INVALID_PARAMETER,
        fmt::format("\"{}\" cannot be a serial number: use 1 to 126 printable ASCII characters", serial));
  }
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(options.letter)));
  if (options.letter != 0 && (letter < 'E' || letter > 'Z')) {
    return Fail(Error::kBadLetter, ERROR_INVALID_DRIVE,
                fmt::format("\"{}\" is not a drive letter from E to Z", options.letter));
  }

  // The registry key is the claim on the name: of two processes attaching the same name, one
  // creates it and the other finds it.
  RegKey key;
  DWORD disposition = 0;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, PlayerKeyPath(name).c_str(), 0, nullptr,
                                REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.Put(), &disposition);
  if (result != ERROR_SUCCESS) {
    return Fail(Error::kSystem, static_cast<DWORD>(result), "cannot record the player in the registry");
  }
  if (disposition != REG_CREATED_NEW_KEY) {
    return Fail(Error::kNameInUse, ERROR_ALREADY_EXISTS,
                fmt::format("a player named \"{}\" is attached already", name));
  }
  Rollback rollback(name);

  PlayerInfo player;
  player.name = name;
  player.serial_number = serial;
  bool made = false;
  if (Status folder = PrepareFolder(name, options.folder, &player.folder, &made); !folder) return folder;
  if (made) rollback.FolderMade(player.folder);
  // A drive letter leads to its volume through the folder, so two players cannot share one.
  for (const PlayerInfo& other : List()) {
    std::error_code error;
    if (Upper(other.name) != Upper(name) && fs::equivalent(other.folder, player.folder, error)) {
      return Fail(Error::kBadFolder, ERROR_SHARING_VIOLATION,
                  fmt::format("the folder {} is the volume of player {} already", player.folder, other.name));
    }
  }

  // The USB device; a plain serial number that another device uses already gives way.
  std::string why;
  bool use_serial = IsPlainSerial(serial);
  DWORD code = ERROR_SUCCESS;
  for (;;) {
    player.instance_id = DeviceInstanceId(serial, name, use_serial);
    DeviceNodeInfo device;
    device.instance_id = player.instance_id;
    device.friendly_name = "Holvenn Q41";
    device.description = "Gannet Q41";
    device.hardware_ids = {std::string(kDeviceId) + "&REV_0100", kDeviceId};
    code = AddDeviceNode(device, &why);
    if (code == ERROR_ALREADY_EXISTS && use_serial) {
      use_serial = false;
      continue;
    }
    break;
  }
  if (code != ERROR_SUCCESS) return TreeFailure(code, "the USB device", why);
  rollback.DeviceAdded(player.instance_id);

  const DWORD tag = Tag(player.instance_id);
  DeviceNodeInfo access;
  access.instance_id = fmt::format("{}&MI_00\\8&{:08X}&0&0000", kDeviceId, tag);
  access.parent_id = player.instance_id;
  access.friendly_name = "Holvenn Q41";
  access.description = "Gannet Q41 vendor interface";
  access.hardware_ids = {std::string(kDeviceId) + "&REV_0100&MI_00", std::string(kDeviceId) + "&MI_00"};
  access.usb_access = {kBackendModule, name};
  if (code = AddDeviceNode(access, &why); code != ERROR_SUCCESS)
    return TreeFailure(code, "the USB interface", why);

  DeviceNodeInfo disk;
  disk.instance_id = fmt::format("USBSTOR\\DISK&VEN_HOLVENN&PROD_GANNET_Q41&REV_1.00\\8&{:08X}&0", tag);
  disk.parent_id = player.instance_id;
  disk.friendly_name = "Holvenn Gannet Q41 USB Device";
  disk.description = "Disk drive";
  disk.hardware_ids = {"USBSTOR\\DiskHolvenn_Gannet_Q41______1.00", "USBSTOR\\DiskHolvenn_Gannet_Q41______",
                       "USBSTOR\\DiskHolvenn_", "USBSTOR\\GenDisk"};
  if (code = AddDeviceNode(disk, &why); code != ERROR_SUCCESS) return TreeFailure(code, "the disk", why);

  VolumeNodeInfo volume;
  volume.instance_id = fmt::format("STORAGE\\VOLUME\\9&{:08X}&0", tag);
  volume.parent_id = disk.instance_id;
  volume.friendly_name = "Generic volume";
  volume.folder = player.folder;
  volume.drive_letter = letter;
  VolumeInfo mapped;
  code = AddVolume(volume, &mapped, &why);
  if (code == ERROR_ALREADY_EXISTS && letter != 0) {
    return Fail(Error::kLetterInUse, ERROR_ALREADY_EXISTS, fmt::format("drive letter {}: is in use", letter));
  }
  if (code != ERROR_SUCCESS) return TreeFailure(code, "the volume", why);
  if (mapped.drive_letter == 0) {
    return Fail(Error::kNoFreeLetter, ERROR_NO_MORE_ITEMS, "every drive letter from E to Z is in use");
  }
  player.letter = mapped.drive_letter;
  player.volume_name = mapped.volume_name;
  if (code = AddDeviceInterface(disk.instance_id, GUID_DEVINTERFACE_DISK, nullptr, &why);
      code != ERROR_SUCCESS) {
    return TreeFailure(code, "the disk's interface", why);
  }
  player.device_path = DeviceInterfacePath(access.instance_id, GUID_CLASS_HOXA_DEVICE);

  // The record is whole before the interface arrives: a process told of the arrival may open
  // the player at once, and its backend reads the record.
  const std::pair<const char*, std::string> values[] = {
      {kFolderValue, player.folder},
      {kSerialNumberValue, player.serial_number},
      {kLetterValue, std::string(1, player.letter)},
      {kInstanceIdValue, player.instance_id},
      {kDevicePathValue, player.device_path},
      {kVolumeNameValue, player.volume_name},
  };
  for (const auto& [value_name, text] : values) {
    if (result = WriteText(key.Get(), value_name, text); result != ERROR_SUCCESS) {
      return Fail(Error::kSystem, static_cast<DWORD>(result), "cannot record the player in the registry");
    }
  }
  RegKey faults_key;
  result = RegCreateKeyExA(key.Get(), kFaultsKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, faults_key.Put(), nullptr);
  if (result == ERROR_SUCCESS) result = static_cast<LONG>(WriteFaults(name, FaultSettings{}));
  if (result != ERROR_SUCCESS) {
    return Fail(Error::kSystem, static_cast<DWORD>(result), "cannot record the player in the registry");
  }

  if (code = AddDeviceInterface(access.instance_id, GUID_CLASS_HOXA_DEVICE, nullptr, &why);
      code != ERROR_SUCCESS) {
    return TreeFailure(code, "the player's interface", why);
  }
  rollback.Keep();
  if (info) *info = std::move(player);
  return {};
}

Status Detach(const std::string& name) {
  PlayerInfo player;
  if (!IsValidName(name) || !internal::ReadPlayer(name, &player)) {
    return Fail(Error::kUnknownPlayer, ERROR_NOT_FOUND,
                fmt::format("no player named \"{}\" is attached", name));
  }
  if (!player.instance_id.empty() && tesk::win32::DeviceIsPresent(player.instance_id)) {
    std::string why;
    const DWORD code = tesk::win32::RemoveDevice(player.instance_id, &why);
    if (code != ERROR_SUCCESS && code != ERROR_NO_SUCH_DEVINST) {
      return Fail(Error::kSystem, code, why.empty() ? "cannot remove the player's devices" : why);
    }
  }
  Rollback::DeleteRecord(name);
  return {};
}

std::vector<PlayerInfo> List() {
  std::vector<PlayerInfo> players;
  RegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPlayersKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return players;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD size = sizeof name;
    const LONG result = RegEnumKeyExA(key.Get(), index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_MORE_DATA) continue;  // not a name we give
    if (result != ERROR_SUCCESS) break;
    PlayerInfo player;
    if (internal::ReadPlayer(name, &player)) players.push_back(std::move(player));
  }
  return players;
}

std::optional<PlayerInfo> Find(const std::string& name) {
  // Through the list, for the name as it was attached.
  for (PlayerInfo& player : List()) {
    if (Upper(player.name) == Upper(name)) return std::move(player);
  }
  return std::nullopt;
}

Status SetFaults(const std::string& name, const FaultSettings& faults) {
  FaultSettings current;
  if (!IsValidName(name) || ReadFaults(name, &current) != ERROR_SUCCESS) {
    return Fail(Error::kUnknownPlayer, ERROR_NOT_FOUND,
                fmt::format("no player named \"{}\" is attached", name));
  }
  if (const DWORD code = WriteFaults(name, faults); code != ERROR_SUCCESS) {
    return Fail(Error::kSystem, code, "cannot record the faults in the registry");
  }
  return {};
}

Status GetFaults(const std::string& name, FaultSettings* faults) {
  if (!IsValidName(name) || ReadFaults(name, faults) != ERROR_SUCCESS) {
    return Fail(Error::kUnknownPlayer, ERROR_NOT_FOUND,
                fmt::format("no player named \"{}\" is attached", name));
  }
  return {};
}

}  // namespace tesk::sim
