// A hostile user of the appliance against the document viewer, which reads, stages and caches
// files as root. Bob is the attacker: a local user who makes files, links, FIFOs and folders in
// the folders he may write (through a shell, as a file share would), renames the @eaDir folders
// of the folders he owns, and races. Alice is the victim. Every attack goes through real HTTP as
// a browser would; whatever happens, bob gets an error or his own bytes, never another's, and
// nothing outside his own folders changes.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "appliance_env.h"
#include "appliance_server.h"
#include "served_suite.h"
#include "cache_manager.h"
#include "documents.h"
#include "http_client.h"
#include "utils.h"

namespace {

using paperlens_test::ApplianceServer;
using paperlens_test::HttpRequest;
using paperlens_test::HttpResponse;
using paperlens_test::WebClient;
using testsupport::kAliceUid;
using testsupport::kBobUid;
using testsupport::kUsersGid;
namespace PL = VIREO::PAPERLENS;

constexpr int kPort = 18490;
const char kApi[] = "VIREO.Paperlens.Convert";
const std::string kBobDir = "/volume1/docs/bob";
const std::string kAliceDir = "/volume1/docs/alice";
// Texts that must never reach bob: a line of the appliance's password database, and the
// marker in alice's private files.
const char kShadowMarker[] = "harboralice123";
const char kAlicePrivate[] = "ALICE-PRIVATE";

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs a shell command as a local user, with that user's ids, groups and umask.
int As(const std::string& user, const std::string& command) {
  return testsupport::Shell("su -s /bin/sh " + user + " -c " + Quote(command));
}

Json::Value Path(const std::string& sharePath) {
  Json::Value p(Json::objectValue);
  p["path"] = sharePath;
  return p;
}

// One call with a time limit of its own: a request that hangs is a failure, not a stuck test.
HttpResponse Call(WebClient& client, const std::string& method, const Json::Value& params,
                  int timeoutMs, bool* answered = nullptr) {
  HttpRequest r;
  r.target = "/webapi/entry.cgi?api=" + std::string(kApi) + "&version=1&method=" + method + "&" +
             paperlens_test::EncodeParams(params);
  r.headers.emplace_back("Cookie", "id=" + client.Sid());
  HttpResponse response;
  std::string error;
  bool ok = paperlens_test::HttpExchange(client.Port(), r, response, &error, timeoutMs);
  if (answered != nullptr) *answered = ok;
  if (!ok) response.body = "<no answer: " + error + ">";
  return response;
}

int ErrorCode(const HttpResponse& r) { return r.JsonBody()["error"]["code"].asInt(); }

std::string PdfText(const std::string& bytes) {
  const std::string file = "/tmp/hostile-body.pdf";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  FILE* p = popen(("pdftotext -q " + file + " - 2>/dev/null").c_str(), "r");
  std::string text;
  char buf[4096];
  size_t n;
  while (p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0) text.append(buf, n);
  if (p != nullptr) pclose(p);
  return text;
}

int PdfPagesOf(const std::string& bytes) {
  const std::string file = "/tmp/hostile-pages.pdf";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  return testsupport::PdfPages(file);
}

// poll_start, then poll_status until the task ends: the last answer ("data" of a finished
// task, or the poll_start answer when it started none).
Json::Value Convert(WebClient& client, const std::string& sharePath) {
  Json::Value start = client.Call(kApi, 1, "poll_start", Path(sharePath));
  if (!start["success"].asBool() || !start["data"]["task_id"].isString()) return start;
  Json::Value id(Json::objectValue);
  id["task_id"] = start["data"]["task_id"];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
  Json::Value status;
  while (std::chrono::steady_clock::now() < deadline) {
    status = client.Call(kApi, 1, "poll_status", id);
    if (!status["success"].asBool() || status["data"]["finish"].asBool()) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return status;
}

// Every entry below a folder, with its owner and mode, as `find` prints them; the EA folders
// that the system itself keeps for the documents there are left out.
std::string Listing(const std::string& dir) {
  FILE* p = popen(("find " + dir + " -not -path '*/@eaDir*' -printf '%p %u %m\\n' | sort").c_str(),
                  "r");
  std::string out;
  char buf[4096];
  size_t n;
  while (p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  if (p != nullptr) pclose(p);
  return out;
}

// A process of bob's that swaps two names of his folder (rename exchange) as fast as it can,
// for the object's life.
class Swapper {
 public:
  Swapper(const std::string& a, const std::string& b) {
    _pid = fork();
    if (_pid == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(kUsersGid, kUsersGid, kUsersGid) != 0 ||
          setresuid(kBobUid, kBobUid, kBobUid) != 0) {
        _exit(1);
      }
      for (;;) renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    }
  }
  ~Swapper() {
    if (_pid > 0) {
      kill(_pid, SIGKILL);
      waitpid(_pid, nullptr, 0);
    }
  }
  Swapper(const Swapper&) = delete;
  Swapper& operator=(const Swapper&) = delete;

 private:
  pid_t _pid = -1;
};

class HostileUserTest : public paperlens_test::ServedSuite<kPort> {
 protected:

  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << server_->Error();
    ASSERT_TRUE(alice_.Login("alice", "alice123")["success"].asBool());
    ASSERT_TRUE(bob_.Login("bob", "bob123")["success"].asBool());
    // Bob's own folder, which alice may write too (a shared project folder of his).
    ASSERT_EQ(0, As("bob", "mkdir -p " + kBobDir + " && chmod 2777 " + kBobDir));
    // Alice's private folder, and a private file in it and in her home.
    ASSERT_EQ(0, As("alice", "mkdir -p " + kAliceDir + " && chmod 0700 " + kAliceDir +
                                 " && printf '%%PDF-1.4 " + kAlicePrivate + "\\n' > " +
                                 kAliceDir + "/private.pdf && chmod 0600 " + kAliceDir +
                                 "/private.pdf"));
  }
  void TearDown() override {
    testsupport::RemoveAll(kBobDir);
    testsupport::RemoveAll(kAliceDir);
    testsupport::RemoveAll("/volume1/docs/etc");
    testsupport::RemoveAll("/volume1/docker/@tmp/etc");
  }

  // Bob's answer must be an error or his own bytes: neither shadow lines nor alice's files.
  static void ExpectNothingOfOthers(const HttpResponse& r, const std::string& what) {
    EXPECT_EQ(std::string::npos, r.body.find(kShadowMarker)) << what;
    EXPECT_EQ(std::string::npos, r.body.find(kAlicePrivate)) << what;
    EXPECT_EQ(std::string::npos, PdfText(r.body).find(kShadowMarker)) << what;
    EXPECT_EQ(std::string::npos, PdfText(r.body).find(kAlicePrivate)) << what;
  }

  WebClient alice_{kPort};
  WebClient bob_{kPort};
};

TEST_F(HostileUserTest, APlantedStreamIsNeitherFollowedNorServed) {
  // Bob's document, with "its cached PDF" a link to the password database, or to alice's file.
  ASSERT_EQ(0, As("bob", "cd " + kBobDir +
                             " && echo mine > x.docx && echo mine > y.docx"
                             " && mkdir -p @eaDir/x.docx @eaDir/y.docx"
                             " && ln -s /etc/shadow @eaDir/x.docx/VIREOLENS_THUMB.pdf"
                             " && ln -s ../../../alice/private.pdf @eaDir/y.docx/VIREOLENS_THUMB.pdf"));
  testsupport::LogMark log;
  for (const char* name : {"x.docx", "y.docx"}) {
    HttpResponse r = Call(bob_, "get", Path("/docs/bob/" + std::string(name)), 10000);
    ExpectNothingOfOthers(r, name);
    EXPECT_EQ(117, ErrorCode(r)) << name << ": " << r.body;
  }
  EXPECT_TRUE(log.Contains("refusing"));

  // Alice's document in another folder of bob's, already converted, so root made the @eaDir.
  // Bob cannot write her document, but he can rename the @eaDir of his folder and make his own.
  const std::string shared = kBobDir + "/shared";
  ASSERT_EQ(0, As("bob", "mkdir " + shared + " && chmod 2777 " + shared));
  ASSERT_EQ(0, As("alice", "echo hers > " + shared + "/report.docx && chmod 0644 " + shared +
                               "/report.docx"));
  testsupport::WriteFile("/tmp/real.pdf", "%PDF-1.4 the real conversion of alice's report");
  {
    PL::CacheManager cache(true, 1073741824);
    ASSERT_TRUE(cache.Set("/tmp/real.pdf", shared + "/report.docx", PL::SZK_THUMB_PDF_TYPE, false));
  }
  HttpResponse real = Call(alice_, "get", Path("/docs/bob/shared/report.docx"), 10000);
  EXPECT_EQ("%PDF-1.4 the real conversion of alice's report", real.body);
  ASSERT_EQ(0, As("bob", "cd " + shared + " && mv @eaDir old && mkdir -p @eaDir/report.docx"
                             " && printf '%%PDF-1.4 FAKE by bob' > @eaDir/report.docx/VIREOLENS_THUMB.pdf"));
  HttpResponse fake = Call(alice_, "get", Path("/docs/bob/shared/report.docx"), 10000);
  EXPECT_EQ(std::string::npos, fake.body.find("FAKE")) << fake.body;
  EXPECT_EQ(117, ErrorCode(fake)) << fake.body;
}

TEST_F(HostileUserTest, LinksOutOfTheShareFifosAndFoldersAreNoDocuments) {
  ASSERT_EQ(0, As("bob", "cd " + kBobDir +
                             " && ln -s /var/packages/Paperlens/etc/cache.db db.pdf"
                             " && ln -s /etc/passwd passwd.pdf && ln -s /dev/zero zero.pdf"
                             " && ln -s /etc/shadow shadow.docx"
                             " && ln -s /volume1/homes/bob/../alice/x.pdf home.pdf"
                             " && mkfifo fifo.pdf fifo.docx && mkdir folder.pdf folder.docx"));
  for (const char* name : {"db.pdf", "passwd.pdf", "zero.pdf", "home.pdf", "fifo.pdf",
                           "folder.pdf", "fifo.docx", "folder.docx", "shadow.docx"}) {
    bool answered = false;
    HttpResponse r = Call(bob_, "get", Path("/docs/bob/" + std::string(name)), 8000, &answered);
    EXPECT_TRUE(answered) << name << " hung";
    EXPECT_EQ(120, ErrorCode(r)) << name << ": " << r.body.substr(0, 200);
  }
  for (const char* name : {"fifo.docx", "folder.docx", "shadow.docx", "zero.pdf"}) {
    bool answered = false;
    HttpResponse r =
        Call(bob_, "poll_start", Path("/docs/bob/" + std::string(name)), 8000, &answered);
    EXPECT_TRUE(answered) << name << " hung";
    EXPECT_EQ(101, ErrorCode(r)) << name << ": " << r.body;
  }
  // A share root is no document, and asking for it makes no @eaDir above the share.
  EXPECT_EQ(120, ErrorCode(Call(bob_, "get", Path("/docs"), 8000)));
  EXPECT_EQ(101, ErrorCode(Call(bob_, "poll_start", Path("/docs"), 8000)));
  EXPECT_FALSE(testsupport::Exists("/volume1/@eaDir"));
}

TEST_F(HostileUserTest, WhatLiesInEAFoldersIsNoDocumentAndStaysRootsAlone) {
  // Alice's cached PDF in the archive share: bob may list the folder, not read the stream.
  ASSERT_EQ(0, As("alice", "echo hers > /volume2/archive/alice.docx"));
  testsupport::WriteFile("/tmp/alice.pdf", "%PDF-1.4 " + std::string(kAlicePrivate));
  {
    PL::CacheManager cache(true, 1073741824);
    ASSERT_TRUE(cache.Set("/tmp/alice.pdf", "/volume2/archive/alice.docx", PL::SZK_THUMB_PDF_TYPE,
                          false));
  }
  const std::string stream = "/volume2/archive/@eaDir/alice.docx/VIREOLENS_THUMB.pdf";
  struct stat st;
  ASSERT_EQ(0, stat(stream.c_str(), &st));
  EXPECT_EQ(0u, st.st_uid);
  EXPECT_EQ(0600u, st.st_mode & 07777);
  HttpResponse r = Call(bob_, "get", Path("/archive/@eaDir/alice.docx/VIREOLENS_THUMB.pdf"), 8000);
  ExpectNothingOfOthers(r, "stream by share path");
  EXPECT_EQ(120, ErrorCode(r)) << r.body;
  testsupport::RemoveAll("/volume2/archive/alice.docx");
  testsupport::RemoveAll("/volume2/archive/@eaDir");
}

TEST_F(HostileUserTest, AnEAFolderLinkedElsewhereGetsNothingWritten) {
  // Alice's folder that bob may read but not write; bob points his @eaDir at it.
  const std::string open = "/volume1/docs/alice-open";
  ASSERT_EQ(0, As("alice", "mkdir -p " + open + " && chmod 0755 " + open));
  ASSERT_TRUE(testsupport::MakeDocument("docx", kBobDir + "/x.docx", 1, false, kBobUid, kUsersGid));
  ASSERT_EQ(0, As("bob", "ln -s ../alice-open " + kBobDir + "/@eaDir"));
  const std::string before = Listing(open);
  Json::Value done = Convert(bob_, "/docs/bob/x.docx");
  EXPECT_FALSE(done["data"]["success"].asBool() && done["data"]["finish"].asBool()) << done;
  EXPECT_EQ(before, Listing(open));
  EXPECT_EQ(117, ErrorCode(Call(bob_, "get", Path("/docs/bob/x.docx"), 8000)));
  testsupport::RemoveAll(open);
}

TEST_F(HostileUserTest, ARelativeLinkIsConvertedAsWhatItNamesInTheShare) {
  // /volume1/docs/bob/a/b/../../../etc/shadow is /volume1/docs/etc/shadow, bob's own text; the
  // same link staged at /Paperlens/@tmp/source/ would name the container's /etc/shadow.
  ASSERT_EQ(0, As("bob", "mkdir -p /volume1/docs/etc " + kBobDir + "/a/b"
                         " && printf 'BOB-OWN-TEXT\\n' > /volume1/docs/etc/shadow"
                         " && ln -s ../../../etc/shadow " + kBobDir + "/a/b/x.docx"));
  // Where the staged link would point on the host: bob makes it exist if he can, so that a
  // check of the staged name passes.
  As("bob", "mkdir -p /volume1/docker/@tmp/etc && echo BOB > /volume1/docker/@tmp/etc/shadow");
  Json::Value done = Convert(bob_, "/docs/bob/a/b/x.docx");
  ASSERT_TRUE(done["data"]["success"].asBool()) << done;
  HttpResponse pdf = Call(bob_, "get", Path("/docs/bob/a/b/x.docx"), 10000);
  EXPECT_EQ(200, pdf.status);
  ExpectNothingOfOthers(pdf, "staged link");
  EXPECT_NE(std::string::npos, PdfText(pdf.body).find("BOB-OWN-TEXT"));
}

TEST_F(HostileUserTest, SwappingNamesDuringAGetNeverServesTheLinkTarget) {
  ASSERT_EQ(0, As("bob", "cd " + kBobDir +
                             " && printf '%%PDF-1.4 BOB-OWN\\n' > mine.pdf"
                             " && ln -s ../alice/private.pdf swap"));
  Swapper swapper(kBobDir + "/mine.pdf", kBobDir + "/swap");
  int own = 0;
  for (int round = 0; round < 200; ++round) {
    HttpResponse r = Call(bob_, "get", Path("/docs/bob/mine.pdf"), 10000);
    ASSERT_EQ(std::string::npos, r.body.find(kAlicePrivate)) << "round " << round;
    if (r.body == "%PDF-1.4 BOB-OWN\n") ++own;
  }
  EXPECT_GT(own, 0);  // the race was run, not only refused
}

TEST_F(HostileUserTest, TheBackgroundTaskConvertsTheFileThatWasChecked) {
  // Alice's private three-page document; bob's own one-page document and a link to hers, swapped
  // between poll_start's check and the task's conversion. On the archive volume, so that staging
  // copies the file instead of linking it.
  const std::string bobs = "/volume2/archive/bob";
  const std::string hers = "/volume2/archive/alice";
  ASSERT_EQ(0, As("bob", "mkdir -p " + bobs));
  ASSERT_EQ(0, As("alice", "mkdir -p " + hers + " && chmod 0700 " + hers));
  ASSERT_TRUE(testsupport::MakeDocument("docx", hers + "/private.docx", 3, false, kAliceUid,
                                        kUsersGid, 0600));
  ASSERT_TRUE(testsupport::MakeDocument("docx", "/tmp/bob.docx", 1));
  int converted = 0;
  for (int round = 0; round < 8; ++round) {
    const std::string name = bobs + "/doc" + std::to_string(round) + ".docx";
    const std::string link = bobs + "/link" + std::to_string(round);
    ASSERT_EQ(0, As("bob", "cp /tmp/bob.docx " + name + " && ln -s ../alice/private.docx " + link));
    // The same modification time as alice's document, so that a PDF of hers cached under his
    // name would not be dropped as stale before bob reads it.
    ASSERT_EQ(0, testsupport::Shell("touch -r " + hers + "/private.docx " + name));
    const std::string sharePath = "/archive/bob/doc" + std::to_string(round) + ".docx";
    Json::Value done;
    {
      Swapper swapper(name, link);
      for (int attempt = 0; attempt < 20; ++attempt) {
        done = Convert(bob_, sharePath);
        if (done["success"].asBool()) break;  // else the check saw the link: refused, again
      }
    }
    if (!done["data"]["success"].asBool()) continue;
    // Bob's own file back under the name; the cached PDF must be his one page, never her three.
    struct stat st;
    if (lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      ASSERT_EQ(0, renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE));
    }
    HttpResponse pdf = Call(bob_, "get", Path(sharePath), 10000);
    if (pdf.status == 200 && pdf.Header("content-type") == "application/pdf") {
      ASSERT_EQ(1, PdfPagesOf(pdf.body)) << "round " << round;
      ++converted;
    }
  }
  EXPECT_GT(converted, 0);
  testsupport::RemoveAll(bobs);
  testsupport::RemoveAll(hers);
}

