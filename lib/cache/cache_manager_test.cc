#include "cache_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "../db/db_test_util.h"
#include "appliance_env.h"
#include "runas.h"
#include "utils.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

using testing::Query;
using testing::Write;

// One folder on each volume, so that moves are both renames and copies across volumes.
const std::string kVol1 = "/volume1/docs/cachetest";
const std::string kVol2 = "/volume2/archive/cachetest";
const std::string kPdf = SZK_THUMB_PDF_TYPE;
const std::string kPng = SZK_THUMB_TYPE;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class CacheManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::RemoveDB(SZF_CACHE_DB_PATH);
    for (const std::string& dir : {kVol1, kVol2}) {
      testing::RunCapture({"rm", "-rf", dir});
      ASSERT_EQ(0, mkdir(dir.c_str(), 0755)) << dir;
    }
  }

  void TearDown() override {
    testing::RemoveDB(SZF_CACHE_DB_PATH);
    for (const std::string& dir : {kVol1, kVol2}) testing::RunCapture({"rm", "-rf", dir});
  }

  static std::string MakeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return path;
  }

  // Where the platform keeps stream `stream` of `target`: /d/f -> /d/@eaDir/f/stream.
  static std::string StreamPath(const std::string& target, const std::string& stream) {
    size_t slash = target.rfind('/');
    return target.substr(0, slash) + "/@eaDir/" + target.substr(slash + 1) + "/" + stream;
  }

  // The cache table as "target|stream|size" lines, in target and stream order.
  static std::string Streams() {
    std::string text;
    for (const BaseDB::Row& r :
         Query(SZF_CACHE_DB_PATH, "SELECT * FROM cache ORDER BY target, stream")) {
      text += r.at("target") + "|" + r.at("stream") + "|" + r.at("size") + "\n";
    }
    return text;
  }

  static std::string Targets() {
    std::string text;
    for (const BaseDB::Row& r :
         Query(SZF_CACHE_DB_PATH, "SELECT path FROM cache_target ORDER BY path")) {
      text += r.at("path") + "\n";
    }
    return text;
  }

  static std::string Access(const std::string& target, const std::string& stream) {
    BaseDB::Rows rows = Query(SZF_CACHE_DB_PATH, "SELECT access FROM cache WHERE target = '" +
                                                     target + "' AND stream = '" + stream + "'");
    return rows.size() == 1 ? rows[0]["access"] : "<none>";
  }

  static void SetAccess(const std::string& target, long access) {
    ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "UPDATE cache SET access = " + std::to_string(access) +
                                             " WHERE target = '" + target + "'"));
  }

  // A document `name` in `dir` with a stored stream of `size` bytes, last used at `access`.
  static std::string Stored(const std::string& dir, const std::string& name, size_t size,
                            long access) {
    std::string doc = MakeFile(dir + "/" + name, "document " + name);
    std::string tmp = MakeFile(dir + "/" + name + ".tmp", std::string(size, 'p'));
    CacheManager cache(/*gcEnabled=*/false, 0);
    EXPECT_TRUE(cache.Set(tmp, doc, kPdf, /*isMove=*/true));
    SetAccess(doc, access);
    return doc;
  }

  static void Touch(const std::string& path, time_t mtime) {
    struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(0, utimes(path.c_str(), times));
  }
};

