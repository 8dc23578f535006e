// The convert handlers run by hand, with requests built in the test (the HTTP path is covered
// end to end under tests/).
#include "convert/ConvertAPI.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ThirdPartyConvertDB.h"
#include "appliance_env.h"
#include "cache_manager.h"
#include "documents.h"
#include "utils.h"
#include "utils_json.h"
#include "vireo/libc.h"
#include "vireo/log.h"

using namespace VIREO::PAPERLENS;

namespace {

using testsupport::kAliceUid;
using testsupport::kBobUid;
using testsupport::kUsersGid;

const std::string kDir = "/volume1/homes/alice/convert";

// Runs one method the way the server would: check function first, then the entry function,
// with the body a handler writes going to a temporary file.
struct Call {
  Call(const std::string& method, const std::string& user, unsigned int uid,
       const Json::Value& params)
      : out(tmpfile()), response(out) {
    request = VIREO::APIRequest("VIREO.Paperlens.Convert", 1, method, params);
    request.SetLoginUser(user, uid, false);
    request.SetRemoteIP("192.0.2.1");
  }
  ~Call() { fclose(out); }

  void Run() {
    const auto* checks = static_cast<const frame::APICheckRow*>(GetAPICheckTable());
    const auto* methods = static_cast<const frame::APIMethodRow*>(GetAPITable());
    for (; checks->api != nullptr; ++checks) {
      if (request.GetAPIMethod() == checks->method && !checks->check(&request, &response)) return;
    }
    for (; methods->api != nullptr; ++methods) {
      if (request.GetAPIMethod() == methods->method) methods->entry(&request, &response);
    }
  }

  std::string Body() {
    fflush(out);
    rewind(out);
    std::string body;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), out)) > 0) body.append(buf, n);
    return body;
  }

  FILE* out;
  VIREO::APIRequest request;
  VIREO::APIResponse response;
};

Json::Value Params(const std::string& name, const Json::Value& value) {
  Json::Value p(Json::objectValue);
  p[name] = value;
  return p;
}

class ConvertAPITest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::MakeDir(kDir, 0700, kAliceUid, kUsersGid);
    ASSERT_TRUE(testsupport::MakeDocument("pdf", kDir + "/plan.pdf", 2, false, kAliceUid,
                                          kUsersGid, 0600));
    testsupport::WriteFile(kDir + "/report.docx", "not converted yet", 0600, kAliceUid,
                           kUsersGid);
    unlink(VIREO_XFERLOG_PATH);
    unlink(SZF_UDC_PATH);
  }
  void TearDown() override { testsupport::RemoveAll(kDir); }
};

TEST_F(ConvertAPITest, GetStreamsAPdfWithItsOwnContentType) {
  Call call("get", "alice", kAliceUid, Params("path", "/home/convert/plan.pdf"));
  call.Run();
  EXPECT_FALSE(call.response.IsOutputEnabled());
  EXPECT_FALSE(call.response.IsAnswered());
  std::string body = call.Body();
  const std::string header = "Content-Type: application/pdf\r\n\r\n";
  ASSERT_EQ(header, body.substr(0, header.size()));
  EXPECT_EQ(testsupport::ReadFile(kDir + "/plan.pdf"), body.substr(header.size()));
}

TEST_F(ConvertAPITest, GetRefusesWhatTheUserMayNotRead) {
  struct Case {
    std::string user;
    unsigned int uid;
    Json::Value path;
    int code;
    std::string reason;
  } cases[] = {
      {"bob", kBobUid, "/homes/alice/convert/plan.pdf", 120, ""},
      {"alice", kAliceUid, "/docs/../homes/alice/convert/plan.pdf", 120, ""},
      {"alice", kAliceUid, "/nosuch/plan.pdf", 120, ""},
      {"alice", kAliceUid, Json::Value(), 120, "required"},
      {"alice", kAliceUid, 42, 120, "type"},
  };
  for (const auto& c : cases) {
    Json::Value params(Json::objectValue);
    if (!c.path.isNull()) params["path"] = c.path;
    Call call("get", c.user, c.uid, params);
    call.Run();
    EXPECT_EQ(c.code, call.response.GetError()) << c.path;
    if (c.reason.empty()) {
      EXPECT_EQ("Parse Param Error: ", call.response.GetErrorData().asString()) << c.path;
    } else {
      EXPECT_EQ(c.reason, call.response.GetErrorData()["reason"].asString());
      EXPECT_EQ("path", call.response.GetErrorData()["name"].asString());
    }
    EXPECT_EQ("", call.Body());
  }
}

