// Shared JSON files under the inter-process lock, with real processes contending.
#include "config_manager.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string.h>

#include <chrono>
#include <functional>
#include <thread>

#include "appliance_env.h"
#include "utils_json.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

ino_t Inode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A child process that runs `body` and exits with 0, or 1 when `body` returns false.
pid_t Spawn(const std::function<bool()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body() ? 0 : 1);
  return pid;
}

int Join(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A pipe the parent waits on until a child says it holds its lock.
class Signal {
 public:
  Signal() { EXPECT_EQ(0, pipe(fds_)); }
  ~Signal() {
    close(fds_[0]);
    close(fds_[1]);
  }
  void Notify() { EXPECT_EQ(1, write(fds_[1], "x", 1)); }
  void Wait() {
    char c;
    EXPECT_EQ(1, read(fds_[0], &c, 1));
  }

 private:
  int fds_[2];
};

class ConfigManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::MakeDir(kDir, 0755);
    path_ = kDir + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override { testsupport::RemoveAll(kDir); }

  std::string Content() const { return testsupport::ReadFile(path_); }

  const std::string kDir = "/var/packages/Paperlens/etc/cfgtest";
  std::string path_;
};

TEST_F(ConfigManagerTest, AMissingFileIsCreatedEmptyAndLoadsAsNothing) {
  ConfigManager mgr(path_, 5);
  EXPECT_TRUE(testsupport::Exists(path_));
  EXPECT_EQ("", Content());
  EXPECT_FALSE(mgr.Load());
  EXPECT_TRUE(mgr.GetConfig().isNull());
  { ConfigWriter writer(mgr); }
  EXPECT_EQ("null", Content());

  {
    ConfigWriter writer(mgr);
    mgr.GetConfig()["runningFiles"]["/volume1/docs/a.docx:origin"] = Json::objectValue;
  }
  EXPECT_TRUE(mgr.IsSuccess());
  EXPECT_EQ("{\"runningFiles\":{\"/volume1/docs/a.docx:origin\":{}}}", Content());

  // An existing file keeps its content when another manager opens it.
  ConfigManager other(path_, 5);
  ASSERT_TRUE(other.Load());
  EXPECT_TRUE(other.GetConfig()["runningFiles"].isMember("/volume1/docs/a.docx:origin"));
}

TEST_F(ConfigManagerTest, AFailedLoadKeepsTheValueInMemory) {
  testsupport::WriteFile(path_, "{\"a\":1}");
  ConfigManager mgr(path_, 5);
  ASSERT_TRUE(mgr.Load());
  testsupport::WriteFile(path_, "{broken");
  EXPECT_FALSE(mgr.Load());
  EXPECT_EQ(1, mgr.GetConfig()["a"].asInt());
}

TEST_F(ConfigManagerTest, LockStatesFollowTheStateMachine) {
  ConfigManager mgr(path_, 5);
  EXPECT_EQ(ConfigManager::LOCK_NONE_, mgr.GetLockType());
  EXPECT_TRUE(mgr.LockR());
  EXPECT_EQ(ConfigManager::LOCK_SHARE_, mgr.GetLockType());
  EXPECT_TRUE(mgr.LockW());  // drops the shared lock first
  EXPECT_EQ(ConfigManager::LOCK_EX_, mgr.GetLockType());
  EXPECT_TRUE(mgr.LockR());  // keeps the exclusive lock
  EXPECT_EQ(ConfigManager::LOCK_EX_, mgr.GetLockType());
  EXPECT_TRUE(mgr.Unlock());
  EXPECT_EQ(ConfigManager::LOCK_NONE_, mgr.GetLockType());
  EXPECT_TRUE(mgr.Unlock());
}

TEST_F(ConfigManagerTest, AWriterInsideAReaderReturnsToTheSharedLock) {
  ConfigManager mgr(path_, 5);
  ConfigReader reader(mgr);
  EXPECT_EQ(ConfigManager::LOCK_SHARE_, mgr.GetLockType());
  {
    ConfigWriter writer(mgr);
    EXPECT_EQ(ConfigManager::LOCK_EX_, mgr.GetLockType());
    mgr.GetConfig()["k"] = "v";
  }
  EXPECT_TRUE(mgr.IsSuccess());
  EXPECT_EQ(ConfigManager::LOCK_SHARE_, mgr.GetLockType());
  EXPECT_EQ("{\"k\":\"v\"}", Content());
}

TEST_F(ConfigManagerTest, NestedWritersSaveOnceAtTheOuterEnd) {
  testsupport::WriteFile(path_, "{}");
  ConfigManager mgr(path_, 5);
  ino_t before = Inode(path_);
  {
    ConfigWriter outer(mgr);
    {
      ConfigWriter inner(mgr);
      mgr.GetConfig()["inner"] = 1;
    }
    // A save replaces the file; the inner scope did not save.
    EXPECT_EQ(before, Inode(path_));
    EXPECT_EQ("{}", Content());
    { ConfigReader reader(mgr); }
    EXPECT_EQ(ConfigManager::LOCK_EX_, mgr.GetLockType());
    mgr.GetConfig()["outer"] = 2;
  }
  EXPECT_NE(before, Inode(path_));
  EXPECT_EQ("{\"inner\":1,\"outer\":2}", Content());
  EXPECT_EQ(ConfigManager::LOCK_NONE_, mgr.GetLockType());
}

