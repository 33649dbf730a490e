// spgannet's test fixture: every test loads the driver module afresh (its player state is
// process-wide) and reaches it through its exports by name, as the hosts do.
#pragma once

#include <string>

#include <gtest/gtest.h>
#include <tesk_testing.h>
#include <tesk/spd.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/windows.h>

#include "gannet.h"

namespace gannet_test {

using tesk::win32::ComPtr;

inline std::string ModulePath() {
  return tesk::testing::LibDir() + "/libspgannet.so";
}

// A UTF-16 string's text (ASCII only).
inline std::string TextOf(const WCHAR* text) {
  std::string narrow;
  for (; *text; ++text) narrow += static_cast<char>(*text);
  return narrow;
}

class GannetTest : public tesk::testing::PrefixTest {
 protected:
  using ExportFn = HRESULT(STDAPICALLTYPE*)();
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);

  void SetUp() override { ASSERT_NO_FATAL_FAILURE(Load()); }
  void TearDown() override { Unload(); }

  void Load() {
    // Fresh state only if the last unload really unloaded the module.
    ASSERT_EQ(GetModuleHandleA(ModulePath().c_str()), nullptr) << "spgannet is still loaded";
    module_ = LoadLibraryA(ModulePath().c_str());
    ASSERT_NE(module_, nullptr) << "LoadLibraryA: error " << GetLastError();
    get_class_object_ = tesk::win32::GetProcAddressAs<GetClassObjectFn>(module_, "DllGetClassObject");
    can_unload_now_ = tesk::win32::GetProcAddressAs<ExportFn>(module_, "DllCanUnloadNow");
    register_ = tesk::win32::GetProcAddressAs<ExportFn>(module_, "DllRegisterServer");
    unregister_ = tesk::win32::GetProcAddressAs<ExportFn>(module_, "DllUnregisterServer");
    ASSERT_TRUE(get_class_object_ && can_unload_now_ && register_ && unregister_);
  }

  // Every object the test still holds must be gone by now.
  void Unload() {
    if (!module_) return;
    EXPECT_EQ(can_unload_now_(), S_OK) << "driver objects outlive the test";
    FreeLibrary(module_);
    module_ = nullptr;
  }

  ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(get_class_object_(gannet::CLSID_GannetDriver, IID_IClassFactory, factory.PutVoid()), S_OK);
    return factory;
  }

  ComPtr<ISpdDriver> Driver() {
    ComPtr<ISpdDriver> driver;
    ComPtr<IClassFactory> factory = Factory();
    if (factory) {
      EXPECT_EQ(factory->CreateInstance(nullptr, IID_ISpdDriver, driver.PutVoid()), S_OK);
    }
    return driver;
  }

  // A new device object: discovery runs now.
  ComPtr<ISpdDevice> Device() {
    ComPtr<ISpdDevice> device;
    ComPtr<ISpdDriver> driver = Driver();
    if (driver) {
      EXPECT_EQ(driver->GetDevice(0, device.Put()), S_OK);
    }
    return device;
  }

  HMODULE module_ = nullptr;
  GetClassObjectFn get_class_object_ = nullptr;
  ExportFn can_unload_now_ = nullptr;
  ExportFn register_ = nullptr;
  ExportFn unregister_ = nullptr;
};

}  // namespace gannet_test
