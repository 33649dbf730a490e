// teskcore's module: its registration, its class factory and its unload counting.
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core_support.h"

namespace {

using namespace core_testing;
using ::testing::ElementsAre;

// The names of a key's subkeys, as stored.
std::vector<std::string> Subkeys(HKEY root, const char* path) {
  std::vector<std::string> names;
  RegKey key;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD chars = sizeof(name);
    if (RegEnumKeyExA(key.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  return names;
}

// The module loaded by hand, as a setup program or COM would.
class LoadedCore {
 public:
  explicit LoadedCore(const std::string& path = CoreModule()) : module_(LoadLibraryA(path.c_str())) {
    EXPECT_NE(module_, nullptr) << path;
  }
  ~LoadedCore() {
    if (module_) FreeLibrary(module_);
  }
  LoadedCore(const LoadedCore&) = delete;
  LoadedCore& operator=(const LoadedCore&) = delete;

  template <class Fn>
  Fn Export(const char* name) const {
    return tesk::win32::GetProcAddressAs<Fn>(module_, name);
  }
  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
    return Export<LPFNGETCLASSOBJECT>("DllGetClassObject")(clsid, riid, ppv);
  }
  HRESULT CanUnloadNow() const { return Export<LPFNCANUNLOADNOW>("DllCanUnloadNow")(); }
  HRESULT Call(const char* name) const { return Export<HRESULT(STDAPICALLTYPE*)()>(name)(); }

 private:
  HMODULE module_;
};

using CoreModuleTest = CoreTest;

TEST_F(CoreModuleTest, RegistrationListsTheClassForTheRoot) {
  const std::string server = std::string(kCoreClassKey) + "\\InProcServer32";
  EXPECT_EQ(DefaultValue(HKEY_CLASSES_ROOT, kCoreClassKey), "Zuna Tesk Core");
  EXPECT_EQ(DefaultValue(HKEY_CLASSES_ROOT, server), CoreModule());
  EXPECT_EQ(DefaultValue(HKEY_CLASSES_ROOT, server, "ThreadingModel"), "Apartment");
  EXPECT_THAT(Subkeys(HKEY_CLASSES_ROOT, "CLSID"), ElementsAre("{40adb220-d33c-11d3-a856-0000e89b32e8}"));
  EXPECT_THAT(Subkeys(HKEY_LOCAL_MACHINE, kDevicesKey), ElementsAre(kCoreListedName));
  EXPECT_EQ(DefaultValue(HKEY_LOCAL_MACHINE, std::string(kDevicesKey) + "\\" + kCoreListedName),
            "Zuna Tesk Core");

  // Registering again changes nothing.
  EXPECT_EQ(CallModule(CoreModule(), "DllRegisterServer"), S_OK);
  EXPECT_THAT(Subkeys(HKEY_LOCAL_MACHINE, kDevicesKey), ElementsAre(kCoreListedName));
  EXPECT_EQ(DefaultValue(HKEY_CLASSES_ROOT, server), CoreModule());
}

TEST_F(CoreModuleTest, UnregistrationLeavesTheDriversAndTheDevicesKey) {
  AddDriver(kDriverA, "A0");
  {
    RegKey other;  // another enumerator listed beside the core
    ASSERT_EQ(
        RegCreateKeyA(HKEY_LOCAL_MACHINE, (std::string(kDevicesKey) + "\\" + kDriverB).c_str(), other.Put()),
        ERROR_SUCCESS);
  }
  EXPECT_EQ(CallModule(CoreModule(), "DllUnregisterServer"), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kCoreClassKey));
  EXPECT_THAT(Subkeys(HKEY_LOCAL_MACHINE, kDevicesKey), ElementsAre(kDriverB));
  EXPECT_THAT(Subkeys(HKEY_LOCAL_MACHINE, kDriversKey), ElementsAre(kDriverA));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\{") + kDriverA + "}\\InprocServer32"));

  // Nothing left to remove.
  EXPECT_EQ(CallModule(CoreModule(), "DllUnregisterServer"), SELFREG_E_CLASS);
}

// Linux paths are far longer than the 255 characters a Windows module path may have; the
// path is registered whole.
TEST_F(CoreModuleTest, RegistersALongModulePathWhole) {
  std::filesystem::path folder = prefix();
  for (int i = 0; i < 6; ++i) folder /= std::string(60, static_cast<char>('a' + i));
  std::filesystem::create_directories(folder);
  const std::string copy = (folder / "libteskcore.so").string();
  std::filesystem::copy_file(CoreModule(), copy);
  ASSERT_GT(copy.size(), 400u);
  {
    LoadedCore core(copy);
    EXPECT_EQ(core.Call("DllRegisterServer"), S_OK);
  }
  EXPECT_EQ(DefaultValue(HKEY_CLASSES_ROOT, std::string(kCoreClassKey) + "\\InProcServer32"), copy);
}

TEST_F(CoreModuleTest, FactoryServesOnlyTheCoreClassWithoutAggregation) {
  LoadedCore core;
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(core.GetClassObject(CLSID_Tesk, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(core.GetClassObject(teskcore::CLSID_TeskCore, IID_ITeskEnumDevice, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(core.GetClassObject(teskcore::CLSID_TeskCore, IID_IClassFactory, factory.PutVoid()), S_OK);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(factory->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);

  ComPtr<IUnknown> outer;
  ASSERT_EQ(core.GetClassObject(teskcore::CLSID_TeskCore, IID_IUnknown, outer.PutVoid()), S_OK);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_ITeskDevice, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  // The enumerator answers its own interface and IUnknown, nothing else.
  ComPtr<IUnknown> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()), S_OK);
  ComPtr<ITeskEnumDevice> devices;
  EXPECT_EQ(object->QueryInterface(IID_ITeskEnumDevice, devices.PutVoid()), S_OK);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(object->QueryInterface(IID_ITesk, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

// The module may go while no object of it lives and no lock is held; the devices it handed
// out count, though they keep neither the enumerator nor the drivers alive.
TEST_F(CoreModuleTest, CanUnloadOnlyWithoutObjectsOrLocks) {
  AddDriver(kDriverA, "A0");
  LoadedCore core;
  EXPECT_EQ(core.CanUnloadNow(), S_OK);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(core.GetClassObject(teskcore::CLSID_TeskCore, IID_IClassFactory, factory.PutVoid()), S_OK);
  EXPECT_EQ(core.CanUnloadNow(), S_FALSE);
  ComPtr<ITeskEnumDevice> devices;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITeskEnumDevice, devices.PutVoid()), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory.Reset();
  EXPECT_EQ(core.CanUnloadNow(), S_FALSE);

  ITeskDevice* device = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(devices->Next(1, &device, &fetched), S_OK);
  devices.Reset();
  EXPECT_EQ(DriverLiveObjects(), 1) << "the device alone";
  EXPECT_EQ(core.CanUnloadNow(), S_FALSE);
  device->Release();
  EXPECT_EQ(core.CanUnloadNow(), S_FALSE) << "the server lock is still held";

  ASSERT_EQ(core.GetClassObject(teskcore::CLSID_TeskCore, IID_IClassFactory, factory.PutVoid()), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();
  EXPECT_EQ(core.CanUnloadNow(), S_OK);
}

}  // namespace
