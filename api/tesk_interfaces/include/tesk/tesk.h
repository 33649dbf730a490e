// The Tesk application interface: find portable music players, walk their storage and copy
// music to and from them.
//
//   void* root = nullptr;
//   if (SUCCEEDED(GetMediaDeviceManager(&root))) {
//     ITesk* tesk = static_cast<ITesk*>(root);
//     ... tesk->EnumDevices(&devices) ...
//     tesk->Release();
//   }
//
// Link with `pkg-config --libs tesk`. Slot order is part of the contract.
#pragma once

#include <array>

#include <tesk/spd.h>
#include <tesk/win32/objbase.h>
#include <tesk/win32/types.h>
#include <tesk/win32/unknwn.h>
#include <tesk/win32/winerror.h>

#if defined(TESK_BUILDING_TESKUSER)
#define TESK_USER_API __attribute__((visibility("default")))
#else
#define TESK_USER_API
#endif

// ---- Identifiers ---------------------------------------------------------------------

namespace tesk {

// Every public identifier has the form {88E1C0xx-5884-11D3-A2C7-00A0CC503482}.
constexpr GUID TeskIdentifier(BYTE xx) {
  return GUID{0x88E1C000u | xx, 0x5884, 0x11D3, {0xA2, 0xC7, 0x00, 0xA0, 0xCC, 0x50, 0x34, 0x82}};
}

inline constexpr BYTE kFirstIdentifier = 0xA0;
inline constexpr std::size_t kIdentifierCount = 22;

// The run A0 to B5 as one table; A0 is the root's class and AD is unassigned.
constexpr std::array<GUID, kIdentifierCount> MakeIdentifierTable() {
  std::array<GUID, kIdentifierCount> table{};
  for (std::size_t i = 0; i < kIdentifierCount; ++i)
    table[i] = TeskIdentifier(static_cast<BYTE>(kFirstIdentifier + i));
  return table;
}

}  // namespace tesk

// The twenty interface identifiers, by their xx byte.
#define TESK_INTERFACE_IDENTIFIERS(X) \
  X(0xA1, ITesk)                      \
  X(0xA2, ITeskEnumDevice)            \
  X(0xA3, ITeskDevice)                \
  X(0xA4, ITeskDeviceControl)         \
  X(0xA5, ITeskEnumStorage)           \
  X(0xA6, ITeskStorage)               \
  X(0xA7, ITeskStorageGlobals)        \
  X(0xA8, ITeskStorageControl)        \
  X(0xA9, ITeskObjectInfo)            \
  X(0xAA, ITeskOperation)             \
  X(0xAB, ITeskProgress)              \
  X(0xAC, ITeskConnect)               \
  X(0xAE, ITeskDeviceService)         \
  X(0xAF, ITeskServiceClock)          \
  X(0xB0, ITeskServiceRadio)          \
  X(0xB1, ITeskServiceUserSettings)   \
  X(0xB2, ITeskServiceTheme)          \
  X(0xB3, ITeskServicePower)          \
  X(0xB4, ITeskOpaqueAccess)          \
  X(0xB5, ITeskOperation2)

// The root device manager's class (not exported).
inline constexpr CLSID CLSID_Tesk = tesk::TeskIdentifier(0xA0);

// Applications get the identifiers as data exported by teskuser; the system's own modules
// keep a copy of their own (TESK_COMPONENT_IIDS) instead of depending on teskuser.
#if defined(TESK_COMPONENT_IIDS)
#define TESK_DECLARE_IID(xx, name) inline constexpr IID IID_##name = tesk::TeskIdentifier(xx);
#else
#define TESK_DECLARE_IID(xx, name) extern "C" TESK_USER_API const IID IID_##name;
#endif
TESK_INTERFACE_IDENTIFIERS(TESK_DECLARE_IID)
#undef TESK_DECLARE_IID

// ---- Records -------------------------------------------------------------------------

