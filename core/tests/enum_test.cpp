// teskcore's device enumerator over real registered test drivers: the order of the devices,
// which listed drivers count, the driver and device locks, and failures of drivers.
#include <ostream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core_support.h"

namespace {

using namespace core_testing;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Key;
using ::testing::Pair;

class EnumTest : public CoreTest {
 protected:
  // A with two devices, B with three; listed B first to show that registry order counts.
  static void TwoDrivers() {
    AddDriver(kDriverB, "B0,B1,B2");
    AddDriver(kDriverA, "A0,A1");
  }
};

TEST_F(EnumTest, DevicesOfEveryDriverInOrderThenFromTheStart) {
  TwoDrivers();
  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);

  Drawn first = Draw(devices.Get(), 4);
  EXPECT_EQ(first.hr, S_OK);
  EXPECT_THAT(first.names, ElementsAre("A0", "A1", "B0", "B1"));

  Drawn rest = Draw(devices.Get(), 4);
  EXPECT_EQ(rest.hr, S_FALSE);
  EXPECT_EQ(rest.fetched, 1u);
  EXPECT_THAT(rest.names, ElementsAre("B2"));

  Drawn again = Draw(devices.Get(), 2);
  EXPECT_EQ(again.hr, S_OK);
  EXPECT_THAT(again.names, ElementsAre("A0", "A1"));

  // Exactly the devices there are: S_OK, and the next call finds nothing left before it
  // starts again.
  ASSERT_EQ(devices->Reset(), S_OK);
  EXPECT_EQ(Draw(devices.Get(), 5).hr, S_OK);
  Drawn dry = Draw(devices.Get(), 1);
  EXPECT_EQ(dry.hr, S_FALSE);
  EXPECT_EQ(dry.fetched, 0u);
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("A0"));
}

TEST_F(EnumTest, NextOfNoneLoadsTheDriversAndBadArgumentsAreRefused) {
  TwoDrivers();
  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  ITeskDevice* slot = nullptr;
  ULONG fetched = 0xdeadbeef;
  EXPECT_EQ(devices->Next(1, nullptr, &fetched), E_INVALIDARG);
  EXPECT_EQ(devices->Next(1, &slot, nullptr), E_INVALIDARG);
  EXPECT_EQ(fetched, 0xdeadbeefu);
  EXPECT_EQ(devices->Clone(nullptr), E_INVALIDARG);
  EXPECT_EQ(DriverLiveObjects(), 0) << "drivers loaded before the first Next";

  EXPECT_EQ(devices->Next(0, &slot, &fetched), S_OK);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(DriverLiveObjects(), 2) << "both drivers, kept by the enumerator";

  // Loaded once: a later registry change is not seen by this enumerator.
  AddDriver("cccccccc-0000-0000-0000-00000000000c", "C0");
  EXPECT_THAT(Draw(devices.Get(), 10).names, ElementsAre("A0", "A1", "B0", "B1", "B2"));
  devices.Reset();
  EXPECT_EQ(DriverLiveObjects(), 0);
}

TEST_F(EnumTest, OnlyCreatableDriversListedByBareIdentifierCount) {
  AddDriver(kDriverB, "B0");
  // Beside B: a braced name of a working class, names that are not identifiers (one longer
  // than the name buffer, sorted first), an identifier of no registered class, and a class
  // whose module refuses it.
  AddDriver("aaaaaaaa-0000-0000-0000-0000000000a1", "braced", "{aaaaaaaa-0000-0000-0000-0000000000a1}");
  ListDriver("0-not-an-identifier");
  ListDriver("0" + std::string(200, 'f'));
  ListDriver("aaaaaaaa-0000-0000-0000-0000000000a2");
  {
    RegKey server;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT,
                            "CLSID\\{aaaaaaaa-0000-0000-0000-0000000000a3}\\InprocServer32", server.Put()),
              ERROR_SUCCESS);
    SetString(server.Get(), nullptr, DriverModule());  // but no TestDriver key: no such class
    ListDriver("aaaaaaaa-0000-0000-0000-0000000000a3");
  }

  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  Drawn drawn = Draw(devices.Get(), 3);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_THAT(drawn.names, ElementsAre("B0"));
  EXPECT_EQ(DriverLiveObjects(), 1);
}

