// The sharing-link store over SQLite.
#include "vireo/sharing_db.h"

#include <errno.h>
#include <sqlite3.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <memory>

namespace VIREO {
namespace sharing {
namespace db {

namespace {

#define SHARING_LOG(fmt, ...) \
  syslog(LOG_ERR, "%s:%d (%d) " fmt, __FILE__, __LINE__, static_cast<int>(getpid()), ##__VA_ARGS__)

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS entry ("
    " hash TEXT PRIMARY KEY, project_name TEXT NOT NULL, owner_uid INTEGER NOT NULL,"
    " app TEXT NOT NULL, enabled INTEGER NOT NULL, auto_gc INTEGER NOT NULL,"
    " enable_match_ip INTEGER NOT NULL, start_at TEXT NOT NULL, expire_at TEXT NOT NULL,"
    " expire_times INTEGER NOT NULL, use_count INTEGER NOT NULL DEFAULT 0,"
    " protect_type INTEGER NOT NULL, protect_title TEXT NOT NULL,"
    " protect_password TEXT NOT NULL, protect_users TEXT NOT NULL, protect_groups TEXT NOT NULL,"
    " redirect_type INTEGER NOT NULL, redirect_uri TEXT NOT NULL, created INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS token ("
    " token TEXT PRIMARY KEY, hash TEXT NOT NULL, uid INTEGER NOT NULL, ip TEXT NOT NULL,"
    " expires INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS token_hash ON token(hash);"
    "CREATE TABLE IF NOT EXISTS attempt ("
    " hash TEXT NOT NULL, ip TEXT NOT NULL, count INTEGER NOT NULL, last INTEGER NOT NULL,"
    " PRIMARY KEY (hash, ip));";

const char kEntryColumns[] =
    "hash, project_name, owner_uid, app, enabled, auto_gc, enable_match_ip, start_at, expire_at,"
    " expire_times, use_count, protect_type, protect_title, protect_password, protect_users,"
    " protect_groups, redirect_type, redirect_uri";

// Owns a prepared statement.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) {
    if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &_stmt, nullptr) != SQLITE_OK) {
      if (db != nullptr) SHARING_LOG("cannot prepare [%s]: %s", sql, sqlite3_errmsg(db));
      _stmt = nullptr;
    }
  }
  ~Stmt() { sqlite3_finalize(_stmt); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool Ok() const { return _stmt != nullptr; }
  sqlite3_stmt* Get() const { return _stmt; }
  void Bind(int i, const std::string& s) {
    sqlite3_bind_text(_stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
  }
  void Bind(int i, long long v) { sqlite3_bind_int64(_stmt, i, v); }
  int Step() { return sqlite3_step(_stmt); }
  std::string Text(int i) const {
    const unsigned char* t = sqlite3_column_text(_stmt, i);
    return t != nullptr ? reinterpret_cast<const char*>(t) : "";
  }
  long long Int(int i) const { return sqlite3_column_int64(_stmt, i); }

 private:
  sqlite3_stmt* _stmt = nullptr;
};

// An immediate transaction, rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : _db(db) {
    _ok = db != nullptr && sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!_ok && db != nullptr) SHARING_LOG("cannot begin: %s", sqlite3_errmsg(db));
  }
  ~Transaction() {
    if (_ok && !_done) sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool Ok() const { return _ok; }
  bool Commit() {
    _done = sqlite3_exec(_db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!_done) SHARING_LOG("cannot commit: %s", sqlite3_errmsg(_db));
    return _done;
  }

 private:
  sqlite3* _db;
  bool _ok = false;
  bool _done = false;
};

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  return Json::writeString(b, v);
}

Json::Value Parse(const std::string& text) {
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  Json::Value v;
  std::string errs;
  if (!r->parse(text.data(), text.data() + text.size(), &v, &errs)) return Json::Value();
  return v;
}

Json::Value ToArray(const std::vector<std::string>& v) {
  Json::Value a(Json::arrayValue);
  for (const std::string& s : v) a.append(s);
  return a;
}

std::vector<std::string> FromArray(const Json::Value& a) {
  std::vector<std::string> v;
  if (!a.isArray()) return v;
  for (const Json::Value& s : a) {
    if (s.isString()) v.push_back(s.asString());
  }
  return v;
}

bool RandomBytes(unsigned char* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(buf + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(r);
  }
  return true;
}

bool RandomToken(std::string& out) {
  unsigned char buf[16];
  if (!RandomBytes(buf, sizeof(buf))) return false;
  static const char kHex[] = "0123456789abcdef";
  out.clear();
  for (unsigned char c : buf) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return true;
}

void ReadEntry(const Stmt& s, record::Entry& e) {
  e = record::Entry();
  e.set_hash(s.Text(0));
  e.set_project_name(s.Text(1));
  e.set_owner_uid(static_cast<int>(s.Int(2)));
  std::string owner;
  if (s.Int(2) >= 0 && UIDToUser(static_cast<unsigned int>(s.Int(2)), owner)) e.set_owner_user(owner);
  e.set_app(Parse(s.Text(3)));
  e.set_enabled(s.Int(4) != 0);
  e.set_auto_gc(s.Int(5) != 0);
  e.set_enable_match_ip(s.Int(6) != 0);
  e.set_start_at(s.Text(7));
  e.set_expire_at(s.Text(8));
  e.set_expire_times(static_cast<int>(s.Int(9)));
  e.set_use_count(static_cast<int>(s.Int(10)));
  e.set_protect_type(static_cast<record::Entry::ProtectType>(s.Int(11)));
  e.set_protect_title(s.Text(12));
  e.set_protect_password(s.Text(13), /*encrypt=*/false, 0);
  e.set_protect_users(FromArray(Parse(s.Text(14))));
  e.set_protect_groups(FromArray(Parse(s.Text(15))));
  e.set_redirect_type(static_cast<record::Entry::RedirectType>(s.Int(16)));
  e.set_redirect_uri(s.Text(17));
}

// Binds the fields from position `first` on, in kEntryColumns order after hash, without the
// use count: project_name .. redirect_uri (16 values).
void BindFields(Stmt& s, int first, const record::Entry& e) {
  int i = first;
  s.Bind(i++, e.get_project_name());
  s.Bind(i++, static_cast<long long>(e.get_owner_uid()));
  s.Bind(i++, Compact(e.get_app()));
  s.Bind(i++, static_cast<long long>(e.get_enabled()));
  s.Bind(i++, static_cast<long long>(e.get_auto_gc()));
  s.Bind(i++, static_cast<long long>(e.get_enable_match_ip()));
  s.Bind(i++, e.get_start_at());
  s.Bind(i++, e.get_expire_at());
  s.Bind(i++, static_cast<long long>(e.get_expire_times()));
  s.Bind(i++, static_cast<long long>(e.get_protect_type()));
  s.Bind(i++, e.get_protect_title());
  s.Bind(i++, e.get_protect_password());
  s.Bind(i++, Compact(ToArray(e.get_protect_users())));
  s.Bind(i++, Compact(ToArray(e.get_protect_groups())));
  s.Bind(i++, static_cast<long long>(e.get_redirect_type()));
  s.Bind(i++, e.get_redirect_uri());
}

// The column of a condition key; "" for keys that are no such field.
std::string ColumnOf(const std::string& key) {
  static const char* const kKeys[] = {SZK_PROJECT_NAME, SZK_OWNER_UID,      SZK_ENABLED,
                                      SZK_AUTO_GC,      SZK_PROTECT_TYPE,   SZK_REDIRECT_TYPE,
                                      SZK_EXPIRE_TIMES, SZK_USE_COUNT,      "hash"};
  for (const char* k : kKeys) {
    if (key == k) return key;
  }
  return "";
}

}  // namespace

