// The index handlers run by hand, with requests built in the test, against the appliance's
// shares, queue file, monitor registrations and the real daemon (over HTTP: tests/e2e).
#include "index/IndexAPI.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "FileLock.h"
#include "TaskDB.h"
#include "index/IndexQueue.h"
#include "appliance_env.h"
#include "frame/APIFrame.h"
#include "utils.h"
#include "utils_json.h"
#include "vireo/libc.h"
#include "vireo/monitor.h"

using namespace VIREO::PAPERLENS;

namespace {

const std::string kDir = "/volume1/docs/indexed";
const std::string kRegistration =
    VIREO::VIREOTIFYD::MonitorQueue::FileOf("paperlens", 2);

// Runs one method the way the server does: its check function, then its entry function.
struct Call {
  Call(const std::string& method, const Json::Value& params) : out(tmpfile()), response(out) {
    request = VIREO::APIRequest("VIREO.Paperlens.Index", 1, method, params);
    request.SetLoginUser("admin", testsupport::kAdminUid, true);
    Run();
  }
  ~Call() { fclose(out); }
  void Run() {
    const auto* checks = static_cast<const frame::APICheckRow*>(GetAPICheckTable());
    const auto* methods = static_cast<const frame::APIMethodRow*>(GetAPITable());
    for (; checks->api != nullptr; ++checks) {
      if (request.GetAPIMethod() == checks->method && !checks->check(&request, &response)) return;
    }
    for (; methods->api != nullptr; ++methods) {
      if (request.GetAPIMethod() == methods->method) methods->entry(&request, &response);
    }
  }
  ::testing::AssertionResult Ok() const {
    if (response.IsAnswered() && response.GetError() == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "error " << response.GetError() << " "
                                         << response.GetErrorData().toStyledString();
  }
  int Code() const { return response.GetError(); }
  Json::Value Errors() const { return response.GetErrorData(); }

  FILE* out;
  VIREO::APIRequest request;
  VIREO::APIResponse response;
};

Json::Value SetParams(const std::string& path, bool thumb, bool pdf, int id = -1) {
  Json::Value p(Json::objectValue);
  if (id != -1) p["id"] = id;
  p["path"] = path;
  p["enable_thumbnail"] = thumb;
  p["enable_preconvert"] = pdf;
  return p;
}

Json::Value Ids(std::initializer_list<int> ids) {
  Json::Value p(Json::objectValue);
  p["ids"] = Json::Value(Json::arrayValue);
  for (int i : ids) p["ids"].append(i);
  return p;
}

Json::Value Config() {
  Json::Value c;
  json::FromFile(SZF_INDEX_CONFIG, c);
  return c;
}

void WriteConfig(const std::string& text) {
  Json::Value c;
  ASSERT_TRUE(json::FromString(text, c)) << text;
  ASSERT_TRUE(json::ToFile(c, SZF_INDEX_CONFIG));
}

std::vector<Json::Value> QueueRecords() {
  std::vector<Json::Value> out;
  std::ifstream in(SZF_INDEX_QUEUE);
  std::string line;
  while (std::getline(in, line)) {
    Json::Value v;
    if (json::FromString(line, v)) out.push_back(v);
  }
  return out;
}

std::string Rec(const Json::Value& r) {
  return std::to_string(r["event"].asInt()) + (r["is_dir"].asBool() ? " dir " : " file ") +
         r["path"].asString();
}

bool WaitFor(const std::function<bool()>& cond, int ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

pid_t DaemonPid() {
  pid_t pid = VLIBCReadPidFile(SZF_PIDPATH);
  return pid > 0 && VLIBCProcAlive(pid) ? pid : -1;
}

void StopDaemonForTest() {
  pid_t pid = DaemonPid();
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  WaitFor([pid] { return !VLIBCProcAlive(pid); });
}

class IndexAPITest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::MakeDir(kDir + "/a");
    testsupport::MakeDir(kDir + "/b");
    testsupport::MakeDir("/volume1/docs/indexed2");
    testsupport::MakeDir("/volume2/vault/x");
    unlink(SZF_INDEX_CONFIG);
    unlink(SZF_INDEX_QUEUE);
    unlink(SZF_ENABLE_INDEX);
    unlink(kRegistration.c_str());
  }
  void TearDown() override {
    StopDaemonForTest();
    testsupport::RemoveAll(kDir);
    testsupport::RemoveAll("/volume1/docs/indexed2");
    testsupport::RemoveAll("/volume2/vault/x");
    testsupport::RemoveAll(SZF_INDEX_QUEUE);
    testsupport::RemoveAll(VIREO::VIREOTIFYD::MonitorQueue::kRegistrationDir);
    unlink(SZF_INDEX_CONFIG);
    unlink(SZF_ENABLE_INDEX);
  }
};

TEST_F(IndexAPITest, ChecksRefuseMissingAndMistypedParameters) {
  struct Case {
    const char* method;
    const char* params;
    const char* name;
    const char* reason;
  } cases[] = {
      {"set", R"({"id": "1", "path": "/docs", "enable_thumbnail": true, "enable_preconvert": true})",
       "id", "type"},
      {"set", R"({"enable_thumbnail": true, "enable_preconvert": true})", "path", "required"},
      {"set", R"({"path": 3, "enable_thumbnail": true, "enable_preconvert": true})", "path", "type"},
      {"set", R"({"path": "/docs", "enable_preconvert": true})", "enable_thumbnail", "required"},
      {"set", R"({"path": "/docs", "enable_thumbnail": true, "enable_preconvert": 1})",
       "enable_preconvert", "type"},
      {"delete", R"({})", "ids", "required"},
      {"delete", R"({"ids": [1, "2"]})", "ids", "type"},
      {"reindex", R"({"ids": [1.5]})", "ids", "type"},
      {"reindex", R"({"ids": {"a": 1}})", "ids", "type"},
  };
  for (const Case& c : cases) {
    Json::Value params;
    ASSERT_TRUE(json::FromString(c.params, params));
    Call call(c.method, params);
    EXPECT_EQ(120, call.Code()) << c.method << " " << c.params;
    EXPECT_EQ(c.name, call.Errors()["name"].asString()) << c.params;
    EXPECT_EQ(c.reason, call.Errors()["reason"].asString()) << c.params;
  }
  Call list("list", Json::Value(Json::objectValue));
  EXPECT_TRUE(list.Ok());
}

TEST_F(IndexAPITest, SetRefusesEmptySettingsAndFoldersThatAreNotOrdinary) {
  Call both("set", SetParams("/docs/indexed/a", false, false));
  EXPECT_EQ(400, both.Code());
  EXPECT_EQ("cannot both empty", both.Errors().asString());

  testsupport::WriteFile(kDir + "/file.docx", "0123456789abc");
  ASSERT_EQ(0, symlink("/volume2/archive", (kDir + "/out").c_str()));
  for (const char* p : {"/docs/indexed/missing", "/docs/indexed/file.docx", "/vault/x",
                        "/gone/x", "/docs/indexed/out", "/docs/indexed/../indexed", "docs"}) {
    Call call("set", SetParams(p, true, false));
    EXPECT_EQ(400, call.Code()) << p;
    EXPECT_EQ("invalid path", call.Errors().asString()) << p;
  }
  EXPECT_FALSE(Config().isMember("items"));
}

TEST_F(IndexAPITest, SetNumbersItemsAndRefusesDuplicates) {
  ASSERT_TRUE(Call("set", SetParams("/docs/indexed/a", true, false)).Ok());
  ASSERT_TRUE(Call("set", SetParams("/docs/indexed/b", false, true)).Ok());
  Json::Value items = Config()["items"];
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(1, items[0]["id"].asInt());
  EXPECT_EQ("/docs/indexed/a", items[0]["path"].asString());
  EXPECT_TRUE(items[0]["enable_thumbnail"].asBool());
  EXPECT_FALSE(items[0]["enable_preconvert"].asBool());
  EXPECT_EQ(2, items[1]["id"].asInt());

  // The first folder switched indexing on: marker, monitor registration, daemon.
  EXPECT_TRUE(testsupport::Exists(SZF_ENABLE_INDEX));
  EXPECT_TRUE(WaitFor([] { return DaemonPid() > 0; }));
  Json::Value reg;
  ASSERT_TRUE(json::FromFile(kRegistration, reg));
  EXPECT_EQ(SZF_INDEX_QUEUE, reg["queue"].asString());
  ASSERT_EQ(2u, reg["config"].size());
  EXPECT_EQ(kDir + "/a", reg["config"][0]["path"].asString());
  EXPECT_EQ(72, reg["config"][0]["mask"].asInt());
  EXPECT_EQ("@eaDir", reg["config"][0]["ignore"][0].asString());

  Call dup("set", SetParams("/docs/indexed/a", true, true));
  EXPECT_EQ(1050, dup.Code());
  EXPECT_EQ("duplicate", dup.Errors().asString());
  // An id of no item adds a new one with the next id; the id of an item changes that item.
  testsupport::MakeDir(kDir + "/c");
  ASSERT_TRUE(Call("set", SetParams("/docs/indexed/c", true, true, 40)).Ok());
  EXPECT_EQ(3, Config()["items"][2]["id"].asInt());
  ASSERT_TRUE(Call("set", SetParams("/docs/indexed/c", false, true, 3)).Ok());
  EXPECT_FALSE(Config()["items"][2]["enable_thumbnail"].asBool());
  // Item 2 taking the path of item 1 (listed before it) is a duplicate; item 1 taking the path
  // of item 2 (listed after it) is not.
  EXPECT_EQ(1050, Call("set", SetParams("/docs/indexed/a", true, true, 2)).Code());
  EXPECT_TRUE(Call("set", SetParams("/docs/indexed/b", true, true, 1)).Ok());

  ASSERT_TRUE(Call("delete", Ids({1})).Ok());
  testsupport::MakeDir(kDir + "/d");
  ASSERT_TRUE(Call("set", SetParams("/docs/indexed/d", true, false)).Ok());
  EXPECT_EQ(4, Config()["items"][2]["id"].asInt());  // the largest + 1
}

TEST_F(IndexAPITest, ListReportsProgressByRealPathAndErrorsForGoneShares) {
  WriteConfig(R"({"items": [
      {"id": 1, "path": "/docs/indexed", "enable_thumbnail": true, "enable_preconvert": false},
      {"id": 2, "path": "/docs/indexed2", "enable_thumbnail": true, "enable_preconvert": false},
      {"id": 3, "path": "/gone/x", "enable_thumbnail": true, "enable_preconvert": false}]})");
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  std::vector<TaskDB::Task> old;
  db.GetTasks(old, 0);
  for (const TaskDB::Task& t : old) db.DeleteTask(t);
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, false, "", kDir + "/a/x.docx", 1}));

  Call list("list", Json::Value(Json::objectValue));
  ASSERT_TRUE(list.Ok());
  const Json::Value items = list.response.GetData()["items"];
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ("processing", items[0]["status"].asString());
  EXPECT_EQ("finished", items[1]["status"].asString());  // /docs/indexed is not /docs/indexed2
  EXPECT_EQ("error", items[2]["status"].asString());
  EXPECT_EQ("/docs/indexed", items[0]["path"].asString());
  EXPECT_EQ(1, items[0]["id"].asInt());
  std::vector<TaskDB::Task> tasks;
  db.GetTasks(tasks, 0);
  for (const TaskDB::Task& t : tasks) db.DeleteTask(t);
}

