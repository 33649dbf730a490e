#include "registry_store.h"

#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <unordered_map>
#include <utility>

#include <tesk/win32/prefix.h>

#include "internal.h"

namespace tesk::win32::registry {
namespace {

// ---- Case folding -------------------------------------------------------------------

char32_t Upper(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs: upper case on the even code point, except in the two runs
    // where it sits on the odd one. A few letters without a partner are left alone.
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    return ((c & 1) != 0) != odd_upper ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 0x20;  // Greek
  if (c == 0x3C2) return 0x3A3;
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;  // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x4FF)) {
    return (c & 1) ? c - 1 : c;
  }
  if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? c : c - 1;
  return c;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// ---- The database -------------------------------------------------------------------

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr std::int64_t kLocalMachine = 1;
constexpr std::int64_t kCurrentUser = 2;
constexpr std::int64_t kUsers = 3;

// Key ids are never reused (AUTOINCREMENT), so a handle whose key was deleted cannot
// silently reach a newer key. Values keep their creation order through their row id.
constexpr const char* kSchema = R"(
CREATE TABLE keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER,
  name TEXT NOT NULL,
  folded TEXT NOT NULL,
  modified INTEGER NOT NULL);
CREATE UNIQUE INDEX keys_by_name ON keys(parent, folded);
CREATE TABLE vals(
  id INTEGER PRIMARY KEY,
  key INTEGER NOT NULL,
  name TEXT NOT NULL,
  folded TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL);
CREATE UNIQUE INDEX vals_by_name ON vals(key, folded);
CREATE INDEX vals_by_key ON vals(key);
INSERT INTO keys(id, parent, name, folded, modified) VALUES
  (1, NULL, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE', 0),
  (2, NULL, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER', 0),
  (3, NULL, 'HKEY_USERS', 'HKEY_USERS', 0);
)";

enum Sql {
  kBegin,
  kBeginImmediate,
  kCommit,
  kRollback,
  kFindChild,
  kKeyTime,
  kKeyParent,
  kInsertKey,
  kTouchKey,
  kHasChild,
  kDeleteKey,
  kDeleteKeyValues,
  kChildAt,
  kChildNames,
  kGetValue,
  kSetValue,
  kDeleteValue,
  kValueAt,
  kValues,
  kSqlCount
};

constexpr std::array<const char*, kSqlCount> kSqlText = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2",
    "SELECT modified FROM keys WHERE id = ?1",
    "SELECT parent FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, folded, modified) VALUES(?1, ?2, ?3, ?4)",
    "UPDATE keys SET modified = ?2 WHERE id = ?1",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM keys WHERE id = ?1",
    "DELETE FROM vals WHERE key = ?1",
    "SELECT name, modified FROM keys WHERE parent = ?1 ORDER BY folded LIMIT 1 OFFSET ?2",
    "SELECT name FROM keys WHERE parent = ?1",
    "SELECT name, type, data FROM vals WHERE key = ?1 AND folded = ?2",
    "INSERT INTO vals(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
    "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND folded = ?2",
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id",
};

}  // namespace

struct Connection {
  sqlite3* db = nullptr;
  bool read_only = false;
  std::string file;
  std::array<sqlite3_stmt*, kSqlCount> statements{};
};

struct HandleRecord {
  std::int64_t key;
  REGSAM access;
  std::uint64_t generation;
};

struct State {
  std::mutex mutex;
  // Everything below is guarded by mutex.
  Connection* connection = nullptr;
  pid_t pid = 0;                 // the process that opened connection
  std::uint64_t generation = 0;  // the prefix generation handles belong to
  std::unordered_map<std::uintptr_t, HandleRecord> handles;
  std::unordered_map<std::uintptr_t, HandleRecord> pending;  // made by the running transaction
  std::uintptr_t next_handle = 0x1000;
  // Connections inherited across fork(): SQLite must not touch them in the child, so they
  // are left open and kept reachable.
  std::vector<Connection*> abandoned;
};