TEST_F(ConvertAPITest, GetServesTheCachedPdfOfADocumentWhileItIsCurrent) {
  testsupport::LogMark log;
  {
    Call call("get", "alice", kAliceUid, Params("path", "/home/convert/report.docx"));
    call.Run();
    EXPECT_EQ(117, call.response.GetError());
    EXPECT_EQ("Execute Error: ", call.response.GetErrorData().asString());
  }
  EXPECT_TRUE(log.Contains("no pdf file in the cache"));

  // Cache a PDF for it, as a conversion would.
  testsupport::WriteFile("/tmp/converted.pdf", testsupport::ReadFile(kDir + "/plan.pdf"));
  {
    CacheManager cache(true, 1073741824);
    ASSERT_TRUE(cache.Set("/tmp/converted.pdf", kDir + "/report.docx", SZK_THUMB_PDF_TYPE, true));
  }
  {
    Call call("get", "alice", kAliceUid, Params("path", "/home/convert/report.docx"));
    call.Run();
    EXPECT_EQ(0, call.response.GetError());
    EXPECT_EQ(0u, call.Body().find("Content-Type: application/pdf\r\n\r\n%PDF"));
  }
  {
    // poll_start finds it ready.
    Call call("poll_start", "alice", kAliceUid, Params("path", "/home/convert/report.docx"));
    call.Run();
    EXPECT_EQ(0, call.response.GetAnswer()["data"]["task_id"].asInt());
    EXPECT_TRUE(call.response.GetAnswer()["success"].asBool());
  }
  // A changed source makes the cached PDF stale: it is dropped.
  sleep(1);
  testsupport::WriteFile(kDir + "/report.docx", "changed", 0600, kAliceUid, kUsersGid);
  {
    Call call("get", "alice", kAliceUid, Params("path", "/home/convert/report.docx"));
    call.Run();
    EXPECT_EQ(117, call.response.GetError());
  }
  EXPECT_FALSE(testsupport::Exists(kDir + "/@eaDir/report.docx/" + SZK_THUMB_PDF_TYPE));
}

TEST_F(ConvertAPITest, PollStartAnswersReadyDocumentsAtOnceAndRefusesUnreadableOnes) {
  {
    Call call("poll_start", "alice", kAliceUid, Params("path", "/home/convert/plan.pdf"));
    call.Run();
    EXPECT_EQ("{\"data\":{\"task_id\":0},\"success\":true}",
              json::ToString(call.response.GetAnswer()));
  }
  {
    Call call("poll_start", "bob", kBobUid, Params("path", "/homes/alice/convert/report.docx"));
    call.Run();
    EXPECT_EQ(101, call.response.GetError());
    EXPECT_EQ("Parse Param Error: ", call.response.GetErrorData().asString());
  }
  {
    Call call("poll_status", "alice", kAliceUid, Params("task_id", "Paperlens_nosuchtask"));
    call.Run();
    EXPECT_EQ(117, call.response.GetError());
    EXPECT_GT(call.response.GetErrorData().asString().size(), std::string("Execute Error: ").size());
  }
}

TEST_F(ConvertAPITest, ASharingLinkReadsAsItsOwner) {
  VIREO::sharing::record::Entry entry;
  entry.set_owner_user("alice");
  VIREO::sharing::record::Session visitor;
  visitor.set_uid(-1);
  Call call("get", "", static_cast<unsigned int>(-1), Params("path", "/home/convert/plan.pdf"));
  call.request.SetSharing(entry, visitor);
  call.Run();
  EXPECT_EQ(0u, call.Body().find("Content-Type: application/pdf"));
}

