// Sharing links over real HTTP: VIREO.Folium.Sharing, the visitor's door /sharing/<hash>,
// visitor sessions that reach only the shared file, notifications and QR codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
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
using paperlens_test::HttpRequest;
using paperlens_test::HttpResponse;
using paperlens_test::WebClient;
using testsupport::kAliceUid;
using testsupport::kUsersGid;

constexpr int kPort = 18680;
const char kFolium[] = "VIREO.Folium";
const char kSharing[] = "VIREO.Folium.Sharing";
const std::string kDir = "/volume1/docs/shared";
const std::string kLinkPath = "/docs/shared/deck.pdf";

std::string LocalTime(time_t t) {
  char buf[64];
  struct tm tm;
  localtime_r(&t, &tm);
  strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string StateOf(const HttpResponse& page) {
  const std::string marker = "data-state=\"";
  size_t at = page.body.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  return page.body.substr(at, page.body.find('"', at) - at);
}

// A browser without an account on the appliance (or with one, through SetLogin): it keeps
// the cookies the door hands out.
class Visitor {
 public:
  explicit Visitor(int port) : _port(port) {}

  HttpResponse Door(const std::string& hash, const std::string& form = "") {
    HttpRequest r;
    r.target = "/sharing/" + hash;
    if (!form.empty()) {
      r.method = "POST";
      r.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
      r.body = form;
    }
    HttpResponse answer = Send(r);
    for (const auto& h : answer.headers) {
      if (h.first != "set-cookie") continue;
      std::string c = h.second.substr(0, h.second.find(';'));
      _cookies += (_cookies.empty() ? "" : "; ") + c;
    }
    return answer;
  }
  HttpResponse Raw(const std::string& api, const std::string& method, const std::string& hash,
                   const Json::Value& path) {
    Json::Value params(Json::objectValue);
    if (!path.isNull()) params["path"] = path;
    if (!hash.empty()) params["_sharing"] = hash;
    HttpRequest r;
    r.target = "/webapi/entry.cgi?api=" + api + "&version=1&method=" + method + "&" +
               paperlens_test::EncodeParams(params);
    return Send(r);
  }
  Json::Value Call(const std::string& api, const std::string& method, const std::string& hash,
                   const Json::Value& path) {
    return Raw(api, method, hash, path).JsonBody();
  }
  void SetLogin(const std::string& sid) { _login = sid; }
  const std::string& Cookies() const { return _cookies; }

 private:
  HttpResponse Send(HttpRequest r) {
    std::string cookies = _cookies;
    if (!_login.empty()) cookies += (cookies.empty() ? "" : "; ") + ("id=" + _login);
    if (!cookies.empty()) r.headers.emplace_back("Cookie", cookies);
    HttpResponse response;
    paperlens_test::HttpExchange(_port, r, response);
    return response;
  }

  const int _port;
  std::string _cookies;
  std::string _login;
};

std::string url(const std::string& id) {
  return "http://127.0.0.1:" + std::to_string(kPort) + "/sharing/" + id;
}

class SharingE2ETest : public paperlens_test::ServedSuite<kPort> {
 protected:

  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << server_->Error();
    testsupport::MakeDir(kDir, 02775, 0, kUsersGid);
    ASSERT_TRUE(testsupport::MakeDocument("pdf", kDir + "/deck.pdf", 2, false, kAliceUid,
                                          kUsersGid, 0600));
    ASSERT_TRUE(alice_.Login("alice", "alice123")["success"].asBool());
    ASSERT_TRUE(bob_.Login("bob", "bob123")["success"].asBool());
    ASSERT_TRUE(admin_.Login("admin", "admin123")["success"].asBool());
  }
  void TearDown() override { testsupport::RemoveAll(kDir); }

  static Json::Value App(const std::string& path = kLinkPath) {
    Json::Value app(Json::objectValue);
    app["path"] = path;
    app["name"] = "deck.pdf";
    return app;
  }
  // Creates a link of alice's; the answer's data (null on failure, with the failure recorded).
  Json::Value Create(Json::Value params, WebClient* as = nullptr) {
    if (!params.isMember("project_name")) params["project_name"] = "Folium";
    if (!params.isMember("app")) params["app"] = App();
    Json::Value answer = (as != nullptr ? *as : alice_).Post(kSharing, 1, "set", params);
    EXPECT_TRUE(answer["success"].asBool()) << answer;
    return answer["data"];
  }
  Json::Value Links(WebClient& client) {
    return client.Call(kSharing, 1, "list")["data"]["links"];
  }
  Json::Value LinkById(const std::string& id) {
    for (const Json::Value& l : Links(alice_)) {
      if (l["id"].asString() == id) return l;
    }
    return Json::Value();
  }

  WebClient alice_{kPort};
  WebClient bob_{kPort};
  WebClient admin_{kPort};
};

