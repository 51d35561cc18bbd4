// The emulated registry over SQLite: one database per hive, keys addressed by their folded path.
#include "zemir/platform/registry.h"

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <unordered_map>
#include <memory>
#include <mutex>
#include <thread>

#include "zemir/platform/prefix.h"

namespace zemir {

namespace {

constexpr std::int64_t kRootId = 1;

// Owns a prepared statement; resets it on every use so it can be reused.
struct Stmt {
  sqlite3_stmt* s = nullptr;
  Stmt() = default;
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  ~Stmt() { sqlite3_finalize(s); }
};

class Hive {
 public:
  Hive(std::string path, std::string label) : path_(std::move(path)), label_(std::move(label)) {}
  ~Hive() {
    stmts_.clear();
    if (db_) sqlite3_close_v2(db_);
  }
  const std::string& label() const { return label_; }
  // Recursive, so that a thread holding a transaction (RegBeginTransaction) keeps the hive
  // across its calls while other threads wait.
  std::recursive_mutex& mutex() { return mu_; }
  // Whether a transaction is open on the connection (a batch, or a write in progress).
  bool InTransaction() const { return db_ && !sqlite3_get_autocommit(db_); }
  // The thread that holds a batch transaction, if any.
  std::thread::id batchOwner;

  // Opens the database on first use. Creates it (and the prefix folder) when missing and
  // writable; falls back to read-only when the process may not write it.
  LONG Ensure() {
    if (db_) return ERROR_SUCCESS;
    if (failed_) return ERROR_REGISTRY_IO_FAILED;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
      rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
      if (rc != SQLITE_OK) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return ERROR_REGISTRY_IO_FAILED;
      }
      readonly_ = true;
    } else {
      readonly_ = access(path_.c_str(), W_OK) != 0;
    }
    static std::atomic<std::uint64_t> connections{0};
    serial_ = ++connections;
    sqlite3_busy_timeout(db_, 15000);
    if (!readonly_) {
      // WAL lets readers run beside a writer; NORMAL sync keeps a committed write across
      // the death of the writing process (not across a power cut).
      Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=NORMAL");
      if (!Exec("BEGIN IMMEDIATE") ||
          !Exec("CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
                " name TEXT NOT NULL, lpath TEXT NOT NULL UNIQUE, path TEXT NOT NULL)") ||
          !Exec("CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL, lname TEXT NOT NULL,"
                " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, lname))") ||
          !Exec("INSERT OR IGNORE INTO keys(id, parent, name, lpath, path) VALUES(1, 0, '', '', '')") || !Exec("COMMIT")) {
        Exec("ROLLBACK");
        sqlite3_close_v2(db_);
        db_ = nullptr;
        failed_ = true;
        return ERROR_REGISTRY_IO_FAILED;
      }
    }
    return ERROR_SUCCESS;
  }

  bool readonly() const { return readonly_; }

  bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

