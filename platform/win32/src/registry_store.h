// The registry's store: one SQLite database per prefix, one connection per process, and the
// table of open key handles. Everything here speaks UTF-8; the A-functions convert around it.
//
// Lock order: the store's mutex is the innermost lock of the stand-in. Nothing that may take
// another lock (the code page conversions read the registry) runs while it is held.
#pragma once

#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>
#include <tesk/win32/winreg.h>

namespace tesk::win32::registry {

// prefix.cpp: the prefix folder with drive_c/ and dosdevices/c:.
bool MakePrefixFolders(const std::string& prefix, std::string* error);
// Opens (creating when missing) the registry of the current prefix and adds any missing
// standard key. A read-only registry is opened as it is.
bool EnsureStandardKeys(std::string* error);

// The form names are compared and ordered by: upper case, as the NT registry orders names.
std::string Fold(std::string_view utf8);

// What a transaction may do. kOpen reads, but first rechecks whether the database can still
// be written, for an open that asks for write access.
enum class Mode { kRead, kOpen, kWrite };

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

struct Connection;
struct State;

// An SQLite failure inside a transaction; the transaction is rolled back.
struct SqlError {
  int code;
};

// Rights that change the registry; refused on a read-only database.
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// One transaction, as seen by a registry call. Key ids never leave this layer.
class Txn {
 public:
  Txn(State& state, Connection& connection) : state_(state), connection_(connection) {}

  bool read_only() const;
  // The key a handle stands for and the rights it was opened with.
  // ERROR_INVALID_HANDLE for an unknown or closed handle, ERROR_KEY_DELETED once its key is gone.
  LONG Resolve(HKEY key, std::int64_t* id, REGSAM* access);
  // Follows folded names down from a key; ERROR_FILE_NOT_FOUND when one is missing.
  LONG Walk(std::int64_t from, const std::vector<std::string>& folded, std::int64_t* id);

  bool FindChild(std::int64_t parent, std::string_view folded, std::int64_t* id);
  std::int64_t AddChild(std::int64_t parent, std::string_view name, std::string_view folded);
  bool HasChildren(std::int64_t id);
  // Removes a key (which has no subkeys) and its values.
  void RemoveKey(std::int64_t id);
  bool ChildAt(std::int64_t parent, DWORD index, std::string* name, FILETIME* written);
  void ChildNames(std::int64_t parent, std::vector<std::string>* names);
  FILETIME WriteTime(std::int64_t id);
  void Touch(std::int64_t id);

  bool GetValue(std::int64_t key, std::string_view folded, Value* out);
  void SetValue(std::int64_t key, std::string_view name, std::string_view folded, DWORD type,
                std::string_view data);
  bool DeleteValue(std::int64_t key, std::string_view folded);
  bool ValueAt(std::int64_t key, DWORD index, Value* out);
  void Values(std::int64_t key, std::vector<Value>* out);

  // A new handle for a key; it exists once the transaction commits.
  HKEY NewHandle(std::int64_t id, REGSAM access);

 private:
  State& state_;
  Connection& connection_;
};

// One transaction on this process's connection to the current prefix's registry; holds the
// store's mutex from construction to destruction.
class Session {
 public:
  explicit Session(Mode mode);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  LONG status() const { return status_; }
  Txn& txn() { return *txn_; }
  // Commits when rc is ERROR_SUCCESS, rolls back otherwise; returns the call's final result.
  LONG Finish(LONG rc);
  LONG Fail(const SqlError& error);

 private:
  void Rollback();

  State& state_;
  std::unique_lock<std::mutex> lock_;
  LONG status_ = ERROR_SUCCESS;
  bool open_ = false;  // a transaction is under way
  std::optional<Txn> txn_;
};

template <class Body>
LONG Transact(Mode mode, Body&& body) {
  try {
    Session session(mode);
    if (session.status() != ERROR_SUCCESS) return session.status();
    LONG rc;
    try {
      rc = body(session.txn());
    } catch (const SqlError& error) {
      return session.Fail(error);
    }
    return session.Finish(rc);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// Forgets a handle. Predefined keys close successfully and stay usable.
LONG CloseHandle(HKEY key);
// Asks SQLite to put committed changes into the database file.
LONG Flush();

}  // namespace tesk::win32::registry
