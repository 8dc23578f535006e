// Indexing end to end: the index plug-in over real HTTP inside the appliance, the daemon it
// starts, the file-change monitor, and real conversions into thumbnails and cached PDFs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "TaskDB.h"
#include "appliance_env.h"
#include "appliance_server.h"
#include "served_suite.h"
#include "documents.h"
#include "http_client.h"
#include "utils.h"
#include "utils_json.h"
#include "vireo/libc.h"
#include "vireo/monitor.h"

namespace {

using paperlens_test::ApplianceServer;
using paperlens_test::WebClient;
using testsupport::Exists;
namespace PL = VIREO::PAPERLENS;

constexpr int kPort = 18490;
const char kApi[] = "VIREO.Paperlens.Index";
const std::string kDir = "/volume1/docs/indexed";
const std::string kShare = "/docs/indexed";

std::string Stream(const std::string& file, const char* stream) {
  size_t slash = file.rfind('/');
  return file.substr(0, slash) + "/@eaDir/" + file.substr(slash + 1) + "/" + stream;
}
std::string Thumb(const std::string& file) { return Stream(file, PL::SZK_THUMB_TYPE); }
std::string Pdf(const std::string& file) { return Stream(file, PL::SZK_THUMB_PDF_TYPE); }
std::string Marker(const std::string& file) { return Thumb(file) + ".err.0063"; }

bool WaitFor(const std::function<bool()>& cond, int seconds = 300) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return cond();
}

pid_t DaemonPid() {
  pid_t pid = VLIBCReadPidFile(PL::SZF_PIDPATH);
  return pid > 0 && VLIBCProcAlive(pid) ? pid : -1;
}

Json::Value SetParams(const std::string& path, bool thumb, bool pdf) {
  Json::Value p(Json::objectValue);
  p["path"] = path;
  p["enable_thumbnail"] = thumb;
  p["enable_preconvert"] = pdf;
  return p;
}

Json::Value Ids(std::initializer_list<int> ids) {
  Json::Value p(Json::objectValue);
  p["ids"] = Json::Value(Json::arrayValue);
  for (int i : ids) p["ids"].append(i);
  return p;
}

// Conversions the container pool has run so far.
int JobsRun() {
  Json::Value state;
  PL::json::FromFile(PL::SZF_CONFIG_PATH, state);
  int jobs = 0;
  for (const auto& name : state.getMemberNames()) {
    if (name.compare(0, 5, "vireo") == 0) jobs += state[name]["used"].asInt();
  }
  return jobs;
}

struct stat StatOf(const std::string& path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st;
}

class IndexE2ETest : public paperlens_test::ServedSuite<kPort> {
 protected:

  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << server_->Error();
    testsupport::RemoveAll(kDir);
    testsupport::MakeDir(kDir, 02775, 0, testsupport::kUsersGid);
    ASSERT_TRUE(admin_.Login("admin", "admin123")["success"].asBool());
  }
  void TearDown() override {
    // Nothing indexed is left for the next test.
    Json::Value list = admin_.Call(kApi, 1, "list");
    Json::Value ids(Json::objectValue);
    ids["ids"] = Json::Value(Json::arrayValue);
    for (const Json::Value& item : list["data"]["items"]) ids["ids"].append(item["id"]);
    if (!ids["ids"].empty()) admin_.Call(kApi, 1, "delete", ids);
    WaitFor([] { return DaemonPid() < 0; }, 30);
    testsupport::RemoveAll(kDir);
  }

  std::string Status(int index = 0) {
    return admin_.Call(kApi, 1, "list")["data"]["items"][index]["status"].asString();
  }

  WebClient admin_{kPort};
};

TEST_F(IndexE2ETest, OnlyAdministratorsReachTheIndex) {
  WebClient alice(kPort);
  ASSERT_TRUE(alice.Login("alice", "alice123")["success"].asBool());
  for (const char* method : {"list", "set", "delete", "reindex"}) {
    Json::Value answer = alice.Call(kApi, 1, method, SetParams(kShare, true, true));
    EXPECT_FALSE(answer["success"].asBool()) << method;
    EXPECT_EQ(105, answer["error"]["code"].asInt()) << method << answer;
  }
  EXPECT_FALSE(Exists(PL::SZF_INDEX_CONFIG) &&
               testsupport::ReadFile(PL::SZF_INDEX_CONFIG).find("indexed") != std::string::npos);
  Json::Value list = admin_.Call(kApi, 1, "list");
  EXPECT_TRUE(list["success"].asBool()) << list;
  EXPECT_TRUE(list["data"]["items"].isArray());
}

