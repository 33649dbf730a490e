// spgannet's entry points: the class object, unloading, and self-registration.
#include <cstdio>
#include <cstring>
#include <new>

#include "gannet.h"

#include <tesk/win32/rpc.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winreg.h>

namespace gannet {
namespace {

HINSTANCE g_instance = nullptr;

// What the class factory makes: the driver object, whatever interface was asked for, since
// the hosts always ask for ISpdDriver.
struct DriverClass {
  static HRESULT CreateInstance(REFIID, void** ppv) {
    ISpdDriver* driver = nullptr;
    const HRESULT hr = CreateDriver(&driver);
    *ppv = driver;
    return hr;
  }
};

// "{028D6280-A219-11D5-98A1-00105AA9FECC}", the form of HKCR\CLSID's subkeys.
void ClassKeyName(char (&name)[64]) {
  const GUID& g = CLSID_GannetDriver;
  std::snprintf(name, sizeof(name), "CLSID\\{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

// SPD_DRIVERS_KEY "\<lower-case class id>", the name hosts read back with UuidFromStringA.
bool DriversKeyName(char (&name)[128]) {
  GUID clsid = CLSID_GannetDriver;
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&clsid, &text) != RPC_S_OK || !text) return false;
  std::snprintf(name, sizeof(name), "%s\\%s", SPD_DRIVERS_KEY, reinterpret_cast<const char*>(text));
  RpcStringFreeA(&text);
  return true;
}

bool SetDefaultValue(HKEY root, const char* path, const char* value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const LONG result = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                     static_cast<DWORD>(std::strlen(value) + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

bool Register() {
  char module_path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(g_instance, module_path, sizeof(module_path));
  if (length == 0 || length >= sizeof(module_path)) return false;
  char class_key[64];
  ClassKeyName(class_key);
  if (!SetDefaultValue(HKEY_CLASSES_ROOT, class_key, kDriverDisplayName)) return false;

  char server_key[96];
  std::snprintf(server_key, sizeof(server_key), "%s\\InProcServer32", class_key);
  if (!SetDefaultValue(HKEY_CLASSES_ROOT, server_key, module_path)) return false;
  HKEY server = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, server_key, 0, KEY_WRITE, &server) != ERROR_SUCCESS) return false;
  static const char kApartment[] = "Apartment";
  const LONG result = RegSetValueExA(server, "ThreadingModel", 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(kApartment), sizeof(kApartment));
  RegCloseKey(server);
  if (result != ERROR_SUCCESS) return false;

  char listed[128];
  return DriversKeyName(listed) && SetDefaultValue(HKEY_LOCAL_MACHINE, listed, kDriverDisplayName);
}

// Every key is tried even when an earlier one fails.
bool Unregister() {
  char class_key[64];
  ClassKeyName(class_key);
  char server_key[96];
  std::snprintf(server_key, sizeof(server_key), "%s\\InProcServer32", class_key);
  bool ok = RegDeleteKeyA(HKEY_CLASSES_ROOT, server_key) == ERROR_SUCCESS;
  ok = RegDeleteKeyA(HKEY_CLASSES_ROOT, class_key) == ERROR_SUCCESS && ok;
  char listed[128];
  ok = DriversKeyName(listed) && RegDeleteKeyA(HKEY_LOCAL_MACHINE, listed) == ERROR_SUCCESS && ok;
  return ok;
}

}  // namespace

HINSTANCE ModuleInstance() {
  return g_instance;
}

tesk::win32::ServerCounters& Counters() {
  static tesk::win32::ServerCounters counters;
  return counters;
}

PlayerState& Player() {
  static PlayerState state;
  return state;
}

}  // namespace gannet

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != gannet::CLSID_GannetDriver) return CLASS_E_CLASSNOTAVAILABLE;
  return tesk::win32::ClassFactory<gannet::DriverClass>::Create(gannet::Counters(), riid, ppv);
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return gannet::Counters().CanUnloadNow();
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  return gannet::Register() ? S_OK : SELFREG_E_CLASS;
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return gannet::Unregister() ? S_OK : SELFREG_E_CLASS;
}

static BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      gannet::g_instance = instance;
      // The platform sends no thread notifications, so there are none to switch off.
      gannet::InitLiveObjects();
      break;
    case DLL_PROCESS_DETACH:
      gannet::ReportLiveObjects();
      gannet::FreeLiveObjects();
      break;
    default:
      break;
  }
  return TRUE;
}
TESK_DLL_ENTRY(DllMain)
