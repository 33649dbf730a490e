// The REGEDIT4 text format: "REGEDIT4", a blank line, then one "[key]" section per key with
// its values. Text is kept in the ANSI code page byte for byte, as the registry's narrow
// interface hands it out. Lines end in CRLF when written; either ending is read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <tesk/win32/types.h>

namespace tesk::tool {

struct RegFileValue {
  std::string name;     // empty for the default value ("@")
  bool remove = false;  // "name"=-
  DWORD type = 0;
  std::vector<BYTE> data;
  int line = 0;  // where it was read; 0 when not read from a file
};

struct RegFileKey {
  std::string path;     // "HKEY_LOCAL_MACHINE\Software\Tesk"
  bool remove = false;  // [-path]: the key and everything under it
  std::vector<RegFileValue> values;
  int line = 0;
};

// The whole file, header included.
std::string WriteRegFile(const std::vector<RegFileKey>& keys);

// One value line without its line end, continued over several lines when long.
std::string FormatRegValue(const RegFileValue& value);

struct RegFileError {
  int line = 0;  // 1-based
  std::string message;
};

// Reads and checks a whole file. Key paths come back with the root's long name
// ("HKLM\Foo" reads as "HKEY_LOCAL_MACHINE\Foo"). On a malformed line returns false, fills
// *error and leaves *keys empty.
bool ReadRegFile(std::string_view text, std::vector<RegFileKey>* keys, RegFileError* error);

}  // namespace tesk::tool