bool NewLinkHash(std::string& hash) {
  unsigned char buf[18];  // 16 random bytes, padded to a multiple of three
  if (!RandomBytes(buf, 16)) return false;
  buf[16] = buf[17] = 0;
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  for (int i = 0; i < 18; i += 3) {
    unsigned v = (buf[i] << 16) | (buf[i + 1] << 8) | buf[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  hash = out.substr(0, 22);  // 132 bits of text, the last 4 of them zero
  return true;
}

bool IsWellFormedHash(const std::string& hash) {
  if (hash.size() != 22) return false;
  for (char c : hash) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '_')) {
      return false;
    }
  }
  return true;
}

// ---- SharingDB -------------------------------------------------------------------------------

SharingDB::SharingDB(const std::string& path) {
  mode_t old = umask(077);
  int rc = sqlite3_open_v2(path.c_str(), &_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  umask(old);
  if (rc != SQLITE_OK) {
    SHARING_LOG("cannot open the sharing store %s: %s", path.c_str(),
                _db != nullptr ? sqlite3_errmsg(_db) : "out of memory");
    sqlite3_close(_db);
    _db = nullptr;
    return;
  }
  sqlite3_busy_timeout(_db, 5000);
  char* err = nullptr;
  if (sqlite3_exec(_db, kSchema, nullptr, nullptr, &err) != SQLITE_OK) {
    SHARING_LOG("cannot make the sharing tables: %s", err != nullptr ? err : "?");
    sqlite3_free(err);
    sqlite3_close(_db);
    _db = nullptr;
  }
}

SharingDB::~SharingDB() { sqlite3_close(_db); }

SharingDB& SharingDB::Instance() {
  static SharingDB db(VIREO_SHARING_DB_PATH);
  return db;
}

// ---- EntryDB ---------------------------------------------------------------------------------

bool EntryDB::CreateWithHash(record::Entry& entry) {
  if (!_db.IsGood()) return false;
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::string hash;
    if (!NewLinkHash(hash)) {
      SHARING_LOG("no random bytes for a link hash");
      return false;
    }
    Stmt s(_db.Handle(),
           "INSERT INTO entry (hash, project_name, owner_uid, app, enabled, auto_gc,"
           " enable_match_ip, start_at, expire_at, expire_times, protect_type, protect_title,"
           " protect_password, protect_users, protect_groups, redirect_type, redirect_uri,"
           " created) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18)");
    if (!s.Ok()) return false;
    s.Bind(1, hash);
    BindFields(s, 2, entry);
    s.Bind(18, static_cast<long long>(time(nullptr)));
    int rc = s.Step();
    if (rc == SQLITE_DONE) {
      entry.set_hash(hash);
      entry.set_use_count(0);
      return true;
    }
    if (rc != SQLITE_CONSTRAINT) {
      SHARING_LOG("cannot store a link: %s", sqlite3_errmsg(_db.Handle()));
      return false;
    }
  }
  return false;
}

