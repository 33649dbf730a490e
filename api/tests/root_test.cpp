// The root device manager over real registered classes: teskroot itself and the tests'
// own device enumerator module.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tesk/tesk.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/windows.h>

#include "tesk_testing.h"

namespace {

using tesk::win32::ComPtr;
using tesk::win32::RegKey;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kDevicesKey[] = "Software\\Vorelle\\Tesk\\Devices";
constexpr char kRootClassKey[] = "CLSID\\{88e1c0a0-5884-11d3-a2c7-00a0cc503482}";

// Class identifiers served by the test module. Their registry order (case-insensitive) is
// A before B before C, whatever order they are created in.
constexpr char kClassA[] = "aaaaaaaa-0000-0000-0000-000000000001";
constexpr char kClassB[] = "BBBBBBBB-0000-0000-0000-000000000002";
constexpr char kClassC[] = "cccccccc-0000-0000-0000-000000000003";

using ModuleCall = HRESULT(STDAPICALLTYPE*)();

std::string RootModule() {
  return tesk::testing::LibDir() + "/libteskroot.so";
}
std::string EnumModule() {
  return tesk::testing::LibDir() + "/libtesk_test_enum.so";
}

void SetString(HKEY key, const char* name, const std::string& value) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
}

void SetDword(HKEY key, const char* name, DWORD value) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
            ERROR_SUCCESS);
}

HRESULT CallModule(const std::string& module, const char* export_name) {
  HMODULE h = LoadLibraryA(module.c_str());
  if (!h) return HRESULT_FROM_WIN32(GetLastError());
  auto fn = tesk::win32::GetProcAddressAs<ModuleCall>(h, export_name);
  const HRESULT hr = fn ? fn() : HRESULT_FROM_WIN32(GetLastError());
  FreeLibrary(h);
  return hr;
}

struct EnumClass {
  const char* guid;
  std::string devices;
  DWORD fail_next = 0;
  DWORD fail_reset = 0;
  DWORD refuse_enum = 0;
};

class RootTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override { ASSERT_EQ(CallModule(RootModule(), "DllRegisterServer"), S_OK); }

  void TearDown() override {
    // Every device and enumerator handed out by the test module has been released.
    if (HMODULE h = GetModuleHandleA(EnumModule().c_str())) {
      auto live = tesk::win32::GetProcAddressAs<long (*)()>(h, "TestEnumLiveObjects");
      ASSERT_NE(live, nullptr);
      EXPECT_EQ(live(), 0);
    }
  }

  // Registers a test enumerator class; listed under ...\Devices as `listed_name` when given.
  static void AddClass(const EnumClass& c, const char* listed_name = nullptr) {
    RegKey server;
    const std::string cls = std::string("CLSID\\{") + c.guid + "}";
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, (cls + "\\InprocServer32").c_str(), server.Put()),
              ERROR_SUCCESS);
    SetString(server.Get(), nullptr, EnumModule());
    RegKey config;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, (cls + "\\TestEnum").c_str(), config.Put()), ERROR_SUCCESS);
    SetString(config.Get(), "Devices", c.devices);
    SetDword(config.Get(), "FailNext", c.fail_next);
    SetDword(config.Get(), "FailReset", c.fail_reset);
    SetDword(config.Get(), "RefuseEnum", c.refuse_enum);
    List(listed_name ? listed_name : c.guid);
  }

  static void List(const std::string& name) {
    RegKey listed;
    ASSERT_EQ(
        RegCreateKeyA(HKEY_LOCAL_MACHINE, (std::string(kDevicesKey) + "\\" + name).c_str(), listed.Put()),
        ERROR_SUCCESS);
  }

  static ComPtr<ITesk> Root() {
    ComPtr<ITesk> root;
    EXPECT_EQ(GetMediaDeviceManager(root.PutVoid()), S_OK);
    return root;
  }

  static ComPtr<ITeskEnumDevice> Devices() {
    ComPtr<ITeskEnumDevice> devices;
    ComPtr<ITesk> root = Root();
    if (root) {
      EXPECT_EQ(root->EnumDevices(devices.Put()), S_OK);
    }
    return devices;
  }
};

