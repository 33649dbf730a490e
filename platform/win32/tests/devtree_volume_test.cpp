// Filling the device tree: volumes with names and drive letters, removal of whole subtrees,
// the registry layout Windows keeps, and the refusal of bad input.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include <tesk/win32/devtree.h>
#include <tesk/win32/fileapi.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/winreg.h>

#include "two_players.h"

namespace {

using namespace tesk::win32;
using devtree_test::TwoPlayersTest;

constexpr DWORD kMarker = 0xdeadbeef;

class DevtreeVolumeTest : public TwoPlayersTest {
 protected:
  std::string Link(char letter) const { return prefix() + "/dosdevices/" + letter + ":"; }

  static bool LinkExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
  }

  static std::string VolumeNameOf(const std::string& mount_point, DWORD* error = nullptr) {
    char name[MAX_PATH] = "untouched";
    SetLastError(kMarker);
    const BOOL ok = GetVolumeNameForVolumeMountPointA(mount_point.c_str(), name, sizeof(name));
    if (error) *error = ok ? ERROR_SUCCESS : GetLastError();
    return ok ? name : "";
  }

  static DWORD ReadDwordValue(const std::string& path, const char* name) {
    RegKey key;
    DWORD value = kMarker, size = sizeof(value);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS ||
        RegQueryValueExA(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS)
      return kMarker;
    return value;
  }
};

TEST_F(DevtreeVolumeTest, VolumesHaveNamesAndLetters) {
  const std::regex volume_name(
      R"(\\\\\?\\Volume\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}\\)");
  EXPECT_TRUE(std::regex_match(a_.volume_info.volume_name, volume_name)) << a_.volume_info.volume_name;
  EXPECT_NE(a_.volume_info.volume_name, b_.volume_info.volume_name);
  EXPECT_EQ(a_.volume_info.drive_letter, 'E');
  EXPECT_EQ(b_.volume_info.drive_letter, 'F');
  EXPECT_EQ(std::filesystem::read_symlink(Link('e')), a_.folder);
  EXPECT_EQ(a_.volume_info.device_path,
            "\\\\?\\storage#volume#g0001&0#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");

  // The same name through every way of naming the volume.
  for (const std::string& mount_point : {std::string("E:\\"), std::string("e:\\"),
                                         a_.volume_info.device_path + "\\", a_.volume_info.volume_name}) {
    SCOPED_TRACE(mount_point);
    EXPECT_EQ(VolumeNameOf(mount_point), a_.volume_info.volume_name);
  }
  EXPECT_EQ(VolumeNameOf("F:\\"), b_.volume_info.volume_name);

  // What a caller that tries every letter finds: one letter per volume.
  std::string letters;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (VolumeNameOf(std::string(1, letter) + ":\\") == b_.volume_info.volume_name) letters += letter;
  }
  EXPECT_EQ(letters, "F");
}

