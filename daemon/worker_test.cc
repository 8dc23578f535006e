// The worker and generator against the appliance's real shares and files: record translation,
// membership, skip paths, walks through links and unreadable folders, the queue file's bad
// lines, and removal of what was generated.
#include "worker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>

#include "appliance_env.h"
#include "cache_manager.h"
#include "path.h"
#include "utils.h"
#include "utils_json.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

using testsupport::Exists;
using testsupport::MakeDir;
using testsupport::WriteFile;

const std::string kShareDir = "/docs/idx";
const std::string kDir = "/volume1/docs/idx";
const std::string kDoc = "0123456789 a document of more than ten bytes";

Json::Value Item(int id, const std::string& sharePath, bool thumb, bool pdf) {
  Json::Value item(Json::objectValue);
  item["id"] = id;
  item["path"] = sharePath;
  item["enable_thumbnail"] = thumb;
  item["enable_preconvert"] = pdf;
  return item;
}

void WriteConfig(const std::vector<Json::Value>& items) {
  Json::Value config(Json::objectValue);
  config["items"] = Json::Value(Json::arrayValue);
  for (const Json::Value& i : items) config["items"].append(i);
  ASSERT_TRUE(json::ToFile(config, SZF_INDEX_CONFIG));
}

Json::Value Record(int event, bool isDir, const std::string& path) {
  Json::Value r(Json::objectValue);
  r["event"] = event;
  r["is_dir"] = isDir;
  r["path"] = path;
  return r;
}

std::string EAFile(const std::string& file, const std::string& stream) {
  std::string ea;
  EXPECT_TRUE(path::RealPathToEAPath(file, ea, stream)) << file;
  return ea;
}

// A stream as the conversions store it: root's alone, in a root-only EA folder.
void PlantStream(const std::string& file, const std::string& stream) {
  WriteFile(EAFile(file, stream), "generated", 0600);
}

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::RemoveAll(kDir);
    testsupport::RemoveAll("/volume1/docs/idx2");
    MakeDir(kDir, 0755);
    ClearTasks();
    unlink(SZF_INDEX_QUEUE_WORKING);
  }
  void TearDown() override {
    testsupport::RemoveAll(kDir);
    testsupport::RemoveAll("/volume1/docs/idx2");
    unlink(SZF_INDEX_CONFIG);
    ClearTasks();
  }
  void ClearTasks() {
    std::vector<TaskDB::Task> tasks;
    worker_.DB().GetTasks(tasks, 0);
    for (const TaskDB::Task& t : tasks) worker_.DB().DeleteTask(t);
  }
  // The queued tasks as "op kind path" lines.
  std::vector<std::string> Tasks() {
    std::vector<TaskDB::Task> tasks;
    EXPECT_TRUE(worker_.DB().GetTasks(tasks, 0));
    std::vector<std::string> out;
    for (const TaskDB::Task& t : tasks) {
      out.push_back(std::to_string(t.op) + " " + std::to_string(t.convert_type) + " " + t.path);
    }
    return out;
  }
  using Lines = std::vector<std::string>;

  Worker worker_;
};

TEST_F(WorkerTest, RecordsBecomeTheTasksTheFolderSettingsAskFor) {
  WriteConfig({Item(1, kShareDir, /*thumb=*/true, /*pdf=*/false)});
  worker_.ProcessRecord(Record(65536, true, kDir));
  EXPECT_EQ(Lines({"0 1 " + kDir}), Tasks());
  ClearTasks();

  // A PDF gets only its thumbnail, whatever the settings; a scan record for a file nothing.
  WriteConfig({Item(1, kShareDir, true, true)});
  WriteFile(kDir + "/a.pdf", kDoc);
  WriteFile(kDir + "/b.docx", kDoc);
  worker_.ProcessRecord(Record(64, false, kDir + "/a.pdf"));
  worker_.ProcessRecord(Record(64, false, kDir + "/b.docx"));
  worker_.ProcessRecord(Record(65536, false, kDir + "/b.docx"));
  EXPECT_EQ(Lines({"0 1 " + kDir + "/a.pdf", "0 2 " + kDir + "/b.docx", "0 1 " + kDir + "/b.docx"}),
            Tasks());
  ClearTasks();

  // Ten bytes or less, an unsupported type, a missing file, a folder named like a file: nothing.
  WriteFile(kDir + "/tiny.docx", "0123456789");
  WriteFile(kDir + "/notes.txt", kDoc);
  MakeDir(kDir + "/folder.docx");
  for (const char* f : {"/tiny.docx", "/notes.txt", "/missing.docx", "/folder.docx"}) {
    worker_.ProcessRecord(Record(8, false, kDir + f));
  }
  EXPECT_EQ(Lines({"1 2 " + kDir + "/tiny.docx"}), Tasks());  // a PDF needs no size
  ClearTasks();

  // A removal is one task for a folder, none for a file; unknown events nothing.
  worker_.ProcessRecord(Record(131072, true, kDir));
  worker_.ProcessRecord(Record(131072, false, kDir + "/b.docx"));
  worker_.ProcessRecord(Record(4, false, kDir + "/b.docx"));
  EXPECT_EQ(Lines({"2 0 " + kDir}), Tasks());
}

