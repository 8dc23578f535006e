// The safe way of opening files, against the appliance's real shares, users and kernel checks.
#include "safe_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "appliance_env.h"

namespace VIREO {
namespace PAPERLENS {
namespace safe {
namespace {

using testsupport::Exists;
using testsupport::kAliceUid;
using testsupport::kBobUid;
using testsupport::kUsersGid;
using testsupport::MakeDir;
using testsupport::Shell;
using testsupport::WriteFile;

const std::string kDir = "/volume1/docs/safe";
const std::string kOther = "/volume2/archive/safe";

std::string Read(int fd) {
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

std::string OpenAndRead(const std::string& path, const std::string& user, Error* error) {
  Fd fd;
  *error = OpenDocument(path, user, fd);
  return fd.Ok() ? Read(fd.Get()) : "";
}

struct stat StatOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st;
}

class SafeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDir(kDir, 02775, 0, kUsersGid);
    MakeDir(kOther, 0755);
  }
  void TearDown() override {
    testsupport::RemoveAll(kDir);
    testsupport::RemoveAll(kOther);
    // The credentials always come back.
    EXPECT_EQ(0u, geteuid());
    EXPECT_EQ(0u, getegid());
  }
};

TEST_F(SafeFileTest, DocumentsResolveBeneathTheirShareOnly) {
  WriteFile(kDir + "/a/doc.pdf", "in the share");
  ASSERT_EQ(0, Shell("ln -s a/doc.pdf " + kDir + "/inside.pdf && ln -s /etc/passwd " + kDir +
                     "/abs.pdf && ln -s ../../../../etc/passwd " + kDir + "/up.pdf && ln -s " +
                     kDir + "/a/doc.pdf " + kDir + "/absinside.pdf && ln -s /proc/self/root/etc/passwd " +
                     kDir + "/magic.pdf && ln -s ../../homes/alice " + kDir + "/otherShare"));
  struct Case {
    std::string path;
    Error error;
  } cases[] = {
      {kDir + "/a/doc.pdf", kOk},
      {kDir + "/inside.pdf", kOk},        // a link that stays in the share is followed
      {kDir + "/abs.pdf", kEscapes},      // out of the share
      {kDir + "/up.pdf", kEscapes},
      {kDir + "/absinside.pdf", kEscapes},  // absolute links are never followed
      {kDir + "/magic.pdf", kEscapes},
      {kDir + "/otherShare/x.pdf", kEscapes},  // another share is out of this one too
      {kDir + "/a/../a/doc.pdf", kBadPath},
      {kDir + "/missing.pdf", kNotFound},
      {"/volume1/docs", kBadPath},        // the share folder itself is no document
      {"/volume1/docs2/x.pdf", kBadPath},  // held by no share
      {"/etc/passwd", kBadPath},
      {"relative.pdf", kBadPath},
  };
  for (const Case& c : cases) {
    Error e;
    std::string text = OpenAndRead(c.path, "", &e);
    EXPECT_EQ(c.error, e) << c.path << ": " << ErrorText(e);
    EXPECT_EQ(c.error == kOk ? "in the share" : "", text) << c.path;
  }
}

TEST_F(SafeFileTest, OnlyRegularFilesAreDocumentsAndNothingBlocks) {
  ASSERT_EQ(0, Shell("mkfifo " + kDir + "/fifo.pdf && mkdir " + kDir + "/folder.docx && ln -s /dev/null " +
                     kDir + "/null.pdf"));
  // A writer may hold a FIFO open: the open must not wait for data either way.
  auto start = std::chrono::steady_clock::now();
  for (const char* name : {"/fifo.pdf", "/folder.docx"}) {
    Fd fd;
    EXPECT_EQ(kNotRegular, OpenDocument(kDir + name, "", fd)) << name;
    EXPECT_EQ(kNotRegular, OpenDocument(kDir + name, "alice", fd)) << name;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  Fd fd;
  EXPECT_EQ(kEscapes, OpenDocument(kDir + "/null.pdf", "", fd));
  // A descriptor handed out is blocking again, for plain reads.
  WriteFile(kDir + "/plain.pdf", "x");
  ASSERT_EQ(kOk, OpenDocument(kDir + "/plain.pdf", "", fd));
  EXPECT_EQ(0, fcntl(fd.Get(), F_GETFL) & O_NONBLOCK);
}

TEST_F(SafeFileTest, TheKernelDecidesForTheUserOnTheFileItself) {
  MakeDir(kDir + "/alice", 0755, kAliceUid, kUsersGid);
  WriteFile(kDir + "/alice/private.pdf", "hers", 0600, kAliceUid, kUsersGid);
  WriteFile(kDir + "/alice/shared.pdf", "shared by acl", 0600, kAliceUid, kUsersGid);
  ASSERT_EQ(0, Shell("setfacl -m u:bob:r " + kDir + "/alice/shared.pdf"));
  MakeDir(kDir + "/closed", 0700, kAliceUid, kUsersGid);
  WriteFile(kDir + "/closed/open.pdf", "behind a closed folder", 0644, kAliceUid, kUsersGid);
  ASSERT_EQ(0, Shell("ln -s alice/private.pdf " + kDir + "/link.pdf"));
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
  ASSERT_EQ(static_cast<int>(groups.size()), getgroups(groups.size(), groups.data()));
  Error e;
  EXPECT_EQ("hers", OpenAndRead(kDir + "/alice/private.pdf", "alice", &e));
  EXPECT_EQ("", OpenAndRead(kDir + "/alice/private.pdf", "bob", &e));
  EXPECT_EQ(kDenied, e);
  EXPECT_EQ("", OpenAndRead(kDir + "/link.pdf", "bob", &e));  // through a link: the same file
  EXPECT_EQ(kDenied, e);
  EXPECT_EQ("shared by acl", OpenAndRead(kDir + "/alice/shared.pdf", "bob", &e));
  EXPECT_EQ("", OpenAndRead(kDir + "/closed/open.pdf", "bob", &e));
  EXPECT_EQ(kDenied, e);
  EXPECT_EQ("", OpenAndRead(kDir + "/alice/private.pdf", "mallory", &e));
  EXPECT_EQ(kDenied, e);
  // Whatever happened, the process has its own group list back.
  std::vector<gid_t> after(static_cast<size_t>(getgroups(0, nullptr)));
  ASSERT_EQ(static_cast<int>(after.size()), getgroups(after.size(), after.data()));
  EXPECT_EQ(groups, after);
}

TEST_F(SafeFileTest, EAFoldersAreMadeRootsAloneAndNeverAboveAShare) {
  WriteFile(kDir + "/doc.docx", "d");
  ASSERT_EQ(kOk, MakeEAFolder(kDir + "/@eaDir/doc.docx"));
  for (const std::string& dir : {kDir + "/@eaDir", kDir + "/@eaDir/doc.docx"}) {
    struct stat st = StatOf(dir);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
    EXPECT_EQ(0u, st.st_uid) << dir;
    EXPECT_EQ(0755u, st.st_mode & 07777) << dir;  // not the set-group-id, group-writable parent's
  }
  // /volume1/docs as a "file" would keep its streams in /volume1/@eaDir/docs.
  EXPECT_EQ(kBadPath, MakeEAFolder("/volume1/@eaDir/docs"));
  EXPECT_FALSE(Exists("/volume1/@eaDir"));
  EXPECT_EQ(kBadPath, MakeEAFolder("/volume1/docs/@eaDir/../x"));
  EXPECT_EQ(kBadPath, MakeEAFolder(kDir + "/nothing-ea/x"));
}

TEST_F(SafeFileTest, StreamsThroughAnythingButRootsOwnFoldersAreRefused) {
  auto plant = [](const std::string& setup) {
    testsupport::RemoveAll(kDir + "/u");
    MakeDir(kDir + "/u", 0755, kBobUid, kUsersGid);
    WriteFile(kDir + "/u/doc.docx", "d", 0644, kBobUid, kUsersGid);
    WriteFile(kDir + "/secret", "secret");
    ASSERT_EQ(0, Shell("cd " + kDir + "/u && " + setup));
  };
  const std::string stream = kDir + "/u/@eaDir/doc.docx/S";
  struct Case {
    std::string setup;
    Error error;
  } cases[] = {
      {"mkdir -p @eaDir/doc.docx && echo ok > @eaDir/doc.docx/S", kOk},
      {"mkdir -p @eaDir/doc.docx && echo ok > @eaDir/doc.docx/S && chown -R bob @eaDir", kNotRoots},
      {"mkdir -p @eaDir/doc.docx && echo ok > @eaDir/doc.docx/S && chown bob @eaDir/doc.docx/S",
       kNotRoots},
      {"mkdir -p @eaDir/doc.docx && echo ok > @eaDir/doc.docx/S && chmod 0777 @eaDir", kNotRoots},
      {"mkdir -p @eaDir/doc.docx && ln -s ../../../secret @eaDir/doc.docx/S", kEscapes},
      {"mkdir -p @eaDir/x && echo ok > @eaDir/x/S && ln -s x @eaDir/doc.docx", kEscapes},
      {"mkdir -p ../ea/doc.docx && echo ok > ../ea/doc.docx/S && ln -s ../ea @eaDir", kEscapes},
      {"mkdir -p @eaDir/doc.docx && mkfifo @eaDir/doc.docx/S", kNotRegular},
  };
  for (const Case& c : cases) {
    plant(c.setup);
    Fd fd;
    EXPECT_EQ(c.error, OpenEAFile(stream, O_RDONLY, fd)) << c.setup;
    EXPECT_EQ(c.error == kOk, fd.Ok()) << c.setup;
    // Nothing is written through a refused way either.
    Error made = OpenEAFile(stream, O_WRONLY | O_CREAT, fd);
    if (c.error != kOk) {
      EXPECT_NE(kOk, made) << c.setup;
    }
    EXPECT_EQ("secret", testsupport::ReadFile(kDir + "/secret")) << c.setup;
    testsupport::RemoveAll(kDir + "/ea");
  }
}

TEST_F(SafeFileTest, InstalledStreamsAreRootsAloneAndReplacedWhole) {
  WriteFile(kDir + "/doc.docx", "d");
  const std::string stream = kDir + "/@eaDir/doc.docx/S";
  for (const std::string& dir : {kDir, kOther}) {  // a rename, then a copy across volumes
    WriteFile(dir + "/out.pdf", "converted from " + dir, 0644, kBobUid, kUsersGid);
    ASSERT_EQ(kOk, InstallEAFile(dir + "/out.pdf", stream, /*move=*/true)) << dir;
    EXPECT_FALSE(Exists(dir + "/out.pdf")) << dir;
    EXPECT_EQ("converted from " + dir, testsupport::ReadFile(stream));
    struct stat st = StatOf(stream);
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0600u, st.st_mode & 07777);
  }
  WriteFile(kDir + "/kept.pdf", "copied");
  ASSERT_EQ(kOk, InstallEAFile(kDir + "/kept.pdf", stream, /*move=*/false));
  EXPECT_TRUE(Exists(kDir + "/kept.pdf"));
  EXPECT_EQ("copied", testsupport::ReadFile(stream));
  // A link as the source is not followed, and the stream stays as it was.
  ASSERT_EQ(0, Shell("ln -s /etc/passwd " + kDir + "/link.pdf && mkfifo " + kDir + "/fifo.pdf"));
  EXPECT_EQ(kEscapes, InstallEAFile(kDir + "/link.pdf", stream, true));
  EXPECT_EQ(kNotRegular, InstallEAFile(kDir + "/fifo.pdf", stream, true));
  EXPECT_EQ("copied", testsupport::ReadFile(stream));
  // No temporary file is left beside the stream.
  EXPECT_EQ(0, Shell("test \"$(ls -A " + kDir + "/@eaDir/doc.docx)\" = S"));

  EXPECT_EQ(kOk, RemoveEAFile(stream));
  EXPECT_EQ(kNotFound, RemoveEAFile(stream));
}

TEST_F(SafeFileTest, TreesAreRemovedWithoutFollowingLinks) {
  WriteFile(kDir + "/keep/precious", "p");
  WriteFile(kDir + "/tree/a/b/file", "f");
  ASSERT_EQ(0, Shell("ln -s ../../keep " + kDir + "/tree/a/tokeep && ln -s /etc " + kDir +
                     "/tree/etc && mkfifo " + kDir + "/tree/fifo"));
  Fd dir(open(kDir.c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(dir.Ok());
  EXPECT_EQ(kOk, RemoveTreeAt(dir.Get(), "tree"));
  EXPECT_FALSE(Exists(kDir + "/tree"));
  EXPECT_EQ("p", testsupport::ReadFile(kDir + "/keep/precious"));
  EXPECT_TRUE(Exists("/etc/passwd"));
  // A link named like the tree is removed itself; what it names stays.
  ASSERT_EQ(0, Shell("ln -s keep " + kDir + "/tree"));
  EXPECT_EQ(kOk, RemoveTreeAt(dir.Get(), "tree"));
  EXPECT_EQ("p", testsupport::ReadFile(kDir + "/keep/precious"));
  EXPECT_EQ(kNotFound, RemoveTreeAt(dir.Get(), "tree"));
  EXPECT_EQ(kBadPath, RemoveTreeAt(dir.Get(), ".."));
}

TEST_F(SafeFileTest, WalkedFilesResolveBeneathTheirIndexedFolder) {
  const std::string top = kDir + "/indexed";
  MakeDir(top + "/sub");
  WriteFile(top + "/sub/a.docx", "inside");
  WriteFile(kDir + "/private.docx", "outside the indexed folder");
  ASSERT_EQ(0, symlink("sub/a.docx", (top + "/in.docx").c_str()));
  ASSERT_EQ(0, symlink("../private.docx", (top + "/up.docx").c_str()));
  ASSERT_EQ(0, symlink((kDir + "/private.docx").c_str(), (top + "/abs.docx").c_str()));

  struct stat st;
  ASSERT_EQ(kOk, StatBeneathFolder(top, top + "/in.docx", st));
  EXPECT_EQ(StatOf(top + "/sub/a.docx").st_ino, st.st_ino);
  EXPECT_EQ(kEscapes, StatBeneathFolder(top, top + "/up.docx", st));
  EXPECT_EQ(kEscapes, StatBeneathFolder(top, top + "/abs.docx", st));
  // Not below the folder, or a folder that only shares a prefix with it.
  EXPECT_EQ(kBadPath, StatBeneathFolder(top, kDir + "/private.docx", st));
  EXPECT_EQ(kBadPath, StatBeneathFolder(top + "/su", top + "/sub/a.docx", st));
  EXPECT_EQ(kBadPath, StatBeneathFolder(top, top + "/../private.docx", st));
  EXPECT_EQ(kNotFound, StatBeneathFolder(top, top + "/missing.docx", st));

  // A walk opens the share folder and folders of it, never through a link.
  Fd dir;
  EXPECT_EQ(kOk, OpenFolderForWalk("/volume1/docs", dir));
  EXPECT_EQ(kOk, OpenFolderForWalk(top, dir));
  ASSERT_EQ(0, symlink("/volume2/archive", (kDir + "/elsewhere").c_str()));
  EXPECT_EQ(kEscapes, OpenFolderForWalk(kDir + "/elsewhere", dir));
  EXPECT_EQ(kBadPath, OpenFolderForWalk("/volume1", dir));
}

// ---- Temporary files in EA folders ----

TEST_F(SafeFileTest, TemporaryFilesAreNewRootsAloneAndNeverThroughALink) {
  MakeDir(kDir + "/u", 0755, kBobUid, kUsersGid);
  WriteFile(kDir + "/u/doc.docx", "d", 0644, kBobUid, kUsersGid);
  const std::string tmpl = kDir + "/u/@eaDir/doc.docx/TMP_XXXXXX.pdf";
  Fd dir, file, dir2, file2;
  std::string name, name2;
  ASSERT_EQ(kOk, MakeEATempFile(tmpl, 4, dir, file, name));
  ASSERT_EQ(kOk, MakeEATempFile(tmpl, 4, dir2, file2, name2));
  EXPECT_NE(name, name2);
  EXPECT_EQ(0u, name.find("TMP_"));
  EXPECT_EQ(name.size() - 4, name.rfind(".pdf"));
  EXPECT_EQ(std::string::npos, name.find("XXXXXX"));
  struct stat st = StatOf(kDir + "/u/@eaDir/doc.docx/" + name);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0u, st.st_uid);
  EXPECT_EQ(0600u, st.st_mode & 07777);
  ASSERT_EQ(4, write(file.Get(), "data", 4));
  EXPECT_EQ(0, unlinkat(dir.Get(), name.c_str(), 0));
  EXPECT_FALSE(Exists(kDir + "/u/@eaDir/doc.docx/" + name));

  // The user swaps the EA folder for a link to a folder of theirs: nothing is made there.
  testsupport::RemoveAll(kDir + "/u/@eaDir");
  MakeDir(kDir + "/u/mine", 0755, kBobUid, kUsersGid);
  ASSERT_EQ(0, Shell("ln -s mine " + kDir + "/u/@eaDir"));
  EXPECT_EQ(kEscapes, MakeEATempFile(tmpl, 4, dir, file, name));
  EXPECT_EQ("", testsupport::ReadFile(kDir + "/u/mine/doc.docx"));
  // A template without its six X is refused.
  testsupport::RemoveAll(kDir + "/u/@eaDir");
  EXPECT_EQ(kBadPath, MakeEATempFile(kDir + "/u/@eaDir/doc.docx/TMP.pdf", 4, dir, file, name));
}

}  // namespace
}  // namespace safe
}  // namespace PAPERLENS
}  // namespace VIREO
