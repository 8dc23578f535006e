// The conversion cache: stream files in @eaDir directories and their rows in the cache database.
#include "cache_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>

#include "runas.h"
#include "safe_file.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace VIREO {
namespace PAPERLENS {

namespace {

const size_t kPathBuffer = 4096;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS cache_target (path TEXT PRIMARY KEY,modify INTEGER);"
    "CREATE UNIQUE INDEX IF NOT EXISTS path ON cache_target (path);"
    "CREATE INDEX IF NOT EXISTS modify ON cache_target (modify);"
    "CREATE TABLE IF NOT EXISTS cache (stream TEXT,size INTEGER,access INTEGER,target TEXT,"
    "FOREIGN KEY(target) REFERENCES cache_target(path));"
    "CREATE INDEX IF NOT EXISTS stream ON cache (stream);"
    "CREATE INDEX IF NOT EXISTS target ON cache (target);"
    "CREATE INDEX IF NOT EXISTS target_stream_compound ON cache (target, stream);";

// The recorded total of the streams' sizes, kept by triggers in the same transaction as every
// change of the `cache` table (whichever program makes it), so that a store need not add up
// the whole table. A database made before it is seeded with the sum of what is recorded.
const char kTotalSchema[] =
    "CREATE TABLE IF NOT EXISTS cache_total (id INTEGER PRIMARY KEY CHECK (id = 0),"
    "total INTEGER NOT NULL);"
    "CREATE TRIGGER IF NOT EXISTS cache_total_insert AFTER INSERT ON cache BEGIN "
    "UPDATE cache_total SET total = total + ifnull(NEW.size, 0) WHERE id = 0; END;"
    "CREATE TRIGGER IF NOT EXISTS cache_total_delete AFTER DELETE ON cache BEGIN "
    "UPDATE cache_total SET total = total - ifnull(OLD.size, 0) WHERE id = 0; END;"
    "CREATE TRIGGER IF NOT EXISTS cache_total_update AFTER UPDATE OF size ON cache BEGIN "
    "UPDATE cache_total SET total = total - ifnull(OLD.size, 0) + ifnull(NEW.size, 0) "
    "WHERE id = 0; END;"
    "INSERT OR IGNORE INTO cache_total (id, total) SELECT 0, ifnull(SUM(size), 0) FROM cache;";

// Every object the two scripts make: when all are there (and the total has its row) nothing
// needs writing, and a reader does not take the write lock at every construction. They are
// read as the plain list of names (and one NULL for the total's row), which costs a small part
// of what matching them in SQL would at every request.
const char* const kSchemaObjects[] = {"cache_target", "path", "modify", "cache", "stream",
                                      "target", "target_stream_compound", "cache_total",
                                      "cache_total_insert", "cache_total_delete",
                                      "cache_total_update"};
const char kSchemaNames[] =
    "SELECT name FROM sqlite_master UNION ALL SELECT NULL FROM cache_total WHERE id = 0";

// A statement with SQLite's quoting ("%q" doubles single quotes). False, logged, when memory ran
// out: an empty statement would otherwise run as a successful no-op.
bool Sql(std::string& out, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char* sql = sqlite3_vmprintf(fmt, ap);
  va_end(ap);
  if (sql == nullptr) return PL_ERR("escape string %s failed", fmt);
  out = sql;
  sqlite3_free(sql);
  return true;
}

// Whether the folder that holds `target` is gone (a stream of such a target cannot exist), or
// lies in no share (its streams can never be reached safely). False, logged, when that cannot
// be told.
bool TargetFolderGone(const std::string& target, bool& gone) {
  size_t slash = target.rfind('/');
  if (slash == std::string::npos) {
    gone = true;
    return true;
  }
  std::string folder = slash == 0 ? "/" : target.substr(0, slash);
  struct stat st;
  safe::Error e = safe::StatBeneath(folder, st);
  if (e == safe::kOk) {
    gone = !S_ISDIR(st.st_mode);
  } else if (e == safe::kNotFound || e == safe::kBadPath) {
    gone = true;
  } else {
    return PL_ERR("cannot examine %s: %s", folder.c_str(), safe::ErrorText(e));
  }
  errno = 0;
  return true;
}

// Logs a stream that was refused for what lies on its way; a missing one is no news.
void LogRefusedStream(const std::string& streamPath, safe::Error e) {
  if (e != safe::kNotFound) {
    PL_ERR_SHORT("refusing cached stream %s: %s", streamPath.c_str(), safe::ErrorText(e));
  }
}

}  // namespace

CacheManager::CacheManager(bool gcEnabled, int64_t gcLimit)
    : _gcEnabled(gcEnabled), _gcLimit(gcLimit), _db(SZF_CACHE_DB_PATH), _isGood(false) {
  if (!_db.Open()) {
    PL_ERR("open db failed");
    return;
  }
  if (!HasSchema() && !_db.Exec(std::string(kSchema) + kTotalSchema)) {
    PL_ERR("create db failed");
    return;
  }
  _isGood = true;
}

bool CacheManager::HasSchema() {
  // Run without BaseDB's logging: a database without the total fails to compile this, which
  // only means the script has to run.
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(_db.GetHandle(), kSchemaNames, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  std::set<std::string> names;
  bool totalRow = false;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(stmt, 0);
    if (name == nullptr) {
      totalRow = true;
    } else {
      names.insert(reinterpret_cast<const char*>(name));
    }
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE || !totalRow) return false;
  for (const char* object : kSchemaObjects) {
    if (names.count(object) == 0) return false;
  }
  return true;
}

CacheManager::~CacheManager() { _db.Close(); }

bool CacheManager::MakeEADir(const std::string& target) {
  char dir[kPathBuffer] = {0};
  if (VIREOEADirPath(0, target.c_str(), dir, sizeof(dir)) != 0) return false;
  IF_RUN_AS(0, 0) {
    safe::Error e = safe::MakeEAFolder(dir);
    if (e != safe::kOk) return PL_ERR_SHORT("refusing EA folder %s: %s", dir, safe::ErrorText(e));
    return true;
  } else {
    return PL_ERR("ifrunas failed");
  }
}

bool CacheManager::StreamPath(const std::string& target, const std::string& stream,
                              std::string& out) {
  char path[kPathBuffer] = {0};
  if (VIREOEAPath(0, target.c_str(), stream.c_str(), path, sizeof(path), 0) != 0) return false;
  out = path;
  return true;
}

bool CacheManager::GetEAPath(const std::string& target, const std::string& stream,
                             std::string& out) {
  return MakeEADir(target) && StreamPath(target, stream, out);
}

bool CacheManager::InsertTarget(const std::string& target, long modify) {
  std::string sql;
  if (!Sql(sql,
           "INSERT INTO cache_target(path, modify) SELECT '%q', %ld WHERE NOT EXISTS(SELECT * "
           "FROM cache_target WHERE path = '%q')",
           target.c_str(), modify, target.c_str())) {
    return false;
  }
  return _db.Exec(sql);
}

bool CacheManager::InsertCache(const std::string& target, const std::string& stream,
                               unsigned long long size) {
  std::string sql;
  if (!Sql(sql,
           "INSERT INTO cache(target, stream, size) SELECT '%q', '%q', %llu WHERE NOT "
           "EXISTS(SELECT * FROM cache WHERE target = '%q' AND stream = '%q');UPDATE cache SET "
           "access = %ld WHERE target = '%q' AND stream = '%q'",
           target.c_str(), stream.c_str(), size, target.c_str(), stream.c_str(),
           static_cast<long>(time(nullptr)), target.c_str(), stream.c_str())) {
    return false;
  }
  return _db.Exec(sql);
}

bool CacheManager::InsertDB(const std::string& target, long modify, const std::string& stream,
                            unsigned long long size) {
  if (!InsertTarget(target, modify)) return false;
  return InsertCache(target, stream, size);
}

bool CacheManager::UpdateCache(const std::string& target, const std::string& stream) {
  const long now = static_cast<long>(time(nullptr));
  // A stream read again within the same second already carries this access time: the write
  // (a transaction with its syncs, one writer at a time) would change nothing.
  std::string select;
  BaseDB::Rows rows;
  if (Sql(select, "SELECT access FROM cache WHERE target = '%q' AND stream = '%q'",
          target.c_str(), stream.c_str()) &&
      _db.QueryResult(select, rows) && !rows.empty()) {
    bool current = true;
    for (BaseDB::Row& row : rows) {
      current = current && strtol(row["access"].c_str(), nullptr, 10) == now;
    }
    if (current) return true;
  }
  std::string sql;
  if (!Sql(sql, "UPDATE cache SET access = %ld WHERE target = '%q' AND stream = '%q'", now,
           target.c_str(), stream.c_str())) {
    return false;
  }
  return _db.Exec(sql);
}

bool CacheManager::Remove(const std::string& target, const std::string& stream) {
  std::string sql;
  if (!Sql(sql, "DELETE FROM cache WHERE target = '%q' AND stream = '%q'", target.c_str(),
           stream.c_str())) {
    return false;
  }
  std::string streamPath;
  if (!GetEAPath(target, stream, streamPath)) return false;
  if (safe::RemoveEAFile(streamPath) != safe::kOk) {
    PL_ERR_SHORT("cache remove fail %s", streamPath.c_str());
  }
  if (!_db.Exec(sql)) {
    PL_ERR_SHORT("cache remove DB fail %s, stream: %s", target.c_str(), stream.c_str());
  }
  return true;
}

bool CacheManager::CleanCacheInEADir(const std::string& target) {
  std::string sql;
  if (!Sql(sql, "SELECT * FROM cache WHERE target = '%q'", target.c_str())) return false;
  BaseDB::Rows rows;
  if (!_db.QueryResult(sql, rows)) return false;
  for (const BaseDB::Row& row : rows) {
    std::string streamPath;
    if (!GetEAPath(target, row.at("stream"), streamPath)) continue;
    IF_RUN_AS(0, 0) {
      if (safe::RemoveEAFile(streamPath) != safe::kOk) {
        PL_ERR_SHORT("cache remove fail %s", streamPath.c_str());
      }
    } else {
      PL_ERR("ifrunas failed");
    }
  }
  return true;
}

bool CacheManager::CleanCacheInDB(const std::string& target) {
  std::string sql;
  if (!Sql(sql, "DELETE FROM cache WHERE target = '%q';DELETE FROM cache_target WHERE path = '%q';",
           target.c_str(), target.c_str())) {
    return false;
  }
  if (!_db.Exec(sql)) return PL_ERR_SHORT("cache remove DB fail %s", target.c_str());
  return true;
}

bool CacheManager::CleanCache(const std::string& target) {
  bool files = CleanCacheInEADir(target);
  bool rows = CleanCacheInDB(target);
  return files && rows;
}

bool CacheManager::IsTargetModified(const std::string& target) {
  struct stat st;
  if (safe::StatBeneath(target, st) != safe::kOk) {
    errno = 0;  // a missing target is an answer, not an error to report later
    return false;
  }
  return DiffersFromRecord(target, st);
}

bool CacheManager::DiffersFromRecord(const std::string& target, const struct stat& st) {
  std::string modify = std::to_string(static_cast<long>(st.st_mtime));
  std::string sql;
  if (!Sql(sql, "SELECT modify FROM cache_target WHERE path = '%q'", target.c_str())) {
    return false;
  }
  BaseDB::Rows rows;
  if (!_db.QueryResult(sql, rows) || rows.size() != 1) return false;
  return rows[0]["modify"] != modify;
}

bool CacheManager::Set(const std::string& source, const std::string& target,
                       const std::string& stream, bool isMove) {
  struct stat sourceStat;
  struct stat targetStat;
  if (VLIBCFileStat(source.c_str(), 1, &sourceStat) != 0) return false;
  // A folder (or FIFO) named like a document has no PDF to keep.
  if (safe::StatBeneath(target, targetStat) != safe::kOk || !S_ISREG(targetStat.st_mode)) {
    errno = 0;
    return false;
  }
  std::string streamPath;
  if (!GetEAPath(target, stream, streamPath)) return false;
  if (DiffersFromRecord(target, targetStat)) CleanCache(target);
  safe::Error e = safe::InstallEAFile(source, streamPath, isMove);
  if (e != safe::kOk) {
    PL_ERR_SHORT("cache move fail from: %s, to: %s (%s)", source.c_str(), streamPath.c_str(),
                 safe::ErrorText(e));
  }
  if (!InsertDB(target, static_cast<long>(targetStat.st_mtime), stream,
                static_cast<unsigned long long>(sourceStat.st_size))) {
    PL_ERR_SHORT("cache set insert DB fail %s, stream: %s", target.c_str(), stream.c_str());
  }
  if (_gcEnabled) {
    GarbageCollect();
    // Rewriting the whole file costs time in proportion to the cache; it is paid only once the
    // free pages left by deletions (ours or other processes') make up a fair share of it.
    if (NeedsCompaction() &&
        sqlite3_exec(_db.GetHandle(), "VACUUM", nullptr, nullptr, nullptr) != SQLITE_OK) {
      PL_ERR("error: %s", sqlite3_errmsg(_db.GetHandle()));
    }
  }
  return true;
}

bool CacheManager::NeedsCompaction() {
  BaseDB::Rows freePages;
  BaseDB::Rows allPages;
  // When the counts cannot be read, compact as before rather than let the file grow.
  if (!_db.QueryResult("PRAGMA freelist_count", freePages) || freePages.size() != 1 ||
      !_db.QueryResult("PRAGMA page_count", allPages) || allPages.size() != 1) {
    return true;
  }
  long long free = strtoll(freePages[0]["freelist_count"].c_str(), nullptr, 10);
  long long all = strtoll(allPages[0]["page_count"].c_str(), nullptr, 10);
  return free > 0 && free * kCompactionShare >= all;
}

bool CacheManager::Get(const std::string& target, const std::string& stream, safe::Fd& out) {
  // A target that is there must be a regular file; one that is gone keeps its streams.
  struct stat targetStat;
  safe::Error seen = safe::StatBeneath(target, targetStat);
  if (seen != safe::kOk) errno = 0;
  if (seen == safe::kOk && DiffersFromRecord(target, targetStat)) CleanCache(target);
  if (seen == safe::kOk && !S_ISREG(targetStat.st_mode)) return false;
  std::string streamPath;
  if (!StreamPath(target, stream, streamPath)) return false;
  UpdateCache(target, stream);
  safe::Error e = safe::kOk;
  IF_RUN_AS(0, 0) {
    e = safe::OpenEAFile(streamPath, O_RDONLY, out);
  } else {
    return PL_ERR("ifrunas failed");
  }
  if (e == safe::kOk) return true;
  // A hit walks to the stream once. A miss then makes the stream's folder, as taking the path
  // with GetEAPath did, and an unsafe folder is reported as such.
  if (MakeEADir(target)) LogRefusedStream(streamPath, e);
  errno = 0;
  return false;
}

bool CacheManager::Get(const std::string& target, const std::string& stream, std::ifstream& in) {
  safe::Fd fd;
  if (!Get(target, stream, fd)) return false;
  // The stream is reopened through its descriptor, so what `in` reads is the file just judged.
  IF_RUN_AS(0, 0) {
    in.open("/proc/self/fd/" + std::to_string(fd.Get()), std::ios::in | std::ios::binary);
  } else {
    return PL_ERR("ifrunas failed");
  }
  return in.good();
}

int64_t CacheManager::CalculateGCSize() {
  BaseDB::Rows rows;
  // The running total answers what "SELECT SUM(size) FROM cache" would, without reading every
  // row; the sum itself is the answer when the total's row is missing.
  if (!_db.QueryResult("SELECT total AS \"SUM(size)\" FROM cache_total WHERE id = 0", rows) ||
      rows.size() != 1) {
    rows.clear();
    if (!_db.QueryResult("SELECT SUM(size) FROM cache", rows)) {
      PL_ERR_SHORT("calculate GC size fail");
      return 0;
    }
  }
  if (rows.size() != 1) return 0;
  int64_t total = strtoll(rows[0]["SUM(size)"].c_str(), nullptr, 10);
  return total > _gcLimit ? total - _gcLimit : 0;
}

void CacheManager::GarbageCollect() {
  int64_t need = CalculateGCSize();
  if (need == 0) return;
  BaseDB::Rows rows;
  if (!_db.QueryResult("SELECT * FROM cache ORDER BY access ASC", rows)) return;
  int64_t freed = 0;
  for (BaseDB::Row& row : rows) {
    int64_t size = strtoll(row["size"].c_str(), nullptr, 10);
    const std::string& stream = row["stream"];
    const std::string& target = row["target"];
    std::string sql;
    if (!Sql(sql, "DELETE FROM cache WHERE target = '%q' AND stream = '%q'", target.c_str(),
             stream.c_str())) {
      continue;
    }
    // A row whose stream can never be found again would count towards the limit for ever and
    // push live streams out: it is dropped without counting. Nothing is made on the way: a
    // deleted folder must not come back.
    bool gone = false;
    if (!TargetFolderGone(target, gone)) continue;
    std::string streamPath;
    if (gone || !StreamPath(target, stream, streamPath)) {
      if (!_db.Exec(sql)) {
        PL_ERR_SHORT("GC DB fail %s, stream: %s", target.c_str(), stream.c_str());
      }
      continue;
    }
    safe::Error e = safe::RemoveEAFile(streamPath);
    if (e != safe::kOk) PL_ERR_SHORT("GC fail %s (%s)", streamPath.c_str(), safe::ErrorText(e));
    if (!_db.Exec(sql)) {
      PL_ERR_SHORT("GC DB fail %s, stream: %s", target.c_str(), stream.c_str());
    }
    freed += size;
    if (freed > need) break;
  }
  if (!_db.Exec("DELETE FROM cache_target WHERE path NOT IN (SELECT path FROM cache_target t "
                "JOIN cache c ON t.path = c.target)")) {
    PL_ERR_SHORT("GC UnRef fail");
  }
}

}  // namespace PAPERLENS
}  // namespace VIREO
