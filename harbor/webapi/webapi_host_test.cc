// The server's inner parts: parameter parsing, typed parameters, sessions, the login
// throttle, background tasks in-process, downloads, and plug-in descriptors.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "appliance_env.h"
#include "host.h"
#include "vireo/webapi.h"

namespace {

using namespace VIREO;
using namespace VIREO::webapi;

std::string TempDir() {
  char dir[] = "/tmp/webapi_host_XXXXXX";
  EXPECT_NE(nullptr, mkdtemp(dir));
  return dir;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::trunc);
  out << content;
}

Json::Value Parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
  return v;
}

// ---- Parameters ------------------------------------------------------------------------------

TEST(Params, ValuesThatLookLikeJsonAreJson) {
  struct Case {
    const char* text;
    const char* json;  // expected value as JSON; null pointer: refused
  } cases[] = {
      {"abc", "\"abc\""},          {"/docs/a b.pdf", "\"/docs/a b.pdf\""},
      {"12", "12"},                {"-3", "-3"},
      {"1.5e3", "1500.0"},         {"12abc", "\"12abc\""},
      {"007", "\"007\""},          {"true", "true"},
      {"null", "null"},            {"True", "\"True\""},
      {"\"12\"", "\"12\""},        {"[1,\"a\"]", "[1,\"a\"]"},
      {"{\"a\":{}}", "{\"a\":{}}"}, {"", "\"\""},
      {"[1,", nullptr},            {"{broken", nullptr},
      {"\"open", nullptr},         {"[1] x", nullptr},
      {"{\"a\":1,\"a\":2}", nullptr},
  };
  for (const Case& c : cases) {
    Json::Value v;
    std::string why;
    bool ok = ParamValue(c.text, v, why);
    ASSERT_EQ(c.json != nullptr, ok) << c.text;
    if (ok) {
      EXPECT_EQ(Parse(c.json), v) << c.text;
    }
  }
}

TEST(Params, UrlEncodingIsStrictAndNamesAreUnique) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"a=1&b=x+y&c=%2Fdocs%2F", true}, {"a=1&&b=2&", true}, {"flag", true},
      {"a=%", false},  {"a=%4", false}, {"a=%g1", false},  {"a=%00", false},
      {"a=1&a=2", false}, {"a=1&%61=2", false}, {"=1", false}, {"a=%5B", false},
  };
  for (const Case& c : cases) {
    Json::Value params(Json::objectValue);
    std::string why;
    EXPECT_EQ(c.ok, ParseUrlEncoded(c.text, params, why)) << c.text << " " << why;
  }
  Json::Value params(Json::objectValue);
  std::string why;
  ASSERT_TRUE(ParseUrlEncoded("a=1&b=x+y&c=%2Fdocs%2F&flag", params, why));
  EXPECT_EQ(Parse("{\"a\":1,\"b\":\"x y\",\"c\":\"/docs/\",\"flag\":\"\"}"), params);
  // A body may not repeat what the query string gave.
  EXPECT_FALSE(ParseJsonBody("{\"b\": 2}", params, why));
  EXPECT_FALSE(ParseJsonBody("[1]", params, why));
  EXPECT_TRUE(ParseJsonBody("{\"d\": [1]}", params, why));
}

TEST(Params, NestingPastTheReadersLimitIsRefusedNotThrown) {
  const std::string deep = std::string(300, '[') + std::string(300, ']');
  const std::string shallow = std::string(200, '[') + std::string(200, ']');
  Json::Value v;
  std::string why;
  EXPECT_FALSE(ParamValue(deep, v, why));
  EXPECT_NE(std::string::npos, why.find("bad JSON")) << why;
  EXPECT_TRUE(ParamValue(shallow, v, why)) << why;

  Json::Value params(Json::objectValue);
  EXPECT_FALSE(ParseUrlEncoded("a=1&b=" + deep, params, why));
  EXPECT_FALSE(ParseJsonBody("{\"b\": " + deep + "}", params, why));
  EXPECT_FALSE(ParseJsonBody(deep, params, why));
}

