// hoxa's test fixture: every test loads hoxa afresh (its process-wide state, the family it
// read at load, its notify window) and reaches it through its exports by name, as its clients
// do; players are put into the device tree served by the echo backend.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tesk_testing.h>

#include <tesk/hoxa.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winuser.h>

namespace hoxa_test {

constexpr char kModuleName[] = "libhoxa.so";
constexpr char kNotifyClass[] = "HoxaNotifyWindow";

inline std::string EchoBackendPath() {
  return tesk::testing::LibDir() + "/libhoxa_echo_backend.so";
}

// Memory that may be read but not written, and an address that cannot even be read.
inline char* ReadOnlyBytes() {
  static const char kReadOnly[64] = "read only";
  return const_cast<char*>(kReadOnly);
}
inline char* UnmappedBytes() {
  return reinterpret_cast<char*>(0x10);  // the first page is never mapped
}

struct Exports {
  decltype(&Hoxa_EnumDevices) EnumDevices = nullptr;
  decltype(&Hoxa_OpenDevice) OpenDevice = nullptr;
  decltype(&Hoxa_CloseDevice) CloseDevice = nullptr;
  decltype(&Hoxa_GetDescriptor) GetDescriptor = nullptr;
  decltype(&Hoxa_ControlTransfer) ControlTransfer = nullptr;
  decltype(&Hoxa_GetLogicalDrives) GetLogicalDrives = nullptr;
  decltype(&Hoxa_RegisterNotifyProc) RegisterNotifyProc = nullptr;
};

// A player in the tree: a USB device with the access node (the interface hoxa finds) and a
// disk whose volumes carry the given drive letters; a letter of 0 is a volume not mounted.
struct Player {
  std::string serial;
  std::string device_id;
  std::string access_path;
};

class HoxaTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(LoadHoxa()); }
  void TearDown() override { UnloadHoxa(); }

  void LoadHoxa() {
    // The fixture's promise of fresh state holds only if the last unload really unloaded it.
    ASSERT_EQ(GetModuleHandleA(kModuleName), nullptr) << "hoxa is still loaded";
    module_ = LoadLibraryA(kModuleName);
    ASSERT_NE(module_, nullptr) << "LoadLibraryA: error " << GetLastError();
    using tesk::win32::GetProcAddressAs;
    hoxa_.EnumDevices = GetProcAddressAs<decltype(&Hoxa_EnumDevices)>(module_, "Hoxa_EnumDevices");
    hoxa_.OpenDevice = GetProcAddressAs<decltype(&Hoxa_OpenDevice)>(module_, "Hoxa_OpenDevice");
    hoxa_.CloseDevice = GetProcAddressAs<decltype(&Hoxa_CloseDevice)>(module_, "Hoxa_CloseDevice");
    hoxa_.GetDescriptor = GetProcAddressAs<decltype(&Hoxa_GetDescriptor)>(module_, "Hoxa_GetDescriptor");
    hoxa_.ControlTransfer =
        GetProcAddressAs<decltype(&Hoxa_ControlTransfer)>(module_, "Hoxa_ControlTransfer");
    hoxa_.GetLogicalDrives =
        GetProcAddressAs<decltype(&Hoxa_GetLogicalDrives)>(module_, "Hoxa_GetLogicalDrives");
    hoxa_.RegisterNotifyProc =
        GetProcAddressAs<decltype(&Hoxa_RegisterNotifyProc)>(module_, "Hoxa_RegisterNotifyProc");
    ASSERT_TRUE(hoxa_.EnumDevices && hoxa_.OpenDevice && hoxa_.CloseDevice && hoxa_.GetDescriptor &&
                hoxa_.ControlTransfer && hoxa_.GetLogicalDrives && hoxa_.RegisterNotifyProc);
  }

  void UnloadHoxa() {
    if (!module_) return;
    const HINSTANCE instance = module_;
    FreeLibrary(module_);
    module_ = nullptr;
    hoxa_ = Exports{};
    // hoxa leaves its window class registered, as a module may; the next load registers its own.
    UnregisterClassA(kNotifyClass, instance);
  }

  // Adds a player served by the echo backend; ASSERTs inside, so check HasFatalFailure().
  Player AddPlayer(const std::string& serial, const std::vector<char>& volume_letters = {}) {
    using namespace tesk::win32;
    Player player;
    player.serial = serial;
    player.device_id = "USB\\VID_7A3D&PID_0041\\" + serial;
    const std::string access_id = "USB\\VID_7A3D&PID_0041&MI_00\\" + serial;
    const std::string disk_id = "USBSTOR\\Disk&Ven_Holvenn&Prod_Gannet_Q41\\" + serial + "&0";
    std::string error;

    DeviceNodeInfo device;
    device.instance_id = player.device_id;
    EXPECT_EQ(AddDeviceNode(device, &error), DWORD{ERROR_SUCCESS}) << error;
    DeviceNodeInfo access;
    access.instance_id = access_id;
    access.parent_id = player.device_id;
    access.usb_access = {EchoBackendPath(), serial};
    EXPECT_EQ(AddDeviceNode(access, &error), DWORD{ERROR_SUCCESS}) << error;
    if (!volume_letters.empty()) {
      DeviceNodeInfo disk;
      disk.instance_id = disk_id;
      disk.parent_id = player.device_id;
      EXPECT_EQ(AddDeviceNode(disk, &error), DWORD{ERROR_SUCCESS}) << error;
    }
    for (std::size_t i = 0; i < volume_letters.size(); ++i) {
      VolumeNodeInfo volume;
      volume.instance_id = "STORAGE\\Volume\\" + serial + "&" + std::to_string(i);
      volume.parent_id = disk_id;
      volume.drive_letter = volume_letters[i];
      if (volume_letters[i]) {
        volume.folder = prefix() + "/" + serial + "-" + std::to_string(i);
        mkdir(volume.folder.c_str(), 0755);
      }
      EXPECT_EQ(AddVolume(volume, nullptr, &error), DWORD{ERROR_SUCCESS}) << error;
    }
    EXPECT_EQ(AddDeviceInterface(access_id, GUID_CLASS_HOXA_DEVICE, &player.access_path, &error),
              DWORD{ERROR_SUCCESS})
        << error;
    return player;
  }

  HMODULE module_ = nullptr;
  Exports hoxa_;
};

// Sets an environment variable for the scope's life (hoxa and children started meanwhile see it).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_.c_str(), old_.c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

}  // namespace hoxa_test