  // A cached prepared statement, reset and with its bindings cleared. It stays in use until
  // the call that asked for it ends (HiveLock), then it is reset again.
  sqlite3_stmt* Prep(const char* sql) {
    auto& st = stmts_[sql];
    if (!st) {
      st = std::make_unique<Stmt>();
      if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st->s, nullptr) != SQLITE_OK) {
        st.reset();
        return nullptr;
      }
    }
    sqlite3_reset(st->s);
    sqlite3_clear_bindings(st->s);
    used_.push_back(st->s);
    return st->s;
  }

  // Rows changed through this connection so far (commits of this process).
  std::int64_t TotalChanges() const { return db_ ? sqlite3_total_changes64(db_) : 0; }
  // Tells connections apart: counters of a connection opened anew start over.
  std::uint64_t ConnectionSerial() const { return serial_; }

  // Resets the statements the current call used. A statement left on a row keeps its read
  // transaction open: the connection would go on reading an old snapshot, and its next write
  // could not upgrade that snapshot and would fail at once with SQLITE_BUSY.
  void ReleaseStatements() {
    for (sqlite3_stmt* s : used_) sqlite3_reset(s);
    used_.clear();
  }

  // The id of the key with this folded path, or -1 (missing) / -2 (error); `path` receives
  // the key's path with the case it was created with.
  std::int64_t FindKey(const std::string& lpath, std::string* path = nullptr) {
    if (lpath.empty()) {
      if (path) path->clear();
      return kRootId;
    }
    sqlite3_stmt* s = Prep("SELECT id, path FROM keys WHERE lpath=?1");
    if (!s) return -2;
    sqlite3_bind_text(s, 1, lpath.data(), static_cast<int>(lpath.size()), SQLITE_STATIC);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      if (path) path->assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)), sqlite3_column_bytes(s, 1));
      return sqlite3_column_int64(s, 0);
    }
    return rc == SQLITE_DONE ? -1 : -2;
  }

  // The database's change counter as this connection's current read or write transaction
  // sees it: it moves with every commit, by this connection or any other process.
  unsigned DataVersion() {
    unsigned v = 0;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &v);
    return v;
  }

  // Key lookups of read-only opens, valid for one data version: a key that another process
  // deletes or recreates changes the version, and the entries made before are dropped.
  struct CachedKey {
    std::int64_t id;
    std::string path;
  };
  const CachedKey* Cached(const std::string& lpath, unsigned& version) {
    auto it = cache_.find(lpath);
    if (it == cache_.end()) return nullptr;
    version = cacheVersion_;
    return &it->second;
  }
  // Records a lookup made in a transaction that saw `version`.
  void Remember(const std::string& lpath, std::int64_t id, const std::string& path, unsigned version) {
    if (version != cacheVersion_ || cache_.size() >= 4096) {
      cache_.clear();
      cacheVersion_ = version;
    }
    cache_[lpath] = CachedKey{id, path};
  }

  void Forget() { cache_.clear(); }

  bool KeyExists(std::int64_t id) {
    if (id == kRootId) return true;
    sqlite3_stmt* s = Prep("SELECT 1 FROM keys WHERE id=?1");
    if (!s) return false;
    sqlite3_bind_int64(s, 1, id);
    return sqlite3_step(s) == SQLITE_ROW;
  }

 private:
  std::string path_;
  std::string label_;
  sqlite3* db_ = nullptr;
  bool readonly_ = false;
  bool failed_ = false;
  std::recursive_mutex mu_;
  std::map<std::string, std::unique_ptr<Stmt>> stmts_;
  std::vector<sqlite3_stmt*> used_;
  std::uint64_t serial_ = 0;
  std::unordered_map<std::string, CachedKey> cache_;
  unsigned cacheVersion_ = 0;
};

// Holds a hive for one call and resets the statements the call used when it ends.
class HiveLock {
 public:
  explicit HiveLock(Hive& h) : h_(h) { h_.mutex().lock(); }
  ~HiveLock() {
    h_.ReleaseStatements();
    h_.mutex().unlock();
  }
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;

 private:
  Hive& h_;
};

// An immediate write transaction, rolled back unless committed. Inside a batch transaction
// it is a savepoint, so a failed call undoes its own changes and leaves the batch's.
class Txn {
 public:
  explicit Txn(Hive& h)
      : h_(h), nested_(h.InTransaction()), ok_(h.Exec(nested_ ? "SAVEPOINT regcall" : "BEGIN IMMEDIATE")) {}
  ~Txn() {
    if (ok_ && !done_) Undo();
  }
  bool ok() const { return ok_; }
  int Commit() {
    done_ = true;
    if (h_.Exec(nested_ ? "RELEASE regcall" : "COMMIT")) return SQLITE_OK;
    Undo();
    return SQLITE_ERROR;
  }

 private:
  void Undo() {
    if (nested_) {
      h_.Exec("ROLLBACK TO regcall");
      h_.Exec("RELEASE regcall");
    } else {
      h_.Exec("ROLLBACK");
    }
  }
  Hive& h_;
  bool nested_;
  bool ok_;
  bool done_ = false;
};

