// CacheManager: the conversion cache. A converted file is kept as a stream file in its source
// document's @eaDir directory, and the database SZF_CACHE_DB_PATH records, per source ("target")
// its modification time when its first stream was stored, and per stream its size and the time
// it was last stored or read. A stream is dropped when its source changes, and the least
// recently used streams are deleted when their recorded total exceeds a limit.
//
//   CacheManager cache(/*gcEnabled=*/true, /*gcLimit=*/1073741824);
//   if (!cache.IsGood()) ...                       // database unusable, already logged
//   cache.Set(tmpPdf, source, SZK_THUMB_PDF_TYPE, /*isMove=*/true);
//   std::ifstream in;
//   if (cache.Get(source, SZK_THUMB_PDF_TYPE, in)) ... read the PDF from `in` ...
//
// All paths are real (file-system) paths. Each process keeps its own CacheManager; processes
// share the database and the stream files, and SQLite's locking is the only coordination: no
// lock covers a stream file together with its row, so a reader may open a stream that another
// process is replacing or deleting (an open stream stays readable). Stream files and @eaDir
// directories are handled as root (the IF_RUN_AS scope), which changes the effective ids of the
// whole process: a CacheManager is used by one thread at a time.
//
// @eaDir folders live in folders that users own, so every stream goes through safe_file.h: an
// EA folder or stream that is a link or not root's alone is refused (logged; for Get a cache
// miss), streams are stored root's alone (mode 0600) and replaced atomically, and a target that
// is not a regular file is never cached or served.
//
// Failures are logged; apart from the results stated below, nothing is reported.
#ifndef PAPERLENS_INCLUDE_CACHE_MANAGER_H_
#define PAPERLENS_INCLUDE_CACHE_MANAGER_H_

#include <stdint.h>

#include <fstream>
#include <string>

#include "BaseDB.h"
#include "safe_file.h"

namespace VIREO {
namespace PAPERLENS {

class CacheManager {
 public:
  // Opens SZF_CACHE_DB_PATH and creates its tables, indexes and the triggers that keep the
  // recorded total of stream sizes when any is missing. When that fails
  // (logged "open db failed" or "create db failed") the object exists with IsGood() false, and
  // no other operation may be called.
  CacheManager(bool gcEnabled, int64_t gcLimit);
  ~CacheManager();

  CacheManager(const CacheManager&) = delete;
  CacheManager& operator=(const CacheManager&) = delete;

  bool IsGood() const { return _isGood; }

  // Stores the file `source` as stream `stream` of `target`, moving it when `isMove` and
  // copying it otherwise. First drops every stream of `target` when the target changed since
  // they were stored. False, with nothing changed, when `source` or `target` cannot be
  // examined, `target` is not a regular file, or the stream's path cannot be made. Otherwise
  // true, even when the move or the bookkeeping failed (logged): the cache is a cache, the
  // caller goes on. When garbage collection is enabled it runs afterwards, followed by
  // "VACUUM" of the database once free pages make up at least 1/kCompactionShare of it.
  bool Set(const std::string& source, const std::string& target, const std::string& stream,
           bool isMove);

  // Opens stream `stream` of `target` for reading into `in` (as root, so a stream of a
  // document that only root may read opens too) and refreshes its last use. A target changed
  // since its streams were stored loses them first. True when `in` is open and good.
  // REQUIRES: `in` is not open.
  bool Get(const std::string& target, const std::string& stream, std::ifstream& in);
  // As above, handing out the opened stream's descriptor.
  bool Get(const std::string& target, const std::string& stream, safe::Fd& out);

  // Deletes one stream file and its row. False only when the stream's path cannot be made;
  // failures to delete are logged.
  bool Remove(const std::string& target, const std::string& stream);

  // Forget everything cached for `target`: its stream files (as root), its rows, or both
  // (files first). False when the database could not be read or written (logged).
  bool CleanCacheInEADir(const std::string& target);
  bool CleanCacheInDB(const std::string& target);
  bool CleanCache(const std::string& target);

  // True when `target` has a recorded modification time and its current one differs. False
  // when it has none, cannot be examined, or the database cannot be read.
  bool IsTargetModified(const std::string& target);

  // Makes sure `target`'s @eaDir directory exists (creating it as root).
  bool MakeEADir(const std::string& target);
  // The path of stream `stream` of `target` into `out`; nothing is made on the way.
  static bool StreamPath(const std::string& target, const std::string& stream,
                         std::string& out);
  // The same, after MakeEADir.
  bool GetEAPath(const std::string& target, const std::string& stream, std::string& out);

  // Bookkeeping rows. A target row keeps the `modify` it was first stored with; a stream row
  // keeps its first `size`, and its last use is set to now. The result is that of the write.
  bool InsertTarget(const std::string& target, long modify);
  bool InsertCache(const std::string& target, const std::string& stream,
                   unsigned long long size);
  bool InsertDB(const std::string& target, long modify, const std::string& stream,
                unsigned long long size);
  bool UpdateCache(const std::string& target, const std::string& stream);

  // The number of bytes by which the recorded total of stream sizes exceeds the limit; 0 when
  // it does not, or when the total cannot be read (logged).
  int64_t CalculateGCSize();

  // Deletes streams, least recently used first, until more than CalculateGCSize() bytes were
  // freed, then the target rows left without streams. A stream whose source folder is gone
  // (or whose path cannot be derived) can no longer exist: its row is dropped and its size
  // counts as nothing freed. Nothing happens when the total is within the limit.
  void GarbageCollect();

  // A VACUUM rewrites the whole file, so its cost grows with the cache; it runs only once free
  // pages make up this share (1/8) of the file, which bounds the waste and keeps a store's cost
  // flat however many streams are cached.
  static constexpr long long kCompactionShare = 8;

 private:
  // IsTargetModified for a target examined as `st`.
  bool DiffersFromRecord(const std::string& target, const struct stat& st);
  // Whether every table, index and trigger of the schema is in place, read without a write.
  bool HasSchema();
  // Whether the database file has enough free pages to be worth a VACUUM (true when the counts
  // cannot be read).
  bool NeedsCompaction();

  const bool _gcEnabled;  // Set collects garbage and vacuums afterwards
  const int64_t _gcLimit;  // bytes the recorded streams may occupy
  BaseDB _db;             // on SZF_CACHE_DB_PATH
  bool _isGood;           // Constant after construction
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_CACHE_MANAGER_H_