TEST_F(SharingE2ETest, APasswordLinkAdmitsOnlyWithThePasswordAndOnlyToItsFile) {
  Json::Value params(Json::objectValue);
  params["protect_type"] = "password";
  params["protect_password"] = "open sesame";
  Json::Value link = Create(params);
  const std::string id = link["sharing_id"].asString();
  ASSERT_EQ(22u, id.size()) << link;
  const std::string url = link["url"].asString();
  EXPECT_EQ("http://127.0.0.1:" + std::to_string(kPort) + "/sharing/" + id, url);

  // The QR code is a PNG that reads back as the URL.
  const std::string qr = link["qrcode"].asString();
  const std::string prefix = "data:image/png;base64,";
  ASSERT_EQ(0u, qr.find(prefix)) << qr.substr(0, 40);
  testsupport::WriteFile("/tmp/qr.b64", qr.substr(prefix.size()));
  ASSERT_EQ(0, testsupport::Shell("base64 -d /tmp/qr.b64 > /tmp/qr.png && zbarimg -q --raw /tmp/qr.png > /tmp/qr.txt"));
  EXPECT_TRUE(testsupport::IsPng("/tmp/qr.png"));
  EXPECT_EQ(url + "\n", testsupport::ReadFile("/tmp/qr.txt"));

  // The password is kept only as a salted slow hash.
  ASSERT_EQ(0, testsupport::Shell("sqlite3 /usr/vireo/var/sharing.db \"select protect_password from entry where hash='" +
                                  id + "'\" > /tmp/pw.txt"));
  const std::string stored = testsupport::ReadFile("/tmp/pw.txt");
  EXPECT_EQ(0u, stored.find("$y$")) << stored;
  EXPECT_EQ(std::string::npos, stored.find("open sesame"));

  Visitor v(kPort);
  EXPECT_EQ("password", StateOf(v.Door(id)));
  EXPECT_EQ(119, v.Call(kFolium, "get", id, kLinkPath)["error"]["code"].asInt());
  HttpResponse wrong = v.Door(id, "password=guess");
  EXPECT_EQ(403, wrong.status);
  EXPECT_NE(std::string::npos, wrong.body.find("Wrong password."));
  EXPECT_EQ(119, v.Call(kFolium, "get", id, kLinkPath)["error"]["code"].asInt());

  HttpResponse in = v.Door(id, "password=open+sesame");
  EXPECT_EQ(200, in.status);
  EXPECT_EQ("view", StateOf(in));
  HttpResponse pdf = v.Raw(kFolium, "get", id, kLinkPath);
  EXPECT_EQ("application/pdf", pdf.Header("content-type"));
  EXPECT_EQ(testsupport::ReadFile(kDir + "/deck.pdf"), pdf.body);
  EXPECT_EQ("all", v.Call(kFolium, "get_perm", id, kLinkPath)["data"]["perm"].asString());

  // Nothing else through that session: no other file of the owner's, no other API.
  testsupport::WriteFile(kDir + "/other.pdf", "%PDF-1.4 secret", 0600, kAliceUid, kUsersGid);
  for (const char* method : {"get", "get_perm", "download", "print"}) {
    EXPECT_EQ(105, v.Call(kFolium, method, id, "/docs/shared/other.pdf")["error"]["code"].asInt()) << method;
    EXPECT_EQ(105, v.Call(kFolium, method, id, "/docs/shared/./deck.pdf")["error"]["code"].asInt()) << method;
  }
  EXPECT_EQ(105, v.Call("VIREO.Paperlens.Convert", "get", id, kLinkPath)["error"]["code"].asInt());
  EXPECT_EQ(105, v.Call("VIREO.Filehall.List", "list_share", id, Json::Value())["error"]["code"].asInt());
  EXPECT_EQ(105, v.Call(kSharing, "list", id, Json::Value())["error"]["code"].asInt());
  // Without naming the link the visitor is nobody.
  EXPECT_EQ(119, v.Call(kFolium, "get", "", kLinkPath)["error"]["code"].asInt());
  // Another link's name does not fit this link's session.
  Json::Value other = Create(Json::Value(Json::objectValue));
  EXPECT_EQ(119, v.Call(kFolium, "get", other["sharing_id"].asString(), kLinkPath)["error"]["code"].asInt());

  // One session, one use, however many requests it made.
  EXPECT_EQ(1, LinkById(id)["use_count"].asInt());
  EXPECT_EQ("view", StateOf(v.Door(id)));
  EXPECT_EQ(1, LinkById(id)["use_count"].asInt());
  EXPECT_EQ("password", LinkById(id)["protect_type"].asString());
  EXPECT_FALSE(LinkById(id).isMember("protect_password"));
}

