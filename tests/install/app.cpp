// An application of the kind Tesk is for, built from the installed headers only.
#include <cstdio>

#include <tesk/tesk.h>

int main() {
  void* object = nullptr;
  const HRESULT hr = GetMediaDeviceManager(&object);
  if (FAILED(hr)) {
    std::printf("GetMediaDeviceManager 0x%08X\n", static_cast<unsigned>(hr));
    return 3;
  }
  ITesk* tesk = static_cast<ITesk*>(object);
  DWORD count = 0;
  tesk->GetDeviceCount(&count);
  ITeskEnumDevice* devices = nullptr;
  if (FAILED(tesk->EnumDevices(&devices))) return 4;
  ITeskDevice* device = nullptr;
  ULONG fetched = 7;
  const HRESULT next = devices->Next(1, &device, &fetched);
  std::printf("revision 0x%08X count %u next 0x%08X fetched %u\n", static_cast<unsigned>(tesk->GetRevision()),
              static_cast<unsigned>(count), static_cast<unsigned>(next), static_cast<unsigned>(fetched));
  devices->Release();
  tesk->Release();
  return 0;
}