TEST_F(IndexE2ETest, ErrorCodesAndPayloadsOverHttp) {
  Json::Value a = admin_.Call(kApi, 1, "set", SetParams(kShare, false, false));
  EXPECT_EQ(400, a["error"]["code"].asInt());
  EXPECT_EQ("cannot both empty", a["error"]["errors"].asString());
  a = admin_.Call(kApi, 1, "set", SetParams("/docs/no-such-folder", true, false));
  EXPECT_EQ(400, a["error"]["code"].asInt());
  EXPECT_EQ("invalid path", a["error"]["errors"].asString());
  Json::Value bad(Json::objectValue);
  bad["ids"] = Json::Value(Json::arrayValue);
  bad["ids"].append("1");
  a = admin_.Call(kApi, 1, "delete", bad);
  EXPECT_EQ(120, a["error"]["code"].asInt());
  EXPECT_EQ("ids", a["error"]["errors"]["name"].asString());
  EXPECT_EQ("type", a["error"]["errors"]["reason"].asString());
  a = admin_.Call(kApi, 1, "reindex");
  EXPECT_EQ(120, a["error"]["code"].asInt());
  EXPECT_EQ("required", a["error"]["errors"]["reason"].asString());

  a = admin_.Call(kApi, 1, "set", SetParams(kShare, true, false));
  ASSERT_TRUE(a["success"].asBool()) << a;
  a = admin_.Call(kApi, 1, "set", SetParams(kShare, false, true));
  EXPECT_EQ(1050, a["error"]["code"].asInt());
  EXPECT_EQ("duplicate", a["error"]["errors"].asString());
  // A folder that is gone is reported as such, and so is one whose share is gone.
  testsupport::RemoveAll(kDir);
  EXPECT_EQ("error", Status());
  testsupport::MakeDir("/volume2/archive/indexed");
  a = admin_.Call(kApi, 1, "set", SetParams("/archive/indexed", true, false));
  ASSERT_TRUE(a["success"].asBool()) << a;
  EXPECT_EQ("/archive/indexed",
            admin_.Call(kApi, 1, "list")["data"]["items"][1]["path"].asString());
  const std::string registry = "/usr/vireo/etc/shares.json";
  const std::string saved = testsupport::ReadFile(registry);
  Json::Value shares;
  ASSERT_TRUE(PL::json::FromString(saved, shares));
  shares.removeMember("archive");
  ASSERT_TRUE(PL::json::ToFile(shares, registry));
  EXPECT_EQ("error", Status(1));
  std::ofstream(registry, std::ios::trunc) << saved;
  EXPECT_NE("error", Status(1));
  testsupport::RemoveAll("/volume2/archive/indexed");
}

TEST_F(IndexE2ETest, AFolderIsWalkedThenKeptUpToDateThroughTheMonitor) {
  const std::string docx = kDir + "/report.docx";
  const std::string pdf = kDir + "/plan.pdf";
  ASSERT_TRUE(testsupport::MakeDocument("docx", docx, 2));
  ASSERT_TRUE(testsupport::MakeDocument("pdf", pdf, 2));
  testsupport::WriteFile(kDir + "/VIREOLENS_notes.txt", "the user's own file");

  Json::Value set = admin_.Call(kApi, 1, "set", SetParams(kShare, true, true));
  ASSERT_TRUE(set["success"].asBool()) << set;
  EXPECT_TRUE(Exists(PL::SZF_ENABLE_INDEX));
  ASSERT_TRUE(WaitFor([] { return DaemonPid() > 0; }, 10));

  bool sawProcessing = false;
  ASSERT_TRUE(WaitFor([&] {
    if (Status() == "processing") sawProcessing = true;
    return Exists(Thumb(docx)) && Exists(Pdf(docx)) && Exists(Thumb(pdf));
  })) << admin_.Call(kApi, 1, "list");
  EXPECT_TRUE(sawProcessing);
  EXPECT_TRUE(testsupport::IsPng(Thumb(docx)));
  EXPECT_TRUE(testsupport::IsPng(Thumb(pdf)));
  EXPECT_TRUE(testsupport::IsSoundPdf(Pdf(docx)));
  EXPECT_FALSE(Exists(Pdf(pdf)));  // a PDF is never pre-converted
  EXPECT_TRUE(WaitFor([&] { return Status() == "finished"; }, 60));

  // A document copied in afterwards gets its thumbnail through the monitor.
  const std::string later = kDir + "/later.odt";
  ASSERT_TRUE(testsupport::MakeDocument("odt", "/volume1/docs/later.odt", 1));
  ASSERT_EQ(0, testsupport::Shell("cp /volume1/docs/later.odt " + later));
  EXPECT_TRUE(WaitFor([&] { return Exists(Thumb(later)) && Exists(Pdf(later)); }));
  unlink("/volume1/docs/later.odt");

  // A document written again gets a new thumbnail.
  const struct stat before = StatOf(Thumb(docx));
  ASSERT_TRUE(testsupport::MakeDocument("docx", "/volume1/docs/new.docx", 3));
  ASSERT_EQ(0, testsupport::Shell("cat /volume1/docs/new.docx > " + docx));
  EXPECT_TRUE(WaitFor([&] {
    struct stat now = StatOf(Thumb(docx));
    return now.st_ino != before.st_ino || now.st_mtime != before.st_mtime;
  }));
  unlink("/volume1/docs/new.docx");

  // reindex makes what went missing again.
  unlink(Thumb(pdf).c_str());
  ASSERT_TRUE(admin_.Call(kApi, 1, "reindex", Ids({1}))["success"].asBool());
  EXPECT_TRUE(WaitFor([&] { return Exists(Thumb(pdf)); }));

  // The usage report tells what is indexed.
  FILE* udc = popen("/var/packages/Paperlens/target/udc/paperlens", "r");
  ASSERT_NE(nullptr, udc);
  std::string text;
  char buf[512];
  while (fgets(buf, sizeof(buf), udc) != nullptr) text += buf;
  pclose(udc);
  Json::Value report;
  ASSERT_TRUE(PL::json::FromString(text, report)) << text;
  EXPECT_TRUE(report["fileindex"]["thumbnail"].asBool()) << text;
  EXPECT_TRUE(report["fileindex"]["pre_convert"].asBool()) << text;

  // Deleting the last folder removes what was generated, and nothing else, then switches off.
  const pid_t daemon = DaemonPid();
  ASSERT_TRUE(admin_.Call(kApi, 1, "delete", Ids({1}))["success"].asBool());
  EXPECT_FALSE(Exists(PL::SZF_ENABLE_INDEX));
  EXPECT_FALSE(Exists(VIREO::VIREOTIFYD::MonitorQueue::FileOf("paperlens", 2)));
  EXPECT_TRUE(WaitFor([daemon] { return !VLIBCProcAlive(daemon); }, 120));
  EXPECT_TRUE(WaitFor([&] {
    return !Exists(Thumb(docx)) && !Exists(Pdf(docx)) && !Exists(Thumb(pdf)) &&
           !Exists(Thumb(later));
  }, 60));
  EXPECT_TRUE(Exists(docx));
  EXPECT_TRUE(Exists(pdf));
  EXPECT_TRUE(Exists(kDir + "/VIREOLENS_notes.txt"));
}

