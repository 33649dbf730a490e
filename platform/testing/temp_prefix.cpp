#include "tesk_testing.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <tesk/win32/prefix.h>

namespace tesk::testing {

TempPrefix::TempPrefix() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tesk-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) ADD_FAILURE() << "cannot make a temporary prefix";
  path_ = pattern;
  if (const char* old = std::getenv("TESK_PREFIX")) {
    previous_ = old;
    had_previous_ = true;
  }
  setenv("TESK_PREFIX", path_.c_str(), 1);
  win32::SetPrefixPath(path_);
}

TempPrefix::~TempPrefix() {
  if (had_previous_) {
    setenv("TESK_PREFIX", previous_.c_str(), 1);
    win32::SetPrefixPath(previous_);
  } else {
    unsetenv("TESK_PREFIX");
  }
  std::error_code ignored;
  // Named objects the test left open go with it.
  std::filesystem::remove_all(win32::RuntimePath(path_), ignored);
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace tesk::testing
