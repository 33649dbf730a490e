// The plug-in driver contract: what every device driver implements and every host calls.
//
// A driver is an in-process COM class listed under HKLM\Software\Vorelle\Tesk\Drivers (one
// subkey per driver, named by its class identifier in lower case without braces, default
// value its display name) and registered under HKCR\CLSID like any in-process server.
// Hosts create it with CoCreateInstance(clsid, NULL, CLSCTX_INPROC_SERVER, IID_ISpdDriver).
//
// Slot order is part of the contract: do not reorder, insert or remove methods.
#pragma once

#include <tesk/win32/objbase.h>
#include <tesk/win32/types.h>
#include <tesk/win32/unknwn.h>
#include <tesk/win32/winerror.h>

// ---- Interface identifiers -----------------------------------------------------------

inline constexpr IID IID_ISpdDriver = tesk::win32::GuidFromText("87AE73A6-CF1B-11D3-A856-0000E89B32E8");
inline constexpr IID IID_ISpdDevice = tesk::win32::GuidFromText("87AE73A5-CF1B-11D3-A856-0000E89B32E8");
inline constexpr IID IID_ISpdDeviceControl =
    tesk::win32::GuidFromText("87AE73A3-CF1B-11D3-A856-0000E89B32E8");
inline constexpr IID IID_ISpdStorage = tesk::win32::GuidFromText("87AE73A2-CF1B-11D3-A856-0000E89B32E8");
inline constexpr IID IID_ISpdStream = tesk::win32::GuidFromText("87AE73A0-CF1B-11D3-A856-0000E89B32E8");

// Registry key (under HKEY_LOCAL_MACHINE) that lists the drivers.
#define SPD_DRIVERS_KEY "Software\\Vorelle\\Tesk\\Drivers"

// ---- Value kinds ---------------------------------------------------------------------

// The third argument of GetProperty/SetProperty: the type of the value buffer.
enum SpdValueKind : UINT {
  SpdKindString = 0,  // wide string; size is the buffer's capacity
  SpdKindDword = 1,   // one DWORD
  SpdKindBool = 2,    // one byte, 0 or 1
  SpdKindGuid = 3,    // one GUID
  SpdKindTime = 4,    // DWORD seconds since 1970-01-01 00:00 UTC
  SpdKindFrame = 5,   // SpdFrame
  SpdKindRecord = 6,  // fixed-layout record (the 18-byte format, or one that starts with its size)
  SpdKindBlob = 7,    // SpdBlob
};

// ---- Records -------------------------------------------------------------------------

// Variable-length data from a driver. The driver allocates pData with CoTaskMemAlloc; the
// receiver frees it with CoTaskMemFree whether or not it used it. cbSize holds sizeof here.
struct SpdBlob {
  DWORD cbSize;
  BYTE* pData;
  DWORD cbData;
};

// One metadata tag. frameId holds four characters in memory order ("TIT2" is T, I, T, 2).
struct SpdFrame {
  DWORD cbSize;
  DWORD type;
  DWORD frameId;
  DWORD cbData;
  BYTE* pData;
};

// Text frames: the only frame type a driver is asked about.
#define SPD_FRAME_TYPE_TEXT 1

constexpr DWORD SpdFrameId(const char (&id)[5]) {
  return static_cast<DWORD>(static_cast<BYTE>(id[0])) | (static_cast<DWORD>(static_cast<BYTE>(id[1])) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(id[2])) << 16) |
         (static_cast<DWORD>(static_cast<BYTE>(id[3])) << 24);
}

// The audio format record: exactly 18 bytes wherever it crosses an interface.
#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
using PWAVEFORMATEX = WAVEFORMATEX*;
using LPWAVEFORMATEX = WAVEFORMATEX*;

#define WAVE_FORMAT_MPEGLAYER3 0x0055
#define WAVE_FORMAT_WMAUDIO2 0x0161
#define SPD_FORMAT_TAG_7FF0 0x7FF0
#define SPD_FORMAT_TAG_7FF3 0x7FF3

// ---- Properties ----------------------------------------------------------------------

