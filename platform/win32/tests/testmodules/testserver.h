// What the COM and module tests share with the test server module.
#pragma once

#include <tesk/win32/windows.h>

// The one class the server makes.
inline constexpr CLSID CLSID_TeskTestObject =
    tesk::win32::GuidFromText("6B1C2F0E-83D4-4A57-9E21-5D0F7A3C9B14");
// A class no server provides.
inline constexpr CLSID CLSID_TeskTestUnknown =
    tesk::win32::GuidFromText("0D9E4B62-1F7A-4C38-A5E0-72B6C1D8F359");

inline constexpr IID IID_ITeskTestObject = tesk::win32::GuidFromText("C4A7E913-5B2D-4F60-8E1C-39D0B6F2A785");

struct ITeskTestObject : public IUnknown {
  // The module handle the server's entry point was given.
  virtual HMODULE STDMETHODCALLTYPE EntryModule() = 0;
};

// Environment of the server's entry point: a file that gets one line per attach and detach,
// and a switch that makes it refuse the attach.
#define TESK_TEST_TRACE_ENV "TESK_TEST_TRACE"
#define TESK_TEST_REFUSE_ATTACH_ENV "TESK_TEST_REFUSE_ATTACH"

// The trace lines: how the module came (LoadLibraryA or with the program) and went
// (FreeLibrary or the process exiting), told by lpvReserved.
#define TESK_TRACE_ATTACH_LOAD "attach load"
#define TESK_TRACE_ATTACH_STARTUP "attach startup"
#define TESK_TRACE_DETACH_FREE "detach free"
#define TESK_TRACE_DETACH_EXIT "detach exit"
