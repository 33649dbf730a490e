// What teskcore's parts share: its class, its internal storage interface, its counters and
// how the enumerator hands a driver device over to a device object.
#pragma once

#include <tesk/tesk.h>
#include <tesk/win32/comserver.h>
#include <tesk/win32/windows.h>

#include "csync.h"

namespace teskcore {

inline constexpr CLSID CLSID_TeskCore = tesk::win32::GuidFromText("40ADB220-D33C-11D3-A856-0000E89B32E8");

// Lets teskcore recognise a storage of its own that an application hands back, and reach the
// driver storage inside it.
inline constexpr IID IID_ITeskStorageInternal =
    tesk::win32::GuidFromText("7F423BE0-C74E-11D3-A856-0000E89B32E8");
struct ITeskStorageInternal : public IUnknown {
  // The wrapped driver storage, with a reference for the caller; S_OK.
  virtual HRESULT STDMETHODCALLTYPE GetDriverStorage(ISpdStorage** ppStorage) = 0;  // 3
};

// Every COM object of teskcore, and LockServer's locks.
tesk::win32::ServerCounters& Counters();

// A CTeskDevice over `device` guarded by `lock`; takes over one reference of each, also on
// failure. *ppDevice receives the device's ITeskDevice with one reference.
HRESULT CreateTeskDevice(ISpdDevice* device, tesk::sync::CSync* lock, ITeskDevice** ppDevice);

}  // namespace teskcore
