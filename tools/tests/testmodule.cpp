// A module for "tesk regsvr" to register: registering writes
// HKLM\Software\TeskToolTest\<variant>, unregistering removes it.

#include <tesk/win32/windows.h>

namespace {
constexpr char kKey[] = "Software\\TeskToolTest\\" TEST_MODULE_VARIANT;
}  // namespace

#if defined(TEST_MODULE_BARE)

extern "C" TESK_EXPORT int TeskToolTestNothingToRegister() {
  return 0;
}

#else

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
#if defined(TEST_MODULE_FAILS)
  return SELFREG_E_CLASS;
#else
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  static const char kData[] = "yes";
  const LONG rc =
      RegSetValueExA(key, "Registered", 0, REG_SZ, reinterpret_cast<const BYTE*>(kData), sizeof kData);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
#endif
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  const LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

#endif