bool EntryDB::GetByHash(const std::string& hash, record::Entry& entry) {
  if (!_db.IsGood() || !IsWellFormedHash(hash)) return false;
  std::string sql = std::string("SELECT ") + kEntryColumns + " FROM entry WHERE hash = ?1";
  Stmt s(_db.Handle(), sql.c_str());
  if (!s.Ok()) return false;
  s.Bind(1, hash);
  if (s.Step() != SQLITE_ROW) return false;
  ReadEntry(s, entry);
  return true;
}

bool EntryDB::Update(const record::Entry& entry) {
  if (!_db.IsGood()) return false;
  Stmt s(_db.Handle(),
         "UPDATE entry SET project_name=?2, owner_uid=?3, app=?4, enabled=?5, auto_gc=?6,"
         " enable_match_ip=?7, start_at=?8, expire_at=?9, expire_times=?10, protect_type=?11,"
         " protect_title=?12, protect_password=?13, protect_users=?14, protect_groups=?15,"
         " redirect_type=?16, redirect_uri=?17 WHERE hash=?1");
  if (!s.Ok()) return false;
  s.Bind(1, entry.get_hash());
  BindFields(s, 2, entry);
  if (s.Step() != SQLITE_DONE) {
    SHARING_LOG("cannot update a link: %s", sqlite3_errmsg(_db.Handle()));
    return false;
  }
  return sqlite3_changes(_db.Handle()) == 1;
}

