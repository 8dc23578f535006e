// Viewing documents as PDF end to end: a real web server in the appliance, the convert plug-in
// loaded by entry.cgi, conversions in the container pool, over real HTTP as a browser would.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "ThirdPartyConvertDB.h"
#include "appliance_env.h"
#include "appliance_server.h"
#include "served_suite.h"
#include "documents.h"
#include "http_client.h"
#include "utils.h"
#include "utils_json.h"
#include "vireo/libc.h"
#include "vireo/log.h"

namespace {

using paperlens_test::ApplianceServer;
using paperlens_test::HttpResponse;
using paperlens_test::WebClient;
using testsupport::kAliceUid;
using testsupport::kBobUid;
using testsupport::kUsersGid;
namespace PL = VIREO::PAPERLENS;

constexpr int kPort = 18480;
const char kApi[] = "VIREO.Paperlens.Convert";
const std::string kDir = "/volume1/docs/e2e";

Json::Value Path(const std::string& sharePath) {
  Json::Value p(Json::objectValue);
  p["path"] = sharePath;
  return p;
}

// Polls a task until it reports "finish"; the last status answer.
Json::Value WaitForTask(WebClient& client, const Json::Value& taskId, int seconds = 180) {
  Json::Value params(Json::objectValue);
  params["task_id"] = taskId;
  Json::Value answer;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    answer = client.Call(kApi, 1, "poll_status", params);
    if (!answer["success"].asBool() || answer["data"]["finish"].asBool()) return answer;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  return answer;
}

// poll_start, then poll_status until done: the finished task's status, or the poll_start
// answer when no task was started.
Json::Value Convert(WebClient& client, const std::string& sharePath) {
  Json::Value start = client.Call(kApi, 1, "poll_start", Path(sharePath));
  if (!start["success"].asBool() || !start["data"]["task_id"].isString()) return start;
  return WaitForTask(client, start["data"]["task_id"]);
}

int PdfPagesOf(const std::string& bytes) {
  const std::string file = "/tmp/e2e-body.pdf";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  if (!testsupport::IsSoundPdf(file)) return -1;
  return testsupport::PdfPages(file);
}

int JobsRun() {
  Json::Value state;
  PL::json::FromFile(PL::SZF_CONFIG_PATH, state);
  int jobs = 0;
  for (const auto& name : state.getMemberNames()) {
    if (name.compare(0, 5, "vireo") == 0) jobs += state[name]["used"].asInt();
  }
  return jobs;
}

class ConvertE2ETest : public paperlens_test::ServedSuite<kPort> {
 protected:

  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << server_->Error();
    testsupport::MakeDir(kDir, 02775, 0, kUsersGid);
    ASSERT_EQ(0, alice_.Login("alice", "alice123")["success"].asBool() ? 0 : 1);
    ASSERT_EQ(0, bob_.Login("bob", "bob123")["success"].asBool() ? 0 : 1);
  }
  void TearDown() override { testsupport::RemoveAll(kDir); }

  void AliceDocument(const std::string& type, const std::string& name, int pages) {
    ASSERT_TRUE(testsupport::MakeDocument(type, kDir + "/" + name, pages, false, kAliceUid,
                                          kUsersGid, 0600));
  }

  WebClient alice_{kPort};
  WebClient bob_{kPort};
};

TEST_F(ConvertE2ETest, ADocumentIsConvertedOnceThenServedFromTheCache) {
  AliceDocument("docx", "report.docx", 3);
  Json::Value start = alice_.Call(kApi, 1, "poll_start", Path("/docs/e2e/report.docx"));
  ASSERT_TRUE(start["success"].asBool()) << start;
  ASSERT_TRUE(start["data"]["task_id"].isString()) << start;
  Json::Value status = WaitForTask(alice_, start["data"]["task_id"]);
  ASSERT_TRUE(status["success"].asBool()) << status;
  ASSERT_TRUE(status["data"]["finish"].asBool()) << status;

  HttpResponse pdf = alice_.Raw(kApi, 1, "get", Path("/docs/e2e/report.docx"));
  EXPECT_EQ(200, pdf.status);
  EXPECT_EQ("application/pdf", pdf.Header("content-type"));
  EXPECT_EQ(3, PdfPagesOf(pdf.body));

  // Converted once: the next poll_start has nothing to do.
  const int jobs = JobsRun();
  EXPECT_EQ(0, alice_.Call(kApi, 1, "poll_start", Path("/docs/e2e/report.docx"))["data"]
                   ["task_id"].asInt());
  EXPECT_EQ(jobs, JobsRun());

  // A changed document drops its stale PDF and converts again.
  sleep(1);
  ASSERT_TRUE(testsupport::MakeDocument("docx", kDir + "/report.docx", 2, false, kAliceUid,
                                        kUsersGid, 0600));
  Json::Value again = alice_.Call(kApi, 1, "poll_start", Path("/docs/e2e/report.docx"));
  ASSERT_TRUE(again["data"]["task_id"].isString()) << again;
  EXPECT_TRUE(WaitForTask(alice_, again["data"]["task_id"])["data"]["finish"].asBool());
  EXPECT_EQ(2, PdfPagesOf(alice_.Raw(kApi, 1, "get", Path("/docs/e2e/report.docx")).body));
}

