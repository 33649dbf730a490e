#include "change_watch.h"

#include "teskcore.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>

namespace teskcore {

using tesk::sync::CSync;
using tesk::win32::ComPtr;

// What the thread works with. The owner and each running thread hold a reference, so a thread
// that outlives its owner (the sink released the owner from inside a callback) still finds
// the driver, the lock and the event.
class ChangeWatch::State {
 public:
  State(IUnknown* source, ISpdDevice* device, ISpdStorage* storage, CSync* lock, DWORD poll_interval)
      : source_(source), device_(device), storage_(storage), lock_(lock), poll_interval_(poll_interval) {
    InitializeCriticalSection(&sink_cs_);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  void AddRef() { refs_.fetch_add(1); }
  void Release() {
    if (refs_.fetch_sub(1) == 1) delete this;
  }

  HRESULT Init(const char* class_name, const void* owner) {
    BYTE signals = 0;
    const HRESULT hr = GetProperty(SPD_PROP_SIGNALS_CHANGE, &signals, sizeof(signals));
    polling_ = FAILED(hr) || signals == 0;
    char name[64];
    std::snprintf(name, sizeof(name), "%s.%llx", class_name,
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(owner)));
    event_ = CreateEventA(nullptr, FALSE, FALSE, name);
    if (!event_) {
      const DWORD error = GetLastError();
      return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_SUCCESS ? E_OUTOFMEMORY
                                                                        : HRESULT_FROM_WIN32(error);
    }
    return S_OK;
  }

  bool polling() const { return polling_; }
  HANDLE event() const { return event_; }

  HRESULT SetChangeEvent(HANDLE event) {
    return device_ ? device_->SetChangeEvent(event) : storage_->SetChangeEvent(event);
  }

  // Swaps in a new sink (already referenced by the caller) and hands back the old one.
  ITeskConnect* ExchangeSink(ITeskConnect* sink) {
    EnterCriticalSection(&sink_cs_);
    ITeskConnect* old = sink_;
    sink_ = sink;
    LeaveCriticalSection(&sink_cs_);
    return old;
  }

  // A new run; the thread of any earlier run ends at its next look at it.
  ULONG NewRun() { return run_.fetch_add(1) + 1; }
  void EndRun() { run_.fetch_add(1); }

  void Loop(ULONG run) {
    for (;;) {
      WaitForSingleObject(event_, polling_ ? poll_interval_ : INFINITE);
      if (run_.load() != run) return;
      Cycle();
      if (run_.load() != run) return;
    }
  }

 private:
  ~State() {
    if (event_) CloseHandle(event_);
    DeleteCriticalSection(&sink_cs_);
  }

  HRESULT GetProperty(UINT id, void* out, UINT size) {
    return device_ ? device_->GetProperty(id, 0, SpdKindBool, out, size)
                   : storage_->GetProperty(id, 0, SpdKindBool, out, size);
  }
  HRESULT PollForChange() { return device_ ? device_->PollForChange() : storage_->PollForChange(); }

  // The sink with a reference of the thread's own: one replaced meanwhile stays alive until
  // the call on it has returned.
  ComPtr<ITeskConnect> CurrentSink() {
    EnterCriticalSection(&sink_cs_);
    ComPtr<ITeskConnect> sink(sink_);
    LeaveCriticalSection(&sink_cs_);
    return sink;
  }

  void Cycle() {
    // The driver is asked only while nothing else holds the device, in any process.
    if (!lock_->EnterIfIdle()) return;
    if (polling_ && PollForChange() != S_OK) {
      lock_->Leave();
      return;
    }
    ComPtr<ITeskConnect> sink = CurrentSink();
    if (!sink) {
      lock_->Leave();
      return;
    }
    BYTE present = 0;
    const HRESULT hr = GetProperty(SPD_PROP_PRESENT, &present, sizeof(present));
    lock_->Leave();
    if (FAILED(hr)) return;
    // Outside the lock, so that the sink may call back into the device.
    if (present)
      sink->Connected(source_);
    else
      sink->Disconnected(source_);
  }

