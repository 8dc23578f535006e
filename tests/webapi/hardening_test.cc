// The web-API server against a hostile client, over real HTTP: bursts of parallel password
// guesses, oversized and endless account names, account names that try to forge log lines, and
// parameters or bodies nested past the JSON reader's limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "appliance_env.h"
#include "appliance_server.h"
#include "served_suite.h"
#include "host.h"
#include "http_client.h"

namespace {

using paperlens_test::HttpRequest;
using paperlens_test::HttpResponse;
using paperlens_test::WebClient;
using VIREO::webapi::LoginThrottle;

constexpr int kPort = 18183;
constexpr char kRecords[] = "/usr/vireo/var/login-failures.json";

int ErrorCode(const Json::Value& answer) { return answer["error"]["code"].asInt(); }

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

Json::Value Records() {
  Json::Value all;
  std::ifstream in(kRecords);
  Json::Reader().parse(in, all);
  return all;
}

class Hardening : public paperlens_test::ServedSuite<kPort> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << server_->Error();
    unlink(kRecords);
  }

  static HttpResponse Get(const std::string& query) {
    HttpRequest r;
    r.target = "/webapi/entry.cgi?" + query;
    HttpResponse a;
    EXPECT_TRUE(paperlens_test::HttpExchange(kPort, r, a)) << query.substr(0, 60);
    return a;
  }
  static HttpResponse PostBody(const std::string& type, const std::string& body) {
    HttpRequest r;
    r.method = "POST";
    r.target = "/webapi/entry.cgi";
    r.headers.emplace_back("Content-Type", type);
    r.body = body;
    HttpResponse a;
    EXPECT_TRUE(paperlens_test::HttpExchange(kPort, r, a)) << body.substr(0, 60);
    return a;
  }

};

// ---- Login throttle ------------------------------------------------------------------------

TEST_F(Hardening, AParallelBurstOfGuessesGetsOnlyTheFreeFailuresChecked) {
  constexpr int kGuesses = 20;
  testsupport::LogMark log;
  std::vector<int> codes(kGuesses, 0);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kGuesses; ++i) {
    threads.emplace_back([&, i] {
      WebClient c(kPort);
      ++ready;
      while (ready.load() < kGuesses) std::this_thread::yield();
      codes[i] = ErrorCode(c.Login("admin", "guess" + std::to_string(i)));
    });
  }
  for (std::thread& t : threads) t.join();
  int checked = 0, blocked = 0;
  for (int code : codes) {
    if (code == 400) ++checked;
    if (code == 407) ++blocked;
  }
  EXPECT_EQ(LoginThrottle::kFreeFailures, checked);
  EXPECT_EQ(kGuesses, checked + blocked);
  EXPECT_EQ(LoginThrottle::kFreeFailures, log.Count("failed login of admin from"));
  // The right password waits like the rest.
  EXPECT_EQ(407, ErrorCode(WebClient(kPort).Login("admin", "admin123")));
}

TEST_F(Hardening, AnOversizedAccountNameIsRefusedBeforeItReachesAnyFile) {
  testsupport::LogMark log;
  WebClient c(kPort);
  Json::Value huge = c.Login(std::string(1000000, 'a'), "x");
  EXPECT_EQ(400, ErrorCode(huge)) << huge.toStyledString().substr(0, 200);
  EXPECT_EQ(-1, FileSize(kRecords));
  EXPECT_TRUE(log.Contains("account name of 1000000 bytes from 127.0.0.1 refused"));
  EXPECT_EQ(0, log.Count("failed login of aaaa"));

  // Refused every time, never blocked: nothing about it is counted.
  const std::string tooLong(LoginThrottle::kMaxAccountSize + 1, 'b');
  for (int i = 0; i <= LoginThrottle::kFreeFailures; ++i) EXPECT_EQ(400, ErrorCode(c.Login(tooLong, "x")));
  EXPECT_EQ(-1, FileSize(kRecords));

  // The longest name allowed is an ordinary (failed) login.
  const std::string longest(LoginThrottle::kMaxAccountSize, 'c');
  EXPECT_EQ(400, ErrorCode(c.Login(longest, "x")));
  EXPECT_TRUE(Records().isMember(longest + "|127.0.0.1")) << Records();
}