namespace {

State& GetState() {
  static State* const state = [] {
    auto* s = new State;
    // A fork while another thread is inside the registry would leave the child a locked mutex.
    pthread_atfork([] { GetState().mutex.lock(); }, [] { GetState().mutex.unlock(); },
                   [] { GetState().mutex.unlock(); });
    return s;
  }();
  return *state;
}

LONG ErrorFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA:
      return ERROR_REGISTRY_CORRUPT;
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

// Errors after which the connection is not worth keeping: the next call opens a new one.
bool ConnectionSpoilt(int rc) {
  const int primary = rc & 0xFF;
  return primary != SQLITE_BUSY && primary != SQLITE_LOCKED && primary != SQLITE_CONSTRAINT &&
         primary != SQLITE_TOOBIG && primary != SQLITE_NOMEM;
}

std::int64_t Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  constexpr std::int64_t kUnixEpochAsFiletime = 116444736000000000LL;
  return kUnixEpochAsFiletime + static_cast<std::int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

FILETIME ToFiletime(std::int64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
  return ft;
}

// A cached prepared statement, reset when the object goes.
class Statement {
 public:
  Statement(Connection& c, Sql sql) {
    sqlite3_stmt*& slot = c.statements[sql];
    if (!slot) {
      const int rc = sqlite3_prepare_v3(c.db, kSqlText[sql], -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr);
      if (rc != SQLITE_OK) throw SqlError{rc};
    }
    stmt_ = slot;
  }
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Int(int index, std::int64_t v) { return Check(sqlite3_bind_int64(stmt_, index, v)); }
  Statement& Text(int index, std::string_view v) {
    return Check(sqlite3_bind_text(stmt_, index, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
  }
  Statement& Blob(int index, std::string_view v) {
    // A null pointer would bind SQL NULL; an empty value is an empty blob.
    return Check(sqlite3_bind_blob(stmt_, index, v.empty() ? "" : v.data(), static_cast<int>(v.size()),
                                   SQLITE_STATIC));
  }

  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw SqlError{rc};
  }
  void Run() {
    while (Step()) {
    }
  }

  std::int64_t ColumnInt(int col) { return sqlite3_column_int64(stmt_, col); }
  std::string ColumnText(int col) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_blob(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string(p, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  Statement& Check(int rc) {
    if (rc != SQLITE_OK) throw SqlError{rc};
    return *this;
  }

  sqlite3_stmt* stmt_ = nullptr;
};

void ReadValue(Statement& st, Value* out) {
  out->name = st.ColumnText(0);
  out->type = static_cast<DWORD>(st.ColumnInt(1));
  out->data = st.ColumnText(2);
}

// Whether the registry may be written: its file, and the folder where SQLite keeps the log
// beside it, must have a write bit in their mode (root may write anyway, so access() alone
// would not tell) and the system must allow writing. A missing file will be created.
bool Writable(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && access(path.c_str(), W_OK) == 0;
}

bool DatabaseWritable(const std::string& file) {
  return Writable(file) && Writable(file.substr(0, file.rfind('/') + 1));
}

int Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

void CloseConnection(Connection* c) {
  for (sqlite3_stmt* st : c->statements) sqlite3_finalize(st);
  sqlite3_close_v2(c->db);
  delete c;
}

void Disconnect(State& s) {
  if (!s.connection) return;
  CloseConnection(s.connection);
  s.connection = nullptr;
}

// Creates whichever standard key or value is missing.
void AddStandardKeys(Txn& txn) {
  struct Path {
    std::int64_t root;
    std::vector<std::string> names;
  };
  const Path paths[] = {
      {kLocalMachine, {"Software", "Classes", "CLSID"}},
      {kLocalMachine, {"Software", "Classes", "Interface"}},
      {kLocalMachine, {"Software", "Microsoft", "Windows", "CurrentVersion"}},
      {kLocalMachine, {"System", "CurrentControlSet", "Control", "Nls", "CodePage"}},
      {kLocalMachine, {"System", "CurrentControlSet", "Control", "DeviceClasses"}},
      {kLocalMachine, {"System", "CurrentControlSet", "Enum"}},
      {kCurrentUser, {"Software"}},
  };
  std::int64_t code_page = 0;
  for (const Path& path : paths) {
    std::int64_t id = path.root;
    for (const std::string& name : path.names) {
      const std::string folded = Fold(name);
      std::int64_t child = 0;
      id = txn.FindChild(id, folded, &child) ? child : txn.AddChild(id, name, folded);
    }
    if (path.names.back() == "CodePage") code_page = id;
  }
  Value acp;
  if (!txn.GetValue(code_page, "ACP", &acp))
    txn.SetValue(code_page, "ACP", "ACP", REG_SZ, std::string_view("1252", 5));
}

// WAL lets readers go on while one process writes, and with synchronous=NORMAL a commit is
// an append to the log without an fsync: a crashed process loses nothing it committed, a
// power cut may lose the last few transactions but never corrupts the file. That fits a
// registry that sees many small transactions from many short-lived processes.
LONG Configure(Connection& c) {
  sqlite3_busy_timeout(c.db, kBusyTimeoutMs);
  int rc = SQLITE_OK;
  if (!c.read_only) {
    // Turning WAL on needs the database to itself for a moment; another process may be
    // creating it at the same time.
    for (int attempt = 0; attempt < 100; ++attempt) {
      rc = Exec(c.db, "PRAGMA journal_mode=WAL");
      if ((rc & 0xFF) != SQLITE_BUSY) break;
      usleep(20000);
    }
    if (rc != SQLITE_OK) return ErrorFromSqlite(rc);
  }
  if ((rc = Exec(c.db, "PRAGMA synchronous=NORMAL")) != SQLITE_OK) return ErrorFromSqlite(rc);

  auto user_version = [&c](int* version) {
    sqlite3_stmt* st = nullptr;
    int r = sqlite3_prepare_v2(c.db, "PRAGMA user_version", -1, &st, nullptr);
    if (r == SQLITE_OK) {
      r = sqlite3_step(st);
      if (r == SQLITE_ROW) {
        *version = sqlite3_column_int(st, 0);
        r = SQLITE_OK;
      }
    }
    sqlite3_finalize(st);
    return r;
  };
  int version = 0;
  if ((rc = user_version(&version)) != SQLITE_OK) return ErrorFromSqlite(rc);
  if (version == kSchemaVersion) return ERROR_SUCCESS;
  if (version != 0 || c.read_only) return ERROR_REGISTRY_CORRUPT;

  // A new registry; several processes may race here, the first to get the write lock makes it.
  if ((rc = Exec(c.db, "BEGIN IMMEDIATE")) != SQLITE_OK) return ErrorFromSqlite(rc);
  try {
    if ((rc = user_version(&version)) != SQLITE_OK) throw SqlError{rc};
    if (version == 0) {
      if ((rc = Exec(c.db, kSchema)) != SQLITE_OK) throw SqlError{rc};
      State unused_state;
      Txn txn(unused_state, c);
      AddStandardKeys(txn);
      const std::string set_version = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
      if ((rc = Exec(c.db, set_version.c_str())) != SQLITE_OK) throw SqlError{rc};
    } else if (version != kSchemaVersion) {
      throw SqlError{SQLITE_CORRUPT};
    }
    if ((rc = Exec(c.db, "COMMIT")) != SQLITE_OK) throw SqlError{rc};
  } catch (const SqlError& error) {
    Exec(c.db, "ROLLBACK");
    return ErrorFromSqlite(error.code);
  }
  return ERROR_SUCCESS;
}

LONG OpenConnection(const std::string& prefix, Connection** out) {
  const std::string file = prefix + "/registry.db";
  // The first use of the registry makes the prefix; an existing registry in a prefix whose
  // folders cannot be made (a read-only copy) is still read.
  if (!MakePrefixFolders(prefix, nullptr) && access(file.c_str(), F_OK) != 0) return ERROR_REGISTRY_IO_FAILED;

  auto c = std::make_unique<Connection>();
  c->file = file;
  c->read_only = !DatabaseWritable(file);
  const int flags = (c->read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(file.c_str(), &c->db, flags, nullptr);
  LONG result = rc == SQLITE_OK ? Configure(*c) : ErrorFromSqlite(rc);
  if (result != ERROR_SUCCESS) {
    CloseConnection(c.release());
    return result;
  }
  *out = c.release();
  return ERROR_SUCCESS;
}

// Brings this process's connection up to date with the prefix, the process and the file's
// permissions.
LONG Connect(State& s, Mode mode) {
  const pid_t pid = getpid();
  if (s.connection && s.pid != pid) {
    s.abandoned.push_back(s.connection);
    s.connection = nullptr;
  }
  const std::uint64_t generation = internal::PrefixGeneration();
  if (s.generation != generation) {
    Disconnect(s);
    s.handles.clear();
    s.generation = generation;
  }
  if (s.connection && mode != Mode::kRead &&
      s.connection->read_only == DatabaseWritable(s.connection->file)) {
    Disconnect(s);  // the file's permissions changed since it was opened
  }
  if (!s.connection) {
    if (const LONG rc = OpenConnection(PrefixPath(), &s.connection); rc != ERROR_SUCCESS) return rc;
    s.pid = pid;
  }
  if (mode == Mode::kWrite && s.connection->read_only) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

bool IsPredefined(HKEY key) {
  return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_USERS ||
         key == HKEY_CLASSES_ROOT;
}

}  // namespace

std::string Fold(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b >= 'a' && b <= 'z' ? b - 0x20 : b));
      ++i;
      continue;
    }
    // Two- and three-byte sequences hold every letter folded; anything else, well formed
    // or not, is kept byte for byte.
    if (b >= 0xC2 && b <= 0xDF && i + 1 < s.size() && (s[i + 1] & 0xC0) == 0x80) {
      AppendUtf8(Upper(static_cast<char32_t>(((b & 0x1F) << 6) | (s[i + 1] & 0x3F))), &out);
      i += 2;
      continue;
    }
    out.push_back(static_cast<char>(b));
    ++i;
  }
  return out;
}

// ---- Txn ----------------------------------------------------------------------------

bool Txn::read_only() const {
  return connection_.read_only;
}

LONG Txn::Resolve(HKEY key, std::int64_t* id, REGSAM* access) {
  if (IsPredefined(key)) {
    *access = KEY_ALL_ACCESS;
    if (key == HKEY_LOCAL_MACHINE) *id = kLocalMachine;
    if (key == HKEY_CURRENT_USER) *id = kCurrentUser;
    if (key == HKEY_USERS) *id = kUsers;
    if (key == HKEY_CLASSES_ROOT) {
      static const std::vector<std::string> classes = {"SOFTWARE", "CLASSES"};
      return Walk(kLocalMachine, classes, id);
    }
    return ERROR_SUCCESS;
  }
  const auto it = state_.handles.find(reinterpret_cast<std::uintptr_t>(key));
  if (it == state_.handles.end() || it->second.generation != state_.generation) return ERROR_INVALID_HANDLE;
  Statement st(connection_, kKeyTime);
  if (!st.Int(1, it->second.key).Step()) return ERROR_KEY_DELETED;
  *id = it->second.key;
  *access = it->second.access;
  return ERROR_SUCCESS;
}

LONG Txn::Walk(std::int64_t from, const std::vector<std::string>& folded, std::int64_t* id) {
  std::int64_t at = from;
  for (const std::string& name : folded) {
    if (!FindChild(at, name, &at)) return ERROR_FILE_NOT_FOUND;
  }
  *id = at;
  return ERROR_SUCCESS;
}

bool Txn::FindChild(std::int64_t parent, std::string_view folded, std::int64_t* id) {
  Statement st(connection_, kFindChild);
  if (!st.Int(1, parent).Text(2, folded).Step()) return false;
  *id = st.ColumnInt(0);
  return true;
}

std::int64_t Txn::AddChild(std::int64_t parent, std::string_view name, std::string_view folded) {
  const std::int64_t now = Now();
  {
    Statement st(connection_, kInsertKey);
    st.Int(1, parent).Text(2, name).Text(3, folded).Int(4, now).Run();
  }
  const std::int64_t id = sqlite3_last_insert_rowid(connection_.db);
  Touch(parent);
  return id;
}

bool Txn::HasChildren(std::int64_t id) {
  Statement st(connection_, kHasChild);
  return st.Int(1, id).Step();
}

void Txn::RemoveKey(std::int64_t id) {
  std::int64_t parent = 0;
  {
    Statement st(connection_, kKeyParent);
    if (st.Int(1, id).Step()) parent = st.ColumnInt(0);
  }
  {
    Statement st(connection_, kDeleteKeyValues);
    st.Int(1, id).Run();
  }
  {
    Statement st(connection_, kDeleteKey);
    st.Int(1, id).Run();
  }
  if (parent != 0) Touch(parent);
}

bool Txn::ChildAt(std::int64_t parent, DWORD index, std::string* name, FILETIME* written) {
  Statement st(connection_, kChildAt);
  if (!st.Int(1, parent).Int(2, index).Step()) return false;
  *name = st.ColumnText(0);
  *written = ToFiletime(st.ColumnInt(1));
  return true;
}

void Txn::ChildNames(std::int64_t parent, std::vector<std::string>* names) {
  Statement st(connection_, kChildNames);
  st.Int(1, parent);
  while (st.Step()) names->push_back(st.ColumnText(0));
}

FILETIME Txn::WriteTime(std::int64_t id) {
  Statement st(connection_, kKeyTime);
  return ToFiletime(st.Int(1, id).Step() ? st.ColumnInt(0) : 0);
}

void Txn::Touch(std::int64_t id) {
  Statement st(connection_, kTouchKey);
  st.Int(1, id).Int(2, Now()).Run();
}

bool Txn::GetValue(std::int64_t key, std::string_view folded, Value* out) {
  Statement st(connection_, kGetValue);
  if (!st.Int(1, key).Text(2, folded).Step()) return false;
  ReadValue(st, out);
  return true;
}

void Txn::SetValue(std::int64_t key, std::string_view name, std::string_view folded, DWORD type,
                   std::string_view data) {
  {
    Statement st(connection_, kSetValue);
    st.Int(1, key).Text(2, name).Text(3, folded).Int(4, type).Blob(5, data).Run();
  }
  Touch(key);
}

bool Txn::DeleteValue(std::int64_t key, std::string_view folded) {
  {
    Statement st(connection_, kDeleteValue);
    st.Int(1, key).Text(2, folded).Run();
  }
  if (sqlite3_changes(connection_.db) == 0) return false;
  Touch(key);
  return true;
}

bool Txn::ValueAt(std::int64_t key, DWORD index, Value* out) {
  Statement st(connection_, kValueAt);
  if (!st.Int(1, key).Int(2, index).Step()) return false;
  ReadValue(st, out);
  return true;
}

void Txn::Values(std::int64_t key, std::vector<Value>* out) {
  Statement st(connection_, kValues);
  st.Int(1, key);
  while (st.Step()) {
    Value v;
    ReadValue(st, &v);
    out->push_back(std::move(v));
  }
}

HKEY Txn::NewHandle(std::int64_t id, REGSAM access) {
  const std::uintptr_t value = state_.next_handle;
  state_.pending.emplace(value, HandleRecord{id, access, state_.generation});
  state_.next_handle += 4;
  return reinterpret_cast<HKEY>(value);
}

// ---- Session ------------------------------------------------------------------------

Session::Session(Mode mode) : state_(GetState()), lock_(state_.mutex) {
  state_.pending.clear();
  status_ = Connect(state_, mode);
  if (status_ != ERROR_SUCCESS) return;
  Connection& c = *state_.connection;
  try {
    Statement(c, mode == Mode::kWrite ? kBeginImmediate : kBegin).Run();
  } catch (const SqlError& error) {
    status_ = ErrorFromSqlite(error.code);
    if (ConnectionSpoilt(error.code)) Disconnect(state_);
    return;
  }
  open_ = true;
  txn_.emplace(state_, c);
}

Session::~Session() {
  if (open_) Rollback();
  state_.pending.clear();
}

void Session::Rollback() {
  open_ = false;
  state_.pending.clear();
  Connection* c = state_.connection;
  if (!c || sqlite3_get_autocommit(c->db)) return;
  try {
    Statement(*c, kRollback).Run();
  } catch (const SqlError&) {
    Disconnect(state_);  // closing the connection is what releases its locks now
  }
}

LONG Session::Finish(LONG rc) {
  if (!open_) return rc;
  if (rc != ERROR_SUCCESS) {
    Rollback();
    return rc;
  }
  try {
    // Room for the new handles first, so that nothing can fail once the commit is done.
    state_.handles.reserve(state_.handles.size() + state_.pending.size());
    Statement(*state_.connection, kCommit).Run();
  } catch (const SqlError& error) {
    return Fail(error);
  } catch (const std::bad_alloc&) {
    Rollback();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  open_ = false;
  state_.handles.merge(state_.pending);
  state_.pending.clear();
  return ERROR_SUCCESS;
}

LONG Session::Fail(const SqlError& error) {
  if (open_) Rollback();
  if (ConnectionSpoilt(error.code)) Disconnect(state_);
  return ErrorFromSqlite(error.code);
}

// ---- Outside transactions -----------------------------------------------------------

LONG CloseHandle(HKEY key) {
  if (IsPredefined(key)) return ERROR_SUCCESS;
  State& s = GetState();
  std::lock_guard lock(s.mutex);
  const auto it = s.handles.find(reinterpret_cast<std::uintptr_t>(key));
  if (it == s.handles.end()) return ERROR_INVALID_HANDLE;
  const bool current = it->second.generation == internal::PrefixGeneration();
  s.handles.erase(it);
  return current ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG Flush() {
  State& s = GetState();
  std::lock_guard lock(s.mutex);
  if (const LONG rc = Connect(s, Mode::kRead); rc != ERROR_SUCCESS) return rc;
  if (s.connection->read_only) return ERROR_SUCCESS;
  const int rc =
      sqlite3_wal_checkpoint_v2(s.connection->db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  return (rc & 0xFF) == SQLITE_BUSY ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

bool EnsureStandardKeys(std::string* error) {
  LONG rc = Transact(Mode::kWrite, [](Txn& txn) -> LONG {
    AddStandardKeys(txn);
    return ERROR_SUCCESS;
  });
  // A read-only registry is used as it is.
  if (rc == ERROR_ACCESS_DENIED) rc = Transact(Mode::kRead, [](Txn&) -> LONG { return ERROR_SUCCESS; });
  if (rc == ERROR_SUCCESS) return true;
  if (error)
    *error = "cannot open the registry " + PrefixPath() + "/registry.db (error " + std::to_string(rc) + ")";
  return false;
}

}  // namespace tesk::win32::registry
