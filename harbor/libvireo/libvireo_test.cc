// The platform C library stand-in: what the package relies on from each call.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <vector>
#include <string>

#include "vireo/fileshare.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace {

std::string Slurp(FILE* f) {
  std::string out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
  return out;
}

TEST(Exec, TellsCannotRunFromRanAndFailed) {
  EXPECT_EQ(0, VLIBCExec("/bin/true", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(3, VLIBCExec("/bin/sh", "-c", "exit 3", nullptr, nullptr));
  EXPECT_EQ(-1, VLIBCExec("/no/such/program", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(128 + 9, VLIBCExec("/bin/sh", "-c", "kill -9 $$", nullptr, nullptr));

  char* ok[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>("exit 124"),
                nullptr};
  EXPECT_EQ(124, VLIBCExecv("/bin/sh", ok, 1));
  char* missing[] = {const_cast<char*>("x"), nullptr};
  EXPECT_LT(VLIBCExecv("/no/such/program", missing, 1), 0);
  // A file that exists but cannot be executed cannot run either.
  EXPECT_LT(VLIBCExecv("/etc/passwd", missing, 1), 0);

  EXPECT_EQ(0, VLIBCExecl("/bin/sh", 187, "-c", "exit 0", nullptr));
  EXPECT_NE(0, VLIBCExecl("/bin/sh", 187, "-c", "exit 1", nullptr));
}

TEST(Exec, PopenReadsTheChildsOutput) {
  FILE* f = VLIBCPopen("/bin/echo", "r", "hello", "world", nullptr);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ("hello world\n", Slurp(f));
  EXPECT_EQ(0, VLIBCPclose(f));
  EXPECT_EQ(nullptr, VLIBCPopen("/no/such/program", "r", nullptr));
}

TEST(Exec, ForkChildNoWaitDetaches) {
  const char* marker = "/tmp/detached-child";
  unlink(marker);
  pid_t pid = VLIBCProcForkChildNoWait();
  if (pid == 0) {
    std::ofstream(marker) << getppid();
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  // Nobody waits for the child, and it is not ours to wait for.
  EXPECT_EQ(-1, waitpid(pid, nullptr, WNOHANG));
  for (int i = 0; i < 200 && access(marker, F_OK) != 0; ++i) usleep(10000);
  EXPECT_EQ(0, access(marker, F_OK));
}

TEST(Locks, ExcludeWithinOneProcessAsAcrossProcesses) {
  const char* path = "/tmp/lock-test";
  int a = -1, b = -1;
  ASSERT_NE(0, VLIBCFileLockTimeByFile(path, 1, 1, &a));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, VLIBCFileLockTimeByFile(path, 0, 1, &b));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(-1, b);
  EXPECT_EQ(ERR_LOCK_TIMEOUT, VLIBCErrGet());
  EXPECT_NE(nullptr, strstr(VLIBCErrorGetFile(), "file.cc"));
  EXPECT_GT(VLIBCErrorGetLine(), 0);
  EXPECT_EQ(0, VLIBCFileLockByFile(path, 1, &b));
  EXPECT_EQ(0, VLIBCFileUnlockByFile(a));
  ASSERT_NE(0, VLIBCFileLockByFile(path, 0, &a));
  ASSERT_NE(0, VLIBCFileLockByFile(path, 0, &b));  // shared locks coexist
  EXPECT_EQ(0, VLIBCFileUnlockByFile(a));
  EXPECT_EQ(0, VLIBCFileUnlockByFile(b));
  EXPECT_EQ(-1, VLIBCFileUnlockByFile(-1));
  EXPECT_EQ(0, VLIBCFileLockByFile("/no/such/dir/lock", 0, &a));
  EXPECT_EQ(ERR_OPEN_FAILED, VLIBCErrGet());
}

TEST(PidFiles, RecordTheCallerAndTellTheLiving) {
  const char* path = "/run/test.pid";
  EXPECT_EQ(-1, VLIBCReadPidFile(path));
  ASSERT_GE(VLIBCProcPidFileCreate(path), 0);
  EXPECT_EQ(getpid(), VLIBCReadPidFile(path));
  EXPECT_EQ(1, VLIBCProcAlive(getpid()));
  pid_t child = fork();
  if (child == 0) _exit(0);
  usleep(100000);
  EXPECT_EQ(0, VLIBCProcAlive(child));  // a zombie has ended
  waitpid(child, nullptr, 0);
  EXPECT_EQ(0, VLIBCProcAlive(child));
  std::ofstream(path) << "garbage";
  EXPECT_EQ(-1, VLIBCReadPidFile(path));
}

TEST(Settings, KeyValueFiles) {
  const char* path = "/tmp/settings.conf";
  std::ofstream(path) << "# comment\nenable_data_collect=\"yes\"\nother = no\n";
  EXPECT_NE(0, VLIBCFileCheckKeyValue(path, "enable_data_collect", "yes", 0));
  EXPECT_EQ(0, VLIBCFileCheckKeyValue(path, "enable_data_collect", "YES", 0));
  EXPECT_NE(0, VLIBCFileCheckKeyValue(path, "enable_data_collect", "YES", 1));
  EXPECT_NE(0, VLIBCFileCheckKeyValue(path, "other", "no", 0));
  EXPECT_EQ(0, VLIBCFileCheckKeyValue(path, "missing", "", 0));
  EXPECT_EQ(0, VLIBCFileCheckKeyValue("/no/such/file", "k", "v", 0));
  ASSERT_EQ(0, VLIBCFileSetKeyValue(path, "enable_data_collect", "no"));
  ASSERT_EQ(0, VLIBCFileSetKeyValue(path, "added", "1"));
  char buf[16];
  EXPECT_EQ(2, VLIBCFileGetKeyValue(path, "enable_data_collect", buf, sizeof(buf)));
  EXPECT_STREQ("no", buf);
  EXPECT_EQ(1, VLIBCFileGetKeyValue(path, "added", buf, sizeof(buf)));
  EXPECT_NE(0, VLIBCFileSetKeyValue(path, "bad\nkey", "v"));
}

TEST(Encoding, Base64) {
  char out[16];
  struct Case {
    std::string in, out;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}};
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(c.out.size()),
              VLIBCBase64SzEncodeFull(reinterpret_cast<const unsigned char*>(c.in.data()),
                                      c.in.size(), out, sizeof(out)));
    EXPECT_EQ(c.out, out);
  }
  EXPECT_EQ(-1, VLIBCBase64SzEncodeFull(reinterpret_cast<const unsigned char*>("foob"), 4, out, 8));
}

TEST(Snapshots, PathComponents) {
  int flag = -1;
  EXPECT_EQ(0, VLIBFhsPathInSnapshot("/volume1/docs/#snapshot/GMT-1/a.pdf", &flag));
  EXPECT_EQ(1, flag);
  EXPECT_EQ(0, VLIBFhsPathInSnapshot("/volume1/docs/snapshot/a.pdf", &flag));
  EXPECT_EQ(0, flag);
  EXPECT_EQ(-1, VLIBFhsPathInSnapshot("relative", &flag));
}

TEST(Shares, RegistryAndHomes) {
  PVIREOSHARE share = nullptr;
  ASSERT_EQ(0, VIREOShareGet("docs", &share));
  EXPECT_STREQ("/volume1/docs", share->szPath);
  EXPECT_EQ(0u, share->fStatus & SHARE_STATUS_MEGAVAULT);
  VIREOShareFree(share);
  ASSERT_EQ(0, VIREOShareGet("public", &share));
  EXPECT_EQ(1, share->iDownloadDisabled);
  VIREOShareFree(share);
  EXPECT_EQ(-1, VIREOShareGet("nosuch", &share));
  EXPECT_EQ(nullptr, share);
  EXPECT_EQ(-1, VIREOShareGet("", &share));
  EXPECT_EQ(-1, VIREOShareGet("docs/..", &share));

  EXPECT_TRUE(DozedoFileShare::IsDirUserHome("home", nullptr));
  EXPECT_FALSE(DozedoFileShare::IsDirUserHome("homes", nullptr));
  std::string home;
  EXPECT_EQ(0, DozedoFileShare::WfmUserHomeFullPathGet(home, "alice"));
  EXPECT_EQ("/volume1/homes/alice", home);
  EXPECT_EQ(-1, DozedoFileShare::WfmUserHomeFullPathGet(home, ""));
  EXPECT_EQ(-1, DozedoFileShare::WfmUserHomeFullPathGet(home, "mallory"));
  EXPECT_NE(0, VIREOShareIsShareRecycle("/volume1/docs/#recycle/a.pdf"));
  EXPECT_EQ(0, VIREOShareIsShareRecycle("/volume1/docs/recycle/a.pdf"));
}

// Lookups follow the registry file however it changes: replaced by a rename, rewritten in
// place, or broken (no share then, not the last good copy).
TEST(Shares, LookupsFollowEveryChangeOfTheRegistry) {
  std::string original;
  {
    std::ifstream in(VIREO_SHARE_REGISTRY);
    std::stringstream text;
    text << in.rdbuf();
    original = text.str();
  }
  auto shareOf = [](const char* name) {
    PVIREOSHARE share = nullptr;
    std::string path = VIREOShareGet(name, &share) == 0 ? share->szPath : "<none>";
    VIREOShareFree(share);
    return path;
  };
  ASSERT_EQ("/volume1/docs", shareOf("docs"));
  Json::Value root;
  ASSERT_TRUE(Json::Reader().parse(original, root));
  root["extra"] = root["docs"];
  root["extra"]["path"] = "/volume1/extra";
  const std::string tmp = std::string(VIREO_SHARE_REGISTRY) + ".new";
  std::ofstream(tmp) << Json::FastWriter().write(root);
  ASSERT_EQ(0, rename(tmp.c_str(), VIREO_SHARE_REGISTRY));
  EXPECT_EQ("/volume1/extra", shareOf("extra"));

  root["extra"]["path"] = "/volume1/other";  // the same length, the same file
  std::ofstream(VIREO_SHARE_REGISTRY, std::ios::trunc) << Json::FastWriter().write(root);
  EXPECT_EQ("/volume1/other", shareOf("extra"));

  // A registry that has not changed for a while is parsed once and then reused; the next
  // change in place still shows at once.
  struct timeval old[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 100, 0}};
  ASSERT_EQ(0, utimes(VIREO_SHARE_REGISTRY, old));
  EXPECT_EQ("/volume1/other", shareOf("extra"));
  EXPECT_EQ("/volume1/other", shareOf("extra"));
  root["extra"]["path"] = "/volume1/third";
  std::ofstream(VIREO_SHARE_REGISTRY, std::ios::trunc) << Json::FastWriter().write(root);
  EXPECT_EQ("/volume1/third", shareOf("extra"));

  std::ofstream(VIREO_SHARE_REGISTRY, std::ios::trunc) << "{ broken";
  EXPECT_EQ("<none>", shareOf("docs"));

  std::ofstream(VIREO_SHARE_REGISTRY, std::ios::trunc) << original;
  EXPECT_EQ("/volume1/docs", shareOf("docs"));
  EXPECT_EQ("<none>", shareOf("extra"));
}