TEST_F(Hardening, ManyDistinctAccountNamesKeepTheRecordsUnderTheirCap) {
  // A full file, as many guessed names would leave it: the oldest records make room.
  const long now = static_cast<long>(time(nullptr));
  Json::Value full(Json::objectValue);
  for (size_t i = 0; i < LoginThrottle::kMaxKeys; ++i) {
    Json::Value rec(Json::objectValue);
    rec["count"] = 1;
    rec["last"] = static_cast<Json::Int64>(now - 3600 + static_cast<long>(i));
    full["filler-" + std::to_string(i) + "|10.0.0.1"] = rec;
  }
  ASSERT_TRUE(VIREO::webapi::WriteJsonFile(kRecords, full));
  WebClient c(kPort);
  constexpr int kNew = 8;
  for (int i = 0; i < kNew; ++i) EXPECT_EQ(400, ErrorCode(c.Login("guess-" + std::to_string(i), "x")));
  Json::Value after = Records();
  EXPECT_EQ(LoginThrottle::kMaxKeys, after.size());
  for (int i = 0; i < kNew; ++i) {
    EXPECT_TRUE(after.isMember("guess-" + std::to_string(i) + "|127.0.0.1")) << i;
    EXPECT_FALSE(after.isMember("filler-" + std::to_string(i) + "|10.0.0.1")) << i;
  }
  EXPECT_TRUE(after.isMember("filler-" + std::to_string(kNew) + "|10.0.0.1"));
}

// ---- Log lines -----------------------------------------------------------------------------

TEST_F(Hardening, ALineBreakInAnAccountNameCannotForgeALogLine) {
  testsupport::LogMark log;
  WebClient c(kPort);
  EXPECT_EQ(400, ErrorCode(c.Login("mallory\n2026-01-01T00:00:00 user.err webapi: admin-logged-in", "x")));
  std::string line = log.Line("admin-logged-in");
  EXPECT_NE(std::string::npos,
            line.find("failed login of mallory\\x0a2026-01-01T00:00:00 user.err webapi: "
                      "admin-logged-in from 127.0.0.1")) << line;
  EXPECT_EQ(1, log.Count("admin-logged-in")) << log.Text();
  EXPECT_EQ(1, log.Count("mallory"));
}

// ---- Parameters and bodies -----------------------------------------------------------------

TEST_F(Hardening, NestingPastTheReadersLimitIsABadRequestNeverASuccess) {
  const std::string deepQuery = std::string(300, '[') + std::string(300, ']');
  std::string encoded;
  for (char ch : deepQuery) encoded += ch == '[' ? "%5B" : "%5D";
  const std::string login = "api=VIREO.API.Auth&version=1&method=login";

  struct Case {
    const char* what;
    HttpResponse answer;
  } cases[] = {
      {"query parameter", Get(login + "&account=" + encoded)},
      {"url-encoded body", PostBody("application/x-www-form-urlencoded", login + "&passwd=" + encoded)},
      {"JSON body member",
       PostBody("application/json", "{\"api\": \"VIREO.API.Auth\", \"version\": 1, \"method\": "
                                    "\"login\", \"account\": " + deepQuery + "}")},
      {"JSON body", PostBody("application/json", deepQuery)},
  };
  for (const Case& k : cases) {
    Json::Value a = k.answer.JsonBody();
    EXPECT_EQ(200, k.answer.status) << k.what;
    EXPECT_FALSE(a["success"].asBool()) << k.what << ": " << k.answer.body;
    EXPECT_EQ(101, ErrorCode(a)) << k.what << ": " << k.answer.body;
  }

  // Well inside the limit a value is read as usual (and then refused as a parameter).
  const std::string fine = std::string(50, '[') + std::string(50, ']');
  Json::Value shallow = PostBody("application/json",
                                 "{\"api\": \"VIREO.API.Auth\", \"version\": 1, \"method\": "
                                 "\"login\", \"account\": " + fine + ", \"passwd\": \"x\"}")
                            .JsonBody();
  EXPECT_EQ(120, ErrorCode(shallow)) << shallow;
}

TEST_F(Hardening, BodiesOverTheLimitAreRefusedUnread) {
  const std::string head = "{\"api\": \"VIREO.API.Auth\", \"version\": 1, \"method\": \"login\", \"account\": \"";
  const std::string tail = "\", \"passwd\": \"x\"}";
  std::string over = head + std::string(VIREO::webapi::kMaxBodySize, 'a') + tail;
  Json::Value a = PostBody("application/json", over).JsonBody();
  EXPECT_EQ(113, ErrorCode(a)) << a;
  EXPECT_EQ(-1, FileSize(kRecords));
  std::string under = head + std::string(VIREO::webapi::kMaxBodySize - head.size() - tail.size(), 'a') + tail;
  // At the limit the body is read, and the name is refused as too long for an account.
  EXPECT_EQ(400, ErrorCode(PostBody("application/json", under).JsonBody()));
}

}  // namespace