// Draws up to celt devices and returns their names, releasing the devices.
struct Drawn {
  HRESULT hr;
  std::vector<std::string> names;
};

Drawn Draw(ITeskEnumDevice* devices, ULONG celt) {
  std::vector<ITeskDevice*> slots(celt + 1, nullptr);
  ULONG fetched = 0xdeadbeef;
  Drawn drawn{devices->Next(celt, slots.data(), &fetched), {}};
  EXPECT_LE(fetched, celt);
  for (ULONG i = 0; i < fetched && i < celt; ++i) {
    WCHAR name[64] = {};
    EXPECT_EQ(slots[i]->GetName(name, 64), S_OK);
    std::string narrow;
    for (const WCHAR* p = name; *p; ++p) narrow.push_back(static_cast<char>(*p));
    drawn.names.push_back(narrow);
    slots[i]->Release();
  }
  EXPECT_EQ(slots[celt], nullptr) << "wrote past the caller's array";
  return drawn;
}

TEST_F(RootTest, RootAnswersRevisionCountAndAnEmptyList) {
  ComPtr<ITesk> root = Root();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->GetRevision(), 0x00020000u);

  DWORD count = 0xdeadbeef;
  EXPECT_EQ(root->GetDeviceCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(root->GetDeviceCount(nullptr), E_INVALIDARG);
  EXPECT_EQ(root->EnumDevices(nullptr), E_INVALIDARG);

  // No Devices key at all, then an empty one: both enumerate nothing.
  for (bool with_key : {false, true}) {
    if (with_key) {
      RegKey key;
      ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kDevicesKey, key.Put()), ERROR_SUCCESS);
    }
    ComPtr<ITeskEnumDevice> devices;
    ASSERT_EQ(root->EnumDevices(devices.Put()), S_OK);
    Drawn drawn = Draw(devices.Get(), 1);
    EXPECT_EQ(drawn.hr, S_FALSE);
    EXPECT_THAT(drawn.names, IsEmpty());
  }
}

TEST_F(RootTest, RootOffersOnlyITeskAndIUnknown) {
  ComPtr<ITesk> root = Root();
  ASSERT_TRUE(root);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(root->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
  void* other = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(root->QueryInterface(IID_ITeskDevice, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
}

TEST_F(RootTest, UnregisteredRootFailsWithTheCreationCode) {
  ASSERT_EQ(CallModule(RootModule(), "DllUnregisterServer"), S_OK);
  void* root = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(GetMediaDeviceManager(&root), static_cast<HRESULT>(0x80040154));
  EXPECT_EQ(root, nullptr);
}

TEST_F(RootTest, DevicesOfEveryClassInRegistryOrder) {
  AddClass({kClassB, "B0,B1,B2"});
  AddClass({kClassA, "A0,A1"});
  ComPtr<ITeskEnumDevice> devices = Devices();
  ASSERT_TRUE(devices);

  Drawn all = Draw(devices.Get(), 10);
  EXPECT_EQ(all.hr, S_FALSE);
  EXPECT_THAT(all.names, ElementsAre("A0", "A1", "B0", "B1", "B2"));

  // Having run dry it starts again from the first device.
  Drawn again = Draw(devices.Get(), 1);
  EXPECT_EQ(again.hr, S_OK);
  EXPECT_THAT(again.names, ElementsAre("A0"));
}

TEST_F(RootTest, NextContinuesWhereTheLastCallStopped) {
  AddClass({kClassA, "A0,A1"});
  AddClass({kClassB, "B0,B1,B2"});
  ComPtr<ITeskEnumDevice> devices = Devices();
  ASSERT_TRUE(devices);

  struct Step {
    ULONG celt;
    HRESULT hr;
    std::vector<std::string> names;
  };
  const Step steps[] = {
      {0, S_OK, {}},        {2, S_OK, {"A0", "A1"}},       {2, S_OK, {"B0", "B1"}},
      {2, S_FALSE, {"B2"}}, {3, S_OK, {"A0", "A1", "B0"}}, {1, S_OK, {"B1"}},
  };
  for (const Step& step : steps) {
    Drawn drawn = Draw(devices.Get(), step.celt);
    EXPECT_EQ(drawn.hr, step.hr) << "celt " << step.celt;
    EXPECT_EQ(drawn.names, step.names) << "celt " << step.celt;
  }
}

TEST_F(RootTest, SkipsSubkeysThatGiveNoEnumerator) {
  AddClass({kClassB, "B0"});
  AddClass({kClassC, "C0", 0, 0, /*refuse_enum=*/1});
  List(std::string("{") + kClassB + "}");        // braces: not the form the root reads
  List("not-a-class");                           // not a GUID
  List("dddddddd-0000-0000-0000-000000000004");  // a GUID with no class behind it
  ComPtr<ITeskEnumDevice> devices = Devices();
  ASSERT_TRUE(devices);

  Drawn all = Draw(devices.Get(), 10);
  EXPECT_EQ(all.hr, S_FALSE);
  EXPECT_THAT(all.names, ElementsAre("B0"));
}

TEST_F(RootTest, CloneStartsAtTheBeginningWithItsOwnMembers) {
  AddClass({kClassA, "A0,A1"});
  ComPtr<ITeskEnumDevice> devices = Devices();
  ASSERT_TRUE(devices);
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("A0"));
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("A1"));

  // Classes registered after the first Next are seen by a clone, not by the original.
  AddClass({kClassB, "B0"});
  ComPtr<ITeskEnumDevice> clone;
  ASSERT_EQ(devices->Clone(clone.Put()), S_OK);
  EXPECT_EQ(devices->Clone(nullptr), E_INVALIDARG);

  EXPECT_THAT(Draw(clone.Get(), 10).names, ElementsAre("A0", "A1", "B0"));
  EXPECT_THAT(Draw(devices.Get(), 10).names, ElementsAre());
  EXPECT_THAT(Draw(devices.Get(), 10).names, ElementsAre("A0", "A1"));
}

TEST_F(RootTest, SkipDrawsAndReleases) {
  AddClass({kClassA, "A0,A1"});
  AddClass({kClassB, "B0,B1,B2"});
  ComPtr<ITeskEnumDevice> devices = Devices();
  ASSERT_TRUE(devices);

  EXPECT_EQ(devices->Skip(3), S_OK);
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("B1"));
  EXPECT_EQ(devices->Skip(10), S_FALSE);
  EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("A0"));
  EXPECT_EQ(devices->Skip(0), S_OK);
}

