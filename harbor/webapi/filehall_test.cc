// The listing API over real HTTP: what each demo user sees of the shares and folders, decided by
// the kernel (mode bits, groups, POSIX ACLs), and the share paths it refuses.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "appliance_env.h"
#include "appliance_server.h"
#include "http_client.h"

namespace {

using paperlens_test::WebClient;
using testsupport::kAliceUid;
using testsupport::kBobUid;
using testsupport::kSalesGid;
using testsupport::kUsersGid;

constexpr int kPort = 18282;
constexpr char kApi[] = "VIREO.Filehall.List";
const std::string kDir = "/volume1/docs/hall";

Json::Value Folder(const Json::Value& path) {
  Json::Value p(Json::objectValue);
  p["folder_path"] = path;
  return p;
}

// Names listed in an answer's "files" (or "shares").
std::set<std::string> Names(const Json::Value& answer, const char* member = "files") {
  std::set<std::string> names;
  for (const Json::Value& f : answer["data"][member]) names.insert(f["name"].asString());
  return names;
}

class FilehallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    using testsupport::MakeDir;
    using testsupport::WriteFile;
    MakeDir(kDir, 02775, 0, kUsersGid);
    WriteFile(kDir + "/everyone.docx", "12345", 0644);
    WriteFile(kDir + "/alice-only.docx", "a", 0600, kAliceUid, kUsersGid);
    WriteFile(kDir + "/sales.xlsx", "s", 0640, 0, kSalesGid);
    WriteFile(kDir + "/bob-by-acl.pdf", "b", 0600, 0, 0);
    ASSERT_EQ(0, testsupport::Shell("setfacl -m u:bob:r '" + kDir + "/bob-by-acl.pdf'"));
    MakeDir(kDir + "/zfolder", 0755);
    MakeDir(kDir + "/afolder", 0755);
    MakeDir(kDir + "/closed", 0700);
    WriteFile(kDir + "/@eaDir/everyone.docx/VIREOLENS_THUMB.pdf", "cached", 0644);
    WriteFile("/volume1/homes/alice/notes.odt", "n", 0600, kAliceUid, kUsersGid);
    WriteFile("/volume1/homes/bob/plan.docx", "p", 0600, kBobUid, kUsersGid);
    // The archive share becomes the sales group's: alice is in it, bob is not.
    ASSERT_EQ(0, testsupport::Shell("chown root:sales /volume2/archive && chmod 0750 /volume2/archive"));
    server_ = new paperlens_test::ApplianceServer(kPort);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << server_->Error();
    ASSERT_TRUE(alice_.Login("alice", "alice123")["success"].asBool());
    ASSERT_TRUE(bob_.Login("bob", "bob123")["success"].asBool());
  }

  static paperlens_test::ApplianceServer* server_;
  WebClient alice_{kPort};
  WebClient bob_{kPort};
};

paperlens_test::ApplianceServer* FilehallTest::server_ = nullptr;

TEST_F(FilehallTest, EachUserSeesWhatTheKernelLetsThemRead) {
  Json::Value a = alice_.Call(kApi, 1, "list", Folder("/docs/hall"));
  ASSERT_TRUE(a["success"].asBool()) << a;
  EXPECT_EQ((std::set<std::string>{"everyone.docx", "alice-only.docx", "sales.xlsx", "afolder",
                                   "zfolder"}),
            Names(a));
  Json::Value b = bob_.Call(kApi, 1, "list", Folder("/docs/hall"));
  ASSERT_TRUE(b["success"].asBool()) << b;
  EXPECT_EQ((std::set<std::string>{"everyone.docx", "bob-by-acl.pdf", "afolder", "zfolder"}),
            Names(b));
  EXPECT_EQ(4u, b["data"]["total"].asUInt());
}

