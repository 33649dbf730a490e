// teskcore: the in-process server of the device-manager core (CLSID_TeskCore).
#include <string>

#include <tesk/win32/regkey.h>

#include "enum_device.h"
#include "smem.h"
#include "teskcore.h"

namespace teskcore {
namespace {

HMODULE g_module = nullptr;

constexpr char kDevicesKey[] = "Software\\Vorelle\\Tesk\\Devices";
constexpr char kDescription[] = "Zuna Tesk Core";

// The class identifier as the RPC runtime writes it, without braces.
bool BareClassName(std::string* name) {
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&CLSID_TeskCore, &text) != RPC_S_OK) return false;
  *name = reinterpret_cast<const char*>(text);
  RpcStringFreeA(&text);
  return true;
}

std::string ClassKeyName(const std::string& bare) {
  return "{" + bare.substr(0, 125) + "}";
}

void SetDefault(HKEY key, const char* text) {
  RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::char_traits<char>::length(text) + 1));
}

}  // namespace
}  // namespace teskcore

using tesk::win32::RegKey;
using teskcore::Counters;

static BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      teskcore::g_module = instance;
      tesk::sync::SmemProcessAttach();
      // Without a pool every shared lock excludes nothing; the module still works.
      BYTE* view = nullptr;
      tesk::sync::SmemOpenPool(tesk::sync::kPoolName, tesk::sync::kPoolDataSize, tesk::sync::kPoolCapacity,
                               &view);
      break;
    }
    case DLL_PROCESS_DETACH:
      tesk::sync::SmemProcessDetach();
      break;
    default:
      break;
  }
  return TRUE;
}
TESK_DLL_ENTRY(DllMain)

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != teskcore::CLSID_TeskCore) return CLASS_E_CLASSNOTAVAILABLE;
  return tesk::win32::ClassFactory<teskcore::CTeskEnumDevice>::Create(Counters(), riid, ppv);
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return Counters().CanUnloadNow();
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  std::string bare;
  if (!teskcore::BareClassName(&bare)) return SELFREG_E_CLASS;
  const std::string class_key = teskcore::ClassKeyName(bare);

  if (!tesk::win32::RegisterInprocServerKeys(teskcore::g_module, class_key, teskcore::kDescription))
    return SELFREG_E_CLASS;

  // Listed for the root device manager, under the bare identifier as the conversion gave it.
  RegKey devices;
  RegKey listed;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, teskcore::kDevicesKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, devices.Put(), nullptr) != ERROR_SUCCESS ||
      RegCreateKeyExA(devices.Get(), bare.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, listed.Put(), nullptr) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  teskcore::SetDefault(listed.Get(), teskcore::kDescription);
  return S_OK;
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  std::string bare;
  if (!teskcore::BareClassName(&bare)) return SELFREG_E_CLASS;
  const std::string class_key = teskcore::ClassKeyName(bare);

  {
    RegKey clsid;
    RegKey cls;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, clsid.Put()) != ERROR_SUCCESS ||
        RegOpenKeyExA(clsid.Get(), class_key.c_str(), 0, KEY_ALL_ACCESS, cls.Put()) != ERROR_SUCCESS ||
        RegDeleteKeyA(cls.Get(), "InProcServer32") != ERROR_SUCCESS)
      return SELFREG_E_CLASS;
    cls.Close();
    if (RegDeleteKeyA(clsid.Get(), class_key.c_str()) != ERROR_SUCCESS) return SELFREG_E_CLASS;
  }

  // The Devices key itself stays, as do the drivers listed beside it.
  RegKey devices;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, teskcore::kDevicesKey, 0, KEY_ALL_ACCESS, devices.Put()) !=
          ERROR_SUCCESS ||
      RegDeleteKeyA(devices.Get(), bare.c_str()) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  return S_OK;
}