TEST_F(RootTest, MemberFailuresArePassedOn) {
  constexpr DWORD kFailure = 0x80040777;
  AddClass({kClassA, "A0,A1"});
  AddClass({kClassB, "B0", kFailure, kFailure});
  ComPtr<ITeskEnumDevice> devices = Devices();
  ASSERT_TRUE(devices);

  // Next: what earlier members delivered stays delivered and counted.
  Drawn drawn = Draw(devices.Get(), 5);
  EXPECT_EQ(drawn.hr, static_cast<HRESULT>(kFailure));
  EXPECT_THAT(drawn.names, ElementsAre("A0", "A1"));

  // Reset stops at the failing member; Skip passes the failure on and leaks nothing
  // (checked when the test ends).
  EXPECT_EQ(devices->Reset(), static_cast<HRESULT>(kFailure));
  ComPtr<ITeskEnumDevice> fresh = Devices();
  EXPECT_EQ(fresh->Skip(5), static_cast<HRESULT>(kFailure));
}

TEST_F(RootTest, ArgumentChecksAndResetBeforeTheFirstNext) {
  ComPtr<ITeskEnumDevice> devices = Devices();
  ASSERT_TRUE(devices);
  ITeskDevice* slot = nullptr;
  ULONG fetched = 0;
  EXPECT_EQ(devices->Next(1, nullptr, &fetched), E_INVALIDARG);
  EXPECT_EQ(devices->Next(1, &slot, nullptr), E_INVALIDARG);
  EXPECT_EQ(devices->Reset(), S_OK);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(devices->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
  void* other = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(devices->QueryInterface(IID_ITesk, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
}

class RootModuleTest : public RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    module_ = LoadLibraryA(RootModule().c_str());
    ASSERT_NE(module_, nullptr);
    get_class_object_ = tesk::win32::GetProcAddressAs<LPFNGETCLASSOBJECT>(module_, "DllGetClassObject");
    can_unload_now_ = tesk::win32::GetProcAddressAs<LPFNCANUNLOADNOW>(module_, "DllCanUnloadNow");
    ASSERT_NE(get_class_object_, nullptr);
    ASSERT_NE(can_unload_now_, nullptr);
  }
  void TearDown() override {
    FreeLibrary(module_);
    RootTest::TearDown();
  }

  HMODULE module_ = nullptr;
  LPFNGETCLASSOBJECT get_class_object_ = nullptr;
  LPFNCANUNLOADNOW can_unload_now_ = nullptr;
};

TEST_F(RootModuleTest, ClassFactoryRulesAndUnloadCounting) {
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(get_class_object_(tesk::TeskIdentifier(0xA1), IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);

  EXPECT_EQ(can_unload_now_(), S_OK);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(get_class_object_(CLSID_Tesk, IID_IClassFactory, factory.PutVoid()), S_OK);
  EXPECT_EQ(can_unload_now_(), S_FALSE);

  ComPtr<IUnknown> outer;
  ASSERT_EQ(factory->QueryInterface(IID_IUnknown, outer.PutVoid()), S_OK);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_ITesk, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_ITesk, &out), E_NOINTERFACE);
  outer.Reset();

  // A root and an enumerator each keep the module loaded.
  ComPtr<ITesk> root;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITesk, root.PutVoid()), S_OK);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_ITeskDevice, &out), E_NOINTERFACE);
  ComPtr<ITeskEnumDevice> devices;
  ASSERT_EQ(root->EnumDevices(devices.Put()), S_OK);
  factory->LockServer(TRUE);
  factory.Reset();
  root.Reset();
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  devices.Reset();
  EXPECT_EQ(can_unload_now_(), S_FALSE);  // still locked

  ASSERT_EQ(get_class_object_(CLSID_Tesk, IID_IClassFactory, factory.PutVoid()), S_OK);
  factory->LockServer(FALSE);
  factory.Reset();
  EXPECT_EQ(can_unload_now_(), S_OK);
}

