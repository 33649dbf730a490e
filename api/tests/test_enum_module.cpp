// A device enumerator for tests. Any class identifier whose HKCR\CLSID\{...}\TestEnum key
// exists is served, configured by that key's values:
//   Devices     REG_SZ  device names separated by commas, delivered in that order
//   FailNext    DWORD   an HRESULT that Next answers instead of delivering
//   FailReset   DWORD   an HRESULT that Reset answers
//   RefuseEnum  DWORD   non-zero: the object does not offer ITeskEnumDevice
// Devices answer GetName with their name and E_NOTIMPL elsewhere.
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <tesk/tesk.h>
#include <tesk/win32/comserver.h>
#include <tesk/win32/regkey.h>
#include <tesk/win32/windows.h>

namespace {

tesk::win32::ServerCounters g_counters;

struct Config {
  std::vector<std::u16string> devices;
  HRESULT fail_next = S_OK;
  HRESULT fail_reset = S_OK;
  bool refuse_enum = false;
};

DWORD ReadDword(HKEY key, const char* name) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    return 0;
  return value;
}

bool ReadConfig(REFCLSID clsid, Config* config) {
  RPC_CSTR text = nullptr;
  if (UuidToStringA(&clsid, &text) != RPC_S_OK) return false;
  const std::string path = "CLSID\\{" + std::string(reinterpret_cast<char*>(text)) + "}\\TestEnum";
  RpcStringFreeA(&text);

  tesk::win32::RegKey key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return false;
  char names[1024] = {};
  DWORD size = sizeof(names) - 1;
  if (RegQueryValueExA(key.Get(), "Devices", nullptr, nullptr, reinterpret_cast<BYTE*>(names), &size) ==
      ERROR_SUCCESS) {
    std::u16string current;
    for (const char* p = names; *p; ++p) {
      if (*p == ',') {
        config->devices.push_back(current);
        current.clear();
      } else {
        current.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
      }
    }
    if (!current.empty()) config->devices.push_back(current);
  }
  config->fail_next = static_cast<HRESULT>(ReadDword(key.Get(), "FailNext"));
  config->fail_reset = static_cast<HRESULT>(ReadDword(key.Get(), "FailReset"));
  config->refuse_enum = ReadDword(key.Get(), "RefuseEnum") != 0;
  return true;
}

class FakeDevice final : public tesk::win32::ComObject<ITeskDevice, IID_ITeskDevice> {
 public:
  explicit FakeDevice(std::u16string name) : name_(std::move(name)) {}
  HRESULT STDMETHODCALLTYPE Reserved(DWORD, DWORD, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetName(LPWSTR name, UINT size) override {
    if (!name || size <= name_.size()) return E_INVALIDARG;
    name_.copy(name, name_.size());
    name[name_.size()] = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetManufacturer(LPWSTR, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVersion(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetType(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSerialNumber(TeskId*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIdentifiers(TeskId*, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetIdentifier(UINT, TeskId*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(DWORD, void*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPowerSource(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStatus(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceIcon(void*, UINT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDeviceControl(ITeskDeviceControl**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Advise(ITeskConnect*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumStorage(ITeskEnumStorage**) override { return E_NOTIMPL; }

 private:
  tesk::win32::CountedObject counted_{g_counters};
  std::u16string name_;
};

// Behaves as a device enumerator should: S_FALSE when fewer than asked, then from the start.
class FakeEnum final : public tesk::win32::ComObject<ITeskEnumDevice, IID_ITeskEnumDevice> {
 public:
  FakeEnum(std::shared_ptr<const Config> config, size_t position)
      : config_(std::move(config)), position_(position) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (config_->refuse_enum && riid == IID_ITeskEnumDevice) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, ITeskDevice** devices, ULONG* fetched) override {
    if (!devices || !fetched) return E_INVALIDARG;
    *fetched = 0;
    if (FAILED(config_->fail_next)) return config_->fail_next;
    while (*fetched < celt && position_ < config_->devices.size()) {
      auto* device = new (std::nothrow) FakeDevice(config_->devices[position_]);
      if (!device) return E_OUTOFMEMORY;
      device->AddRef();
      devices[(*fetched)++] = device;
      ++position_;
    }
    if (*fetched == celt) return S_OK;
    position_ = 0;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    position_ = std::min(config_->devices.size(), position_ + celt);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    if (FAILED(config_->fail_reset)) return config_->fail_reset;
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(ITeskEnumDevice** out) override {
    if (!out) return E_INVALIDARG;
    return tesk::win32::QueryNewObject(new (std::nothrow) FakeEnum(config_, position_), IID_ITeskEnumDevice,
                                       reinterpret_cast<void**>(out));
  }

 private:
  tesk::win32::CountedObject counted_{g_counters};
  std::shared_ptr<const Config> config_;
  size_t position_;
};

class Factory final : public tesk::win32::ComObject<IClassFactory, IID_IClassFactory> {
 public:
  explicit Factory(std::shared_ptr<const Config> config) : config_(std::move(config)) {}
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return tesk::win32::QueryNewObject(new (std::nothrow) FakeEnum(config_, 0), riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    g_counters.Lock(lock != FALSE);
    return S_OK;
  }

 private:
  tesk::win32::CountedObject counted_{g_counters};
  std::shared_ptr<const Config> config_;
};

}  // namespace

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto config = std::make_shared<Config>();
  if (!ReadConfig(clsid, config.get())) return CLASS_E_CLASSNOTAVAILABLE;
  return tesk::win32::QueryNewObject(new (std::nothrow) Factory(std::move(config)), riid, ppv);
}

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return g_counters.CanUnloadNow();
}

// Objects of this module still alive, for the tests' leak checks.
extern "C" TESK_EXPORT long TestEnumLiveObjects() {
  return g_counters.Objects();
}
