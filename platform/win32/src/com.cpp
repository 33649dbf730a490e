// The COM runtime: per-thread initialisation, in-process activation and the task allocator.
// Nothing is marshalled, so an apartment is no more than a count and a model per thread.

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <tesk/win32/objbase.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winreg.h>

namespace {

struct Apartment {
  int count = 0;
  bool multithreaded = false;
};
thread_local Apartment t_apartment;

constexpr DWORD kKnownCoInitFlags =
    COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;

// A server module COM loaded. COM holds exactly one reference to it, dropped when
// DllCanUnloadNow agrees.
struct ServerModule {
  HMODULE module = nullptr;
  LPFNGETCLASSOBJECT get_class_object = nullptr;
  LPFNCANUNLOADNOW can_unload_now = nullptr;  // without it the module stays for good
  int activations = 0;                        // DllGetClassObject calls running right now
};

struct ServerTable {
  // Recursive: a server's entry point or factory may activate other classes.
  std::recursive_mutex mutex;
  std::map<HMODULE, ServerModule> modules;
  std::map<std::string, HMODULE> by_path;  // as registered; several paths may name one module
};

// Never destroyed: modules still loaded at exit run their detach after static destructors.
ServerTable& Servers() {
  static auto* table = new ServerTable;
  return *table;
}

std::string BracedGuid(REFGUID guid) {
  OLECHAR wide[39];
  StringFromGUID2(guid, wide, 39);
  std::string text;
  for (int i = 0; i < 38; ++i) text += static_cast<char>(wide[i]);
  return text;
}

// The default value of HKCR\CLSID\{clsid}\InprocServer32.
bool InprocServerPath(REFCLSID clsid, std::string* path) {
  const std::string subkey = "CLSID\\" + BracedGuid(clsid) + "\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  std::string data(MAX_PATH, '\0');
  LONG status;
  DWORD type = REG_NONE;
  for (;;) {
    DWORD size = static_cast<DWORD>(data.size());
    status = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (status == ERROR_MORE_DATA) {
      data.resize(size + 1);
      continue;
    }
    if (status == ERROR_SUCCESS) data.resize(size);
    break;
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  while (!data.empty() && data.back() == '\0') data.pop_back();
  if (data.empty()) return false;
  *path = std::move(data);
  return true;
}

// Finds or loads the server at path and marks an activation as running in it, so that
// CoFreeUnusedLibraries leaves it alone until FinishActivation.
HRESULT StartActivation(const std::string& path, ServerModule** server) {
  ServerTable& table = Servers();
  std::lock_guard lock(table.mutex);
  auto known = table.by_path.find(path);
  if (known == table.by_path.end()) {
    const HMODULE module = LoadLibraryA(path.c_str());
    if (!module) {
      const DWORD error = GetLastError();
      return error ? HRESULT_FROM_WIN32(error) : CO_E_DLLNOTFOUND;
    }
    auto existing = table.modules.find(module);
    if (existing != table.modules.end()) {
      // Another registered path for a module COM already holds: keep one reference.
      FreeLibrary(module);
    } else {
      const auto get_class_object =
          tesk::win32::ProcAs<LPFNGETCLASSOBJECT>(GetProcAddress(module, "DllGetClassObject"));
      if (!get_class_object) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
      }
      ServerModule entry;
      entry.module = module;
      entry.get_class_object = get_class_object;
      entry.can_unload_now = tesk::win32::ProcAs<LPFNCANUNLOADNOW>(GetProcAddress(module, "DllCanUnloadNow"));
      table.modules.emplace(module, entry);
    }
    known = table.by_path.emplace(path, module).first;
  }
  ServerModule& entry = table.modules.at(known->second);
  ++entry.activations;
  *server = &entry;
  return S_OK;
}

void FinishActivation(ServerModule* server) {
  ServerTable& table = Servers();
  std::lock_guard lock(table.mutex);
  --server->activations;
}

void FreeUnusedServers() {
  ServerTable& table = Servers();
  std::vector<HMODULE> unloadable;
  {
    std::lock_guard lock(table.mutex);
    for (auto it = table.modules.begin(); it != table.modules.end();) {
      ServerModule& entry = it->second;
      if (entry.activations > 0 || !entry.can_unload_now || entry.can_unload_now() != S_OK) {
        ++it;
        continue;
      }
      for (auto path = table.by_path.begin(); path != table.by_path.end();) {
        if (path->second == entry.module)
          path = table.by_path.erase(path);
        else
          ++path;
      }
      unloadable.push_back(entry.module);
      it = table.modules.erase(it);
    }
  }
  // Outside the table's lock: the modules' detach code may call COM again.
  for (HMODULE module : unloadable) FreeLibrary(module);
}

}  // namespace

extern "C" {

HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved || (dwCoInit & ~kKnownCoInitFlags) != 0) return E_INVALIDARG;
  const bool multithreaded = (dwCoInit & COINIT_APARTMENTTHREADED) == 0;
  Apartment& apartment = t_apartment;
  if (apartment.count == 0) {
    apartment.multithreaded = multithreaded;
    apartment.count = 1;
    return S_OK;
  }
  if (apartment.multithreaded != multithreaded) return RPC_E_CHANGED_MODE;
  ++apartment.count;
  return S_FALSE;
}

void WINAPI CoUninitialize() {
  if (t_apartment.count > 0) --t_apartment.count;
}

HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID /*pvReserved*/, REFIID riid,
                                LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (t_apartment.count == 0) return CO_E_NOTINITIALIZED;
  // Only in-process servers exist here.
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;

  std::string path;
  if (!InprocServerPath(rclsid, &path)) return REGDB_E_CLASSNOTREG;
  ServerModule* server = nullptr;
  HRESULT hr = StartActivation(path, &server);
  if (FAILED(hr)) return hr;
  hr = server->get_class_object(rclsid, riid, ppv);
  FinishActivation(server);
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr =
      CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  // The factory counts as one of the server's objects, so the module stays while it runs.
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

void WINAPI CoFreeUnusedLibraries() {
  FreeUnusedServers();
}

void WINAPI CoFreeUnusedLibrariesEx(DWORD /*dwUnloadDelay*/, DWORD /*dwReserved*/) {
  FreeUnusedServers();
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
  return std::malloc(cb);
}

LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (pv && cb == 0) {
    std::free(pv);
    return nullptr;
  }
  return std::realloc(pv, cb);
}

void WINAPI CoTaskMemFree(LPVOID pv) {
  std::free(pv);
}

}  // extern "C"