TEST_F(CacheManagerTest, SchemaIsExactlyTheTablesAndIndexesOfTheScript) {
  CacheManager cache(true, 1073741824);
  ASSERT_TRUE(cache.IsGood());
  EXPECT_EQ(
      "CREATE TABLE cache_target (path TEXT PRIMARY KEY,modify INTEGER);\n"
      "CREATE UNIQUE INDEX path ON cache_target (path);\n"
      "CREATE INDEX modify ON cache_target (modify);\n"
      "CREATE TABLE cache (stream TEXT,size INTEGER,access INTEGER,target TEXT,FOREIGN "
      "KEY(target) REFERENCES cache_target(path));\n"
      "CREATE INDEX stream ON cache (stream);\n"
      "CREATE INDEX target ON cache (target);\n"
      "CREATE INDEX target_stream_compound ON cache (target, stream);\n"
      "CREATE TABLE cache_total (id INTEGER PRIMARY KEY CHECK (id = 0),total INTEGER NOT "
      "NULL);\n"
      "CREATE TRIGGER cache_total_insert AFTER INSERT ON cache BEGIN UPDATE cache_total SET "
      "total = total + ifnull(NEW.size, 0) WHERE id = 0; END;\n"
      "CREATE TRIGGER cache_total_delete AFTER DELETE ON cache BEGIN UPDATE cache_total SET "
      "total = total - ifnull(OLD.size, 0) WHERE id = 0; END;\n"
      "CREATE TRIGGER cache_total_update AFTER UPDATE OF size ON cache BEGIN UPDATE "
      "cache_total SET total = total - ifnull(OLD.size, 0) + ifnull(NEW.size, 0) WHERE id = "
      "0; END;\n",
      testing::Schema(SZF_CACHE_DB_PATH));
  const std::string made = testing::Schema(SZF_CACHE_DB_PATH);
  CacheManager again(true, 1073741824);
  EXPECT_TRUE(again.IsGood());

  // Whatever is missing, an index or a trigger, the next construction puts back.
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "DROP INDEX modify; DROP TRIGGER cache_total_delete"));
  CacheManager mended(true, 1073741824);
  EXPECT_TRUE(mended.IsGood());
  auto lines = [](const std::string& text) {
    std::multiset<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.insert(line);
    return out;
  };
  EXPECT_EQ(lines(made), lines(testing::Schema(SZF_CACHE_DB_PATH)));  // in another order
}

// A database in place is only read at construction: while another process holds the write
// lock (a long store, a VACUUM), a reader does not queue behind it.
TEST_F(CacheManagerTest, ConstructionOnAReadyDatabaseTakesNoWriteLock) {
  { CacheManager first(true, 1073741824); }
  BaseDB writer(SZF_CACHE_DB_PATH);
  ASSERT_TRUE(writer.Open());
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(writer.GetHandle(), "BEGIN IMMEDIATE", nullptr, nullptr,
                                    nullptr));
  auto start = std::chrono::steady_clock::now();
  CacheManager cache(true, 1073741824);
  EXPECT_TRUE(cache.IsGood());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  sqlite3_exec(writer.GetHandle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

// The total that collection compares with the limit is kept by the database itself, so rows
// written by any program (a peer that knows nothing of it, a database from before it) count.
TEST_F(CacheManagerTest, RecordedTotalFollowsEveryChangeOfTheStreams) {
  // A database made with the tables and indexes only, holding 30 bytes of streams.
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH,
                    "CREATE TABLE cache_target (path TEXT PRIMARY KEY,modify INTEGER);"
                    "CREATE TABLE cache (stream TEXT,size INTEGER,access INTEGER,target TEXT);"
                    "INSERT INTO cache VALUES ('a',10,1,'/x'),('b',20,2,'/y'),('c',NULL,3,'/z')"));
  CacheManager cache(true, 25);
  ASSERT_TRUE(cache.IsGood());
  EXPECT_EQ(5, cache.CalculateGCSize());

  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "INSERT INTO cache VALUES ('d',7,4,'/w')"));
  EXPECT_EQ(12, cache.CalculateGCSize());
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "UPDATE cache SET size = 1 WHERE stream = 'b'"));
  EXPECT_EQ(0, cache.CalculateGCSize());  // 18
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "UPDATE cache SET size = 40 WHERE stream = 'c'"));
  EXPECT_EQ(33, cache.CalculateGCSize());  // 58
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "DELETE FROM cache WHERE stream IN ('a', 'c')"));
  EXPECT_EQ(0, cache.CalculateGCSize());  // 8
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "INSERT INTO cache VALUES ('e',30,5,'/v')"));
  EXPECT_EQ(13, cache.CalculateGCSize());
  EXPECT_EQ(Query(SZF_CACHE_DB_PATH, "SELECT SUM(size) AS s FROM cache")[0]["s"],
            Query(SZF_CACHE_DB_PATH, "SELECT total FROM cache_total")[0]["total"]);
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "DELETE FROM cache"));
  EXPECT_EQ("0", Query(SZF_CACHE_DB_PATH, "SELECT total FROM cache_total")[0]["total"]);

  // A total that lost its row is seeded again from the sum at the next construction; until
  // then the sum answers.
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "INSERT INTO cache VALUES ('f',50,6,'/u');"
                                       "DELETE FROM cache_total"));
  EXPECT_EQ(25, cache.CalculateGCSize());
  CacheManager again(true, 25);
  ASSERT_TRUE(again.IsGood());
  EXPECT_EQ("50", Query(SZF_CACHE_DB_PATH, "SELECT total FROM cache_total")[0]["total"]);
}