// First argument of GetProperty/SetProperty; the second is 0 except for SPD_PROP_FRAME,
// where it carries the frame identifier, and SPD_PROP_IDENTIFIER, where it is the index.
enum SpdProperty : UINT {
  SPD_PROP_NAME = 1,                    // string: display name
  SPD_PROP_MANUFACTURER = 2,            // string: maker's name
  SPD_PROP_VERSION = 3,                 // DWORD
  SPD_PROP_VENDOR_ID = 4,               // DWORD: vendor that goes with the serial number
  SPD_PROP_SERIAL = 5,                  // blob: serial number bytes
  SPD_PROP_INSTANCE_GUID = 6,           // GUID
  SPD_PROP_POWER = 7,                   // DWORD: power word
  SPD_PROP_ICON = 8,                    // string
  SPD_PROP_ATTRIBUTES = 9,              // DWORD: storage attribute word
  SPD_PROP_FORMAT = 10,                 // record: WAVEFORMATEX
  SPD_PROP_CAPABILITIES = 11,           // DWORD
  SPD_PROP_DEVICE_TYPE = 12,            // DWORD: device type word
  SPD_PROP_SIZE_LOW = 13,               // DWORD
  SPD_PROP_SIZE_HIGH = 14,              // DWORD
  SPD_PROP_FREE_LOW = 15,               // DWORD
  SPD_PROP_FREE_HIGH = 16,              // DWORD
  SPD_PROP_BAD_LOW = 17,                // DWORD
  SPD_PROP_BAD_HIGH = 18,               // DWORD
  SPD_PROP_DATE = 20,                   // time, or string for the date as text
  SPD_PROP_PRESENT = 21,                // bool
  SPD_PROP_LOCAL_LOCK = 22,             // bool: guard with a process-local lock
  SPD_PROP_SIGNALS_CHANGE = 23,         // bool: signals changes through SetChangeEvent
  SPD_PROP_STATUS = 24,                 // DWORD: 0 ready, 2 absent
  SPD_PROP_PLAY_LENGTH = 25,            // DWORD: playing time in seconds
  SPD_PROP_PLAY_OFFSET = 26,            // DWORD
  SPD_PROP_TOTAL_LENGTH = 27,           // DWORD
  SPD_PROP_LAST_PLAY_POSITION = 28,     // DWORD
  SPD_PROP_LONGEST_PLAY_POSITION = 29,  // DWORD
  SPD_PROP_FRAME = 30,                  // frame: one tag text frame (set only)
  SPD_PROP_IDENTIFIER = 31,             // record/blob: indexed identifier
  SPD_PROP_HAS_SERVICES = 34,           // bool
};

// Status word values (SPD_PROP_STATUS).
#define SPD_STATUS_READY 0
#define SPD_STATUS_ABSENT 2

// Device type word (SPD_PROP_DEVICE_TYPE).
#define SPD_DEVICE_PLAYS 0x01
#define SPD_DEVICE_RECORDS 0x02
#define SPD_DEVICE_DECODES 0x04
#define SPD_DEVICE_ENCODES 0x08
#define SPD_DEVICE_HAS_STORAGE 0x10
#define SPD_DEVICE_VIRTUAL 0x80

// Power word (SPD_PROP_POWER).
#define SPD_POWER_CAN_BATTERY 0x01
#define SPD_POWER_CAN_EXTERNAL 0x02
#define SPD_POWER_ON_BATTERY 0x10
#define SPD_POWER_ON_EXTERNAL 0x20

// Storage attribute word (SPD_PROP_ATTRIBUTES).
#define SPD_ATTR_FILESYSTEM 0x10000000u
#define SPD_ATTR_REMOVABLE 0x20000000u
#define SPD_ATTR_NONREMOVABLE 0x40000000u
#define SPD_ATTR_FOLDER 0x00010000u
#define SPD_ATTR_LINK 0x00020000u
#define SPD_ATTR_FILE 0x00000100u
#define SPD_ATTR_AUDIO 0x02000000u
#define SPD_ATTR_PLAYABLE 0x00000200u
#define SPD_ATTR_DELETABLE 0x00000400u
#define SPD_ATTR_MOVABLE 0x00000800u
#define SPD_ATTR_RENAMABLE 0x00000010u
#define SPD_ATTR_READABLE 0x00000020u
#define SPD_ATTR_MUSIC 0x00000040u
// Three bits without a meaning of their own, carried through unchanged.
#define SPD_ATTR_RESERVED_80 0x00000080u
#define SPD_ATTR_RESERVED_01 0x00000001u
#define SPD_ATTR_RESERVED_02 0x00000002u
#define SPD_ATTR_MEDIUM_ROOT 0x00200000u  // reported on a medium root; no WMDM counterpart

// Storage types (ISpdStorage::GetStorageType).
#define SPD_STORAGE_MEDIUM 0
#define SPD_STORAGE_FILE 2

