// The prefix: the one folder where the stand-in keeps its state (registry.db, dosdevices/,
// drive_c/, named objects' runtime folder). Not a Windows interface; the tools and tests use it.
#pragma once

#include <string>

#include <tesk/win32/types.h>

namespace tesk::win32 {

// $TESK_PREFIX, or ${XDG_DATA_HOME:-$HOME/.local/share}/tesk. Created on first use.
TESK_WIN32_API std::string PrefixPath();
// Points this process at another prefix from now on (tools' --prefix, tests). Open registry
// handles of the previous prefix become invalid.
TESK_WIN32_API void SetPrefixPath(const std::string& path);
// Creates the prefix's folders and the registry's standard keys if they are missing.
// False with the reason in *error when the folder cannot be made.
TESK_WIN32_API bool EnsurePrefix(std::string* error = nullptr);
// Where the named objects of a prefix live: a folder on tmpfs named after the user and the
// prefix's real path (/dev/shm/tesk-<uid>-<hash>), so that every process of the prefix
// finds it and two prefixes never share it. Only named; made when first needed.
TESK_WIN32_API std::string RuntimePath(const std::string& prefix);
TESK_WIN32_API std::string RuntimePath();

}  // namespace tesk::win32