TEST_F(ConvertE2ETest, TheCgiAnswerOfGetIsThePdfBehindItsOwnHeader) {
  AliceDocument("pdf", "plan.pdf", 2);
  // entry.cgi as the web server runs it, to see the bytes it writes.
  const std::string command =
      "REQUEST_METHOD=GET REMOTE_ADDR=127.0.0.1 HTTP_COOKIE='id=" + alice_.Sid() +
      "' QUERY_STRING='api=VIREO.Paperlens.Convert&version=1&method=get&path=%22%2Fdocs%2Fe2e"
      "%2Fplan.pdf%22' /usr/vireo/bin/entry.cgi > /tmp/cgi-answer";
  ASSERT_EQ(0, testsupport::Shell(command));
  std::string answer = testsupport::ReadFile("/tmp/cgi-answer");
  const std::string header = "Content-Type: application/pdf\r\n\r\n";
  ASSERT_EQ(header, answer.substr(0, header.size()));
  EXPECT_EQ(testsupport::ReadFile(kDir + "/plan.pdf"), answer.substr(header.size()));

  // A PDF needs no conversion at all.
  EXPECT_EQ(0, alice_.Call(kApi, 1, "poll_start", Path("/docs/e2e/plan.pdf"))["data"]["task_id"]
                   .asInt());
}

TEST_F(ConvertE2ETest, TenClientsAtOnceMakeOneConversion) {
  AliceDocument("odt", "busy.odt", 5);
  const int jobs = JobsRun();
  std::vector<std::thread> clients;
  std::vector<Json::Value> results(10);
  for (int i = 0; i < 10; ++i) {
    clients.emplace_back([&, i] {
      WebClient client(kPort);
      client.SetSid(alice_.Sid());
      results[i] = Convert(client, "/docs/e2e/busy.odt");
    });
  }
  for (auto& t : clients) t.join();
  for (const auto& r : results) EXPECT_TRUE(r["success"].asBool()) << r;
  EXPECT_EQ(jobs + 1, JobsRun());
  EXPECT_EQ(5, PdfPagesOf(alice_.Raw(kApi, 1, "get", Path("/docs/e2e/busy.odt")).body));
}

TEST_F(ConvertE2ETest, OthersFilesAndEscapingPathsReadNothing) {
  AliceDocument("docx", "private.docx", 1);
  Json::Value get = bob_.Call(kApi, 1, "get", Path("/docs/e2e/private.docx"));
  EXPECT_EQ(120, get["error"]["code"].asInt()) << get;
  Json::Value start = bob_.Call(kApi, 1, "poll_start", Path("/docs/e2e/private.docx"));
  EXPECT_EQ(101, start["error"]["code"].asInt()) << start;

  for (const char* escape : {"/docs/../../etc/shadow", "/docs//../../etc/passwd", "/home/../../x"}) {
    HttpResponse r = alice_.Raw(kApi, 1, "get", Path(escape));
    EXPECT_FALSE(r.JsonBody()["success"].asBool()) << escape;
    EXPECT_EQ(std::string::npos, r.body.find("root:")) << escape;
  }

  // Without a session nothing is answered at all.
  WebClient stranger(kPort);
  EXPECT_FALSE(stranger.Call(kApi, 1, "get", Path("/docs/e2e/private.docx"))["success"].asBool());
}

TEST_F(ConvertE2ETest, FailedConversionsFinishWithTheirCode) {
  testsupport::WriteFile(kDir + "/notes.txt", "plain text", 0644, kAliceUid, kUsersGid);
  Json::Value status = Convert(alice_, "/docs/e2e/notes.txt");
  EXPECT_TRUE(status["data"]["finish"].asBool()) << status;
  EXPECT_EQ(1003, status["data"]["error"]["code"].asInt()) << status;
  EXPECT_EQ("convertion failed", status["data"]["error"]["errors"].asString()) << status;

  testsupport::WriteFile(kDir + "/corrupt.docx", testsupport::BrokenOfficeDocument(), 0644, kAliceUid,
                         kUsersGid);
  status = Convert(alice_, "/docs/e2e/corrupt.docx");
  EXPECT_EQ(1002, status["data"]["error"]["code"].asInt()) << status;
  EXPECT_EQ(117, alice_.Call(kApi, 1, "get", Path("/docs/e2e/corrupt.docx"))["error"]["code"]
                     .asInt());
}

