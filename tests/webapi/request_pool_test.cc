// The web-API server's resident request workers over real HTTP: one worker (so that every
// request meets the process the one before left), replaced after three requests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "appliance_env.h"
#include "appliance_server.h"
#include "http_client.h"

namespace {

using paperlens_test::HttpRequest;
using paperlens_test::WebClient;

constexpr int kPort = 18182;
constexpr int kCgiPort = 18183;
constexpr char kApi[] = "VIREO.Test.Frame";

class RequestPool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    mkdir("/usr/vireo/etc/webapi.d", 0755);
    std::ofstream("/usr/vireo/etc/webapi.d/test-frame.lib")
        << "{\"VIREO.Test.Frame\": {\"lib\": \"" << TEST_PLUGIN_PATH << "\"}}";
    setenv("HARBOR_WEBAPI_WORKERS", "1", 1);
    setenv("HARBOR_WEBAPI_MAX_REQUESTS", "3", 1);
    server_ = new paperlens_test::ApplianceServer(kPort);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server_->Ok()) << server_->Error();
    Json::Value login = client_.Login("alice", "alice123");
    ASSERT_TRUE(login["success"].asBool()) << login;
  }

public:
  // The "process" answer's data; `params` are more query parameters ("&name=value").
  Json::Value Process(const std::string& params = "", const std::string& probe = "") {
    HttpRequest r;
    r.target = "/webapi/entry.cgi?api=" + std::string(kApi) + "&version=1&method=process" + params;
    if (!probe.empty()) r.headers.emplace_back("X-Probe", probe);
    Json::Value answer = client_.Send(r).JsonBody();
    EXPECT_TRUE(answer["success"].asBool()) << answer;
    return answer["data"];
  }

 protected:
  static paperlens_test::ApplianceServer* server_;
  WebClient client_{kPort};
};

paperlens_test::ApplianceServer* RequestPool::server_ = nullptr;

// Requests until a new worker answers; that answer (the worker's first request) is returned.
Json::Value FreshWorker(RequestPool& t);

// Requests in a row meet the same worker until its quota is spent; nothing of a request's
// environment reaches the next one.
TEST_F(RequestPool, AWorkerServesItsQuotaWithAFreshEnvironmentEachTime) {
  Json::Value first = FreshWorker(*this);
  Json::Value second = Process("", "one");
  Json::Value third = Process();
  Json::Value next = Process();
  EXPECT_EQ(first["pid"], second["pid"]);
  EXPECT_EQ(first["pid"], third["pid"]);
  EXPECT_NE(third["pid"], next["pid"]);
  EXPECT_EQ("one", second["probe"].asString());
  EXPECT_EQ("", third["probe"].asString());
  for (const Json::Value& s : {first, second, third, next}) EXPECT_EQ(0, s["euid"].asInt());
}

// A request that leaves the process as another user, or with a descriptor open, ends its
// worker before its quota: the next request is served by a new one, as root.
TEST_F(RequestPool, AWorkerLeftChangedIsReplacedAtOnce) {
  for (const char* fault : {"&leave_uid=1001", "&leave_fd=true"}) {
    testsupport::LogMark log;
    Json::Value first = FreshWorker(*this);
    Json::Value faulty = Process(fault);
    ASSERT_EQ(first["pid"], faulty["pid"]) << fault;
    Json::Value after = Process();
    EXPECT_NE(faulty["pid"], after["pid"]) << fault;
    EXPECT_EQ(0, after["euid"].asInt()) << fault;
    EXPECT_TRUE(log.HasLine({"replaced after a request"})) << fault;
  }
}

Json::Value FreshWorker(RequestPool& t) {
  Json::Value last = t.Process();
  for (int i = 0; i < 5; ++i) {
    Json::Value now = t.Process();
    if (now["pid"] != last["pid"]) return now;
    last = now;
  }
  ADD_FAILURE() << "the worker was never replaced";
  return last;
}

// The per-request program stays available, and there every request is a process of its own.
TEST_F(RequestPool, TheCgiModeServesEachRequestInANewProcess) {
  setenv("APPLIANCE_WEBAPI", "cgi", 1);
  paperlens_test::ApplianceServer cgi(kCgiPort);
  unsetenv("APPLIANCE_WEBAPI");
  ASSERT_TRUE(cgi.Ok()) << cgi.Error();
  WebClient c(kCgiPort);
  ASSERT_TRUE(c.Login("alice", "alice123")["success"].asBool());
  Json::Value a = c.Call(kApi, 1, "process");
  Json::Value b = c.Call(kApi, 1, "process");
  ASSERT_TRUE(a["success"].asBool()) << a;
  EXPECT_NE(a["data"]["pid"], b["data"]["pid"]);
}

}  // namespace