TEST_F(CacheManagerTest, SetStoresTheStreamBesideItsSourceOnEitherVolume) {
  // Converter output lands on the first volume; documents live on both.
  std::string onVol1 = MakeFile(kVol1 + "/it's \"q3\".docx", "document 1");
  std::string onVol2 = MakeFile(kVol2 + "/report.xlsx", "document 2");
  std::string pdf1 = MakeFile(kVol1 + "/out1.pdf", "%PDF one");
  std::string pdf2 = MakeFile(kVol1 + "/out2.pdf", "%PDF-1.4 two");
  std::string png = MakeFile(kVol1 + "/out.png", "PNG");
  Touch(onVol2, 1500000000);
  CacheManager cache(true, 1073741824);
  ASSERT_TRUE(cache.IsGood());

  ASSERT_TRUE(cache.Set(pdf1, onVol1, kPdf, /*isMove=*/true));   // rename
  ASSERT_TRUE(cache.Set(pdf2, onVol2, kPdf, /*isMove=*/true));   // copy and unlink
  ASSERT_TRUE(cache.Set(png, onVol2, kPng, /*isMove=*/false));   // copy

  EXPECT_FALSE(Exists(pdf1));
  EXPECT_FALSE(Exists(pdf2));
  EXPECT_EQ("PNG", ReadFile(png));
  EXPECT_EQ("%PDF one", ReadFile(StreamPath(onVol1, kPdf)));
  EXPECT_EQ("%PDF-1.4 two", ReadFile(StreamPath(onVol2, kPdf)));
  EXPECT_EQ("PNG", ReadFile(StreamPath(onVol2, kPng)));
  EXPECT_EQ(onVol1 + "|" + kPdf + "|8\n" + onVol2 + "|" + kPdf + "|12\n" + onVol2 + "|" + kPng +
                "|3\n",
            Streams());
  BaseDB::Rows modify = Query(SZF_CACHE_DB_PATH,
                              "SELECT modify FROM cache_target WHERE path = '" + onVol2 + "'");
  ASSERT_EQ(1u, modify.size());
  EXPECT_EQ("1500000000", modify[0]["modify"]);

  std::ifstream in;
  ASSERT_TRUE(cache.Get(onVol1, kPdf, in));
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ("%PDF one", text.str());
}

TEST_F(CacheManagerTest, StoringTheSameStreamTwiceKeepsOneRowWithTheFirstSize) {
  std::string doc = Stored(kVol1, "a.doc", 4, /*access=*/100);
  CacheManager cache(true, 1073741824);
  std::string again = MakeFile(kVol1 + "/again.pdf", "a longer file");

  ASSERT_TRUE(cache.Set(again, doc, kPdf, /*isMove=*/true));
  EXPECT_EQ(doc + "|" + kPdf + "|4\n", Streams());
  EXPECT_GT(std::stol(Access(doc, kPdf)), 100);
  EXPECT_EQ("a longer file", ReadFile(StreamPath(doc, kPdf)));
}

