// The second process of the device tree's tests.
//   hold <path> <share> <ready-file> <release-file>
//       opens the device (share mode as a number), creates ready-file, and keeps the handle
//       until release-file exists; exit 1 with "error N" when the open fails.
//   try <path> <share>    opens and closes at once; "opened", or "error N" and exit 1.
//   player <serial> <backend>
//       attaches a test player to the tree (the prefix is $TESK_PREFIX).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <tesk/win32/fileapi.h>
#include <tesk/win32/prefix.h>
#include <tesk/win32/winbase.h>

#include "devtree_fixture.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

HANDLE Open(const char* path, const char* share) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, static_cast<DWORD>(std::strtoul(share, nullptr, 0)),
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

int Hold(int argc, char** argv) {
  if (argc != 6) return 2;
  const HANDLE h = Open(argv[2], argv[3]);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("error %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  if (FILE* ready = std::fopen(argv[4], "w")) std::fclose(ready);
  // Bounded, so that a test that fails early never leaves this process behind for long.
  for (int i = 0; i < 6000 && !Exists(argv[5]); ++i) usleep(10000);
  CloseHandle(h);
  return 0;
}

int Try(int argc, char** argv) {
  if (argc != 4) return 2;
  const HANDLE h = Open(argv[2], argv[3]);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("error %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  CloseHandle(h);
  std::printf("opened\n");
  return 0;
}

int Player(int argc, char** argv) {
  if (argc != 4) return 2;
  devtree_test::Player player;
  std::string error;
  if (devtree_test::AddPlayer(tesk::win32::PrefixPath(), argv[3], argv[2], &player, &error) !=
      ERROR_SUCCESS) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", player.access_path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string command = argv[1];
  if (command == "hold") return Hold(argc, argv);
  if (command == "try") return Try(argc, argv);
  if (command == "player") return Player(argc, argv);
  return 2;
}