// Serial numbers and identifiers. The caller sets cbSize to 24 (16 identifier bytes),
// 136 (128 bytes) or 140 (128 bytes and the count); any other size is refused with E_FAIL.
struct TeskId {
  DWORD cbSize;
  DWORD dwVendorId;
  BYTE abId[128];
  DWORD cbId;  // only in 140-byte records
};
static_assert(sizeof(TeskId) == 136 + 4);
#define TESK_ID_SIZE_SHORT 24
#define TESK_ID_SIZE_LONG 136
#define TESK_ID_SIZE_COUNTED 140

// Content description an insert source may offer. Only its size is the system's; the other
// fields are agreed between applications and drivers and passed through.
struct TeskContentInfo {
  DWORD cbSize;  // 40
  DWORD adwData1[2];
  DWORD dwContentFlags;  // offset 12
  DWORD adwData2[3];
  WORD wContent28;  // offset 28
  WORD wContent30;  // offset 30
  DWORD adwData3[2];
};
static_assert(sizeof(TeskContentInfo) == 40);

// ---- Flags, status words and results ---------------------------------------------------

// Mode flags (fuMode arguments).
#define TESK_MODE_BLOCK 0x00000002u
#define TESK_CONTENT_FOLDER 0x00000020u
#define TESK_CONTENT_OPERATION 0x00000040u
#define TESK_CONTENT_OPERATION2 0x00000080u
#define TESK_STORAGECONTROL_BEFORE 0x00001000u
#define TESK_STORAGECONTROL_NOTINTO 0x00004000u
#define TESK_STORAGECONTROL_MOVEEX 0x00008000u

// ITeskDeviceControl::Setup mode: the device plays or records by itself.
#define TESK_CONTROL_DEVICE 0x00000001u

// IsFormatSupported flags.
#define TESK_FORMAT_AUDIO 0x00000001u
#define TESK_FORMAT_2 0x00000002u
#define TESK_FORMAT_FRAME 0x00000100u
#define TESK_FORMAT_NUMBER 0x00000200u
#define TESK_FORMAT_CONTENT 0x00000400u

// Storage attributes the system itself relies on or sets.
#define TESK_ATTR_FOLDER 0x00010000u
#define TESK_ATTR_INSERTED_FOLDER 0x00010001u
#define TESK_ATTR_INSERTED_MPEG 0x00000BF1u
#define TESK_ATTR_INSERTED_FILE 0x000005F0u

// Status words: while an operation holds a device, GetStatus reports what it set.
#define TESK_STATUS_BUSY 0x00000001u
#define TESK_STATUS_INITIALIZING 0x00002001u
#define TESK_STATUS_INSERTING_BEFORE 0x00100001u
#define TESK_STATUS_INSERTING_AFTER 0x00400001u
#define TESK_STATUS_DELETING 0x00200001u
#define TESK_STATUS_MOVING 0x00800001u
#define TESK_STATUS_READING 0x01000001u

#define TESK_REVISION 0x00020000u

// The device is busy with another operation.
#define TESK_E_BUSY (static_cast<HRESULT>(0x80000010L))

// ---- Interfaces ----------------------------------------------------------------------

struct ITeskDevice;
struct ITeskDeviceControl;
struct ITeskEnumDevice;
struct ITeskEnumStorage;
struct ITeskStorage;
struct ITeskStorageGlobals;
struct ITeskStorageControl;
struct ITeskObjectInfo;
struct ITeskOperation;
struct ITeskProgress;
struct ITeskConnect;

struct ITesk : public IUnknown {
  // The revision number itself, not an HRESULT.
  virtual DWORD STDMETHODCALLTYPE GetRevision() = 0;                            // 3
  virtual HRESULT STDMETHODCALLTYPE GetDeviceCount(DWORD* pdwCount) = 0;        // 4
  virtual HRESULT STDMETHODCALLTYPE EnumDevices(ITeskEnumDevice** ppEnum) = 0;  // 5
};

struct ITeskEnumDevice : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, ITeskDevice** rgpDevice, ULONG* pceltFetched) = 0;  // 3
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;                                                // 4
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;                                                         // 5
  virtual HRESULT STDMETHODCALLTYPE Clone(ITeskEnumDevice** ppEnum) = 0;                                 // 6
};

