// Lists the attached players through hoxa alone: each one's device path, device descriptor,
// manufacturer, product and serial number, and the drive letters of its storage.
#include <cstdio>
#include <string>

#include <tesk/hoxa.h>
#include <tesk/win32/winbase.h>

namespace {

constexpr BYTE kDeviceDescriptor = 1;
constexpr BYTE kStringDescriptor = 3;

// A string descriptor's UTF-16LE text, characters outside ASCII shown as '?'.
std::string StringText(const BYTE* descriptor, DWORD count) {
  std::string text;
  const DWORD length = count < descriptor[0] ? count : descriptor[0];
  for (DWORD i = 2; i + 1 < length; i += 2) {
    const unsigned unit = descriptor[i] | (descriptor[i + 1] << 8);
    text += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
  }
  return text;
}

// The string at index in the given language, or a note saying why there is none.
std::string ReadString(HANDLE device, BYTE index, WORD language) {
  if (index == 0) return "(none)";
  BYTE descriptor[256] = {};
  DWORD count = 0;
  if (!Hoxa_GetDescriptor(device, kStringDescriptor, index, language, descriptor, sizeof(descriptor), &count))
    return "(failed, error " + std::to_string(GetLastError()) + ")";
  if (count < 2 || descriptor[1] != kStringDescriptor) return "(not a string descriptor)";
  return StringText(descriptor, count);
}

// Prints one player; false if it could not be opened or read.
bool ShowPlayer(const char* path) {
  std::printf("%s\n", path);

  char drives[32] = {};
  if (Hoxa_GetLogicalDrives(path, drives, sizeof(drives))) {
    std::printf("  drives:");
    for (const char* letter = drives; *letter; ++letter) std::printf(" %c:", *letter);
    std::printf("\n");
  } else {
    std::printf("  drives: none mounted\n");
  }

  HANDLE device = Hoxa_OpenDevice(path, HOXA_OPEN_EXCLUSIVE);
  if (device == INVALID_HANDLE_VALUE) {
    std::printf("  cannot open: error %u\n", GetLastError());
    return false;
  }
  BYTE descriptor[18] = {};
  DWORD count = 0;
  bool ok = Hoxa_GetDescriptor(device, kDeviceDescriptor, 0, 0, descriptor, sizeof(descriptor), &count) &&
            count == sizeof(descriptor);
  if (!ok) {
    std::printf("  cannot read the device descriptor: error %u\n", GetLastError());
  } else {
    std::printf("  device descriptor:");
    for (BYTE byte : descriptor) std::printf(" %02X", byte);
    std::printf("\n  vendor %04X product %04X release %04X\n", descriptor[8] | (descriptor[9] << 8),
                descriptor[10] | (descriptor[11] << 8), descriptor[12] | (descriptor[13] << 8));

    BYTE languages[256] = {};
    DWORD language_count = 0;
    WORD language = 0;
    if (Hoxa_GetDescriptor(device, kStringDescriptor, 0, 0, languages, sizeof(languages), &language_count) &&
        language_count >= 4)
      language = static_cast<WORD>(languages[2] | (languages[3] << 8));
    std::printf("  language %04X\n", language);
    std::printf("  manufacturer: %s\n", ReadString(device, descriptor[14], language).c_str());
    std::printf("  product: %s\n", ReadString(device, descriptor[15], language).c_str());
    std::printf("  serial number: %s\n", ReadString(device, descriptor[16], language).c_str());
  }
  Hoxa_CloseDevice(device);
  return ok;
}

}  // namespace

int main() {
  char path[MAX_PATH];
  DWORD index = 0;
  bool all_read = true;
  for (; Hoxa_EnumDevices(index, path, sizeof(path)); ++index) all_read = ShowPlayer(path) && all_read;
  const DWORD end = GetLastError();
  if (end != ERROR_NO_MORE_ITEMS) {
    std::printf("enumeration failed: error %u\n", end);
    return 1;
  }
  std::printf("%u player%s\n", index, index == 1 ? "" : "s");
  return all_read ? 0 : 1;
}