TEST_F(IndexAPITest, ReindexQueuesScansOfValidFoldersOnly) {
  WriteConfig(R"({"items": [
      {"id": 1, "path": "/docs/indexed/a", "enable_thumbnail": true, "enable_preconvert": false},
      {"id": 2, "path": "/gone/x", "enable_thumbnail": true, "enable_preconvert": false},
      {"id": 3, "path": "/docs/indexed/b", "enable_thumbnail": true, "enable_preconvert": false}]})");
  testsupport::LogMark mark;
  ASSERT_TRUE(Call("reindex", Ids({2, 3, 1, 9})).Ok());
  std::vector<Json::Value> records = QueueRecords();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ("65536 dir " + kDir + "/a", Rec(records[0]));
  EXPECT_EQ("65536 dir " + kDir + "/b", Rec(records[1]));
  EXPECT_TRUE(mark.Contains("/gone/x is not valid dir"));
  // Reindex starts nothing.
  EXPECT_FALSE(testsupport::Exists(SZF_ENABLE_INDEX));
  EXPECT_EQ(-1, DaemonPid());

  // A queue that cannot be written is error 117.
  unlink(SZF_INDEX_QUEUE);
  testsupport::MakeDir(SZF_INDEX_QUEUE);
  Call failed("reindex", Ids({1}));
  EXPECT_EQ(117, failed.Code());
  EXPECT_TRUE(failed.Errors().isNull());
}