struct ITeskDevice : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved(DWORD a, DWORD b, DWORD c) = 0;               // 3
  virtual HRESULT STDMETHODCALLTYPE GetName(LPWSTR pwszName, UINT nSize) = 0;              // 4
  virtual HRESULT STDMETHODCALLTYPE GetManufacturer(LPWSTR pwszName, UINT nSize) = 0;      // 5
  virtual HRESULT STDMETHODCALLTYPE GetVersion(DWORD* pdwVersion) = 0;                     // 6
  virtual HRESULT STDMETHODCALLTYPE GetType(DWORD* pdwType) = 0;                           // 7
  virtual HRESULT STDMETHODCALLTYPE GetSerialNumber(TeskId* pId) = 0;                      // 8
  virtual HRESULT STDMETHODCALLTYPE GetIdentifiers(TeskId* rgId, UINT count) = 0;          // 9
  virtual HRESULT STDMETHODCALLTYPE SetIdentifier(UINT index, TeskId* pId) = 0;            // 10
  virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(DWORD dwFlags, void* pFormat) = 0;   // 11
  virtual HRESULT STDMETHODCALLTYPE GetPowerSource(DWORD* pdwPower) = 0;                   // 12
  virtual HRESULT STDMETHODCALLTYPE GetStatus(DWORD* pdwStatus) = 0;                       // 13
  virtual HRESULT STDMETHODCALLTYPE GetDeviceIcon(void* pBuffer, UINT cbBuffer) = 0;       // 14
  virtual HRESULT STDMETHODCALLTYPE GetDeviceControl(ITeskDeviceControl** ppControl) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE Advise(ITeskConnect* pSink) = 0;                       // 16
  virtual HRESULT STDMETHODCALLTYPE EnumStorage(ITeskEnumStorage** ppEnum) = 0;            // 17
};

struct ITeskDeviceControl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetStatus(DWORD* pdwStatus) = 0;             // 3
  virtual HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* pdwCaps) = 0;         // 4
  virtual HRESULT STDMETHODCALLTYPE Play(DWORD fuMode) = 0;                      // 5
  virtual HRESULT STDMETHODCALLTYPE Record(DWORD fuMode, DWORD_PTR format) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE Pause() = 0;                                 // 7
  virtual HRESULT STDMETHODCALLTYPE Resume() = 0;                                // 8
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;                                  // 9
  virtual HRESULT STDMETHODCALLTYPE Setup(DWORD dwMode, ITeskStorage* pStorage, ITeskOperation* pOperation,
                                          ITeskObjectInfo* pRange) = 0;  // 10
};

struct ITeskEnumStorage : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, ITeskStorage** rgpStorage,
                                         ULONG* pceltFetched) = 0;         // 3
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;                  // 4
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;                           // 5
  virtual HRESULT STDMETHODCALLTYPE Clone(ITeskEnumStorage** ppEnum) = 0;  // 6
};

struct ITeskStorage : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetStorageGlobals(ITeskStorageGlobals** pp) = 0;                 // 3
  virtual HRESULT STDMETHODCALLTYPE GetStorageControl(ITeskStorageControl** pp) = 0;                 // 4
  virtual HRESULT STDMETHODCALLTYPE GetObjectInfo(ITeskObjectInfo** pp) = 0;                         // 5
  virtual HRESULT STDMETHODCALLTYPE GetAttributes(DWORD* pdwAttributes, WAVEFORMATEX* pFormat) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE GetName(LPWSTR pwszName, UINT nSize) = 0;                        // 7
  virtual HRESULT STDMETHODCALLTYPE GetDate(LPWSTR pwszDate, UINT nSize) = 0;                        // 8
  virtual HRESULT STDMETHODCALLTYPE GetSize(DWORD* pdwSizeLow, DWORD* pdwSizeHigh) = 0;              // 9
  virtual HRESULT STDMETHODCALLTYPE Reserved(DWORD a) = 0;                                           // 10
  virtual HRESULT STDMETHODCALLTYPE Advise(ITeskConnect* pSink) = 0;                                 // 11
  virtual HRESULT STDMETHODCALLTYPE EnumStorage(ITeskEnumStorage** pp) = 0;                          // 12
};

