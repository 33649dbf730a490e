// teskroot: the in-process server of the root device manager (CLSID_Tesk).
#include <string>

#include <tesk/win32/regkey.h>

#include "teskroot.h"

namespace teskroot {

tesk::win32::ServerCounters& Counters() {
  static tesk::win32::ServerCounters counters;
  return counters;
}

namespace {

HMODULE g_module = nullptr;

// "{" + the class identifier as the RPC runtime writes it + "}".
bool ClassKeyName(std::string* name) {
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&CLSID_Tesk, &text) != RPC_S_OK) return false;
  *name = "{" + std::string(reinterpret_cast<const char*>(text)).substr(0, 125) + "}";
  RpcStringFreeA(&text);
  return true;
}

}  // namespace
}  // namespace teskroot

using tesk::win32::RegKey;
using teskroot::ClassKeyName;
using teskroot::Counters;

static BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      CoInitialize(nullptr);
      if (!teskroot::g_module) teskroot::g_module = instance;
      break;
    case DLL_PROCESS_DETACH:
      CoUninitialize();
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
  if (rclsid != CLSID_Tesk) return CLASS_E_CLASSNOTAVAILABLE;
  return tesk::win32::ClassFactory<teskroot::CTesk>::Create(Counters(), riid, ppv);
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return Counters().CanUnloadNow();
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  std::string class_key;
  if (!ClassKeyName(&class_key)) return SELFREG_E_CLASS;

  // The class key has no default value of its own.
  if (!tesk::win32::RegisterInprocServerKeys(teskroot::g_module, class_key, nullptr)) return SELFREG_E_CLASS;
  return S_OK;
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  std::string class_key;
  if (!ClassKeyName(&class_key)) return SELFREG_E_CLASS;

  RegKey clsid;
  RegKey cls;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, clsid.Put()) != ERROR_SUCCESS ||
      RegOpenKeyExA(clsid.Get(), class_key.c_str(), 0, KEY_ALL_ACCESS, cls.Put()) != ERROR_SUCCESS ||
      RegDeleteKeyA(cls.Get(), "InProcServer32") != ERROR_SUCCESS ||
      RegDeleteKeyA(clsid.Get(), class_key.c_str()) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  return S_OK;
}
