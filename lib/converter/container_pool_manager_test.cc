// The container pool with real processes, the real state file and the container stand-in.
#include "converter/container_pool_manager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "appliance_env.h"
#include "converter/process_owner.h"
#include "utils.h"
#include "utils_json.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

using P = ContainerPoolManager;
using Clock = std::chrono::steady_clock;

P* Pool() { return P::Instance(MAX_USING_COUNT, MAX_MEMORY_COUNT, PARALLEL_COUNT); }

Json::Value State() {
  Json::Value state;
  json::FromFile(SZF_CONFIG_PATH, state);
  return state;
}

void WriteState(const Json::Value& state) {
  ConfigManager mgr(SZF_CONFIG_PATH, 5);
  ConfigWriter writer(mgr);
  mgr.GetConfig() = state;
}

std::string Id(const std::vector<std::string>& command) {
  std::string id;
  for (const auto& c : command) id += c;
  return id;
}

// Runs Execute in a child process; the child exits with the result code - 1000.
pid_t ExecuteInChild(std::vector<std::string> command, P::Priority priority) {
  pid_t pid = fork();
  if (pid == 0) _exit(Pool()->Execute(command, priority) - 1000);
  return pid;
}

int ResultOf(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? 1000 + WEXITSTATUS(status) : -1;
}

// Waits until `pred` holds for the state file.
bool WaitFor(const std::function<bool(const Json::Value&)>& pred, int timeoutMs = 10000) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    if (pred(State())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool IsRunningIn(const Json::Value& state, const std::string& id, const std::string& container) {
  return state["runningQueue"].isMember(id) &&
         state["jobOwners"][id]["container"].asString() == container;
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Json::Value state;
    state["vireolens-1"]["using"] = 0;
    state["vireolens-1"]["used"] = 0;
    state["vireolens-2"]["using"] = 0;
    state["vireolens-2"]["used"] = 0;
    state["keep"] = "other members stay";
    WriteState(state);
  }

  // No job left in any queue, no slot left taken.
  void ExpectIdle() {
    Json::Value state = State();
    for (const auto& level : state["waitingQueue"]) EXPECT_TRUE(level.empty()) << level;
    EXPECT_TRUE(state["runningQueue"].empty()) << state["runningQueue"];
    EXPECT_TRUE(state["jobOwners"].empty()) << state["jobOwners"];
    EXPECT_EQ(0, state["vireolens-1"]["using"].asInt());
    EXPECT_EQ(0, state["vireolens-2"]["using"].asInt());
    EXPECT_EQ("other members stay", state["keep"].asString());
  }
};

TEST_F(PoolTest, LowPriorityTakesTheSecondContainerHighTheFirst) {
  std::vector<std::string> low = {"sleep", "1.5"};
  std::vector<std::string> high = {"sleep", "1.6"};
  pid_t a = ExecuteInChild(low, P::PRIORITY_LOW);
  ASSERT_TRUE(WaitFor([&](const Json::Value& s) { return IsRunningIn(s, Id(low), "vireolens-2"); }));
  pid_t b = ExecuteInChild(high, P::PRIORITY_HIGH);
  ASSERT_TRUE(
      WaitFor([&](const Json::Value& s) { return IsRunningIn(s, Id(high), "vireolens-1"); }));
  EXPECT_EQ(1000, ResultOf(a));
  EXPECT_EQ(1000, ResultOf(b));
  ExpectIdle();
  EXPECT_EQ(1, State()["vireolens-1"]["used"].asInt());
  EXPECT_EQ(1, State()["vireolens-2"]["used"].asInt());
}

TEST_F(PoolTest, TheExitStatusOfTheCommandIsNotJudged) {
  std::vector<std::string> failing = {"sh", "-c", "exit 3"};
  EXPECT_EQ(1000, Pool()->Execute(failing, P::PRIORITY_HIGH));
  ExpectIdle();
}

