// The scan of Linux's USB devices, against a small sysfs tree and mount table made by the
// test: listed players come into the device tree with their volumes and letters, others do
// not, and changes in sysfs or the mount table are followed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tesk_testing.h>

#include <tesk/win32/cfgmgr32.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/fileapi.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/setupapi.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winreg.h>

#include "two_players.h"

namespace {

namespace fs = std::filesystem;
using namespace tesk::win32;

constexpr char kPlayerPath[] =
    "\\\\?\\usb#vid_7a3d&pid_0001&mi_00#sn123#{bb60e4cb-4c49-11d4-8e10-005004ad18a6}";
constexpr char kDevice[] = "USB\\VID_7A3D&PID_0001\\SN123";
constexpr char kDisk[] = "USBSTOR\\Disk&Ven_Vorelle&Prod_Gannet&Rev_1.00\\SN123&0";
constexpr char kVolume[] = "STORAGE\\Volume\\SN123&sdb1";

class LinuxUsbTest : public devtree_test::TwoPlayersTest {
 protected:
  void SetUp() override {
    TwoPlayersTest::SetUp();
    sys_ = prefix() + "/sys";
    mount_ = prefix() + "/mnt/player one";
    fs::create_directories(mount_);
    fs::create_directories(prefix() + "/mnt/other");
    const std::string pci = sys_ + "/devices/pci0000:00/usb1";
    AddUsbDevice(pci + "/1-1", "7a3d", "0001", "SN123", "4");
    AddUsbDevice(pci + "/1-2", "1234", "5678", "OTHER", "5");
    AddUsbDevice(pci, "1d6b", "0002", "", "1");
    fs::create_directories(sys_ + "/bus/usb/devices");
    fs::create_directory_symlink("../../../devices/pci0000:00/usb1/1-1", sys_ + "/bus/usb/devices/1-1");
    fs::create_directory_symlink("../../../devices/pci0000:00/usb1/1-2", sys_ + "/bus/usb/devices/1-2");
    fs::create_directory_symlink("../../../devices/pci0000:00/usb1", sys_ + "/bus/usb/devices/usb1");
    fs::create_directory_symlink("../../../devices/pci0000:00/usb1/1-1/1-1:1.0",
                                 sys_ + "/bus/usb/devices/1-1:1.0");
    // A disk with one partition below the listed device, a whole disk below the other.
    AddDisk(pci + "/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "8:16", {{"sdb1", "8:17"}});
    AddDisk(pci + "/1-2/1-2:1.0/host7/target7:0:0/7:0:0:0", "sdc", "8:32", {});
    WriteMountinfo(true);

    setenv("TESK_SYSFS_ROOT", sys_.c_str(), 1);
    setenv("TESK_MOUNTINFO", (prefix() + "/mountinfo").c_str(), 1);
    setenv("TESK_USBFS_ROOT", (prefix() + "/usbfs").c_str(), 1);
    List("VID_7A3D&PID_0001");
  }
  void TearDown() override {
    unsetenv("TESK_SYSFS_ROOT");
    unsetenv("TESK_MOUNTINFO");
    unsetenv("TESK_USBFS_ROOT");
  }

  static void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text << "\n";
  }

  static void AddUsbDevice(const std::string& folder, const char* vid, const char* pid, const char* serial,
                           const char* devnum) {
    Write(folder + "/idVendor", vid);
    Write(folder + "/idProduct", pid);
    if (*serial) Write(folder + "/serial", serial);
    Write(folder + "/manufacturer", "Vorelle");
    Write(folder + "/product", "Gannet");
    Write(folder + "/busnum", "1");
    Write(folder + "/devnum", devnum);
  }

  void AddDisk(const std::string& scsi, const std::string& name, const std::string& dev,
               const std::vector<std::pair<std::string, std::string>>& partitions) {
    Write(scsi + "/vendor", "Vorelle ");
    Write(scsi + "/model", "Gannet          ");
    Write(scsi + "/rev", "1.00");
    const std::string block = scsi + "/block/" + name;
    Write(block + "/dev", dev);
    fs::create_directory_symlink("../../../" + fs::path(scsi).filename().string(), block + "/device");
    for (const auto& [part, part_dev] : partitions) {
      Write(block + "/" + part + "/dev", part_dev);
      Write(block + "/" + part + "/partition", "1");
    }
    fs::create_directories(sys_ + "/block");
    fs::create_directory_symlink(fs::relative(block, sys_ + "/block"), sys_ + "/block/" + name);
  }

  void WriteMountinfo(bool player_mounted) const {
    std::ofstream out(prefix() + "/mountinfo");
    out << "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n";
    if (player_mounted) out << "40 22 8:17 / " << prefix() << "/mnt/player\\040one rw - vfat /dev/sdb1 rw\n";
    out << "41 22 8:32 / " << prefix() << "/mnt/other rw - vfat /dev/sdc rw\n";
    // A folder of the file system bound elsewhere is not where the volume is.
    out << "42 22 8:17 /sub /elsewhere rw - vfat /dev/sdb1 rw\n";
  }

  static void List(const char* pair) {
    RegKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kUsbDevicesKey) + "\\" + pair).c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
  }

  // Everything but the two test players of the fixture.
  static std::vector<std::string> ScannedPaths() {
    std::vector<std::string> paths = PresentPaths(GUID_CLASS_HOXA_DEVICE);
    std::erase_if(paths, [](const std::string& p) { return p.find("#g000") != std::string::npos; });
    return paths;
  }

  std::string sys_, mount_;
};