TEST_F(IndexE2ETest, AFailedDocumentIsMarkedNotRetriedByScansAndRetriedWhenWritten) {
  const std::string broken = kDir + "/broken.docx";
  testsupport::WriteFile(broken, testsupport::BrokenOfficeDocument());
  ASSERT_TRUE(admin_.Call(kApi, 1, "set", SetParams(kShare, true, false))["success"].asBool());
  ASSERT_TRUE(WaitFor([&] { return Exists(Marker(broken)) && Status() == "finished"; }));
  EXPECT_FALSE(Exists(Thumb(broken)));

  const int jobs = JobsRun();
  ASSERT_TRUE(admin_.Call(kApi, 1, "reindex", Ids({1}))["success"].asBool());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_TRUE(WaitFor([&] { return Status() == "finished"; }, 120));
  EXPECT_EQ(jobs, JobsRun());  // nothing was converted again
  EXPECT_TRUE(Exists(Marker(broken)));

  ASSERT_TRUE(testsupport::MakeDocument("docx", "/volume1/docs/fixed.docx", 1));
  ASSERT_EQ(0, testsupport::Shell("cat /volume1/docs/fixed.docx > " + broken));
  EXPECT_TRUE(WaitFor([&] { return Exists(Thumb(broken)) && !Exists(Marker(broken)); }));
  EXPECT_GT(JobsRun(), jobs);
  unlink("/volume1/docs/fixed.docx");
}

TEST_F(IndexE2ETest, AStopDuringAWalkResumesAtTheNextStart) {
  std::vector<std::string> docs;
  for (int i = 0; i < 6; ++i) {
    docs.push_back(kDir + "/doc" + std::to_string(i) + ".odt");
    ASSERT_TRUE(testsupport::MakeDocument("odt", docs.back(), 1));
  }
  ASSERT_TRUE(admin_.Call(kApi, 1, "set", SetParams(kShare, true, false))["success"].asBool());
  ASSERT_TRUE(WaitFor([&] {
    for (const std::string& d : docs) {
      if (Exists(Thumb(d))) return true;
    }
    return false;
  }));
  const pid_t pid = DaemonPid();
  ASSERT_GT(pid, 0);
  ASSERT_EQ(0, kill(pid, SIGTERM));
  ASSERT_TRUE(WaitFor([pid] { return !VLIBCProcAlive(pid); }, 120));
  EXPECT_FALSE(Exists(PL::SZF_PIDPATH));
  int made = 0;
  for (const std::string& d : docs) made += Exists(Thumb(d)) ? 1 : 0;
  RecordProperty("thumbnails_made_before_the_stop", made);
  if (made < static_cast<int>(docs.size())) {
    EXPECT_EQ("processing", Status());  // the folder task is still queued
  }
  for (const std::string& d : docs) EXPECT_FALSE(Exists(Marker(d))) << d;

  // The next start (the package's start step, as after an appliance restart) finishes it.
  ASSERT_EQ(0, testsupport::Shell("/var/packages/Paperlens/target/scripts/start-stop-status start"));
  EXPECT_TRUE(WaitFor([] { return DaemonPid() > 0; }, 10));
  EXPECT_TRUE(WaitFor([&] {
    for (const std::string& d : docs) {
      if (!Exists(Thumb(d))) return false;
    }
    return Status() == "finished";
  }));
}

}  // namespace