bool EntryDB::Delete(const record::Entry& entry) {
  Transaction t(_db.Handle());
  if (!t.Ok()) return false;
  Stmt tokens(_db.Handle(), "DELETE FROM token WHERE hash = ?1");
  Stmt attempts(_db.Handle(), "DELETE FROM attempt WHERE hash = ?1");
  Stmt s(_db.Handle(), "DELETE FROM entry WHERE hash = ?1");
  if (!tokens.Ok() || !attempts.Ok() || !s.Ok()) return false;
  tokens.Bind(1, entry.get_hash());
  attempts.Bind(1, entry.get_hash());
  s.Bind(1, entry.get_hash());
  if (tokens.Step() != SQLITE_DONE || attempts.Step() != SQLITE_DONE || s.Step() != SQLITE_DONE) {
    return false;
  }
  return t.Commit();
}

bool EntryDB::Query(const Condition& condition, std::vector<record::Entry>& entries) {
  entries.clear();
  if (!_db.IsGood()) return false;
  std::string sql = std::string("SELECT ") + kEntryColumns + " FROM entry";
  int n = 0;
  for (const auto& c : condition.Clauses()) {
    std::string column = ColumnOf(c.first);
    if (column.empty()) {
      SHARING_LOG("no entry field %s", c.first.c_str());
      return false;
    }
    sql += (n == 0 ? " WHERE " : " AND ") + column + " = ?" + std::to_string(n + 1);
    ++n;
  }
  sql += " ORDER BY rowid";  // the order they were made in
  Stmt s(_db.Handle(), sql.c_str());
  if (!s.Ok()) return false;
  int i = 1;
  for (const auto& c : condition.Clauses()) {
    if (c.second.isString()) {
      s.Bind(i++, c.second.asString());
    } else if (c.second.isBool()) {
      s.Bind(i++, static_cast<long long>(c.second.asBool()));
    } else if (c.second.isIntegral()) {
      s.Bind(i++, static_cast<long long>(c.second.asInt64()));
    } else {
      return false;
    }
  }
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    record::Entry e;
    ReadEntry(s, e);
    entries.push_back(e);
  }
  return rc == SQLITE_DONE;
}

// ---- TokenDB ---------------------------------------------------------------------------------

TokenDB::CreateResult TokenDB::Create(const std::string& hash, int uid, const std::string& ip,
                                      std::string& token) {
  Transaction t(_db.Handle());
  if (!t.Ok()) return kFailed;
  const long long now = time(nullptr);
  {
    Stmt sweep(_db.Handle(), "DELETE FROM token WHERE expires <= ?1");
    if (!sweep.Ok()) return kFailed;
    sweep.Bind(1, now);
    sweep.Step();
  }
  {
    // The use is counted only while uses are left: one statement decides and counts.
    Stmt count(_db.Handle(),
               "UPDATE entry SET use_count = use_count + 1 WHERE hash = ?1 AND"
               " (expire_times <= 0 OR use_count < expire_times)");
    if (!count.Ok()) return kFailed;
    count.Bind(1, hash);
    if (count.Step() != SQLITE_DONE) return kFailed;
    if (sqlite3_changes(_db.Handle()) != 1) return kUsedUp;
  }
  if (!RandomToken(token)) return kFailed;
  Stmt s(_db.Handle(), "INSERT INTO token (token, hash, uid, ip, expires) VALUES (?1,?2,?3,?4,?5)");
  if (!s.Ok()) return kFailed;
  s.Bind(1, token);
  s.Bind(2, hash);
  s.Bind(3, static_cast<long long>(uid));
  s.Bind(4, ip);
  s.Bind(5, now + kLifetimeSecs);
  if (s.Step() != SQLITE_DONE) return kFailed;
  return t.Commit() ? kCreated : kFailed;
}