TEST(Params, TypedAccessAndValidators) {
  APIRequest r("VIREO.T", 1, "m",
               Parse("{\"s\":\"x\",\"i\":7,\"big\":4294967296,\"f\":1.5,\"b\":false,"
                     "\"o\":{},\"u\":[1,\"a\",null],\"nested\":[[1]],\"neg\":-1}"));
  EXPECT_EQ("x", r.GetAndCheckString("s", 0, nullptr).Get());
  EXPECT_TRUE(r.GetAndCheckString("i", 0, nullptr).IsInvalid());
  EXPECT_EQ(7, r.GetAndCheckInt("i", 0, nullptr).Get());
  EXPECT_TRUE(r.GetAndCheckInt("big", 0, nullptr).IsInvalid());
  EXPECT_TRUE(r.GetAndCheckInt("f", 0, nullptr).IsInvalid());
  EXPECT_FALSE(r.GetAndCheckBool("b", 0, nullptr).IsInvalid());
  EXPECT_TRUE(r.GetAndCheckObject("o", 0, nullptr).IsValid());
  EXPECT_TRUE(r.GetAndCheckUnitArray("u", 0, nullptr).IsValid());
  EXPECT_TRUE(r.GetAndCheckUnitArray("nested", 0, nullptr).IsInvalid());

  APIParameter<int> missing = r.GetAndCheckInt("id", API_PARAM_OPTIONAL, nullptr);
  EXPECT_FALSE(missing.IsSet());
  EXPECT_FALSE(missing.IsInvalid());
  missing.SetDefault(-1);
  EXPECT_EQ(-1, missing.Get());
  EXPECT_TRUE(r.GetAndCheckInt("id", API_PARAM_REQUIRED, nullptr).IsInvalid());

  APIParameter<int> refused = r.GetAndCheckInt("neg", 0, APIValidator::Greater(-1));
  EXPECT_TRUE(refused.IsSet());
  EXPECT_TRUE(refused.IsInvalid());
  EXPECT_TRUE(r.GetAndCheckString("s", 0, APIValidator::Belong(Parse("[\"x\",\"y\"]"))).IsValid());
  EXPECT_TRUE(r.GetAndCheckString("s", 0, APIValidator::Belong(Parse("[\"y\"]"))).IsInvalid());
  EXPECT_TRUE(r.GetAndCheckString("s", 0, APIValidator::Equal("x")).IsValid());
  EXPECT_FALSE(APIValidator::IsBelong(Json::Value(1), Parse("[\"1\", true]")));

  EXPECT_EQ(Parse("{\"success\":false,\"error\":{\"code\":100}}"), [] {
    APIResponse resp;
    resp.SetError(0);  // a zero code must not read as success
    return resp.GetAnswer();
  }());
}

// ---- Sessions and the throttle ---------------------------------------------------------------

