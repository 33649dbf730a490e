// What a guarded call pays for its busy lock: TryLock and Unlock on a shared lock (two entry
// mutexes opened, waited, released and closed) and on a local one, against a bare robust
// process-shared mutex, with the pieces of a guarded call measured on their own so that the
// time can be placed. Runs in a temporary prefix of its own.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

#include "csync.h"
#include "smem.h"

namespace {

using tesk::sync::CSync;

// {028D6280-A219-11D5-98A1-00105AA9FECC}
constexpr GUID kDriver = {0x028d6280, 0xa219, 0x11d5, {0x98, 0xa1, 0x00, 0x10, 0x5a, 0xa9, 0xfe, 0xcc}};

void LockUnlock(benchmark::State& state, bool local) {
  CSync* lock = CSync::Create(kDriver, 0, local);
  if (!lock || (!local && lock->Entry() < 0)) {
    state.SkipWithError("no lock");
    return;
  }
  for (auto _ : state) {
    if (!lock->TryLock(1)) {
      state.SkipWithError("TryLock refused");
      break;
    }
    lock->Unlock();
  }
  lock->Release();
}

void SharedTryLockUnlock(benchmark::State& state) {
  LockUnlock(state, false);
}
BENCHMARK(SharedTryLockUnlock);

void LocalTryLockUnlock(benchmark::State& state) {
  LockUnlock(state, true);
}
BENCHMARK(LocalTryLockUnlock);

// The baseline: what the machine itself charges for a cross-process lock and unlock.
void RobustMutexLockUnlock(benchmark::State& state) {
  const std::string name = "/tesk-bench-" + std::to_string(getpid());
  const int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
  if (fd < 0 || ftruncate(fd, sizeof(pthread_mutex_t)) != 0) {
    state.SkipWithError("shm_open failed");
    return;
  }
  void* memory = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  shm_unlink(name.c_str());
  if (memory == MAP_FAILED) {
    state.SkipWithError("mmap failed");
    return;
  }
  auto* mutex = static_cast<pthread_mutex_t*>(memory);
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  for (auto _ : state) {
    if (pthread_mutex_lock(mutex) == EOWNERDEAD) pthread_mutex_consistent(mutex);
    pthread_mutex_unlock(mutex);
  }
  pthread_mutex_destroy(mutex);
  munmap(memory, sizeof(pthread_mutex_t));
}
BENCHMARK(RobustMutexLockUnlock);

// The pieces of one SmemApply with the lock: a named mutex made and closed while nobody else
// holds it (as an idle entry's mutex is), the same while another handle keeps it alive, and a
// wait and release on a handle already open.
void NamedMutexCreateCloseAlone(benchmark::State& state) {
  for (auto _ : state) {
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, "SyncBench.alone");
    if (!mutex) {
      state.SkipWithError("CreateMutexA failed");
      break;
    }
    CloseHandle(mutex);
  }
}
BENCHMARK(NamedMutexCreateCloseAlone);

void NamedMutexCreateCloseKeptOpen(benchmark::State& state) {
  const HANDLE keeper = CreateMutexA(nullptr, FALSE, "SyncBench.kept");
  for (auto _ : state) {
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, "SyncBench.kept");
    if (!mutex) {
      state.SkipWithError("CreateMutexA failed");
      break;
    }
    CloseHandle(mutex);
  }
  CloseHandle(keeper);
}
BENCHMARK(NamedMutexCreateCloseKeptOpen);

void NamedMutexWaitRelease(benchmark::State& state) {
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, "SyncBench.wait");
  for (auto _ : state) {
    WaitForSingleObject(mutex, INFINITE);
    ReleaseMutex(mutex);
  }
  CloseHandle(mutex);
}
BENCHMARK(NamedMutexWaitRelease);

void PoolReadEntry(benchmark::State& state) {
  CSync* lock = CSync::Create(kDriver, 0, false);
  for (auto _ : state) benchmark::DoNotOptimize(lock->GetStatus());
  lock->Release();
}
BENCHMARK(PoolReadEntry);

// Keeps each benchmark's time per iteration and prints how the locks compare with the baseline.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        const double to_ns = benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                             benchmark::GetTimeUnitMultiplier(run.time_unit);
        times_[run.benchmark_name()] = {run.GetAdjustedRealTime() * to_ns, run.GetAdjustedCPUTime() * to_ns};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Both clocks: on a busy machine the wall clock also counts the time others had the CPU.
  void PrintRatios() const {
    const auto base = times_.find("RobustMutexLockUnlock");
    if (base == times_.end() || base->second.real <= 0 || base->second.cpu <= 0) return;
    for (const char* name : {"SharedTryLockUnlock", "LocalTryLockUnlock"}) {
      const auto it = times_.find(name);
      if (it == times_.end()) continue;
      std::printf("%s / RobustMutexLockUnlock: %.0f / %.1f ns = %.0fx real, %.0f / %.1f ns = %.0fx CPU\n",
                  name, it->second.real, base->second.real, it->second.real / base->second.real,
                  it->second.cpu, base->second.cpu, it->second.cpu / base->second.cpu);
    }
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

  tesk::sync::SmemProcessAttach();
  BYTE* pool = nullptr;
  if (FAILED(tesk::sync::SmemOpenPool(tesk::sync::kPoolName, tesk::sync::kPoolDataSize,
                                      tesk::sync::kPoolCapacity, &pool))) {
    std::fprintf(stderr, "cannot open the pool\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();

  tesk::sync::SmemProcessDetach();
  std::filesystem::remove_all(dir);
  return 0;
}
