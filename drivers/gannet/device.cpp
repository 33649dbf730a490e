// CDevice: the player, found through hoxa; its name, properties, media and presence.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "gannet.h"

#include <tesk/hoxa.h>
#include <tesk/win32/winnls.h>

namespace gannet {
namespace {

constexpr BYTE kDeviceDescriptor = 1;
constexpr BYTE kStringDescriptor = 3;
constexpr DWORD kDeviceDescriptorSize = 18;
constexpr std::size_t kManufacturerIndexOffset = 14;
constexpr std::size_t kSerialNumberIndexOffset = 16;
constexpr std::size_t kSerialTextSize = 64;

// An open player handle, closed when it goes out of scope.
class OpenPlayer {
 public:
  OpenPlayer(const char* path, DWORD flags) : handle_(Hoxa_OpenDevice(path, flags)) {}
  ~OpenPlayer() {
    if (ok()) Hoxa_CloseDevice(handle_);
  }
  OpenPlayer(const OpenPlayer&) = delete;
  OpenPlayer& operator=(const OpenPlayer&) = delete;
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

bool ReadDeviceDescriptor(HANDLE player, BYTE (&descriptor)[kDeviceDescriptorSize]) {
  return Hoxa_GetDescriptor(player, kDeviceDescriptor, 0, 0, descriptor, sizeof(descriptor), nullptr) !=
         FALSE;
}

// String descriptor `index` in the player's first language, as its UTF-16 bytes.
bool ReadString(HANDLE player, BYTE index, BYTE (&descriptor)[256], DWORD* text_bytes) {
  DWORD returned = 0;
  if (!Hoxa_GetDescriptor(player, kStringDescriptor, 0, 0, descriptor, sizeof(descriptor), &returned) ||
      returned <= 3)
    return false;
  const WORD language = static_cast<WORD>(descriptor[2] | (descriptor[3] << 8));
  if (!Hoxa_GetDescriptor(player, kStringDescriptor, index, language, descriptor, sizeof(descriptor),
                          nullptr))
    return false;
  *text_bytes = descriptor[0] >= 2 ? descriptor[0] - 2u : 0u;
  return true;
}

// The string in the ANSI code page, terminated, in at most `size` bytes.
bool ReadNarrowString(HANDLE player, BYTE index, char* out, int size) {
  BYTE descriptor[256] = {};
  DWORD text_bytes = 0;
  if (!ReadString(player, index, descriptor, &text_bytes)) return false;
  WCHAR text[128] = {};
  std::memcpy(text, descriptor + 2, text_bytes);
  const int written =
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(text_bytes / 2), out, size - 1, nullptr, nullptr);
  out[written > 0 ? written : 0] = '\0';
  return true;
}

// The string's UTF-16 bytes into a cleared buffer of `size` bytes, leaving its last two bytes
// as the terminator.
bool ReadWideString(HANDLE player, BYTE index, BYTE* out, UINT size) {
  BYTE descriptor[256] = {};
  DWORD text_bytes = 0;
  if (!ReadString(player, index, descriptor, &text_bytes)) return false;
  const UINT room = size >= 2 ? size - 2 : 0;
  std::memcpy(out, descriptor + 2, text_bytes < room ? text_bytes : room);
  return true;
}

// The object OpenOpaque hands out; it keeps what it is given and nothing reads it.
class COpaque final : public tesk::win32::ComObject<IGannetOpaque, IID_IGannetOpaque> {
 public:
  HRESULT STDMETHODCALLTYPE PutText(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE PutValues(DWORD a, DWORD b) override {
    values_[0] = a;
    values_[1] = b;
    return S_OK;
  }

 private:
  tesk::win32::CountedObject counted_{Counters()};
  DWORD values_[2] = {};
};

class CDevice final : public ISpdDevice, public ISpdDeviceTag {
 public:
  CDevice() {
    LiveObjectAdded(static_cast<ISpdDevice*>(this), "CDevice");
    Discover();
  }
  ~CDevice() { LiveObjectRemoved(static_cast<ISpdDevice*>(this)); }
  CDevice(const CDevice&) = delete;
  CDevice& operator=(const CDevice&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ISpdDevice) {
      *ppv = static_cast<ISpdDevice*>(this);
    } else if (riid == IID_ISpdDeviceTag) {
      *ppv = static_cast<ISpdDeviceTag*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetName(LPWSTR buf, UINT size) override {
    if (!buf || size == 0) return E_INVALIDARG;
    std::memset(buf, 0, size * sizeof(WCHAR));
    CopyName(buf, size);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT sub, UINT kind, void* out, UINT size) override;
  HRESULT STDMETHODCALLTYPE SetProperty(UINT, UINT, UINT, const void*, UINT) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetStorageCount(DWORD* count) override {
    if (!count) return E_INVALIDARG;
    if (!BuildStorageList()) return E_OUTOFMEMORY;
    *count = static_cast<DWORD>(media_.size());
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetStorage(DWORD index, ISpdStorage** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!BuildStorageList()) return E_OUTOFMEMORY;
    if (index >= media_.size()) return E_INVALIDARG;
    return CreateFileSystemStorage(media_[index].c_str(), index, out);
  }

  HRESULT STDMETHODCALLTYPE IsSupported(UINT query, const void* arg) override;
  HRESULT STDMETHODCALLTYPE Reserved9(DWORD_PTR, DWORD_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved10(DWORD_PTR, DWORD_PTR, DWORD_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceControl(ISpdDeviceControl**) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE OpenOpaque(REFIID iid, void** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    COpaque* opaque = new (std::nothrow) COpaque;
    if (!opaque) return E_FAIL;
    return tesk::win32::QueryNewObject(opaque, iid, out);
  }

  HRESULT STDMETHODCALLTYPE GetServiceCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetService(DWORD, IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryService(REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ServiceRequest(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetChangeEvent(HANDLE) override { return E_NOTIMPL; }

  // Shared open: it fails only when the player is gone (or held exclusively).
  HRESULT STDMETHODCALLTYPE PollForChange() override {
    PlayerState& player = Player();
    bool there = false;
    {
      OpenPlayer open(player.device_path, 0);
      there = open.ok();
    }
    player.present = there;
    const bool changed = there != player.previous;
    player.previous = there;
    return changed ? S_OK : S_FALSE;
  }

  // One player at a time: any device object of this driver is the same device.
  HRESULT STDMETHODCALLTYPE IsSameDevice(IUnknown* other) override {
    if (!other) return SPD_E_NOTSAME;
    ISpdDeviceTag* tag = nullptr;
    if (FAILED(other->QueryInterface(IID_ISpdDeviceTag, reinterpret_cast<void**>(&tag))) || !tag)
      return SPD_E_NOTSAME;
    tag->Release();
    return S_OK;
  }

 private:
  // The first player interface with a drive letter wins.
  void Discover() {
    PlayerState& player = Player();
    for (DWORD index = 0; Hoxa_EnumDevices(index, player.device_path, sizeof(player.device_path)); ++index) {
      char letters[32] = {};
      if (!Hoxa_GetLogicalDrives(player.device_path, letters, sizeof(letters))) continue;
      letters[sizeof(letters) - 1] = '\0';
      std::snprintf(drive_root_, sizeof(drive_root_), "%s:", letters);
      player.present = true;
      return;
    }
  }

  // One medium per drive letter: a player with two volumes has "E:" and "F:". The media go
  // in letter order, each letter once, whatever order the device tree gave them in.
  bool BuildStorageList() {
    if (media_built_) return true;
    try {
      std::string letters;
      for (const char* c = drive_root_; *c && *c != ':'; ++c) {
        const char letter = static_cast<char>(*c >= 'a' && *c <= 'z' ? *c - 'a' + 'A' : *c);
        if (letters.find(letter) == std::string::npos) letters += letter;
      }
      std::sort(letters.begin(), letters.end());
      for (char letter : letters) media_.push_back(std::string{letter, ':'});
    } catch (const std::bad_alloc&) {
      media_.clear();
      return false;
    }
    media_built_ = true;
    return true;
  }

  // The name, cut to size - 1 characters, in a buffer already cleared.
  static void CopyName(WCHAR* buf, UINT size) {
    const UINT length = sizeof(kDeviceName) / sizeof(WCHAR) - 1;
    std::memcpy(buf, kDeviceName, (length < size - 1 ? length : size - 1) * sizeof(WCHAR));
  }

  std::atomic<ULONG> refs_{0};
  BYTE last_present_ = 1;
  char drive_root_[MAX_PATH] = {};  // the player's letters and a colon ("E:"), empty without one
  std::vector<std::string> media_;
  bool media_built_ = false;
};

HRESULT CDevice::GetProperty(UINT id, UINT, UINT kind, void* out, UINT size) {
  if (!out) return E_INVALIDARG;
  // The kind each answered property takes, and the bytes its value needs.
  auto expect = [&](UINT wanted, UINT bytes) { return kind == wanted && size >= bytes; };
  auto put_dword = [&](DWORD value) {
    if (!expect(SpdKindDword, sizeof(DWORD))) return SPD_E_WRONGKIND;
    std::memcpy(out, &value, sizeof(value));
    return S_OK;
  };
  auto put_bool = [&](BYTE value) {
    if (!expect(SpdKindBool, 1)) return SPD_E_WRONGKIND;
    *static_cast<BYTE*>(out) = value;
    return S_OK;
  };
  switch (id) {
    case SPD_PROP_NAME: {
      if (!expect(SpdKindString, sizeof(WCHAR))) return SPD_E_WRONGKIND;
      const UINT chars = size / sizeof(WCHAR);
      std::memset(out, 0, chars * sizeof(WCHAR));
      CopyName(static_cast<WCHAR*>(out), chars);
      return S_OK;
    }
    case SPD_PROP_MANUFACTURER: {
      if (kind != SpdKindString) return SPD_E_WRONGKIND;
      std::memset(out, 0, size);
      OpenPlayer player(Player().device_path, HOXA_OPEN_EXCLUSIVE);
      BYTE descriptor[kDeviceDescriptorSize] = {};
      if (!player.ok() || !ReadDeviceDescriptor(player.get(), descriptor) ||
          !ReadWideString(player.get(), descriptor[kManufacturerIndexOffset], static_cast<BYTE*>(out), size))
        return E_FAIL;
      return S_OK;
    }
    case SPD_PROP_VERSION:
      return put_dword(0x01000000);
    case SPD_PROP_VENDOR_ID:
      return put_dword(kVendorId);
    case SPD_PROP_SERIAL: {
      if (size < sizeof(SpdBlob)) return SPD_E_WRONGKIND;
      SpdBlob* blob = static_cast<SpdBlob*>(out);
      BYTE serial[16];
      if (!ReadSerialNumber(serial)) std::memset(serial, ' ', sizeof(serial));
      BYTE* data = static_cast<BYTE*>(CoTaskMemAlloc(sizeof(serial)));
      if (!data) return E_OUTOFMEMORY;
      std::memcpy(data, serial, sizeof(serial));
      blob->pData = data;
      blob->cbData = sizeof(serial);
      return S_OK;
    }
    case SPD_PROP_INSTANCE_GUID: {
      if (!expect(SpdKindGuid, sizeof(GUID))) return SPD_E_WRONGKIND;
      GUID guid{};
      const HRESULT hr = CoCreateGuid(&guid);
      if (FAILED(hr)) return hr;
      std::memcpy(out, &guid, sizeof(guid));
      return S_OK;
    }
    case SPD_PROP_POWER:
      return put_dword(SPD_POWER_ON_EXTERNAL | SPD_POWER_CAN_EXTERNAL);
    case SPD_PROP_ICON:
      if (!expect(SpdKindString, sizeof(WCHAR))) return SPD_E_WRONGKIND;
      *static_cast<WCHAR*>(out) = 0;
      return S_OK;
    case SPD_PROP_DEVICE_TYPE:
      return put_dword(SPD_DEVICE_HAS_STORAGE | SPD_DEVICE_RECORDS | SPD_DEVICE_PLAYS);
    case SPD_PROP_PRESENT: {
      const BYTE present = Player().present ? 1 : 0;
      const HRESULT hr = put_bool(present);
      if (SUCCEEDED(hr)) last_present_ = present;
      return hr;
    }
    case SPD_PROP_LOCAL_LOCK:
    case SPD_PROP_SIGNALS_CHANGE:
      return put_bool(0);
    case SPD_PROP_STATUS: {
      if (size < sizeof(DWORD)) return SPD_E_WRONGKIND;
      const DWORD status = Player().present ? SPD_STATUS_READY : SPD_STATUS_ABSENT;
      std::memcpy(out, &status, sizeof(status));
      return S_OK;
    }
    case SPD_PROP_HAS_SERVICES:
      // Services are not offered; the byte is cleared all the same.
      if (expect(SpdKindBool, 1)) *static_cast<BYTE*>(out) = 0;
      return SPD_E_WRONGKIND;
    default:
      return E_NOTIMPL;
  }
}

HRESULT CDevice::IsSupported(UINT query, const void* arg) {
  if (!arg) return E_INVALIDARG;
  switch (query) {
    case SPD_QUERY_FORMAT: {
      const auto* format = static_cast<const WAVEFORMATEX*>(arg);
      return format->wFormatTag == WAVE_FORMAT_MPEGLAYER3 || format->wFormatTag == SPD_FORMAT_TAG_7FF0
                 ? S_OK
                 : S_FALSE;
    }
    case SPD_QUERY_NUMBER:
      // The number travels in place of the pointer.
      return reinterpret_cast<UINT_PTR>(arg) == 2 ? S_OK : S_FALSE;
    case SPD_QUERY_CONTENT: {
      const BYTE* record = static_cast<const BYTE*>(arg);
      WORD at28 = 0, at30 = 0;
      DWORD at12 = 0;
      std::memcpy(&at28, record + 28, sizeof(at28));
      std::memcpy(&at30, record + 30, sizeof(at30));
      std::memcpy(&at12, record + 12, sizeof(at12));
      constexpr DWORD kBoth = 0x02000000 | 0x00100000;
      return at28 == 2 && at30 == 2 && (at12 & kBoth) == kBoth ? S_OK : S_FALSE;
    }
    case SPD_QUERY_FRAME: {
      const auto* frame = static_cast<const SpdFrame*>(arg);
      if (frame->type != SPD_FRAME_TYPE_TEXT) return S_FALSE;
      for (DWORD known : {SpdFrameId("TIT2"), SpdFrameId("TPE1"), SpdFrameId("TALB"), SpdFrameId("TRCK"),
                          SpdFrameId("TLEN")})
        if (frame->frameId == known) return S_OK;
      return S_FALSE;
    }
    default:
      return S_FALSE;
  }
}

}  // namespace

HRESULT CreateDevice(ISpdDevice** out) {
  *out = nullptr;
  CDevice* device = new (std::nothrow) CDevice;
  if (!device) return E_OUTOFMEMORY;
  device->AddRef();
  const HRESULT hr = device->QueryInterface(IID_ISpdDevice, reinterpret_cast<void**>(out));
  device->Release();
  return hr;
}

bool ReadSerialNumber(BYTE (&serial)[16]) {
  std::memset(serial, 0, sizeof(serial));
  OpenPlayer player(Player().device_path, HOXA_OPEN_EXCLUSIVE);
  if (!player.ok()) return false;
  BYTE descriptor[kDeviceDescriptorSize] = {};
  if (!ReadDeviceDescriptor(player.get(), descriptor)) return false;
  char text[kSerialTextSize] = {};
  if (!ReadNarrowString(player.get(), descriptor[kSerialNumberIndexOffset], text, sizeof(text))) return false;
  // Each byte from two characters, as "%2X" reads them: white space first is skipped, and a
  // pair that gives no number leaves its byte 0.
  for (std::size_t i = 0; i < 8; ++i) {
    const char pair[3] = {text[2 * i], text[2 * i] ? text[2 * i + 1] : '\0', '\0'};
    unsigned value = 0;
    if (std::sscanf(pair, "%2X", &value) == 1) serial[i] = static_cast<BYTE>(value);
  }
  return true;
}

}  // namespace gannet
