// Finding the player through hoxa, with simulated players: which interface wins, the serial
// number and maker's name read from its descriptors, presence polls, one medium per volume,
// and the whole way from an application through the device manager.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <tesk/hoxa.h>
#include <tesk/sim.h>
#include <tesk/win32/cfgmgr32.h>
#include <tesk/win32/devtree.h>

#include "gannet_test_support.h"

namespace gannet_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
  std::vector<BYTE> bytes(16, 0);
  std::size_t i = 0;
  for (int value : values) bytes[i++] = static_cast<BYTE>(value);
  return bytes;
}

class DiscoveryTest : public GannetTest {
 protected:
  tesk::sim::PlayerInfo Attach(const std::string& name, const std::string& serial, char letter = 0) {
    tesk::sim::AttachOptions options;
    options.serial_number = serial;
    options.letter = letter;
    options.folder = prefix() + "/" + name;
    std::filesystem::create_directories(options.folder);
    tesk::sim::PlayerInfo info;
    const tesk::sim::Status status = tesk::sim::Attach(name, options, &info);
    EXPECT_TRUE(status.ok()) << status.message;
    return info;
  }

  static std::vector<BYTE> Serial(const ComPtr<ISpdDevice>& device) {
    SpdBlob blob{sizeof(SpdBlob), nullptr, 0};
    EXPECT_EQ(device->GetProperty(SPD_PROP_SERIAL, 0, SpdKindBlob, &blob, sizeof(blob)), S_OK);
    if (!blob.pData) return {};
    std::vector<BYTE> bytes(blob.pData, blob.pData + blob.cbData);
    CoTaskMemFree(blob.pData);
    return bytes;
  }

  static BYTE Present(const ComPtr<ISpdDevice>& device) {
    BYTE present = 0xEE;
    EXPECT_EQ(device->GetProperty(SPD_PROP_PRESENT, 0, SpdKindBool, &present, 1), S_OK);
    return present;
  }

  static DWORD Status(const ComPtr<ISpdDevice>& device) {
    DWORD status = 0xEEEEEEEE;
    EXPECT_EQ(device->GetProperty(SPD_PROP_STATUS, 0, SpdKindDword, &status, 4), S_OK);
    return status;
  }

  static DWORD MediumCount(const ComPtr<ISpdDevice>& device) {
    DWORD count = 99;
    EXPECT_EQ(device->GetStorageCount(&count), S_OK);
    return count;
  }