TEST_F(FilehallTest, EntriesCarryTheirSharePathKindAndSizeFoldersFirst) {
  // Empty components are harmless when nothing hides behind them.
  Json::Value a = alice_.Call(kApi, 1, "list", Folder("//docs//hall/"));
  ASSERT_TRUE(a["success"].asBool()) << a;
  const Json::Value& files = a["data"]["files"];
  ASSERT_EQ(5u, files.size()) << a;
  EXPECT_EQ("afolder", files[0]["name"].asString());
  EXPECT_TRUE(files[0]["is_dir"].asBool());
  EXPECT_EQ("zfolder", files[1]["name"].asString());
  EXPECT_EQ("alice-only.docx", files[2]["name"].asString());
  EXPECT_FALSE(files[2]["is_dir"].asBool());
  EXPECT_EQ("everyone.docx", files[3]["name"].asString());
  EXPECT_EQ("/docs/hall/everyone.docx", files[3]["path"].asString());
  EXPECT_EQ(5, files[3]["size"].asInt());
}

TEST_F(FilehallTest, HomesAreTheirOwnersOnly) {
  EXPECT_EQ(std::set<std::string>{"notes.odt"}, Names(alice_.Call(kApi, 1, "list", Folder("/home"))));
  EXPECT_EQ(std::set<std::string>{"plan.docx"}, Names(bob_.Call(kApi, 1, "list", Folder("/home"))));
  Json::Value b = bob_.Call(kApi, 1, "list", Folder("/homes/alice"));
  EXPECT_FALSE(b["success"].asBool()) << b;
  EXPECT_EQ(105, b["error"]["code"].asInt()) << b;
  EXPECT_EQ(105, bob_.Call(kApi, 1, "list", Folder("/docs/hall/closed"))["error"]["code"].asInt());
}

TEST_F(FilehallTest, SharesAreListedForThoseWhoCanReadThem) {
  Json::Value a = alice_.Call(kApi, 1, "list_share");
  ASSERT_TRUE(a["success"].asBool()) << a;
  std::set<std::string> aliceShares = Names(a, "shares");
  EXPECT_TRUE(aliceShares.count("docs"));
  EXPECT_TRUE(aliceShares.count("home"));
  EXPECT_TRUE(aliceShares.count("archive"));
  EXPECT_FALSE(aliceShares.count("homes")) << "a hidden share";
  std::set<std::string> bobShares = Names(bob_.Call(kApi, 1, "list_share"), "shares");
  EXPECT_TRUE(bobShares.count("docs"));
  EXPECT_FALSE(bobShares.count("archive"));
  for (const Json::Value& s : a["data"]["shares"]) {
    EXPECT_EQ("/" + s["name"].asString(), s["path"].asString());
  }
}

TEST_F(FilehallTest, PathsThatLeaveTheirShareOrNameNoShareAreRefused) {
  const char* bad[] = {"/docs/..", "/docs/hall/../../homes/alice", "/docs//../homes/alice",
                       "/docs/hall//..", "/docs/./hall", "/..", "docs/hall", "", "/", "//"};
  for (const char* path : bad) {
    Json::Value answer = bob_.Call(kApi, 1, "list", Folder(path));
    EXPECT_FALSE(answer["success"].asBool()) << path << ": " << answer;
    EXPECT_EQ(120, answer["error"]["code"].asInt()) << path << ": " << answer;
  }
  Json::Value number = bob_.Call(kApi, 1, "list", Folder(7));
  EXPECT_EQ("type", number["error"]["errors"]["reason"].asString()) << number;
  Json::Value missing = bob_.Call(kApi, 1, "list");
  EXPECT_EQ("required", missing["error"]["errors"]["reason"].asString()) << missing;
}

TEST_F(FilehallTest, MissingSharesFoldersAndCacheFoldersAreNotFound) {
  const char* absent[] = {"/nosuch", "/docs/hall/nosuch", "/docs/hall/everyone.docx",
                          "/docs/hall/@eaDir", "/docs/hall/@eaDir/everyone.docx"};
  for (const char* path : absent) {
    Json::Value answer = alice_.Call(kApi, 1, "list", Folder(path));
    EXPECT_EQ(408, answer["error"]["code"].asInt()) << path << ": " << answer;
  }
}

}  // namespace
