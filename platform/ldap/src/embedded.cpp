// The embedded directory store: entries keyed by normalised DN in one SQLite database, shared
// safely by several processes (WAL, busy timeout, immediate write transactions).
#include "embedded.h"

#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <map>

#include "filter.h"

namespace zemir::platform {

namespace {

using filter::Fold;

std::string StoredLower(const std::string& lname, const std::string& value) {
  return filter::IsDnAttribute(lname) ? NormalizeDn(value) : Fold(value);
}

bool AllDcComponents(const std::string& dn) {
  auto rdns = SplitDn(dn);
  if (rdns.empty()) return false;
  for (const auto& r : rdns)
    if (r.size() < 4 || Fold(r.substr(0, 3)) != "dc=") return false;
  return true;
}

std::string NowGeneralized() {
  time_t t = time(nullptr);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
  return buf;
}

// A cached prepared statement in use: reset and unbound when the use ends.
class Statement {
 public:
  explicit Statement(sqlite3_stmt* s) : s_(s) {}
  ~Statement() {
    if (s_) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return s_ != nullptr; }
  sqlite3_stmt* get() { return s_; }
  void Bind(int i, const std::string& v) { sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
  void Bind(int i, sqlite3_int64 v) { sqlite3_bind_int64(s_, i, v); }
  int Step() { return s_ ? sqlite3_step(s_) : SQLITE_MISUSE; }
  std::string Text(int i) {
    const unsigned char* t = sqlite3_column_text(s_, i);
    return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(s_, i)) : std::string();
  }
  sqlite3_int64 Int(int i) { return sqlite3_column_int64(s_, i); }

 private:
  sqlite3_stmt* s_ = nullptr;
};

class Embedded final : public Directory {
 public:
  ~Embedded() override {
    for (auto& [sql, st] : cache_) sqlite3_finalize(st);
    if (db_) sqlite3_close_v2(db_);
  }

  int Open(const std::string& path) {
    uri_ = "sqlite:" + path;
    std::error_code ec;
    auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
      std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
      return Fail(ldapcode::kUnavailable, "cannot open the directory store " + path + ": " + msg);
    }
    sqlite3_busy_timeout(db_, 15000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    if (!Exec("BEGIN IMMEDIATE")) return SqlFail("cannot open the directory store " + path);
    bool ok = Exec("CREATE TABLE IF NOT EXISTS objects(id INTEGER PRIMARY KEY AUTOINCREMENT, ndn TEXT NOT NULL UNIQUE,"
                   " dn TEXT NOT NULL, parent TEXT NOT NULL, created TEXT NOT NULL)") &&
              Exec("CREATE INDEX IF NOT EXISTS objects_parent ON objects(parent, id)") &&
              Exec("CREATE TABLE IF NOT EXISTS attrs(obj INTEGER NOT NULL, name TEXT NOT NULL, lname TEXT NOT NULL,"
                   " value TEXT NOT NULL, lvalue TEXT NOT NULL)") &&
              Exec("CREATE INDEX IF NOT EXISTS attrs_obj ON attrs(obj)") &&
              Exec("CREATE INDEX IF NOT EXISTS attrs_val ON attrs(lname, lvalue)");
    if (!ok) {
      int rc = SqlFail("cannot set up the directory store " + path);
      Exec("ROLLBACK");
      return rc;
    }
    if (!Exec("COMMIT")) return SqlFail("cannot set up the directory store " + path);
    return Ok();
  }

  bool IsEmbedded() const override { return true; }