// CreateChild: what to create, and where relative to this storage.
#define SPD_CREATE_FOLDER 1
#define SPD_CREATE_FILE 2
#define SPD_POSITION_BEFORE 0
#define SPD_POSITION_AFTER 1
#define SPD_POSITION_INTO 2

// IsSupported queries.
#define SPD_QUERY_FORMAT 1
#define SPD_QUERY_2 2
#define SPD_QUERY_3 3
#define SPD_QUERY_NUMBER 4
#define SPD_QUERY_CONTENT 5
#define SPD_QUERY_FRAME 6

// ---- Result codes --------------------------------------------------------------------

#define SPD_E_WRONGKIND (static_cast<HRESULT>(0x80040101L))     // known property, wrong kind or size
#define SPD_E_NOTSAME (static_cast<HRESULT>(0x80040102L))       // identity test: another object
#define SPD_E_DEPTHDIFFERS (static_cast<HRESULT>(0x80040103L))  // storage identity: depths differ

// ---- Message table ---------------------------------------------------------------------

// String identifiers of a driver module's message table (language 1033): one text per
// general failure, then the names of the product family, its maker and its media.
#define SPD_MSG_NOINTERFACE 100
#define SPD_MSG_NOTIMPL 110
#define SPD_MSG_FAIL 120
#define SPD_MSG_INVALIDARG 130
#define SPD_MSG_OUTOFMEMORY 140
#define SPD_MSG_ACCESSDENIED 150
#define SPD_MSG_BUSY 160
#define SPD_MSG_DEAD 170
#define SPD_MSG_SPAWN 180
#define SPD_MSG_PENDING 190
#define SPD_MSG_UNKNOWN 195
#define SPD_MSG_FAMILY 500
#define SPD_MSG_MAKER 501
#define SPD_MSG_INTERNAL_MEDIUM 502
#define SPD_MSG_EXTERNAL_MEDIUM 503

// ---- Interfaces ----------------------------------------------------------------------

struct ISpdDevice;
struct ISpdDeviceControl;
struct ISpdStorage;
struct ISpdStream;

struct ISpdDriver : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetName(LPWSTR buf, UINT size) = 0;                                   // 3
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT sub, UINT kind, void* out, UINT size) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE SetProperty(UINT id, UINT sub, UINT kind, const void* in,
                                                UINT size) = 0;                    // 5
  virtual HRESULT STDMETHODCALLTYPE GetDeviceCount(DWORD* count) = 0;              // 6
  virtual HRESULT STDMETHODCALLTYPE GetDevice(DWORD index, ISpdDevice** out) = 0;  // 7
};

struct ISpdDevice : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetName(LPWSTR buf, UINT size) = 0;                                   // 3
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT sub, UINT kind, void* out, UINT size) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE SetProperty(UINT id, UINT sub, UINT kind, const void* in,
                                                UINT size) = 0;                      // 5
  virtual HRESULT STDMETHODCALLTYPE GetStorageCount(DWORD* count) = 0;               // 6
  virtual HRESULT STDMETHODCALLTYPE GetStorage(DWORD index, ISpdStorage** out) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE IsSupported(UINT query, const void* arg) = 0;    // 8
  // No host calls slots 9 and 10; only their argument counts are fixed.
  virtual HRESULT STDMETHODCALLTYPE Reserved9(DWORD_PTR a, DWORD_PTR b) = 0;                // 9
  virtual HRESULT STDMETHODCALLTYPE Reserved10(DWORD_PTR a, DWORD_PTR b, DWORD_PTR c) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE GetDeviceControl(ISpdDeviceControl** out) = 0;          // 11
  virtual HRESULT STDMETHODCALLTYPE OpenOpaque(REFIID iid, void** out) = 0;                 // 12
  virtual HRESULT STDMETHODCALLTYPE GetServiceCount(DWORD* count) = 0;                      // 13
  virtual HRESULT STDMETHODCALLTYPE GetService(DWORD index, IUnknown** out) = 0;            // 14
  virtual HRESULT STDMETHODCALLTYPE QueryService(REFIID iid, void** out) = 0;               // 15
  // Forwarded unchanged by the core's device-service object; its meaning is the driver's.
  virtual HRESULT STDMETHODCALLTYPE ServiceRequest(DWORD value) = 0;    // 16
  virtual HRESULT STDMETHODCALLTYPE SetChangeEvent(HANDLE event) = 0;   // 17
  virtual HRESULT STDMETHODCALLTYPE PollForChange() = 0;                // 18
  virtual HRESULT STDMETHODCALLTYPE IsSameDevice(IUnknown* other) = 0;  // 19
};

