// DOS paths to Linux ones, for the file calls and the C runtime's search.
#pragma once

#include <string>
#include <string_view>

#include <tesk/win32/types.h>

namespace tesk::win32::internal {

// Resolves a path in the ANSI code page to a Linux path. "X:..." goes through the prefix's
// dosdevices/x: link, "\..." through the current folder's drive (C: when it is on none),
// other relative paths start at the Linux current folder and "/..." is taken as it is. Each
// folder must exist (else ERROR_PATH_NOT_FOUND); a component with no exact match takes a
// case-insensitive match in its folder. The last component may be missing: it is then
// kept as written, for the caller to create or to fail with ERROR_FILE_NOT_FOUND. A missing
// drive letter is ERROR_PATH_NOT_FOUND.
DWORD ResolvePath(std::string_view ansi_path, std::string* linux_path);

// The Windows error for an errno value of a file operation.
DWORD FileErrorFromErrno(int error);

// Whether two names are equal ignoring case (ASCII and Latin-1 letters), both UTF-8.
bool NamesEqualIgnoringCase(std::string_view a, std::string_view b);

// The DOS form ("E:\Music") of a Linux path under one of the prefix's drives; empty when it
// lies on none.
std::string DosFormOf(const std::string& linux_path);

}  // namespace tesk::win32::internal
