// hoxa over simulated Gannet players: the reading sequence of its one client, and the example
// program run against players attached from the command line.
#include <algorithm>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <tesk/sim.h>

#include "hoxa_test_support.h"

namespace hoxa_test {
namespace {

struct SimPlayer {
  const char* name;
  const char* serial;
  char letter;
};
constexpr SimPlayer kPlayers[] = {{"gannet1", "0123456789ABCDEF", 'F'}, {"gannet2", "FEDCBA9876543210", 'G'}};

// A string descriptor's text (ASCII only).
std::string Text(const std::vector<BYTE>& descriptor, DWORD count) {
  std::string text;
  for (DWORD i = 2; i + 1 < count && i + 1 < descriptor[0]; i += 2) text += static_cast<char>(descriptor[i]);
  return text;
}

class HoxaSimulatedPlayersTest : public HoxaTest {
 protected:
  void AttachAll() {
    for (const SimPlayer& p : kPlayers) {
      tesk::sim::AttachOptions options;
      options.serial_number = p.serial;
      options.letter = p.letter;
      const tesk::sim::Status status = tesk::sim::Attach(p.name, options);
      ASSERT_TRUE(status.ok()) << status.message;
    }
  }

  std::string DevicePath(const char* name) {
    const auto info = tesk::sim::Find(name);
    return info ? info->device_path : "<not attached>";
  }
};

TEST_F(HoxaSimulatedPlayersTest, TwoPlayersReadAsTheirDriverReadsThem) {
  ASSERT_NO_FATAL_FAILURE(AttachAll());

  std::vector<std::string> paths;
  char path[MAX_PATH];
  for (DWORD i = 0; hoxa_.EnumDevices(i, path, sizeof(path)); ++i) paths.emplace_back(path);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_ITEMS});
  std::vector<std::string> expected = {DevicePath("gannet1"), DevicePath("gannet2")};
  std::sort(expected.begin(), expected.end());
  std::sort(paths.begin(), paths.end());
  ASSERT_EQ(paths, expected);

  for (const SimPlayer& p : kPlayers) {
    SCOPED_TRACE(p.name);
    const std::string device_path = DevicePath(p.name);
    char letters[32] = {};
    ASSERT_TRUE(hoxa_.GetLogicalDrives(device_path.c_str(), letters, sizeof(letters)));
    EXPECT_EQ(std::string(letters), std::string(1, p.letter));

    const HANDLE presence = hoxa_.OpenDevice(device_path.c_str(), 0);
    ASSERT_NE(presence, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(hoxa_.CloseDevice(presence));

    const HANDLE device = hoxa_.OpenDevice(device_path.c_str(), HOXA_OPEN_EXCLUSIVE);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    std::vector<BYTE> descriptor(18);
    DWORD count = 0;
    ASSERT_TRUE(hoxa_.GetDescriptor(device, 1, 0, 0, descriptor.data(), 18, nullptr));
    EXPECT_EQ(descriptor, tesk::sim::UsbPlayer(p.serial).DeviceDescriptor());

    std::vector<BYTE> languages(256);
    ASSERT_TRUE(hoxa_.GetDescriptor(device, 3, 0, 0, languages.data(), 256, &count));
    ASSERT_EQ(count, 4u);
    const WORD language = static_cast<WORD>(languages[2] | (languages[3] << 8));
    EXPECT_EQ(language, 0x0409);

    std::vector<BYTE> text(256);
    ASSERT_TRUE(hoxa_.GetDescriptor(device, 3, descriptor[14], language, text.data(), 256, &count));
    EXPECT_EQ(Text(text, count), "Holvenn");
    ASSERT_TRUE(hoxa_.GetDescriptor(device, 3, descriptor[16], language, text.data(), 256, &count));
    EXPECT_EQ(Text(text, count), p.serial);
    EXPECT_TRUE(hoxa_.CloseDevice(device));
  }
}

// What hoxa_list prints for one player.
std::string ListedPlayer(const std::string& path, const SimPlayer& p) {
  std::string descriptor;
  for (const BYTE byte : tesk::sim::UsbPlayer(p.serial).DeviceDescriptor())
    descriptor += fmt::format(" {:02X}", byte);
  return fmt::format(
      "{}\n"
      "  drives: {}:\n"
      "  device descriptor:{}\n"
      "  vendor 7A3D product 0041 release 0100\n"
      "  language 0409\n"
      "  manufacturer: Holvenn\n"
      "  product: Gannet Q41\n"
      "  serial number: {}\n",
      path, p.letter, descriptor, p.serial);
}

TEST_F(HoxaSimulatedPlayersTest, TheExampleListsPlayersAttachedFromTheCommandLine) {
  tesk::testing::ChildResult listed = tesk::testing::RunChild("hoxa_list", {});
  EXPECT_EQ(listed.exit_code, 0) << listed.output;
  EXPECT_EQ(listed.output, "0 players\n");

  for (const SimPlayer& p : kPlayers) {
    const tesk::testing::ChildResult attached = tesk::testing::RunChild(
        "tesk", {"sim", "attach", p.name, "--serial", p.serial, "--letter", std::string(1, p.letter)});
    ASSERT_EQ(attached.exit_code, 0) << attached.output;
  }
  // Both families find the same letters, each its own way.
  for (const char* family : {"NT", "9x"}) {
    SCOPED_TRACE(family);
    ScopedEnv env("TESK_WINDOWS_FAMILY", family);
    listed = tesk::testing::RunChild("hoxa_list", {});
    EXPECT_EQ(listed.exit_code, 0) << listed.output;
    for (const SimPlayer& p : kPlayers)
      EXPECT_NE(listed.output.find(ListedPlayer(DevicePath(p.name), p)), std::string::npos)
          << "missing:\n"
          << ListedPlayer(DevicePath(p.name), p) << "in:\n"
          << listed.output;
    EXPECT_NE(listed.output.find("\n2 players\n"), std::string::npos) << listed.output;
  }

  // A player that has gone is no longer listed.
  ASSERT_EQ(tesk::testing::RunChild("tesk", {"sim", "detach", "gannet1"}).exit_code, 0);
  listed = tesk::testing::RunChild("hoxa_list", {});
  EXPECT_EQ(listed.output, ListedPlayer(DevicePath("gannet2"), kPlayers[1]) + "1 player\n");
}

}  // namespace
}  // namespace hoxa_test