TEST_F(SharingE2ETest, PasswordGuessesAreThrottledPerLinkOnly) {
  Json::Value params(Json::objectValue);
  params["protect_type"] = "password";
  params["protect_password"] = "right";
  const std::string id = Create(params)["sharing_id"].asString();
  const std::string other = Create(params)["sharing_id"].asString();
  Visitor v(kPort);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(403, v.Door(id, "password=wrong").status) << i;
  // Now even the right password waits, and says for how long.
  HttpResponse held = v.Door(id, "password=right");
  EXPECT_EQ(429, held.status);
  EXPECT_NE("", held.Header("retry-after"));
  EXPECT_EQ(119, v.Call(kFolium, "get", id, kLinkPath)["error"]["code"].asInt());
  // The same visitor is not held back on another link.
  EXPECT_EQ("view", StateOf(v.Door(other, "password=right")));
  EXPECT_EQ(url(other), LinkById(other)["url"].asString());
}

TEST_F(SharingE2ETest, AHomeLinkIsTheOwnersHomeForEveryVisitor) {
  ASSERT_TRUE(testsupport::MakeDocument("pdf", "/volume1/homes/alice/home.pdf", 1, false, kAliceUid,
                                        kUsersGid, 0600));
  Json::Value params(Json::objectValue);
  params["app"] = App("/home/home.pdf");
  const std::string id = Create(params)["sharing_id"].asString();
  Visitor v(kPort);
  v.SetLogin(bob_.Sid());  // a visitor with an account of his own, and a home of his own
  ASSERT_EQ("view", StateOf(v.Door(id)));
  EXPECT_EQ(testsupport::ReadFile("/volume1/homes/alice/home.pdf"),
            v.Raw(kFolium, "get", id, "/home/home.pdf").body);
  unlink("/volume1/homes/alice/home.pdf");
}

