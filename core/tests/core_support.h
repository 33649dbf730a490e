// What the core's module-level tests share: teskcore and teskroot registered from the build
// tree, test driver classes registered and configured in the registry, the shared pool as
// another process sees it, and a second process that holds a busy word.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/spd.h>
#include <tesk/tesk.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/windows.h>

#include "smem.h"
#include "tesk_testing.h"
#include "teskcore.h"

namespace core_testing {

using tesk::win32::ComPtr;
using tesk::win32::RegKey;

inline constexpr char kDriversKey[] = "Software\\Vorelle\\Tesk\\Drivers";
inline constexpr char kDevicesKey[] = "Software\\Vorelle\\Tesk\\Devices";
inline constexpr char kCoreClassKey[] = "CLSID\\{40adb220-d33c-11d3-a856-0000e89b32e8}";
inline constexpr char kCoreListedName[] = "40adb220-d33c-11d3-a856-0000e89b32e8";

// Driver classes served by the test driver module; the registry lists A before B.
inline constexpr char kDriverA[] = "aaaaaaaa-0000-0000-0000-00000000000a";
inline constexpr char kDriverB[] = "BBBBBBBB-0000-0000-0000-00000000000B";

inline std::string CoreModule() {
  return tesk::testing::LibDir() + "/libteskcore.so";
}
inline std::string RootModule() {
  return tesk::testing::LibDir() + "/libteskroot.so";
}
inline std::string DriverModule() {
  return tesk::testing::LibDir() + "/libtesk_test_driver.so";
}

inline std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Calls one of a module's registration exports, as a setup program would.
inline HRESULT CallModule(const std::string& module, const char* export_name) {
  HMODULE h = LoadLibraryA(module.c_str());
  if (!h) return HRESULT_FROM_WIN32(GetLastError());
  auto fn = tesk::win32::GetProcAddressAs<HRESULT(STDAPICALLTYPE*)()>(h, export_name);
  const HRESULT hr = fn ? fn() : HRESULT_FROM_WIN32(GetLastError());
  FreeLibrary(h);
  return hr;
}

inline void SetString(HKEY key, const char* name, const std::string& value) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
}

inline void SetDword(HKEY key, const char* name, DWORD value) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
            ERROR_SUCCESS);
}

inline void SetBinary(HKEY key, const char* name, const std::vector<BYTE>& value) {
  ASSERT_EQ(RegSetValueExA(key, name, 0, REG_BINARY, value.data(), static_cast<DWORD>(value.size())),
            ERROR_SUCCESS);
}

// The default value of a key, or "<missing>".
inline std::string DefaultValue(HKEY root, const std::string& path, const char* name = nullptr) {
  char data[4200] = {};
  DWORD size = sizeof(data) - 1;
  RegKey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS ||
      RegQueryValueExA(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS)
    return "<missing>";
  return data;
}

inline bool KeyExists(HKEY root, const std::string& path) {
  RegKey key;
  return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// The configuration key of a test driver class (created).
inline RegKey DriverConfig(const std::string& guid) {
  RegKey key;
  EXPECT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, ("CLSID\\{" + guid + "}\\TestDriver").c_str(), key.Put()),
            ERROR_SUCCESS);
  return key;
}

// Lists a name under ...\Tesk\Drivers, as a driver's own registration does.
inline void ListDriver(const std::string& name) {
  RegKey listed;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, (std::string(kDriversKey) + "\\" + name).c_str(), listed.Put()),
            ERROR_SUCCESS);
}

// Registers a test driver class serving `devices` (comma-separated names) and lists it,
// under its own identifier unless `listed_as` is given.
inline void AddDriver(const std::string& guid, const std::string& devices,
                      const std::string& listed_as = "") {
  RegKey server;
  ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, ("CLSID\\{" + guid + "}\\InprocServer32").c_str(), server.Put()),
            ERROR_SUCCESS);
  SetString(server.Get(), nullptr, DriverModule());
  SetString(DriverConfig(guid).Get(), "Devices", devices);
  ListDriver(listed_as.empty() ? guid : listed_as);
}

// Objects of the test driver module alive now; 0 when it is not loaded.
inline long DriverLiveObjects() {
  HMODULE h = GetModuleHandleA(DriverModule().c_str());
  if (!h) return 0;
  auto live = tesk::win32::GetProcAddressAs<long (*)()>(h, "TestDriverLiveObjects");
  return live ? live() : -1;
}

inline ComPtr<ITeskEnumDevice> CoreEnumerator() {
  ComPtr<ITeskEnumDevice> devices;
  EXPECT_EQ(CoCreateInstance(teskcore::CLSID_TeskCore, nullptr, CLSCTX_INPROC_SERVER, IID_ITeskEnumDevice,
                             devices.PutVoid()),
            S_OK);
  return devices;
}