  // The names a medium root lists.
  static std::vector<std::string> Listed(const ComPtr<ISpdStorage>& root) {
    DWORD count = 0;
    EXPECT_EQ(root->GetChildCount(&count), S_OK);
    std::vector<std::string> names;
    for (DWORD i = 0; i < count; ++i) {
      ComPtr<ISpdStorage> child;
      WCHAR name[MAX_PATH] = {};
      if (root->GetChild(i, child.Put()) == S_OK && child->GetName(name, MAX_PATH) == S_OK)
        names.push_back(TextOf(name));
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static void Put(const std::string& path) { std::ofstream(path) << "track"; }

  // The volume node below a player's USB device.
  static std::string VolumeOf(const std::string& instance_id) {
    DEVINST node = 0;
    std::string id = instance_id;
    if (CM_Locate_DevNodeA(&node, id.data(), 0) != CR_SUCCESS) return "";
    return FindVolume(node);
  }

  static std::string FindVolume(DEVINST node) {
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDA(node, id, sizeof(id), 0) == CR_SUCCESS &&
        Lower(id).rfind("storage\\volume", 0) == 0)
      return id;
    DEVINST child = 0;
    for (CONFIGRET cr = CM_Get_Child(&child, node, 0); cr == CR_SUCCESS;
         cr = CM_Get_Sibling(&child, child, 0)) {
      const std::string found = FindVolume(child);
      if (!found.empty()) return found;
    }
    return "";
  }

  // The first player interface hoxa enumerates, through the copy the driver loaded.
  static std::string FirstInterface() {
    HMODULE hoxa = GetModuleHandleA("libhoxa.so");
    auto enum_devices =
        hoxa ? tesk::win32::GetProcAddressAs<decltype(&Hoxa_EnumDevices)>(hoxa, "Hoxa_EnumDevices") : nullptr;
    char path[MAX_PATH] = {};
    if (!enum_devices || !enum_devices(0, path, sizeof(path))) return "";
    return path;
  }
};

TEST_F(DiscoveryTest, PlayerWithItsMediumSerialNumberAndMaker) {
  Attach("q41", "0123456789ABCDEF", 'E');
  ComPtr<ISpdDevice> device = Device();
  ASSERT_TRUE(device);
  EXPECT_EQ(MediumCount(device), 1u);
  EXPECT_EQ(Present(device), 1);
  EXPECT_EQ(Status(device), 0u);
  EXPECT_THAT(Serial(device), ElementsAreArray(Bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF})));

  // UTF-16, within the size in bytes, the rest of the buffer cleared.
  BYTE maker[32];
  std::memset(maker, 0xEE, sizeof(maker));
  ASSERT_EQ(device->GetProperty(SPD_PROP_MANUFACTURER, 0, SpdKindString, maker, sizeof(maker)), S_OK);
  const std::vector<BYTE> holvenn = {'H', 0, 'o', 0, 'l', 0, 'v', 0, 'e', 0, 'n', 0, 'n', 0};
  EXPECT_THAT(std::vector<BYTE>(maker, maker + holvenn.size()), ElementsAreArray(holvenn));
  EXPECT_THAT(std::vector<BYTE>(maker + holvenn.size(), maker + sizeof(maker)), ::testing::Each(0));
  // 8 bytes: three characters and the terminator; nothing beyond.
  std::memset(maker, 0xEE, sizeof(maker));
  ASSERT_EQ(device->GetProperty(SPD_PROP_MANUFACTURER, 0, SpdKindString, maker, 8), S_OK);
  EXPECT_THAT(std::vector<BYTE>(maker, maker + 9), ElementsAre('H', 0, 'o', 0, 'l', 0, 0, 0, 0xEE));
}

TEST_F(DiscoveryTest, SerialTextIsReadAsHexadecimalPairs) {
  struct Case {
    const char* text;
    std::vector<BYTE> bytes;
  };
  const Case cases[] = {
      {"0123456789ABCDEF0011", Bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF})},
      {"12", Bytes({0x12})},
      {"7", Bytes({0x07})},
      {"abcdef", Bytes({0xAB, 0xCD, 0xEF})},
      // A pair that is no number leaves its byte 0; white space before a digit is skipped.
      {"xy12 3zz4G", Bytes({0x00, 0x12, 0x03, 0x00, 0x04})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Attach("q41", c.text);
    {
      ComPtr<ISpdDevice> device = Device();
      ASSERT_TRUE(device);
      EXPECT_THAT(Serial(device), ElementsAreArray(c.bytes));
    }
    ASSERT_TRUE(tesk::sim::Detach("q41").ok());
  }
}

TEST_F(DiscoveryTest, AnotherProgramsExclusiveOpenMakesTheSerialUnreadable) {
  const tesk::sim::PlayerInfo player = Attach("q41", "0123456789ABCDEF");
  ComPtr<ISpdDevice> device = Device();
  ASSERT_TRUE(device);
  ASSERT_EQ(device->PollForChange(), S_OK);

  const HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "gannet-holder-ready");
  const HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "gannet-holder-release");
  ASSERT_TRUE(ready && release);
  const int holder = tesk::testing::StartChild(
      "hoxa_holder", {player.device_path, "1", "gannet-holder-ready", "gannet-holder-release"});
  ASSERT_GT(holder, 0);
  ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);

  EXPECT_EQ(Serial(device), std::vector<BYTE>(16, ' '));
  WCHAR maker[16];
  std::memset(maker, 0xEE, sizeof(maker));
  EXPECT_EQ(device->GetProperty(SPD_PROP_MANUFACTURER, 0, SpdKindString, maker, sizeof(maker)), E_FAIL);
  EXPECT_THAT(maker, ::testing::Each(0));
  // Not even a shared open gets through: the poll sees the player gone.
  EXPECT_EQ(device->PollForChange(), S_OK);
  EXPECT_EQ(Present(device), 0);

  SetEvent(release);
  const tesk::testing::ChildResult result = tesk::testing::WaitChild(holder);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  CloseHandle(ready);
  CloseHandle(release);

  EXPECT_THAT(Serial(device), ElementsAreArray(Bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF})));
  EXPECT_EQ(device->PollForChange(), S_OK);
  EXPECT_EQ(Present(device), 1);
}

