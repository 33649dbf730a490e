// Short texts for the error codes the program meets, so that every failure is reported in
// words with its code.
#pragma once

#include <string>

#include <tesk/win32/types.h>

namespace tesk::tool {

// The words for a Win32 error code, e.g. "access is denied".
std::string DescribeWin32Error(LONG code);
// The words for an HRESULT; HRESULT_FROM_WIN32 values are described by the Win32 table.
std::string DescribeResult(HRESULT result);

// "access is denied (error 5)"
std::string Win32ErrorText(LONG code);
// "class registration failed (0x80040201)"
std::string ResultText(HRESULT result);

}  // namespace tesk::tool