TEST_F(HostileUserTest, TheStagingAreaIsRootsAlone) {
  // As provisioned: nobody but root writes the docker share's @tmp, and the staging folders are
  // root's with mode 0700, so staged documents can be neither collected nor listed.
  ASSERT_TRUE(testsupport::MakeDocument("docx", kBobDir + "/x.docx", 1, false, kBobUid, kUsersGid));
  ASSERT_TRUE(Convert(bob_, "/docs/bob/x.docx")["data"]["success"].asBool());
  const std::string tmp = "/volume1/docker/@tmp";
  EXPECT_NE(0, As("bob", "mkdir " + tmp + "/mine"));
  EXPECT_NE(0, As("bob", "mv " + tmp + "/Paperlens " + tmp + "/taken"));
  for (const char* dir : {"/Paperlens", "/Paperlens/@tmp", "/Paperlens/@tmp/source",
                          "/Paperlens/@tmp/target"}) {
    struct stat st;
    ASSERT_EQ(0, stat((tmp + dir).c_str(), &st)) << dir;
    EXPECT_EQ(0u, st.st_uid) << dir;
    EXPECT_EQ(0700u, st.st_mode & 07777) << dir;
  }
  Json::Value list(Json::objectValue);
  list["folder_path"] = "/docker/@tmp/Paperlens/@tmp/source";
  EXPECT_FALSE(bob_.Call("VIREO.Filehall.List", 1, "list", list)["success"].asBool());

  // Staging folders taken over earlier (bob's, writable by all, with a link for the clean-up
  // to follow into alice's folder) are refused: alice's document is not staged there.
  testsupport::RemoveAll(tmp + "/Paperlens");
  ASSERT_EQ(0, testsupport::Shell("mkdir -p " + tmp + "/Paperlens/@tmp/source " + tmp +
                                  "/Paperlens/@tmp/target && chown -R bob " + tmp +
                                  "/Paperlens && chmod -R 0777 " + tmp + "/Paperlens"));
  ASSERT_EQ(0, As("bob", "ln -s " + kAliceDir + " " + tmp + "/Paperlens/@tmp/source/@eaDir"));
  ASSERT_TRUE(testsupport::MakeDocument("docx", kAliceDir + "/mine.docx", 1, false, kAliceUid,
                                        kUsersGid, 0600));
  const std::string before = Listing(kAliceDir);
  Json::Value done = Convert(alice_, "/docs/alice/mine.docx");
  EXPECT_TRUE(done["data"]["finish"].asBool()) << done;
  EXPECT_FALSE(done["data"]["success"].asBool()) << done;
  EXPECT_EQ(1003, done["data"]["error"]["code"].asInt()) << done;
  EXPECT_EQ("", Listing(tmp + "/Paperlens/@tmp/source/ -mindepth 1"));
  EXPECT_EQ(before, Listing(kAliceDir));
  testsupport::RemoveAll(tmp + "/Paperlens");
}

}  // namespace
