#include "enum_device.h"

#include <algorithm>
#include <new>

#include <tesk/win32/regkey.h>

namespace teskcore {
namespace {

using tesk::sync::CSync;

constexpr DWORD kNameChars = 127;

// Skip draws devices through a room of this many at a time, so that a large count needs no
// large allocation.
constexpr ULONG kSkipChunk = 64;

// A driver or device that does not answer asks for the shared lock.
template <class Object>
bool AsksForLocalLock(Object* object) {
  BYTE flag = 0;
  return SUCCEEDED(object->GetProperty(SPD_PROP_LOCAL_LOCK, 0, SpdKindBool, &flag, 1)) && flag != 0;
}

// A driver device fetched by Next but not yet wrapped, with what its lock is made from.
struct Fetched {
  ISpdDevice* device;  // one reference
  CSync* driver_lock;  // the enumerator's
  DWORD position;      // within its driver's list
};

}  // namespace

HRESULT CTeskEnumDevice::CreateInstance(REFIID riid, void** ppv) {
  return tesk::win32::QueryNewObject(new (std::nothrow) CTeskEnumDevice(0, 0), riid, ppv);
}

CTeskEnumDevice::~CTeskEnumDevice() {
  for (ISpdDriver* driver : drivers_) driver->Release();
  for (CSync* lock : driver_locks_) lock->Release();
}

// Drivers are created once, on the first Next; later registry changes reach only enumerators
// that load after them.
void CTeskEnumDevice::LoadDrivers() {
  driver_count_ = 0;
  drivers_.clear();
  driver_locks_.clear();

  tesk::win32::RegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SPD_DRIVERS_KEY, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return;

  for (DWORD index = 0;; ++index) {
    char name[kNameChars + 1];
    DWORD chars = kNameChars;
    const LONG rc = RegEnumKeyExA(key.Get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    // A name too long for the buffer cannot be a class identifier; the ones after it still count.
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;

    CLSID clsid;
    if (UuidFromStringA(reinterpret_cast<RPC_CSTR>(name), &clsid) != RPC_S_OK) continue;

    ISpdDriver* driver = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISpdDriver,
                                reinterpret_cast<void**>(&driver))) ||
        !driver)
      continue;
    CSync* lock = CSync::Create(clsid, -1, AsksForLocalLock(driver));
    if (!lock) {
      driver->Release();
      continue;
    }
    try {
      drivers_.reserve(drivers_.size() + 1);
      driver_locks_.reserve(driver_locks_.size() + 1);
    } catch (const std::bad_alloc&) {
      lock->Release();
      driver->Release();
      break;
    }
    drivers_.push_back(driver);
    driver_locks_.push_back(lock);
    ++driver_count_;
  }
}

void CTeskEnumDevice::ReadDeviceCount(ISpdDriver* driver) {
  DWORD count = 0;
  if (SUCCEEDED(driver->GetDeviceCount(&count))) device_count_ = count;
}

HRESULT CTeskEnumDevice::Next(ULONG celt, ITeskDevice** rgpDevice, ULONG* pceltFetched) {
  if (!rgpDevice || !pceltFetched) return E_INVALIDARG;
  // Grows with what is fetched rather than with celt, so a large celt costs nothing.
  std::vector<Fetched> fetched;

  if (driver_count_ == -1) LoadDrivers();
  ISpdDriver* driver = DriverAt(driver_position_);
  if (driver) ReadDeviceCount(driver);
  *pceltFetched = 0;

  HRESULT failure = S_OK;
  while (driver && fetched.size() < celt) {
    CSync* lock = driver_locks_[driver_position_];
    if (!lock->TryLock(TESK_STATUS_BUSY)) {
      failure = TESK_E_BUSY;
      break;
    }
    while (device_position_ < device_count_ && fetched.size() < celt) {
      ISpdDevice* device = nullptr;
      const HRESULT hr = driver->GetDevice(device_position_, &device);
      if (FAILED(hr) || !device) {
        failure = FAILED(hr) ? hr : E_UNEXPECTED;
        break;
      }
      try {
        fetched.push_back({device, lock, device_position_});
      } catch (const std::bad_alloc&) {
        device->Release();
        failure = E_OUTOFMEMORY;
        break;
      }
      ++device_position_;
    }
    lock->Unlock();
    if (FAILED(failure)) break;

    if (fetched.size() < celt) {
      ++driver_position_;
      device_position_ = 0;
      device_count_ = 0;
      driver = DriverAt(driver_position_);
      if (driver) ReadDeviceCount(driver);
    }
  }
  if (FAILED(failure)) {
    for (const Fetched& f : fetched) f.device->Release();
    return failure;
  }

  // Each device is guarded by a lock named after its driver and its place in that driver's
  // list, so every enumerator in every process gives it the same one.
  for (size_t i = 0; i < fetched.size(); ++i) {
    const Fetched& f = fetched[i];
    rgpDevice[i] = nullptr;
    HRESULT hr;
    if (CSync* device_lock =
            f.driver_lock->CloneFor(static_cast<LONG>(f.position), AsksForLocalLock(f.device))) {
      hr = CreateTeskDevice(f.device, device_lock, &rgpDevice[i]);  // takes both over
    } else {
      f.device->Release();
      hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
      rgpDevice[i] = nullptr;
      for (size_t j = 0; j < i; ++j) {
        rgpDevice[j]->Release();
        rgpDevice[j] = nullptr;
      }
      for (size_t j = i + 1; j < fetched.size(); ++j) fetched[j].device->Release();
      return hr;
    }
  }
  *pceltFetched = static_cast<ULONG>(fetched.size());

  if (*pceltFetched == celt) return S_OK;
  Reset();
  return S_FALSE;
}

HRESULT CTeskEnumDevice::Skip(ULONG celt) {
  ITeskDevice* room[kSkipChunk];
  HRESULT hr;
  do {
    const ULONG chunk = std::min(celt, kSkipChunk);
    ULONG fetched = 0;
    hr = Next(chunk, room, &fetched);
    if (SUCCEEDED(hr)) {
      for (ULONG i = 0; i < fetched; ++i) room[i]->Release();
    }
    celt -= chunk;
  } while (hr == S_OK && celt > 0);
  return hr;
}

// The loaded drivers stay loaded.
HRESULT CTeskEnumDevice::Reset() {
  driver_position_ = 0;
  device_position_ = 0;
  device_count_ = 0;
  return S_OK;
}

// The clone loads driver instances of its own on its first Next, from the same place.
HRESULT CTeskEnumDevice::Clone(ITeskEnumDevice** ppEnum) {
  if (!ppEnum) return E_INVALIDARG;
  *ppEnum = nullptr;
  return tesk::win32::QueryNewObject(new (std::nothrow) CTeskEnumDevice(driver_position_, device_position_),
                                     IID_ITeskEnumDevice, reinterpret_cast<void**>(ppEnum));
}

}  // namespace teskcore