TEST_F(ConfigManagerTest, ReadersShareAndWritersExclude) {
  ConfigManager setup(path_, 5);
  Signal held;
  Signal release;
  pid_t reader = Spawn([&] {
    ConfigManager mgr(path_, 5);
    ConfigReader r(mgr);
    held.Notify();
    release.Wait();
    return mgr.GetLockType() == ConfigManager::LOCK_SHARE_;
  });
  held.Wait();

  ConfigManager mgr(path_, 1);
  auto start = Clock::now();
  EXPECT_TRUE(mgr.LockR());  // shared with the child's reader
  EXPECT_LT(SecondsSince(start), 0.5);
  EXPECT_TRUE(mgr.Unlock());

  testsupport::LogMark log;
  start = Clock::now();
  EXPECT_FALSE(mgr.LockW());  // the child's shared lock keeps writers out
  EXPECT_GE(SecondsSince(start), 1.0);
  EXPECT_EQ(ConfigManager::LOCK_NONE_, mgr.GetLockType());
  EXPECT_TRUE(log.Contains("file lock falied: " + path_));

  release.Notify();
  EXPECT_EQ(0, Join(reader));
  EXPECT_TRUE(mgr.LockW());
}

TEST_F(ConfigManagerTest, AWaitingReaderSeesTheWritersSave) {
  ConfigManager setup(path_, 5);
  Signal held;
  pid_t writer = Spawn([&] {
    ConfigManager mgr(path_, 5);
    ConfigWriter w(mgr);
    held.Notify();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    mgr.GetConfig()["from"] = "child";
    return true;
  });
  held.Wait();
  ConfigManager mgr(path_, 5);
  {
    ConfigReader r(mgr);  // waits for the writer's unlock
    EXPECT_TRUE(mgr.IsSuccess());
    EXPECT_EQ("child", mgr.GetConfig()["from"].asString());
  }
  EXPECT_EQ(0, Join(writer));
}

TEST_F(ConfigManagerTest, TheDefaultTimeoutIsFiveSeconds) {
  ConfigManager setup(path_, 5);
  Signal held;
  Signal release;
  pid_t child = Spawn([&] {
    ConfigManager mgr(path_, 5);
    ConfigWriter w(mgr);
    held.Notify();
    release.Wait();
    return true;
  });
  held.Wait();
  ConfigManager mgr(path_, 5);
  auto start = Clock::now();
  {
    ConfigReader r(mgr);
    EXPECT_FALSE(mgr.IsSuccess());
  }
  EXPECT_GE(SecondsSince(start), 5.0);
  release.Notify();
  EXPECT_EQ(0, Join(child));
}

// Many processes each adding to a counter: every update lands, none is lost to a torn file or
// to a lock broken by the file's replacement.
TEST_F(ConfigManagerTest, ConcurrentWritersLoseNoUpdate) {
  {
    ConfigManager mgr(path_, 5);
    ConfigWriter w(mgr);
    mgr.GetConfig()["vireolens1"]["used"] = 0;
    mgr.GetConfig()["keep"] = "the pool's entries";
  }
  constexpr int kProcesses = 6;
  constexpr int kRounds = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(Spawn([&] {
      ConfigManager mgr(path_, 5);
      for (int i = 0; i < kRounds; ++i) {
        ConfigWriter w(mgr);
        Json::Value& used = mgr.GetConfig()["vireolens1"]["used"];
        used = used.asInt() + 1;
      }
      return mgr.IsSuccess();
    }));
  }
  // Readers meanwhile never see a torn or empty file.
  int reads = 0;
  for (int i = 0; i < 200; ++i) {
    ConfigManager mgr(path_, 5);
    ConfigReader r(mgr);
    ASSERT_TRUE(mgr.IsSuccess());
    ASSERT_TRUE(mgr.GetConfig().isObject()) << i;
    ++reads;
  }
  for (pid_t pid : children) EXPECT_EQ(0, Join(pid));
  ConfigManager mgr(path_, 5);
  ASSERT_TRUE(mgr.Load());
  EXPECT_EQ(kProcesses * kRounds, mgr.GetConfig()["vireolens1"]["used"].asInt());
  EXPECT_EQ("the pool's entries", mgr.GetConfig()["keep"].asString());
  EXPECT_EQ(200, reads);
}

TEST_F(ConfigManagerTest, AFullDiskLeavesTheOldFileIntact) {
  const std::string small = kDir + "/small";
  testsupport::MakeDir(small, 0755);
  ASSERT_EQ(0, mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k")) << strerror(errno);
  const std::string file = small + "/config";
  {
    ConfigManager mgr(file, 5);
    ConfigWriter w(mgr);
    mgr.GetConfig()["vireolens1"]["using"] = 0;
  }
  const std::string before = testsupport::ReadFile(file);
  // Fill the disk, then try to save something large.
  testsupport::Shell("dd if=/dev/zero of=" + small + "/filler bs=4k count=64 2>/dev/null");
  testsupport::LogMark log;
  ConfigManager mgr(file, 5);
  {
    ConfigWriter w(mgr);
    mgr.GetConfig()["big"] = std::string(32 * 1024, 'x');
  }
  EXPECT_FALSE(mgr.IsSuccess());
  EXPECT_EQ(before, testsupport::ReadFile(file));
  EXPECT_TRUE(log.Contains("config " + file + " save failed"));
  ASSERT_EQ(0, umount(small.c_str()));
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
