// ITeskOpaqueAccess: an application's way to a driver's private object.
#pragma once

#include <tesk/spd.h>
#include <tesk/tesk.h>

namespace teskcore {

// A new opaque-access object over a driver device or a driver storage (exactly one given,
// referenced by the object), asked for `riid`. E_OUTOFMEMORY when it cannot be made.
HRESULT CreateOpaqueAccess(ISpdDevice* device, ISpdStorage* storage, REFIID riid, void** ppv);

}  // namespace teskcore