TEST_F(EnumTest, NoDriversKeyMeansNoDevices) {
  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  Drawn drawn = Draw(devices.Get(), 2);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_EQ(drawn.fetched, 0u);
  EXPECT_THAT(drawn.names, IsEmpty());
  EXPECT_EQ(devices->Skip(1), S_FALSE);
}

TEST_F(EnumTest, CloneGoesOnFromTheSamePlaceWithItsOwnDrivers) {
  TwoDrivers();
  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  ASSERT_THAT(Draw(devices.Get(), 3).names, ElementsAre("A0", "A1", "B0"));

  // The clone loads the driver list afresh, so it sees what the registry says now.
  SetString(DriverConfig(kDriverB).Get(), "Devices", "X0,X1,X2");
  ComPtr<ITeskEnumDevice> clone;
  ASSERT_EQ(devices->Clone(clone.Put()), S_OK);
  EXPECT_EQ(DriverLiveObjects(), 2);
  EXPECT_THAT(Draw(clone.Get(), 1).names, ElementsAre("X1"));
  EXPECT_EQ(DriverLiveObjects(), 4);

  // Each goes on by itself.
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("B1"));
  EXPECT_THAT(Draw(clone.Get(), 1).names, ElementsAre("X2"));
}

TEST_F(EnumTest, SkipAndReset) {
  TwoDrivers();
  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  EXPECT_EQ(devices->Skip(0), S_OK);
  EXPECT_EQ(devices->Skip(3), S_OK);
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("B1"));
  EXPECT_EQ(devices->Reset(), S_OK);
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("A0"));

  // Skipping past the end runs dry and starts again; a count far beyond the devices costs
  // nothing.
  EXPECT_EQ(devices->Skip(0xFFFFFFFF), S_FALSE);
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("A0"));
  EXPECT_EQ(devices->Skip(200), S_FALSE);
  EXPECT_EQ(DriverLiveObjects(), 2) << "skipped devices are released";
}

TEST_F(EnumTest, ADriverThatFailsGetDeviceDeliversNothingAndLeavesNothing) {
  TwoDrivers();
  {
    RegKey b = DriverConfig(kDriverB);
    SetDword(b.Get(), "FailDeviceAt", 1);
    SetDword(b.Get(), "FailDeviceCode", 0x8007001F);
  }
  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  Drawn drawn = Draw(devices.Get(), 4);
  EXPECT_EQ(drawn.hr, static_cast<HRESULT>(0x8007001F));
  EXPECT_EQ(drawn.fetched, 0u);
  EXPECT_THAT(drawn.names, IsEmpty());
  EXPECT_EQ(DriverLiveObjects(), 2) << "only the drivers: every device fetched was released";

  // Neither driver's word was left taken.
  EXPECT_THAT(PoolWords(), Contains(Pair(DriverEntry(kDriverA), 0u)));
  EXPECT_THAT(PoolWords(), Contains(Pair(DriverEntry(kDriverB), 0u)));
  devices.Reset();

  ASSERT_EQ(RegDeleteValueA(DriverConfig(kDriverB).Get(), "FailDeviceAt"), ERROR_SUCCESS);
  EXPECT_THAT(Draw(CoreEnumerator().Get(), 5).names, ElementsAre("A0", "A1", "B0", "B1", "B2"));
}

TEST_F(EnumTest, ADriverThatCannotCountContributesNothing) {
  TwoDrivers();
  SetDword(DriverConfig(kDriverA).Get(), "FailDeviceCount", 0x80004005);
  Drawn drawn = Draw(CoreEnumerator().Get(), 5);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_THAT(drawn.names, ElementsAre("B0", "B1", "B2"));
}

// Each device's busy word is named after its driver and its place in that driver's list;
// a driver or device that asks for a process-local lock has no word in the pool.
struct LockFlags {
  const char* label;
  int driver_local;   // -1: the driver does not answer
  int device_locals;  // -1: the devices do not answer; else one bit per device
};

void PrintTo(const LockFlags& flags, std::ostream* out) {
  *out << flags.label;
}

class DeviceLockTest : public EnumTest, public ::testing::WithParamInterface<LockFlags> {};

