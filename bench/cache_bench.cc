// Cost of one store into the conversion cache (Set with collection, as every caller runs it)
// on a cache of N streams, and of a "VACUUM" alone on the same database. Needs the appliance
// (the fixed database path and /volume1); `make bench` runs it:
//
//   cache_bench N     prints {"streams":N,"set_ms":...,"vacuum_ms":...}
//
// The cache is filled once: N documents in folders of 100, each with a real stream file in its
// @eaDir and one row recorded at 5 000 bytes, so that the total stays under the 1 GiB limit
// every caller passes (a healthy cache: the collection has nothing to delete).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BaseDB.h"
#include "cache_manager.h"
#include "utils.h"

namespace {

using VIREO::PAPERLENS::BaseDB;
using VIREO::PAPERLENS::CacheManager;
using VIREO::PAPERLENS::SZF_CACHE_DB_PATH;
using VIREO::PAPERLENS::SZK_THUMB_PDF_TYPE;

const int kPerFolder = 100;
const long kRecordedSize = 5000;
const int64_t kLimit = 1073741824;
const int kStores = 41;
const std::string kRoot = "/volume1/docs/cachebench";
const std::string kSource = kRoot + "/converted.pdf";

std::string Doc(int i) {
  return kRoot + "/f" + std::to_string(i / kPerFolder) + "/doc" + std::to_string(i) + ".docx";
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

// Documents, stream files and rows, the rows in one transaction (storing them one Set at a
// time would take far longer than the measurement).
bool Prepare(int entries) {
  unlink(SZF_CACHE_DB_PATH);
  if (system(("rm -rf " + kRoot).c_str()) != 0) return false;
  mkdir(kRoot.c_str(), 0755);
  const std::string pdf(1024, 'p');
  if (!WriteFile(kSource, pdf)) return false;
  {
    CacheManager schema(false, kLimit);
    if (!schema.IsGood()) return false;
  }
  std::string sql;
  for (int i = 0; i < entries; ++i) {
    std::string doc = Doc(i);
    size_t slash = doc.rfind('/');
    std::string dir = doc.substr(0, slash);
    if (i % kPerFolder == 0) {
      mkdir(dir.c_str(), 0755);
      mkdir((dir + "/@eaDir").c_str(), 0755);
    }
    if (!WriteFile(doc, "document")) return false;
    struct stat st;
    if (stat(doc.c_str(), &st) != 0) return false;
    std::string ea = dir + "/@eaDir/" + doc.substr(slash + 1);
    mkdir(ea.c_str(), 0755);
    std::string stream = ea + "/" + SZK_THUMB_PDF_TYPE;
    if (!WriteFile(stream, pdf) || chmod(stream.c_str(), 0600) != 0) return false;
    sql += "INSERT INTO cache_target VALUES ('" + doc + "'," + std::to_string(st.st_mtime) +
           ");INSERT INTO cache VALUES ('" + SZK_THUMB_PDF_TYPE + "'," +
           std::to_string(kRecordedSize) + "," + std::to_string(1000000 + i) + ",'" + doc +
           "');";
  }
  BaseDB db(SZF_CACHE_DB_PATH);
  return db.Open() && db.Exec(sql);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int entries = argc > 1 ? atoi(argv[1]) : 10000;
  if (entries < 1 || !Prepare(entries)) {
    fprintf(stderr, "cache_bench: cannot prepare the cache (run it inside the appliance)\n");
    return 1;
  }
  using Clock = std::chrono::steady_clock;
  std::vector<double> stores;
  {
    CacheManager cache(true, kLimit);
    std::mt19937 random(2);
    for (int n = 0; n < kStores; ++n) {
      auto t = Clock::now();
      if (!cache.Set(kSource, Doc(static_cast<int>(random() % entries)), SZK_THUMB_PDF_TYPE,
                     /*isMove=*/false)) {
        fprintf(stderr, "cache_bench: Set failed\n");
        return 1;
      }
      stores.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
    }
  }
  std::vector<double> vacuums;
  BaseDB db(SZF_CACHE_DB_PATH);
  if (!db.Open()) return 1;
  for (int n = 0; n < 5; ++n) {
    auto t = Clock::now();
    if (sqlite3_exec(db.GetHandle(), "VACUUM", nullptr, nullptr, nullptr) != SQLITE_OK) return 1;
    vacuums.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
  }
  printf("{\"streams\":%d,\"set_ms\":%.3f,\"vacuum_ms\":%.3f}\n", entries, Median(stores),
         Median(vacuums));
  return 0;
}
