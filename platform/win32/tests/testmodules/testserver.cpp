// A small in-process server for the module and COM tests: one class, an entry point that
// leaves a trace, self-registration.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <tesk/win32/comserver.h>
#include <tesk/win32/windows.h>

#include "testserver.h"

namespace {

tesk::win32::ServerCounters g_counters;
HMODULE g_module = nullptr;

void Trace(const char* line) {
  const char* file = std::getenv(TESK_TEST_TRACE_ENV);
  if (!file || !*file) return;
  if (FILE* out = std::fopen(file, "a")) {
    std::fprintf(out, "%s\n", line);
    std::fclose(out);
  }
}

class TestObject final : public tesk::win32::ComObject<ITeskTestObject, IID_ITeskTestObject> {
 public:
  static HRESULT CreateInstance(REFIID riid, void** ppv) {
    return tesk::win32::QueryNewObject(new (std::nothrow) TestObject, riid, ppv);
  }

  HMODULE STDMETHODCALLTYPE EntryModule() override { return g_module; }

 private:
  tesk::win32::CountedObject counted_{g_counters};
};

std::string ServerKey() {
  OLECHAR wide[39];
  StringFromGUID2(CLSID_TeskTestObject, wide, 39);
  std::string key = "CLSID\\";
  for (int i = 0; i < 38; ++i) key += static_cast<char>(wide[i]);
  return key;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    Trace(reserved ? TESK_TRACE_ATTACH_STARTUP : TESK_TRACE_ATTACH_LOAD);
    const char* refuse = std::getenv(TESK_TEST_REFUSE_ATTACH_ENV);
    return refuse && *refuse ? FALSE : TRUE;
  }
  if (reason == DLL_PROCESS_DETACH) Trace(reserved ? TESK_TRACE_DETACH_EXIT : TESK_TRACE_DETACH_FREE);
  return TRUE;
}

}  // namespace

extern "C" {

TESK_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_TeskTestObject) return CLASS_E_CLASSNOTAVAILABLE;
  return tesk::win32::ClassFactory<TestObject>::Create(g_counters, riid, ppv);
}

TESK_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_counters.CanUnloadNow();
}

TESK_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  char path[4096];
  const DWORD length = GetModuleFileNameA(g_module, path, sizeof path);
  if (length == 0 || length >= sizeof path) return SELFREG_E_CLASS;
  HKEY key = nullptr;
  const std::string subkey = ServerKey() + "\\InprocServer32";
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  static const char kModel[] = "Both";
  LONG status = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), length + 1);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(kModel),
                            sizeof kModel);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

TESK_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  const std::string key = ServerKey();
  RegDeleteKeyA(HKEY_CLASSES_ROOT, (key + "\\InprocServer32").c_str());
  RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
  return S_OK;
}

// The handle the entry point was given, for the tests to compare with the loader's.
TESK_EXPORT HMODULE TeskTestServerModule() {
  return g_module;
}

}  // extern "C"

TESK_DLL_ENTRY(DllMain)