  int Search(const std::string& base, Scope scope, const std::string& filterText, const std::vector<std::string>& attrs,
             std::vector<Entry>& out, int sizeLimit) override {
    out.clear();
    auto f = filter::Parse(filterText);
    if (!f) return Fail(ldapcode::kFilterError, "bad search filter " + filterText);
    std::string nbase = NormalizeDn(base);
    if (!Exists(nbase)) return Fail(ldapcode::kNoSuchObject, "no such object " + base);

    std::string where;
    switch (scope) {
      case Scope::Base: where = "o.ndn=?1"; break;
      case Scope::OneLevel: where = "o.parent=?1"; break;
      case Scope::Subtree: where = "(o.ndn=?1 OR (length(o.ndn)>?2 AND substr(o.ndn,-?2)=?3))"; break;
    }
    std::string eqAttr, eqValue;
    bool narrowed = filter::RequiredEquality(*f, &eqAttr, &eqValue);
    if (narrowed) where += " AND o.id IN (SELECT obj FROM attrs WHERE lname=?4 AND lvalue=?5)";
    std::string sql = "SELECT o.id, o.dn, o.created, a.name, a.value FROM objects o LEFT JOIN attrs a ON a.obj=o.id WHERE " +
                      where + " ORDER BY o.id, a.rowid";
    Statement st(Prep(sql.c_str()));
    if (!st.ok()) return SqlFail("search " + base);
    st.Bind(1, nbase);
    if (scope == Scope::Subtree) {
      st.Bind(2, static_cast<sqlite3_int64>(nbase.size() + 1));
      st.Bind(3, "," + nbase);
    }
    if (narrowed) {
      st.Bind(4, eqAttr);
      st.Bind(5, eqValue);
    }
    bool wantAll = attrs.empty();
    bool wantOperational = false;
    std::vector<std::string> named;
    for (const auto& a : attrs) {
      if (a == "*") wantAll = true;
      else if (a == "+") wantOperational = true;
      else named.push_back(Fold(a));
    }
    auto wanted = [&](const std::string& lname) {
      for (const auto& n : named)
        if (n == lname) return true;
      return false;
    };
    bool filterNeedsMemberOf = Fold(filterText).find("memberof") != std::string::npos;
    bool needMemberOf = filterNeedsMemberOf || wanted("memberof") || wantOperational;

    sqlite3_int64 current = -1;
    Entry e;
    std::string created;
    auto finish = [&]() -> bool {
      if (current < 0) return true;
      AddVirtual(e, current, created, needMemberOf);
      if (filter::Matches(*f, e)) {
        if (!wantAll || !named.empty()) Project(e, wantAll, wantOperational, named);
        out.push_back(std::move(e));
        if (sizeLimit > 0 && static_cast<int>(out.size()) >= sizeLimit) return false;
      }
      e = Entry();
      return true;
    };
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      sqlite3_int64 id = st.Int(0);
      if (id != current) {
        if (!finish()) return Fail(ldapcode::kSizeLimitExceeded, "size limit exceeded");
        current = id;
        e.dn = st.Text(1);
        created = st.Text(2);
      }
      if (sqlite3_column_type(st.get(), 3) != SQLITE_NULL) e.attrs[st.Text(3)].push_back(st.Text(4));
    }
    if (rc != SQLITE_DONE) return SqlFail("search " + base);
    if (!finish()) return Fail(ldapcode::kSizeLimitExceeded, "size limit exceeded");
    return Ok();
  }

  int Add(const std::string& dn, const Attributes& attrs) override {
    std::string ndn = NormalizeDn(dn);
    if (ndn.empty() || ndn.find('=') == std::string::npos) return Fail(ldapcode::kInvalidDnSyntax, "invalid DN " + dn);
    auto oc = attrs.find("objectClass");
    if (oc == attrs.end() || oc->second.empty())
      return Fail(ldapcode::kObjectClassViolation, "no object class given for " + dn);
    Txn t(this);
    if (!t.ok) return SqlFail("add " + dn);
    std::string parent = NormalizeDn(ParentDn(dn));
    if (!parent.empty() && !Exists(parent) && !AllDcComponents(dn))
      return Fail(ldapcode::kNoSuchObject, "no such object " + ParentDn(dn) + " (parent of " + dn + ")");
    if (Exists(ndn)) return Fail(ldapcode::kAlreadyExists, "already exists " + dn);
    Statement ins(Prep("INSERT INTO objects(ndn, dn, parent, created) VALUES(?1, ?2, ?3, ?4)"));
    ins.Bind(1, ndn);
    ins.Bind(2, dn);
    ins.Bind(3, AllDcComponents(dn) && !Exists(parent) ? std::string() : parent);
    ins.Bind(4, NowGeneralized());
    if (ins.Step() != SQLITE_DONE) return SqlFail("add " + dn);
    sqlite3_int64 id = sqlite3_last_insert_rowid(db_);
    Attributes all = attrs;
    // The naming attribute holds the RDN's value, as a server keeps it.
    auto rdns = SplitDn(dn);
    size_t eq = rdns.front().find('=');
    if (eq != std::string::npos) {
      std::string type = rdns.front().substr(0, eq), value = rdns.front().substr(eq + 1);
      auto& vals = all[type];
      bool has = false;
      for (const auto& v : vals) has = has || Fold(v) == Fold(value);
      if (!has) vals.push_back(value);
    }
    for (const auto& [name, values] : all)
      for (const auto& v : values)
        if (!InsertValue(id, name, v)) return SqlFail("add " + dn);
    if (!t.Commit()) return SqlFail("add " + dn);
    return Ok();
  }