  std::atomic<LONG> refs_{1};
  IUnknown* const source_;
  const ComPtr<ISpdDevice> device_;
  const ComPtr<ISpdStorage> storage_;
  const ComPtr<CSync> lock_;
  const DWORD poll_interval_;
  bool polling_ = true;
  HANDLE event_ = nullptr;
  CRITICAL_SECTION sink_cs_;
  ITeskConnect* sink_ = nullptr;  // one reference; guarded by sink_cs_
  std::atomic<ULONG> run_{0};
};

struct ChangeWatch::ThreadStart {
  State* state;
  ULONG run;
};

ChangeWatch::ChangeWatch() {
  InitializeCriticalSection(&cs_);
}

ChangeWatch::~ChangeWatch() {
  Shutdown();
  if (state_) state_->Release();
  DeleteCriticalSection(&cs_);
}

HRESULT ChangeWatch::Init(const char* class_name, const void* owner, IUnknown* source, ISpdDevice* device,
                          ISpdStorage* storage, CSync* lock, DWORD poll_interval) {
  if (state_ || !lock || (!device == !storage)) return E_UNEXPECTED;
  State* state = new (std::nothrow) State(source, device, storage, lock, poll_interval);
  if (!state) return E_OUTOFMEMORY;
  const HRESULT hr = state->Init(class_name, owner);
  if (FAILED(hr)) {
    state->Release();
    return hr;
  }
  state_ = state;
  return S_OK;
}

HRESULT ChangeWatch::Advise(ITeskConnect* sink) {
  if (!state_) return E_UNEXPECTED;
  EnterCriticalSection(&cs_);
  if (!sink && thread_) StopThread();
  if (sink && !thread_) {
    const HRESULT hr = StartThread();
    if (FAILED(hr)) {
      LeaveCriticalSection(&cs_);
      return hr;
    }
  }
  if (sink) sink->AddRef();
  if (ITeskConnect* old = state_->ExchangeSink(sink)) old->Release();
  LeaveCriticalSection(&cs_);
  return S_OK;
}

void ChangeWatch::Shutdown() {
  if (!state_) return;
  EnterCriticalSection(&cs_);
  if (thread_) StopThread();
  if (ITeskConnect* old = state_->ExchangeSink(nullptr)) old->Release();
  LeaveCriticalSection(&cs_);
}

HRESULT ChangeWatch::StartThread() {
  // A wake-up left over from stopping an earlier thread is no change.
  ResetEvent(state_->event());
  auto* start = new (std::nothrow) ThreadStart{state_, state_->NewRun()};
  if (!start) return E_OUTOFMEMORY;
  state_->AddRef();
  // The module's code runs on the thread until it returns, even after its owner is gone.
  Counters().ObjectCreated();
  if (!state_->polling()) state_->SetChangeEvent(state_->event());
  thread_ = CreateThread(nullptr, 0, ThreadMain, start, 0, &thread_id_);
  if (!thread_) {
    if (!state_->polling()) state_->SetChangeEvent(nullptr);
    state_->EndRun();
    state_->Release();
    Counters().ObjectDestroyed();
    delete start;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void ChangeWatch::StopThread() {
  state_->EndRun();
  // The driver must not signal an event it no longer shares with a watcher; its handle may
  // be closed and reused once the owner is gone.
  if (!state_->polling()) state_->SetChangeEvent(nullptr);
  // Set rather than pulsed: a pulse is lost when the thread is not waiting at that moment,
  // and an event-mode thread would then never wake.
  SetEvent(state_->event());
  // Stopped from inside a callback on the thread itself: it ends by itself once the callback
  // returns, and must not wait for itself.
  if (GetCurrentThreadId() != thread_id_) WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = nullptr;
  thread_id_ = 0;
}

DWORD WINAPI ChangeWatch::ThreadMain(LPVOID parameter) {
  auto* start = static_cast<ThreadStart*>(parameter);
  State* state = start->state;
  const ULONG run = start->run;
  delete start;
  const HRESULT com = CoInitialize(nullptr);
  state->Loop(run);
  if (SUCCEEDED(com)) CoUninitialize();
  state->Release();
  Counters().ObjectDestroyed();
  return 0;
}

}  // namespace teskcore
