// Share paths against the appliance's real shares, accounts and permissions.
#include "path.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "appliance_env.h"

namespace VIREO {
namespace PAPERLENS {
namespace path {
namespace {

using testsupport::kAliceUid;
using testsupport::kBobUid;
using testsupport::kUsersGid;

std::string Resolve(const std::string& sharePath, const std::string& user) {
  std::string real = "<unset>";
  if (!ShareToRealPath(sharePath, real, user)) return "<refused>";
  return real;
}

TEST(ShareToRealPath, ResolvesSharesHomesAndVolumes) {
  struct Case {
    std::string share, user, real;
  } cases[] = {
      {"/docs", "alice", "/volume1/docs"},
      {"/docs/", "alice", "/volume1/docs/"},
      {"/docs/a/b.xlsx", "alice", "/volume1/docs/a/b.xlsx"},
      {"/archive/2019/q3.ods", "bob", "/volume2/archive/2019/q3.ods"},
      {"/docs//a.pdf", "alice", "/volume1/docs//a.pdf"},
      {"/docs/..a/b..", "alice", "/volume1/docs/..a/b.."},
      // The home share is the acting user's home, not a share named "home".
      {"/home/x.pdf", "alice", "/volume1/homes/alice/x.pdf"},
      {"/home/x.pdf", "bob", "/volume1/homes/bob/x.pdf"},
      {"/home/", "alice", "/volume1/homes/alice/"},
      {"/homes/bob/x.pdf", "alice", "/volume1/homes/bob/x.pdf"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.real, Resolve(c.share, c.user)) << c.share << " as " << c.user;
  }
}

TEST(ShareToRealPath, RefusesBadSharePaths) {
  testsupport::LogMark log;
  const std::vector<std::string> bad = {
      "",
      "report.docx",
      "/",
      "//docs/x",
      "/docs/../../etc/passwd",
      "/docs/..",
      "/docs//../x",
      "/docs/./x",
      "/docs/a/../../../etc/shadow",
      std::string("/docs/a\0/../../etc/passwd", 25),
      "/home",  // shorter than "/home/": names no file
  };
  for (const auto& share : bad) {
    EXPECT_EQ("<refused>", Resolve(share, "alice")) << share;
  }
  EXPECT_TRUE(log.Contains("bad share path: /docs/../../etc/passwd"));
  EXPECT_TRUE(log.Contains("bad share path: /home"));
}

TEST(ShareToRealPath, RefusesUnknownSharesAndUsers) {
  testsupport::LogMark log;
  EXPECT_EQ("<refused>", Resolve("/nosuch/a.pdf", "alice"));
  EXPECT_TRUE(log.Contains("cannot get share path nosuch"));
  EXPECT_EQ("<refused>", Resolve("/home/a.pdf", ""));
  EXPECT_EQ("<refused>", Resolve("/home/a.pdf", "mallory"));
  EXPECT_TRUE(log.Contains("cannot get user home path home"));
  // System accounts have no home share.
  EXPECT_EQ("<refused>", Resolve("/home/a.pdf", "root"));
}

TEST(PathObject, DerivesAndCachesAttributes) {
  Path p;
  p.SetData("sharePath", "/docs/Plans/Q3.XLSX", true);
  p.SetData("user", "alice", true);
  EXPECT_EQ("/volume1/docs/Plans/Q3.XLSX", p.GetRealPath(""));
  EXPECT_EQ("Q3.XLSX", p.GetFileName(""));
  EXPECT_EQ("xlsx", p.GetFileType(""));
  EXPECT_EQ("xlsx", p.GetData("fileType", "").asString());

  // Nothing invalidates the cache: a new share path needs the real path cleared.
  p.SetData("sharePath", "/archive/b.docx", true);
  EXPECT_EQ("/volume1/docs/Plans/Q3.XLSX", p.GetRealPath(""));
  p.ClearData("realPath");
  EXPECT_EQ("/volume2/archive/b.docx", p.GetRealPath(""));
}

TEST(PathObject, DefaultsWhenNothingCanBeDerived) {
  Path bad;
  bad.SetData("sharePath", "report.docx", true);
  EXPECT_EQ("dflt", bad.GetRealPath("dflt"));
  EXPECT_EQ("dflt", bad.GetFileName("dflt"));
  EXPECT_EQ("dflt", bad.GetFileType("dflt"));
  EXPECT_FALSE(bad.HasData("realPath"));

  Path folder;
  folder.SetData("realPath", "/volume1/docs/", true);
  EXPECT_EQ("", folder.GetFileName("dflt"));
  EXPECT_EQ("dflt", folder.GetFileType("dflt"));

  Path empty;
  EXPECT_EQ("dflt", empty.GetRealPath("dflt"));
  EXPECT_EQ("dflt", empty.GetEAPath("dflt"));  // no "EAType"
}

TEST(PathObject, RealPathSetDirectlyNeverConsultsTheShare) {
  Path p;
  p.SetData("realPath", "/volume2/archive/tmp.pdf", true);
  p.SetData("sharePath", "/nosuch/other.docx", true);
  p.SetData("user", "nobody-at-all", true);
  EXPECT_EQ("/volume2/archive/tmp.pdf", p.GetRealPath(""));
  EXPECT_EQ("pdf", p.GetFileType(""));
}

class EAPathTest : public ::testing::Test {
 protected:
  void TearDown() override { testsupport::RemoveAll("/volume2/vault/reports"); }
};

TEST_F(EAPathTest, CreatesTheEADirectoryAsRootForAnotherCaller) {
  // A folder alice cannot write to: only root can make its @eaDir.
  testsupport::MakeDir("/volume2/vault/reports", 0755);
  testsupport::WriteFile("/volume2/vault/reports/a.docx", "doc", 0644);
  Path p;
  p.SetData("realPath", "/volume2/vault/reports/a.docx", true);
  std::string stream;
  {
    testsupport::ScopedEffectiveUser alice(kAliceUid, kUsersGid);
    stream = p.GetEAPathWithType("VIREOLENS_THUMB.pdf", "");
    EXPECT_EQ(kAliceUid, geteuid());  // switched back
  }
  EXPECT_EQ("/volume2/vault/reports/@eaDir/a.docx/VIREOLENS_THUMB.pdf", stream);
  struct stat st;
  ASSERT_EQ(0, stat("/volume2/vault/reports/@eaDir/a.docx", &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0u, st.st_uid);

  // Several streams of one file: each call derives its own path; the "EAType" one is cached.
  EXPECT_EQ("/volume2/vault/reports/@eaDir/a.docx/", p.GetEAPathWithType("", "x"));
  p.SetData("EAType", "VIREOLENS_THUMB.png", true);
  EXPECT_EQ("/volume2/vault/reports/@eaDir/a.docx/VIREOLENS_THUMB.png", p.GetEAPath(""));
  EXPECT_TRUE(p.HasData("EAPath"));
}

TEST_F(EAPathTest, RefusesStreamNamesThatLeaveTheEADirectory) {
  std::string out = "unchanged";
  EXPECT_FALSE(RealPathToEAPath("/volume1/docs/a.docx", out, "../../../etc/x"));
  EXPECT_FALSE(RealPathToEAPath("/volume1/docs/", out, "VIREOLENS_THUMB.pdf"));
  EXPECT_FALSE(RealPathToEAPath("relative/a.docx", out, "VIREOLENS_THUMB.pdf"));
  EXPECT_EQ("unchanged", out);
}

class PermissionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::WriteFile(kDir + "/shared.docx", "x", 0640, 0, testsupport::kUsersGid);
    testsupport::WriteFile(kDir + "/alice-only.docx", "x", 0600, kAliceUid, kUsersGid);
    testsupport::WriteFile(kDir + "/acl.docx", "x", 0600, 0, 0);
    ASSERT_EQ(0, testsupport::Shell("setfacl -m u:bob:r " + kDir + "/acl.docx"));
    testsupport::WriteFile("/volume1/homes/alice/home.docx", "x", 0644, kAliceUid, kUsersGid);
  }
  void TearDown() override {
    testsupport::RemoveAll(kDir);
    testsupport::RemoveAll("/volume1/homes/alice/home.docx");
  }
  const std::string kDir = "/volume1/docs/perm";
};

std::vector<gid_t> Groups() {
  std::vector<gid_t> groups(getgroups(0, nullptr));
  getgroups(groups.size(), groups.data());
  return groups;
}

TEST_F(PermissionTest, TheKernelDecidesForEachUser) {
  const std::vector<gid_t> rootGroups = Groups();
  struct Case {
    std::string file, user;
    bool readable;
  } cases[] = {
      {"/shared.docx", "alice", true},       {"/shared.docx", "bob", true},
      {"/alice-only.docx", "alice", true},   {"/alice-only.docx", "bob", false},
      {"/acl.docx", "bob", true},            {"/acl.docx", "alice", false},
      {"/missing.docx", "alice", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.readable, HasReadPermission(kDir + c.file, c.user)) << c.file << " " << c.user;
    // The check leaves the process as it was: root, with its own groups.
    EXPECT_EQ(0u, geteuid());
    EXPECT_EQ(0u, getegid());
    EXPECT_EQ(rootGroups, Groups()) << "supplementary groups left behind";
  }
  // A home folder is closed to others even when the file itself is world-readable.
  EXPECT_TRUE(HasReadPermission("/volume1/homes/alice/home.docx", "alice"));
  EXPECT_FALSE(HasReadPermission("/volume1/homes/alice/home.docx", "bob"));
  EXPECT_FALSE(HasReadPermission(kDir + "/shared.docx", "mallory"));
}

TEST_F(PermissionTest, CheckPermissionGoesThroughTheShareAsTheStoredUser) {
  Path noUser;
  noUser.SetData("sharePath", "/docs/perm/shared.docx", true);
  EXPECT_FALSE(noUser.CheckPermission());

  Path p;
  p.SetData("sharePath", "/docs/perm/alice-only.docx", true);
  EXPECT_TRUE(p.CheckPermission("alice"));
  EXPECT_EQ("alice", p.GetUser(""));
  p.ClearData("realPath");
  EXPECT_FALSE(p.CheckPermission("bob"));

  Path home;
  home.SetData("sharePath", "/home/home.docx", true);
  EXPECT_TRUE(home.CheckPermission("alice"));
  Path bobHome;
  bobHome.SetData("sharePath", "/home/home.docx", true);
  EXPECT_FALSE(bobHome.CheckPermission("bob"));  // bob's home has no such file

  // A path that escapes its share is never tested for permission at all.
  Path escape;
  escape.SetData("sharePath", "/docs/../../etc/passwd", true);
  EXPECT_FALSE(escape.CheckPermission("alice"));
  EXPECT_EQ("", escape.GetRealPath(""));
}

TEST(IsMegavault, ReadsTheShareFlag) {
  EXPECT_TRUE(IsMegavault("/vault/a.pdf"));
  EXPECT_TRUE(IsMegavault("/vault"));
  EXPECT_FALSE(IsMegavault("/docs/a.pdf"));
  EXPECT_FALSE(IsMegavault("/nosuch/a.pdf"));
  EXPECT_FALSE(IsMegavault("vault/a.pdf"));
  EXPECT_FALSE(IsMegavault(""));
}

}  // namespace
}  // namespace path
}  // namespace PAPERLENS
}  // namespace VIREO