// A read refreshes the stream's last use; a second read within the same second finds it
// current and writes nothing to the database.
TEST_F(CacheManagerTest, GetRefreshesTheAccessTimeAndWritesOnlyWhenItChanges) {
  std::string doc = Stored(kVol1, "a.doc", 4, /*access=*/100);
  CacheManager cache(true, 1073741824);
  bool checked = false;
  for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
    safe::Fd fd;
    time_t before = time(nullptr);
    ASSERT_TRUE(cache.Get(doc, kPdf, fd));
    EXPECT_GE(std::stol(Access(doc, kPdf)), static_cast<long>(before));
    struct stat first, second;
    ASSERT_EQ(0, stat(SZF_CACHE_DB_PATH, &first));
    safe::Fd again;
    ASSERT_TRUE(cache.Get(doc, kPdf, again));
    ASSERT_EQ(0, stat(SZF_CACHE_DB_PATH, &second));
    if (time(nullptr) != before) continue;  // a second went by: the write was due
    EXPECT_EQ(first.st_mtim.tv_nsec, second.st_mtim.tv_nsec);
    EXPECT_EQ(first.st_mtim.tv_sec, second.st_mtim.tv_sec);
    checked = true;
  }
  EXPECT_TRUE(checked);
}

TEST_F(CacheManagerTest, ChangedSourceDropsEveryStreamAndRowOnGet) {
  std::string doc = Stored(kVol2, "plan.odt", 5, 100);
  std::string other = Stored(kVol2, "other.odt", 6, 100);
  CacheManager cache(true, 1073741824);
  ASSERT_TRUE(cache.Set(MakeFile(kVol1 + "/t.png", "png"), doc, kPng, /*isMove=*/true));
  EXPECT_FALSE(cache.IsTargetModified(doc));

  struct stat st;
  ASSERT_EQ(0, stat(doc.c_str(), &st));
  Touch(doc, st.st_mtime + 60);
  EXPECT_TRUE(cache.IsTargetModified(doc));
  std::ifstream in;
  EXPECT_FALSE(cache.Get(doc, kPdf, in));

  EXPECT_FALSE(Exists(StreamPath(doc, kPdf)));
  EXPECT_FALSE(Exists(StreamPath(doc, kPng)));
  EXPECT_EQ(other + "|" + kPdf + "|6\n", Streams());
  EXPECT_EQ(other + "\n", Targets());
  EXPECT_EQ(std::string(6, 'p'), ReadFile(StreamPath(other, kPdf)));
}

TEST_F(CacheManagerTest, TargetsWithoutARowOrAFileAreNeverModified) {
  std::string doc = MakeFile(kVol1 + "/never-stored.doc", "x");
  CacheManager cache(true, 1073741824);
  EXPECT_FALSE(cache.IsTargetModified(doc));
  EXPECT_FALSE(cache.IsTargetModified(kVol1 + "/missing.doc"));

  std::string stored = Stored(kVol1, "gone.doc", 3, 100);
  ASSERT_EQ(0, unlink(stored.c_str()));
  EXPECT_FALSE(cache.IsTargetModified(stored));
}

TEST_F(CacheManagerTest, SetWithAMissingSourceChangesNothing) {
  std::string doc = MakeFile(kVol1 + "/a.doc", "x");
  CacheManager cache(true, 1073741824);
  EXPECT_FALSE(cache.Set(kVol1 + "/no-such.pdf", doc, kPdf, true));
  EXPECT_FALSE(cache.Set(MakeFile(kVol1 + "/out.pdf", "pdf"), kVol1 + "/no-such.doc", kPdf, true));
  EXPECT_EQ("", Streams());
  EXPECT_EQ("", Targets());
  EXPECT_FALSE(Exists(kVol1 + "/@eaDir"));
  EXPECT_EQ("pdf", ReadFile(kVol1 + "/out.pdf"));
}

TEST_F(CacheManagerTest, FailedMoveStillRecordsTheStreamButGetFindsNothing) {
  std::string doc = MakeFile(kVol1 + "/a.doc", "x");
  std::string notAFile = kVol1 + "/folder.pdf";  // a folder cannot be moved as a stream
  ASSERT_EQ(0, mkdir(notAFile.c_str(), 0755));
  testsupport::LogMark log;
  CacheManager cache(true, 1073741824);

  EXPECT_TRUE(cache.Set(notAFile, doc, kPdf, /*isMove=*/true));
  EXPECT_TRUE(log.HasLine({"lib/cache/cache_manager.cc:", "cache move fail from: " + notAFile}));
  BaseDB::Rows rows = Query(SZF_CACHE_DB_PATH, "SELECT * FROM cache");
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(doc, rows[0]["target"]);
  std::ifstream in;
  EXPECT_FALSE(cache.Get(doc, kPdf, in));
}