TEST(Sessions, LiveExpiredAndForgedIds) {
  std::string dir = TempDir();
  SessionStore store(dir);
  std::string a, b;
  ASSERT_TRUE(store.Create("alice", a));
  ASSERT_TRUE(store.Create("admin", b));
  EXPECT_TRUE(SessionStore::IsWellFormed(a));
  EXPECT_NE(a, b);
  struct stat st;
  ASSERT_EQ(0, stat((dir + "/" + a).c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  SessionInfo info;
  ASSERT_EQ(0, store.Lookup(a, info));
  EXPECT_EQ("alice", info.user);
  EXPECT_EQ(1026u, info.uid);
  EXPECT_FALSE(info.admin);
  ASSERT_EQ(0, store.Lookup(b, info));
  EXPECT_TRUE(info.admin);

  for (const std::string& bad : {std::string(""), std::string("../x"), a.substr(1), a + "0"}) {
    EXPECT_EQ(WEBAPI_ERR_NO_SESSION, store.Lookup(bad, info)) << bad;
  }
  WriteFile(dir + "/" + std::string(32, 'e'), "{\"user\":\"ghost\",\"expires\":9999999999}");
  EXPECT_EQ(WEBAPI_ERR_NO_SESSION, store.Lookup(std::string(32, 'e'), info));

  store.Remove(a);
  EXPECT_EQ(WEBAPI_ERR_NO_SESSION, store.Lookup(a, info));

  SessionStore shortLived(dir, -1);
  std::string c;
  ASSERT_TRUE(shortLived.Create("bob", c));
  EXPECT_EQ(WEBAPI_ERR_SESSION_EXPIRED, shortLived.Lookup(c, info));
  EXPECT_NE(0, access((dir + "/" + c).c_str(), F_OK));
  // A new login sweeps expired sessions, and only those.
  std::string stale, fresh;
  ASSERT_TRUE(shortLived.Create("bob", stale));
  ASSERT_TRUE(store.Create("bob", fresh));
  EXPECT_NE(0, access((dir + "/" + stale).c_str(), F_OK));
  EXPECT_EQ(0, store.Lookup(b, info));
}

// Records a wrong password for the key: the attempt must have been let through.
void FailOnce(const LoginThrottle& t, const std::string& account, const std::string& ip) {
  ASSERT_EQ(0, t.BeginAttempt(account, ip)) << account << "|" << ip;
}

TEST(LoginThrottleTest, PausesAfterRepeatedFailuresPerAccountAndAddress) {
  std::string dir = TempDir();
  LoginThrottle t(dir + "/failures.json");
  for (int i = 0; i < LoginThrottle::kFreeFailures - 1; ++i) FailOnce(t, "Bob", "10.0.0.1");
  EXPECT_EQ(0, t.Pause("bob", "10.0.0.1"));
  FailOnce(t, "bob", "10.0.0.1");
  long pause = t.Pause("BOB", "10.0.0.1");
  EXPECT_GT(pause, LoginThrottle::kBasePauseSecs - 5);
  EXPECT_LE(pause, LoginThrottle::kBasePauseSecs);
  // While paused an attempt is refused, and a refused attempt does not lengthen the pause.
  EXPECT_EQ(pause, t.BeginAttempt("bob", "10.0.0.1"));
  EXPECT_EQ(pause, t.Pause("bob", "10.0.0.1"));
  EXPECT_EQ(0, t.Pause("bob", "10.0.0.2"));
  EXPECT_EQ(0, t.Pause("alice", "10.0.0.1"));
  t.RecordSuccess("bob", "10.0.0.1");
  EXPECT_EQ(0, t.Pause("bob", "10.0.0.1"));

  // The pause doubles with each failure after it ran out.
  WriteFile(dir + "/failures.json", "{\"carol|10.0.0.1\": {\"count\": 5, \"last\": " +
                                        std::to_string(time(nullptr) - 60) + "}}");
  FailOnce(t, "carol", "10.0.0.1");
  EXPECT_GT(t.Pause("carol", "10.0.0.1"), LoginThrottle::kBasePauseSecs);
}

TEST(LoginThrottleTest, ParallelAttemptsNeverGetMoreThanTheFreeFailuresThrough) {
  std::string dir = TempDir();
  const std::string path = dir + "/failures.json";
  constexpr int kProcesses = 24;
  int pipes[2];
  ASSERT_EQ(0, pipe(pipes));
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      char go;
      close(pipes[1]);
      // All start together once the parent closes the pipe.
      _exit(read(pipes[0], &go, 1) == 0 && LoginThrottle(path).BeginAttempt("dave", "10.0.0.9") == 0
                ? 0 : 1);
    }
    children.push_back(pid);
  }
  close(pipes[0]);
  close(pipes[1]);
  int through = 0;
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) ++through;
  }
  EXPECT_EQ(LoginThrottle::kFreeFailures, through);
}

