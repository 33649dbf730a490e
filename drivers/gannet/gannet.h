// spgannet, the Gannet player's driver: what its objects share across the module.
//
// Every driver object (CDriver, CDevice, CFileSystemStorage, CFileStorage, CFileStream) calls
// LiveObjectAdded in its constructor and LiveObjectRemoved in its destructor, with the same
// IUnknown pointer (the object's first interface) both times:
//
//   CFileStorage::CFileStorage() { gannet::LiveObjectAdded(static_cast<ISpdStorage*>(this), "CFileStorage");
//   } CFileStorage::~CFileStorage() { gannet::LiveObjectRemoved(static_cast<ISpdStorage*>(this)); }
//
// The pair also keeps the module loaded (DllCanUnloadNow) while the object lives. Objects still
// in the table when the module is unloaded are reported, each with its reference count, so
// the pointer must stay usable for AddRef/Release until LiveObjectRemoved.
#pragma once

#include <tesk/spd.h>
#include <tesk/win32/comserver.h>
#include <tesk/win32/objbase.h>
#include <tesk/win32/types.h>
#include <tesk/win32/unknwn.h>

// ---- Interfaces of this driver only --------------------------------------------------

// Marks the driver's device objects (IUnknown methods only): any object answering it is the
// same device, since there is one player at a time.
inline constexpr IID IID_ISpdDeviceTag = tesk::win32::GuidFromText("74EE435A-C755-4151-9837-4F1FD3B030C9");
struct ISpdDeviceTag : public IUnknown {};

// Where a storage sits: the index of the storage at each level (medium, then file).
inline constexpr DWORD kSpdStoragePathMaxDepth = 2;
struct SpdStoragePath {
  DWORD depth;
  DWORD index[kSpdStoragePathMaxDepth];
};

// Identity of the driver's storage objects, compared by IsSameStorage.
inline constexpr IID IID_ISpdStoragePath = tesk::win32::GuidFromText("6D3E86A0-0633-11D4-B31C-0040053562AE");
struct ISpdStoragePath : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPath(SpdStoragePath* path) = 0;  // 3
};

// The object ISpdDevice::OpenOpaque hands out. Both methods return S_OK; PutText has no
// effect and the values PutValues keeps are read by nobody.
inline constexpr IID IID_IGannetOpaque = tesk::win32::GuidFromText("397906A0-F080-11D4-98A0-00105AA9FECC");
struct IGannetOpaque : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE PutText(LPCWSTR text) = 0;        // 3
  virtual HRESULT STDMETHODCALLTYPE PutValues(DWORD a, DWORD b) = 0;  // 4
};

namespace gannet {

// The driver's class and the display name it registers under.
inline constexpr CLSID CLSID_GannetDriver = tesk::win32::GuidFromText("028D6280-A219-11D5-98A1-00105AA9FECC");
inline constexpr char kDriverDisplayName[] = "Holvenn Q41 Service Provider Driver";
// The player model's display name (device name, property 1).
inline constexpr WCHAR kDeviceName[] = u"Holvenn Q41";
inline constexpr DWORD kVendorId = 0x7A3D;

// The module's handle, for registration and its string table.
HINSTANCE ModuleInstance();

// Process-wide player state, shared by every device object. Changed without a lock: the
// hosts serialise the calls on one device.
struct PlayerState {
  char device_path[MAX_PATH] = {};  // the interface discovery settled on (or saw last)
  bool present = false;             // found, or there at the last poll
  bool previous = false;            // the last poll's answer
};
PlayerState& Player();

// New objects with one reference for the caller; E_OUTOFMEMORY when they cannot be made.
HRESULT CreateDriver(ISpdDriver** out);
HRESULT CreateDevice(ISpdDevice** out);

// Live-object counter and lock count (DllCanUnloadNow). Class factories count here directly;
// driver objects count through LiveObjectAdded/LiveObjectRemoved.
tesk::win32::ServerCounters& Counters();

// Counts the object and lists it in the live-object table under class_name (copied).
void LiveObjectAdded(IUnknown* object, const char* class_name);
// Uncounts the object and takes it out of the table.
void LiveObjectRemoved(IUnknown* object);

// The table's life, from the module's entry point: made at attach; at detach the
// unreleased-object report (appended line by line to "c:\temp\debug.out") is written when
// the table is not empty, then the table is freed.
void InitLiveObjects();
void ReportLiveObjects();
void FreeLiveObjects();

// The player's serial number: the 16 bytes read from its USB serial-number string (bytes
// 8 to 15 always 0). TRUE when read; FALSE with all 16 bytes 0 when the player cannot be
// opened exclusively or a descriptor read fails.
bool ReadSerialNumber(BYTE (&serial)[16]);

// Makes the root storage of one medium: drive_root is the drive of the medium ("E:"), index
// its position in the device's storage list. A new object with one reference for the caller;
// E_OUTOFMEMORY when it cannot be made. Implemented with the storage objects.
HRESULT CreateFileSystemStorage(const char* drive_root, DWORD index, ISpdStorage** out);

}  // namespace gannet