TEST_F(CacheManagerTest, StreamsAreRootsAloneAndFoldersAreNeverCached) {
  std::string doc = MakeFile(kVol1 + "/a.docx", "x");
  std::string pdf = MakeFile(kVol1 + "/out.pdf", "%PDF-1.4 stored");
  ASSERT_EQ(0, chmod(pdf.c_str(), 0644));
  CacheManager cache(true, 1073741824);
  ASSERT_TRUE(cache.Set(pdf, doc, kPdf, /*isMove=*/false));
  struct stat st;
  ASSERT_EQ(0, stat(StreamPath(doc, kPdf).c_str(), &st));
  EXPECT_EQ(0u, st.st_uid);
  EXPECT_EQ(0600u, st.st_mode & 07777);

  // A folder named like a document has no PDF: nothing is stored, nothing is served.
  std::string folder = kVol1 + "/folder.docx";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  EXPECT_FALSE(cache.Set(pdf, folder, kPdf, /*isMove=*/false));
  EXPECT_FALSE(Exists(StreamPath(folder, kPdf)));
  ASSERT_EQ(0, mkdir((kVol1 + "/@eaDir/folder.docx").c_str(), 0755));
  MakeFile(StreamPath(folder, kPdf), "%PDF planted");
  std::ifstream in;
  EXPECT_FALSE(cache.Get(folder, kPdf, in));
}

TEST_F(CacheManagerTest, AnEAFolderThatIsNotRootsIsALoggedMiss) {
  std::string doc = MakeFile(kVol1 + "/a.docx", "x");
  std::string pdf = MakeFile(kVol1 + "/out.pdf", "%PDF-1.4 stored");
  CacheManager cache(true, 1073741824);
  ASSERT_TRUE(cache.Set(pdf, doc, kPdf, /*isMove=*/false));
  // The folder's owner renames the @eaDir away and puts up his own, or a link to another.
  ASSERT_EQ(0, rename((kVol1 + "/@eaDir").c_str(), (kVol1 + "/old").c_str()));
  ASSERT_EQ(0, mkdir((kVol1 + "/@eaDir").c_str(), 0777));
  ASSERT_EQ(0, mkdir((kVol1 + "/@eaDir/a.docx").c_str(), 0777));
  MakeFile(StreamPath(doc, kPdf), "%PDF fake");
  ASSERT_EQ(0, chown((kVol1 + "/@eaDir").c_str(), testsupport::kBobUid, testsupport::kUsersGid));
  testsupport::LogMark log;
  std::ifstream in;
  EXPECT_FALSE(cache.Get(doc, kPdf, in));
  EXPECT_TRUE(log.Contains("refusing EA folder " + kVol1 + "/@eaDir/a.docx"));
  // Nor is anything stored through it.
  std::string again = MakeFile(kVol1 + "/again.pdf", "%PDF again");
  EXPECT_FALSE(cache.Set(again, doc, kPdf, /*isMove=*/true));
  EXPECT_EQ("%PDF fake", ReadFile(StreamPath(doc, kPdf)));

  testing::RunCapture({"rm", "-rf", kVol1 + "/@eaDir"});
  ASSERT_EQ(0, symlink("old", (kVol1 + "/@eaDir").c_str()));
  EXPECT_FALSE(cache.Get(doc, kPdf, in));
  EXPECT_FALSE(cache.Set(again, doc, kPdf, /*isMove=*/true));
  EXPECT_EQ("%PDF-1.4 stored", ReadFile(kVol1 + "/old/a.docx/" + kPdf));
}

TEST_F(CacheManagerTest, RemoveDeletesOneStreamAndItsRow) {
  std::string doc = Stored(kVol2, "a.doc", 3, 100);
  CacheManager cache(false, 0);
  ASSERT_TRUE(cache.Set(MakeFile(kVol2 + "/t.png", "png"), doc, kPng, true));

  EXPECT_TRUE(cache.Remove(doc, kPdf));
  EXPECT_FALSE(Exists(StreamPath(doc, kPdf)));
  EXPECT_EQ("png", ReadFile(StreamPath(doc, kPng)));
  EXPECT_EQ(doc + "|" + kPng + "|3\n", Streams());
}

