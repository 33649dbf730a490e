// Modules: loading, handles, exports, file names and the entry point's attach and detach.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/win32/windows.h>

#include "module_fixture.h"

namespace {

using tesk::testing::ModuleTest;
using Lines = std::vector<std::string>;

using ServerModuleFn = HMODULE (*)();

std::string FileName(HMODULE module) {
  char path[4096];
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

TEST_F(ModuleTest, HandlesAgreeAndEntryPointRunsOncePerLoad) {
  const HMODULE full = LoadLibraryA(ServerPath().c_str());
  ASSERT_NE(nullptr, full) << GetLastError();
  const auto entry_module = tesk::win32::ProcAs<ServerModuleFn>(GetProcAddress(full, "TeskTestServerModule"));
  ASSERT_NE(nullptr, entry_module);
  EXPECT_EQ(full, entry_module());
  EXPECT_EQ(full, GetModuleHandleA(ServerPath().c_str()));
  EXPECT_EQ(full, GetModuleHandleA("libwin32_testserver.so"));
  EXPECT_EQ(ServerPath(), FileName(full));

  // A bare name is found beside the stand-in's own library; the module is not loaded again.
  const HMODULE bare = LoadLibraryA("libwin32_testserver.so");
  EXPECT_EQ(full, bare);
  EXPECT_EQ(Lines{TESK_TRACE_ATTACH_LOAD}, Trace());

  ASSERT_TRUE(FreeLibrary(bare));
  EXPECT_EQ(full, GetModuleHandleA("libwin32_testserver.so"));
  EXPECT_EQ(Lines{TESK_TRACE_ATTACH_LOAD}, Trace());

  ASSERT_TRUE(FreeLibrary(full));
  EXPECT_EQ((Lines{TESK_TRACE_ATTACH_LOAD, TESK_TRACE_DETACH_FREE}), Trace());
  SetLastError(0);
  EXPECT_EQ(nullptr, GetModuleHandleA("libwin32_testserver.so"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

TEST_F(ModuleTest, LoadFailuresSetTheLoaderError) {
  const std::string text_file = prefix() + "/libnotamodule.so";
  std::ofstream(text_file) << "this is not a module\n";
  struct Case {
    const char* what;
    std::string name;
    DWORD error;
  } cases[] = {
      {"missing path", prefix() + "/libabsent.so", ERROR_MOD_NOT_FOUND},
      {"missing bare name", "libwin32_absent.so", ERROR_MOD_NOT_FOUND},
      {"empty name", "", ERROR_MOD_NOT_FOUND},
      {"text file", text_file, ERROR_BAD_FORMAT},
      {"program", tesk::testing::BinDir() + "/win32_module_child", ERROR_BAD_FORMAT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(nullptr, LoadLibraryA(c.name.c_str()));
    EXPECT_EQ(c.error, GetLastError());
  }
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(nullptr, LoadLibraryA(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(ModuleTest, RefusedAttachFailsTheLoadAndUnloads) {
  setenv(TESK_TEST_REFUSE_ATTACH_ENV, "1", 1);
  SetLastError(0xDEADBEEF);
  EXPECT_EQ(nullptr, LoadLibraryA(ServerPath().c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DLL_INIT_FAILED), GetLastError());
  EXPECT_EQ(nullptr, GetModuleHandleA(ServerPath().c_str()));
  EXPECT_EQ((Lines{TESK_TRACE_ATTACH_LOAD, TESK_TRACE_DETACH_FREE}), Trace());

  // Nothing of the refusal stays behind.
  unsetenv(TESK_TEST_REFUSE_ATTACH_ENV);
  const HMODULE module = LoadLibraryA(ServerPath().c_str());
  ASSERT_NE(nullptr, module) << GetLastError();
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModuleTest, GetProcAddressAnswersOnlyTheModulesOwnExports) {
  const HMODULE module = LoadLibraryA(ServerPath().c_str());
  ASSERT_NE(nullptr, module);
  EXPECT_NE(nullptr, GetProcAddress(module, "DllGetClassObject"));
  struct Case {
    const char* what;
    LPCSTR name;
  } cases[] = {
      {"unknown name", "NoSuchExport"},
      {"a dependency's export", "CoCreateInstance"},
      {"an ordinal", reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(1))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(nullptr, GetProcAddress(module, c.name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
  }
  ASSERT_TRUE(FreeLibrary(module));
}

// Libraries loaded with the program were never opened by name; their exports are found all
// the same.
TEST_F(ModuleTest, GetProcAddressOnALibraryLoadedWithTheProgram) {
  const HMODULE platform = GetModuleHandleA("libteskwin32.so");
  ASSERT_NE(nullptr, platform);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(platform, "LoadLibraryA")),
            reinterpret_cast<void*>(&LoadLibraryA));
}

TEST_F(ModuleTest, CallsWithHandlesThatAreNoModuleFailCleanly) {
  const HMODULE module = LoadLibraryA(ServerPath().c_str());
  ASSERT_NE(nullptr, module);
  ASSERT_TRUE(FreeLibrary(module));
  int local = 0;
  const HMODULE bogus = reinterpret_cast<HMODULE>(&local);
  for (HMODULE handle : {module, bogus}) {
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(FreeLibrary(handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(nullptr, GetProcAddress(handle, "DllGetClassObject"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
    char path[64];
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(0u, GetModuleFileNameA(handle, path, sizeof path));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
  }
  // The program and the libraries it came with cannot be freed; FreeLibrary leaves them.
  EXPECT_TRUE(FreeLibrary(GetModuleHandleA(nullptr)));
  EXPECT_TRUE(FreeLibrary(GetModuleHandleA("libteskwin32.so")));
  EXPECT_NE(nullptr, GetModuleHandleA("libteskwin32.so"));
}

TEST_F(ModuleTest, GetModuleFileNameNamesTheProgramAndTruncatesToTheBuffer) {
  const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(program, FileName(nullptr));
  EXPECT_EQ(program, FileName(GetModuleHandleA(nullptr)));

  const DWORD length = static_cast<DWORD>(program.size());
  struct Case {
    DWORD size;
    DWORD result;
    std::string text;
    DWORD error;  // 0: last error untouched
  } cases[] = {
      {length + 1, length, program, 0},
      {length, length, program.substr(0, length - 1), ERROR_INSUFFICIENT_BUFFER},
      {5, 5, program.substr(0, 4), ERROR_INSUFFICIENT_BUFFER},
      {1, 1, "", ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<char> buffer(c.size + 8, '#');
    SetLastError(0);
    EXPECT_EQ(c.result, GetModuleFileNameA(nullptr, buffer.data(), c.size));
    EXPECT_EQ(c.text, std::string(buffer.data()));
    EXPECT_EQ('#', buffer[c.size]);
    EXPECT_EQ(c.error, GetLastError());
  }
  char untouched = '#';
  SetLastError(0);
  EXPECT_EQ(0u, GetModuleFileNameA(nullptr, &untouched, 0));
  EXPECT_EQ('#', untouched);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST_F(ModuleTest, DetachTellsProcessExitFromFreeLibrary) {
  struct Case {
    std::string program;
    std::vector<std::string> args;
    Lines trace;
  } cases[] = {
      {"win32_module_child", {"load", ServerPath()}, {TESK_TRACE_ATTACH_LOAD, TESK_TRACE_DETACH_EXIT}},
      {"win32_module_child", {"load-free", ServerPath()}, {TESK_TRACE_ATTACH_LOAD, TESK_TRACE_DETACH_FREE}},
      // Linked with the program: attached before main, detached at exit.
      {"win32_linked_child", {}, {TESK_TRACE_ATTACH_STARTUP, TESK_TRACE_DETACH_EXIT}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program + (c.args.empty() ? "" : " " + c.args[0]));
    ClearTrace();
    const auto child = tesk::testing::RunChild(c.program, c.args);
    EXPECT_EQ(0, child.exit_code) << child.output;
    EXPECT_EQ(c.trace, Trace());
  }
}

TEST_F(ModuleTest, ConcurrentLoadsAttachAndDetachInTurn) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const HMODULE module = LoadLibraryA(ServerPath().c_str());
        if (!module || !FreeLibrary(module)) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(0, failures[t]) << "thread " << t;

  const Lines trace = Trace();
  ASSERT_FALSE(trace.empty());
  ASSERT_EQ(0u, trace.size() % 2);
  for (std::size_t i = 0; i < trace.size(); ++i)
    EXPECT_EQ(i % 2 == 0 ? TESK_TRACE_ATTACH_LOAD : TESK_TRACE_DETACH_FREE, trace[i]) << "line " << i;
  EXPECT_EQ(nullptr, GetModuleHandleA(ServerPath().c_str()));
}

}  // namespace