TEST_F(RootModuleTest, RegistrationWritesTheClassKeyOnly) {
  RegKey server;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (std::string(kRootClassKey) + "\\InprocServer32").c_str(), 0,
                          KEY_READ, server.Put()),
            ERROR_SUCCESS);
  char path[4096] = {};
  DWORD size = sizeof(path);
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(server.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size),
            ERROR_SUCCESS);
  char expected[4096] = {};
  const DWORD length = GetModuleFileNameA(module_, expected, sizeof(expected));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(path, expected);
  EXPECT_EQ(size, length + 1);

  char model[32] = {};
  size = sizeof(model);
  ASSERT_EQ(
      RegQueryValueExA(server.Get(), "ThreadingModel", nullptr, &type, reinterpret_cast<BYTE*>(model), &size),
      ERROR_SUCCESS);
  EXPECT_STREQ(model, "Apartment");

  // The class key keeps the lower-case name it was created with and has no default value.
  RegKey cls;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kRootClassKey, 0, KEY_READ, cls.Put()), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(cls.Get(), nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegKey devices;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDevicesKey, 0, KEY_READ, devices.Put()), ERROR_FILE_NOT_FOUND);

  // Registering again is harmless; unregistering removes the class; a second time fails.
  EXPECT_EQ(CallModule(RootModule(), "DllRegisterServer"), S_OK);
  EXPECT_EQ(CallModule(RootModule(), "DllUnregisterServer"), S_OK);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kRootClassKey, 0, KEY_READ, cls.Put()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CallModule(RootModule(), "DllUnregisterServer"), SELFREG_E_CLASS);
}

TEST_F(RootTest, RootModuleUnloadsWhenNothingIsLeft) {
  AddClass({kClassA, "A0"});
  {
    ComPtr<ITeskEnumDevice> devices = Devices();
    EXPECT_THAT(Draw(devices.Get(), 1).names, ElementsAre("A0"));
    CoFreeUnusedLibraries();
    EXPECT_NE(GetModuleHandleA(RootModule().c_str()), nullptr);
  }
  CoFreeUnusedLibraries();
  EXPECT_EQ(GetModuleHandleA(RootModule().c_str()), nullptr);
}

}  // namespace