TEST_F(SharingE2ETest, ForbidDownloadKeepsViewingOnly) {
  Json::Value params(Json::objectValue);
  Json::Value app = App();
  app["forbid_download"] = true;
  params["app"] = app;
  const std::string id = Create(params)["sharing_id"].asString();
  Visitor v(kPort);
  ASSERT_EQ("view", StateOf(v.Door(id)));
  EXPECT_EQ(105, v.Call(kFolium, "download", id, kLinkPath)["error"]["code"].asInt());
  EXPECT_EQ(105, v.Call(kFolium, "print", id, kLinkPath)["error"]["code"].asInt());
  EXPECT_EQ("disable_download", v.Call(kFolium, "get_perm", id, kLinkPath)["data"]["perm"].asString());
  EXPECT_EQ(testsupport::ReadFile(kDir + "/deck.pdf"), v.Raw(kFolium, "get", id, kLinkPath).body);
  // The owner herself may still download it.
  Json::Value p(Json::objectValue);
  p["path"] = kLinkPath;
  EXPECT_EQ("all", alice_.Call(kFolium, 1, "get_perm", p)["data"]["perm"].asString());
  EXPECT_EQ(testsupport::ReadFile(kDir + "/deck.pdf"), alice_.Raw(kFolium, 1, "download", p).body);
  // Without the flag a visitor downloads exactly the file's bytes.
  const std::string open = Create(Json::Value(Json::objectValue))["sharing_id"].asString();
  Visitor w(kPort);
  ASSERT_EQ("view", StateOf(w.Door(open)));
  HttpResponse d = w.Raw(kFolium, "download", open, kLinkPath);
  EXPECT_EQ("attachment; filename=deck.pdf", d.Header("content-disposition"));
  EXPECT_EQ(testsupport::ReadFile(kDir + "/deck.pdf"), d.body);
}

TEST_F(SharingE2ETest, UsesAndDatesLimitVisitors) {
  Json::Value twice(Json::objectValue);
  twice["expire_times"] = 2;
  const std::string id = Create(twice)["sharing_id"].asString();
  Visitor first(kPort), second(kPort), third(kPort);
  EXPECT_EQ("view", StateOf(first.Door(id)));
  EXPECT_EQ("view", StateOf(second.Door(id)));
  HttpResponse refused = third.Door(id);
  EXPECT_EQ("used_up", StateOf(refused));
  EXPECT_EQ(410, refused.status);
  EXPECT_EQ(119, third.Call(kFolium, "get", id, kLinkPath)["error"]["code"].asInt());
  // Those already in stay in.
  EXPECT_EQ("view", StateOf(first.Door(id)));
  EXPECT_EQ(200, first.Raw(kFolium, "get", id, kLinkPath).status);
  EXPECT_EQ(2, LinkById(id)["use_count"].asInt());
  EXPECT_EQ("used_up", LinkById(id)["status"].asString());

  Json::Value later(Json::objectValue);
  later["start_at"] = LocalTime(time(nullptr) + 86400);
  const std::string tomorrow = Create(later)["sharing_id"].asString();
  Visitor v(kPort);
  EXPECT_EQ("not_started", StateOf(v.Door(tomorrow)));
  EXPECT_EQ(119, v.Call(kFolium, "get", tomorrow, kLinkPath)["error"]["code"].asInt());

  Json::Value past(Json::objectValue);
  past["expire_at"] = LocalTime(time(nullptr) - 60);
  EXPECT_EQ("expired", StateOf(v.Door(Create(past)["sharing_id"].asString())));
  Json::Value off(Json::objectValue);
  off["enabled"] = false;
  EXPECT_EQ("disabled", StateOf(v.Door(Create(off)["sharing_id"].asString())));
  EXPECT_EQ("not_found", StateOf(v.Door("AAAAAAAAAAAAAAAAAAAAAA")));
  EXPECT_EQ("not_found", StateOf(v.Door("short")));
  EXPECT_EQ(404, v.Door("..%2F..%2Fetc").status);
}