TEST_F(IndexAPITest, DeleteQueuesRemovalsAndTheLastOneSwitchesIndexingOff) {
  ASSERT_TRUE(Call("set", SetParams("/docs/indexed/a", true, false)).Ok());
  ASSERT_TRUE(Call("set", SetParams("/docs/indexed/b", true, false)).Ok());
  ASSERT_TRUE(WaitFor([] { return DaemonPid() > 0; }));
  const pid_t daemon = DaemonPid();
  StopDaemonForTest();  // so the queue stays to be read here
  unlink(SZF_INDEX_QUEUE);

  ASSERT_TRUE(Call("delete", Ids({1, 7})).Ok());
  EXPECT_EQ(1u, Config()["items"].size());
  EXPECT_TRUE(testsupport::Exists(SZF_ENABLE_INDEX));
  Json::Value reg;
  ASSERT_TRUE(json::FromFile(kRegistration, reg));
  EXPECT_EQ(1u, reg["config"].size());

  ASSERT_EQ(0, system((std::string(SZF_INDEX_DAEMON)).c_str()));
  ASSERT_TRUE(WaitFor([daemon] { return DaemonPid() > 0 && DaemonPid() != daemon; }));
  const pid_t second = DaemonPid();
  ASSERT_TRUE(Call("delete", Ids({2})).Ok());
  EXPECT_TRUE(Config()["items"].isArray());
  EXPECT_EQ(0u, Config()["items"].size());
  EXPECT_FALSE(testsupport::Exists(SZF_ENABLE_INDEX));
  EXPECT_FALSE(testsupport::Exists(kRegistration));
  EXPECT_TRUE(WaitFor([second] { return !VLIBCProcAlive(second); }));
}