TEST_F(DiscoveryTest, PollsFollowDetachAndAttach) {
  Attach("q41", "0123456789ABCDEF");
  ComPtr<ISpdDevice> device = Device();
  ASSERT_TRUE(device);
  // The first poll after loading reports the player that is there as a change.
  EXPECT_EQ(device->PollForChange(), S_OK);
  EXPECT_EQ(device->PollForChange(), S_FALSE);
  EXPECT_EQ(device->PollForChange(), S_FALSE);

  ASSERT_TRUE(tesk::sim::Detach("q41").ok());
  EXPECT_EQ(device->PollForChange(), S_OK);
  EXPECT_EQ(Present(device), 0);
  EXPECT_EQ(Status(device), 2u);
  EXPECT_EQ(device->PollForChange(), S_FALSE);
  EXPECT_EQ(Serial(device), std::vector<BYTE>(16, ' '));

  Attach("q41", "0123456789ABCDEF");
  EXPECT_EQ(device->PollForChange(), S_OK);
  EXPECT_EQ(Present(device), 1);
  EXPECT_EQ(Status(device), 0u);
  // Every device object shares the presence.
  EXPECT_EQ(Present(Device()), 1);
}

TEST_F(DiscoveryTest, WithoutAPlayerPollsSeeNoChange) {
  ComPtr<ISpdDevice> device = Device();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->PollForChange(), S_FALSE);
  EXPECT_EQ(Present(device), 0);
  EXPECT_EQ(Status(device), 2u);
  EXPECT_EQ(MediumCount(device), 0u);
}

TEST_F(DiscoveryTest, TheFirstInterfaceWithADriveLetterWins) {
  const tesk::sim::PlayerInfo a = Attach("alpha", "AAAAAAAAAAAAAAAA", 'E');
  const tesk::sim::PlayerInfo b = Attach("bravo", "BBBBBBBBBBBBBBBB", 'F');
  Put(a.folder + "/a.lse");
  Put(b.folder + "/b.lse");
  ComPtr<ISpdDevice> device = Device();
  ASSERT_TRUE(device);
  const std::string first = Lower(FirstInterface());
  ASSERT_TRUE(first == Lower(a.device_path) || first == Lower(b.device_path)) << first;
  const bool a_first = first == Lower(a.device_path);
  const tesk::sim::PlayerInfo& winner = a_first ? a : b;
  const std::vector<BYTE> winner_serial = a_first ? Bytes({0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA})
                                                  : Bytes({0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB});
  const std::vector<BYTE> other_serial = a_first ? Bytes({0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB})
                                                 : Bytes({0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});
  EXPECT_EQ(Serial(device), winner_serial);
  ASSERT_EQ(MediumCount(device), 1u);
  ComPtr<ISpdStorage> root;
  ASSERT_EQ(device->GetStorage(0, root.Put()), S_OK);
  EXPECT_THAT(Listed(root), ElementsAre(a_first ? "a.lse" : "b.lse"));
  root = nullptr;
  device = nullptr;

  // Without its volume the first interface has no letter: the next one wins.
  const std::string volume = VolumeOf(winner.instance_id);
  ASSERT_FALSE(volume.empty());
  ASSERT_EQ(tesk::win32::RemoveDevice(volume), DWORD{ERROR_SUCCESS});
  ASSERT_EQ(Lower(FirstInterface()), first) << "the letterless interface still comes first";
  device = Device();
  ASSERT_TRUE(device);
  EXPECT_EQ(Serial(device), other_serial) << "the remembered interface is the one with the letter";
  ASSERT_EQ(MediumCount(device), 1u);
  ASSERT_EQ(device->GetStorage(0, root.Put()), S_OK);
  EXPECT_THAT(Listed(root), ElementsAre(a_first ? "b.lse" : "a.lse"));
}