TEST_F(CacheManagerTest, DatabaseFolderNotWritableIsNotGood) {
  testsupport::LogMark log;
  // An unprivileged process cannot create the database in the package's folder.
  RunAs bob(1027, 100, __FILE__, __LINE__, "test");
  ASSERT_TRUE(bob);
  CacheManager cache(true, 1073741824);
  EXPECT_FALSE(cache.IsGood());
  EXPECT_TRUE(log.HasLine({"lib/cache/cache_manager.cc:", "db failed"}));
}

// ---- Garbage collection ------------------------------------------------------------------------

TEST_F(CacheManagerTest, CollectionFreesTheOldestStreamsUntilMoreThanTheExcess) {
  // 10 bytes over the limit: 4 bytes are not enough, 4 + 8 are.
  std::string a = Stored(kVol1, "a.doc", 4, 100);
  std::string b = Stored(kVol2, "b.doc", 8, 200);
  std::string c = Stored(kVol1, "c.doc", 20, 300);
  std::string d = Stored(kVol2, "d.doc", 1, 400);
  CacheManager cache(true, 33 - 10);
  ASSERT_TRUE(cache.InsertTarget(kVol1 + "/orphan.doc", 1));  // a target left without streams
  EXPECT_EQ(10, cache.CalculateGCSize());

  cache.GarbageCollect();
  EXPECT_FALSE(Exists(StreamPath(a, kPdf)));
  EXPECT_FALSE(Exists(StreamPath(b, kPdf)));
  EXPECT_TRUE(Exists(StreamPath(c, kPdf)));
  EXPECT_TRUE(Exists(StreamPath(d, kPdf)));
  EXPECT_EQ(c + "|" + kPdf + "|20\n" + d + "|" + kPdf + "|1\n", Streams());
  EXPECT_EQ(c + "\n" + d + "\n", Targets());
  EXPECT_EQ(0, cache.CalculateGCSize());
}

TEST_F(CacheManagerTest, CollectionAtExactlyTheLimitDeletesNothing) {
  std::string a = Stored(kVol1, "a.doc", 4, 100);
  std::string b = Stored(kVol2, "b.doc", 8, 200);
  CacheManager cache(true, 12);
  ASSERT_TRUE(cache.InsertTarget(kVol1 + "/orphan.doc", 1));
  EXPECT_EQ(0, cache.CalculateGCSize());

  cache.GarbageCollect();
  EXPECT_TRUE(Exists(StreamPath(a, kPdf)));
  EXPECT_TRUE(Exists(StreamPath(b, kPdf)));
  EXPECT_EQ(a + "\n" + kVol1 + "/orphan.doc\n" + b + "\n", Targets());

  testing::RemoveDB(SZF_CACHE_DB_PATH);
  CacheManager empty(true, 0);
  EXPECT_EQ(0, empty.CalculateGCSize());
}

TEST_F(CacheManagerTest, SetCollectsAfterStoring) {
  std::string a = Stored(kVol1, "a.doc", 4, 100);
  std::string b = Stored(kVol2, "b.doc", 8, 200);
  std::string c = MakeFile(kVol2 + "/c.doc", "c");
  // Pages freed by another process's deletions, for the VACUUM to give back.
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH,
                    "CREATE TABLE junk (x);INSERT INTO junk SELECT zeroblob(100000);DROP TABLE junk"));
  ASSERT_NE("0", Query(SZF_CACHE_DB_PATH, "PRAGMA freelist_count")[0]["freelist_count"]);
  CacheManager cache(true, 30);

  // 32 bytes recorded afterwards: the oldest stream alone frees more than the 2 too many.
  ASSERT_TRUE(cache.Set(MakeFile(kVol1 + "/c.pdf", std::string(20, 'c')), c, kPdf, true));
  EXPECT_FALSE(Exists(StreamPath(a, kPdf)));
  EXPECT_EQ(b + "|" + kPdf + "|8\n" + c + "|" + kPdf + "|20\n", Streams());
  EXPECT_EQ(b + "\n" + c + "\n", Targets());
  EXPECT_EQ("0", Query(SZF_CACHE_DB_PATH, "PRAGMA freelist_count")[0]["freelist_count"]);
}

