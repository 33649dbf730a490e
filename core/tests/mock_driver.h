// Driver objects played by GoogleMock, with real reference counts so that a test can check
// that every reference the core takes is given back, and the fixture of the tests that put
// the core's device and storage objects over them with a real busy lock.
#pragma once

#include <atomic>
#include <cstring>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tesk/spd.h>
#include <tesk/tesk.h>
#include <tesk/win32/windows.h>

#include "csync.h"
#include "smem.h"
#include "tesk_testing.h"
#include "teskcore.h"

namespace core_mocks {

// A reference count that starts with the test's own reference and never deletes: the test
// owns the object and reads the count at the end.
template <class Interface, const IID& kInterfaceId>
class Counted : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == kInterfaceId) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override { return refs_.fetch_sub(1) - 1; }
  ULONG refs() const { return refs_.load(); }

 private:
  std::atomic<ULONG> refs_{1};
};

class MockSpdDevice : public Counted<ISpdDevice, IID_ISpdDevice> {
 public:
  MOCK_METHOD(HRESULT, GetName, (LPWSTR buf, UINT size), (override));
  MOCK_METHOD(HRESULT, GetProperty, (UINT id, UINT sub, UINT kind, void* out, UINT size), (override));
  MOCK_METHOD(HRESULT, SetProperty, (UINT id, UINT sub, UINT kind, const void* in, UINT size), (override));
  MOCK_METHOD(HRESULT, GetStorageCount, (DWORD * count), (override));
  MOCK_METHOD(HRESULT, GetStorage, (DWORD index, ISpdStorage** out), (override));
  MOCK_METHOD(HRESULT, IsSupported, (UINT query, const void* arg), (override));
  MOCK_METHOD(HRESULT, Reserved9, (DWORD_PTR a, DWORD_PTR b), (override));
  MOCK_METHOD(HRESULT, Reserved10, (DWORD_PTR a, DWORD_PTR b, DWORD_PTR c), (override));
  MOCK_METHOD(HRESULT, GetDeviceControl, (ISpdDeviceControl * *out), (override));
  MOCK_METHOD(HRESULT, OpenOpaque, (REFIID iid, void** out), (override));
  MOCK_METHOD(HRESULT, GetServiceCount, (DWORD * count), (override));
  MOCK_METHOD(HRESULT, GetService, (DWORD index, IUnknown** out), (override));
  MOCK_METHOD(HRESULT, QueryService, (REFIID iid, void** out), (override));
  MOCK_METHOD(HRESULT, ServiceRequest, (DWORD value), (override));
  MOCK_METHOD(HRESULT, SetChangeEvent, (HANDLE event), (override));
  MOCK_METHOD(HRESULT, PollForChange, (), (override));
  MOCK_METHOD(HRESULT, IsSameDevice, (IUnknown * other), (override));
};

class MockSpdDeviceControl : public Counted<ISpdDeviceControl, IID_ISpdDeviceControl> {
 public:
  MOCK_METHOD(HRESULT, GetProperty, (UINT id, UINT sub, UINT kind, void* out, UINT size), (override));
  MOCK_METHOD(HRESULT, SetProperty, (UINT id, UINT sub, UINT kind, const void* in, UINT size), (override));
  MOCK_METHOD(HRESULT, SetSource, (ISpdStorage * storage, DWORD playOffset, DWORD playLength), (override));
  MOCK_METHOD(HRESULT, Play, (), (override));
  MOCK_METHOD(HRESULT, Record, (DWORD_PTR format), (override));
  MOCK_METHOD(HRESULT, OpenPlayStream, (ISpdStream * *out), (override));
  MOCK_METHOD(HRESULT, OpenRecordStream, (DWORD_PTR format, ISpdStream** out), (override));
  MOCK_METHOD(HRESULT, Pause, (), (override));
  MOCK_METHOD(HRESULT, Resume, (), (override));
  MOCK_METHOD(HRESULT, Stop, (), (override));
};

class MockSpdStorage : public Counted<ISpdStorage, IID_ISpdStorage> {
 public:
  MOCK_METHOD(HRESULT, GetStorageType, (DWORD * type), (override));
  MOCK_METHOD(HRESULT, GetName, (LPWSTR buf, UINT size), (override));
  MOCK_METHOD(HRESULT, GetProperty, (UINT id, UINT sub, UINT kind, void* out, UINT size), (override));
  MOCK_METHOD(HRESULT, SetProperty, (UINT id, UINT sub, UINT kind, const void* in, UINT size), (override));
  MOCK_METHOD(HRESULT, SetChangeEvent, (HANDLE event), (override));
  MOCK_METHOD(HRESULT, PollForChange, (), (override));
  MOCK_METHOD(HRESULT, OpenOpaque, (REFIID iid, void** out), (override));
  MOCK_METHOD(HRESULT, GetChildCount, (DWORD * count), (override));
  MOCK_METHOD(HRESULT, GetChild, (DWORD index, ISpdStorage** out), (override));
  MOCK_METHOD(HRESULT, CreateChild, (LPCWSTR name, DWORD type, DWORD position, ISpdStorage** out),
              (override));
  MOCK_METHOD(HRESULT, InitializeBegin, (DWORD * steps), (override));
  MOCK_METHOD(HRESULT, InitializeStep, (), (override));
  MOCK_METHOD(HRESULT, MoveBegin, (DWORD * steps), (override));
  MOCK_METHOD(HRESULT, MoveStep, (ISpdStorage * target, DWORD mode), (override));
  MOCK_METHOD(HRESULT, MoveExBegin, (DWORD * steps), (override));
  MOCK_METHOD(HRESULT, MoveExStep, (ISpdStorage * target, DWORD mode), (override));
  MOCK_METHOD(HRESULT, DeleteBegin, (DWORD * steps), (override));
  MOCK_METHOD(HRESULT, DeleteStep, (), (override));
  MOCK_METHOD(HRESULT, RenameBegin, (DWORD * steps), (override));
  MOCK_METHOD(HRESULT, RenameStep, (LPCWSTR newName), (override));
  MOCK_METHOD(HRESULT, OpenStream, (ISpdStream * *out), (override));
  MOCK_METHOD(HRESULT, IsSameStorage, (IUnknown * other), (override));
};