TEST_F(IndexAPITest, RemovalRecordsNameTheFoldersRealPaths) {
  WriteConfig(R"({"items": [
      {"id": 1, "path": "/docs/indexed/a", "enable_thumbnail": true, "enable_preconvert": false},
      {"id": 2, "path": "/gone/x", "enable_thumbnail": true, "enable_preconvert": false}]})");
  ASSERT_TRUE(Call("delete", Ids({1, 2})).Ok());
  std::vector<Json::Value> records = QueueRecords();
  ASSERT_EQ(1u, records.size());  // a share that is gone gives no record
  EXPECT_EQ("131072 dir " + kDir + "/a", Rec(records[0]));
}

TEST_F(IndexAPITest, MonitorFailuresAreAnsweredWith117AndTheirText) {
  // The registrations cannot be stored: set answers with the text, the folder stays configured.
  testsupport::RemoveAll(VIREO::VIREOTIFYD::MonitorQueue::kRegistrationDir);
  testsupport::WriteFile(VIREO::VIREOTIFYD::MonitorQueue::kRegistrationDir, "not a folder");
  Call set("set", SetParams("/docs/indexed/a", true, false));
  EXPECT_EQ(117, set.Code());
  EXPECT_EQ("save to monitor queue error", set.Errors().asString());
  EXPECT_EQ(1u, Config()["items"].size());
  // delete of the last folder cannot drop a registration that belongs to another queue.
  unlink(VIREO::VIREOTIFYD::MonitorQueue::kRegistrationDir);
  testsupport::WriteFile(kRegistration, R"({"queue": "/elsewhere", "config": []})");
  Call del("delete", Ids({1}));
  EXPECT_EQ(117, del.Code());
  EXPECT_EQ("delete monitor queue error", del.Errors().asString());
  EXPECT_EQ(0u, Config()["items"].size());
  EXPECT_FALSE(testsupport::Exists(SZF_ENABLE_INDEX));
}