TEST_F(LinuxUsbTest, AListedPlayerAndItsMountedVolumeAreFound) {
  EXPECT_EQ(ScannedPaths(), std::vector<std::string>{kPlayerPath});

  DEVINST access = Locate("USB\\VID_7A3D&PID_0001&MI_00\\SN123");
  DEVINST device = 0;
  ASSERT_EQ(CM_Get_Parent(&device, access, 0), DWORD{CR_SUCCESS});
  EXPECT_EQ(IdOf(device), kDevice);
  DEVINST child = 0;
  ASSERT_EQ(CM_Get_Child(&child, device, 0), DWORD{CR_SUCCESS});
  EXPECT_EQ(IdOf(child), kDisk);
  ASSERT_EQ(CM_Get_Child(&child, child, 0), DWORD{CR_SUCCESS});
  EXPECT_EQ(IdOf(child), kVolume);

  // The mount point has the first letter after the fixture's E: and F:.
  EXPECT_EQ(fs::read_symlink(prefix() + "/dosdevices/g:"), mount_);
  char by_letter[MAX_PATH] = {}, by_interface[MAX_PATH] = {};
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointA("G:\\", by_letter, MAX_PATH));
  const std::string interface_path = DeviceInterfacePath(kVolume, GUID_DEVINTERFACE_VOLUME) + "\\";
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointA(interface_path.c_str(), by_interface, MAX_PATH));
  EXPECT_STREQ(by_letter, by_interface);

  // The other device is not listed: not in the tree, its mounted disk has no letter.
  EXPECT_EQ(Locate("USB\\VID_1234&PID_5678\\OTHER"), 0u);
  EXPECT_FALSE(fs::is_symlink(prefix() + "/dosdevices/h:"));
  EXPECT_EQ(PresentPaths(GUID_DEVINTERFACE_VOLUME).size(), 3u);

  // A second scan with nothing changed changes nothing.
  EXPECT_EQ(ScanUsbDevices(), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(Locate(kVolume), child);
  EXPECT_EQ(fs::read_symlink(prefix() + "/dosdevices/g:"), mount_);
}

TEST_F(LinuxUsbTest, FollowsMountsAndRemovalsAndLeavesOthersAlone) {
  ASSERT_EQ(ScannedPaths(), std::vector<std::string>{kPlayerPath});
  char name[MAX_PATH] = {};
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointA("G:\\", name, MAX_PATH));
  const std::string volume_name = name;

  WriteMountinfo(false);
  EXPECT_EQ(ScannedPaths(), std::vector<std::string>{kPlayerPath});
  EXPECT_FALSE(fs::is_symlink(prefix() + "/dosdevices/g:"));
  EXPECT_NE(Locate(kVolume), 0u);

  WriteMountinfo(true);
  EXPECT_EQ(ScannedPaths(), std::vector<std::string>{kPlayerPath});
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointA("G:\\", name, MAX_PATH));
  EXPECT_EQ(name, volume_name);  // the same volume, known again

  // Unplugged: gone from the tree, the letter with it; the fixture's players stay.
  fs::remove(sys_ + "/bus/usb/devices/1-1");
  EXPECT_EQ(ScannedPaths(), std::vector<std::string>{});
  EXPECT_EQ(Locate(kDevice), 0u);
  EXPECT_FALSE(fs::is_symlink(prefix() + "/dosdevices/g:"));
  EXPECT_EQ(PresentPaths(GUID_CLASS_HOXA_DEVICE), (std::vector<std::string>{a_.access_path, b_.access_path}));
}

TEST_F(LinuxUsbTest, TheRegistrySaysWhatToLookForAndFromWhichLetter) {
  {
    RegKey key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsbDevicesKey, 0, KEY_ALL_ACCESS, key.Put()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key.Get(), "FirstDriveLetter", 0, REG_SZ, reinterpret_cast<const BYTE*>("P"), 2),
              ERROR_SUCCESS);
  }
  List("vid_1234&pid_5678");
  EXPECT_EQ(ScannedPaths().size(), 2u);
  EXPECT_EQ(fs::read_symlink(prefix() + "/dosdevices/p:"), mount_);
  EXPECT_EQ(fs::read_symlink(prefix() + "/dosdevices/q:"), prefix() + "/mnt/other");
  // The other player's disk has no partitions: its volume is the whole disk.
  EXPECT_NE(Locate("STORAGE\\Volume\\OTHER&sdc"), 0u);

  // No longer listed: taken out.
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kUsbDevicesKey) + "\\VID_7A3D&PID_0001").c_str()),
            ERROR_SUCCESS);
  EXPECT_EQ(ScannedPaths(),
            std::vector<std::string>{
                "\\\\?\\usb#vid_1234&pid_5678&mi_00#other#{bb60e4cb-4c49-11d4-8e10-005004ad18a6}"});
  EXPECT_FALSE(fs::is_symlink(prefix() + "/dosdevices/p:"));
}

TEST_F(LinuxUsbTest, RequestsGoThroughUsbfs) {
  ASSERT_EQ(ScannedPaths(), std::vector<std::string>{kPlayerPath});
  // No device node at /dev/bus/usb/001/004 (here under TESK_USBFS_ROOT).
  EXPECT_EQ(CreateFileA(kPlayerPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});

  // A file that is no usbfs node opens, and refuses the transfer as no device would.
  Write(prefix() + "/usbfs/001/004", "");
  const HANDLE h =
      CreateFileA(kPlayerPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BYTE in[4] = {1, 0, 0, 0}, out[18];
  DWORD count = 0;
  EXPECT_FALSE(DeviceIoControl(h, 0x80002006, in, sizeof(in), out, sizeof(out), &count, nullptr));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_FUNCTION});
  EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
