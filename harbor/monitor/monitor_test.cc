// The file-change monitor: registrations on disk, and the daemon's records for writes, moves,
// new folders and ignored names, with registration changes picked up while it runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "appliance_env.h"
#include "vireo/monitor.h"

namespace {

using VIREO::VIREOTIFYD::MonitorQueue;

const std::string kTree = "/volume1/docs/monitored";
const std::string kOutside = "/volume1/docs/outside";
const std::string kQueue = "/var/packages/Paperlens/target/index/monitor-test-queue";
const std::string kStatus = "/run/vireotifyd-test.status";

Json::Value Registration(const std::vector<std::string>& paths, const std::string& queue = kQueue) {
  Json::Value r(Json::objectValue);
  r["queue"] = queue;
  r["config"] = Json::Value(Json::arrayValue);
  for (const std::string& p : paths) {
    Json::Value e(Json::objectValue);
    e["mask"] = 72;
    e["ignore"].append("@eaDir");
    e["path"] = p;
    r["config"].append(e);
  }
  return r;
}

Json::Value ParseLine(const std::string& line) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::istringstream in(line);
  if (!Json::parseFromStream(b, in, &v, &errors)) return Json::Value();
  return v;
}

std::vector<Json::Value> QueueRecords() {
  std::vector<Json::Value> out;
  std::ifstream in(kQueue);
  std::string line;
  while (std::getline(in, line)) out.push_back(ParseLine(line));
  return out;
}

bool HasRecord(int event, bool isDir, const std::string& path) {
  for (const Json::Value& r : QueueRecords()) {
    if (r["event"] == event && r["is_dir"] == isDir && r["path"] == path) return true;
  }
  return false;
}