TEST_F(SharingE2ETest, AUserProtectedLinkAdmitsOnlyInvitedUsers) {
  Json::Value params(Json::objectValue);
  params["protect_type"] = "user";
  Json::Value users(Json::arrayValue);
  users.append("bob");
  params["protect_users"] = users;
  const std::string id = Create(params)["sharing_id"].asString();

  Visitor anonymous(kPort);
  EXPECT_EQ("login", StateOf(anonymous.Door(id)));
  EXPECT_EQ("login", StateOf(anonymous.Door(id, "account=bob&passwd=wrong")));
  Visitor admin(kPort);
  EXPECT_EQ("not_invited", StateOf(admin.Door(id, "account=admin&passwd=admin123")));
  EXPECT_EQ(119, admin.Call(kFolium, "get", id, kLinkPath)["error"]["code"].asInt());

  Visitor bob(kPort);
  EXPECT_EQ("view", StateOf(bob.Door(id, "account=bob&passwd=bob123")));
  // Bob may not read alice's private file himself; through the link the owner stands in.
  EXPECT_EQ(testsupport::ReadFile(kDir + "/deck.pdf"), bob.Raw(kFolium, "get", id, kLinkPath).body);
  Json::Value p(Json::objectValue);
  p["path"] = kLinkPath;
  EXPECT_EQ(105, bob_.Call(kFolium, 1, "get", p)["error"]["code"].asInt());

  // A browser already logged in as bob is let in on that login.
  Visitor loggedIn(kPort);
  loggedIn.SetLogin(bob_.Sid());
  EXPECT_EQ("view", StateOf(loggedIn.Door(id)));
  Visitor adminLoggedIn(kPort);
  adminLoggedIn.SetLogin(admin_.Sid());
  EXPECT_EQ("not_invited", StateOf(adminLoggedIn.Door(id)));
}

