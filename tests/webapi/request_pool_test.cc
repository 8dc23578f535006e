// The web-API server's resident request workers over real HTTP: one worker (so that every
// request meets the process the one before left), replaced after three requests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "appliance_env.h"
#include "appliance_server.h"
#include "served_suite.h"
#include "http_client.h"

namespace {

using paperlens_test::HttpRequest;
using paperlens_test::WebClient;

constexpr int kPort = 18182;
constexpr int kCgiPort = 18183;
constexpr char kApi[] = "VIREO.Test.Frame";

class RequestPool : public paperlens_test::ServedSuite<kPort> {
 protected:
  static void SetUpTestSuite() {
    mkdir("/usr/vireo/etc/webapi.d", 0755);
    std::ofstream("/usr/vireo/etc/webapi.d/test-frame.lib")
        << "{\"VIREO.Test.Frame\": {\"lib\": \"" << TEST_PLUGIN_PATH << "\"}}";
    setenv("HARBOR_WEBAPI_WORKERS", "1", 1);
    setenv("HARBOR_WEBAPI_MAX_REQUESTS", "3", 1);
    ServedSuite::SetUpTestSuite();
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
  WebClient client_{kPort};
};

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

// A body sent with SendBody goes out through the web server, taken from the very file the
// handler opened: whatever became of its name meanwhile, and although the next request of the
// same worker reuses the descriptor's number for another file.
TEST_F(RequestPool, HandedBodiesAreTheOpenedFilesThemselves) {
  const std::string a = "/volume1/docs/handed-a.pdf";
  const std::string b = "/volume1/docs/handed-b.pdf";
  const std::string contentA = "%PDF-1.4 a\n" + std::string(300000, 'a');
  const std::string contentB = "%PDF-1.4 b\n";
  std::ofstream(a, std::ios::binary) << contentA;
  std::ofstream(b, std::ios::binary) << contentB;
  auto send = [](WebClient& c, const std::string& path, const std::string& swap = "") {
    Json::Value p(Json::objectValue);
    p["path"] = path;
    if (!swap.empty()) p["swap"] = swap;
    return c.Raw(kApi, 1, "send_body", p);
  };
  for (int i = 0; i < 8; ++i) {
    bool first = i % 2 == 0;
    paperlens_test::HttpResponse r = send(client_, first ? a : b);
    const std::string& want = first ? contentA : contentB;
    EXPECT_EQ(200, r.status) << i;
    EXPECT_EQ("application/pdf", r.Header("Content-Type")) << i;
    EXPECT_EQ(std::to_string(want.size()), r.Header("Content-Length")) << i;
    EXPECT_TRUE(r.body == want) << i << ": " << r.body.size() << " bytes";
    EXPECT_EQ("", r.Header("X-Sendfile")) << i;
    EXPECT_NE("", r.Header("ETag")) << i << ": the server did not send the file itself";
  }

  // Requests at once, through the one worker: each answer is its own file.
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      WebClient c(kPort);
      c.SetSid(client_.Sid());
      for (int i = 0; i < 6; ++i) {
        bool first = (t + i) % 2 == 0;
        if (send(c, first ? a : b).body != (first ? contentA : contentB)) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, wrong.load());

  // The name is taken over by another file after the handler opened it.
  const std::string other = "/volume1/docs/handed-other.pdf";
  std::ofstream(other, std::ios::binary) << "%PDF-1.4 other\n";
  paperlens_test::HttpResponse swapped = send(client_, a, other);
  EXPECT_TRUE(swapped.body == contentA) << swapped.body.size() << " bytes";

  // The handed descriptor is closed before the worker's next request: it is not replaced.
  testsupport::LogMark log;
  Json::Value fresh = FreshWorker(*this);
  paperlens_test::HttpResponse handed = send(client_, b);
  EXPECT_EQ(fresh["pid"].asString(), handed.Header("X-Worker"));
  EXPECT_EQ(fresh["pid"], Process()["pid"]);
  EXPECT_FALSE(log.HasLine({"replaced after a request"}));
  unlink(a.c_str());
  unlink(b.c_str());
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
