// A second process for the file tests.
//   files_helper open <path> <access> <share>   tries CreateFileA(OPEN_EXISTING) and prints
//                                               "rc=<last error>" (0 when it opened)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tesk/win32/windows.h>

int main(int argc, char** argv) {
  if (argc != 5 || std::strcmp(argv[1], "open") != 0) {
    std::fprintf(stderr, "usage: files_helper open <path> <access> <share>\n");
    return 2;
  }
  const auto access = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0));
  const auto share = static_cast<DWORD>(std::strtoul(argv[4], nullptr, 0));
  const HANDLE file = CreateFileA(argv[2], access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("rc=%u\n", static_cast<unsigned>(GetLastError()));
    return 0;
  }
  std::printf("rc=0\n");
  CloseHandle(file);
  return 0;
}
