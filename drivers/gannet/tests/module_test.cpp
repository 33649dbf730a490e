// The driver module: its class object, unloading, registration, message table, and the
// report of objects still referenced when it is unloaded.
#include <fstream>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/winres.h>

#include "gannet_test_support.h"

namespace gannet_test {
namespace {

using tesk::win32::RegKey;
using ::testing::HasSubstr;

constexpr char kClassKey[] = "CLSID\\{028D6280-A219-11D5-98A1-00105AA9FECC}";
constexpr char kListedKey[] = "Software\\Vorelle\\Tesk\\Drivers\\028d6280-a219-11d5-98a1-00105aa9fecc";

// The default (or named) value of a key, or "<missing>".
std::string Value(HKEY root, const std::string& path, const char* name = nullptr) {
  char data[1024] = {};
  DWORD size = sizeof(data) - 1;
  RegKey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS ||
      RegQueryValueExA(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS)
    return "<missing>";
  return data;
}

bool KeyExists(HKEY root, const std::string& path) {
  RegKey key;
  return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

DWORD SubkeyCount(HKEY root, const char* path) {
  RegKey key;
  DWORD count = 0;
  if (RegOpenKeyExA(root, path, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return 0;
  char name[256];
  for (;; ++count) {
    DWORD length = sizeof(name);
    if (RegEnumKeyExA(key.Get(), count, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
  }
  return count;
}

using ModuleTest = GannetTest;

TEST_F(ModuleTest, RegistersOnceAndUnregistersEverything) {
  ASSERT_EQ(register_(), S_OK);
  ASSERT_EQ(register_(), S_OK);
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kClassKey), "Holvenn Q41 Service Provider Driver");
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\InProcServer32"), ModulePath());
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\InProcServer32", "ThreadingModel"),
            "Apartment");
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kListedKey), "Holvenn Q41 Service Provider Driver");
  EXPECT_EQ(SubkeyCount(HKEY_LOCAL_MACHINE, SPD_DRIVERS_KEY), 1u);

  // Hosts create the class through COM from the registration alone.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  ComPtr<ISpdDriver> driver;
  EXPECT_EQ(CoCreateInstance(gannet::CLSID_GannetDriver, nullptr, CLSCTX_INPROC_SERVER, IID_ISpdDriver,
                             driver.PutVoid()),
            S_OK);
  driver = nullptr;
  CoFreeUnusedLibraries();
  CoUninitialize();

  ASSERT_EQ(unregister_(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kListedKey));
  EXPECT_EQ(SubkeyCount(HKEY_LOCAL_MACHINE, SPD_DRIVERS_KEY), 0u);
  // Nothing left to remove.
  EXPECT_EQ(unregister_(), SELFREG_E_CLASS);
}

TEST_F(ModuleTest, ClassObjectOnlyForTheDriverClass) {
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(get_class_object_(IID_ISpdDriver, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(get_class_object_(gannet::CLSID_GannetDriver, IID_ISpdDriver, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  ComPtr<IClassFactory> factory = Factory();
  ASSERT_TRUE(factory);
  ComPtr<IUnknown> outer;
  ASSERT_EQ(factory->QueryInterface(IID_IUnknown, outer.PutVoid()), S_OK);
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_ISpdDriver, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  // The interface asked for is not consulted: it is always the driver's.
  ComPtr<ISpdDriver> driver;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, driver.PutVoid()), S_OK);
  DWORD count = 0;
  EXPECT_EQ(driver->GetDeviceCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
}

TEST_F(ModuleTest, UnloadsOnlyWithoutObjectsAndLocks) {
  EXPECT_EQ(can_unload_now_(), S_OK);
  ComPtr<IClassFactory> factory = Factory();
  EXPECT_EQ(can_unload_now_(), S_FALSE) << "a class factory counts";
  ComPtr<ISpdDriver> driver;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ISpdDriver, driver.PutVoid()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory = nullptr;
  EXPECT_EQ(can_unload_now_(), S_FALSE);
  ComPtr<ISpdDevice> device;
  ASSERT_EQ(driver->GetDevice(7, device.Put()), S_OK);
  driver = nullptr;
  EXPECT_EQ(can_unload_now_(), S_FALSE) << "the device counts";
  device = nullptr;
  EXPECT_EQ(can_unload_now_(), S_FALSE) << "the lock counts";
  factory = Factory();
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory = nullptr;
  EXPECT_EQ(can_unload_now_(), S_OK);
}

TEST_F(ModuleTest, MessageTable) {
  const std::pair<UINT, const char*> kTexts[] = {
      {100, "Requested Interface Object was not found."},
      {110, "Requested Operation is not implemented."},
      {120, "General Failure"},
      {130, "Invalid parameters were passed to method."},
      {140, "Not enough memory to perform operation."},
      {150, "Access to operation has been denied."},
      {160, "Cant perform operation because currently busy."},
      {170, "The interface object is dead."},
      {180, "Failed to execute or spwan a process."},
      {190, "Suspended until pending data or operation is ready."},
      {195, "Unknown Error"},
      {500, "Gannet"},
      {501, "Holvenn"},
      {502, "Internal Flash Memory"},
      {503, "External Flash Memory"},
  };
  char text[128];
  for (const auto& [id, expected] : kTexts) {
    ASSERT_GT(LoadStringA(module_, id, text, sizeof(text)), 0) << id;
    EXPECT_STREQ(text, expected);
  }
  EXPECT_EQ(LoadStringA(module_, 101, text, sizeof(text)), 0);
}

// The report a process that unloads the driver while holding objects leaves behind.
class UnloadReportTest : public GannetTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(GannetTest::SetUp());
    report_ = prefix() + "/drive_c/temp/debug.out";
  }

  std::string Report() const {
    std::ifstream file(report_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  void RunChild(const char* what, int extra_references) {
    const auto result = tesk::testing::RunChild("gannet_unload_child",
                                                {ModulePath(), what, std::to_string(extra_references)});
    ASSERT_EQ(result.exit_code, 0) << result.output;
  }

  std::string report_;
};

TEST_F(UnloadReportTest, ListsAHeldDeviceWithItsReferenceCount) {
  // Without c:\temp there is nowhere to write: nothing happens.
  ASSERT_NO_FATAL_FAILURE(RunChild("device", 0));
  EXPECT_EQ(Report(), "");

  ASSERT_EQ(CreateDirectoryA("c:\\temp", nullptr), TRUE) << GetLastError();
  ASSERT_NO_FATAL_FAILURE(RunChild("device", 2));
  const std::string rule(66, '=');
  const std::string expected = "1 Unreleased interfaces:\n" + rule + "\n" +
                               "                 Class name  Reference Count\n"
                               "  -------------------------  ---------------\n"
                               "                    CDevice               3\n" +
                               rule + "\n\n";
  EXPECT_EQ(Report(), expected);
  // Each unload appends its report.
  ASSERT_NO_FATAL_FAILURE(RunChild("device", 0));
  EXPECT_EQ(Report(), expected + "1 Unreleased interfaces:\n" + rule + "\n" +
                          "                 Class name  Reference Count\n"
                          "  -------------------------  ---------------\n"
                          "                    CDevice               1\n" +
                          rule + "\n\n");
}

}  // namespace
}  // namespace gannet_test