struct ISpdDeviceControl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT sub, UINT kind, void* out, UINT size) = 0;  // 3
  // Not called by either host.
  virtual HRESULT STDMETHODCALLTYPE SetProperty(UINT id, UINT sub, UINT kind, const void* in,
                                                UINT size) = 0;  // 4
  // A value not given is (DWORD)-1.
  virtual HRESULT STDMETHODCALLTYPE SetSource(ISpdStorage* storage, DWORD playOffset,
                                              DWORD playLength) = 0;                           // 5
  virtual HRESULT STDMETHODCALLTYPE Play() = 0;                                                // 6
  virtual HRESULT STDMETHODCALLTYPE Record(DWORD_PTR format) = 0;                              // 7
  virtual HRESULT STDMETHODCALLTYPE OpenPlayStream(ISpdStream** out) = 0;                      // 8
  virtual HRESULT STDMETHODCALLTYPE OpenRecordStream(DWORD_PTR format, ISpdStream** out) = 0;  // 9
  virtual HRESULT STDMETHODCALLTYPE Pause() = 0;                                               // 10
  virtual HRESULT STDMETHODCALLTYPE Resume() = 0;                                              // 11
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;                                                // 12
};

struct ISpdStorage : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetStorageType(DWORD* type) = 0;                                      // 3
  virtual HRESULT STDMETHODCALLTYPE GetName(LPWSTR buf, UINT size) = 0;                                   // 4
  virtual HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT sub, UINT kind, void* out, UINT size) = 0;  // 5
  virtual HRESULT STDMETHODCALLTYPE SetProperty(UINT id, UINT sub, UINT kind, const void* in,
                                                UINT size) = 0;                    // 6
  virtual HRESULT STDMETHODCALLTYPE SetChangeEvent(HANDLE event) = 0;              // 7
  virtual HRESULT STDMETHODCALLTYPE PollForChange() = 0;                           // 8
  virtual HRESULT STDMETHODCALLTYPE OpenOpaque(REFIID iid, void** out) = 0;        // 9
  virtual HRESULT STDMETHODCALLTYPE GetChildCount(DWORD* count) = 0;               // 10
  virtual HRESULT STDMETHODCALLTYPE GetChild(DWORD index, ISpdStorage** out) = 0;  // 11
  virtual HRESULT STDMETHODCALLTYPE CreateChild(LPCWSTR name, DWORD type, DWORD position,
                                                ISpdStorage** out) = 0;               // 12
  virtual HRESULT STDMETHODCALLTYPE InitializeBegin(DWORD* steps) = 0;                // 13
  virtual HRESULT STDMETHODCALLTYPE InitializeStep() = 0;                             // 14
  virtual HRESULT STDMETHODCALLTYPE MoveBegin(DWORD* steps) = 0;                      // 15
  virtual HRESULT STDMETHODCALLTYPE MoveStep(ISpdStorage* target, DWORD mode) = 0;    // 16
  virtual HRESULT STDMETHODCALLTYPE MoveExBegin(DWORD* steps) = 0;                    // 17
  virtual HRESULT STDMETHODCALLTYPE MoveExStep(ISpdStorage* target, DWORD mode) = 0;  // 18
  virtual HRESULT STDMETHODCALLTYPE DeleteBegin(DWORD* steps) = 0;                    // 19
  virtual HRESULT STDMETHODCALLTYPE DeleteStep() = 0;                                 // 20
  virtual HRESULT STDMETHODCALLTYPE RenameBegin(DWORD* steps) = 0;                    // 21
  virtual HRESULT STDMETHODCALLTYPE RenameStep(LPCWSTR newName) = 0;                  // 22
  virtual HRESULT STDMETHODCALLTYPE OpenStream(ISpdStream** out) = 0;                 // 23
  virtual HRESULT STDMETHODCALLTYPE IsSameStorage(IUnknown* other) = 0;               // 24
};

struct ISpdStream : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OpenRead() = 0;             // 3
  virtual HRESULT STDMETHODCALLTYPE OpenWrite(DWORD hint) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE GetSize(DWORD* size) = 0;   // 5
  // S_FALSE when no byte was read (end of file).
  virtual HRESULT STDMETHODCALLTYPE Read(void* buf, DWORD* len) = 0;         // 6
  virtual HRESULT STDMETHODCALLTYPE Write(const void* buf, DWORD* len) = 0;  // 7
  // commit FALSE discards a file being written.
  virtual HRESULT STDMETHODCALLTYPE Close(BOOL commit) = 0;  // 8
};