class MockConnect : public Counted<ITeskConnect, IID_ITeskConnect> {
 public:
  MOCK_METHOD(HRESULT, Disconnected, (IUnknown * source), (override));
  MOCK_METHOD(HRESULT, Connected, (IUnknown * source), (override));
};

// ---- Actions for GetProperty (id, sub, kind, out, size) --------------------------------

// Writes a DWORD into the value buffer and answers `hr`.
inline auto WriteDword(DWORD value, HRESULT hr = S_OK) {
  return [value, hr](UINT, UINT, UINT, void* out, UINT) {
    std::memcpy(out, &value, sizeof(value));
    return hr;
  };
}

// Writes a one-byte boolean and answers `hr`.
inline auto WriteBool(bool value, HRESULT hr = S_OK) {
  return [value, hr](UINT, UINT, UINT, void* out, UINT) {
    *static_cast<BYTE*>(out) = value ? 1 : 0;
    return hr;
  };
}

// Hands out `bytes` as a blob allocated with the COM task allocator; the receiver frees it.
inline auto WriteBlob(std::vector<BYTE> bytes, HRESULT hr = S_OK) {
  return [bytes, hr](UINT, UINT, UINT, void* out, UINT) {
    auto* blob = static_cast<SpdBlob*>(out);
    blob->pData = static_cast<BYTE*>(CoTaskMemAlloc(bytes.size()));
    std::memcpy(blob->pData, bytes.data(), bytes.size());
    blob->cbData = static_cast<DWORD>(bytes.size());
    return hr;
  };
}

// ---- Waiting for another thread ---------------------------------------------------------

// A manual-reset event to wait for something another thread does.
class Signal {
 public:
  Signal() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Signal() { CloseHandle(event_); }
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  void Set() { SetEvent(event_); }
  void Reset() { ResetEvent(event_); }
  // The limit only keeps a missing signal from hanging the suite.
  bool Wait(DWORD limit = 20000) { return WaitForSingleObject(event_, limit) == WAIT_OBJECT_0; }
  bool IsSet() { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }

 private:
  HANDLE event_;
};

// ---- Fixture ------------------------------------------------------------------------------

inline constexpr GUID kDriverIdentity = tesk::win32::GuidFromText("5A1E0000-0000-4000-8000-00000000C0DE");
inline constexpr DWORD kHolderStatus = 0x00100000;  // an insert before
inline constexpr DWORD kHeldStatus = kHolderStatus | TESK_STATUS_BUSY;

// A prefix of its own with the shared pool open, and the shared busy lock of one device.
class CoreObjectTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override {
    tesk::sync::SmemProcessAttach();
    BYTE* view = nullptr;
    ASSERT_EQ(tesk::sync::SmemOpenPool(tesk::sync::kPoolName, tesk::sync::kPoolDataSize,
                                       tesk::sync::kPoolCapacity, &view),
              S_OK);
    lock_ = tesk::sync::CSync::Create(kDriverIdentity, 0, false);
    ASSERT_NE(lock_, nullptr);
    objects_before_ = teskcore::Counters().Objects();
  }

  void TearDown() override {
    if (holder_) Unhold();
    if (lock_) lock_->Release();
    EXPECT_EQ(teskcore::Counters().Objects(), objects_before_) << "core objects left alive";
    tesk::sync::SmemProcessDetach();
  }

  // Another object of the same device holds it busy, as an insert would.
  void Hold(DWORD status = kHolderStatus) {
    holder_ = lock_->Clone();
    ASSERT_NE(holder_, nullptr);
    ASSERT_TRUE(holder_->TryLock(status));
  }
  void Unhold() {
    holder_->Unlock();
    holder_->Release();
    holder_ = nullptr;
  }

  // A clone of the device lock with its own reference, for a factory that takes one over.
  tesk::sync::CSync* LockForDevice() { return lock_->Clone(); }

  tesk::sync::CSync* lock_ = nullptr;
  tesk::sync::CSync* holder_ = nullptr;
  long objects_before_ = 0;
};

}  // namespace core_mocks