TEST_P(DeviceLockTest, DeviceLocksAreNamedByDriverAndPosition) {
  const LockFlags& flags = GetParam();
  AddDriver(kDriverA, "A0,A1,A2");
  AddDriver(kDriverB, "B0");
  {
    RegKey a = DriverConfig(kDriverA);
    if (flags.driver_local >= 0) SetDword(a.Get(), "LocalLock", static_cast<DWORD>(flags.driver_local));
    if (flags.device_locals >= 0)
      SetDword(a.Get(), "DeviceLocalLocks", static_cast<DWORD>(flags.device_locals));
  }
  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  ASSERT_EQ(Draw(devices.Get(), 4).hr, S_OK);

  const auto words = PoolWords();
  EXPECT_EQ(words.count(DriverEntry(kDriverA)), flags.driver_local == 1 ? 0u : 1u);
  for (int i = 0; i < 3; ++i) {
    const bool shared = flags.device_locals < 0 || ((flags.device_locals >> i) & 1) == 0;
    EXPECT_EQ(words.count(DeviceEntry(kDriverA, i)), shared ? 1u : 0u) << "device " << i;
  }
  EXPECT_THAT(words, Contains(Pair(DriverEntry(kDriverB), 0u)));
  EXPECT_THAT(words, Contains(Pair(DeviceEntry(kDriverB, 0), 0u)));
}

INSTANTIATE_TEST_SUITE_P(Flags, DeviceLockTest,
                         ::testing::Values(LockFlags{"NotAnswered", -1, -1}, LockFlags{"AllShared", 0, 0},
                                           LockFlags{"LocalDriverAndSecondDevice", 1, 0b010}),
                         [](const ::testing::TestParamInfo<LockFlags>& param) { return param.param.label; });

// Another process holds the driver's word, as another enumeration would: the enumerator
// reports the driver busy and delivers nothing, unless the driver asked for a lock of its
// own process only.
class BusyDriverTest : public EnumTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BusyDriverTest, ADriverHeldByAnotherProcessIsBusy) {
  const bool local = GetParam();
  TwoDrivers();
  if (local) SetDword(DriverConfig(kDriverA).Get(), "LocalLock", 1);

  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  {
    LockHolder holder(kDriverA, -1, 1);
    EXPECT_THAT(PoolWords(), Contains(Pair(DriverEntry(kDriverA), 1u)));
    Drawn drawn = Draw(devices.Get(), 3);
    if (local) {
      EXPECT_EQ(drawn.hr, S_OK);
      EXPECT_THAT(drawn.names, ElementsAre("A0", "A1", "B0"));
    } else {
      EXPECT_EQ(drawn.hr, TESK_E_BUSY);
      EXPECT_EQ(drawn.fetched, 0u);
      EXPECT_THAT(drawn.names, IsEmpty());
    }
  }
  // Once the other process has let go, the same enumerator goes on.
  Drawn after = Draw(devices.Get(), 3);
  if (local) {
    EXPECT_EQ(after.hr, S_FALSE);
    EXPECT_THAT(after.names, ElementsAre("B1", "B2"));
  } else {
    EXPECT_EQ(after.hr, S_OK);
    EXPECT_THAT(after.names, ElementsAre("A0", "A1", "B0"));
  }
}

INSTANTIATE_TEST_SUITE_P(Lock, BusyDriverTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "ProcessLocal" : "Shared";
                         });

// A busy second driver: what the first one gave is released, and its word is free again.
TEST_F(EnumTest, ABusyLaterDriverDeliversNothingAndLeavesNothing) {
  TwoDrivers();
  ComPtr<ITeskEnumDevice> devices = CoreEnumerator();
  ASSERT_TRUE(devices);
  LockHolder holder(kDriverB, -1, 1);
  Drawn drawn = Draw(devices.Get(), 4);
  EXPECT_EQ(drawn.hr, TESK_E_BUSY);
  EXPECT_EQ(drawn.fetched, 0u);
  EXPECT_EQ(DriverLiveObjects(), 2);
  EXPECT_THAT(PoolWords(), Contains(Pair(DriverEntry(kDriverA), 0u)));
  EXPECT_THAT(PoolWords(), Contains(Pair(DriverEntry(kDriverB), 1u)));
}

}  // namespace