TEST_F(ConvertE2ETest, ViewsAreLoggedAndCountedAsSwitched) {
  AliceDocument("pdf", "counted.pdf", 1);
  AliceDocument("rtf", "counted.rtf", 1);
  unlink(VIREO_XFERLOG_PATH);
  unlink(PL::SZF_UDC_PATH);
  ASSERT_EQ(0, VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", "yes"));
  ASSERT_EQ(0, VLIBCFileSetKeyValue("/etc/vireoinfo.conf", "enable_data_collect", "yes"));

  ASSERT_TRUE(Convert(alice_, "/docs/e2e/counted.rtf")["data"]["finish"].asBool());
  HttpResponse pdf = alice_.Raw(kApi, 1, "get", Path("/docs/e2e/counted.pdf"));
  HttpResponse rtf = alice_.Raw(kApi, 1, "get", Path("/docs/e2e/counted.rtf"));
  ASSERT_EQ("application/pdf", rtf.Header("content-type"));

  std::ifstream log(VIREO_XFERLOG_PATH);
  std::vector<Json::Value> entries;
  std::string line;
  while (std::getline(log, line)) {
    Json::Value v;
    ASSERT_TRUE(PL::json::FromString(line, v));
    entries.push_back(v);
  }
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("View Document", entries[0]["type"].asString());
  EXPECT_EQ("alice", entries[0]["user"].asString());
  EXPECT_EQ("/docs/e2e/counted.pdf", entries[0]["file"].asString());
  struct stat st;
  ASSERT_EQ(0, stat((kDir + "/counted.pdf").c_str(), &st));
  EXPECT_EQ(st.st_size, entries[0]["size"].asInt64());
  EXPECT_EQ("/docs/e2e/counted.rtf", entries[1]["file"].asString());

  // The usage tool reports the types and the conversion's duration, then starts afresh.
  FILE* out = VLIBCPopen("/var/packages/Paperlens/target/udc/paperlens", "r", nullptr);
  ASSERT_NE(nullptr, out);
  std::string text;
  char buf[1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), out)) > 0) text.append(buf, n);
  EXPECT_EQ(0, VLIBCPclose(out));
  Json::Value usage;
  ASSERT_TRUE(PL::json::FromString(text, usage)) << text;
  ASSERT_EQ(2u, usage["file_types"].size()) << usage;
  EXPECT_EQ("pdf", usage["file_types"][0].asString());
  EXPECT_EQ("rtf", usage["file_types"][1].asString());
  EXPECT_EQ(1u, usage["convert_time"].size()) << usage;
  EXPECT_TRUE(usage["fileindex"].isObject());
  EXPECT_FALSE(testsupport::Exists(PL::SZF_UDC_PATH));

  // Switched off: neither logged nor counted.
  ASSERT_EQ(0, VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", "no"));
  ASSERT_EQ(0, VLIBCFileSetKeyValue("/etc/vireoinfo.conf", "enable_data_collect", "no"));
  alice_.Raw(kApi, 1, "get", Path("/docs/e2e/counted.pdf"));
  std::ifstream again(VIREO_XFERLOG_PATH);
  int lines = 0;
  while (std::getline(again, line)) ++lines;
  EXPECT_EQ(2, lines);
  EXPECT_EQ("", testsupport::ReadFile(PL::SZF_UDC_PATH));
}

TEST_F(ConvertE2ETest, AThirdPartyResultGoesToItsOwnerOnce) {
  testsupport::WriteFile(kDir + "/result.pdf", "%PDF-1.4 made for another application");
  testsupport::WriteFile(kDir + "/pending.pdf", "%PDF-1.4 not yet");
  {
    PL::ThirdPartyConvertDB db;
    ASSERT_TRUE(db.IsGood());
    PL::ThirdPartyConvertDB::Task done{1000, kAliceUid, "", "e2e-done", kDir + "/a.docx",
                                       kDir + "/result.pdf"};
    PL::ThirdPartyConvertDB::Task pending{0, kAliceUid, "", "e2e-pending", kDir + "/b.docx",
                                          kDir + "/pending.pdf"};
    ASSERT_TRUE(db.Create(done));
    ASSERT_TRUE(db.Create(pending));
  }
  Json::Value id(Json::objectValue);
  id["task_id"] = "e2e-done";
  EXPECT_EQ(105, bob_.Call(kApi, 1, "get_thirdparty", id)["error"]["code"].asInt());
  HttpResponse body = alice_.Raw(kApi, 1, "get_thirdparty", id);
  EXPECT_EQ(200, body.status);
  EXPECT_EQ("%PDF-1.4 made for another application", body.body);
  // The handler removes the file after the answer is complete, so the client may be first.
  for (int i = 0; i < 100 && testsupport::Exists(kDir + "/result.pdf"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(testsupport::Exists(kDir + "/result.pdf"));
  EXPECT_EQ(101, alice_.Call(kApi, 1, "get_thirdparty", id)["error"]["code"].asInt());

  id["task_id"] = "e2e-pending";
  Json::Value pending = alice_.Call(kApi, 1, "get_thirdparty", id);
  EXPECT_EQ(101, pending["error"]["code"].asInt());
  EXPECT_EQ("Execute Error: document not ready", pending["error"]["errors"].asString());
  EXPECT_TRUE(testsupport::Exists(kDir + "/pending.pdf"));
}

}  // namespace
