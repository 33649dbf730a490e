// tesk devices: the players the device manager sees, through the public interfaces.

#include <string>
#include <vector>

#include <tesk/tesk.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/windows.h>

#include "command.h"
#include "result_text.h"

namespace tesk::tool {
namespace {

using tesk::win32::ComPtr;

std::string Narrow(const WCHAR* text) {
  const std::u16string wide(text);
  std::string out;
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                       nullptr, nullptr);
  out.resize(static_cast<size_t>(size));
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

class DevicesCommand : public SubcommandBase {
 public:
  void Define(CLI::App& program) override {
    AddSubcommand(program, "devices", "List the players the device manager sees",
                  "  tesk devices\n"
                  "\n"
                  "The root device manager (libteskroot.so) must be registered in the prefix:\n"
                  "  tesk regsvr libteskroot.so");
  }

  int Run() override {
    ComPtr<ITesk> root;
    const HRESULT hr = GetMediaDeviceManager(root.PutVoid());
    if (FAILED(hr)) {
      PrintError("cannot reach the device manager: {}", ResultText(hr));
      return kExitFailure;
    }
    const DWORD revision = root->GetRevision();
    fmt::print("Tesk device manager, revision {}.{} (0x{:08X})\n", revision >> 16, revision & 0xFFFF,
               revision);

    ComPtr<ITeskEnumDevice> devices;
    HRESULT next = root->EnumDevices(devices.Put());
    unsigned count = 0;
    while (SUCCEEDED(next)) {
      ComPtr<ITeskDevice> device;
      ULONG fetched = 0;
      next = devices->Next(1, device.Put(), &fetched);
      if (FAILED(next) || fetched == 0) break;
      WCHAR name[256] = {};
      const HRESULT named = device->GetName(name, 256);
      fmt::print("{}\n", SUCCEEDED(named) ? Narrow(name) : "(name unavailable: " + ResultText(named) + ")");
      ++count;
    }
    if (FAILED(next)) {
      PrintError("listing the players failed: {}", ResultText(next));
      return kExitFailure;
    }
    if (count == 0) fmt::print("no players found\n");
    return kExitSuccess;
  }
};

}  // namespace
}  // namespace tesk::tool

TESK_COMMAND(tesk::tool::DevicesCommand, "devices", 10)