TEST_F(IndexAPITest, QueueAndDaemonFailuresOfSetAreAnsweredWith117) {
  // The queue cannot be written: 117 without a text, the folder stays configured.
  testsupport::MakeDir(SZF_INDEX_QUEUE);
  Call queue("set", SetParams("/docs/indexed/a", true, false));
  EXPECT_EQ(117, queue.Code());
  EXPECT_TRUE(queue.Errors().isNull());
  EXPECT_EQ(1u, Config()["items"].size());
  ASSERT_TRUE(WaitFor([] { return DaemonPid() > 0; }));  // its pid file comes after the answer
  StopDaemonForTest();
  testsupport::RemoveAll(SZF_INDEX_QUEUE);

  // A daemon that cannot be started (here one that refuses at once).
  ASSERT_EQ(0, testsupport::Shell(std::string("mount --bind /bin/false ") + SZF_INDEX_DAEMON));
  Call daemon("set", SetParams("/docs/indexed/b", true, false));
  testsupport::Shell(std::string("umount ") + SZF_INDEX_DAEMON);
  EXPECT_EQ(117, daemon.Code());
  EXPECT_EQ("cannot execute daemon", daemon.Errors().asString());
  EXPECT_EQ(2u, Config()["items"].size());
}

TEST_F(IndexAPITest, AMarkerThatCannotBeMadeIsAnErrorNotASuccess) {
  ASSERT_EQ(0, symlink("/no/such/folder/enable_index", SZF_ENABLE_INDEX));
  Call set("set", SetParams("/docs/indexed/a", true, false));
  EXPECT_EQ(117, set.Code());
  EXPECT_EQ("cannot touch", set.Errors().asString());
}

TEST_F(IndexAPITest, NoRecordIsLostWhileAReaderKeepsTakingTheQueue) {
  // A reader that takes the queue as the daemon does (shared lock, rename), over and over.
  const std::string taken = "/var/packages/Paperlens/target/index/taken";
  unlink(taken.c_str());
  pid_t reader = fork();
  if (reader == 0) {
    const std::string working = std::string(SZF_INDEX_QUEUE) + ".reader";
    bool last = false;
    for (;;) {
      if (VLIBCFileExist(SZF_INDEX_QUEUE)) {
        try {
          FileLock lock(SZF_INDEX_QUEUE, 0, LOCK_TIMEOUT_SECS);
          if (rename(SZF_INDEX_QUEUE, working.c_str()) != 0) _exit(3);
        } catch (...) {
          _exit(2);
        }
        std::ifstream in(working);
        std::ofstream out(taken, std::ios::app);
        out << in.rdbuf();
        unlink(working.c_str());
      }
      if (last) _exit(0);
      if (VLIBCFileExist("/run/index-test-done")) last = true;
    }
  }
  ASSERT_GT(reader, 0);
  Json::Value record(Json::objectValue);
  record["event"] = INDEX_EVENT_SCAN;
  record["is_dir"] = true;
  constexpr int kRecords = 300;
  for (int i = 0; i < kRecords; ++i) {
    record["path"] = kDir + "/" + std::to_string(i);
    AppendToQueue(record);
  }
  testsupport::WriteFile("/run/index-test-done", "");
  int status = 0;
  ASSERT_EQ(reader, waitpid(reader, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  unlink("/run/index-test-done");
  std::ifstream in(taken);
  std::string line;
  std::set<std::string> seen;
  int lines = 0;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    Json::Value v;
    ASSERT_TRUE(json::FromString(line, v)) << line;  // never a torn line
    seen.insert(v["path"].asString());
    ++lines;
  }
  EXPECT_EQ(kRecords, lines);
  EXPECT_EQ(static_cast<size_t>(kRecords), seen.size());
  unlink(taken.c_str());
}

}  // namespace
