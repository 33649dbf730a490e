// The application side of the end-to-end test: lists the players the device manager sees,
// one line each: its name, its vendor id and serial number bytes in hexadecimal.
#include <cstdio>

#include <tesk/tesk.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/windows.h>

using tesk::win32::ComPtr;

int main() {
  ComPtr<ITesk> root;
  HRESULT hr = GetMediaDeviceManager(root.PutVoid());
  if (FAILED(hr)) {
    std::printf("GetMediaDeviceManager: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  ComPtr<ITeskEnumDevice> devices;
  if (hr = root->EnumDevices(devices.Put()); FAILED(hr)) {
    std::printf("EnumDevices: 0x%08X\n", static_cast<unsigned>(hr));
    return 1;
  }
  for (;;) {
    ComPtr<ITeskDevice> device;
    ULONG fetched = 0;
    if (FAILED(devices->Next(1, device.Put(), &fetched)) || fetched == 0) break;
    WCHAR name[64] = {};
    hr = device->GetName(name, 64);
    for (const WCHAR* c = name; *c; ++c) std::putchar(static_cast<char>(*c));
    TeskId id = {};
    id.cbSize = TESK_ID_SIZE_COUNTED;
    if (SUCCEEDED(device->GetSerialNumber(&id))) {
      std::printf(" %04X ", static_cast<unsigned>(id.dwVendorId));
      for (DWORD i = 0; i < id.cbId && i < sizeof(id.abId); ++i) std::printf("%02X", id.abId[i]);
    }
    std::printf("\n");
  }
  return 0;
}
