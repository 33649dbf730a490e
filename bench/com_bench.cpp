// What every application pays on its way in: registry reads, activating the root device
// manager, and a first enumeration. Runs in a temporary prefix of its own.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <tesk/tesk.h>
#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

namespace {

void RegistryOpenQueryClose(benchmark::State& state) {
  for (auto _ : state) {
    HKEY key = nullptr;
    char value[64];
    DWORD size = sizeof(value);
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Nls\\CodePage", 0, KEY_READ, &key);
    RegQueryValueExA(key, "ACP", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
  }
}
BENCHMARK(RegistryOpenQueryClose);

void RegistrySetValue(benchmark::State& state) {
  HKEY key = nullptr;
  RegCreateKeyA(HKEY_CURRENT_USER, "Software\\TeskBench", &key);
  DWORD n = 0;
  for (auto _ : state) {
    ++n;
    RegSetValueExA(key, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof(n));
  }
  RegCloseKey(key);
}
BENCHMARK(RegistrySetValue);

void CreateRootDeviceManager(benchmark::State& state) {
  for (auto _ : state) {
    void* root = nullptr;
    if (FAILED(GetMediaDeviceManager(&root))) {
      state.SkipWithError("GetMediaDeviceManager failed");
      break;
    }
    static_cast<ITesk*>(root)->Release();
  }
}
BENCHMARK(CreateRootDeviceManager);

void EnumerateNoDevices(benchmark::State& state) {
  void* root = nullptr;
  if (FAILED(GetMediaDeviceManager(&root))) {
    state.SkipWithError("GetMediaDeviceManager failed");
    return;
  }
  ITesk* tesk = static_cast<ITesk*>(root);
  for (auto _ : state) {
    ITeskEnumDevice* devices = nullptr;
    tesk->EnumDevices(&devices);
    ITeskDevice* device = nullptr;
    ULONG fetched = 0;
    devices->Next(1, &device, &fetched);
    devices->Release();
  }
  tesk->Release();
}
BENCHMARK(EnumerateNoDevices);

}  // namespace

int main(int argc, char** argv) {
  std::string dir = (std::filesystem::temp_directory_path() / "tesk-bench-XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  tesk::win32::SetPrefixPath(dir);
  HMODULE root = LoadLibraryA(TESK_BENCH_LIBDIR "/libteskroot.so");
  auto reg = root ? tesk::win32::GetProcAddressAs<LPFNREGISTERSERVER>(root, "DllRegisterServer") : nullptr;
  if (!reg || FAILED(reg())) return 1;

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  FreeLibrary(root);
  std::filesystem::remove_all(dir);
  return 0;
}
