// The COM runtime: apartments, in-process activation through the registry, unloading
// servers, the task allocator.

#include <cctype>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/win32/comptr.h>
#include <tesk/win32/windows.h>

#include "module_fixture.h"

namespace {

using tesk::testing::ModuleTest;
using tesk::win32::ComPtr;
using Lines = std::vector<std::string>;

void* const kMarker = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0xDEADBEEF));

std::string ClassKey(REFCLSID clsid) {
  OLECHAR wide[39];
  StringFromGUID2(clsid, wide, 39);
  std::string key = "CLSID\\";
  for (int i = 0; i < 38; ++i) key += static_cast<char>(wide[i]);
  return key;
}

// Runs fn on a thread of its own, which starts with COM uninitialised.
template <class Fn>
void OnNewThread(Fn fn) {
  std::thread(fn).join();
}

class ComTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    CallServerExport("DllRegisterServer");
    ClearTrace();
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    CoUninitialize();
    ModuleTest::TearDown();
  }

  // Loads the server for one self-registration call, as regsvr32 would.
  static void CallServerExport(const char* name) {
    const HMODULE module = LoadLibraryA(ServerPath().c_str());
    ASSERT_NE(nullptr, module) << GetLastError();
    const auto fn = tesk::win32::ProcAs<LPFNREGISTERSERVER>(GetProcAddress(module, name));
    ASSERT_NE(nullptr, fn);
    EXPECT_EQ(S_OK, fn());
    FreeLibrary(module);
  }

  // Registers path as the class's in-process server; a null path makes the key alone.
  static void RegisterServerPath(const std::string& key, const char* path) {
    HKEY handle = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CLASSES_ROOT, (key + "\\InprocServer32").c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &handle, nullptr));
    if (path) {
      EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                                              static_cast<DWORD>(std::strlen(path) + 1)));
    }
    RegCloseKey(handle);
  }
  static void UnregisterClassKey(const std::string& key) {
    RegDeleteKeyA(HKEY_CLASSES_ROOT, (key + "\\InprocServer32").c_str());
    RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());
  }

  static ComPtr<ITeskTestObject> CreateTestObject() {
    ComPtr<ITeskTestObject> object;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_TeskTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_ITeskTestObject,
                                     object.PutVoid()));
    return object;
  }
  static ComPtr<IClassFactory> GetFactory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, CoGetClassObject(CLSID_TeskTestObject, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     factory.PutVoid()));
    return factory;
  }
  static bool ServerLoaded() { return GetModuleHandleA(ServerPath().c_str()) != nullptr; }
};

TEST_F(ComTest, CreatesRegisteredClassesFromOneLoadOfTheServer) {
  ComPtr<ITeskTestObject> first = CreateTestObject();
  ComPtr<ITeskTestObject> second = CreateTestObject();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(GetModuleHandleA(ServerPath().c_str()), first->EntryModule());
  EXPECT_EQ(Lines{TESK_TRACE_ATTACH_LOAD}, Trace());

  first = nullptr;
  second = nullptr;
  // COM held one reference: dropping it unloads the server.
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ServerLoaded());
  EXPECT_EQ((Lines{TESK_TRACE_ATTACH_LOAD, TESK_TRACE_DETACH_FREE}), Trace());
}

TEST_F(ComTest, FreeUnusedLibrariesWaitsForDllCanUnloadNow) {
  ComPtr<ITeskTestObject> object = CreateTestObject();
  ASSERT_TRUE(object);
  CoFreeUnusedLibraries();
  EXPECT_TRUE(ServerLoaded()) << "an object is alive";

  object = nullptr;
  ASSERT_EQ(S_OK, GetFactory()->LockServer(TRUE));
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_TRUE(ServerLoaded()) << "the server is locked";
  EXPECT_EQ(Lines{TESK_TRACE_ATTACH_LOAD}, Trace());

  ASSERT_EQ(S_OK, GetFactory()->LockServer(FALSE));
  CoFreeUnusedLibraries();
  EXPECT_FALSE(ServerLoaded());
  EXPECT_EQ((Lines{TESK_TRACE_ATTACH_LOAD, TESK_TRACE_DETACH_FREE}), Trace());
}

