// The conversion cache: stream files in @eaDir directories and their rows in the cache database.
#include "cache_manager.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "runas.h"
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

// Whether the folder that holds `target` is gone (a stream of such a target cannot exist). False,
// logged, when that cannot be told.
bool TargetFolderGone(const std::string& target, bool& gone) {
  size_t slash = target.rfind('/');
  if (slash == std::string::npos) {
    gone = true;
    return true;
  }
  std::string folder = slash == 0 ? "/" : target.substr(0, slash);
  IF_RUN_AS(0, 0) {
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) {
      gone = !S_ISDIR(st.st_mode);
    } else {
      gone = errno == ENOENT || errno == ENOTDIR;
    }
    errno = 0;
    return true;
  } else {
    return PL_ERR("ifrunas failed");
  }
}

}  // namespace

CacheManager::CacheManager(bool gcEnabled, int64_t gcLimit)
    : _gcEnabled(gcEnabled), _gcLimit(gcLimit), _db(SZF_CACHE_DB_PATH), _isGood(false) {
  if (!_db.Open()) {
    PL_ERR("open db failed");
    return;
  }
  if (!_db.Exec(kSchema)) {
    PL_ERR("create db failed");
    return;
  }
  _isGood = true;
}

CacheManager::~CacheManager() { _db.Close(); }

bool CacheManager::MakeEADir(const std::string& target) {
  char dir[kPathBuffer] = {0};
  if (VIREOEADirPath(0, target.c_str(), dir, sizeof(dir)) != 0) return false;
  if (VLIBCFileCheckDir(dir)) return true;
  IF_RUN_AS(0, 0) {
    return VIREOEAMKDir(1, dir) == 0;
  } else {
    return PL_ERR("ifrunas failed");
  }
}

bool CacheManager::GetEAPath(const std::string& target, const std::string& stream,
                             std::string& out) {
  if (!MakeEADir(target)) return false;
  char path[kPathBuffer] = {0};
  if (VIREOEAPath(0, target.c_str(), stream.c_str(), path, sizeof(path), 0) != 0) return false;
  out = path;
  return true;
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
  std::string sql;
  if (!Sql(sql, "UPDATE cache SET access = %ld WHERE target = '%q' AND stream = '%q'",
           static_cast<long>(time(nullptr)), target.c_str(), stream.c_str())) {
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
  if (unlink(streamPath.c_str()) != 0) PL_ERR_SHORT("cache remove fail %s", streamPath.c_str());
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
      if (unlink(streamPath.c_str()) != 0) {
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
  IF_RUN_AS(0, 0) {
    if (VLIBCFileStat(target.c_str(), 1, &st) != 0) {
      errno = 0;  // a missing target is an answer, not an error to report later
      return false;
    }
  } else {
    return false;
  }
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
  if (VLIBCFileStat(target.c_str(), 1, &targetStat) != 0) return false;
  std::string streamPath;
  if (!GetEAPath(target, stream, streamPath)) return false;
  if (IsTargetModified(target)) CleanCache(target);
  if (!MoveOrCopyFile(source, streamPath, isMove)) {
    PL_ERR_SHORT("cache move fail from: %s, to: %s", source.c_str(), streamPath.c_str());
  }
  if (!InsertDB(target, static_cast<long>(targetStat.st_mtime), stream,
                static_cast<unsigned long long>(sourceStat.st_size))) {
    PL_ERR_SHORT("cache set insert DB fail %s, stream: %s", target.c_str(), stream.c_str());
  }
  if (_gcEnabled) {
    GarbageCollect();
    if (sqlite3_exec(_db.GetHandle(), "VACUUM", nullptr, nullptr, nullptr) != SQLITE_OK) {
      PL_ERR("error: %s", sqlite3_errmsg(_db.GetHandle()));
    }
  }
  return true;
}

bool CacheManager::Get(const std::string& target, const std::string& stream, std::ifstream& in) {
  if (IsTargetModified(target)) CleanCache(target);
  std::string streamPath;
  if (!GetEAPath(target, stream, streamPath)) return false;
  UpdateCache(target, stream);
  IF_RUN_AS(0, 0) {
    in.open(streamPath.c_str(), std::ios::in | std::ios::binary);
  } else {
    return PL_ERR("ifrunas failed");
  }
  return in.good();
}

int64_t CacheManager::CalculateGCSize() {
  BaseDB::Rows rows;
  if (!_db.QueryResult("SELECT SUM(size) FROM cache", rows)) {
    PL_ERR_SHORT("calculate GC size fail");
    return 0;
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
    // push live streams out: it is dropped without counting. The folder is looked at before
    // GetEAPath, whose recursive mkdir would bring a deleted folder back.
    bool gone = false;
    if (!TargetFolderGone(target, gone)) continue;
    std::string streamPath;
    char probe[kPathBuffer] = {0};
    if (gone ||
        VIREOEAPath(0, target.c_str(), stream.c_str(), probe, sizeof(probe), 0) != 0) {
      if (!_db.Exec(sql)) {
        PL_ERR_SHORT("GC DB fail %s, stream: %s", target.c_str(), stream.c_str());
      }
      continue;
    }
    if (!GetEAPath(target, stream, streamPath)) continue;  // may work next time
    if (unlink(streamPath.c_str()) != 0) PL_ERR_SHORT("GC fail %s", streamPath.c_str());
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