  int Modify(const std::string& dn, const std::vector<Modification>& mods) override {
    std::string ndn = NormalizeDn(dn);
    Txn t(this);
    if (!t.ok) return SqlFail("modify " + dn);
    sqlite3_int64 id = IdOf(ndn);
    if (id < 0) return Fail(ldapcode::kNoSuchObject, "no such object " + dn);
    for (const auto& m : mods) {
      std::string lname = Fold(m.attr);
      if (m.op == Modification::Replace || (m.op == Modification::Delete && m.values.empty())) {
        if (m.op == Modification::Delete && !HasAttr(id, lname))
          return Fail(ldapcode::kNoSuchAttribute, "no such attribute " + m.attr + " in " + dn);
        Statement del(Prep("DELETE FROM attrs WHERE obj=?1 AND lname=?2"));
        del.Bind(1, id);
        del.Bind(2, lname);
        if (del.Step() != SQLITE_DONE) return SqlFail("modify " + dn);
        if (m.op == Modification::Delete) continue;
      }
      for (const auto& v : m.values) {
        if (m.op == Modification::Delete) {
          Statement del(Prep("DELETE FROM attrs WHERE obj=?1 AND lname=?2 AND lvalue=?3"));
          del.Bind(1, id);
          del.Bind(2, lname);
          del.Bind(3, StoredLower(lname, v));
          if (del.Step() != SQLITE_DONE) return SqlFail("modify " + dn);
          if (sqlite3_changes(db_) == 0)
            return Fail(ldapcode::kNoSuchAttribute, "no such value of " + m.attr + " in " + dn);
          continue;
        }
        if (m.op == Modification::Add && HasValue(id, lname, StoredLower(lname, v)))
          return Fail(20, "value already in " + m.attr + " of " + dn);
        if (!InsertValue(id, m.attr, v)) return SqlFail("modify " + dn);
      }
    }
    if (!t.Commit()) return SqlFail("modify " + dn);
    return Ok();
  }

  int Delete(const std::string& dn) override {
    std::string ndn = NormalizeDn(dn);
    Txn t(this);
    if (!t.ok) return SqlFail("delete " + dn);
    sqlite3_int64 id = IdOf(ndn);
    if (id < 0) return Fail(ldapcode::kNoSuchObject, "no such object " + dn);
    Statement kids(Prep("SELECT 1 FROM objects WHERE parent=?1 LIMIT 1"));
    kids.Bind(1, ndn);
    if (kids.Step() == SQLITE_ROW) return Fail(ldapcode::kNotAllowedOnNonLeaf, dn + " still has child objects");
    Statement da(Prep("DELETE FROM attrs WHERE obj=?1"));
    da.Bind(1, id);
    Statement d(Prep("DELETE FROM objects WHERE id=?1"));
    d.Bind(1, id);
    if (da.Step() != SQLITE_DONE || d.Step() != SQLITE_DONE) return SqlFail("delete " + dn);
    if (!t.Commit()) return SqlFail("delete " + dn);
    return Ok();
  }

  int NamingContexts(std::vector<std::string>& out) override {
    out.clear();
    Statement st(Prep("SELECT dn FROM objects WHERE parent='' ORDER BY id"));
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) out.push_back(st.Text(0));
    if (rc != SQLITE_DONE) return SqlFail("naming contexts");
    return Ok();
  }

 private:
  struct Txn {
    explicit Txn(Embedded* e) : e(e), ok(e->Exec("BEGIN IMMEDIATE")) {}
    ~Txn() {
      if (ok && !done) e->Exec("ROLLBACK");
    }
    bool Commit() {
      done = true;
      if (e->Exec("COMMIT")) return true;
      e->Exec("ROLLBACK");
      return false;
    }
    Embedded* e;
    bool ok;
    bool done = false;
  };

  bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

  // A prepared statement from the cache (null when the SQL does not compile).
  sqlite3_stmt* Prep(const std::string& sql) {
    auto it = cache_.find(sql);
    if (it != cache_.end()) return it->second;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) return nullptr;
    cache_[sql] = st;
    return st;
  }

  int SqlFail(const std::string& what) {
    int ext = db_ ? sqlite3_errcode(db_) : SQLITE_ERROR;
    std::string msg = db_ ? sqlite3_errmsg(db_) : "no database";
    int code = (ext == SQLITE_BUSY || ext == SQLITE_LOCKED) ? ldapcode::kBusy : ldapcode::kOther;
    return Fail(code, "directory store error in " + what + ": " + msg);
  }

  sqlite3_int64 IdOf(const std::string& ndn) {
    Statement st(Prep("SELECT id FROM objects WHERE ndn=?1"));
    st.Bind(1, ndn);
    return st.Step() == SQLITE_ROW ? st.Int(0) : -1;
  }
  bool Exists(const std::string& ndn) { return IdOf(ndn) >= 0; }
  bool HasAttr(sqlite3_int64 id, const std::string& lname) {
    Statement st(Prep("SELECT 1 FROM attrs WHERE obj=?1 AND lname=?2 LIMIT 1"));
    st.Bind(1, id);
    st.Bind(2, lname);
    return st.Step() == SQLITE_ROW;
  }
  bool HasValue(sqlite3_int64 id, const std::string& lname, const std::string& lvalue) {
    Statement st(Prep("SELECT 1 FROM attrs WHERE obj=?1 AND lname=?2 AND lvalue=?3 LIMIT 1"));
    st.Bind(1, id);
    st.Bind(2, lname);
    st.Bind(3, lvalue);
    return st.Step() == SQLITE_ROW;
  }
  bool InsertValue(sqlite3_int64 id, const std::string& name, const std::string& value) {
    Statement st(Prep("INSERT INTO attrs(obj, name, lname, value, lvalue) VALUES(?1, ?2, ?3, ?4, ?5)"));
    std::string lname = Fold(name);
    st.Bind(1, id);
    st.Bind(2, name);
    st.Bind(3, lname);
    st.Bind(4, value);
    st.Bind(5, StoredLower(lname, value));
    return st.Step() == SQLITE_DONE;
  }

  // The attributes a directory server computes: creation time and order for every entry,
  // the entry's own name, and the groups that list it as a member.
  void AddVirtual(Entry& e, sqlite3_int64 id, const std::string& created, bool memberOf) {
    e.attrs["whenCreated"] = {created + ".0Z"};
    e.attrs["uSNCreated"] = {std::to_string(id)};
    e.attrs["createTimestamp"] = {created + "Z"};
    e.attrs["distinguishedName"] = {e.dn};
    if (memberOf) {
      Statement st(Prep("SELECT o.dn FROM attrs a JOIN objects o ON o.id=a.obj WHERE a.lname='member' AND a.lvalue=?1 ORDER BY o.id"));
      st.Bind(1, NormalizeDn(e.dn));
      std::vector<std::string> groups;
      while (st.Step() == SQLITE_ROW) groups.push_back(st.Text(0));
      if (!groups.empty()) e.attrs["memberOf"] = std::move(groups);
    }
  }

  static void Project(Entry& e, bool all, bool operational, const std::vector<std::string>& named) {
    static const char* kOperational[] = {"createtimestamp", "distinguishedname", "memberof"};
    for (auto it = e.attrs.begin(); it != e.attrs.end();) {
      std::string l = Fold(it->first);
      bool isOp = false;
      for (auto* o : kOperational) isOp = isOp || l == o;
      bool keep = (all && !isOp) || (operational && isOp);
      for (const auto& n : named) keep = keep || n == l;
      if (!keep) it = e.attrs.erase(it);
      else ++it;
    }
  }

  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> cache_;
};

}  // namespace

std::unique_ptr<Directory> OpenEmbeddedDirectory(const std::string& path, int* code, std::string* error) {
  auto d = std::make_unique<Embedded>();
  int rc = d->Open(path);
  if (rc != 0) {
    if (code) *code = rc;
    if (error) *error = d->LastError();
    return nullptr;
  }
  return d;
}

}  // namespace zemir::platform
