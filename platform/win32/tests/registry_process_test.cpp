// The registry shared between processes: concurrent writers, visibility, deletion seen
// through another process's handle, a read-only database, fork and a damaged file.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/win32/prefix.h>
#include <tesk/win32/windows.h>

#include "tesk_testing.h"

namespace {

using namespace std::string_literals;
using tesk::testing::RunChild;

class RegistryProcessTest : public tesk::testing::PrefixTest {
 protected:
  std::string Db() const { return prefix() + "/registry.db"; }

  static std::string Get(HKEY root, const std::string& path, const char* name) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return "error " + std::to_string(rc);
    char data[64] = {};
    DWORD size = sizeof(data) - 1;
    rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(data) : "error " + std::to_string(rc);
  }

  static LONG Set(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
  }
};

TEST_F(RegistryProcessTest, ConcurrentWritersLoseNothing) {
  // The writers also race to create the registry: this process has not touched it yet.
  constexpr int kWriters = 4;
  constexpr int kItems = 150;
  std::vector<int> pids;
  for (int w = 0; w < kWriters; ++w) {
    pids.push_back(
        tesk::testing::StartChild("registry_helper", {"write", std::to_string(w), std::to_string(kItems)}));
  }
  for (const int pid : pids) {
    const auto result = tesk::testing::WaitChild(pid);
    EXPECT_EQ(result.exit_code, 0) << result.output;
  }

  HKEY shared = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Stress\\Shared", 0, KEY_READ, &shared),
            ERROR_SUCCESS);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyA(shared, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, static_cast<DWORD>(kWriters * kItems));
  int missing = 0;
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kItems; ++i) {
      const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
      const std::string item = "Software\\Stress\\Writer" + std::to_string(w) + "\\Item" + std::to_string(i);
      if (Get(HKEY_CURRENT_USER, "Software\\Stress\\Shared", name.c_str()) != std::to_string(w)) ++missing;
      if (Get(HKEY_CURRENT_USER, item, "Data") != std::to_string(i)) ++missing;
    }
  }
  EXPECT_EQ(missing, 0);
  RegCloseKey(shared);
}

TEST_F(RegistryProcessTest, ChangesAreSeenByOtherProcesses) {
  auto result = RunChild("registry_helper", {"set", "Software\\FromChild", "Greeting", "hello"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(Get(HKEY_CURRENT_USER, "software\\fromchild", "greeting"), "hello");

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\FromParent", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "Answer", "42"), ERROR_SUCCESS);
  result = RunChild("registry_helper", {"get", "Software\\FromParent", "Answer"});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, "42\n");

  // Deleted by the other process, the key is dead behind this process's handle.
  result = RunChild("registry_helper", {"delete", "Software\\FromParent"});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(Set(key, "Answer", "43"), ERROR_KEY_DELETED);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Answer", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryProcessTest, ReadOnlyDatabaseRefusesWriteAccessAndStillReads) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Frozen", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(Set(key, "v", "kept"), ERROR_SUCCESS);

  // The database file without write bits, or the folder that holds it and its log.
  struct Case {
    std::string path;
    mode_t frozen, thawed;
  };
  const Case cases[] = {{Db(), 0444, 0644}, {prefix(), 0555, 0755}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_EQ(chmod(c.path.c_str(), c.frozen), 0);

    // Every way of asking to write is refused, in this process (whose connection predates the
    // change) as in a new one.
    HKEY other = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Frozen", 0, nullptr, 0, KEY_READ, nullptr, &other,
                              nullptr),
              ERROR_ACCESS_DENIED);
    for (const REGSAM sam :
         std::vector<REGSAM>{KEY_SET_VALUE, KEY_CREATE_SUB_KEY, DELETE, KEY_WRITE, KEY_ALL_ACCESS}) {
      EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Frozen", 0, sam, &other), ERROR_ACCESS_DENIED)
          << sam;
    }
    EXPECT_EQ(Set(key, "v", "changed"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set(HKEY_CURRENT_USER, "v", "changed"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Frozen"), ERROR_ACCESS_DENIED);
    auto result = RunChild("registry_helper", {"set", "Software\\Frozen", "v", "changed"});
    EXPECT_NE(result.output.find("rc=5"), std::string::npos) << result.output;

    EXPECT_EQ(Get(HKEY_CURRENT_USER, "Software\\Frozen", "v"), "kept");
    result = RunChild("registry_helper", {"get", "Software\\Frozen", "v"});
    EXPECT_EQ(result.output, "kept\n");
    // The most a legacy open can get here is reading.
    ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Frozen", &other), ERROR_SUCCESS);
    EXPECT_EQ(Set(other, "v", "changed"), ERROR_ACCESS_DENIED);
    RegCloseKey(other);

    ASSERT_EQ(chmod(c.path.c_str(), c.thawed), 0);
    EXPECT_EQ(Set(key, "w", "thawed"), ERROR_SUCCESS);
    EXPECT_EQ(Get(HKEY_CURRENT_USER, "Software\\Frozen", "w"), "thawed");
  }
  RegCloseKey(key);
}

TEST_F(RegistryProcessTest, ForkedChildWritesThroughItsOwnConnection) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Forked", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The inherited handle still names the key; the connection under it is new.
    const LONG rc = Set(key, "FromChild", "yes");
    _exit(rc == ERROR_SUCCESS ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Get(HKEY_CURRENT_USER, "Software\\Forked", "FromChild"), "yes");
  ASSERT_EQ(Set(key, "FromParent", "yes"), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryProcessTest, DamagedDatabaseIsReportedAndLeftAlone) {
  const std::string junk(4096, 'j');
  std::ofstream(Db(), std::ios::binary) << junk;
  tesk::win32::SetPrefixPath(prefix());  // a fresh connection
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_REGISTRY_CORRUPT);
  std::string error;
  EXPECT_FALSE(tesk::win32::EnsurePrefix(&error));
  EXPECT_NE(error.find("registry.db"), std::string::npos) << error;
  std::stringstream content;
  content << std::ifstream(Db(), std::ios::binary).rdbuf();
  EXPECT_EQ(content.str(), junk);
}

}  // namespace
