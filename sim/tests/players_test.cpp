// Attached players as a program of the prefix meets them: through SetupAPI, CreateFileA and
// DeviceIoControl on the access driver's interface, drive-letter discovery over the device
// tree, and device-change notices; attached in this process or by "tesk sim" in another.

#include <tesk/sim.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tesk/hoxa.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/windows.h>
#include <tesk_testing.h>

namespace tesk::sim {
namespace {

namespace fs = std::filesystem;
using tesk::win32::GUID_CLASS_HOXA_DEVICE;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Bytes = std::vector<BYTE>;

constexpr DWORD kIoctlControlTransfer = 0x80002002;
constexpr DWORD kIoctlGetDescriptor = 0x80002006;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The device paths of the present GUID_CLASS_HOXA_DEVICE interfaces.
std::vector<std::string> PlayerPaths() {
  std::vector<std::string> paths;
  const HDEVINFO set =
      SetupDiGetClassDevsA(&GUID_CLASS_HOXA_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_CLASS_HOXA_DEVICE, index, &data)) break;
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    std::vector<BYTE> buffer(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
      paths.push_back(detail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  std::sort(paths.begin(), paths.end());
  return paths;
}

// The drive letters that discovery over the device tree finds for a player.
std::string Letters(const std::string& device_path) {
  char letters[32] = {};
  if (!Hoxa_GetLogicalDrives(device_path.c_str(), letters, sizeof letters)) return "";
  return letters;
}

// The same on the Windows 98 family's way: the "CurrentDriveLetterAssignment" values in the
// hardware keys of the subtree of the player's parent node.
void GatherAssignments(DEVINST node, std::string* letters) {
  HKEY key = nullptr;
  if (CM_Open_DevNode_Key(node, KEY_QUERY_VALUE, 0, RegDisposition_OpenExisting, &key,
                          CM_REGISTRY_HARDWARE) == CR_SUCCESS) {
    char value[32] = {};
    DWORD size = sizeof value - 1;
    if (RegQueryValueExA(key, "CurrentDriveLetterAssignment", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS) {
      *letters += value;
    }
    RegCloseKey(key);
  }
  DEVINST child = 0;
  for (CONFIGRET rc = CM_Get_Child(&child, node, 0); rc == CR_SUCCESS;
       rc = CM_Get_Sibling(&child, child, 0)) {
    GatherAssignments(child, letters);
  }
}

std::string LettersAssigned(const std::string& device_path) {
  const HDEVINFO set =
      SetupDiGetClassDevsA(&GUID_CLASS_HOXA_DEVICE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  const bool found = SetupDiOpenDeviceInterfaceA(set, device_path.c_str(), 0, &data);
  if (found) SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, nullptr, &device);
  SetupDiDestroyDeviceInfoList(set);
  DEVINST parent = 0;
  if (!found || device.DevInst == 0 || CM_Get_Parent(&parent, device.DevInst, 0) != CR_SUCCESS) return "";
  std::string letters;
  GatherAssignments(parent, &letters);
  return letters;
}

class Device {
 public:
  explicit Device(const std::string& path, DWORD share = 0)
      : handle_(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0,
                            nullptr)) {}
  ~Device() {
    if (open()) CloseHandle(handle_);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  bool open() const { return handle_ != INVALID_HANDLE_VALUE; }

  // A descriptor read as the access driver's request carries it; empty with *error on failure.
  Bytes Descriptor(BYTE type, BYTE index, WORD language, DWORD size, DWORD* error = nullptr) const {
    const BYTE request[4] = {type, index, static_cast<BYTE>(language), static_cast<BYTE>(language >> 8)};
    return Io(kIoctlGetDescriptor, request, sizeof request, size, error);
  }

  Bytes Control(BYTE request_type, BYTE request, WORD value, WORD index, DWORD size,
                DWORD* error = nullptr) const {
    const BYTE setup[10] = {request_type,
                            0,
                            0,
                            0,
                            request_type,
                            request,
                            static_cast<BYTE>(value),
                            static_cast<BYTE>(value >> 8),
                            static_cast<BYTE>(index),
                            static_cast<BYTE>(index >> 8)};
    return Io(kIoctlControlTransfer, setup, sizeof setup, size, error);
  }

 private:
  Bytes Io(DWORD code, const BYTE* in, DWORD in_size, DWORD size, DWORD* error) const {
    Bytes out(size, 0xEE);
    DWORD count = 0xDEADBEEF;
    if (!DeviceIoControl(handle_, code, const_cast<BYTE*>(in), in_size, out.data(), size, &count, nullptr)) {
      if (error) *error = GetLastError();
      return {};
    }
    if (error) *error = ERROR_SUCCESS;
    out.resize(count);
    return out;
  }

  HANDLE handle_;
};

// The string descriptor bytes for ASCII text.
Bytes StringBytes(const std::string& text) {
  Bytes out = {static_cast<BYTE>(2 + 2 * text.size()), 3};
  for (char c : text) out.insert(out.end(), {static_cast<BYTE>(c), 0});
  return out;
}

class PlayersTest : public tesk::testing::PrefixTest {
 protected:
  static tesk::testing::ChildResult Tesk(const std::string& prefix, std::vector<std::string> args) {
    args.insert(args.begin(), {"--prefix", prefix, "sim"});
    return tesk::testing::RunChild("tesk", args);
  }
};

TEST_F(PlayersTest, AnAttachedPlayerAnswersThroughItsDevicePath) {
  PlayerInfo player;
  AttachOptions options;
  options.serial_number = "0123456789ABCDEF";
  const Status status = Attach("gannet1", options, &player);
  ASSERT_TRUE(status) << status.message;
  EXPECT_EQ(player.letter, 'E');
  EXPECT_EQ(player.folder, prefix() + "/players/gannet1");
  EXPECT_TRUE(fs::is_directory(player.folder));
  EXPECT_EQ(player.instance_id, "USB\\VID_7A3D&PID_0041\\0123456789ABCDEF");
  EXPECT_THAT(PlayerPaths(), ElementsAre(player.device_path));
  EXPECT_EQ(Letters(player.device_path), "E");
  char volume[MAX_PATH] = {};
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointA("E:\\", volume, sizeof volume));
  EXPECT_EQ(volume, player.volume_name);

  Device device(player.device_path);
  ASSERT_TRUE(device.open()) << GetLastError();
  EXPECT_THAT(device.Descriptor(1, 0, 0, 18),
              ElementsAre(18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x3D, 0x7A, 0x41, 0x00, 0x00, 0x01, 1, 2, 3, 1));
  EXPECT_THAT(device.Descriptor(3, 0, 0, 256), ElementsAre(4, 3, 0x09, 0x04));
  EXPECT_THAT(device.Descriptor(3, 1, 0x0409, 256), ElementsAreArray(StringBytes("Holvenn")));
  EXPECT_THAT(device.Descriptor(3, 3, 0x0409, 256), ElementsAreArray(StringBytes("0123456789ABCDEF")));
  DWORD error = 0;
  EXPECT_THAT(device.Descriptor(3, 9, 0x0409, 256, &error), IsEmpty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_GEN_FAILURE));  // a stall

  // The default pipe: the whole configuration, then the firmware's connect.
  EXPECT_EQ(device.Control(0x80, 6, 0x0200, 0, 64), UsbPlayer("").ConfigurationDescriptor());
  EXPECT_THAT(device.Control(0xC0, 0, 0, 0, 4), ElementsAre(1, 0, 0, 0));
  EXPECT_THAT(device.Control(0xC0, 0x1F, 0, 0, 4, &error), IsEmpty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_GEN_FAILURE));

