// A plug-in driver for tests. Any class identifier whose HKCR\CLSID\{...}\TestDriver key
// exists is served, configured by that key's values, read when a driver object is made:
//   Devices          REG_SZ     device names separated by commas, in the driver's order
//   Manufacturer     REG_SZ     every device's maker
//   Serial           REG_BINARY every device's serial number bytes
//   VendorId         DWORD      the vendor that goes with the serial number
//   Status, Version, Type, Power   DWORD   the devices' status, version, type and power words
//   LocalLock        DWORD      non-zero: the driver asks for a process-local lock
//   DeviceLocalLocks DWORD      bit i set: device i asks for a process-local lock
//   FailDeviceAt     DWORD      GetDevice for this index answers FailDeviceCode
//   FailDeviceCode   DWORD      an HRESULT (E_FAIL when not given)
//   FailDeviceCount  DWORD      an HRESULT that GetDeviceCount answers
// A property not configured, and every method not listed, answers E_NOTIMPL.
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <tesk/spd.h>
#include <tesk/win32/comserver.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/windows.h>

namespace {

tesk::win32::ServerCounters g_counters;

struct Config {
  std::vector<std::u16string> devices;
  std::optional<std::u16string> manufacturer;
  std::optional<std::vector<BYTE>> serial;
  std::optional<DWORD> vendor_id, status, version, type, power;
  std::optional<DWORD> local_lock;
  std::optional<DWORD> device_local_locks;
  std::optional<DWORD> fail_device_at;
  HRESULT fail_device_code = E_FAIL;
  HRESULT fail_device_count = S_OK;
};

std::optional<DWORD> ReadDword(HKEY key, const char* name) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return std::nullopt;
  return value;
}

std::optional<std::vector<BYTE>> ReadBytes(HKEY key, const char* name) {
  std::vector<BYTE> data(1024);
  DWORD size = static_cast<DWORD>(data.size());
  if (RegQueryValueExA(key, name, nullptr, nullptr, data.data(), &size) != ERROR_SUCCESS) return std::nullopt;
  data.resize(size);
  return data;
}

