// The storage side of teskcore: CTeskStorage over one driver storage (a volume, a folder or
// a file), the enumerators of volumes and children, and each storage's companion objects.
//
// Every factory here takes its driver objects borrowed and references what it keeps; the
// lock given is cloned for the new object. On failure nothing is kept.
#pragma once

#include <tesk/spd.h>
#include <tesk/tesk.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/comserver.h>

#include "csync.h"
#include "teskcore.h"

namespace teskcore {

// Driver storage kinds (ISpdStorage::GetStorageType): anything else is a file.
inline constexpr DWORD kStorageVolume = 0;
inline constexpr DWORD kStorageFolder = 1;

// A CTeskStorage wrapping `own`, which lies on `volume` (the same object for a volume).
HRESULT CreateTeskStorage(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* own, tesk::sync::CSync* lock,
                          ITeskStorage** ppStorage);

// The volumes of a device.
HRESULT CreateVolumeEnum(ISpdDevice* device, tesk::sync::CSync* lock, ITeskEnumStorage** ppEnum);

// The children of `parent`, which lies on `volume`.
HRESULT CreateChildEnum(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* parent, tesk::sync::CSync* lock,
                        ITeskEnumStorage** ppEnum);

HRESULT CreateStorageGlobals(ISpdStorage* volume, tesk::sync::CSync* lock, ITeskStorageGlobals** pp);
HRESULT CreateObjectInfo(ISpdStorage* own, tesk::sync::CSync* lock, ITeskObjectInfo** pp);

// Write, move, delete, rename and read on one storage.
class CTeskStorageControl final
    : public tesk::win32::ComObject<ITeskStorageControl, IID_ITeskStorageControl> {
 public:
  // Takes over one reference of `lock`; references the driver objects.
  CTeskStorageControl(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* own, tesk::sync::CSync* lock);

  HRESULT STDMETHODCALLTYPE Reserved(DWORD a, DWORD b) override;
  HRESULT STDMETHODCALLTYPE InsertBefore(UINT fuMode, void* pSource, ITeskStorage** ppNew) override;
  HRESULT STDMETHODCALLTYPE InsertAfter(UINT fuMode, void* pSource, ITeskStorage** ppNew) override;
  HRESULT STDMETHODCALLTYPE Delete(UINT fuMode, ITeskProgress* pProgress) override;
  HRESULT STDMETHODCALLTYPE Move(UINT fuMode, ITeskStorage* pTarget, ITeskProgress* pProgress,
                                 void** ppResult) override;
  HRESULT STDMETHODCALLTYPE Rename(UINT fuMode, LPCWSTR pwszNewName, ITeskProgress* pProgress) override;
  HRESULT STDMETHODCALLTYPE Read(UINT fuMode, void* pDestination) override;
  HRESULT STDMETHODCALLTYPE GetStatus(DWORD* pdwStatus) override;

 private:
  tesk::win32::CountedObject counted_{Counters()};
  const tesk::win32::ComPtr<ISpdDevice> device_;
  const tesk::win32::ComPtr<ISpdStorage> volume_;
  const tesk::win32::ComPtr<ISpdStorage> own_;
  const tesk::win32::ComPtr<tesk::sync::CSync> lock_;
};

HRESULT CreateStorageControl(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* own,
                             tesk::sync::CSync* lock, ITeskStorageControl** pp);

}  // namespace teskcore