struct ITeskStorageGlobals : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCapabilities(DWORD* pdwCaps) = 0;                    // 3
  virtual HRESULT STDMETHODCALLTYPE GetSerialNumber(TeskId* pId) = 0;                       // 4
  virtual HRESULT STDMETHODCALLTYPE GetTotalFree(DWORD* pdwLow, DWORD* pdwHigh) = 0;        // 5
  virtual HRESULT STDMETHODCALLTYPE GetTotalBad(DWORD* pdwLow, DWORD* pdwHigh) = 0;         // 6
  virtual HRESULT STDMETHODCALLTYPE GetStatus(DWORD* pdwStatus) = 0;                        // 7
  virtual HRESULT STDMETHODCALLTYPE Initialize(UINT fuMode, ITeskProgress* pProgress) = 0;  // 8
};

struct ITeskStorageControl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved(DWORD a, DWORD b) = 0;                                      // 3
  virtual HRESULT STDMETHODCALLTYPE InsertBefore(UINT fuMode, void* pSource, ITeskStorage** ppNew) = 0;  // 4
  virtual HRESULT STDMETHODCALLTYPE InsertAfter(UINT fuMode, void* pSource, ITeskStorage** ppNew) = 0;   // 5
  virtual HRESULT STDMETHODCALLTYPE Delete(UINT fuMode, ITeskProgress* pProgress) = 0;                   // 6
  virtual HRESULT STDMETHODCALLTYPE Move(UINT fuMode, ITeskStorage* pTarget, ITeskProgress* pProgress,
                                         void** ppResult) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE Rename(UINT fuMode, LPCWSTR pwszNewName,
                                           ITeskProgress* pProgress) = 0;       // 8
  virtual HRESULT STDMETHODCALLTYPE Read(UINT fuMode, void* pDestination) = 0;  // 9
  virtual HRESULT STDMETHODCALLTYPE GetStatus(DWORD* pdwStatus) = 0;            // 10
};

struct ITeskObjectInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPlayLength(DWORD* pdwLength) = 0;             // 3
  virtual HRESULT STDMETHODCALLTYPE SetPlayLength(DWORD dwLength) = 0;               // 4
  virtual HRESULT STDMETHODCALLTYPE GetPlayOffset(DWORD* pdwOffset) = 0;             // 5
  virtual HRESULT STDMETHODCALLTYPE SetPlayOffset(DWORD dwOffset) = 0;               // 6
  virtual HRESULT STDMETHODCALLTYPE GetTotalLength(DWORD* pdwLength) = 0;            // 7
  virtual HRESULT STDMETHODCALLTYPE GetLastPlayPosition(DWORD* pdwPosition) = 0;     // 8
  virtual HRESULT STDMETHODCALLTYPE GetLongestPlayPosition(DWORD* pdwPosition) = 0;  // 9
};

// Callback: the source of an insert, the destination of a read, or the stream of play and
// record. pCaller is the system object running the operation, not reference-counted for the
// call. Called from the system's worker threads as well as the caller's.
struct ITeskOperation : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE BeginRead(IUnknown* pCaller) = 0;                                  // 3
  virtual HRESULT STDMETHODCALLTYPE BeginWrite(IUnknown* pCaller) = 0;                                 // 4
  virtual HRESULT STDMETHODCALLTYPE ObjectName(IUnknown* pCaller, LPWSTR pwszName, UINT cchName) = 0;  // 5
  virtual HRESULT STDMETHODCALLTYPE ObjectAttributes(IUnknown* pCaller, DWORD* pdwAttributes,
                                                     WAVEFORMATEX* pFormat) = 0;                       // 6
  virtual HRESULT STDMETHODCALLTYPE ObjectContentInfo(IUnknown* pCaller, TeskContentInfo* pInfo) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE ObjectTotalSize(IUnknown* pCaller, DWORD* pdwSize) = 0;            // 8
  virtual HRESULT STDMETHODCALLTYPE BufferSize(IUnknown* pCaller, DWORD* pcbBuffer) = 0;               // 9
  virtual HRESULT STDMETHODCALLTYPE TransferObjectData(IUnknown* pCaller, BYTE* pData,
                                                       DWORD* pcbData) = 0;                        // 10
  virtual HRESULT STDMETHODCALLTYPE End(IUnknown* pCaller, HRESULT hr, IUnknown* pNewObject) = 0;  // 11
};