TEST(LoginThrottleTest, RecordsStayBoundedOldestAndStaleOnesGo) {
  std::string dir = TempDir();
  const std::string path = dir + "/failures.json";
  const long now = static_cast<long>(time(nullptr));
  // A day-old record, and three live ones of increasing age.
  WriteFile(path, "{\"stale|1\": {\"count\": 1, \"last\": " + std::to_string(now - 90000) +
                      "}, \"old|1\": {\"count\": 1, \"last\": " + std::to_string(now - 300) +
                      "}, \"mid|1\": {\"count\": 2, \"last\": " + std::to_string(now - 200) +
                      "}, \"new|1\": {\"count\": 3, \"last\": " + std::to_string(now - 100) + "}}");
  LoginThrottle t(path, /*maxKeys=*/3);
  FailOnce(t, "next", "1");
  Json::Value all;
  ASSERT_TRUE(ReadJsonFile(path, all));
  EXPECT_EQ(3u, all.size()) << all;
  EXPECT_FALSE(all.isMember("stale|1"));
  EXPECT_FALSE(all.isMember("old|1"));
  EXPECT_EQ(2, all["mid|1"]["count"].asInt());
  EXPECT_EQ(1, all["next|1"]["count"].asInt());
  // A key already recorded is counted on, not pushed out by the cap.
  FailOnce(t, "mid", "1");
  ASSERT_TRUE(ReadJsonFile(path, all));
  EXPECT_EQ(3u, all.size()) << all;
  EXPECT_EQ(3, all["mid|1"]["count"].asInt());

  // A damaged file is started afresh rather than trusted or thrown over.
  WriteFile(path, "{\"x|1\": {\"count\": \"many\", \"last\": []}, \"y|1\": 7}");
  EXPECT_EQ(0, t.Pause("x", "1"));
  FailOnce(t, "x", "1");
  ASSERT_TRUE(ReadJsonFile(path, all));
  EXPECT_EQ(1u, all.size()) << all;
  EXPECT_EQ(1, all["x|1"]["count"].asInt());
}

TEST(Passwords, AccountDatabaseDecides) {
  std::string user;
  EXPECT_TRUE(CheckPassword("alice", "alice123", user));
  EXPECT_EQ("alice", user);
  EXPECT_FALSE(CheckPassword("alice", "alice1234", user));
  EXPECT_FALSE(CheckPassword("alice", "", user));
  EXPECT_FALSE(CheckPassword("", "", user));
  EXPECT_FALSE(CheckPassword("no-such-user", "alice123", user));
  EXPECT_FALSE(CheckPassword("root", "", user));  // no usable hash: refused, not waved through
  EXPECT_TRUE(user.empty());
}

// ---- Log lines -------------------------------------------------------------------------------

TEST(LogText, ControlBytesAndTheBackslashAreEscapedEverythingElseKept) {
  struct Case {
    std::string text, logged;
  } cases[] = {
      {"plain text: /docs/a b.pdf", "plain text: /docs/a b.pdf"},
      {"a\nb", "a\\x0ab"},
      {"\r\t\x1b[2J", "\\x0d\\x09\\x1b[2J"},
      {std::string("\x01\x1f\x7f\x20~", 5), "\\x01\\x1f\\x7f ~"},
      {"C:\\x0a", "C:\\x5cx0a"},  // a literal "\x0a" cannot pass for an escaped break
      {"caf\xc3\xa9 \xe6\x96\x87", "caf\xc3\xa9 \xe6\x96\x87"},  // UTF-8 as it is
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.logged, EscapeLogText(c.text)) << c.text;
}

TEST(LogText, OneLinePerCallWhateverTheTextHolds) {
  testsupport::LogMark log;
  errno = ENOENT;
  HARBOR_LOG("probe-1 account %s: %m", "eve\n2026-01-01T00:00:00 user.err webapi: forged-1");
  EXPECT_EQ(ENOENT, errno);
  std::string line = log.Line("probe-1");
  EXPECT_NE(std::string::npos, line.find("webapi_host_test.cc:")) << line;
  EXPECT_NE(std::string::npos,
            line.find(") probe-1 account eve\\x0a2026-01-01T00:00:00 user.err webapi: forged-1: "
                      "No such file or directory")) << line;
  // The forged part stayed inside the one line: no second line holds it.
  EXPECT_EQ(1, log.Count("forged-1")) << log.Text();

  // A huge value is cut, said so, and still arrives as one line.
  HARBOR_LOG("probe-2 %s", std::string(1 << 20, 'x').c_str());
  std::string cut = log.Line("probe-2");
  ASSERT_NE("", cut) << "a megabyte-long text was lost";
  EXPECT_NE(std::string::npos, cut.find("... (" + std::to_string((1 << 20) + 8 - kMaxLogText) +
                                        " more bytes)")) << cut.substr(cut.size() - 80);
  EXPECT_LT(cut.size(), kMaxLogText + 200);
}

