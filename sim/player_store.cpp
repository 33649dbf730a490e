#include "player_store.h"

#include <vector>

#include <tesk/win32/regkey.h>
#include <tesk/win32/windows.h>

namespace tesk::sim::internal {
namespace {

using tesk::win32::RegKey;

struct FaultValue {
  const char* name;
  DWORD FaultSettings::*field;
};
constexpr FaultValue kFaultValues[] = {
    {"FailNext", &FaultSettings::fail_next},   {"FailError", &FaultSettings::fail_error},
    {"ShortNext", &FaultSettings::short_next}, {"ShortLength", &FaultSettings::short_length},
    {"DelayMs", &FaultSettings::delay_ms},
};

std::string Convert(const std::string& text, UINT from, UINT to) {
  if (text.empty()) return text;
  const int wide_size = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::u16string wide(static_cast<size_t>(wide_size), u'\0');
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), wide.data(), wide_size);
  const int size = WideCharToMultiByte(to, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(to, 0, wide.data(), wide_size, out.data(), size, nullptr, nullptr);
  return out;
}

// Text values as the registry's narrow calls give them (ANSI code page), UTF-8 in our records.
// A REG_BINARY value holds UTF-8 that the code page could not.
std::string ReadText(HKEY key, const char* name) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
  std::string data(size, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  data.resize(size);
  if (type == REG_BINARY) return data;
  if (type != REG_SZ) return {};
  while (!data.empty() && data.back() == '\0') data.pop_back();
  return Convert(data, CP_ACP, CP_UTF8);
}

}  // namespace

LONG WriteText(HKEY key, const char* name, const std::string& utf8) {
  const std::string ansi = Convert(utf8, CP_UTF8, CP_ACP);
  if (Convert(ansi, CP_ACP, CP_UTF8) != utf8) {
    return RegSetValueExA(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(utf8.data()),
                          static_cast<DWORD>(utf8.size()));
  }
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(ansi.c_str()),
                        static_cast<DWORD>(ansi.size() + 1));
}

std::string PlayerKeyPath(const std::string& name) {
  return std::string(kPlayersKey) + "\\" + name;
}

bool ReadPlayer(const std::string& name, PlayerInfo* info) {
  RegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PlayerKeyPath(name).c_str(), 0, KEY_READ, key.Put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  info->name = name;
  info->folder = ReadText(key.Get(), kFolderValue);
  info->serial_number = ReadText(key.Get(), kSerialNumberValue);
  const std::string letter = ReadText(key.Get(), kLetterValue);
  info->letter = letter.empty() ? 0 : letter[0];
  info->instance_id = ReadText(key.Get(), kInstanceIdValue);
  info->device_path = ReadText(key.Get(), kDevicePathValue);
  info->volume_name = ReadText(key.Get(), kVolumeNameValue);
  return true;
}

DWORD ReadFaults(const std::string& name, FaultSettings* faults) {
  RegKey key;
  const std::string path = PlayerKeyPath(name) + "\\" + kFaultsKey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  *faults = FaultSettings{};
  for (const auto& value : kFaultValues) {
    DWORD data = 0;
    DWORD size = sizeof data;
    DWORD type = 0;
    if (RegQueryValueExA(key.Get(), value.name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD) {
      faults->*value.field = data;
    }
  }
  return ERROR_SUCCESS;
}

DWORD WriteFaults(const std::string& name, const FaultSettings& faults) {
  RegKey key;
  const std::string path = PlayerKeyPath(name) + "\\" + kFaultsKey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS) {
    return ERROR_DEVICE_NOT_CONNECTED;
  }
  for (const auto& value : kFaultValues) {
    const DWORD data = faults.*value.field;
    const LONG result = RegSetValueExA(key.Get(), value.name, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&data), sizeof data);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  }
  return ERROR_SUCCESS;
}

}  // namespace tesk::sim::internal