// A scan reuses the configuration it read while the file stays the same, and still sees a
// change (in place or by a new file) at the very next file; the cache it keeps open is opened
// again once its database was replaced.
TEST_F(WorkerTest, AReusedConfigurationAndCacheFollowEveryChange) {
  WriteFile(kDir + "/b.docx", kDoc);
  auto settle = [] {
    struct timeval old[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 100, 0}};
    ASSERT_EQ(0, utimes(SZF_INDEX_CONFIG, old));
  };
  TaskDB::Task thumb;
  thumb.op = TASK_OP_GENERATE;
  thumb.is_folder = false;
  thumb.convert_type = CONVERT_TYPE_THUMBNAIL;
  thumb.path = kDir + "/b.docx";
  TaskDB::Task pdf = thumb;
  pdf.convert_type = CONVERT_TYPE_PDF;

  WriteConfig({Item(1, kShareDir, true, false)});
  settle();
  EXPECT_TRUE(ShouldProcess(thumb));
  EXPECT_TRUE(ShouldProcess(thumb));  // from the configuration read before
  EXPECT_FALSE(ShouldProcess(pdf));
  // Switched in place, same size: true and false trade places.
  WriteConfig({Item(1, kShareDir, false, true)});
  EXPECT_FALSE(ShouldProcess(thumb));
  EXPECT_TRUE(ShouldProcess(pdf));
  settle();
  EXPECT_TRUE(ShouldProcess(pdf));
  // Replaced by another file with another folder.
  const std::string tmp = std::string(SZF_INDEX_CONFIG) + ".new";
  ASSERT_EQ(0, rename(SZF_INDEX_CONFIG, tmp.c_str()));
  WriteConfig({Item(1, "/docs/idx2", false, true)});
  EXPECT_FALSE(ShouldProcess(pdf));
  unlink(tmp.c_str());

  // The cache held open since the first PDF check: a new database is opened, and a PDF stored
  // there is seen.
  WriteConfig({Item(1, kShareDir, false, true)});
  ASSERT_EQ(0, unlink(SZF_CACHE_DB_PATH));
  {
    CacheManager cache(true, 1073741824);
    WriteFile(kDir + "/converted.pdf", "%PDF converted");
    ASSERT_TRUE(cache.Set(kDir + "/converted.pdf", kDir + "/b.docx", SZK_THUMB_PDF_TYPE, true));
  }
  EXPECT_FALSE(ShouldProcess(pdf));
}

TEST_F(WorkerTest, AnExistingThumbnailOrFailureMarkerStopsAScanNotAnUpdate) {
  WriteConfig({Item(1, kShareDir, true, false)});
  WriteFile(kDir + "/done.docx", kDoc);
  WriteFile(kDir + "/failed.docx", kDoc);
  PlantStream(kDir + "/done.docx", SZK_THUMB_TYPE);
  PlantStream(kDir + "/failed.docx", std::string(SZK_THUMB_TYPE) + ".err.0063");
  for (const char* f : {"/done.docx", "/failed.docx"}) {
    worker_.ProcessRecord(Record(64, false, kDir + f));
  }
  EXPECT_TRUE(Tasks().empty());
  for (const char* f : {"/done.docx", "/failed.docx"}) {
    worker_.ProcessRecord(Record(8, false, kDir + f));
  }
  EXPECT_EQ(Lines({"1 1 " + kDir + "/done.docx", "1 1 " + kDir + "/failed.docx"}), Tasks());
}

