// The sharing-link store: links (entries), visitors' sessions (tokens) and the password-attempt
// throttle, in one SQLite database under /usr/vireo/var, shared by every request process.
//
// Link hashes carry 128 random bits, URL-safe (base64url, 22 characters); visitor tokens 128
// random bits (32 hex digits). Passwords are kept only as the entry's salted slow hash.
// Writes that read first (counting a use, a throttled attempt) are one immediate transaction,
// so parallel requests never hand out more sessions or attempts than allowed.
//
// Objects are not safe for concurrent use by several threads; processes share the database
// through SQLite's own locking (busy timeout 5 s).
#ifndef HARBOR_VIREO_SHARING_DB_H_
#define HARBOR_VIREO_SHARING_DB_H_

#include <json/json.h>

#include <string>
#include <utility>
#include <vector>

#include "vireo/sharing.h"

struct sqlite3;

#define VIREO_SHARING_DB_PATH "/usr/vireo/var/sharing.db"

namespace VIREO {
namespace sharing {
namespace db {

// An opened store. Instance() is the process's store on VIREO_SHARING_DB_PATH.
class SharingDB {
 public:
  explicit SharingDB(const std::string& path);
  ~SharingDB();
  SharingDB(const SharingDB&) = delete;
  SharingDB& operator=(const SharingDB&) = delete;

  static SharingDB& Instance();

  // The database opened and its tables exist.
  bool IsGood() const { return _db != nullptr; }
  sqlite3* Handle() const { return _db; }

 private:
  sqlite3* _db = nullptr;
};

// Equality conditions on entry fields (SZK_OWNER_UID, SZK_PROJECT_NAME, SZK_ENABLED ...), all
// of which must hold.
class Condition {
 public:
  Condition& Where(const std::string& key, const Json::Value& value) {
    _where.emplace_back(key, value);
    return *this;
  }
  const std::vector<std::pair<std::string, Json::Value>>& Clauses() const { return _where; }

 private:
  std::vector<std::pair<std::string, Json::Value>> _where;
};

class EntryDB {
 public:
  explicit EntryDB(SharingDB& db = SharingDB::Instance()) : _db(db) {}

  // Stores a new entry under a fresh hash (set on `entry`). False, logged, on failure.
  bool CreateWithHash(record::Entry& entry);
  // False when there is no such entry (or the store fails).
  bool GetByHash(const std::string& hash, record::Entry& entry);
  // Writes every field but the use count (which only visitors move). False when the entry is
  // gone or the store fails.
  bool Update(const record::Entry& entry);
  // Removes the entry and its visitor sessions.
  bool Delete(const record::Entry& entry);
  Condition GetCondition() const { return Condition(); }
  // The entries that meet `condition`, oldest first. A key that is no field fails the query.
  bool Query(const Condition& condition, std::vector<record::Entry>& entries);

 private:
  SharingDB& _db;
};

class TokenDB {
 public:
  // Visitor sessions live this long.
  static constexpr long kLifetimeSecs = 12 * 3600;

  explicit TokenDB(SharingDB& db = SharingDB::Instance()) : _db(db) {}

  enum CreateResult { kCreated = 0, kUsedUp = 1, kFailed = -1 };
  // A visitor session on the link `hash` for the appliance user `uid` (-1: nobody logged in)
  // from `ip`: the link's use count rises by one in the same transaction, and a link whose
  // uses are all handed out gives kUsedUp (nothing stored).
  CreateResult Create(const std::string& hash, int uid, const std::string& ip, std::string& token);
  // The link and session of a live token. When the link matches addresses, `ip` must be the
  // one the session was made from. False for unknown, expired or mismatched tokens and for
  // links that are gone, disabled or expired since.
  bool Lookup(const std::string& token, const std::string& ip, record::Entry& entry,
              record::Session& session);
  // Revokes every visitor session of the entry.
  bool PurgeByEntry(const record::Entry& entry);

 private:
  SharingDB& _db;
};

// Failed password attempts per (link, client address). After kFreeFailures failures in a row
// the next attempt waits kBasePauseSecs, doubling with every further failure up to
// kMaxPauseSecs. Other links, and other addresses on the same link, are not affected.
class AttemptThrottle {
 public:
  static constexpr int kFreeFailures = 5;
  static constexpr long kBasePauseSecs = 30;
  static constexpr long kMaxPauseSecs = 900;

  explicit AttemptThrottle(SharingDB& db = SharingDB::Instance()) : _db(db) {}

  // 0 when a password may be checked now (the attempt is recorded as a failure until
  // RecordSuccess), else the seconds to wait. A store failure refuses (kBasePauseSecs).
  long BeginAttempt(const std::string& hash, const std::string& ip);
  void RecordSuccess(const std::string& hash, const std::string& ip);

 private:
  SharingDB& _db;
};

// 22 URL-safe characters from 16 random bytes; false when the kernel's generator fails.
bool NewLinkHash(std::string& hash);
// The shape NewLinkHash makes (checked before a text reaches the store).
bool IsWellFormedHash(const std::string& hash);

}  // namespace db
}  // namespace sharing
}  // namespace VIREO

#endif  // HARBOR_VIREO_SHARING_DB_H_
