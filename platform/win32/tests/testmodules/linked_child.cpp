// Helper program linked against the test server: the module comes with the program, so its
// entry point runs before main and again at exit, without LoadLibraryA or FreeLibrary.

#include <cstdio>
#include <cstring>

#include <tesk/win32/windows.h>

extern "C" HMODULE TeskTestServerModule();

int main() {
  // The handle the entry point saw is the one the loader knows the module by.
  const HMODULE seen = TeskTestServerModule();
  const HMODULE known = GetModuleHandleA("libwin32_testserver.so");
  if (!seen || seen != known) {
    std::printf("entry point saw %p, loader knows %p\n", static_cast<void*>(seen), static_cast<void*>(known));
    return 1;
  }
  // Found through the program's $ORIGIN/../lib run path, it is still named by a plain full path.
  char path[4096];
  const DWORD length = GetModuleFileNameA(seen, path, sizeof path);
  if (length == 0 || length >= sizeof path || std::strstr(path, "/../") || GetModuleHandleA(path) != seen) {
    std::printf("module named '%s'\n", length ? path : "");
    return 1;
  }
  return 0;
}
