// The PDF viewer's operations over real HTTP: the appliance's web server, entry.cgi, the
// VIREO.Folium plug-in, real PDFs, real conversions and the real print tool.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "appliance_env.h"
#include "appliance_server.h"
#include "served_suite.h"
#include "documents.h"
#include "http_client.h"
#include "vireo/libc.h"
#include "vireo/log.h"

namespace {

using paperlens_test::ApplianceServer;
using paperlens_test::HttpResponse;
using paperlens_test::WebClient;
using testsupport::kAliceUid;
using testsupport::kUsersGid;

constexpr int kPort = 18580;
const char kApi[] = "VIREO.Folium";
const std::string kDir = "/volume1/docs/folium";
const char kUsageFile[] = "/usr/vireo/etc/user.data/folium";
const char kClosingPage[] = "<html><head><script>window.close();</script></head></html>";

Json::Value Path(const Json::Value& sharePath) {
  Json::Value p(Json::objectValue);
  p["path"] = sharePath;
  return p;
}

int PdfPagesOf(const std::string& bytes) {
  const std::string file = "/tmp/folium-body.pdf";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  return testsupport::PdfPages(file);
}

// The names in the file's EA folder that are print leftovers.
std::vector<std::string> PrintLeftovers(const std::string& eaDir) {
  std::vector<std::string> left;
  if (DIR* d = opendir(eaDir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.compare(0, 10, "VIREOLENS_") == 0 && n != "VIREOLENS_THUMB.pdf") left.push_back(n);
    }
    closedir(d);
  }
  return left;
}

Json::Value Usage() {
  Json::Value v;
  std::ifstream in(kUsageFile);
  Json::CharReaderBuilder b;
  std::string errs;
  if (!in || !Json::parseFromStream(b, in, &v, &errs)) return Json::Value();
  return v;
}

std::vector<Json::Value> TransferLog() {
  std::vector<Json::Value> entries;
  std::ifstream log(VIREO_XFERLOG_PATH);
  std::string line;
  while (std::getline(log, line)) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::istringstream s(line);
    if (Json::parseFromStream(b, s, &v, &errs)) entries.push_back(v);
  }
  return entries;
}

class FoliumE2ETest : public paperlens_test::ServedSuite<kPort> {
 protected:

  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << server_->Error();
    testsupport::MakeDir(kDir, 02775, 0, kUsersGid);
    ASSERT_TRUE(alice_.Login("alice", "alice123")["success"].asBool());
    ASSERT_TRUE(bob_.Login("bob", "bob123")["success"].asBool());
    ASSERT_TRUE(admin_.Login("admin", "admin123")["success"].asBool());
  }
  void TearDown() override {
    testsupport::RemoveAll(kDir);
    testsupport::RemoveAll("/volume1/public/folium");
    VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", "no");
    VLIBCFileSetKeyValue("/etc/vireoinfo.conf", "enable_data_collect", "no");
  }

  // A private PDF of alice's (mode 0600) of `pages` pages.
  void AlicePdf(const std::string& path, int pages = 1) {
    ASSERT_TRUE(testsupport::MakeDocument("pdf", path, pages, false, kAliceUid, kUsersGid, 0600));
  }

  WebClient alice_{kPort};
  WebClient bob_{kPort};
  WebClient admin_{kPort};
};

TEST_F(FoliumE2ETest, TheOwnerGetsDownloadsAndPrintsAPdf) {
  AlicePdf(kDir + "/plan.pdf", 2);
  const std::string bytes = testsupport::ReadFile(kDir + "/plan.pdf");

  HttpResponse get = alice_.Raw(kApi, 1, "get", Path("/docs/folium/plan.pdf"));
  EXPECT_EQ(200, get.status);
  EXPECT_EQ("application/pdf", get.Header("content-type"));
  EXPECT_EQ(bytes, get.body);

  EXPECT_EQ("all", alice_.Call(kApi, 1, "get_perm", Path("/docs/folium/plan.pdf"))["data"]["perm"]
                       .asString());

  HttpResponse download = alice_.Raw(kApi, 1, "download", Path("/docs/folium/plan.pdf"));
  EXPECT_EQ(200, download.status);
  EXPECT_EQ("attachment; filename=plan.pdf", download.Header("content-disposition"));
  EXPECT_EQ(bytes, download.body);  // exactly the file's bytes
  EXPECT_EQ(std::to_string(bytes.size()), download.Header("Content-Length"));

  HttpResponse print = alice_.Raw(kApi, 1, "print", Path("/docs/folium/plan.pdf"));
  EXPECT_EQ(200, print.status);
  EXPECT_EQ("application/pdf", print.Header("content-type"));
  EXPECT_EQ(2, PdfPagesOf(print.body));
  EXPECT_TRUE(PrintLeftovers(kDir + "/@eaDir/plan.pdf").empty());
}

