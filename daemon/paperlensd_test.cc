// The daemon program: start-up checks, single instance, pid file, signals, and the queue it
// finds at start (records written while it was down, tasks an earlier run left queued).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "TaskDB.h"
#include "appliance_env.h"
#include "path.h"
#include "utils.h"
#include "utils_json.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

using testsupport::Exists;

const std::string kDir = "/volume1/docs/daemon";

bool WaitFor(const std::function<bool()>& cond, int ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

int RunDaemon() { return VLIBCExec(SZF_INDEX_DAEMON, nullptr, nullptr, nullptr, nullptr); }

pid_t DaemonPid() {
  pid_t pid = VLIBCReadPidFile(SZF_PIDPATH);
  return pid > 0 && VLIBCProcAlive(pid) ? pid : -1;
}

std::string PlantedStream(const std::string& file) {
  std::string ea;
  EXPECT_TRUE(path::RealPathToEAPath(file, ea, SZK_THUMB_TYPE));
  testsupport::WriteFile(ea, "generated", 0600);
  return ea;
}

// Daemons alive in this appliance (its own PID namespace), by their command name.
int RunningDaemons() {
  int n = 0;
  DIR* proc = opendir("/proc");
  while (struct dirent* e = proc != nullptr ? readdir(proc) : nullptr) {
    std::ifstream comm(std::string("/proc/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "paperlensd") {
      std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
      std::string pid, command, state;
      stat >> pid >> command >> state;
      if (state != "Z") ++n;
    }
  }
  if (proc != nullptr) closedir(proc);
  return n;
}

class PaperlensdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::MakeDir(kDir);
    unlink(SZF_INDEX_QUEUE);
    unlink(SZF_INDEX_QUEUE_WORKING);
  }
  void TearDown() override {
    StopDaemon();
    testsupport::RemoveAll(kDir);
    unlink(SZF_ENABLE_INDEX);
  }
  void StopDaemon() {
    pid_t pid = DaemonPid();
    if (pid > 0) {
      kill(pid, SIGTERM);
      WaitFor([pid] { return !VLIBCProcAlive(pid); });
    }
  }
};

TEST_F(PaperlensdTest, RefusesToStartWithoutTheMarker) {
  unlink(SZF_ENABLE_INDEX);
  testsupport::LogMark mark;
  EXPECT_EQ(1, RunDaemon());
  EXPECT_TRUE(mark.Contains("Failed [!VLIBCFileExist(SZF_ENABLE_INDEX)]"));
  EXPECT_TRUE(mark.Contains("Failed [!gDaemon.Init()]"));
  EXPECT_FALSE(Exists(SZF_PIDPATH));
}

TEST_F(PaperlensdTest, OneInstanceAPidFileAndAQuietStopOnSigterm) {
  testsupport::WriteFile(SZF_ENABLE_INDEX, "");
  // A stale pid file does not keep it from starting.
  testsupport::WriteFile(SZF_PIDPATH, "999999\n");
  ASSERT_EQ(0, RunDaemon());
  ASSERT_TRUE(WaitFor([] { return DaemonPid() > 0; }));
  const pid_t first = DaemonPid();
  EXPECT_NE(999999, first);

  EXPECT_EQ(0, RunDaemon());  // another instance lives: nothing happens
  EXPECT_EQ(first, VLIBCReadPidFile(SZF_PIDPATH));

  ASSERT_EQ(0, kill(first, SIGTERM));
  EXPECT_TRUE(WaitFor([first] { return !VLIBCProcAlive(first); }));
  EXPECT_FALSE(Exists(SZF_PIDPATH));
}

TEST_F(PaperlensdTest, RecordsAndTasksLeftWhileItWasDownAreDoneAtStart) {
  testsupport::WriteFile(SZF_ENABLE_INDEX, "");
  testsupport::MakeDir(kDir + "/queued");
  testsupport::MakeDir(kDir + "/tasked");
  testsupport::WriteFile(kDir + "/queued/a.docx", "0123456789abcdef");
  testsupport::WriteFile(kDir + "/tasked/b.docx", "0123456789abcdef");
  const std::string queuedStream = PlantedStream(kDir + "/queued/a.docx");
  const std::string taskedStream = PlantedStream(kDir + "/tasked/b.docx");

  // A removal record in the queue file, and a removal task already in the database.
  Json::Value record(Json::objectValue);
  record["event"] = 131072;
  record["is_dir"] = true;
  record["path"] = kDir + "/queued";
  std::ofstream(SZF_INDEX_QUEUE) << json::ToString(record) << "\n";
  {
    TaskDB db;
    ASSERT_TRUE(db.OpenDB());
    ASSERT_TRUE(db.AppendTask({TASK_OP_REMOVE, true, "", kDir + "/tasked", 0}));
  }
  ASSERT_EQ(0, RunDaemon());
  EXPECT_TRUE(WaitFor([&] { return !Exists(queuedStream) && !Exists(taskedStream); }));
  EXPECT_TRUE(WaitFor([] { return !Exists(SZF_INDEX_QUEUE) && !Exists(SZF_INDEX_QUEUE_WORKING); }));

  // Records appended while it runs wake it.
  const std::string later = PlantedStream(kDir + "/queued/a.docx");
  std::ofstream(SZF_INDEX_QUEUE, std::ios::app) << json::ToString(record) << "\n";
  EXPECT_TRUE(WaitFor([&] { return !Exists(later); }));
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  std::vector<TaskDB::Task> tasks;
  EXPECT_TRUE(WaitFor([&] { return db.GetTasks(tasks, 0) && tasks.empty(); }));
}

TEST_F(PaperlensdTest, ThePackageStartStepStartsItWhileIndexingIsOnAndStopEndsIt) {
  const std::string script = "/var/packages/Paperlens/target/scripts/start-stop-status";
  unlink(SZF_ENABLE_INDEX);
  ASSERT_EQ(0, testsupport::Shell(script + " start"));
  EXPECT_EQ(-1, DaemonPid());

  testsupport::WriteFile(SZF_ENABLE_INDEX, "");
  ASSERT_EQ(0, testsupport::Shell(script + " start"));
  ASSERT_TRUE(WaitFor([] { return DaemonPid() > 0; }));
  const pid_t pid = DaemonPid();
  ASSERT_EQ(0, testsupport::Shell(script + " stop"));
  EXPECT_TRUE(WaitFor([pid] { return !VLIBCProcAlive(pid); }));
  EXPECT_FALSE(Exists(SZF_PIDPATH));
}

TEST_F(PaperlensdTest, TwoStartsAtOnceLeaveOneDaemon) {
  testsupport::WriteFile(SZF_ENABLE_INDEX, "");
  std::vector<std::thread> starts;
  for (int i = 0; i < 4; ++i) starts.emplace_back([] { RunDaemon(); });
  for (std::thread& t : starts) t.join();
  ASSERT_TRUE(WaitFor([] { return DaemonPid() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(1, RunningDaemons());
  EXPECT_EQ(DaemonPid(), VLIBCReadPidFile(SZF_PIDPATH));
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