// ---- Background tasks ------------------------------------------------------------------------

void Crash(APIRequest*, APIResponse*, void*) { _exit(3); }
void Sleepy(APIRequest*, APIResponse*, void*) { sleep(60); }
void Quick(APIRequest*, APIResponse* r, void* data) {
  r->SetSuccess(*static_cast<int*>(data));
}

std::string StartTask(APIPolling& p, APIPolling::TaskFunc fn, void* data) {
  APIResponse r;
  EXPECT_TRUE(p.Start(&r, fn, data)) << p.GetError();
  return r.GetData()["task_id"].asString();
}

Json::Value WaitDone(APIPolling& p, const std::string& id) {
  Json::Value s;
  for (int i = 0; i < 300; ++i) {
    if (!p.Status(id, s) || s["finish"].asBool()) break;
    usleep(10000);
  }
  return s;
}

TEST(Polling, CrashedTasksFinishWithAnErrorAndStoppedOnesEnd) {
  std::string dir = TempDir();
  APIRequest req;
  req.SetLoginUser("alice", 1026, false);
  APIPolling p(&req, dir);
  p.SetPrefixAttr("../Odd prefix!");
  std::string crashed = StartTask(p, Crash, nullptr);
  EXPECT_EQ(0u, crashed.find("Oddprefix_"));
  Json::Value s = WaitDone(p, crashed);
  EXPECT_TRUE(s["finish"].asBool()) << s;
  EXPECT_EQ(WEBAPI_ERR_UNKNOWN, s["error"]["code"].asInt()) << s;

  int value = 41;
  std::string quick = StartTask(p, Quick, &value);
  value = 0;
  EXPECT_EQ(41, WaitDone(p, quick)["data"].asInt());

  std::string sleepy = StartTask(p, Sleepy, nullptr);
  ASSERT_TRUE(p.Status(sleepy, s));
  EXPECT_FALSE(s["finish"].asBool());
  ASSERT_TRUE(p.Stop(sleepy, /*remove=*/false));
  ASSERT_TRUE(p.Status(sleepy, s));
  EXPECT_TRUE(s["finish"].asBool());
  EXPECT_EQ("the task was stopped", s["error"]["errors"].asString());
  ASSERT_TRUE(p.Stop(sleepy, /*remove=*/true));
  EXPECT_FALSE(p.Status(sleepy, s));
  EXPECT_EQ(WEBAPI_ERR_TASK_UNKNOWN, p.GetErrorCode());

  for (const char* bad : {"", "../../etc/passwd", ".hidden", "a/b"}) {
    EXPECT_FALSE(p.Status(bad, s)) << bad;
    EXPECT_FALSE(p.Stop(bad, true)) << bad;
  }

  // The remove attribute discards a task once its end has been reported.
  p.SetRemoveAttr(true);
  std::string once = StartTask(p, Quick, &value);
  EXPECT_TRUE(WaitDone(p, once)["finish"].asBool());
  EXPECT_FALSE(p.Status(once, s));

  APIRequest visitor;  // nobody logged in
  APIPolling other(&visitor, dir);
  p.SetRemoveAttr(false);
  std::string mine = StartTask(p, Quick, &value);
  EXPECT_FALSE(other.Status(mine, s));
  EXPECT_EQ(WEBAPI_ERR_PERMISSION, other.GetErrorCode());
}

// ---- Downloads -------------------------------------------------------------------------------