bool WaitFor(const std::function<bool()>& cond, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

Json::Value Status() {
  std::ifstream in(kStatus);
  std::stringstream s;
  s << in.rdbuf();
  return ParseLine(s.str());
}

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::RemoveAll(kTree);
    testsupport::RemoveAll(kOutside);
    testsupport::MakeDir(kTree + "/sub/deeper");
    testsupport::MakeDir(kOutside);
    unlink(kQueue.c_str());
    unlink(kStatus.c_str());
  }
  void TearDown() override {
    Stop();
    MonitorQueue::Delete(kQueue, "monitortest", 2);
  }

  // Starts the daemon and waits until it watches `watches` folders.
  void Start(unsigned watches) {
    _pid = fork();
    if (_pid == 0) {
      execl("/usr/vireo/bin/vireotifyd", "vireotifyd", "--status", kStatus.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(_pid, 0);
    ASSERT_TRUE(WaitForWatches(watches)) << Status();
  }
  bool WaitForWatches(unsigned watches) {
    return WaitFor([&] {
      Json::Value s = Status();
      return s["ready"].asBool() && s["watches"].asUInt() == watches;
    });
  }
  void Stop() {
    if (_pid <= 0) return;
    kill(_pid, SIGTERM);
    int status = 0;
    waitpid(_pid, &status, 0);
    _pid = -1;
  }

  pid_t _pid = -1;
};

TEST(MonitorQueueTest, RegistrationsAreStoredReplacedAndRemoved) {
  const std::string file = MonitorQueue::FileOf("regtest", 2);
  ASSERT_TRUE(MonitorQueue::Upsert(MonitorQueue(Registration({"/volume1/docs"})), "regtest", 2));
  ASSERT_TRUE(testsupport::Exists(file));
  ASSERT_TRUE(MonitorQueue::Upsert(MonitorQueue(Registration({"/volume1/docs", "/volume2/archive"})),
                                   "regtest", 2));
  bool found = false;
  for (const MonitorQueue& q : MonitorQueue::List()) {
    if (q.Get()["queue"] == kQueue) {
      found = true;
      EXPECT_EQ(2u, q.Get()["config"].size());
    }
  }
  EXPECT_TRUE(found);

  // Refused: a relative folder, a bad name; deleting for another queue.
  EXPECT_FALSE(MonitorQueue::Upsert(MonitorQueue(Registration({"docs"})), "regtest", 2));
  EXPECT_FALSE(MonitorQueue::Upsert(MonitorQueue(Registration({"/volume1/docs"})), "../x", 2));
  EXPECT_FALSE(MonitorQueue::Delete("/elsewhere/queue", "regtest", 2));
  EXPECT_TRUE(testsupport::Exists(file));

  EXPECT_TRUE(MonitorQueue::Delete(kQueue, "regtest", 2));
  EXPECT_FALSE(testsupport::Exists(file));
  EXPECT_TRUE(MonitorQueue::Delete(kQueue, "regtest", 2));  // nothing left to remove
}

TEST_F(MonitorTest, WritesMovesAndNewFoldersAreRecordedIgnoredNamesAreNot) {
  ASSERT_TRUE(MonitorQueue::Upsert(MonitorQueue(Registration({kTree})), "monitortest", 2));
  testsupport::MakeDir(kTree + "/@eaDir/x");
  Start(3);  // the tree, sub, sub/deeper; not @eaDir

  testsupport::WriteFile(kTree + "/sub/deeper/a.docx", "0123456789abcdef");
  EXPECT_TRUE(WaitFor([] { return HasRecord(8, false, kTree + "/sub/deeper/a.docx"); }));

  // A rename within the tree is recorded with the new name; one moved in from outside too.
  ASSERT_EQ(0, rename((kTree + "/sub/deeper/a.docx").c_str(), (kTree + "/b.docx").c_str()));
  EXPECT_TRUE(WaitFor([] { return HasRecord(64, false, kTree + "/b.docx"); }));
  testsupport::WriteFile(kOutside + "/c.docx", "0123456789abcdef");
  ASSERT_EQ(0, rename((kOutside + "/c.docx").c_str(), (kTree + "/sub/c.docx").c_str()));
  EXPECT_TRUE(WaitFor([] { return HasRecord(64, false, kTree + "/sub/c.docx"); }));

  // A folder made later is watched; a folder moved in is recorded and watched.
  testsupport::MakeDir(kTree + "/later");
  ASSERT_TRUE(WaitForWatches(4));
  testsupport::WriteFile(kTree + "/later/d.docx", "0123456789abcdef");
  EXPECT_TRUE(WaitFor([] { return HasRecord(8, false, kTree + "/later/d.docx"); }));
  testsupport::MakeDir(kOutside + "/folder/inner");
  testsupport::WriteFile(kOutside + "/folder/inner/e.docx", "0123456789abcdef");
  ASSERT_EQ(0, rename((kOutside + "/folder").c_str(), (kTree + "/moved").c_str()));
  EXPECT_TRUE(WaitFor([] { return HasRecord(64, true, kTree + "/moved"); }));
  ASSERT_TRUE(WaitForWatches(6));
  testsupport::WriteFile(kTree + "/moved/inner/f.docx", "0123456789abcdef");
  EXPECT_TRUE(WaitFor([] { return HasRecord(8, false, kTree + "/moved/inner/f.docx"); }));

  // A folder renamed within the tree keeps being watched under its new name.
  ASSERT_EQ(0, rename((kTree + "/moved").c_str(), (kTree + "/renamed").c_str()));
  EXPECT_TRUE(WaitFor([] { return HasRecord(64, true, kTree + "/renamed"); }));
  testsupport::WriteFile(kTree + "/renamed/inner/g.docx", "0123456789abcdef");
  EXPECT_TRUE(WaitFor([] { return HasRecord(8, false, kTree + "/renamed/inner/g.docx"); }));

  // Nothing under an ignored name, nothing outside the tree.
  testsupport::WriteFile(kTree + "/@eaDir/x/VIREOLENS_THUMB.png", "png");
  testsupport::WriteFile(kOutside + "/h.docx", "0123456789abcdef");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (const Json::Value& r : QueueRecords()) {
    EXPECT_EQ(std::string::npos, r["path"].asString().find("@eaDir")) << r;
    EXPECT_EQ(std::string::npos, r["path"].asString().find(kOutside)) << r;
  }
}

TEST_F(MonitorTest, RegistrationChangesApplyWithoutARestart) {
  Start(0);
  ASSERT_TRUE(MonitorQueue::Upsert(MonitorQueue(Registration({kTree})), "monitortest", 2));
  ASSERT_TRUE(WaitForWatches(3));
  testsupport::WriteFile(kTree + "/a.docx", "0123456789abcdef");
  EXPECT_TRUE(WaitFor([] { return HasRecord(8, false, kTree + "/a.docx"); }));

  ASSERT_TRUE(MonitorQueue::Upsert(MonitorQueue(Registration({kTree, kOutside})), "monitortest", 2));
  ASSERT_TRUE(WaitForWatches(4));
  testsupport::WriteFile(kOutside + "/b.docx", "0123456789abcdef");
  EXPECT_TRUE(WaitFor([] { return HasRecord(8, false, kOutside + "/b.docx"); }));

  ASSERT_TRUE(MonitorQueue::Delete(kQueue, "monitortest", 2));
  ASSERT_TRUE(WaitForWatches(0));
  unlink(kQueue.c_str());
  testsupport::WriteFile(kTree + "/c.docx", "0123456789abcdef");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(QueueRecords().empty());
}

}  // namespace
