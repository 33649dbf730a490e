// The whole way an application goes: GetMediaDeviceManager (teskroot) draws devices from
// teskcore, which wraps the devices of a registered plug-in driver; another process that
// holds a device's busy word makes that device, and only it, busy everywhere.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core_support.h"

namespace {

using namespace core_testing;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const std::vector<BYTE> kSerial = {0x51, 0x34, 0x31, 0x00, 0xfe, 0x07, 0x10, 0x20, 0x30, 0x40};

class EndToEndTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    ASSERT_EQ(CallModule(RootModule(), "DllRegisterServer"), S_OK);
    AddDriver(kDriverA, "Q41,Q42");
    RegKey a = DriverConfig(kDriverA);
    SetString(a.Get(), "Manufacturer", "Holvenn");
    SetBinary(a.Get(), "Serial", kSerial);
    SetDword(a.Get(), "VendorId", 0x7A3D);
    SetDword(a.Get(), "Status", 0);
    SetDword(a.Get(), "Version", 0x01000000);
    SetDword(a.Get(), "Type", 0x13);
    SetDword(a.Get(), "Power", 0x22);
  }

  static ComPtr<ITeskEnumDevice> RootDevices() {
    ComPtr<ITesk> root;
    ComPtr<ITeskEnumDevice> devices;
    EXPECT_EQ(GetMediaDeviceManager(root.PutVoid()), S_OK);
    if (root) {
      EXPECT_EQ(root->EnumDevices(devices.Put()), S_OK);
    }
    return devices;
  }
};

TEST_F(EndToEndTest, ADeviceAnswersAndIsBusyWhileAnotherProcessHoldsIt) {
  ComPtr<ITeskEnumDevice> devices = RootDevices();
  ASSERT_TRUE(devices);
  ITeskDevice* slots[2] = {};
  ULONG fetched = 0;
  ASSERT_EQ(devices->Next(2, slots, &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  ComPtr<ITeskDevice> device = ComPtr<ITeskDevice>::Adopt(slots[0]);
  ComPtr<ITeskDevice> sibling = ComPtr<ITeskDevice>::Adopt(slots[1]);

  EXPECT_EQ(NameOf(device.Get()), "Q41");
  WCHAR maker[32] = {};
  EXPECT_EQ(device->GetManufacturer(maker, 32), S_OK);
  EXPECT_EQ(Narrow(maker), "Holvenn");
  TeskId id = {};
  id.cbSize = TESK_ID_SIZE_COUNTED;
  ASSERT_EQ(device->GetSerialNumber(&id), S_OK);
  EXPECT_EQ(id.dwVendorId, 0x7A3Du);
  EXPECT_EQ(id.cbId, kSerial.size());
  EXPECT_THAT(std::vector<BYTE>(id.abId, id.abId + kSerial.size()), ElementsAreArray(kSerial));
  DWORD word = 0xdeadbeef;
  EXPECT_EQ(device->GetVersion(&word), S_OK);
  EXPECT_EQ(word, 0x01000000u);
  EXPECT_EQ(device->GetType(&word), S_OK);
  EXPECT_EQ(word, 0x13u);
  EXPECT_EQ(device->GetPowerSource(&word), S_OK);
  EXPECT_EQ(word, 0x22u);
  EXPECT_EQ(device->GetStatus(&word), S_OK);
  EXPECT_EQ(word, 0u);

  {
    // Another program inserting onto the first player.
    LockHolder holder(kDriverA, 0, 0x00100000);
    EXPECT_EQ(device->GetName(maker, 32), TESK_E_BUSY);
    EXPECT_EQ(device->GetManufacturer(maker, 32), TESK_E_BUSY);
    EXPECT_EQ(device->GetSerialNumber(&id), TESK_E_BUSY);
    word = 0xdeadbeef;
    EXPECT_EQ(device->GetStatus(&word), S_OK);
    EXPECT_EQ(word, TESK_STATUS_INSERTING_BEFORE);
    // The second player of the same driver has a word of its own.
    EXPECT_EQ(NameOf(sibling.Get()), "Q42");

    // A second enumeration in this process sees the same word.
    ComPtr<ITeskEnumDevice> again = RootDevices();
    ASSERT_TRUE(again);
    ComPtr<ITeskDevice> same;
    ASSERT_EQ(again->Next(1, same.Put(), &fetched), S_OK);
    EXPECT_EQ(same->GetName(maker, 32), TESK_E_BUSY);

    EXPECT_EQ(holder.Release(), 0);
  }
  EXPECT_EQ(NameOf(device.Get()), "Q41");
  word = 0xdeadbeef;
  EXPECT_EQ(device->GetStatus(&word), S_OK);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(device->GetManufacturer(maker, 32), S_OK);
}

TEST_F(EndToEndTest, TheRootPassesOnABusyDriver) {
  ComPtr<ITeskEnumDevice> devices = RootDevices();
  ASSERT_TRUE(devices);
  {
    LockHolder holder(kDriverA, -1, 1);
    Drawn drawn = Draw(devices.Get(), 2);
    EXPECT_EQ(drawn.hr, TESK_E_BUSY);
    EXPECT_EQ(drawn.fetched, 0u);
  }
  Drawn drawn = Draw(devices.Get(), 3);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_THAT(drawn.names, ElementsAre("Q41", "Q42"));
}

}  // namespace
