// Cost of the conversion cache's Set and Get on a cache of 10 000 streams, and of the "VACUUM"
// that every Set with garbage collection runs. Needs the appliance (the fixed database path and
// /volume1):
//
//   harbor/appliance/appliance run --build build -- $PWD/build/bench/cache_bench
//
// The cache is filled once: 10 000 documents in 100 folders, each with a real stream file in its
// @eaDir, and one row per stream recorded at 100 000 bytes, so that the total (10^9 bytes) stays
// under the 1 GiB limit every caller passes, as a full but healthy cache would.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>

#include "BaseDB.h"
#include "cache_manager.h"
#include "utils.h"

namespace {

using VIREO::PAPERLENS::BaseDB;
using VIREO::PAPERLENS::CacheManager;
using VIREO::PAPERLENS::SZF_CACHE_DB_PATH;
using VIREO::PAPERLENS::SZK_THUMB_PDF_TYPE;

const int kEntries = 10000;
const int kFolders = 100;
const long kRecordedSize = 100000;
const int64_t kLimit = 1073741824;
const std::string kRoot = "/volume1/docs/bench";
const std::string kSource = kRoot + "/converted.pdf";

std::string Doc(int i) {
  return kRoot + "/f" + std::to_string(i % kFolders) + "/doc" + std::to_string(i) + ".docx";
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

// Documents, stream files and rows, the rows in one transaction (storing them one Set at a
// time would take far longer than the measurements).
bool Prepare() {
  unlink(SZF_CACHE_DB_PATH);
  mkdir(kRoot.c_str(), 0755);
  const std::string pdf(1024, 'p');
  if (!WriteFile(kSource, pdf)) return false;
  {
    CacheManager schema(false, kLimit);
    if (!schema.IsGood()) return false;
  }
  std::string sql;
  for (int f = 0; f < kFolders; ++f) {
    std::string dir = kRoot + "/f" + std::to_string(f);
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/@eaDir").c_str(), 0755);
  }
  for (int i = 0; i < kEntries; ++i) {
    std::string doc = Doc(i);
    if (!WriteFile(doc, "document")) return false;
    struct stat st;
    if (stat(doc.c_str(), &st) != 0) return false;
    size_t slash = doc.rfind('/');
    std::string ea = doc.substr(0, slash) + "/@eaDir/" + doc.substr(slash + 1);
    mkdir(ea.c_str(), 0755);
    if (!WriteFile(ea + "/" + SZK_THUMB_PDF_TYPE, pdf)) return false;
    sql += "INSERT INTO cache_target VALUES ('" + doc + "'," + std::to_string(st.st_mtime) +
           ");INSERT INTO cache VALUES ('" + SZK_THUMB_PDF_TYPE + "'," +
           std::to_string(kRecordedSize) + "," + std::to_string(1000000 + i) + ",'" + doc +
           "');";
  }
  BaseDB db(SZF_CACHE_DB_PATH);
  return db.Open() && db.Exec(sql);
}

void BM_Get(benchmark::State& state) {
  CacheManager cache(true, kLimit);
  std::mt19937 random(1);
  for (auto _ : state) {
    std::ifstream in;
    if (!cache.Get(Doc(static_cast<int>(random() % kEntries)), SZK_THUMB_PDF_TYPE, in)) {
      state.SkipWithError("Get failed");
      break;
    }
  }
}
BENCHMARK(BM_Get)->Unit(benchmark::kMillisecond);

// Storing again the stream of a document that has one (the row count stays at 10 000); with
// gc:1 that includes the collection (nothing to delete: the total is within the limit) and the
// VACUUM.
void BM_Set(benchmark::State& state) {
  CacheManager cache(state.range(0) != 0, kLimit);
  std::mt19937 random(2);
  for (auto _ : state) {
    if (!cache.Set(kSource, Doc(static_cast<int>(random() % kEntries)), SZK_THUMB_PDF_TYPE,
                   /*isMove=*/false)) {
      state.SkipWithError("Set failed");
      break;
    }
  }
}
BENCHMARK(BM_Set)->ArgName("gc")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The VACUUM alone, on the same 10 000-row database.
void BM_Vacuum(benchmark::State& state) {
  BaseDB db(SZF_CACHE_DB_PATH);
  if (!db.Open()) {
    state.SkipWithError("open failed");
    return;
  }
  for (auto _ : state) {
    if (sqlite3_exec(db.GetHandle(), "VACUUM", nullptr, nullptr, nullptr) != SQLITE_OK) {
      state.SkipWithError("VACUUM failed");
      break;
    }
  }
  struct stat st;
  if (stat(SZF_CACHE_DB_PATH, &st) == 0) state.counters["db_bytes"] = st.st_size;
}
BENCHMARK(BM_Vacuum)->Unit(benchmark::kMillisecond);

// A full cache: every Set of a new stream pushes the total over the limit, so the collection
// reads all rows in access order and deletes the oldest. Runs last: it eats into the cache.
void BM_SetEvicting(benchmark::State& state) {
  BaseDB::Rows rows;
  BaseDB db(SZF_CACHE_DB_PATH);
  if (!db.Open() || !db.QueryResult("SELECT SUM(size) AS total FROM cache", rows) ||
      rows.size() != 1) {
    state.SkipWithError("cannot read the total");
    return;
  }
  db.Close();
  // Just under the total: every Set then frees at least one of the oldest streams.
  CacheManager cache(true, std::stoll(rows[0]["total"]) - 1);
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string source = kRoot + "/new.pdf";
    WriteFile(source, std::string(kRecordedSize, 'n'));
    state.ResumeTiming();
    if (!cache.Set(source, Doc(n % kEntries), "VIREOLENS_BENCH_" + std::to_string(n), true)) {
      state.SkipWithError("Set failed");
      break;
    }
    ++n;
  }
}
BENCHMARK(BM_SetEvicting)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!Prepare()) {
    fprintf(stderr, "cache_bench: cannot prepare the cache (run it inside the appliance)\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
