// Transfer-log entries of viewed documents, in the appliance's real transfer log.
#include "view_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "appliance_env.h"
#include "utils_json.h"
#include "vireo/libc.h"
#include "vireo/log.h"
#include "vireo/webapi.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

std::vector<Json::Value> Entries() {
  std::vector<Json::Value> entries;
  std::ifstream in(VIREO_XFERLOG_PATH);
  std::string line;
  while (std::getline(in, line)) {
    Json::Value v;
    if (json::FromString(line, v)) entries.push_back(v);
  }
  return entries;
}

class ViewLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unlink(VIREO_XFERLOG_PATH);
    testsupport::WriteFile(kFile, std::string(1234, 'x'));
    request_.SetLoginUser("alice", testsupport::kAliceUid, false);
    request_.SetRemoteIP("192.0.2.7");
  }
  void TearDown() override { testsupport::RemoveAll("/volume1/docs/viewlog"); }

  void SetLogging(const char* value) {
    ASSERT_EQ(0, VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", value));
  }

  void ThroughLink(int visitorUid) {
    sharing::record::Entry entry;
    entry.set_owner_user("admin");
    sharing::record::Session session;
    session.set_uid(visitorUid);
    request_.SetSharing(entry, session);
  }

  const std::string kFile = "/volume1/docs/viewlog/report.pdf";
  APIRequest request_;
};

TEST_F(ViewLogTest, WritesNothingWhileLoggingIsOff) {
  SetLogging("no");
  EXPECT_TRUE(ViewLog("/docs/viewlog/report.pdf", kFile, &request_));
  // Off means not even the file is examined.
  EXPECT_TRUE(ViewLog("/docs/missing.pdf", "/volume1/docs/missing.pdf", &request_));
  EXPECT_TRUE(Entries().empty());
}

TEST_F(ViewLogTest, LogsTheViewerTheFileAndItsSize) {
  SetLogging("YES");
  ASSERT_TRUE(ViewLog("/docs/viewlog/report.pdf", kFile, &request_));
  testsupport::WriteFile("/volume1/docs/viewlog/empty.pdf", "");
  ASSERT_TRUE(ViewLog("/docs/viewlog/empty.pdf", "/volume1/docs/viewlog/empty.pdf", &request_));
  std::vector<Json::Value> entries = Entries();
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("192.0.2.7", entries[0]["ip"].asString());
  EXPECT_EQ("alice", entries[0]["user"].asString());
  EXPECT_EQ("View Document", entries[0]["type"].asString());
  EXPECT_EQ(1234, entries[0]["size"].asInt64());
  EXPECT_EQ("/docs/viewlog/report.pdf", entries[0]["file"].asString());
  EXPECT_EQ(0, entries[0]["flags"].asInt());
  EXPECT_EQ(0, entries[1]["size"].asInt64());
}

TEST_F(ViewLogTest, AFileThatCannotBeExaminedIsNotLogged) {
  SetLogging("yes");
  testsupport::LogMark log;
  EXPECT_FALSE(ViewLog("/docs/missing.pdf", "/volume1/docs/missing.pdf", &request_));
  EXPECT_TRUE(log.Contains("Failed [0 != stat(strRealPath.c_str(), &statBuf)]"));
  EXPECT_TRUE(Entries().empty());
}

TEST_F(ViewLogTest, ASharingLinkNamesItsOwnerAndItsVisitor) {
  SetLogging("yes");
  const std::string desc = StringBundle(3, "sharing").Text("download_log_desc", "");
  ASSERT_FALSE(desc.empty());

  ThroughLink(-1);  // nobody logged in
  ASSERT_TRUE(ViewLog("/docs/viewlog/report.pdf", kFile, &request_));
  ThroughLink(static_cast<int>(testsupport::kBobUid));
  ASSERT_TRUE(ViewLog("/docs/viewlog/report.pdf", kFile, &request_));
  std::vector<Json::Value> entries = Entries();
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("admin", entries[0]["user"].asString());
  EXPECT_EQ(" " + desc + "/docs/viewlog/report.pdf", entries[0]["file"].asString());
  EXPECT_EQ("bob " + desc + "/docs/viewlog/report.pdf", entries[1]["file"].asString());

  // A visitor whose uid names nobody any more: nothing is written.
  ThroughLink(4242);
  EXPECT_FALSE(ViewLog("/docs/viewlog/report.pdf", kFile, &request_));
  EXPECT_EQ(2u, Entries().size());
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