TEST_F(ComTest, UnloadingDropsOnlyComsOwnReference) {
  const HMODULE mine = LoadLibraryA(ServerPath().c_str());
  ASSERT_NE(nullptr, mine);
  ASSERT_TRUE(CreateTestObject());
  CoFreeUnusedLibraries();
  EXPECT_TRUE(ServerLoaded());
  EXPECT_EQ(Lines{TESK_TRACE_ATTACH_LOAD}, Trace());

  ASSERT_TRUE(FreeLibrary(mine));
  EXPECT_FALSE(ServerLoaded());
  EXPECT_EQ((Lines{TESK_TRACE_ATTACH_LOAD, TESK_TRACE_DETACH_FREE}), Trace());
}

TEST_F(ComTest, ClassKeyNamesAreFoundInAnyCase) {
  CallServerExport("DllUnregisterServer");
  std::string key = ClassKey(CLSID_TeskTestObject);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  RegisterServerPath(key, ServerPath().c_str());
  EXPECT_TRUE(CreateTestObject());
}

TEST_F(ComTest, ActivationFailuresAreReportedAndLeaveNoModuleLoaded) {
  const std::string text_file = prefix() + "/libnotamodule.so";
  std::ofstream(text_file) << "this is not a module\n";
  const std::string absent = prefix() + "/libabsent.so";
  const std::string other_key = ClassKey(CLSID_TeskTestUnknown);
  const std::string nofactory = NoFactoryPath();
  const std::string server = ServerPath();

  struct Case {
    const char* what;
    REFCLSID clsid;
    bool register_other;  // register server_path for CLSID_TeskTestUnknown first
    const char* server_path;
    DWORD context;
    HRESULT expected;
  } cases[] = {
      {"unregistered class", CLSID_TeskTestUnknown, false, nullptr, CLSCTX_INPROC_SERVER,
       REGDB_E_CLASSNOTREG},
      {"key without a server path", CLSID_TeskTestUnknown, true, nullptr, CLSCTX_INPROC_SERVER,
       REGDB_E_CLASSNOTREG},
      {"missing module", CLSID_TeskTestUnknown, true, absent.c_str(), CLSCTX_INPROC_SERVER,
       static_cast<HRESULT>(0x8007007E)},
      {"not a module", CLSID_TeskTestUnknown, true, text_file.c_str(), CLSCTX_INPROC_SERVER,
       HRESULT_FROM_WIN32(ERROR_BAD_FORMAT)},
      {"module without DllGetClassObject", CLSID_TeskTestUnknown, true, nofactory.c_str(),
       CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL},
      {"server without that class", CLSID_TeskTestUnknown, true, server.c_str(), CLSCTX_INPROC_SERVER,
       CLASS_E_CLASSNOTAVAILABLE},
      {"no in-process context", CLSID_TeskTestObject, false, nullptr,
       CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_HANDLER, REGDB_E_CLASSNOTREG},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.register_other) RegisterServerPath(other_key, c.server_path);
    void* object = kMarker;
    EXPECT_EQ(c.expected, CoCreateInstance(c.clsid, nullptr, c.context, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    object = kMarker;
    EXPECT_EQ(c.expected, CoGetClassObject(c.clsid, c.context, nullptr, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    UnregisterClassKey(other_key);
    CoFreeUnusedLibraries();
    EXPECT_EQ(nullptr, GetModuleHandleA(nofactory.c_str()));
    EXPECT_FALSE(ServerLoaded());
  }
  EXPECT_EQ(E_INVALIDARG,
            CoCreateInstance(CLSID_TeskTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr));
  EXPECT_EQ(E_INVALIDARG, CoGetClassObject(CLSID_TeskTestObject, CLSCTX_INPROC_SERVER, nullptr,
                                           IID_IClassFactory, nullptr));
}

TEST_F(ComTest, ThreadsWithoutCoInitializeCannotActivate) {
  OnNewThread([] {
    void* object = kMarker;
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              CoCreateInstance(CLSID_TeskTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    // Initialised and uninitialised again is the same.
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
    object = kMarker;
    EXPECT_EQ(CO_E_NOTINITIALIZED, CoGetClassObject(CLSID_TeskTestObject, CLSCTX_INPROC_SERVER, nullptr,
                                                    IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
  });
  EXPECT_FALSE(ServerLoaded());
}

TEST(ComApartment, InitialisationIsCountedPerThreadWithOneModel) {
  OnNewThread([] {
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitialize(nullptr));

    // Another thread has an apartment of its own.
    OnNewThread([] {
      EXPECT_EQ(S_OK, CoInitialize(nullptr));
      CoUninitialize();
    });

    CoUninitialize();
    CoUninitialize();
    CoUninitialize();  // one too many: harmless
    EXPECT_EQ(S_OK, CoInitialize(nullptr)) << "the model is chosen again after the last uninitialise";
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
    CoUninitialize();
    CoUninitialize();
  });
}

TEST(ComApartment, InitialisationRefusesBadArguments) {
  OnNewThread([] {
    int reserved = 0;
    EXPECT_EQ(E_INVALIDARG, CoInitializeEx(&reserved, COINIT_MULTITHREADED));
    EXPECT_EQ(E_INVALIDARG, CoInitializeEx(nullptr, 0x100));
    // Neither call initialised the thread.
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    CoUninitialize();
  });
}

TEST_F(ComTest, ServerLeftLoadedDetachesAtProcessExit) {
  const auto child = tesk::testing::RunChild("win32_module_child", {"create"});
  EXPECT_EQ(0, child.exit_code) << child.output;
  EXPECT_EQ((Lines{TESK_TRACE_ATTACH_LOAD, TESK_TRACE_DETACH_EXIT}), Trace());
}

TEST_F(ComTest, ConcurrentActivationAndUnloadingKeepTheServerConsistent) {
  constexpr int kThreads = 3;
  constexpr int kRounds = 40;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads + 1, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      if (CoInitializeEx(nullptr, COINIT_MULTITHREADED) != S_OK) ++failures[t];
      for (int i = 0; i < kRounds; ++i) {
        IUnknown* object = nullptr;
        if (CoCreateInstance(CLSID_TeskTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)) != S_OK) {
          ++failures[t];
          continue;
        }
        object->Release();
      }
      CoUninitialize();
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) CoFreeUnusedLibraries();
  });
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;

  CoFreeUnusedLibraries();
  EXPECT_FALSE(ServerLoaded());
  const Lines trace = Trace();
  ASSERT_FALSE(trace.empty());
  ASSERT_EQ(0u, trace.size() % 2);
  for (std::size_t i = 0; i < trace.size(); ++i)
    EXPECT_EQ(i % 2 == 0 ? TESK_TRACE_ATTACH_LOAD : TESK_TRACE_DETACH_FREE, trace[i]) << "line " << i;
}

TEST(ComTaskMemory, AllocatesReallocatesAndFrees) {
  auto* block = static_cast<char*>(CoTaskMemAlloc(16));
  ASSERT_NE(nullptr, block);
  std::memcpy(block, "0123456789abcde", 16);
  block = static_cast<char*>(CoTaskMemRealloc(block, 4096));
  ASSERT_NE(nullptr, block);
  EXPECT_STREQ("0123456789abcde", block);
  EXPECT_EQ(nullptr, CoTaskMemRealloc(block, 0)) << "a zero size frees the block";

  void* fresh = CoTaskMemRealloc(nullptr, 8);
  EXPECT_NE(nullptr, fresh);
  CoTaskMemFree(fresh);
  CoTaskMemFree(nullptr);
}

}  // namespace