TEST_F(DiscoveryTest, EachVolumeIsAMediumOfItsOwn) {
  const tesk::sim::PlayerInfo player = Attach("q41", "0123456789ABCDEF", 'E');
  const std::string second = prefix() + "/second";
  std::filesystem::create_directories(second);
  Put(player.folder + "/a.lse");
  Put(second + "/b.lse");
  Put(second + "/c.lse");
  // A second volume right under the USB device: the tree walk meets it before the disk's, so
  // hoxa gives the letters as "FE"; the media still go in letter order.
  tesk::win32::VolumeNodeInfo volume;
  volume.instance_id = "STORAGE\\VOLUME\\GANNET-SECOND";
  volume.parent_id = player.instance_id;
  volume.friendly_name = "Generic volume";
  volume.folder = second;
  volume.drive_letter = 'F';
  tesk::win32::VolumeInfo mapped;
  ASSERT_EQ(tesk::win32::AddVolume(volume, &mapped), DWORD{ERROR_SUCCESS});
  ASSERT_EQ(mapped.drive_letter, 'F');

  ComPtr<ISpdDevice> device = Device();
  ASSERT_TRUE(device);
  ASSERT_EQ(MediumCount(device), 2u);
  ComPtr<ISpdStorage> e, f, none;
  ASSERT_EQ(device->GetStorage(0, e.Put()), S_OK);
  ASSERT_EQ(device->GetStorage(1, f.Put()), S_OK);
  EXPECT_EQ(device->GetStorage(2, none.Put()), E_INVALIDARG);
  EXPECT_THAT(Listed(e), ElementsAre("a.lse"));
  EXPECT_THAT(Listed(f), ElementsAre("b.lse", "c.lse"));
  EXPECT_EQ(e->IsSameStorage(f.Get()), SPD_E_NOTSAME);

  // The second volume takes new files.
  ComPtr<ISpdStorage> file;
  ASSERT_EQ(f->CreateChild(u"new.lse", SPD_CREATE_FILE, SPD_POSITION_INTO, file.Put()), S_OK);
  ComPtr<ISpdStream> stream;
  ASSERT_EQ(file->OpenStream(stream.Put()), S_OK);
  ASSERT_EQ(stream->OpenWrite(0), S_OK);
  DWORD length = 5;
  ASSERT_EQ(stream->Write("music", &length), S_OK);
  ASSERT_EQ(stream->Close(TRUE), S_OK);
  stream = nullptr;
  file = nullptr;
  EXPECT_TRUE(std::filesystem::exists(second + "/new.lse"));
  EXPECT_THAT(Listed(f), ElementsAre("b.lse", "c.lse", "new.lse"));
  EXPECT_THAT(Listed(e), ElementsAre("a.lse"));
}

TEST_F(DiscoveryTest, UnloadReportListsAStorageStillHeld) {
  Attach("q41", "0123456789ABCDEF", 'E');
  ASSERT_EQ(CreateDirectoryA("c:\\temp", nullptr), TRUE) << GetLastError();
  const auto result = tesk::testing::RunChild("gannet_unload_child", {ModulePath(), "storage", "1"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  std::ifstream file(prefix() + "/drive_c/temp/debug.out");
  std::stringstream report;
  report << file.rdbuf();
  EXPECT_THAT(report.str(), HasSubstr("Unreleased interfaces:\n"));
  EXPECT_THAT(report.str(), HasSubstr("\n         CFileSystemStorage               2\n"));
}

TEST_F(DiscoveryTest, ApplicationsSeeThePlayerThroughTheDeviceManager) {
  ASSERT_EQ(register_(), S_OK);
  for (const char* module : {"/libteskcore.so", "/libteskroot.so"}) {
    HMODULE h = LoadLibraryA((tesk::testing::LibDir() + module).c_str());
    ASSERT_NE(h, nullptr) << module;
    auto register_server = tesk::win32::GetProcAddressAs<ExportFn>(h, "DllRegisterServer");
    ASSERT_TRUE(register_server);
    EXPECT_EQ(register_server(), S_OK) << module;
    FreeLibrary(h);
  }
  Attach("q41", "0123456789ABCDEF", 'E');
  const auto result = tesk::testing::RunChild("gannet_devices_child", {});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, "Holvenn Q41 7A3D 0123456789ABCDEF0000000000000000\n");
}

}  // namespace
}  // namespace gannet_test