// What the prefix and the user's hive are derived from; while it stays the same, so do the
// database paths, and the hives found last are used again without building paths.
struct HiveContext {
  std::string prefixEnv, xdg, home;
  uid_t uid = 0;
  bool set = false;
  static bool Same(const std::string& kept, const char* env) { return kept == (env ? env : ""); }
  bool IsCurrent() const {
    return set && uid == geteuid() && Same(prefixEnv, std::getenv("ZEMIR_PREFIX")) &&
           Same(xdg, std::getenv("XDG_DATA_HOME")) && Same(home, std::getenv("HOME"));
  }
  static HiveContext Now() {
    HiveContext c;
    if (const char* p = std::getenv("ZEMIR_PREFIX")) c.prefixEnv = p;
    if (const char* p = std::getenv("XDG_DATA_HOME")) c.xdg = p;
    if (const char* p = std::getenv("HOME")) c.home = p;
    c.uid = geteuid();
    c.set = true;
    return c;
  }
};

struct Hives {
  std::mutex mu;
  std::map<std::string, std::unique_ptr<Hive>> open;  // by database path
  // The hives of the current prefix and user (see HiveFor).
  HiveContext context;
  Hive* machine = nullptr;
  Hive* user = nullptr;
};

Hives& AllHives() {
  static Hives* h = new Hives;  // lives to the end of the process, past static destructors
  return *h;
}

Hive* HiveFor(HKEY root) {
  bool machine = root == HKEY_LOCAL_MACHINE;
  if (!machine && root != HKEY_CURRENT_USER) return nullptr;
  auto& hs = AllHives();
  std::lock_guard lk(hs.mu);
  if (!hs.machine || !hs.context.IsCurrent()) {
    auto dir = platform::Prefix() / "registry";
    std::string files[2] = {(dir / "HKLM.db").string(),
                            (dir / ("HKCU-" + platform::CurrentUserName() + ".db")).string()};
    const char* labels[2] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};
    Hive* found[2];
    for (int i = 0; i < 2; ++i) {
      auto& h = hs.open[files[i]];
      if (!h) h = std::make_unique<Hive>(files[i], labels[i]);
      found[i] = h.get();
    }
    hs.machine = found[0];
    hs.user = found[1];
    hs.context = HiveContext::Now();
  }
  return machine ? hs.machine : hs.user;
}

// Splits a subkey path into its non-empty components.
std::vector<std::string> Components(const char* subkey) {
  std::vector<std::string> out;
  if (!subkey) return out;
  std::string cur;
  for (const char* p = subkey; *p; ++p) {
    if (*p == '\\') {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur.push_back(*p);
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

std::string Join(const std::vector<std::string>& parts, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s.push_back('\\');
    s += parts[i];
  }
  return s;
}

constexpr REGSAM kWriteBits = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE_ACCESS;

}  // namespace

struct HKEY__ {
  Hive* hive;
  std::int64_t id;
  REGSAM sam;
  std::string path;   // as created, for RegKeyPath
  std::string lpath;  // folded
  // A read-only open served from the key cache: `id` holds while the database's data version
  // is still `version`; the first use checks that (Bind, or the value query itself).
  bool unverified = false;
  unsigned version = 0;
};

namespace {

bool IsRoot(HKEY k) { return k == HKEY_LOCAL_MACHINE || k == HKEY_CURRENT_USER; }

// Resolves (root, subkey) into the hive, the base path and the components below it.
LONG Resolve(HKEY root, const char* subkey, Hive*& hive, std::string& path, std::string& lpath) {
  if (!root) return ERROR_INVALID_HANDLE;
  std::string basePath, baseLpath;
  if (IsRoot(root)) {
    hive = HiveFor(root);
  } else {
    hive = root->hive;
    basePath = root->path;
    baseLpath = root->lpath;
  }
  if (!hive) return ERROR_INVALID_HANDLE;
  auto parts = Components(subkey);
  path = basePath;
  for (auto& p : parts) {
    if (!path.empty()) path.push_back('\\');
    path += p;
  }
  lpath = RegFoldCase(path);
  return ERROR_SUCCESS;
}

}  // namespace

std::string RegFoldCase(const std::string& s) {
  std::string r(s);
  for (auto& c : r) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') c = static_cast<char>(u + 32);
    else if (u >= 0xC0 && u <= 0xDE && u != 0xD7) c = static_cast<char>(u + 32);
  }
  return r;
}

