// The web-API server over real HTTP: lighttpd in the appliance, entry.cgi per request, the
// login API, and a test plug-in that exercises the frame and the server's facilities.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "appliance_server.h"
#include "served_suite.h"
#include "http_client.h"
#include "appliance_env.h"

namespace {

using paperlens_test::HttpRequest;
using paperlens_test::HttpResponse;
using paperlens_test::WebClient;

constexpr int kPort = 18181;
constexpr char kApi[] = "VIREO.Test.Frame";

Json::Value Params(const char* json) {
  Json::Value v;
  EXPECT_TRUE(Json::Reader().parse(json, v)) << json;
  return v;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

int ErrorCode(const Json::Value& answer) { return answer["error"]["code"].asInt(); }

class WebAPIServer : public paperlens_test::ServedSuite<kPort> {
 protected:
  static void SetUpTestSuite() {
    mkdir("/usr/vireo/etc/webapi.d", 0755);
    WriteFile("/usr/vireo/etc/webapi.d/test-frame.lib",
              std::string("{\"VIREO.Test.Frame\": {\"lib\": \"") + TEST_PLUGIN_PATH +
                  "\"}, \"VIREO.Test.Doc\": {\"lib\": \"" + TEST_PLUGIN_PATH +
                  "\"}, \"VIREO.Test.Broken\": {\"lib\": \"broken.so\"}}");
    WriteFile("/usr/vireo/etc/webapi.d/broken.so", "not a shared object");
    ServedSuite::SetUpTestSuite();
  }

  // A client logged in as `user` (password user + "123").
  static WebClient As(const std::string& user) {
    WebClient c(kPort);
    Json::Value a = c.Login(user, user + "123");
    EXPECT_TRUE(a["success"].asBool()) << user << ": " << a;
    return c;
  }

};

// ---- Login and sessions --------------------------------------------------------------------

TEST_F(WebAPIServer, LoginSetsAStrictHttpOnlyCookieAndTheSessionActsAsItsUser) {
  HttpRequest r;
  r.method = "POST";
  r.target = "/webapi/entry.cgi";
  r.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  r.body = "api=VIREO.API.Auth&version=1&method=login&account=alice&passwd=alice123";
  HttpResponse login;
  ASSERT_TRUE(paperlens_test::HttpExchange(kPort, r, login));
  std::string sid = login.JsonBody()["data"]["sid"].asString();
  ASSERT_EQ(32u, sid.size()) << login.body;
  std::string cookie = login.Header("Set-Cookie");
  EXPECT_EQ(0u, cookie.find("id=" + sid + ";")) << cookie;
  EXPECT_NE(std::string::npos, cookie.find("HttpOnly")) << cookie;
  EXPECT_NE(std::string::npos, cookie.find("SameSite=Strict")) << cookie;

  WebClient alice(kPort);
  alice.SetSid(sid);
  WebClient bob = As("bob");
  WebClient admin = As("admin");
  Json::Value a = alice.Call(kApi, 1, "echo", Params("{\"text\": \"hi\"}"));
  Json::Value b = bob.Call(kApi, 1, "echo", Params("{\"text\": \"hi\"}"));
  Json::Value c = admin.Call(kApi, 1, "echo", Params("{\"text\": \"hi\"}"));
  EXPECT_EQ("alice", a["data"]["user"].asString()) << a;
  EXPECT_EQ(1026, a["data"]["uid"].asInt());
  EXPECT_FALSE(a["data"]["admin"].asBool());
  EXPECT_EQ("127.0.0.1", a["data"]["ip"].asString());
  EXPECT_EQ("bob", b["data"]["user"].asString()) << b;
  EXPECT_EQ("admin", c["data"]["user"].asString()) << c;
  EXPECT_TRUE(c["data"]["admin"].asBool());

  // The id also works as "_sid", and never reaches the plug-in's parameters.
  WebClient bySid(kPort);
  Json::Value p = Params("{\"text\": \"x\"}");
  p["_sid"] = sid;
  Json::Value d = bySid.Call(kApi, 1, "echo", p);
  EXPECT_EQ("alice", d["data"]["user"].asString()) << d;
  EXPECT_FALSE(d["data"]["params"].isMember("_sid"));

  EXPECT_TRUE(alice.Logout()["success"].asBool());
  alice.SetSid(sid);
  EXPECT_EQ(119, ErrorCode(alice.Call(kApi, 1, "echo", Params("{\"text\": \"hi\"}"))));
  EXPECT_EQ("bob", bob.Call(kApi, 1, "echo", Params("{\"text\": \"hi\"}"))["data"]["user"].asString());
}

TEST_F(WebAPIServer, WrongPasswordsAndMissingSessionsAreRefused) {
  WebClient c(kPort);
  Json::Value wrong = c.Login("alice", "bob123");
  Json::Value unknown = c.Login("no-such-user", "alice123");
  EXPECT_EQ(400, ErrorCode(wrong)) << wrong;
  // Neither answer tells which half was wrong.
  EXPECT_EQ(wrong["error"], unknown["error"]);
  EXPECT_TRUE(c.Sid().empty());
  EXPECT_EQ(120, ErrorCode(c.Call("VIREO.API.Auth", 1, "login", Params("{\"account\": \"alice\"}"))));

  EXPECT_EQ(119, ErrorCode(c.Call(kApi, 1, "echo", Params("{\"text\": \"hi\"}"))));
  for (const char* sid : {"0123456789abcdef0123456789abcdef", "../../etc/passwd", "x"}) {
    c.SetSid(sid);
    EXPECT_EQ(119, ErrorCode(c.Call(kApi, 1, "echo", Params("{\"text\": \"hi\"}")))) << sid;
  }
  // A session past its lifetime.
  std::string old = "00000000000000000000000000000001";
  WriteFile("/usr/vireo/var/sessions/" + old, "{\"user\":\"alice\",\"created\":1,\"expires\":2}");
  c.SetSid(old);
  EXPECT_EQ(106, ErrorCode(c.Call(kApi, 1, "echo", Params("{\"text\": \"hi\"}"))));
}

TEST_F(WebAPIServer, RepeatedFailuresBlockFurtherTriesForThatAccount) {
  WebClient c(kPort);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(400, ErrorCode(c.Login("bob", "guess" + std::to_string(i))));
  // Now even the right password waits, without being checked.
  Json::Value blocked = c.Login("bob", "bob123");
  EXPECT_EQ(407, ErrorCode(blocked)) << blocked;
  EXPECT_GT(blocked["error"]["errors"]["wait"].asInt(), 0);
  EXPECT_TRUE(c.Login("alice", "alice123")["success"].asBool());
  unlink("/usr/vireo/var/login-failures.json");  // let the other tests log bob in
  EXPECT_TRUE(c.Login("bob", "bob123")["success"].asBool());
}

// ---- Dispatch and the frame ----------------------------------------------------------------

TEST_F(WebAPIServer, RowsAreChosenByApiMethodAndVersion) {
  WebClient c = As("alice");
  EXPECT_EQ(1, c.Call(kApi, 1, "which")["data"]["version"].asInt());
  EXPECT_EQ(2, c.Call(kApi, 2, "which")["data"]["version"].asInt());
  testsupport::LogMark log;
  EXPECT_EQ(102, ErrorCode(c.Call("VIREO.Test.Nowhere", 1, "get")));
  EXPECT_EQ(103, ErrorCode(c.Call(kApi, 1, "nothing")));
  EXPECT_EQ(104, ErrorCode(c.Call(kApi, 3, "which")));
  EXPECT_EQ(108, ErrorCode(c.Call(kApi, 1, "unchecked")));
  EXPECT_EQ(108, ErrorCode(c.Call("VIREO.Test.Broken", 1, "get")));
  EXPECT_NE("", log.Line("no plug-in serves VIREO.Test.Nowhere"));
  EXPECT_NE("", log.Line("unchecked has no check row"));
  EXPECT_NE("", log.Line("cannot load plug-in /usr/vireo/etc/webapi.d/broken.so"));

  Json::Value list = c.Call("VIREO.Test.Doc", 1, "list");
  EXPECT_EQ(1, list["data"]["items"][0].asInt()) << list;
  Json::Value refused = c.Call("VIREO.Test.Doc", 1, "refuse");
  EXPECT_EQ(400, ErrorCode(refused));
  EXPECT_EQ("cannot both empty", refused["error"]["errors"].asString());
}

TEST_F(WebAPIServer, CheckFunctionsAndRunAnswerWithCodesAndTexts) {
  WebClient c = As("alice");
  Json::Value missing = c.Call(kApi, 1, "echo");
  EXPECT_EQ(120, ErrorCode(missing));
  EXPECT_EQ(Params("{\"name\": \"text\", \"reason\": \"required\"}"), missing["error"]["errors"]);
  Json::Value typed = c.Call(kApi, 1, "echo", Params("{\"text\": 5}"));
  EXPECT_EQ(Params("{\"name\": \"text\", \"reason\": \"type\"}"), typed["error"]["errors"]);

  const char* texts[] = {"Parse Param Error: because", "Execute Error: because",
                         "Format Output Error: because"};
  for (int step = 0; step < 3; ++step) {
    Json::Value p(Json::objectValue);
    p["step"] = step;
    p["code"] = 1000 + step;
    Json::Value a = c.Post(kApi, 1, "fail", p);
    EXPECT_FALSE(a["success"].asBool());
    EXPECT_EQ(1000 + step, ErrorCode(a)) << a;
    EXPECT_EQ(texts[step], a["error"]["errors"].asString());
  }
}

TEST_F(WebAPIServer, HandlersMayWriteTheirOwnBody) {
  WebClient c = As("alice");
  HttpResponse r = c.Raw(kApi, 1, "stream");
  EXPECT_EQ(200, r.status);
  EXPECT_EQ("text/x-harbor-test", r.Header("Content-Type"));
  EXPECT_EQ("streamed body\n", r.body);
}

TEST_F(WebAPIServer, AHandlerFinishesWhatFollowsItsCompleteAnswer) {
  WebClient c = As("alice");
  const std::string marker = "/tmp/after-answer";
  unlink(marker.c_str());
  Json::Value p(Json::objectValue);
  p["text"] = marker;
  HttpResponse r = c.Raw(kApi, 1, "answer_then_work", p);
  EXPECT_EQ("ok\n", r.body);
  struct stat st;
  for (int i = 0; i < 60 && stat(marker.c_str(), &st) != 0; ++i) usleep(50000);
  EXPECT_EQ(0, stat(marker.c_str(), &st)) << "the server ended the handler after its answer";
}

TEST_F(WebAPIServer, AnEscapedExceptionIsLoggedAndNotASuccess) {
  WebClient c = As("alice");
  testsupport::LogMark log;
  Json::Value a = c.Call(kApi, 1, "throw");
  EXPECT_FALSE(a["success"].asBool()) << a;
  EXPECT_FALSE(a.isMember("data"));
  std::string line = log.Line("Fatal Error: test handler gave up");
  EXPECT_NE(std::string::npos, line.find("user.err")) << line;
}

TEST_F(WebAPIServer, NestedCallsRunAsTheGivenUser) {
  WebClient c = As("alice");
  Json::Value a = c.Call(kApi, 1, "nested", Params("{\"as\": \"bob\"}"));
  EXPECT_TRUE(a["data"]["success"].asBool()) << a;
  EXPECT_EQ("bob", a["data"]["data"]["user"].asString());
  EXPECT_EQ("nested", a["data"]["data"]["text"].asString());
  const Json::Value unknown = c.Call(kApi, 1, "nested", Params("{\"as\": \"no-such-user\"}"));
  EXPECT_FALSE(unknown["data"]["success"].asBool()) << unknown;
  EXPECT_EQ(105, unknown["data"]["error"]["code"].asInt()) << unknown;
}

// ---- Background tasks ----------------------------------------------------------------------

Json::Value WaitFinished(WebClient& c, const std::string& id) {
  Json::Value p(Json::objectValue);
  p["task_id"] = id;
  for (int i = 0; i < 200; ++i) {
    Json::Value s = c.Call(kApi, 1, "poll_status", p);
    if (!s["success"].asBool() || s["data"]["finish"].asBool()) return s;
    usleep(50000);
  }
  return Json::Value();
}

TEST_F(WebAPIServer, TasksRunDetachedAndReportTheirResult) {
  WebClient c = As("alice");
  Json::Value started = c.Call(kApi, 1, "poll_start", Params("{\"text\": \"abc\"}"));
  std::string id = started["data"]["task_id"].asString();
  ASSERT_EQ(0u, id.find("Test_")) << started;
  Json::Value done = WaitFinished(c, id);
  EXPECT_TRUE(done["data"]["finish"].asBool()) << done;
  EXPECT_TRUE(done["data"]["success"].asBool()) << done;
  // The task had its own copy of the handler's data, taken when it started.
  EXPECT_EQ("copied:abc", done["data"]["data"]["value"].asString()) << done;
  Json::Value p(Json::objectValue);
  p["task_id"] = id;
  EXPECT_TRUE(c.Call(kApi, 1, "poll_stop", p)["success"].asBool());
  EXPECT_EQ(117, ErrorCode(c.Call(kApi, 1, "poll_status", p)));

  Json::Value failing = c.Call(kApi, 1, "poll_start", Params("{\"text\": \"x\", \"fail\": true}"));
  Json::Value failed = WaitFinished(c, failing["data"]["task_id"].asString());
  EXPECT_FALSE(failed["data"]["success"].asBool()) << failed;
  EXPECT_EQ(1002, failed["data"]["error"]["code"].asInt());
  EXPECT_EQ("convertion failed", failed["data"]["error"]["errors"].asString());
}

TEST_F(WebAPIServer, ARunningTaskDoesNotHoldTheRequestAndStopEndsIt) {
  WebClient c = As("alice");
  // A request that waited for its minute-long task would run into the client's time limit.
  Json::Value started = c.Call(kApi, 1, "poll_start", Params("{\"text\": \"x\", \"seconds\": 60}"));
  std::string id = started["data"]["task_id"].asString();
  ASSERT_FALSE(id.empty()) << started;
  Json::Value p(Json::objectValue);
  p["task_id"] = id;
  Json::Value running = c.Call(kApi, 1, "poll_status", p);
  EXPECT_FALSE(running["data"]["finish"].asBool()) << running;

  Json::Value state;
  std::ifstream in("/run/vireo/polling/" + id + ".json");
  ASSERT_TRUE(Json::Reader().parse(in, state));
  pid_t pid = state["pid"].asInt();
  ASSERT_GT(pid, 1);
  EXPECT_EQ(0, kill(pid, 0));

  EXPECT_TRUE(c.Call(kApi, 1, "poll_stop", p)["success"].asBool());
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i, usleep(20000)) gone = kill(pid, 0) != 0;
  EXPECT_TRUE(gone);
  EXPECT_EQ(117, ErrorCode(c.Call(kApi, 1, "poll_status", p)));
}

TEST_F(WebAPIServer, OnlyTheStarterOrTheTasksGroupMayReadIt) {
  WebClient alice = As("alice");
  WebClient bob = As("bob");
  WebClient admin = As("admin");
  struct Case {
    const char* group;
    bool bobMay;
    bool adminMay;
  } cases[] = {{"", false, false}, {"administrators", false, true}, {"everyone", true, true}};
  for (const Case& k : cases) {
    Json::Value p = Params("{\"text\": \"x\"}");
    p["group"] = k.group;
    std::string id = alice.Call(kApi, 1, "poll_start", p)["data"]["task_id"].asString();
    Json::Value q(Json::objectValue);
    q["task_id"] = id;
    EXPECT_TRUE(WaitFinished(alice, id)["success"].asBool()) << k.group;
    Json::Value b = bob.Call(kApi, 1, "poll_status", q);
    Json::Value a = admin.Call(kApi, 1, "poll_status", q);
    EXPECT_EQ(k.bobMay, b["success"].asBool()) << k.group << b;
    EXPECT_EQ(k.adminMay, a["success"].asBool()) << k.group << a;
    if (!k.bobMay) {
      EXPECT_EQ("Execute Error: permission denied", b["error"]["errors"].asString());
      EXPECT_FALSE(bob.Call(kApi, 1, "poll_stop", q)["success"].asBool());
    }
    EXPECT_TRUE(alice.Call(kApi, 1, "poll_stop", q)["success"].asBool()) << k.group;
  }
}

// ---- Downloads -----------------------------------------------------------------------------

TEST_F(WebAPIServer, DownloadsByTheServerAndStreamedAlike) {
  const std::string content = std::string("%PDF-1.4\n") + std::string(200000, 'x') + "\n%%EOF\n";
  WriteFile("/volume1/docs/a b.pdf", content);
  WebClient c = As("alice");
  for (bool stream : {false, true}) {
    Json::Value p(Json::objectValue);
    p["path"] = "/volume1/docs/a b.pdf";
    p["stream"] = stream;
    HttpResponse r = c.Raw(kApi, 1, "download", p);
    EXPECT_EQ(200, r.status) << stream;
    EXPECT_EQ("application/pdf", r.Header("Content-Type")) << stream;
    EXPECT_EQ("attachment; filename=a b.pdf", r.Header("Content-Disposition")) << stream;
    EXPECT_EQ(std::to_string(content.size()), r.Header("Content-Length")) << stream;
    EXPECT_TRUE(r.body == content) << stream << " got " << r.body.size() << " bytes";
    EXPECT_EQ("", r.Header("X-Sendfile")) << "the server must consume the header";
  }
  // A name that would lead the server elsewhere ("self" is the server there) is never handed
  // over: the file the handler opened is sent by the request program.
  std::ifstream program("/usr/vireo/bin/entry.cgi", std::ios::binary);
  const std::string self((std::istreambuf_iterator<char>(program)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(self.empty());
  for (const char* name : {"/proc/self/exe", "//proc/./self/exe"}) {
    Json::Value p(Json::objectValue);
    p["path"] = name;
    HttpResponse r = c.Raw(kApi, 1, "download", p);
    EXPECT_TRUE(r.body == self) << name << ": " << r.body.size() << " bytes";
  }
  HttpResponse missing = c.Raw(kApi, 1, "download", Params("{\"path\": \"/volume1/docs/none.pdf\"}"));
  EXPECT_EQ(404, missing.status);
  EXPECT_FALSE(missing.JsonBody()["success"].asBool()) << missing.body;
}

// ---- Malformed requests --------------------------------------------------------------------

TEST_F(WebAPIServer, MalformedRequestsGetAnErrorAnswer) {
  WebClient c = As("alice");
  const std::string base = "/webapi/entry.cgi?api=VIREO.Test.Frame&version=1&method=echo";
  const char* targets[] = {
      "/webapi/entry.cgi?api=VIREO.Test.Frame&version=1&method=echo&text=a&text=b",
      "/webapi/entry.cgi?api=VIREO.Test.Frame&version=1&method=echo&text=%7Bbroken",
      "/webapi/entry.cgi?api=VIREO.Test.Frame&version=1&method=echo&text=%5B1%2C",
      "/webapi/entry.cgi?api=VIREO.Test.Frame&version=1&method=echo&text=%22open",
      "/webapi/entry.cgi?version=1&method=echo&text=x",
      "/webapi/entry.cgi?api=VIREO.Test.Frame&method=echo&text=x",
      "/webapi/entry.cgi?api=VIREO.Test.Frame&version=one&method=echo&text=x",
      "/webapi/entry.cgi?api=VIREO.Test.Frame&version=1&text=x",
      "/webapi/entry.cgi?=x&api=VIREO.Test.Frame&version=1&method=echo&text=x",
  };
  for (const char* t : targets) {
    HttpRequest r;
    r.target = t;
    HttpResponse a = c.Send(r);
    EXPECT_EQ(200, a.status) << t;
    EXPECT_EQ(101, ErrorCode(a.JsonBody())) << t << " -> " << a.body;
  }
  // The web server re-encodes stray "%" in URLs and refuses encoded control bytes itself;
  // either way the answer is no success.
  for (const char* t : {"/webapi/entry.cgi?api=VIREO.Test.Frame&version=1&method=echo&text=%zz%4",
                        "/webapi/entry.cgi?api=VIREO.Test.Frame&version=1&method=echo&text=a%00b"}) {
    HttpRequest r;
    r.target = t;
    HttpResponse a = c.Send(r);
    EXPECT_TRUE(a.status == 400 || ErrorCode(a.JsonBody()) == 101 ||
                a.JsonBody()["data"]["text"].asString() == "%zz%4")
        << t << " -> " << a.status << " " << a.body;
  }

  struct Body {
    const char* type;
    std::string body;
    int code;
  } bodies[] = {
      {"application/x-www-form-urlencoded", "text=one&text=two", 101},
      {"application/x-www-form-urlencoded", "text=%zz", 101},
      {"application/x-www-form-urlencoded", "text=%4", 101},
      {"application/x-www-form-urlencoded", "text=a%00b", 101},
      {"application/x-www-form-urlencoded", "api=VIREO.Test.Other", 101},  // also in the query
      {"multipart/form-data; boundary=x", "--x--", 101},
      {"application/json", "{\"text\": ", 101},
      {"application/json", "[1, 2]", 101},
      {"application/x-www-form-urlencoded", "text=" + std::string(2 << 20, 'a'), 113},
  };
  for (const Body& b : bodies) {
    HttpRequest r;
    r.method = "POST";
    r.target = base;
    r.headers.emplace_back("Content-Type", b.type);
    r.body = b.body;
    HttpResponse a = c.Send(r);
    EXPECT_EQ(b.code, ErrorCode(a.JsonBody())) << b.type << " " << b.body.substr(0, 40) << " -> " << a.body;
  }
  // A JSON body works when it is one object.
  HttpRequest ok;
  ok.method = "POST";
  ok.target = base;
  ok.headers.emplace_back("Content-Type", "application/json");
  ok.body = "{\"text\": \"from json\", \"n\": [1, 2]}";
  Json::Value a = c.Send(ok).JsonBody();
  EXPECT_EQ("from json", a["data"]["text"].asString()) << a;
  EXPECT_EQ(2, a["data"]["params"]["n"][1].asInt());

  // Bodies over the web server's own limit never reach the program; the server still answers.
  HttpRequest huge;
  huge.method = "POST";
  huge.target = base;
  huge.body = std::string(9 << 20, 'a');
  HttpResponse h = c.Send(huge);
  EXPECT_NE(200, h.status);
  EXPECT_EQ("x y", c.Call(kApi, 1, "echo", Params("{\"text\": \"x y\"}"))["data"]["text"].asString());
}

}  // namespace