std::string Download(const std::string& path, bool xSendFile) {
  FILE* out = tmpfile();
  std::string text;
  {
    APIResponse r(out);
    APIDownload d(&r);
    EXPECT_FALSE(d.SetHeader("X-Evil", "a\r\nSet-Cookie: id=x"));
    EXPECT_FALSE(d.SetHeader("Bad\nName", "v"));
    EXPECT_TRUE(d.SetHeader("content-type", "text/plain"));
    EXPECT_TRUE(d.SetHeader("Content-Type", "application/pdf"));
    if (!xSendFile) d.SetXSendFileDisabled();
    d.Output(path);
    EXPECT_FALSE(r.IsOutputEnabled());
  }
  rewind(out);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), out)) > 0) text.append(buf, n);
  fclose(out);
  return text;
}

TEST(Downloads, HeadersThenTheFileOrItsPath) {
  std::string dir = TempDir();
  WriteFile(dir + "/a.pdf", "%PDF-body");
  EXPECT_EQ("content-type: application/pdf\r\nX-Sendfile: " + dir + "/a.pdf\r\n\r\n",
            Download(dir + "/a.pdf", true));
  EXPECT_EQ("content-type: application/pdf\r\nContent-Length: 9\r\n\r\n%PDF-body",
            Download(dir + "/a.pdf", false));
  // A path that cannot travel in a header is streamed instead.
  WriteFile(dir + "/line\nbreak.pdf", "xy");
  EXPECT_EQ("content-type: application/pdf\r\nContent-Length: 2\r\n\r\nxy",
            Download(dir + "/line\nbreak.pdf", true));
  std::string missing = Download(dir + "/none.pdf", true);
  EXPECT_EQ(0u, missing.find("Status: 404")) << missing;
  EXPECT_NE(std::string::npos, missing.find("\"success\":false")) << missing;
}

// ---- Plug-in descriptors and tables ----------------------------------------------------------

TEST(Registry, FirstDescriptorNamingAnApiWins) {
  std::string a = TempDir(), b = TempDir();
  WriteFile(a + "/x.lib", "{\"VIREO.One\": {\"lib\": \"one.so\"}}");
  WriteFile(a + "/broken.lib", "{\"VIREO.Two\": ");
  WriteFile(b + "/y.lib", "{\"VIREO.One\": {\"lib\": \"/other/one.so\"}, \"VIREO.Two\": {\"lib\": \"/t/two.so\"},"
                          " \"VIREO.Three\": {\"no\": 1}}");
  Registry r({a, "/nonexistent", b});
  EXPECT_EQ(a + "/one.so", r.FindLibrary("VIREO.One"));
  EXPECT_EQ("/t/two.so", r.FindLibrary("VIREO.Two"));
  EXPECT_EQ("", r.FindLibrary("VIREO.Three"));
  EXPECT_EQ("", r.FindLibrary("VIREO.Four"));

  APIRequest req("VIREO.Four", 1, "get", Json::Value(Json::objectValue));
  APIResponse resp;
  r.Dispatch(req, resp);
  EXPECT_EQ(WEBAPI_ERR_NO_SUCH_API, resp.GetError());
  APIRequest req1("VIREO.One", 1, "get", Json::Value(Json::objectValue));
  APIResponse resp1;
  r.Dispatch(req1, resp1);
  EXPECT_EQ(WEBAPI_ERR_PLUGIN_BROKEN, resp1.GetError());
}

TEST(Tables, CheckRowsWithReservedWordsSetAreNotUsed) {
  static const char api[] = "VIREO.T";
  static const char method[] = "get";
  uint64_t rows[12] = {0};
  rows[0] = reinterpret_cast<uintptr_t>(api);
  rows[1] = 1;
  rows[2] = reinterpret_cast<uintptr_t>(method);
  rows[3] = 0x1234;
  rows[4] = 7;  // reserved, must be zero
  std::vector<MethodRow> read = ReadCheckTable(rows);
  ASSERT_EQ(1u, read.size());
  EXPECT_EQ("VIREO.T", read[0].api);
  EXPECT_EQ(nullptr, read[0].function);
  rows[4] = 0;
  EXPECT_EQ(reinterpret_cast<void*>(0x1234), ReadCheckTable(rows)[0].function);
}

}  // namespace
