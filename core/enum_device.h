// teskcore's device enumerator: loads every plug-in driver listed in the registry and hands
// out each driver device wrapped in a CTeskDevice with its device lock.
#pragma once

#include <vector>

#include <tesk/spd.h>
#include <tesk/tesk.h>
#include <tesk/win32/comserver.h>
#include <tesk/win32/windows.h>

#include "csync.h"
#include "teskcore.h"

namespace teskcore {

// Meant for one thread at a time; the driver locks serialise device fetching per driver
// across threads and processes.
class CTeskEnumDevice final : public tesk::win32::ComObject<ITeskEnumDevice, IID_ITeskEnumDevice> {
 public:
  // A new enumerator that has not loaded its drivers yet.
  static HRESULT CreateInstance(REFIID riid, void** ppv);

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, ITeskDevice** rgpDevice, ULONG* pceltFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(ITeskEnumDevice** ppEnum) override;

 private:
  CTeskEnumDevice(DWORD driver_position, DWORD device_position)
      : counted_(Counters()), driver_position_(driver_position), device_position_(device_position) {}
  ~CTeskEnumDevice() override;

  void LoadDrivers();
  ISpdDriver* DriverAt(DWORD position) const {
    return driver_count_ > 0 && position < static_cast<DWORD>(driver_count_) ? drivers_[position] : nullptr;
  }
  // The current driver's device count; left as it was when the driver cannot tell.
  void ReadDeviceCount(ISpdDriver* driver);

  tesk::win32::CountedObject counted_;
  LONG driver_count_ = -1;  // -1 until the drivers have been loaded
  DWORD driver_position_;
  std::vector<ISpdDriver*> drivers_;              // one reference each, in registry order
  std::vector<tesk::sync::CSync*> driver_locks_;  // parallel to drivers_, one reference each
  DWORD device_position_;                         // the next device of the current driver
  DWORD device_count_ = 0;                        // the current driver's, as last read
};

}  // namespace teskcore