  const auto found = Find("GANNET1");  // names compare without regard to case
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "gannet1");
  EXPECT_EQ(found->serial_number, "0123456789ABCDEF");
  EXPECT_EQ(found->device_path, player.device_path);
  EXPECT_EQ(found->letter, 'E');
}

TEST_F(PlayersTest, FaultsFailThenShortenRequestsAndAreUsedUp) {
  PlayerInfo player;
  ASSERT_TRUE(Attach("gannet1", {}, &player));
  FaultSettings faults;
  faults.fail_next = 2;
  faults.fail_error = ERROR_SEM_TIMEOUT;
  faults.short_next = 1;
  faults.short_length = 4;
  ASSERT_TRUE(SetFaults("gannet1", faults));

  // The faults belong to the player, not to a handle: the second failure meets a new one.
  {
    Device device(player.device_path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    DWORD error = 0;
    EXPECT_THAT(device.Descriptor(1, 0, 0, 18, &error), IsEmpty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  }
  Device device(player.device_path);
  DWORD error = 0;
  EXPECT_THAT(device.Control(0xC0, 0, 0, 0, 4, &error), IsEmpty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
  EXPECT_THAT(device.Descriptor(1, 0, 0, 18), ElementsAre(18, 1, 0, 2));
  EXPECT_EQ(device.Descriptor(1, 0, 0, 18).size(), 18u);

  FaultSettings left;
  ASSERT_TRUE(GetFaults("gannet1", &left));
  EXPECT_EQ(left, (FaultSettings{0, ERROR_SEM_TIMEOUT, 0, 4, 0}));
}

TEST_F(PlayersTest, APlayerAttachedByAnotherProcessIsReadHereAndGoesWhenDetached) {
  HWND window = nullptr;
  static std::vector<std::pair<WPARAM, std::string>> notices;
  notices.clear();
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = [](HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) -> LRESULT {
    if (message != WM_DEVICECHANGE) return DefWindowProcA(hwnd, message, wparam, lparam);
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lparam);
    if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      notices.emplace_back(
          wparam, Lower(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lparam)->dbcc_name));
    }
    return TRUE;
  };
  window_class.lpszClassName = "SimPlayersTestWindow";
  RegisterClassA(&window_class);
  window = CreateWindowExA(0, "SimPlayersTestWindow", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                           nullptr);
  ASSERT_TRUE(window);
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = GUID_CLASS_HOXA_DEVICE;
  const HDEVNOTIFY registration = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_TRUE(registration);
  // Dispatches messages until `count` notices came; a generous guard against a hang.
  auto wait_for_notices = [](size_t count) {
    while (notices.size() < count) {
      if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 30000, QS_ALLINPUT) != WAIT_OBJECT_0) return false;
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
    return true;
  };

  auto result = Tesk(prefix(), {"attach", "gannet1", "--serial", "0123456789ABCDEF0011", "--letter", "G"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  const std::vector<std::string> paths = PlayerPaths();
  ASSERT_EQ(paths.size(), 1u);
  const std::string path = paths[0];
  ASSERT_TRUE(wait_for_notices(1));
  EXPECT_EQ(notices[0], std::make_pair(WPARAM{DBT_DEVICEARRIVAL}, Lower(path)));
  EXPECT_EQ(Letters(path), "G");
  {
    Device device(path);
    ASSERT_TRUE(device.open()) << GetLastError();
    EXPECT_THAT(device.Descriptor(3, 3, 0x0409, 256), ElementsAreArray(StringBytes("0123456789ABCDEF0011")));
    EXPECT_THAT(device.Descriptor(3, 2, 0x0409, 256), ElementsAreArray(StringBytes("Gannet Q41")));
  }

  // Detached by another process while this one holds the device open.
  Device held(path);
  ASSERT_TRUE(held.open());
  result = Tesk(prefix(), {"detach", "gannet1"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  ASSERT_TRUE(wait_for_notices(2));
  EXPECT_EQ(notices[1], std::make_pair(WPARAM{DBT_DEVICEREMOVECOMPLETE}, Lower(path)));
  DWORD error = 0;
  EXPECT_THAT(held.Descriptor(1, 0, 0, 18, &error), IsEmpty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_THAT(PlayerPaths(), IsEmpty());
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  char volume[MAX_PATH] = {};
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointA("G:\\", volume, sizeof volume));
  EXPECT_FALSE(Find("gannet1"));

  UnregisterDeviceNotification(registration);
  DestroyWindow(window);
}

TEST_F(PlayersTest, TwoPlayersHaveTheirOwnLettersAndAFreedLetterIsGivenAgain) {
  PlayerInfo first;
  PlayerInfo second;
  ASSERT_TRUE(Attach("first", {}, &first));
  ASSERT_TRUE(Attach("second", {}, &second));
  EXPECT_EQ(first.letter, 'E');
  EXPECT_EQ(second.letter, 'F');
  EXPECT_NE(first.serial_number, second.serial_number);
  EXPECT_EQ(first.serial_number.size(), 16u);
  EXPECT_EQ(first.serial_number.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  // Each player's subtree holds its own volume only.
  EXPECT_EQ(Letters(first.device_path), "E");
  EXPECT_EQ(Letters(second.device_path), "F");
  EXPECT_EQ(LettersAssigned(first.device_path), "E");
  EXPECT_EQ(LettersAssigned(second.device_path), "F");
  std::ofstream(first.folder + "/track.rel") << "kept";

  ASSERT_TRUE(Detach("first"));
  EXPECT_THAT(PlayerPaths(), ElementsAre(second.device_path));
  EXPECT_EQ(Letters(second.device_path), "F");
  EXPECT_TRUE(fs::exists(first.folder + "/track.rel"));  // the folder stays

  // The letter comes back to the next player; the same name finds its folder again.
  PlayerInfo again;
  ASSERT_TRUE(Attach("first", {}, &again));
  EXPECT_EQ(again.letter, 'E');
  EXPECT_EQ(again.folder, first.folder);
  EXPECT_TRUE(fs::exists(fs::path(prefix()) / "dosdevices" / "e:" / "track.rel"));

  const std::vector<PlayerInfo> players = List();
  ASSERT_EQ(players.size(), 2u);
  EXPECT_EQ(players[0].name, "first");
  EXPECT_EQ(players[1].name, "second");
  EXPECT_EQ(players[1].letter, 'F');
}

TEST_F(PlayersTest, APlainUnusedSerialNumberNamesTheDevice) {
  struct Case {
    const char* name;
    const char* serial;
    bool names_device;
  };
  const Case cases[] = {{"one", "ABC123", true}, {"two", "ABC123", false}, {"three", " 12 x", false}};
  for (const auto& c : cases) {
    PlayerInfo player;
    AttachOptions options;
    options.serial_number = c.serial;
    ASSERT_TRUE(Attach(c.name, options, &player)) << c.name;
    const std::string by_serial = std::string("USB\\VID_7A3D&PID_0041\\") + c.serial;
    EXPECT_EQ(player.instance_id == by_serial, c.names_device) << player.instance_id;
    EXPECT_EQ(player.instance_id.rfind("USB\\VID_7A3D&PID_0041\\", 0), 0u) << player.instance_id;
    Device device(player.device_path);
    EXPECT_THAT(device.Descriptor(3, 3, 0x0409, 256), ElementsAreArray(StringBytes(c.serial))) << c.name;
    EXPECT_EQ(Letters(player.device_path), std::string(1, player.letter)) << c.name;
  }
}

TEST_F(PlayersTest, AFolderOutsideThePrefixIsKeptAsGiven) {
  const fs::path folder = fs::path(prefix()) / "elsewhere" / "Mus\xC3\x81ic";  // a byte 0x81 in UTF-8
  fs::create_directories(folder);
  PlayerInfo player;
  AttachOptions options;
  options.folder = folder.string() + "/";
  options.letter = 'k';
  ASSERT_TRUE(Attach("gannet1", options, &player));
  EXPECT_EQ(player.letter, 'K');
  EXPECT_EQ(player.folder, folder.string());
  EXPECT_EQ(Find("gannet1")->folder, folder.string());
  EXPECT_TRUE(fs::equivalent(fs::path(prefix()) / "dosdevices" / "k:", folder));
  EXPECT_FALSE(fs::exists(fs::path(prefix()) / "players" / "gannet1"));
}

TEST_F(PlayersTest, RefusalsLeaveNothingBehind) {
  PlayerInfo held;
  ASSERT_TRUE(Attach("held", {}, &held));
  fs::create_directories(prefix() + "/file_parent");
  std::ofstream(prefix() + "/file_parent/file") << "x";

  struct Case {
    const char* name;
    AttachOptions options;
    Error error;
    DWORD code;
  };
  const Case cases[] = {
      {"", {}, Error::kBadName, ERROR_INVALID_NAME},
      {"a b", {}, Error::kBadName, ERROR_INVALID_NAME},
      {"-x", {}, Error::kBadName, ERROR_INVALID_NAME},
      {"x/y", {}, Error::kBadName, ERROR_INVALID_NAME},
      {"HELD", {}, Error::kNameInUse, ERROR_ALREADY_EXISTS},
      {"new", {"", "caf\xC3\xA9", 0}, Error::kBadSerialNumber, ERROR_INVALID_PARAMETER},
      {"new", {"", "", 'C'}, Error::kBadLetter, ERROR_INVALID_DRIVE},
      {"new", {"", "", '1'}, Error::kBadLetter, ERROR_INVALID_DRIVE},
      {"new", {"", "", 'e'}, Error::kLetterInUse, ERROR_ALREADY_EXISTS},
      {"new", {prefix() + "/missing", "", 0}, Error::kBadFolder, ERROR_PATH_NOT_FOUND},
      {"new", {prefix() + "/file_parent/file", "", 0}, Error::kBadFolder, ERROR_DIRECTORY},
      {"new", {held.folder, "", 0}, Error::kBadFolder, ERROR_SHARING_VIOLATION},
  };
  for (const auto& c : cases) {
    const Status status = Attach(c.name, c.options);
    EXPECT_EQ(status.error, c.error) << c.name << ": " << status.message;
    EXPECT_EQ(status.code, c.code) << c.name;
    EXPECT_FALSE(status.message.empty());
  }
  EXPECT_FALSE(fs::exists(prefix() + "/players/new"));
  EXPECT_THAT(PlayerPaths(), ElementsAre(held.device_path));
  ASSERT_EQ(List().size(), 1u);
  EXPECT_EQ(List()[0].letter, 'E');
  EXPECT_FALSE(fs::exists(fs::path(prefix()) / "dosdevices" / "f:"));

  for (const Status& status : {Detach("new"), SetFaults("new", {}), Detach("")}) {
    EXPECT_EQ(status.error, Error::kUnknownPlayer);
    EXPECT_EQ(status.code, static_cast<DWORD>(ERROR_NOT_FOUND));
  }
  FaultSettings faults;
  EXPECT_EQ(GetFaults("new", &faults).error, Error::kUnknownPlayer);
}

}  // namespace
}  // namespace tesk::sim