TEST_F(WorkerTest, MembershipIsByRealPathAtAComponentBoundary) {
  WriteConfig({Item(1, kShareDir, true, false), Item(2, "/gone/idx", true, true)});
  MakeDir("/volume1/docs/idx2");
  WriteFile("/volume1/docs/idx2/a.docx", kDoc);
  WriteFile(kDir + "/a.docx", kDoc);
  Json::Value config;
  ASSERT_TRUE(json::FromFile(SZF_INDEX_CONFIG, config));
  testsupport::LogMark mark;
  EXPECT_TRUE(IsEnabled("enable_thumbnail", config, kDir));
  EXPECT_TRUE(IsEnabled("enable_thumbnail", config, kDir + "/a.docx"));
  EXPECT_FALSE(IsEnabled("enable_thumbnail", config, "/volume1/docs/idx2/a.docx"));
  EXPECT_FALSE(IsEnabled("enable_preconvert", config, kDir + "/a.docx"));
  // The share path as text in some other real path claims nothing.
  EXPECT_FALSE(IsEnabled("enable_thumbnail", config, "/volume2/archive/docs/idx/a.docx"));
  EXPECT_EQ(0, mark.Count("gone"));  // a folder whose share is gone costs no line per file

  worker_.ProcessRecord(Record(8, false, "/volume1/docs/idx2/a.docx"));
  EXPECT_TRUE(Tasks().empty());

  // A share that is not on its name's volume folder still matches by its real path.
  WriteConfig({Item(1, "/archive/idx", true, false)});
  MakeDir("/volume2/archive/idx");
  WriteFile("/volume2/archive/idx/a.docx", kDoc);
  worker_.ProcessRecord(Record(8, false, "/volume2/archive/idx/a.docx"));
  EXPECT_EQ(Lines({"1 1 /volume2/archive/idx/a.docx"}), Tasks());
  testsupport::RemoveAll("/volume2/archive/idx");
}

TEST_F(WorkerTest, SkipPathsAreNeverProcessed) {
  for (const char* p : {"/volume1/docs/#recycle/a.docx", "/volume1/docs/idx/#snapshot/a.docx",
                        "/volume1/docs/idx/@eaDir/a.docx", "/volume1/docs/@snapshot/x", "/proc/1",
                        ""}) {
    EXPECT_TRUE(IsSkipPath(p)) << p;
  }
  EXPECT_FALSE(IsSkipPath("/volume1/docs/idx/a.docx"));
  EXPECT_FALSE(IsSkipPath("/volume1/docs/idx/recycle/a.docx"));

  WriteConfig({Item(1, "/docs", true, true)});
  WriteFile("/volume1/docs/#recycle/a.docx", kDoc);
  worker_.ProcessRecord(Record(8, false, "/volume1/docs/#recycle/a.docx"));
  EXPECT_TRUE(Tasks().empty());
  testsupport::RemoveAll("/volume1/docs/#recycle");
}

TEST_F(WorkerTest, ABadLineCostsOnlyThatLine) {
  WriteConfig({Item(1, kShareDir, true, false)});
  MakeDir(kDir + "/one");
  MakeDir(kDir + "/two");
  std::ofstream(SZF_INDEX_QUEUE_WORKING)
      << json::ToString(Record(65536, true, kDir + "/one")) << "\n"
      << "{\"event\": 65536, \"is_dir\": tr\n"                                   // torn
      << "[1, 2]\n"                                                              // no object
      << "{\"is_dir\": true, \"path\": \"" << kDir << "\"}\n"                    // no event
      << "{\"event\": 65536, \"is_dir\": \"yes\", \"path\": \"" << kDir << "\"}\n"  // bad is_dir
      << "\n"
      << json::ToString(Record(65536, true, kDir + "/two")) << "\n";
  testsupport::LogMark mark;
  worker_.ReadQueue();
  EXPECT_EQ(Lines({"0 1 " + kDir + "/one", "0 1 " + kDir + "/two"}), Tasks());
  EXPECT_EQ(3, mark.Count("[0x4000 daemon/worker.cc:"));
}

TEST_F(WorkerTest, WalksFollowLinksOnlyBeneathTheFolderAndSurviveUnreadableFolders) {
  WriteConfig({Item(1, kShareDir, true, false)});
  MakeDir(kDir + "/a");
  MakeDir(kDir + "/b");
  WriteFile(kDir + "/a/one.txt", kDoc);
  WriteFile(kDir + "/b/two.txt", kDoc);
  WriteFile("/volume1/docs/private.txt", kDoc);
  ASSERT_EQ(0, symlink("a/one.txt", (kDir + "/inside.txt").c_str()));
  ASSERT_EQ(0, symlink("../private.txt", (kDir + "/outside.txt").c_str()));
  ASSERT_EQ(0, symlink("/volume2/archive", (kDir + "/linked-folder").c_str()));
  MakeDir(kDir + "/@eaDir/x");
  WriteFile(kDir + "/@eaDir/x/three.txt", kDoc);
  MakeDir(kDir + "/#recycle");
  WriteFile(kDir + "/#recycle/four.txt", kDoc);

  std::atomic<bool> stop{false};
  {
    Generator gen(&worker_.DB(), &stop);
    ASSERT_TRUE(gen.ProcessFolder({TASK_OP_GENERATE, true, "", kDir, CONVERT_TYPE_THUMBNAIL}));
    EXPECT_EQ(3, gen.FilesSeen());  // one, two, inside
  }
  // A folder the walk cannot read is logged and passed over; the rest is still walked.
  testsupport::MakeDir(kDir + "/0-locked", 0700, testsupport::kBobUid, testsupport::kUsersGid);
  WriteFile(kDir + "/0-locked/five.txt", kDoc);
  testsupport::LogMark mark;
  {
    testsupport::ScopedEffectiveUser alice(testsupport::kAliceUid, testsupport::kUsersGid);
    Generator gen(&worker_.DB(), &stop);
    ASSERT_TRUE(gen.ProcessFolder({TASK_OP_GENERATE, true, "", kDir, CONVERT_TYPE_THUMBNAIL}));
    EXPECT_EQ(3, gen.FilesSeen());
  }
  EXPECT_TRUE(mark.Contains("cannot read folder " + kDir + "/0-locked"));
  testsupport::RemoveAll("/volume1/docs/private.txt");
}