TEST_F(DevtreeVolumeTest, VolumeNameFailuresAsOnWindows) {
  std::filesystem::create_directory(a_.folder + "/Music");
  struct Case {
    std::string mount_point;
    DWORD error;
  } const cases[] = {
      {"E:", ERROR_INVALID_NAME},
      {"", ERROR_INVALID_NAME},
      {"nonsense\\", ERROR_INVALID_NAME},
      {"Q:\\", ERROR_FILE_NOT_FOUND},
      {"C:\\", ERROR_FILE_NOT_FOUND},  // a folder of the prefix, not a volume of the tree
      {"E:\\Music\\", ERROR_NOT_A_REPARSE_POINT},
      {"\\\\?\\storage#volume#none#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}\\", ERROR_FILE_NOT_FOUND},
      {"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mount_point);
    DWORD error = 0;
    EXPECT_EQ(VolumeNameOf(c.mount_point, &error), "");
    EXPECT_EQ(error, c.error);
  }
  char name[49];  // one short of the name and its terminator
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointA("E:\\", name, sizeof(name)));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_FILENAME_EXCED_RANGE});
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointA(nullptr, name, sizeof(name)));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(DevtreeVolumeTest, LetterAskedForOrTaken) {
  devtree_test::Player c;
  std::string error;
  ASSERT_EQ(devtree_test::AddPlayer(prefix(), devtree_test::BackendPath(), "G0003", &c, &error, 'k'),
            DWORD{ERROR_SUCCESS})
      << error;
  EXPECT_EQ(c.volume_info.drive_letter, 'K');
  EXPECT_EQ(VolumeNameOf("K:\\"), c.volume_info.volume_name);

  // A taken letter refuses the volume and leaves nothing behind.
  DeviceNodeInfo disk;
  disk.instance_id = "USBSTOR\\Disk&Ven_X&Prod_Y&Rev_1\\Z&0";
  ASSERT_EQ(AddDeviceNode(disk), DWORD{ERROR_SUCCESS});
  VolumeNodeInfo volume;
  volume.instance_id = "STORAGE\\Volume\\Z&0";
  volume.parent_id = disk.instance_id;
  volume.folder = c.folder;
  volume.drive_letter = 'E';
  EXPECT_EQ(AddVolume(volume, nullptr, &error), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_NE(error.find("E:"), std::string::npos) << error;
  EXPECT_FALSE(DeviceIsPresent(volume.instance_id));
  EXPECT_EQ(std::filesystem::read_symlink(Link('e')), a_.folder);

  // Without a folder: a volume with a name but no letter.
  volume.folder.clear();
  volume.drive_letter = 0;
  VolumeInfo info;
  ASSERT_EQ(AddVolume(volume, &info), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(info.drive_letter, 0);
  EXPECT_EQ(VolumeNameOf(info.device_path + "\\"), info.volume_name);
}

TEST_F(DevtreeVolumeTest, RemovingAPlayerTakesItsWholeSubtree) {
  const std::string device_key = "System\\CurrentControlSet\\Enum\\" + a_.device;
  const std::string link_control =
      "System\\CurrentControlSet\\Control\\DeviceClasses\\{bb60e4cb-4c49-11d4-8e10-005004ad18a6}\\"
      "##?#USB#VID_7A3D&PID_0001&MI_00#G0001#{bb60e4cb-4c49-11d4-8e10-005004ad18a6}\\#\\Control";
  EXPECT_EQ(ReadDwordValue(device_key, "Present"), 1u);
  EXPECT_EQ(ReadDwordValue(link_control, "Linked"), 1u);

  std::string error;
  ASSERT_EQ(RemoveDevice(a_.device, &error), DWORD{ERROR_SUCCESS}) << error;
  for (const std::string& id : {a_.device, a_.access, a_.disk, a_.volume})
    EXPECT_FALSE(DeviceIsPresent(id)) << id;
  EXPECT_TRUE(DeviceIsPresent(b_.volume));
  EXPECT_EQ(PresentPaths(GUID_CLASS_HOXA_DEVICE), std::vector<std::string>{b_.access_path});
  EXPECT_EQ(PresentPaths(GUID_DEVINTERFACE_VOLUME), std::vector<std::string>{b_.volume_info.device_path});
  EXPECT_FALSE(LinkExists(Link('e')));
  EXPECT_TRUE(LinkExists(Link('f')));
  DWORD volume_error = 0;
  VolumeNameOf("E:\\", &volume_error);
  EXPECT_EQ(volume_error, DWORD{ERROR_FILE_NOT_FOUND});

  // Kept as Windows keeps a device that is gone.
  EXPECT_EQ(ReadDwordValue(device_key, "Present"), 0u);
  EXPECT_EQ(ReadDwordValue(link_control, "Linked"), 0u);

  EXPECT_EQ(RemoveDevice(a_.device, &error), DWORD{ERROR_NO_SUCH_DEVINST});

  // Back again: the same volume name, the first free letter.
  devtree_test::Player again;
  ASSERT_EQ(devtree_test::AddPlayer(prefix(), devtree_test::BackendPath(), "G0001", &again, &error),
            DWORD{ERROR_SUCCESS})
      << error;
  EXPECT_EQ(again.volume_info.volume_name, a_.volume_info.volume_name);
  EXPECT_EQ(again.volume_info.drive_letter, 'E');
  EXPECT_EQ(again.access_path, a_.access_path);
}

TEST_F(DevtreeVolumeTest, BadInputIsRefusedAndAddsNothing) {
  for (const std::string& id :
       {std::string(), std::string("USB\\VID_1"), std::string("USB\\A B\\C"), std::string("USB\\A#B\\C"),
        std::string("USB\\A\\B\\C"), std::string("USB\\\\C"), "USB\\X\\" + std::string(200, 'y')}) {
    SCOPED_TRACE(id);
    DeviceNodeInfo node;
    node.instance_id = id;
    std::string error;
    EXPECT_EQ(AddDeviceNode(node, &error), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_FALSE(error.empty());
  }
  DeviceNodeInfo orphan;
  orphan.instance_id = "USB\\VID_1&PID_2\\ORPHAN";
  orphan.parent_id = "USB\\VID_1&PID_2\\MISSING";
  EXPECT_EQ(AddDeviceNode(orphan), DWORD{ERROR_NO_SUCH_DEVINST});
  EXPECT_FALSE(DeviceIsPresent(orphan.instance_id));

  DeviceNodeInfo twice;
  twice.instance_id = a_.device;
  EXPECT_EQ(AddDeviceNode(twice), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_EQ(AddDeviceInterface(a_.access, GUID_CLASS_HOXA_DEVICE), DWORD{ERROR_ALREADY_EXISTS});
  EXPECT_EQ(AddDeviceInterface(orphan.instance_id, GUID_CLASS_HOXA_DEVICE), DWORD{ERROR_NO_SUCH_DEVINST});
  EXPECT_EQ(RemoveDeviceInterface(a_.disk, GUID_CLASS_HOXA_DEVICE), DWORD{ERROR_NOT_FOUND});
  EXPECT_EQ(RemoveDevice(kRootInstanceId), DWORD{ERROR_INVALID_PARAMETER});

  VolumeNodeInfo volume;
  volume.instance_id = "STORAGE\\Volume\\NOFOLDER";
  volume.parent_id = a_.disk;
  volume.folder = prefix() + "/no-such-folder";
  EXPECT_EQ(AddVolume(volume), DWORD{ERROR_PATH_NOT_FOUND});
  volume.folder = a_.folder;
  volume.drive_letter = '1';
  EXPECT_EQ(AddVolume(volume), DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_FALSE(DeviceIsPresent(volume.instance_id));

  // An interface taken away alone is announced gone and no longer listed.
  EXPECT_EQ(RemoveDeviceInterface(a_.access, GUID_CLASS_HOXA_DEVICE), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(PresentPaths(GUID_CLASS_HOXA_DEVICE), std::vector<std::string>{b_.access_path});
  EXPECT_TRUE(DeviceIsPresent(a_.access));
}

}  // namespace