TEST_F(SharingE2ETest, NewRecipientsAreNotifiedOnceEach) {
  const std::string group = testsupport::ReadFile("/etc/group");
  {
    std::ofstream out("/etc/group", std::ios::app);
    out << "trio:x:1300:alice,bob,admin\n";
  }
  Json::Value params(Json::objectValue);
  params["protect_type"] = "user";
  Json::Value groups(Json::arrayValue), users(Json::arrayValue);
  groups.append("trio");
  users.append("bob");
  params["protect_groups"] = groups;
  params["new_protect_groups"] = groups;
  params["new_protect_users"] = users;
  Json::Value app = App();
  app["name"] = "Q3 <deck> & notes";
  params["app"] = app;
  Json::Value link = Create(params);
  const std::string url = link["url"].asString();

  auto notificationsOf = [&](WebClient& c) {
    return c.Call("VIREO.Harbor.Notification", 1, "list")["data"]["notifications"];
  };
  for (WebClient* c : {&alice_, &bob_, &admin_}) {
    Json::Value list;
    for (int i = 0; i < 100; ++i) {
      list = notificationsOf(*c);
      if (list.size() > 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(1u, list.size()) << list;
    EXPECT_EQ("alice", list[0]["from"].asString());
    EXPECT_EQ("VIREO.UIX.Folium.Application", list[0]["app"].asString());
    EXPECT_EQ("filebrowser:sharing_link", list[0]["title"].asString());
    EXPECT_EQ("<br><a target='_blank' style='vertical-align:sub;' href=" + url +
                  ">Q3 &lt;deck&gt; &amp; notes</a>",
              list[0]["text"].asString());
  }
  // A change that names nobody new announces nothing.
  Json::Value update(Json::objectValue);
  update["sharing_id"] = link["sharing_id"];
  update["protect_title"] = "For the trio";
  Create(update);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(1u, notificationsOf(bob_).size());
  testsupport::WriteFile("/etc/group", group);
}

TEST_F(SharingE2ETest, VisitorsAreLoggedUnderTheOwnersName) {
  Json::Value params(Json::objectValue);
  params["protect_type"] = "user";
  Json::Value users(Json::arrayValue);
  users.append("bob");
  params["protect_users"] = users;
  const std::string invited = Create(params)["sharing_id"].asString();
  const std::string open = Create(Json::Value(Json::objectValue))["sharing_id"].asString();
  unlink(VIREO_XFERLOG_PATH);
  ASSERT_EQ(0, VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", "yes"));
  Visitor anonymous(kPort), bob(kPort);
  ASSERT_EQ("view", StateOf(anonymous.Door(open)));
  ASSERT_EQ("view", StateOf(bob.Door(invited, "account=bob&passwd=bob123")));
  anonymous.Raw(kFolium, "get", open, kLinkPath);
  bob.Raw(kFolium, "download", invited, kLinkPath);
  ASSERT_EQ(0, VLIBCFileSetKeyValue(VIREO_SETTINGS_PATH, "filebrowserxferlog", "no"));
  std::ifstream log(VIREO_XFERLOG_PATH);
  std::vector<Json::Value> entries;
  std::string line;
  while (std::getline(log, line)) {
    Json::Value v;
    Json::CharReaderBuilder b;
    std::string errs;
    std::istringstream text(line);
    ASSERT_TRUE(Json::parseFromStream(b, text, &v, &errs)) << line;
    entries.push_back(v);
  }
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("alice", entries[0]["user"].asString());
  EXPECT_EQ("View", entries[0]["type"].asString());
  EXPECT_EQ(" accessed through a sharing link: " + kLinkPath, entries[0]["file"].asString());
  EXPECT_EQ("alice", entries[1]["user"].asString());
  EXPECT_EQ("Download", entries[1]["type"].asString());
  EXPECT_EQ("bob accessed through a sharing link: " + kLinkPath, entries[1]["file"].asString());
}

TEST_F(SharingE2ETest, ChangingTheProtectionSendsVisitorsBackToTheDoor) {
  Json::Value params(Json::objectValue);
  params["protect_type"] = "password";
  params["protect_password"] = "one";
  const std::string id = Create(params)["sharing_id"].asString();
  Visitor v(kPort);
  ASSERT_EQ("view", StateOf(v.Door(id, "password=one")));

  Json::Value title(Json::objectValue);
  title["sharing_id"] = id;
  title["protect_title"] = "New title";
  Create(title);
  EXPECT_EQ(200, v.Raw(kFolium, "get", id, kLinkPath).status);  // not purged

  Json::Value password(Json::objectValue);
  password["sharing_id"] = id;
  password["protect_password"] = "two";
  Create(password);
  EXPECT_EQ(119, v.Call(kFolium, "get", id, kLinkPath)["error"]["code"].asInt());
  EXPECT_EQ("password", StateOf(v.Door(id)));
  EXPECT_EQ(403, v.Door(id, "password=one").status);
  EXPECT_EQ("view", StateOf(v.Door(id, "password=two")));
}

TEST_F(SharingE2ETest, TriggerGcRemovesDeadLinksAndKeepsTheRest) {
  testsupport::WriteFile(kDir + "/gone.pdf", "%PDF-1.4 x", 0600, kAliceUid, kUsersGid);
  Json::Value gone(Json::objectValue);
  gone["app"] = App("/docs/shared/gone.pdf");
  const std::string goneId = Create(gone)["sharing_id"].asString();
  Json::Value later(Json::objectValue);
  later["start_at"] = LocalTime(time(nullptr) + 86400);
  const std::string laterId = Create(later)["sharing_id"].asString();
  const std::string liveId = Create(Json::Value(Json::objectValue))["sharing_id"].asString();
  Json::Value past(Json::objectValue);
  past["expire_at"] = LocalTime(time(nullptr) - 60);
  const std::string pastId = Create(past)["sharing_id"].asString();
  Json::Value once(Json::objectValue);
  once["expire_times"] = 1;
  const std::string onceId = Create(once)["sharing_id"].asString();
  Visitor v(kPort);
  ASSERT_EQ("view", StateOf(v.Door(onceId)));
  Json::Value otherProject(Json::objectValue);
  otherProject["project_name"] = "Other";
  otherProject["app"] = App("/docs/shared/gone.pdf");
  const std::string otherId = Create(otherProject)["sharing_id"].asString();
  Json::Value bobs(Json::objectValue);
  bobs["app"] = App("/docs/shared/gone.pdf");
  const std::string bobId = Create(bobs, &bob_)["sharing_id"].asString();
  unlink((kDir + "/gone.pdf").c_str());

  Json::Value gc(Json::objectValue);
  gc["project_name"] = "Folium";
  Json::Value answer = alice_.Call(kSharing, 1, "trigger_gc", gc);
  ASSERT_TRUE(answer["success"].asBool()) << answer;
  std::set<std::string> left;
  for (const Json::Value& l : Links(alice_)) left.insert(l["id"].asString());
  EXPECT_EQ(0u, left.count(goneId));
  EXPECT_EQ(0u, left.count(pastId));
  EXPECT_EQ(0u, left.count(onceId));
  EXPECT_EQ(1u, left.count(laterId));
  EXPECT_EQ(1u, left.count(liveId));
  EXPECT_EQ(1u, left.count(otherId));  // another project
  EXPECT_EQ(1u, Links(bob_).size());   // another owner
  EXPECT_EQ(bobId, Links(bob_)[0]["id"].asString());
  EXPECT_EQ(119, v.Call(kFolium, "get", onceId, kLinkPath)["error"]["code"].asInt());
}

TEST_F(SharingE2ETest, EveryRefusalHasItsCodeAndText) {
  auto set = [&](Json::Value p, WebClient& c) { return c.Post(kSharing, 1, "set", p); };
  Json::Value p(Json::objectValue);
  Json::Value a = set(p, alice_);
  EXPECT_EQ(120, a["error"]["code"].asInt());
  EXPECT_EQ("project_name", a["error"]["errors"]["name"].asString());
  EXPECT_EQ("required", a["error"]["errors"]["reason"].asString());

  struct Case {
    std::string key;
    Json::Value value;
    std::string name, reason;
  } cases[] = {
      {"project_name", "", "project_name", "condition"},
      {"project_name", 3, "project_name", "type"},
      {"protect_type", "password", "protect_password", "condition"},
      {"protect_type", "bogus", "protect_type", "condition"},
      {"redirect_type", "sometimes", "redirect_type", "condition"},
      {"expire_times", -1, "expire_times", "condition"},
      {"expire_times", "2", "expire_times", "type"},
      {"enabled", "yes", "enabled", "type"},
      {"app", "x", "app", "type"},
      {"protect_users", "bob", "protect_users", "type"},
      {"sharing_id", 5, "sharing_id", "type"},
  };
  for (const Case& c : cases) {
    Json::Value q(Json::objectValue);
    q["project_name"] = "Folium";
    q[c.key] = c.value;
    Json::Value r = set(q, alice_);
    EXPECT_EQ(120, r["error"]["code"].asInt()) << c.key << r;
    EXPECT_EQ(c.name, r["error"]["errors"]["name"].asString()) << c.key << r;
    EXPECT_EQ(c.reason, r["error"]["errors"]["reason"].asString()) << c.key << r;
  }

  const size_t before = Links(alice_).size();
  Json::Value user(Json::objectValue);
  user["project_name"] = "Folium";
  user["protect_type"] = "user";
  user["app"] = App();
  Json::Value r = set(user, alice_);
  EXPECT_EQ(1009, r["error"]["code"].asInt()) << r;
  EXPECT_EQ("Execute Error: set entry fields fail", r["error"]["errors"].asString());
  Json::Value redirect(Json::objectValue);
  redirect["project_name"] = "Folium";
  redirect["redirect_type"] = "always";
  EXPECT_EQ(1011, set(redirect, alice_)["error"]["code"].asInt());
  Json::Value badDate(Json::objectValue);
  badDate["project_name"] = "Folium";
  badDate["start_at"] = "tomorrow";
  EXPECT_EQ(101, set(badDate, alice_)["error"]["code"].asInt());
  // Refused links were never stored.
  EXPECT_EQ(before, Links(alice_).size());

  Json::Value unknown(Json::objectValue);
  unknown["project_name"] = "Folium";
  unknown["sharing_id"] = "AAAAAAAAAAAAAAAAAAAAAA";
  r = set(unknown, alice_);
  EXPECT_EQ(1005, r["error"]["code"].asInt());
  EXPECT_EQ("Execute Error: invalid sharing id", r["error"]["errors"].asString());

  const std::string id = Create(Json::Value(Json::objectValue))["sharing_id"].asString();
  Json::Value theirs(Json::objectValue);
  theirs["project_name"] = "Folium";
  theirs["sharing_id"] = id;
  theirs["enabled"] = false;
  r = set(theirs, bob_);
  EXPECT_EQ(1007, r["error"]["code"].asInt());
  EXPECT_EQ("Execute Error: invalid owner", r["error"]["errors"].asString());
  EXPECT_TRUE(set(theirs, admin_)["success"].asBool());  // administrators may
  EXPECT_EQ("disabled", LinkById(id)["status"].asString());
  theirs["project_name"] = "Elsewhere";
  r = set(theirs, alice_);
  EXPECT_EQ(101, r["error"]["code"].asInt());
  EXPECT_EQ("Execute Error: invalid project name", r["error"]["errors"].asString());
  // Clearing the password of a password link leaves it unprotected: refused.
  Json::Value pw(Json::objectValue);
  pw["project_name"] = "Folium";
  pw["protect_type"] = "password";
  pw["protect_password"] = "x";
  pw["app"] = App();
  const std::string pwId = set(pw, alice_)["data"]["sharing_id"].asString();
  Json::Value clear(Json::objectValue);
  clear["project_name"] = "Folium";
  clear["sharing_id"] = pwId;
  clear["protect_password"] = "";
  r = set(clear, alice_);
  EXPECT_EQ(1010, r["error"]["code"].asInt()) << r;
  EXPECT_EQ("Execute Error: set entry fields fail", r["error"]["errors"].asString());
  EXPECT_TRUE(LinkById(pwId)["has_password"].asBool());
  // The update keeps what it does not name.
  Json::Value again(Json::objectValue);
  again["project_name"] = "Folium";
  again["sharing_id"] = id;
  again["enabled"] = true;
  ASSERT_TRUE(set(again, alice_)["success"].asBool());
  EXPECT_EQ(kLinkPath, LinkById(id)["path"].asString());

  // Users that are no names get past the check and are refused by the handler.
  testsupport::LogMark mark;
  Json::Value numbers(Json::objectValue);
  numbers["project_name"] = "Folium";
  Json::Value list(Json::arrayValue);
  list.append(1);
  numbers["protect_users"] = list;
  EXPECT_FALSE(set(numbers, alice_)["success"].asBool());
  EXPECT_TRUE(mark.HasLine({"Fatal Error: bad protect_users"}));

  Json::Value gc(Json::objectValue);
  r = alice_.Call(kSharing, 1, "trigger_gc", gc);
  EXPECT_EQ("required", r["error"]["errors"]["reason"].asString());
  gc["project_name"] = "";
  r = alice_.Call(kSharing, 1, "trigger_gc", gc);
  EXPECT_EQ(120, r["error"]["code"].asInt());
  EXPECT_EQ("condition", r["error"]["errors"]["reason"].asString());
  gc["project_name"] = 1;
  EXPECT_EQ("type", alice_.Call(kSharing, 1, "trigger_gc", gc)["error"]["errors"]["reason"].asString());

  // The file manager's refusal is the list's.
  Json::Value others(Json::objectValue);
  others["owner"] = "bob";
  EXPECT_EQ(105, alice_.Call(kSharing, 1, "list", others)["error"]["code"].asInt());
  EXPECT_TRUE(admin_.Call(kSharing, 1, "list", others)["success"].asBool());
}

TEST_F(SharingE2ETest, AnUnusableStoreIsReported) {
  ASSERT_EQ(0, testsupport::Shell("mv /usr/vireo/var/sharing.db /usr/vireo/var/sharing.db.away 2>/dev/null; "
                                  "mkdir /usr/vireo/var/sharing.db"));
  Json::Value p(Json::objectValue);
  p["project_name"] = "Folium";
  Json::Value r = alice_.Post(kSharing, 1, "set", p);
  EXPECT_EQ(117, r["error"]["code"].asInt()) << r;
  EXPECT_EQ("Execute Error: db open fail", r["error"]["errors"].asString());
  r = alice_.Call(kSharing, 1, "trigger_gc", p);
  EXPECT_EQ(117, r["error"]["code"].asInt()) << r;
  EXPECT_FALSE(alice_.Call(kSharing, 1, "list")["success"].asBool());
  ASSERT_EQ(0, testsupport::Shell("rmdir /usr/vireo/var/sharing.db && "
                                  "(mv /usr/vireo/var/sharing.db.away /usr/vireo/var/sharing.db 2>/dev/null; true)"));
}

}  // namespace