std::u16string Widen(const std::string& narrow) {
  std::u16string wide;
  for (char c : narrow) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::optional<std::string> ReadText(HKEY key, const char* name) {
  auto bytes = ReadBytes(key, name);
  if (!bytes) return std::nullopt;
  std::string text(bytes->begin(), bytes->end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

bool ReadConfig(REFCLSID clsid, Config* config) {
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&clsid, &text) != RPC_S_OK) return false;
  const std::string path = "CLSID\\{" + std::string(reinterpret_cast<char*>(text)) + "}\\TestDriver";
  RpcStringFreeA(&text);

  tesk::win32::RegKey key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return false;
  if (auto names = ReadText(key.Get(), "Devices")) {
    size_t start = 0;
    while (start <= names->size() && !names->empty()) {
      const size_t comma = names->find(',', start);
      const size_t end = comma == std::string::npos ? names->size() : comma;
      config->devices.push_back(Widen(names->substr(start, end - start)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  if (auto maker = ReadText(key.Get(), "Manufacturer")) config->manufacturer = Widen(*maker);
  config->serial = ReadBytes(key.Get(), "Serial");
  config->vendor_id = ReadDword(key.Get(), "VendorId");
  config->status = ReadDword(key.Get(), "Status");
  config->version = ReadDword(key.Get(), "Version");
  config->type = ReadDword(key.Get(), "Type");
  config->power = ReadDword(key.Get(), "Power");
  config->local_lock = ReadDword(key.Get(), "LocalLock");
  config->device_local_locks = ReadDword(key.Get(), "DeviceLocalLocks");
  config->fail_device_at = ReadDword(key.Get(), "FailDeviceAt");
  if (auto code = ReadDword(key.Get(), "FailDeviceCode"))
    config->fail_device_code = static_cast<HRESULT>(*code);
  config->fail_device_count = static_cast<HRESULT>(ReadDword(key.Get(), "FailDeviceCount").value_or(0));
  return true;
}

HRESULT CopyText(const std::u16string& text, LPWSTR buf, UINT size) {
  if (!buf || size <= text.size()) return E_INVALIDARG;
  text.copy(buf, text.size());
  buf[text.size()] = 0;
  return S_OK;
}

HRESULT PutDword(const std::optional<DWORD>& value, UINT kind, void* out, UINT size) {
  if (!value) return E_NOTIMPL;
  if (kind != SpdKindDword || size != sizeof(DWORD) || !out) return SPD_E_WRONGKIND;
  std::memcpy(out, &*value, sizeof(DWORD));
  return S_OK;
}

HRESULT PutBool(const std::optional<bool>& value, UINT kind, void* out, UINT size) {
  if (!value) return E_NOTIMPL;
  if (kind != SpdKindBool || size != 1 || !out) return SPD_E_WRONGKIND;
  *static_cast<BYTE*>(out) = *value ? 1 : 0;
  return S_OK;
}

class TestDevice final : public tesk::win32::ComObject<ISpdDevice, IID_ISpdDevice> {
 public:
  TestDevice(std::shared_ptr<const Config> config, DWORD index) : config_(std::move(config)), index_(index) {}

  HRESULT STDMETHODCALLTYPE GetName(LPWSTR buf, UINT size) override {
    return CopyText(config_->devices[index_], buf, size);
  }
  HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT, UINT kind, void* out, UINT size) override {
    switch (id) {
      case SPD_PROP_MANUFACTURER:
        if (!config_->manufacturer) return E_NOTIMPL;
        if (kind != SpdKindString) return SPD_E_WRONGKIND;
        return CopyText(*config_->manufacturer, static_cast<LPWSTR>(out), size);
      case SPD_PROP_SERIAL: {
        if (!config_->serial) return E_NOTIMPL;
        if (kind != SpdKindBlob || size < sizeof(SpdBlob) || !out) return SPD_E_WRONGKIND;
        auto* blob = static_cast<SpdBlob*>(out);
        const auto& bytes = *config_->serial;
        blob->pData = static_cast<BYTE*>(CoTaskMemAlloc(bytes.empty() ? 1 : bytes.size()));
        if (!blob->pData) return E_OUTOFMEMORY;
        if (!bytes.empty()) std::memcpy(blob->pData, bytes.data(), bytes.size());
        blob->cbData = static_cast<DWORD>(bytes.size());
        return S_OK;
      }
      case SPD_PROP_VENDOR_ID:
        return PutDword(config_->vendor_id, kind, out, size);
      case SPD_PROP_STATUS:
        return PutDword(config_->status, kind, out, size);
      case SPD_PROP_VERSION:
        return PutDword(config_->version, kind, out, size);
      case SPD_PROP_DEVICE_TYPE:
        return PutDword(config_->type, kind, out, size);
      case SPD_PROP_POWER:
        return PutDword(config_->power, kind, out, size);
      case SPD_PROP_LOCAL_LOCK:
        if (!config_->device_local_locks) return E_NOTIMPL;
        return PutBool(index_ < 32 && ((*config_->device_local_locks >> index_) & 1) != 0, kind, out, size);
      default:
        return E_NOTIMPL;
    }
  }
  HRESULT STDMETHODCALLTYPE SetProperty(UINT, UINT, UINT, const void*, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStorageCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStorage(DWORD, ISpdStorage**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsSupported(UINT, const void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved9(DWORD_PTR, DWORD_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved10(DWORD_PTR, DWORD_PTR, DWORD_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceControl(ISpdDeviceControl**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenOpaque(REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetServiceCount(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetService(DWORD, IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryService(REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ServiceRequest(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetChangeEvent(HANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE PollForChange() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsSameDevice(IUnknown*) override { return E_NOTIMPL; }

 private:
  tesk::win32::CountedObject counted_{g_counters};
  std::shared_ptr<const Config> config_;
  DWORD index_;
};

class TestDriver final : public tesk::win32::ComObject<ISpdDriver, IID_ISpdDriver> {
 public:
  explicit TestDriver(std::shared_ptr<const Config> config) : config_(std::move(config)) {}

  HRESULT STDMETHODCALLTYPE GetName(LPWSTR, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetProperty(UINT id, UINT, UINT kind, void* out, UINT size) override {
    if (id != SPD_PROP_LOCAL_LOCK || !config_->local_lock) return E_NOTIMPL;
    return PutBool(*config_->local_lock != 0, kind, out, size);
  }
  HRESULT STDMETHODCALLTYPE SetProperty(UINT, UINT, UINT, const void*, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceCount(DWORD* count) override {
    if (!count) return E_INVALIDARG;
    if (FAILED(config_->fail_device_count)) return config_->fail_device_count;
    *count = static_cast<DWORD>(config_->devices.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevice(DWORD index, ISpdDevice** out) override {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (config_->fail_device_at && *config_->fail_device_at == index) return config_->fail_device_code;
    if (index >= config_->devices.size()) return E_INVALIDARG;
    return tesk::win32::QueryNewObject(new (std::nothrow) TestDevice(config_, index), IID_ISpdDevice,
                                       reinterpret_cast<void**>(out));
  }

 private:
  tesk::win32::CountedObject counted_{g_counters};
  std::shared_ptr<const Config> config_;
};

class Factory final : public tesk::win32::ComObject<IClassFactory, IID_IClassFactory> {
 public:
  explicit Factory(const CLSID& clsid) : clsid_(clsid) {}
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto config = std::make_shared<Config>();
    if (!ReadConfig(clsid_, config.get())) return E_FAIL;
    return tesk::win32::QueryNewObject(new (std::nothrow) TestDriver(std::move(config)), riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    g_counters.Lock(lock != FALSE);
    return S_OK;
  }

 private:
  tesk::win32::CountedObject counted_{g_counters};
  CLSID clsid_;
};

}  // namespace

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  Config probe;
  if (!ReadConfig(clsid, &probe)) return CLASS_E_CLASSNOTAVAILABLE;
  return tesk::win32::QueryNewObject(new (std::nothrow) Factory(clsid), riid, ppv);
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_counters.CanUnloadNow();
}

// Objects of this module still alive, for the tests' leak checks.
extern "C" TESK_EXPORT long TestDriverLiveObjects() {
  return g_counters.Objects();
}
