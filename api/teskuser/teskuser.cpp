// teskuser: the library applications link against. It exports the interface identifiers
// and the entry point that creates the root device manager.
#include <tesk/tesk.h>
#include <tesk/win32/windows.h>

namespace {

constexpr auto kIdentifiers = tesk::MakeIdentifierTable();

HMODULE g_module = nullptr;

}  // namespace

#define TESK_DEFINE_IID(xx, name) \
  extern "C" TESK_EXPORT const IID IID_##name = kIdentifiers[(xx)-tesk::kFirstIdentifier];
TESK_INTERFACE_IDENTIFIERS(TESK_DEFINE_IID)
#undef TESK_DEFINE_IID

static BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      if (!g_module) g_module = instance;
      CoInitialize(nullptr);
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

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE GetMediaDeviceManager(void** ppv) {
  return CoCreateInstance(CLSID_Tesk, nullptr, CLSCTX_INPROC_SERVER, IID_ITesk, ppv);
}

// teskuser serves no class and is never registered; these exist for loaders that look.
extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return S_FALSE;
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, LPVOID*) {
  return CLASS_E_CLASSNOTAVAILABLE;
}