// The file is compacted only when free pages make up a share of it worth the rewrite: a store
// into a large cache with a page or two to spare leaves them for the next inserts.
TEST_F(CacheManagerTest, SetCompactsOnlyWhenFreePagesAreAFairShare) {
  std::string c = MakeFile(kVol1 + "/c.doc", "c");
  // About 400 pages of live rows (other streams' bookkeeping), then some 20 pages freed.
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH,
                    "CREATE TABLE IF NOT EXISTS keep (x);"
                    "INSERT INTO keep SELECT zeroblob(1600000);"
                    "CREATE TABLE junk (x);INSERT INTO junk SELECT zeroblob(80000);DROP TABLE junk"));
  auto count = [](const char* pragma) {
    return std::stoll(Query(SZF_CACHE_DB_PATH, std::string("PRAGMA ") + pragma)[0].begin()->second);
  };
  long long freeBefore = count("freelist_count");
  ASSERT_GT(freeBefore, 0);
  ASSERT_LT(freeBefore * CacheManager::kCompactionShare, count("page_count"));
  CacheManager cache(true, 1 << 30);

  ASSERT_TRUE(cache.Set(MakeFile(kVol1 + "/c.pdf", "pdf"), c, kPdf, true));
  EXPECT_GT(count("freelist_count"), 0);
  EXPECT_EQ(c + "|" + kPdf + "|3\n", Streams());

  // Once the free pages pass the share, the next store compacts.
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH, "DELETE FROM keep"));
  ASSERT_TRUE(cache.Set(MakeFile(kVol1 + "/c.pdf", "pdf"), c, kPdf, true));
  EXPECT_EQ(0, count("freelist_count"));
  EXPECT_EQ(c + "|" + kPdf + "|3\n", Streams());
}

TEST_F(CacheManagerTest, StreamsOfVanishedFoldersAreDroppedWithoutCounting) {
  // The oldest and largest stream belongs to a folder that was deleted since.
  std::string gone = kVol2 + "/gone";
  ASSERT_EQ(0, mkdir(gone.c_str(), 0755));
  std::string lost = Stored(gone, "lost.doc", 100, 50);
  testing::RunCapture({"rm", "-rf", gone});
  ASSERT_TRUE(Write(SZF_CACHE_DB_PATH,
                    "INSERT INTO cache VALUES ('x', 50, 60, 'relative/x.doc');"
                    "INSERT INTO cache_target VALUES ('relative/x.doc', 1)"));
  std::string a = Stored(kVol1, "a.doc", 4, 100);
  std::string b = Stored(kVol1, "b.doc", 8, 200);
  std::string c = Stored(kVol1, "c.doc", 20, 300);
  CacheManager cache(true, 182 - 10);

  cache.GarbageCollect();
  EXPECT_FALSE(Exists(gone));  // not brought back to hold an @eaDir
  EXPECT_FALSE(Exists(StreamPath(a, kPdf)));
  EXPECT_FALSE(Exists(StreamPath(b, kPdf)));
  EXPECT_EQ(c + "|" + kPdf + "|20\n", Streams());
  EXPECT_EQ(c + "\n", Targets());
}

TEST_F(CacheManagerTest, StreamFileAlreadyGoneStillHasItsRowDeleted) {
  std::string a = Stored(kVol1, "a.doc", 12, 100);
  std::string b = Stored(kVol2, "b.doc", 8, 200);
  ASSERT_EQ(0, unlink(StreamPath(a, kPdf).c_str()));
  testsupport::LogMark log;
  CacheManager cache(true, 10);

  cache.GarbageCollect();
  EXPECT_TRUE(log.HasLine({"lib/cache/cache_manager.cc:", "GC fail " + StreamPath(a, kPdf)}));
  EXPECT_EQ(b + "|" + kPdf + "|8\n", Streams());
  EXPECT_EQ("pppppppp", ReadFile(StreamPath(b, kPdf)));
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