// Callback: an insert source that also delivers tags (NextTag, after the new object exists).
struct ITeskOperation2 : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE BeginRead(IUnknown* pCaller) = 0;   // 3
  virtual HRESULT STDMETHODCALLTYPE BeginWrite(IUnknown* pCaller) = 0;  // 4 (never called)
  virtual HRESULT STDMETHODCALLTYPE ObjectName(IUnknown* pCaller, LPWSTR pwszName, UINT cchName) = 0;  // 5
  virtual HRESULT STDMETHODCALLTYPE ObjectAttributes(IUnknown* pCaller, DWORD* pdwAttributes,
                                                     WAVEFORMATEX* pFormat) = 0;                         // 6
  virtual HRESULT STDMETHODCALLTYPE NextTag(IUnknown* pCaller, SpdFrame* pFrame, DWORD dwReserved) = 0;  // 7
  virtual HRESULT STDMETHODCALLTYPE ObjectContentInfo(IUnknown* pCaller, TeskContentInfo* pInfo) = 0;    // 8
  virtual HRESULT STDMETHODCALLTYPE ObjectTotalSize(IUnknown* pCaller, DWORD* pdwSize) = 0;              // 9
  virtual HRESULT STDMETHODCALLTYPE BufferSize(IUnknown* pCaller, DWORD* pcbBuffer) = 0;                 // 10
  virtual HRESULT STDMETHODCALLTYPE TransferObjectData(IUnknown* pCaller, BYTE* pData,
                                                       DWORD* pcbData) = 0;                        // 11
  virtual HRESULT STDMETHODCALLTYPE End(IUnknown* pCaller, HRESULT hr, IUnknown* pNewObject) = 0;  // 12
};

// Callback: progress of a long operation; Progress counts steps from 1.
struct ITeskProgress : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Begin(IUnknown* pCaller, DWORD dwTotalSteps, DWORD dwReserved) = 0;  // 3
  virtual HRESULT STDMETHODCALLTYPE Progress(IUnknown* pCaller, DWORD dwStepsDone) = 0;                  // 4
  virtual HRESULT STDMETHODCALLTYPE End(IUnknown* pCaller, HRESULT hr, IUnknown* pNewObject) = 0;        // 5
};

// Callback: a device or medium came or went. pSource installed the sink.
struct ITeskConnect : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Disconnected(IUnknown* pSource) = 0;  // 3
  virtual HRESULT STDMETHODCALLTYPE Connected(IUnknown* pSource) = 0;     // 4
};

struct ITeskDeviceService : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE NextService(void** ppService) = 0;  // 3
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;                        // 4
  virtual HRESULT STDMETHODCALLTYPE IsServiceAvailable() = 0;           // 5
  virtual HRESULT STDMETHODCALLTYPE ServiceRequest(DWORD dwValue) = 0;  // 6
};

struct ITeskOpaqueAccess : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved(DWORD a, DWORD b) = 0;                // 3
  virtual HRESULT STDMETHODCALLTYPE GetOpaqueObject(REFIID riid, void** ppv) = 0;  // 4
};

// Services a driver may offer through ITeskDeviceService's QueryInterface. Their methods are
// the drivers' to define; the system only knows their identifiers.
struct ITeskServiceClock : public IUnknown {};
struct ITeskServiceRadio : public IUnknown {};
struct ITeskServiceUserSettings : public IUnknown {};
struct ITeskServiceTheme : public IUnknown {};
struct ITeskServicePower : public IUnknown {};

// ---- Entry point ---------------------------------------------------------------------

// Creates the root device manager (CLSID_Tesk) in process and stores its ITesk in *ppv.
// Returns the creation's result unchanged (REGDB_E_CLASSNOTREG when teskroot is not registered).
extern "C" TESK_USER_API HRESULT STDAPICALLTYPE GetMediaDeviceManager(void** ppv);