TEST_F(PoolTest, ANormalJobWaitsWhileAHighOneWaits) {
  Json::Value state = State();
  state["waitingQueue"][2]["a-high-job"] = true;
  state["jobOwners"]["a-high-job"] = owner::Self();  // a live owner
  WriteState(state);

  std::vector<std::string> normal = {"true"};
  pid_t child = ExecuteInChild(normal, P::PRIORITY_NORMAL);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  state = State();
  EXPECT_TRUE(state["waitingQueue"][1].isMember(Id(normal))) << state;
  EXPECT_FALSE(state["runningQueue"].isMember(Id(normal)));

  state["waitingQueue"][2].removeMember("a-high-job");
  state["jobOwners"].removeMember("a-high-job");
  WriteState(state);
  EXPECT_EQ(1000, ResultOf(child));
  ExpectIdle();
}

TEST_F(PoolTest, UsingNeverGoesNegative) {
  Pool()->DecUsingCount("vireolens-1");
  Pool()->DecUsingCount("vireolens-1");
  EXPECT_EQ(0, State()["vireolens-1"]["using"].asInt());
  Pool()->IncUsingCount("vireolens-1");
  EXPECT_EQ(1, State()["vireolens-1"]["using"].asInt());
  EXPECT_EQ(1, State()["vireolens-1"]["used"].asInt());
}

TEST_F(PoolTest, JobsOfAKilledProcessDoNotBlockThePool) {
  // One job runs in each container, then both callers are killed.
  std::vector<std::string> high = {"sleep", "30"};
  std::vector<std::string> low = {"sleep", "31"};
  pid_t a = ExecuteInChild(high, P::PRIORITY_HIGH);
  pid_t b = ExecuteInChild(low, P::PRIORITY_LOW);
  ASSERT_TRUE(WaitFor([&](const Json::Value& s) {
    return IsRunningIn(s, Id(high), "vireolens-1") && IsRunningIn(s, Id(low), "vireolens-2");
  }));
  kill(a, SIGKILL);
  kill(b, SIGKILL);
  ResultOf(a);
  ResultOf(b);

  // A waiting job of a process that is gone, too: it would keep every lower priority waiting.
  pid_t gone = fork();
  if (gone == 0) {
    pause();
    _exit(0);
  }
  Json::Value state = State();
  state["waitingQueue"][2]["a-dead-job"] = true;
  state["jobOwners"]["a-dead-job"] = owner::Of(gone);
  WriteState(state);
  kill(gone, SIGKILL);
  ResultOf(gone);

  testsupport::LogMark log;
  std::vector<std::string> next = {"true"};
  pid_t c = ExecuteInChild(next, P::PRIORITY_NORMAL);
  EXPECT_EQ(1000, ResultOf(c));
  EXPECT_TRUE(log.Contains("reclaiming the job of process"));
  ExpectIdle();
}

TEST_F(PoolTest, AJobThatNoContainerCanTakeIsRefused) {
  Json::Value state;
  state["vireolens-1"]["using"] = 0;
  WriteState(state);
  std::vector<std::string> low = {"true"};
  pid_t child = ExecuteInChild(low, P::PRIORITY_LOW);
  EXPECT_EQ(1003, ResultOf(child));
  state = State();
  EXPECT_FALSE(state["waitingQueue"][0].isMember(Id(low)));
  EXPECT_TRUE(state["jobOwners"].empty());
}

TEST_F(PoolTest, ADockerClientThatCannotStartGives1002) {
  // Put something that cannot be executed in the client's place, for this test only.
  ASSERT_EQ(0, mount("/etc/hostname", "/usr/local/bin/docker", nullptr, MS_BIND, nullptr));
  testsupport::LogMark log;
  std::vector<std::string> command = {"true"};
  EXPECT_EQ(1002, Pool()->Execute(command, P::PRIORITY_HIGH));
  EXPECT_TRUE(log.Contains("ExecuteCommand failed: -1"));
  ASSERT_EQ(0, umount("/usr/local/bin/docker"));
  ExpectIdle();
}

TEST_F(PoolTest, TheSameJobTwiceIsRefused) {
  std::vector<std::string> command = {"true", "twice"};
  Json::Value state = State();
  state["waitingQueue"][2][Id(command)] = true;
  state["runningQueue"][Id(command)] = true;
  WriteState(state);
  EXPECT_EQ(1003, Pool()->Execute(command, P::PRIORITY_HIGH));
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
