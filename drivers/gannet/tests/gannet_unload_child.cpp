// The other process of the unload-report tests:
//   gannet_unload_child <module> device|storage <extra references>
// loads the driver, keeps a device (or the first medium's root storage) with the given
// number of extra references, and unloads the driver while they are still held, so that
// the module writes its report of unreleased objects. Exits 0 when it got that far.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tesk/spd.h>
#include <tesk/win32/windows.h>

#include "gannet.h"

// The objects are abandoned on purpose, with their module gone: not a leak to report.
extern "C" const char* __asan_default_options() {
  return "detect_leaks=0";
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  HMODULE module = LoadLibraryA(argv[1]);
  if (!module) {
    std::printf("LoadLibraryA: error %u\n", GetLastError());
    return 2;
  }
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
  auto get_class_object = tesk::win32::GetProcAddressAs<GetClassObjectFn>(module, "DllGetClassObject");
  IClassFactory* factory = nullptr;
  ISpdDriver* driver = nullptr;
  ISpdDevice* device = nullptr;
  if (!get_class_object ||
      FAILED(get_class_object(gannet::CLSID_GannetDriver, IID_IClassFactory,
                              reinterpret_cast<void**>(&factory))) ||
      FAILED(factory->CreateInstance(nullptr, IID_ISpdDriver, reinterpret_cast<void**>(&driver))) ||
      FAILED(driver->GetDevice(0, &device))) {
    std::printf("no device\n");
    return 2;
  }
  factory->Release();
  driver->Release();
  IUnknown* kept = device;
  if (std::strcmp(argv[2], "storage") == 0) {
    ISpdStorage* storage = nullptr;
    const HRESULT hr = device->GetStorage(0, &storage);
    if (FAILED(hr)) {
      std::printf("GetStorage: 0x%08X\n", static_cast<unsigned>(hr));
      return 2;
    }
    device->Release();
    kept = storage;
  }
  for (int i = std::atoi(argv[3]); i > 0; --i) kept->AddRef();
  FreeLibrary(module);
  return 0;
}