TEST(Shares, TheShareThatHoldsAPath) {
  struct Case {
    const char* path;
    const char* share;  // nullptr: none holds it
  } cases[] = {
      {"/volume1/docs", "docs"},
      {"/volume1/docs/a/b.docx", "docs"},
      {"/volume1/homes/alice/x.pdf", "homes"},
      {"/volume2/archive/", "archive"},
      {"/volume1/docs2/x.pdf", nullptr},  // a prefix, not a folder of the share
      {"/volume1", nullptr},
      {"/etc/shadow", nullptr},
      {"relative/path", nullptr},
  };
  for (const Case& c : cases) {
    PVIREOSHARE share = nullptr;
    int rc = VIREOShareGetByPath(c.path, &share);
    if (c.share == nullptr) {
      EXPECT_EQ(-1, rc) << c.path;
      EXPECT_EQ(nullptr, share) << c.path;
    } else {
      ASSERT_EQ(0, rc) << c.path;
      EXPECT_STREQ(c.share, share->szName) << c.path;
    }
    VIREOShareFree(share);
  }
}

TEST(EADirectories, Layout) {
  char buf[64];
  EXPECT_EQ(0, VIREOEADirPath(0, "/volume1/docs/a.docx", buf, sizeof(buf)));
  EXPECT_STREQ("/volume1/docs/@eaDir/a.docx", buf);
  EXPECT_EQ(0, VIREOEAPath(0, "/volume1/docs/a.docx", "S", buf, sizeof(buf), 0));
  EXPECT_STREQ("/volume1/docs/@eaDir/a.docx/S", buf);
  EXPECT_EQ(0, VIREOEAPath(0, "/volume1/docs/a.docx", "", buf, sizeof(buf), 0));
  EXPECT_STREQ("/volume1/docs/@eaDir/a.docx/", buf);
  EXPECT_NE(0, VIREOEAPath(0, "/volume1/docs/a.docx", "../x", buf, sizeof(buf), 0));
  EXPECT_NE(0, VIREOEADirPath(0, "/volume1/docs/", buf, sizeof(buf)));
  EXPECT_NE(0, VIREOEADirPath(0, "a.docx", buf, sizeof(buf)));
  EXPECT_NE(0, VIREOEADirPath(0, "/volume1/docs/a-very-long-name.docx", buf, 16));
  EXPECT_EQ(1, VIREOEAIsHiddenDir("/volume1/docs/@eaDir/a.docx"));
  EXPECT_EQ(0, VIREOEAIsHiddenDir("/volume1/docs/eaDir"));
}

