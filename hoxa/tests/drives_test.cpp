// Drive letters of a player's storage, on the NT family (volume names) and on Windows 98/Me
// (the nodes' assigned letters). hoxa reads the family at load, so each test loads it after
// choosing.
#include <memory>
#include <ostream>
#include <string>

#include <tesk/win32/cfgmgr32.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/winreg.h>

#include "hoxa_test_support.h"

namespace hoxa_test {
namespace {

enum class Family { kNt, k9x };

std::string FamilyName(const testing::TestParamInfo<Family>& info) {
  return info.param == Family::kNt ? "NT" : "Windows9x";
}
void PrintTo(Family family, std::ostream* out) {
  *out << (family == Family::kNt ? "the NT family" : "Windows 98/Me");
}

class HoxaLogicalDrivesTest : public HoxaTest, public testing::WithParamInterface<Family> {
 protected:
  void SetUp() override {
    if (GetParam() == Family::k9x) family_ = std::make_unique<ScopedEnv>("TESK_WINDOWS_FAMILY", "9x");
    HoxaTest::SetUp();
  }
  void TearDown() override {
    HoxaTest::TearDown();
    family_.reset();
  }

  // The letters for a path, or "FAILED" with the buffer left as it was.
  std::string Letters(const std::string& path, DWORD size = 32) {
    std::string buffer(size + 8, '#');
    if (!hoxa_.GetLogicalDrives(path.c_str(), buffer.data(), size)) {
      EXPECT_EQ(buffer, std::string(size + 8, '#')) << "a failed call wrote to the buffer";
      return "FAILED";
    }
    EXPECT_EQ(buffer.substr(size), std::string(8, '#')) << "written past the buffer";
    return buffer.c_str();
  }

  std::unique_ptr<ScopedEnv> family_;
};

TEST_P(HoxaLogicalDrivesTest, TheLettersOfThePlayersVolumesInWalkOrder) {
  const Player one = AddPlayer("G0001", {'F'});
  const Player two = AddPlayer("G0002", {'H', 'G'});
  const Player bare = AddPlayer("G0003");
  ASSERT_FALSE(HasFatalFailure());

  EXPECT_EQ(Letters(one.access_path), "F");
  EXPECT_EQ(Letters(two.access_path), "HG");
  EXPECT_EQ(Letters(bare.access_path), "FAILED") << "a player without storage";
}

TEST_P(HoxaLogicalDrivesTest, EachFamilyReadsItsOwnRecord) {
  const Player player = AddPlayer("G0001", {'F'});
  ASSERT_FALSE(HasFatalFailure());
  // An assignment recorded on the disk node, which has no volume interface of its own: only
  // Windows 98/Me reads it, walking the disk before the volume below it.
  DEVINST disk = 0;
  std::string disk_id = "USBSTOR\\Disk&Ven_Holvenn&Prod_Gannet_Q41\\G0001&0";
  ASSERT_EQ(CM_Locate_DevNodeA(&disk, disk_id.data(), CM_LOCATE_DEVNODE_NORMAL), DWORD{CR_SUCCESS});
  tesk::win32::RegKey key;
  ASSERT_EQ(
      CM_Open_DevNode_Key(disk, KEY_SET_VALUE, 0, RegDisposition_OpenAlways, key.Put(), CM_REGISTRY_HARDWARE),
      DWORD{CR_SUCCESS});
  const char letters[] = "QR";
  ASSERT_EQ(RegSetValueExA(key.Get(), "CurrentDriveLetterAssignment", 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(letters), sizeof(letters)),
            ERROR_SUCCESS);
  EXPECT_EQ(Letters(player.access_path), GetParam() == Family::kNt ? "F" : "QRF");
}

TEST_P(HoxaLogicalDrivesTest, AVolumeNotMountedHasNoLetter) {
  const Player unmounted = AddPlayer("G0001", {0});
  const Player partly = AddPlayer("G0002", {0, 'K'});
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(Letters(unmounted.access_path), "FAILED");
  EXPECT_EQ(Letters(partly.access_path), "K");
}

TEST_P(HoxaLogicalDrivesTest, TheLettersAreCutToTheBuffer) {
  const Player player = AddPlayer("G0001", {'F', 'E'});
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(Letters(player.access_path, 1), "");
  EXPECT_EQ(Letters(player.access_path, 2), "F");
  EXPECT_EQ(Letters(player.access_path, 3), "FE");
}

TEST_P(HoxaLogicalDrivesTest, APlayerNotPresentFails) {
  const Player gone = AddPlayer("G0001", {'F'});
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(tesk::win32::RemoveDevice(gone.device_id), DWORD{ERROR_SUCCESS});
  EXPECT_EQ(Letters(gone.access_path), "FAILED");
  EXPECT_EQ(Letters("\\\\?\\usb#vid_0000&pid_0000#none#{bb60e4cb-4c49-11d4-8e10-005004ad18a6}"), "FAILED");
}

TEST_P(HoxaLogicalDrivesTest, BadArgumentsAreInvalidParameters) {
  const Player player = AddPlayer("G0001", {'F'});
  ASSERT_FALSE(HasFatalFailure());
  char buffer[32];
  struct Case {
    const char* what;
    const char* path;
    char* buffer;
    DWORD size;
  };
  for (const Case& c :
       {Case{"size 0", player.access_path.c_str(), buffer, 0},
        Case{"read-only buffer", player.access_path.c_str(), ReadOnlyBytes(), 32},
        Case{"unmapped path", UnmappedBytes(), buffer, 32}, Case{"null path", nullptr, buffer, 32}}) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_FALSE(hoxa_.GetLogicalDrives(c.path, c.buffer, c.size));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  }
  EXPECT_STREQ(ReadOnlyBytes(), "read only");
}

INSTANTIATE_TEST_SUITE_P(Families, HoxaLogicalDrivesTest, testing::Values(Family::kNt, Family::k9x),
                         FamilyName);

}  // namespace
}  // namespace hoxa_test