TEST_F(FoliumE2ETest, AnotherUserGets105FromEveryMethod) {
  AlicePdf(kDir + "/private.pdf");
  testsupport::LogMark mark;
  for (const char* method : {"get", "get_perm", "download", "print"}) {
    Json::Value answer = bob_.Call(kApi, 1, method, Path("/docs/folium/private.pdf"));
    EXPECT_EQ(105, answer["error"]["code"].asInt()) << method << " " << answer;
  }
  // A file that is not there is no more readable than a forbidden one.
  EXPECT_EQ(105, alice_.Call(kApi, 1, "get", Path("/docs/folium/none.pdf"))["error"]["code"].asInt());
  EXPECT_TRUE(mark.HasLine({"VIREO.Folium:", "cannot get acl permission for alice:/volume1/docs/folium/none.pdf"}));
}

TEST_F(FoliumE2ETest, ParametersAndSharePathsAreChecked) {
  AlicePdf(kDir + "/a.pdf");
  for (const char* method : {"get", "get_perm", "download", "print"}) {
    Json::Value missing = alice_.Call(kApi, 1, method);
    EXPECT_EQ(120, missing["error"]["code"].asInt()) << method;
    EXPECT_EQ("path", missing["error"]["errors"]["name"].asString()) << method;
    EXPECT_EQ("required", missing["error"]["errors"]["reason"].asString()) << method;
    Json::Value number = alice_.Call(kApi, 1, method, Path(7));
    EXPECT_EQ("type", number["error"]["errors"]["reason"].asString()) << method << number;
  }
  testsupport::LogMark mark;
  Json::Value relative = alice_.Call(kApi, 1, "get", Path("docs/folium/a.pdf"));
  EXPECT_EQ(101, relative["error"]["code"].asInt());
  EXPECT_EQ("Parse Param Error: ", relative["error"]["errors"].asString());
  EXPECT_TRUE(mark.HasLine({"VIREO.Folium:", "(VIREO.Folium:", "bad share path: docs/folium/a.pdf"}));
  // Only a share name: nothing to resolve, and no crash either.
  for (const char* method : {"get", "get_perm", "download", "print"}) {
    EXPECT_EQ(101, alice_.Call(kApi, 1, method, Path("/docs"))["error"]["code"].asInt()) << method;
  }
  EXPECT_EQ(0, mark.Count("Fatal Error"));
  EXPECT_EQ(101, alice_.Call(kApi, 1, "get", Path("/nosuch/a.pdf"))["error"]["code"].asInt());
  EXPECT_TRUE(mark.HasLine({"cannot get share path /nosuch/a.pdf"}));
  EXPECT_EQ(101, alice_.Call(kApi, 1, "get", Path(""))["error"]["code"].asInt());
}

TEST_F(FoliumE2ETest, ASharesDownloadSettingHoldsForUsersButNotAdministrators) {
  testsupport::MakeDir("/volume1/public/folium", 02775, 0, kUsersGid);
  ASSERT_TRUE(testsupport::MakeDocument("pdf", "/volume1/public/folium/v.pdf", 1, false, kAliceUid,
                                        kUsersGid, 0644));
  const Json::Value p = Path("/public/folium/v.pdf");
  EXPECT_EQ("disable_download", alice_.Call(kApi, 1, "get_perm", p)["data"]["perm"].asString());
  EXPECT_EQ(105, alice_.Call(kApi, 1, "download", p)["error"]["code"].asInt());
  EXPECT_EQ(105, alice_.Call(kApi, 1, "print", p)["error"]["code"].asInt());
  HttpResponse get = alice_.Raw(kApi, 1, "get", p);
  EXPECT_EQ("application/pdf", get.Header("content-type"));
  EXPECT_EQ(1, PdfPagesOf(get.body));
  EXPECT_EQ("all", admin_.Call(kApi, 1, "get_perm", p)["data"]["perm"].asString());
  EXPECT_EQ(200, admin_.Raw(kApi, 1, "download", p).status);
}