TEST(Files, CopyMkdirAndFileSystems) {
  ASSERT_EQ(ERR_SUCCESS, VIREOFSMkdirP("/volume2/archive/x/y/z", nullptr, TRUE, 1026, 100, 0750));
  struct stat st;
  ASSERT_EQ(0, stat("/volume2/archive/x/y/z", &st));
  EXPECT_EQ(0750u, st.st_mode & 0777);
  EXPECT_EQ(1026u, st.st_uid);
  EXPECT_NE(ERR_SUCCESS, VIREOFSMkdirP("/volume2/archive/q/r", nullptr, FALSE, UID_ERR, GID_ERR,
                                       0755));
  EXPECT_EQ(VIREO_FS_PSEUDO, VIREOGetFSType("/proc", 0));
  EXPECT_EQ(-1, VIREOGetFSType("/no/such/path", 0));
  EXPECT_NE(0, VIREOFSIsImageFS(VIREO_FS_ISO9660));
  EXPECT_NE(0, VIREOFSIsRemoteFS(VIREO_FS_NFS));
  EXPECT_EQ(0, VIREOFSIsRemoteFS(VIREOGetFSType("/volume1", 0)));
}

}  // namespace

#include "vireo/log.h"

namespace {

TEST(TransferLog, AppendsOneLineAnEntry) {
  unlink(VIREO_XFERLOG_PATH);
  ASSERT_EQ(0, VIREOLogHARBORFMXferLog("127.0.0.1", "alice", "View Document", 1234,
                                       "/docs/a \"quoted\".pdf", 0));
  ASSERT_EQ(0, VIREOLogHARBORFMXferLog("10.0.0.2", "bob", "View Document", 0, "/home/b.docx", 0));
  std::ifstream in(VIREO_XFERLOG_PATH);
  std::string line;
  std::vector<Json::Value> entries;
  while (std::getline(in, line)) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::istringstream s(line);
    ASSERT_TRUE(Json::parseFromStream(b, s, &v, &errs)) << line;
    entries.push_back(v);
  }
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("alice", entries[0]["user"].asString());
  EXPECT_EQ("/docs/a \"quoted\".pdf", entries[0]["file"].asString());
  EXPECT_EQ(1234, entries[0]["size"].asInt64());
  EXPECT_EQ("View Document", entries[1]["type"].asString());
  struct stat st;
  ASSERT_EQ(0, stat(VIREO_XFERLOG_PATH, &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ(-1, VIREOLogHARBORFMXferLog(nullptr, "alice", "t", 0, "f", 0));
}

TEST(SettingsAndStrings, ReadTheAppliancesFiles) {
  EXPECT_EQ("no", VireoConf().Info("filebrowserxferlog", "unset"));
  EXPECT_EQ("unset", VireoConf().Info("no_such_key", "unset"));
  StringBundle bundle(3, "sharing");
  EXPECT_FALSE(bundle.Text("download_log_desc", "").empty());
  EXPECT_EQ("dflt", bundle.Text("no_such_key", "dflt"));
  EXPECT_EQ("dflt", StringBundle(99, "sharing").Text("download_log_desc", "dflt"));
}

}  // namespace