TEST_F(ConvertAPITest, EachViewIsLoggedAndCountedWhenSwitchedOn) {
  ASSERT_EQ(0, VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", "yes"));
  ASSERT_EQ(0, VLIBCFileSetKeyValue("/etc/vireoinfo.conf", "enable_data_collect", "yes"));
  {
    Call call("get", "alice", kAliceUid, Params("path", "/home/convert/plan.pdf"));
    call.Run();
  }
  std::ifstream log(VIREO_XFERLOG_PATH);
  std::string line;
  int lines = 0;
  while (std::getline(log, line)) {
    ++lines;
    EXPECT_NE(std::string::npos, line.find("\"file\":\"/home/convert/plan.pdf\""));
    EXPECT_NE(std::string::npos, line.find("\"type\":\"View Document\""));
  }
  EXPECT_EQ(1, lines);
  Json::Value usage;
  ASSERT_TRUE(json::FromFile(SZF_UDC_PATH, usage));
  EXPECT_EQ("pdf", usage["file_types"][0].asString());

  ASSERT_EQ(0, VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", "no"));
  ASSERT_EQ(0, VLIBCFileSetKeyValue("/etc/vireoinfo.conf", "enable_data_collect", "no"));
  {
    Call call("get", "alice", kAliceUid, Params("path", "/home/convert/plan.pdf"));
    call.Run();
  }
  std::ifstream again(VIREO_XFERLOG_PATH);
  lines = 0;
  while (std::getline(again, line)) ++lines;
  EXPECT_EQ(1, lines);
}

class ThirdPartyTest : public ConvertAPITest {
 protected:
  void Record(const std::string& taskId, unsigned int uid, int errorCode,
              const std::string& file) {
    ThirdPartyConvertDB db;
    ASSERT_TRUE(db.IsGood());
    ThirdPartyConvertDB::Task task;
    task.error_code = errorCode;
    task.uid = uid;
    task.task_id = taskId;
    task.orig_path = kDir + "/report.docx";
    task.conv_path = file;
    ASSERT_TRUE(db.Create(task));
  }
  bool Recorded(const std::string& taskId) {
    ThirdPartyConvertDB db;
    ThirdPartyConvertDB::Task task;
    return db.GetByTaskId(taskId, task);
  }
};

TEST_F(ThirdPartyTest, TheOwnerFetchesTheResultOnce) {
  testsupport::WriteFile("/volume1/docs/converted-1.pdf", "%PDF-1.4 result bytes");
  Record("job-1", kAliceUid, 1000, "/volume1/docs/converted-1.pdf");
  {
    Call call("get_thirdparty", "bob", kBobUid, Params("task_id", "job-1"));
    call.Run();
    EXPECT_EQ(105, call.response.GetError());
    EXPECT_EQ("Execute Error: permission denied", call.response.GetErrorData().asString());
  }
  {
    Call call("get_thirdparty", "alice", kAliceUid, Params("task_id", "job-1"));
    call.Run();
    EXPECT_FALSE(call.response.IsOutputEnabled());
    std::string body = call.Body();
    EXPECT_NE(std::string::npos, body.find("\r\n\r\n%PDF-1.4 result bytes"));
  }
  EXPECT_FALSE(testsupport::Exists("/volume1/docs/converted-1.pdf"));
  EXPECT_FALSE(Recorded("job-1"));
  {
    Call call("get_thirdparty", "alice", kAliceUid, Params("task_id", "job-1"));
    call.Run();
    EXPECT_EQ(101, call.response.GetError());
    EXPECT_EQ("Execute Error: incorrect task id", call.response.GetErrorData().asString());
  }
}

TEST_F(ThirdPartyTest, UnfinishedAndUnknownTasksAreRefused) {
  testsupport::WriteFile("/volume1/docs/converted-2.pdf", "%PDF-1.4 partial");
  Record("job-2", kAliceUid, 1002, "/volume1/docs/converted-2.pdf");
  {
    Call call("get_thirdparty", "alice", kAliceUid, Params("task_id", "job-2"));
    call.Run();
    EXPECT_EQ(101, call.response.GetError());
    EXPECT_EQ("Execute Error: document not ready", call.response.GetErrorData().asString());
  }
  EXPECT_TRUE(Recorded("job-2"));
  EXPECT_TRUE(testsupport::Exists("/volume1/docs/converted-2.pdf"));
  {
    Call call("get_thirdparty", "alice", kAliceUid, Params("task_id", ""));
    call.Run();
    EXPECT_EQ(101, call.response.GetError());
  }
  {
    Call call("get_thirdparty", "alice", kAliceUid, Json::Value(Json::objectValue));
    call.Run();
    EXPECT_EQ(120, call.response.GetError());
  }
}

}  // namespace