TEST_F(FoliumE2ETest, TheHomeShareIsTheCallersOwnHomeAndAlwaysDownloads) {
  AlicePdf("/volume1/homes/alice/mine.pdf");
  EXPECT_EQ("all", alice_.Call(kApi, 1, "get_perm", Path("/home/mine.pdf"))["data"]["perm"].asString());
  HttpResponse download = alice_.Raw(kApi, 1, "download", Path("/home/mine.pdf"));
  EXPECT_EQ(testsupport::ReadFile("/volume1/homes/alice/mine.pdf"), download.body);
  // Bob's home holds no such file.
  EXPECT_EQ(105, bob_.Call(kApi, 1, "get", Path("/home/mine.pdf"))["error"]["code"].asInt());
  unlink("/volume1/homes/alice/mine.pdf");
}

TEST_F(FoliumE2ETest, DownloadNamesNeverBreakTheHeader) {
  struct Case {
    std::string name;
    std::string disposition;
  } cases[] = {
      {"a b.pdf", "attachment; filename=a b.pdf"},
      {"q\"uote.pdf", "attachment; filename=\"q_uote.pdf\"; filename*=UTF-8''q%22uote.pdf"},
      {"semi;colon.pdf", "attachment; filename=\"semi;colon.pdf\"; filename*=UTF-8''semi%3Bcolon.pdf"},
      {"gr\xc3\xbc\xc3\x9f.pdf", "attachment; filename=\"gr____.pdf\"; filename*=UTF-8''gr%C3%BC%C3%9F.pdf"},
      {"evil\r\nX-Injected: 1.pdf",
       "attachment; filename=\"evil__X-Injected: 1.pdf\"; filename*=UTF-8''evil%0D%0AX-Injected%3A%201.pdf"},
  };
  testsupport::MakeDir(kDir + "/Reports", 02775, 0, kUsersGid);
  for (const Case& c : cases) {
    const std::string path = kDir + "/Reports/" + c.name;
    testsupport::WriteFile(path, "%PDF-1.4 not really\n", 0600, kAliceUid, kUsersGid);
    HttpResponse r = alice_.Raw(kApi, 1, "download", Path("/docs/folium/Reports/" + c.name));
    EXPECT_EQ(200, r.status) << c.name;
    EXPECT_EQ(c.disposition, r.Header("content-disposition")) << c.name;
    EXPECT_EQ("", r.Header("x-injected")) << c.name;
    EXPECT_EQ("%PDF-1.4 not really\n", r.body) << c.name;
  }
}

TEST_F(FoliumE2ETest, WhatIsNoRegularFileCannotBeOpened) {
  testsupport::MakeDir(kDir + "/folder.pdf", 0755, kAliceUid, kUsersGid);
  ASSERT_EQ(0, testsupport::Shell("mkfifo -m 0644 " + kDir + "/pipe.pdf && chown alice " + kDir + "/pipe.pdf"));
  testsupport::LogMark mark;
  for (const char* name : {"folder.pdf", "pipe.pdf"}) {
    const Json::Value p = Path(std::string("/docs/folium/") + name);
    EXPECT_EQ(117, alice_.Call(kApi, 1, "get", p)["error"]["code"].asInt()) << name;
    EXPECT_EQ(117, alice_.Call(kApi, 1, "download", p)["error"]["code"].asInt()) << name;
    HttpResponse print = alice_.Raw(kApi, 1, "print", p);
    EXPECT_EQ(kClosingPage, print.body) << name;
  }
  EXPECT_TRUE(mark.HasLine({"Failed to open /volume1/docs/folium/folder.pdf"}));
}

TEST_F(FoliumE2ETest, GetOfANonPdfStreamsItAndSaysSo) {
  testsupport::WriteFile(kDir + "/notes.txt", "plain text", 0600, kAliceUid, kUsersGid);
  testsupport::LogMark mark;
  HttpResponse r = alice_.Raw(kApi, 1, "get", Path("/docs/folium/notes.txt"));
  EXPECT_EQ("application/pdf", r.Header("content-type"));
  EXPECT_EQ("plain text", r.body);
  EXPECT_TRUE(mark.HasLine({"not PDF file: /docs/folium/notes.txt"}));
}