TEST_F(WorkerTest, RemovalDeletesOnlyGeneratedStreamsAndMarkers) {
  WriteFile(kDir + "/a.docx", kDoc);
  WriteFile(kDir + "/sub/b.docx", kDoc);
  WriteFile(kDir + "/VIREOLENS_notes.docx", kDoc);  // the user's own document
  WriteFile(kDir + "/sub/VIREOLENS_THUMB.png", kDoc);  // a user's file of a generated name
  PlantStream(kDir + "/a.docx", SZK_THUMB_TYPE);
  PlantStream(kDir + "/a.docx", SZK_THUMB_PDF_TYPE);
  PlantStream(kDir + "/sub/b.docx", std::string(SZK_THUMB_TYPE) + ".err.0063");
  PlantStream(kDir + "/sub/b.docx", "OTHER_STREAM");
  // A link named like an EA folder is not followed.
  MakeDir("/volume1/docs/idx2/@eaDir/c.docx");
  WriteFile("/volume1/docs/idx2/@eaDir/c.docx/VIREOLENS_THUMB.png", kDoc, 0600);
  MakeDir(kDir + "/linked");
  ASSERT_EQ(0, symlink("/volume1/docs/idx2/@eaDir", (kDir + "/linked/@eaDir").c_str()));

  std::atomic<bool> stop{false};
  Generator gen(&worker_.DB(), &stop);
  ASSERT_TRUE(gen.RemoveGenerated({TASK_OP_REMOVE, true, "", kDir, 0}));
  EXPECT_FALSE(Exists(EAFile(kDir + "/a.docx", SZK_THUMB_TYPE)));
  EXPECT_FALSE(Exists(EAFile(kDir + "/a.docx", SZK_THUMB_PDF_TYPE)));
  EXPECT_FALSE(Exists(EAFile(kDir + "/sub/b.docx", std::string(SZK_THUMB_TYPE) + ".err.0063")));
  EXPECT_TRUE(Exists(EAFile(kDir + "/sub/b.docx", "OTHER_STREAM")));
  EXPECT_TRUE(Exists(kDir + "/VIREOLENS_notes.docx"));
  EXPECT_TRUE(Exists(kDir + "/sub/VIREOLENS_THUMB.png"));
  EXPECT_TRUE(Exists(kDir + "/a.docx"));
  EXPECT_TRUE(Exists("/volume1/docs/idx2/@eaDir/c.docx/VIREOLENS_THUMB.png"));
}

TEST_F(WorkerTest, RemovalsAreCarriedOutWhenIndexingWasSwitchedOff) {
  WriteFile(kDir + "/a.docx", kDoc);
  PlantStream(kDir + "/a.docx", SZK_THUMB_TYPE);
  unlink(SZF_INDEX_CONFIG);  // the last folder left the index
  std::ofstream(SZF_INDEX_QUEUE) << json::ToString(Record(131072, true, kDir)) << "\n"
                                 << json::ToString(Record(65536, true, kDir)) << "\n";
  ASSERT_TRUE(worker_.DB().AppendTask({TASK_OP_GENERATE, true, "", "/volume1/docs", 1}));
  worker_.FinishRemovals();
  EXPECT_FALSE(Exists(EAFile(kDir + "/a.docx", SZK_THUMB_TYPE)));
  EXPECT_TRUE(Exists(kDir + "/a.docx"));
  EXPECT_FALSE(Exists(SZF_INDEX_QUEUE));
  EXPECT_EQ(Lines({"0 1 /volume1/docs"}), Tasks());  // left for when indexing is back
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
