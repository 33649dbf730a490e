// Listing a player's drive through spgannet against a plain loop over the same folder: 10,000
// track files, half of them tagged ".lse", listed with GetChildCount, GetChild, the name and
// property 25 of each; the plain loop lists the folder and reads the first 1 KiB of each file.
// Runs in a temporary prefix of its own and prints the ratio at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <tesk/sim.h>
#include <tesk/spd.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/crtio.h>
#include <tesk/win32/fileapi.h>
#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

namespace {

constexpr int kFiles = 10000;
const CLSID kGannetClass = tesk::win32::GuidFromText("028D6280-A219-11D5-98A1-00105AA9FECC");
ISpdStorage* g_root = nullptr;

void MakeTracks(const std::string& folder) {
  std::filesystem::create_directories(folder);
  const std::string audio(4096, '\x55');
  for (int i = 0; i < kFiles; ++i) {
    const bool tagged = i % 2 == 0;
    char name[32];
    std::snprintf(name, sizeof name, "track%05d.%s", i, tagged ? "lse" : "rel");
    std::ofstream out(folder + "/" + name, std::ios::binary);
    if (tagged) {
      // An ID3v2.3 tag of 64 bytes with a TLEN frame, as the driver writes them.
      unsigned char tag[74] = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 64};
      const char length[] = "185000";
      std::memcpy(tag + 10, "TLEN", 4);
      tag[17] = sizeof length;  // text and encoding byte
      std::memcpy(tag + 21, length, sizeof length - 1);
      out.write(reinterpret_cast<const char*>(tag), sizeof tag);
    }
    out << audio;
  }
}

void DriverListing(benchmark::State& state) {
  for (auto _ : state) {
    DWORD count = 0;
    g_root->GetChildCount(&count);
    DWORD total = 0;
    for (DWORD i = 0; i < count; ++i) {
      ISpdStorage* child = nullptr;
      if (FAILED(g_root->GetChild(i, &child))) continue;
      WCHAR name[260];
      child->GetName(name, 260);
      DWORD seconds = 0;
      child->GetProperty(SPD_PROP_PLAY_LENGTH, 0, SpdKindDword, &seconds, sizeof seconds);
      total += seconds;
      child->Release();
    }
    if (count != kFiles || total != kFiles / 2 * 185) state.SkipWithError("wrong listing");
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(DriverListing)->Unit(benchmark::kMillisecond);

void PlainListing(benchmark::State& state) {
  char head[1024];
  for (auto _ : state) {
    int files = 0;
    _finddata_t found = {};
    const std::intptr_t search = _findfirst("E:\\*.*", &found);
    if (search == -1) continue;
    do {
      if (found.attrib & _A_SUBDIR) continue;
      const std::string path = std::string("E:\\") + found.name;
      HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      DWORD got = 0;
      ReadFile(file, head, sizeof head, &got, nullptr);
      CloseHandle(file);
      ++files;
    } while (_findnext(search, &found) == 0);
    _findclose(search);
    if (files != kFiles) state.SkipWithError("wrong folder");
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(PlainListing)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        const double to_ms = benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
                             benchmark::GetTimeUnitMultiplier(run.time_unit);
        times_[run.benchmark_name()] = {run.GetAdjustedRealTime() * to_ms, run.GetAdjustedCPUTime() * to_ms};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio() const {
    const auto driver = times_.find("DriverListing");
    const auto plain = times_.find("PlainListing");
    if (driver == times_.end() || plain == times_.end() || plain->second.real <= 0 || plain->second.cpu <= 0)
      return;
    std::printf(
        "DriverListing / PlainListing over %d files: %.1f / %.1f ms = %.2fx real, %.1f / %.1f ms = %.2fx "
        "CPU\n",
        kFiles, driver->second.real, plain->second.real, driver->second.real / plain->second.real,
        driver->second.cpu, plain->second.cpu, driver->second.cpu / plain->second.cpu);
  }

 private:
  struct Times {
    double real;
    double cpu;
  };
  std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string dir = (std::filesystem::temp_directory_path() / "tesk-bench-XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  tesk::win32::SetPrefixPath(dir);
  tesk::win32::EnsurePrefix();
  const std::string folder = dir + "/player";
  MakeTracks(folder);
  tesk::sim::AttachOptions options;
  options.folder = folder;
  options.letter = 'E';
  const tesk::sim::Status attached = tesk::sim::Attach("bench", options);
  if (!attached.ok()) {
    std::fprintf(stderr, "cannot attach a player: %s\n", attached.message.c_str());
    return 1;
  }

  int rc = 1;
  HMODULE module = LoadLibraryA(TESK_BENCH_LIBDIR "/libspgannet.so");
  using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
  const auto get =
      module ? tesk::win32::GetProcAddressAs<GetClassObject>(module, "DllGetClassObject") : nullptr;
  tesk::win32::ComPtr<IClassFactory> factory;
  tesk::win32::ComPtr<ISpdDriver> driver;
  tesk::win32::ComPtr<ISpdDevice> device;
  if (get && SUCCEEDED(get(kGannetClass, IID_IClassFactory, factory.PutVoid())) &&
      SUCCEEDED(factory->CreateInstance(nullptr, IID_ISpdDriver, driver.PutVoid())) &&
      SUCCEEDED(driver->GetDevice(0, device.Put())) && SUCCEEDED(device->GetStorage(0, &g_root))) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio();
    benchmark::Shutdown();
    g_root->Release();
    rc = 0;
  } else {
    std::fprintf(stderr, "cannot reach the player's drive through spgannet\n");
  }
  device.Reset();
  driver.Reset();
  factory.Reset();
  if (module) FreeLibrary(module);
  tesk::sim::Detach("bench");
  std::filesystem::remove_all(dir);
  return rc;
}