TEST_F(FoliumE2ETest, PrintUsesTheConvertedPdfOrClosesTheWindow) {
  ASSERT_TRUE(testsupport::MakeDocument("docx", kDir + "/report.docx", 3, false, kAliceUid,
                                        kUsersGid, 0600));
  // Not converted yet: the closing page, nothing left behind.
  HttpResponse none = alice_.Raw(kApi, 1, "print", Path("/docs/folium/report.docx"));
  EXPECT_EQ("text/html", none.Header("content-type"));
  EXPECT_EQ(kClosingPage, none.body);
  EXPECT_TRUE(PrintLeftovers(kDir + "/@eaDir/report.docx").empty());

  // Converted through the document viewer, then printed from its cache.
  Json::Value start = alice_.Call("VIREO.Paperlens.Convert", 1, "poll_start", Path("/docs/folium/report.docx"));
  ASSERT_TRUE(start["data"]["task_id"].isString()) << start;
  Json::Value params(Json::objectValue);
  params["task_id"] = start["data"]["task_id"];
  bool done = false;
  for (int i = 0; i < 600 && !done; ++i) {
    Json::Value s = alice_.Call("VIREO.Paperlens.Convert", 1, "poll_status", params);
    ASSERT_TRUE(s["success"].asBool()) << s;
    done = s["data"]["finish"].asBool();
    if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  ASSERT_TRUE(done);
  HttpResponse print = alice_.Raw(kApi, 1, "print", Path("/docs/folium/report.docx"));
  EXPECT_EQ("application/pdf", print.Header("content-type"));
  EXPECT_EQ(3, PdfPagesOf(print.body));
  EXPECT_TRUE(PrintLeftovers(kDir + "/@eaDir/report.docx").empty());
}

TEST_F(FoliumE2ETest, ABrokenPdfClosesThePrintWindowAndLeavesNothing) {
  testsupport::WriteFile(kDir + "/broken.pdf", "%PDF-1.4 this is no pdf", 0600, kAliceUid, kUsersGid);
  testsupport::LogMark mark;
  HttpResponse r = alice_.Raw(kApi, 1, "print", Path("/docs/folium/broken.pdf"));
  EXPECT_EQ(kClosingPage, r.body);
  EXPECT_TRUE(mark.HasLine({"Failed [0 != VLIBCExec("}));
  EXPECT_TRUE(PrintLeftovers(kDir + "/@eaDir/broken.pdf").empty());
}

TEST_F(FoliumE2ETest, APrintWhoseClientGoesAwayLeavesNothing) {
  // A PDF large enough that the answer cannot go out in one piece.
  ASSERT_EQ(0, testsupport::Shell(
                   "/usr/bin/python3 -c \"import pikepdf, os; p = pikepdf.new(); "
                   "[p.add_blank_page() for _ in range(3)]; "
                   "p.pages[0].Contents = p.make_stream(b'% ' + os.urandom(4000000).hex().encode()); "
                   "p.save('" + kDir + "/big.pdf', compress_streams=False)\" && chown alice " + kDir + "/big.pdf"));
  for (int round = 0; round < 3; ++round) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    std::string req = "GET /webapi/entry.cgi?api=VIREO.Folium&version=1&method=print&path=" +
                      paperlens_test::UrlEncode("\"/docs/folium/big.pdf\"") +
                      " HTTP/1.0\r\nCookie: id=" + alice_.Sid() + "\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(req.size()), write(s, req.data(), req.size()));
    // Read the first bytes of the answer, then go away.
    char buf[4096];
    ASSERT_GT(read(s, buf, sizeof(buf)), 0);
    close(s);
  }
  bool clean = false;
  for (int i = 0; i < 100 && !clean; ++i) {
    clean = PrintLeftovers(kDir + "/@eaDir/big.pdf").empty();
    if (!clean) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(clean);
}

TEST_F(FoliumE2ETest, PlantedLinksLeadNowhere) {
  // Alice may write the folder, so she can plant links in it.
  testsupport::MakeDir(kDir + "/mine", 0755, kAliceUid, kUsersGid);
  AlicePdf(kDir + "/doc.pdf");
  testsupport::WriteFile("/volume1/homes/bob/secret.pdf", "%PDF-1.4 bob's", 0600, testsupport::kBobUid, kUsersGid);
  ASSERT_EQ(0, testsupport::Shell("ln -s /volume1/homes/bob/secret.pdf " + kDir + "/out.pdf && ln -s /etc/shadow " +
                                  kDir + "/shadow.pdf && ln -s mine " + kDir + "/@eaDir"));
  for (const char* name : {"out.pdf", "shadow.pdf"}) {
    const Json::Value p = Path(std::string("/docs/folium/") + name);
    for (const char* method : {"get", "download", "print"}) {
      HttpResponse r = alice_.Raw(kApi, 1, method, p);
      EXPECT_EQ(std::string::npos, r.body.find("bob's")) << name << " " << method;
      EXPECT_EQ(std::string::npos, r.body.find("root:")) << name << " " << method;
    }
    EXPECT_EQ(105, alice_.Call(kApi, 1, "get", p)["error"]["code"].asInt()) << name;
  }
  // The EA folder is a link to a folder of hers: printing makes nothing through it.
  HttpResponse print = alice_.Raw(kApi, 1, "print", Path("/docs/folium/doc.pdf"));
  EXPECT_EQ(kClosingPage, print.body);
  EXPECT_EQ(0, testsupport::Shell("test -z \"$(ls -A " + kDir + "/mine)\""));
}

TEST_F(FoliumE2ETest, UsageCountersMoveExactlyWhenSwitchedOn) {
  AlicePdf(kDir + "/c.pdf");
  unlink(kUsageFile);
  const Json::Value p = Path("/docs/folium/c.pdf");
  // Off: nothing is counted.
  alice_.Raw(kApi, 1, "get", p);
  EXPECT_TRUE(Usage().isNull());

  ASSERT_EQ(0, VLIBCFileSetKeyValue("/etc/vireoinfo.conf", "enable_data_collect", "yes"));
  alice_.Raw(kApi, 1, "get", p);
  alice_.Raw(kApi, 1, "get", p);
  bob_.Raw(kApi, 1, "get", p);                             // refused: not counted
  alice_.Call(kApi, 1, "get_perm", p);                     // never counted
  alice_.Raw(kApi, 1, "download", p);
  bob_.Raw(kApi, 1, "download", p);                        // refused
  alice_.Raw(kApi, 1, "print", p);
  alice_.Raw(kApi, 1, "print", Path("/docs/folium/none.docx"));  // refused
  Json::Value usage = Usage();
  EXPECT_EQ(1, usage["collector_version"].asInt()) << usage;
  EXPECT_EQ(2, usage["view_count"].asInt()) << usage;
  EXPECT_EQ(1, usage["download_count"].asInt()) << usage;
  EXPECT_EQ(1, usage["print_count"].asInt()) << usage;

  // A failed print (no converted PDF) and a file that cannot be opened count nothing.
  ASSERT_TRUE(testsupport::MakeDocument("docx", kDir + "/n.docx", 1, false, kAliceUid, kUsersGid, 0600));
  alice_.Raw(kApi, 1, "print", Path("/docs/folium/n.docx"));
  testsupport::MakeDir(kDir + "/d.pdf", 0755, kAliceUid, kUsersGid);
  alice_.Raw(kApi, 1, "get", Path("/docs/folium/d.pdf"));
  EXPECT_EQ(usage, Usage());
}

TEST_F(FoliumE2ETest, ViewsAndDownloadsGoToTheTransferLog) {
  AlicePdf(kDir + "/logged.pdf");
  unlink(VIREO_XFERLOG_PATH);
  ASSERT_EQ(0, VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", "yes"));
  const Json::Value p = Path("/docs/folium/logged.pdf");
  alice_.Raw(kApi, 1, "get", p);
  alice_.Raw(kApi, 1, "download", p);
  alice_.Raw(kApi, 1, "print", p);  // printing is no transfer
  std::vector<Json::Value> entries = TransferLog();
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("View", entries[0]["type"].asString());
  EXPECT_EQ("Download", entries[1]["type"].asString());
  struct stat st;
  ASSERT_EQ(0, stat((kDir + "/logged.pdf").c_str(), &st));
  for (const Json::Value& e : entries) {
    EXPECT_EQ("alice", e["user"].asString());
    EXPECT_EQ("/docs/folium/logged.pdf", e["file"].asString());
    EXPECT_EQ(st.st_size, e["size"].asInt64());
  }
}

}  // namespace
