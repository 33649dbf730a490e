// Helper program for the module and COM tests: loads a module or creates the test class,
// then ends normally so that the modules it leaves loaded see the process exit.
//   win32_module_child load <module>        LoadLibraryA and exit
//   win32_module_child load-free <module>   LoadLibraryA, FreeLibrary and exit
//   win32_module_child create               CoCreateInstance of the test class and exit

#include <cstdio>
#include <cstring>

#include <tesk/win32/windows.h>

#include "testserver.h"

int main(int argc, char** argv) {
  if (argc == 3 && (std::strcmp(argv[1], "load") == 0 || std::strcmp(argv[1], "load-free") == 0)) {
    const HMODULE module = LoadLibraryA(argv[2]);
    if (!module) {
      std::printf("LoadLibraryA failed: %u\n", GetLastError());
      return 1;
    }
    if (std::strcmp(argv[1], "load-free") == 0 && !FreeLibrary(module)) {
      std::printf("FreeLibrary failed: %u\n", GetLastError());
      return 1;
    }
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "create") == 0) {
    CoInitialize(nullptr);
    IUnknown* object = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_TeskTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                        reinterpret_cast<void**>(&object));
    if (FAILED(hr)) {
      std::printf("CoCreateInstance failed: 0x%08X\n", static_cast<unsigned>(hr));
      return 1;
    }
    object->Release();
    CoUninitialize();
    return 0;
  }
  std::printf("usage: %s load|load-free <module> | create\n", argv[0]);
  return 2;
}