bool TokenDB::Lookup(const std::string& token, const std::string& ip, record::Entry& entry,
                     record::Session& session) {
  if (!_db.IsGood() || token.size() != 32 ||
      token.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return false;
  }
  Stmt s(_db.Handle(), "SELECT hash, uid, ip, expires FROM token WHERE token = ?1");
  if (!s.Ok()) return false;
  s.Bind(1, token);
  if (s.Step() != SQLITE_ROW) return false;
  const std::string hash = s.Text(0);
  const int uid = static_cast<int>(s.Int(1));
  const std::string madeFrom = s.Text(2);
  if (s.Int(3) <= time(nullptr)) return false;
  EntryDB entries(_db);
  if (!entries.GetByHash(hash, entry) || !entry.IsValid()) return false;
  if (entry.get_enable_match_ip() && madeFrom != ip) return false;
  session = record::Session();
  session.set_uid(uid);
  session.set_token(token);
  return true;
}

bool TokenDB::PurgeByEntry(const record::Entry& entry) {
  Stmt s(_db.Handle(), "DELETE FROM token WHERE hash = ?1");
  if (!s.Ok()) return false;
  s.Bind(1, entry.get_hash());
  return s.Step() == SQLITE_DONE;
}

// ---- AttemptThrottle -------------------------------------------------------------------------

long AttemptThrottle::BeginAttempt(const std::string& hash, const std::string& ip) {
  Transaction t(_db.Handle());
  if (!t.Ok()) return kBasePauseSecs;
  const long long now = time(nullptr);
  {
    Stmt forget(_db.Handle(), "DELETE FROM attempt WHERE last < ?1");
    if (!forget.Ok()) return kBasePauseSecs;
    forget.Bind(1, now - 86400);
    forget.Step();
  }
  long long count = 0, last = 0;
  {
    Stmt s(_db.Handle(), "SELECT count, last FROM attempt WHERE hash = ?1 AND ip = ?2");
    if (!s.Ok()) return kBasePauseSecs;
    s.Bind(1, hash);
    s.Bind(2, ip);
    if (s.Step() == SQLITE_ROW) {
      count = s.Int(0);
      last = s.Int(1);
    }
  }
  if (count >= kFreeFailures) {
    long pause = kBasePauseSecs;
    for (long long i = kFreeFailures; i < count && pause < kMaxPauseSecs; ++i) pause *= 2;
    if (pause > kMaxPauseSecs) pause = kMaxPauseSecs;
    long left = static_cast<long>(last + pause - now);
    if (left > 0) return left;
  }
  Stmt s(_db.Handle(),
         "INSERT INTO attempt (hash, ip, count, last) VALUES (?1, ?2, 1, ?3)"
         " ON CONFLICT (hash, ip) DO UPDATE SET count = count + 1, last = ?3");
  if (!s.Ok()) return kBasePauseSecs;
  s.Bind(1, hash);
  s.Bind(2, ip);
  s.Bind(3, now);
  if (s.Step() != SQLITE_DONE || !t.Commit()) return kBasePauseSecs;
  return 0;
}

void AttemptThrottle::RecordSuccess(const std::string& hash, const std::string& ip) {
  Stmt s(_db.Handle(), "DELETE FROM attempt WHERE hash = ?1 AND ip = ?2");
  if (!s.Ok()) return;
  s.Bind(1, hash);
  s.Bind(2, ip);
  s.Step();
}

}  // namespace db
}  // namespace sharing
}  // namespace VIREO
