// BaseDB: one SQLite connection shared by every database of the package (the cache, the task
// queue, the external conversion records).
//
// Writes run as one immediate transaction each: "BEGIN IMMEDIATE;" takes the write lock up
// front, and while another process holds it the start is retried (100 times, 0.5 s apart, each
// attempt also waiting through the connection's 1000 ms busy timeout). When the lock cannot be
// had, the statement is not run at all and Exec reports failure: a false result always means
// that nothing of the statement was applied.
//
// Database files are shared between processes; SQLite's file locking is the only coordination.
// A BaseDB is used by one thread at a time, and a connection must not be used across fork():
// a child opens its own.
//
// Header-only: every deliverable compiles its own copy (and links SQLite). Failures are logged
// with the package's "file:line (pid) ..." lines; nothing throws.
#ifndef PAPERLENS_INCLUDE_BASEDB_H_
#define PAPERLENS_INCLUDE_BASEDB_H_

#include <errno.h>
#include <sqlite3.h>
#include <string.h>
#include <time.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "utils_log.h"

namespace VIREO {
namespace PAPERLENS {

class BaseDB {
 public:
  // One result row: column name -> value text; SQL NULL reads as the text "NULL".
  typedef std::map<std::string, std::string> Row;
  typedef std::vector<Row> Rows;

  static constexpr int kBeginAttempts = 100;
  static constexpr long kBeginPauseNs = 500000000L;
  static constexpr int kBusyTimeoutMs = 1000;

  BaseDB() : _db(nullptr), _beginAttempts(kBeginAttempts) {}
  explicit BaseDB(const std::string& path) : _db(nullptr), _path(path),
                                             _beginAttempts(kBeginAttempts) {}
  virtual ~BaseDB() { Close(); }

  BaseDB(const BaseDB&) = delete;
  BaseDB& operator=(const BaseDB&) = delete;

  // The file that Open opens. REQUIRES: set before Open.
  void SetPath(const std::string& path) { _path = path; }
  const std::string& GetPath() const { return _path; }

  // Opens the file (creating it when missing) with a 1000 ms busy timeout. True when both
  // succeed or the connection is already open; on failure the connection stays closed.
  bool Open() {
    if (_db != nullptr) return true;
    sqlite3* db = nullptr;
    if (sqlite3_open(_path.c_str(), &db) != SQLITE_OK) {
      PL_ERR("error: %s", db != nullptr ? sqlite3_errmsg(db) : "out of memory");
      sqlite3_close(db);
      return false;
    }
    if (sqlite3_busy_timeout(db, kBusyTimeoutMs) != SQLITE_OK) {
      PL_ERR("error: %s", sqlite3_errmsg(db));
      sqlite3_close(db);
      return false;
    }
    _db = db;
    return true;
  }

  void Close() {
    if (_db == nullptr) return;
    sqlite3_close(_db);
    _db = nullptr;
  }

  bool IsOpen() const { return _db != nullptr; }

  // The open connection, for the few statements that must run outside a transaction
  // ("VACUUM"); null while closed. Owned by this object.
  sqlite3* GetHandle() const { return _db; }

  // Runs `sql` (one or more statements) and appends one Row per result row to `rows`. False,
  // logged, on failure; rows appended before the failure stay in `rows`.
  bool QueryResult(const std::string& sql, Rows& rows) {
    if (_db == nullptr) return PL_ERR("error: %s", "database not open");
    char* err = nullptr;
    if (sqlite3_exec(_db, sql.c_str(), &BaseDB::AppendRow, &rows, &err) != SQLITE_OK) {
      PL_ERR("error: %s", err != nullptr ? err : sqlite3_errmsg(_db));
      sqlite3_free(err);
      return false;
    }
    return true;
  }

  // Runs `sql` (one or more statements separated by ";") as one immediate write transaction.
  // True when it was committed. False, logged, when the write lock could not be had, a
  // statement failed or the commit failed; everything is then rolled back.
  bool Exec(const std::string& sql) {
    if (_db == nullptr) return PL_ERR("error: %s", "database not open");
    bool begun = false;
    for (int attempt = 0; attempt < _beginAttempts; ++attempt) {
      begun = sqlite3_exec(_db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
      if (begun) break;
      if (strstr(sqlite3_errmsg(_db), "locked") == nullptr) return Abort();
      PauseBeforeRetry();
    }
    // Running the statement without the transaction could apply it and still report failure;
    // callers rely on a false result meaning that nothing changed.
    if (!begun) return Abort();
    if (sqlite3_exec(_db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return Abort();
    if (sqlite3_exec(_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return Abort();
    return true;
  }

  // Replaces `text` with its SQL-quoted form: 'it''s' when `quoted`, it''s when bare. When
  // no memory is left `text` becomes empty (logged) and the caller goes on with it.
  static void Escape(std::string& text, bool quoted) {
    char* escaped = sqlite3_mprintf(quoted ? "'%q'" : "%q", text.c_str());
    if (escaped == nullptr) {
      PL_ERR("escape string %s failed", text.c_str());
      text.clear();
      return;
    }
    text = escaped;
    sqlite3_free(escaped);
  }

  // Tests shorten the wait for another process's write lock: at most `attempts` starts of the
  // transaction, with `pause` run after each one that found the database locked.
  // REQUIRES: attempts >= 1.
  void SetBeginRetry(int attempts, std::function<void()> pause) {
    _beginAttempts = attempts;
    _pause = std::move(pause);
  }

 private:
  static int AppendRow(void* data, int columns, char** values, char** names) {
    Rows* rows = static_cast<Rows*>(data);
    Row row;
    for (int i = 0; i < columns; ++i) {
      row[names[i]] = values[i] != nullptr ? values[i] : "NULL";
    }
    rows->push_back(std::move(row));
    return 0;
  }

  void PauseBeforeRetry() {
    if (_pause) {
      _pause();
      return;
    }
    struct timespec pause = {0, kBeginPauseNs};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    errno = 0;
  }

  // The message is taken before the rollback, which would replace it with its own.
  bool Abort() {
    std::string message = sqlite3_errmsg(_db);
    sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return PL_ERR("error: %s", message.c_str());
  }

  sqlite3* _db;         // null while closed
  std::string _path;    // set by the owner before Open
  int _beginAttempts;   // starts of the write transaction before giving up
  std::function<void()> _pause;  // replaces the 0.5 s sleep between starts when set
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_BASEDB_H_