inline std::string Narrow(const WCHAR* wide) {
  std::string narrow;
  for (const WCHAR* p = wide; *p; ++p) narrow.push_back(static_cast<char>(*p));
  return narrow;
}

inline std::string NameOf(ITeskDevice* device) {
  WCHAR name[64] = {};
  const HRESULT hr = device->GetName(name, 64);
  return hr == S_OK ? Narrow(name) : "<GetName failed>";
}

// What one Next call gave: its answer, the count it reported and the devices' names. The
// devices are released; slots past the count must have stayed untouched.
struct Drawn {
  HRESULT hr;
  ULONG fetched;
  std::vector<std::string> names;
};

inline Drawn Draw(ITeskEnumDevice* devices, ULONG celt) {
  std::vector<ITeskDevice*> slots(celt + 1, nullptr);
  ULONG fetched = 0xdeadbeef;
  Drawn drawn{devices->Next(celt, slots.data(), &fetched), fetched, {}};
  for (ULONG i = 0; i < celt + 1; ++i) {
    if (i < fetched && i < celt) {
      drawn.names.push_back(NameOf(slots[i]));
      slots[i]->Release();
    } else {
      EXPECT_EQ(slots[i], nullptr) << "slot " << i << " written beyond the devices delivered";
    }
  }
  return drawn;
}

// The entries of the shared pool with their first DWORD, seen from this process's own view.
inline std::map<std::string, DWORD> PoolWords() {
  std::map<std::string, DWORD> words;
  tesk::sync::SmemProcessAttach();
  BYTE* view = nullptr;
  if (FAILED(tesk::sync::SmemOpenPool(tesk::sync::kPoolName, tesk::sync::kPoolDataSize,
                                      tesk::sync::kPoolCapacity, &view))) {
    ADD_FAILURE() << "cannot open the shared pool";
  } else {
    auto at = [view](std::size_t offset) {
      DWORD value;
      std::memcpy(&value, view + offset, sizeof(value));
      return value;
    };
    const DWORD count = at(tesk::sync::kOffsetCount);
    for (DWORD i = 0; i < count; ++i) {
      const char* name = reinterpret_cast<const char*>(view + at(at(tesk::sync::kOffsetNameTable) + 4 * i));
      DWORD word = 0;
      DWORD length = sizeof(word);
      EXPECT_EQ(tesk::sync::SmemReadEntry(view, static_cast<LONG>(i), &word, &length), S_OK);
      words[name] = word;
    }
  }
  tesk::sync::SmemProcessDetach();
  return words;
}

inline std::string DriverEntry(const std::string& guid) {
  return "CSync." + Lower(guid);
}
inline std::string DeviceEntry(const std::string& guid, int position) {
  return DriverEntry(guid) + "." + std::to_string(position);
}

// Another process holding the busy word of a driver (index -1) or of one of its devices.
class LockHolder {
 public:
  LockHolder(const std::string& guid, LONG index, DWORD status) {
    held_ = CreateEventA(nullptr, TRUE, FALSE, "core-test.held");
    release_ = CreateEventA(nullptr, TRUE, FALSE, "core-test.release");
    EXPECT_TRUE(held_ && release_) << "cannot make the events: " << GetLastError();
    pid_ = tesk::testing::StartChild("core_lock_holder", {guid, std::to_string(index), std::to_string(status),
                                                          "core-test.held", "core-test.release"});
    EXPECT_GT(pid_, 0);
    // A child that cannot start or dies early never signals; the wait's limit only keeps
    // such a failure from hanging the suite.
    EXPECT_EQ(WaitForSingleObject(held_, 60000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the holder never answered";
  }
  ~LockHolder() {
    if (pid_ > 0) Release();
    CloseHandle(held_);
    CloseHandle(release_);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  // Lets the holder unlock and end; its exit code (0 when it had held the word).
  int Release() {
    SetEvent(release_);
    const tesk::testing::ChildResult result = tesk::testing::WaitChild(pid_);
    pid_ = -1;
    EXPECT_EQ(result.exit_code, 0) << result.output;
    return result.exit_code;
  }

 private:
  HANDLE held_ = nullptr;
  HANDLE release_ = nullptr;
  int pid_ = -1;
};

// Every test: its own prefix with teskcore registered from the build tree. At the end no
// object of the driver module or of teskcore may be alive, and both unload, so that the
// next test loads them afresh in its own prefix.
class CoreTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override { ASSERT_EQ(CallModule(CoreModule(), "DllRegisterServer"), S_OK); }

  void TearDown() override {
    EXPECT_EQ(DriverLiveObjects(), 0) << "driver objects leaked";
    CoFreeUnusedLibraries();
    EXPECT_EQ(GetModuleHandleA(CoreModule().c_str()), nullptr) << "teskcore still has objects alive";
    EXPECT_EQ(GetModuleHandleA(DriverModule().c_str()), nullptr);
  }
};

}  // namespace core_testing