LONG RegOpenKeyExA(HKEY root, const char* subkey, DWORD, REGSAM sam, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Hive* hive;
  std::string path, lpath;
  if (LONG rc = Resolve(root, subkey, hive, path, lpath)) return rc;
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  if ((sam & kWriteBits) && hive->readonly()) return ERROR_ACCESS_DENIED;
  bool readOnly = !(sam & kWriteBits) && !lpath.empty();
  if (readOnly && !hive->InTransaction()) {
    // Reads are the hot path: a key found before is not looked up again here; the value
    // query checks in its own transaction that nothing changed since.
    unsigned version = 0;
    if (const Hive::CachedKey* c = hive->Cached(lpath, version)) {
      *result = new HKEY__{hive, c->id, sam, c->path, lpath, true, version};
      return ERROR_SUCCESS;
    }
  }
  std::int64_t id = hive->FindKey(lpath, &path);
  if (id == -1) return ERROR_FILE_NOT_FOUND;
  if (id < 0) return ERROR_REGISTRY_IO_FAILED;
  // Still inside the lookup's read transaction: the version it saw.
  if (readOnly && !hive->InTransaction()) hive->Remember(lpath, id, path, hive->DataVersion());
  *result = new HKEY__{hive, id, sam, path, lpath};
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY root, const char* subkey, REGSAM sam, PHKEY result, DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Hive* hive;
  std::string path, lpath;
  if (LONG rc = Resolve(root, subkey, hive, path, lpath)) return rc;
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  std::int64_t id = hive->FindKey(lpath, &path);
  if (id >= 0) {
    if ((sam & kWriteBits) && hive->readonly()) return ERROR_ACCESS_DENIED;
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    *result = new HKEY__{hive, id, sam, path, lpath};
    return ERROR_SUCCESS;
  }
  if (id == -2) return ERROR_REGISTRY_IO_FAILED;
  if (hive->readonly()) return ERROR_ACCESS_DENIED;
  Txn txn(*hive);
  if (!txn.ok()) return ERROR_REGISTRY_IO_FAILED;
  // Walk down from the root, adding each missing component under its parent.
  auto parts = Components(path.c_str());
  std::int64_t parent = kRootId;
  bool created = false;
  std::string cased;  // the path with each existing key's own case
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string lp = RegFoldCase(Join(parts, i + 1));
    std::string existing;
    std::int64_t cur = hive->FindKey(lp, &existing);
    if (cur == -2) return ERROR_REGISTRY_IO_FAILED;
    if (cur == -1) {
      existing = cased.empty() ? parts[i] : cased + "\\" + parts[i];
      sqlite3_stmt* s = hive->Prep("INSERT INTO keys(parent, name, lpath, path) VALUES(?1, ?2, ?3, ?4)");
      if (!s) return ERROR_REGISTRY_IO_FAILED;
      sqlite3_bind_int64(s, 1, parent);
      sqlite3_bind_text(s, 2, parts[i].data(), static_cast<int>(parts[i].size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 3, lp.data(), static_cast<int>(lp.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 4, existing.data(), static_cast<int>(existing.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(s) != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
      cur = sqlite3_last_insert_rowid(sqlite3_db_handle(s));
      created = true;
    }
    cased = existing;
    parent = cur;
  }
  if (txn.Commit() != SQLITE_OK) return ERROR_REGISTRY_IO_FAILED;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = new HKEY__{hive, parent, sam, cased, lpath};
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (!key) return ERROR_INVALID_HANDLE;
  if (IsRoot(key)) return ERROR_SUCCESS;
  delete key;
  return ERROR_SUCCESS;
}

namespace {

// Gives an open handle for `key`, opening the root itself when a predefined root is passed.
struct Handle {
  HKEY k = nullptr;
  bool owned = false;
  LONG rc = ERROR_SUCCESS;
  explicit Handle(HKEY key, REGSAM sam) {
    if (IsRoot(key)) {
      rc = RegOpenKeyExA(key, nullptr, 0, sam, &k);
      owned = rc == ERROR_SUCCESS;
    } else if (!key) {
      rc = ERROR_INVALID_HANDLE;
    } else {
      k = key;
    }
  }
  ~Handle() {
    if (owned) RegCloseKey(k);
  }
};

// Makes a handle served from the key cache definite, looking its key up again. Called with
// the hive held.
LONG Bind(HKEY k) {
  if (!k->unverified) return ERROR_SUCCESS;
  Hive* hive = k->hive;
  std::string path;
  std::int64_t id = hive->FindKey(k->lpath, &path);
  if (id == -1) hive->Forget();
  if (id == -1) return ERROR_KEY_DELETED;
  if (id < 0) return ERROR_REGISTRY_IO_FAILED;
  // Still inside the lookup's read transaction: refresh the cache with what it saw.
  if (!hive->InTransaction()) hive->Remember(k->lpath, id, path, hive->DataVersion());
  k->id = id;
  k->unverified = false;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegQueryValueExA(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* cb) {
  if (data && !cb) return ERROR_INVALID_PARAMETER;
  Handle h(key, KEY_QUERY_VALUE);
  if (h.rc) return h.rc;
  Hive* hive = h.k->hive;
  std::string lname = RegFoldCase(name ? name : "");
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  const char* sql = "SELECT type, data FROM vals WHERE key=?1 AND lname=?2";
  sqlite3_stmt* s = hive->Prep(sql);
  if (!s) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_bind_int64(s, 1, h.k->id);
  sqlite3_bind_text(s, 2, lname.data(), static_cast<int>(lname.size()), SQLITE_STATIC);
  int rc = sqlite3_step(s);
  if (h.k->unverified && (rc == SQLITE_ROW || rc == SQLITE_DONE)) {
    // A key id from the cache holds when the snapshot this query read is the one the id was
    // looked up in; otherwise look the key up again and repeat the query.
    if (hive->DataVersion() == h.k->version) {
      h.k->unverified = false;
    } else {
      sqlite3_reset(s);
      if (LONG r = Bind(h.k)) return r;
      s = hive->Prep(sql);
      if (!s) return ERROR_REGISTRY_IO_FAILED;
      sqlite3_bind_int64(s, 1, h.k->id);
      sqlite3_bind_text(s, 2, lname.data(), static_cast<int>(lname.size()), SQLITE_STATIC);
      rc = sqlite3_step(s);
    }
  }
  if (rc != SQLITE_ROW) {
    if (rc != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
    return hive->KeyExists(h.k->id) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  }
  DWORD t = static_cast<DWORD>(sqlite3_column_int64(s, 0));
  const void* blob = sqlite3_column_blob(s, 1);
  DWORD size = static_cast<DWORD>(sqlite3_column_bytes(s, 1));
  if (type) *type = t;
  if (!data) {
    if (cb) *cb = size;
    return ERROR_SUCCESS;
  }
  if (*cb < size) {
    *cb = size;
    return ERROR_MORE_DATA;
  }
  if (size) std::memcpy(data, blob, size);
  *cb = size;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD type, const BYTE* data, DWORD cb) {
  if (!data && cb) return ERROR_INVALID_PARAMETER;
  Handle h(key, KEY_SET_VALUE);
  if (h.rc) return h.rc;
  if (!IsRoot(key) && !(h.k->sam & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  Hive* hive = h.k->hive;
  std::string nm = name ? name : "";
  std::string lname = RegFoldCase(nm);
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  if (hive->readonly()) return ERROR_ACCESS_DENIED;
  // An immediate transaction waits for other writers through the busy timeout; an
  // autocommit statement in WAL mode could instead fail at once when another process
  // committed between its read and its write.
  Txn txn(*hive);
  if (!txn.ok()) return ERROR_REGISTRY_IO_FAILED;
  if (!hive->KeyExists(h.k->id)) return ERROR_KEY_DELETED;
  sqlite3_stmt* s = hive->Prep(
      "INSERT INTO vals(key, name, lname, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
      " ON CONFLICT(key, lname) DO UPDATE SET type=excluded.type, data=excluded.data");
  if (!s) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_bind_int64(s, 1, h.k->id);
  sqlite3_bind_text(s, 2, nm.data(), static_cast<int>(nm.size()), SQLITE_STATIC);
  sqlite3_bind_text(s, 3, lname.data(), static_cast<int>(lname.size()), SQLITE_STATIC);
  sqlite3_bind_int64(s, 4, type);
  sqlite3_bind_blob(s, 5, cb ? data : reinterpret_cast<const BYTE*>(""), static_cast<int>(cb), SQLITE_STATIC);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) rc = txn.Commit();
  if (rc == SQLITE_DONE || rc == SQLITE_OK) return ERROR_SUCCESS;
  if (rc == SQLITE_FULL) return ERROR_DISK_FULL;
  if (rc == SQLITE_READONLY) return ERROR_ACCESS_DENIED;
  return ERROR_REGISTRY_IO_FAILED;
}

LONG RegDeleteValueA(HKEY key, const char* name) {
  Handle h(key, KEY_SET_VALUE);
  if (h.rc) return h.rc;
  if (!IsRoot(key) && !(h.k->sam & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  Hive* hive = h.k->hive;
  std::string lname = RegFoldCase(name ? name : "");
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  if (hive->readonly()) return ERROR_ACCESS_DENIED;
  Txn txn(*hive);
  if (!txn.ok()) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_stmt* s = hive->Prep("DELETE FROM vals WHERE key=?1 AND lname=?2");
  if (!s) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_bind_int64(s, 1, h.k->id);
  sqlite3_bind_text(s, 2, lname.data(), static_cast<int>(lname.size()), SQLITE_STATIC);
  if (sqlite3_step(s) != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
  bool deleted = sqlite3_changes(sqlite3_db_handle(s)) > 0;
  if (txn.Commit() != SQLITE_OK) return ERROR_REGISTRY_IO_FAILED;
  return deleted ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegDeleteTreeA(HKEY key, const char* subkey) {
  Hive* hive;
  std::string path, lpath;
  if (LONG rc = Resolve(key, subkey, hive, path, lpath)) return rc;
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  if (hive->readonly()) return ERROR_ACCESS_DENIED;
  std::int64_t id = hive->FindKey(lpath);
  if (id == -1) return ERROR_FILE_NOT_FOUND;
  if (id < 0) return ERROR_REGISTRY_IO_FAILED;
  bool keepKey = (subkey == nullptr) || id == kRootId;
  // Every key below `lpath` has a folded path that starts with lpath + "\"; with '\' being
  // 0x5C, those paths sort between lpath+"\" and lpath+"]".
  std::string lo = lpath.empty() ? std::string() : lpath + "\\";
  std::string hi = lpath.empty() ? std::string("\xff\xff") : lpath + "]";
  Txn txn(*hive);
  if (!txn.ok()) return ERROR_REGISTRY_IO_FAILED;
  bool ok = true;
  const char* sqls[] = {
      "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE lpath>?1 AND lpath<?2 AND id<>1)",
      "DELETE FROM keys WHERE lpath>?1 AND lpath<?2 AND id<>1",
  };
  for (const char* sql : sqls) {
    sqlite3_stmt* s = hive->Prep(sql);
    if (!s) { ok = false; break; }
    sqlite3_bind_text(s, 1, lo.data(), static_cast<int>(lo.size()), SQLITE_STATIC);
    sqlite3_bind_text(s, 2, hi.data(), static_cast<int>(hi.size()), SQLITE_STATIC);
    if (sqlite3_step(s) != SQLITE_DONE) { ok = false; break; }
  }
  if (ok) {
    sqlite3_stmt* s = hive->Prep("DELETE FROM vals WHERE key=?1");
    ok = s && (sqlite3_bind_int64(s, 1, id), sqlite3_step(s) == SQLITE_DONE);
  }
  if (ok && !keepKey) {
    sqlite3_stmt* s = hive->Prep("DELETE FROM keys WHERE id=?1");
    ok = s && (sqlite3_bind_int64(s, 1, id), sqlite3_step(s) == SQLITE_DONE);
  }
  if (!ok || txn.Commit() != SQLITE_OK) return ERROR_REGISTRY_IO_FAILED;
  // Keys this process deleted no longer open from the lookup cache. (A key deleted by another
  // process may still open from it until the next value query notices the change.)
  hive->Forget();
  return ERROR_SUCCESS;
}

bool RegChangeStamp(HKEY root, std::uint64_t& stamp) {
  Hive* hive = IsRoot(root) ? HiveFor(root) : nullptr;
  if (!hive) return false;
  HiveLock lk(*hive);
  if (hive->Ensure()) return false;
  // "PRAGMA data_version" moves with commits of other connections (other processes), the
  // connection's change count with its own.
  sqlite3_stmt* s = hive->Prep("PRAGMA data_version");
  if (!s || sqlite3_step(s) != SQLITE_ROW) return false;
  std::uint64_t h = hive->ConnectionSerial();
  h = h * 1000003u ^ static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
  h = h * 1000003u ^ static_cast<std::uint64_t>(hive->TotalChanges());
  stamp = h;
  return true;
}

LONG RegBeginTransaction(HKEY root) {
  Hive* hive = IsRoot(root) ? HiveFor(root) : nullptr;
  if (!hive) return ERROR_INVALID_HANDLE;
  // The lock taken here is held until RegEndTransaction, so that no other thread's
  // statements land inside this transaction.
  std::unique_lock lk(hive->mutex());
  if (LONG rc = hive->Ensure()) return rc;
  if (hive->readonly()) return ERROR_ACCESS_DENIED;
  if (hive->InTransaction()) return ERROR_INVALID_PARAMETER;  // no nesting
  if (!hive->Exec("BEGIN IMMEDIATE")) return ERROR_REGISTRY_IO_FAILED;
  hive->batchOwner = std::this_thread::get_id();
  lk.release();
  return ERROR_SUCCESS;
}

LONG RegEndTransaction(HKEY root, bool commit) {
  Hive* hive = IsRoot(root) ? HiveFor(root) : nullptr;
  if (!hive) return ERROR_INVALID_HANDLE;
  HiveLock lk(*hive);
  if (hive->batchOwner != std::this_thread::get_id() || !hive->InTransaction()) return ERROR_INVALID_PARAMETER;
  LONG rc = ERROR_SUCCESS;
  if (commit && !hive->Exec("COMMIT")) rc = ERROR_REGISTRY_IO_FAILED;
  if (!commit || rc != ERROR_SUCCESS) hive->Exec("ROLLBACK");
  hive->batchOwner = std::thread::id();
  hive->mutex().unlock();  // the lock taken by RegBeginTransaction
  return rc;
}

namespace {

LONG CopyName(const std::string& n, char* name, DWORD* cchName) {
  if (!name || !cchName) return ERROR_INVALID_PARAMETER;
  if (*cchName < n.size() + 1) {
    *cchName = static_cast<DWORD>(n.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(name, n.c_str(), n.size() + 1);
  *cchName = static_cast<DWORD>(n.size());
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* cchName, DWORD* type, BYTE* data, DWORD* cb) {
  Handle h(key, KEY_QUERY_VALUE);
  if (h.rc) return h.rc;
  Hive* hive = h.k->hive;
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  if (LONG rc = Bind(h.k)) return rc;
  sqlite3_stmt* s = hive->Prep("SELECT name, type, data FROM vals WHERE key=?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
  if (!s) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_bind_int64(s, 1, h.k->id);
  sqlite3_bind_int64(s, 2, index);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
  std::string n(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), sqlite3_column_bytes(s, 0));
  if (LONG r = CopyName(n, name, cchName)) return r;
  if (type) *type = static_cast<DWORD>(sqlite3_column_int64(s, 1));
  DWORD size = static_cast<DWORD>(sqlite3_column_bytes(s, 2));
  if (cb) {
    if (data) {
      if (*cb < size) {
        *cb = size;
        return ERROR_MORE_DATA;
      }
      if (size) std::memcpy(data, sqlite3_column_blob(s, 2), size);
    }
    *cb = size;
  }
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* cchName) {
  Handle h(key, KEY_ENUMERATE_SUB_KEYS);
  if (h.rc) return h.rc;
  Hive* hive = h.k->hive;
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  if (LONG rc = Bind(h.k)) return rc;
  sqlite3_stmt* s = hive->Prep("SELECT name FROM keys WHERE parent=?1 AND id<>1 ORDER BY lpath LIMIT 1 OFFSET ?2");
  if (!s) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_bind_int64(s, 1, h.k->id);
  sqlite3_bind_int64(s, 2, index);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
  std::string n(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), sqlite3_column_bytes(s, 0));
  return CopyName(n, name, cchName);
}

LONG RegListValues(HKEY key, std::vector<RegValue>& out) {
  out.clear();
  Handle h(key, KEY_QUERY_VALUE);
  if (h.rc) return h.rc;
  Hive* hive = h.k->hive;
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  if (LONG rc = Bind(h.k)) return rc;
  sqlite3_stmt* s = hive->Prep("SELECT name, type, data FROM vals WHERE key=?1 ORDER BY rowid");
  if (!s) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_bind_int64(s, 1, h.k->id);
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    RegValue v;
    v.name.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), sqlite3_column_bytes(s, 0));
    v.type = static_cast<DWORD>(sqlite3_column_int64(s, 1));
    auto* p = static_cast<const BYTE*>(sqlite3_column_blob(s, 2));
    v.data.assign(p, p + sqlite3_column_bytes(s, 2));
    out.push_back(std::move(v));
  }
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

LONG RegListSubkeys(HKEY key, std::vector<std::string>& out) {
  out.clear();
  Handle h(key, KEY_ENUMERATE_SUB_KEYS);
  if (h.rc) return h.rc;
  Hive* hive = h.k->hive;
  HiveLock lk(*hive);
  if (LONG rc = hive->Ensure()) return rc;
  if (LONG rc = Bind(h.k)) return rc;
  sqlite3_stmt* s = hive->Prep("SELECT name FROM keys WHERE parent=?1 AND id<>1 ORDER BY lpath");
  if (!s) return ERROR_REGISTRY_IO_FAILED;
  sqlite3_bind_int64(s, 1, h.k->id);
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW)
    out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), sqlite3_column_bytes(s, 0));
  return rc == SQLITE_DONE ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

std::string RegKeyPath(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  if (!key) return {};
  std::string p = key->hive->label();
  if (!key->path.empty()) p += "\\" + key->path;
  return p;
}

bool RegSplitPath(const std::string& full, HKEY& root, std::string& subkey) {
  auto slash = full.find('\\');
  std::string head = RegFoldCase(full.substr(0, slash));
  subkey = slash == std::string::npos ? std::string() : full.substr(slash + 1);
  if (head == "hkey_local_machine" || head == "hklm") root = HKEY_LOCAL_MACHINE;
  else if (head == "hkey_current_user" || head == "hkcu") root = HKEY_CURRENT_USER;
  else return false;
  return true;
}

void RegResetConnections() {
  auto& hs = AllHives();
  std::lock_guard lk(hs.mu);
  hs.machine = hs.user = nullptr;
  hs.context = HiveContext();
  hs.open.clear();
}

}  // namespace zemir
