// The pool's time limit, with a command that really runs past it (about two minutes).
#include <gtest/gtest.h>

#include <chrono>

#include "appliance_env.h"
#include "config_manager.h"
#include "converter/container_pool_manager.h"
#include "utils.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

TEST(PoolTimeLimit, ACommandPastTwoMinutesGives1001) {
  {
    ConfigManager mgr(SZF_CONFIG_PATH, 5);
    ConfigWriter writer(mgr);
    mgr.GetConfig()["vireolens-1"]["using"] = 0;
  }
  testsupport::LogMark log;
  std::vector<std::string> command = {"sleep", "130"};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(1001, ContainerPoolManager::Instance(MAX_USING_COUNT, MAX_MEMORY_COUNT,
                                                 PARALLEL_COUNT)
                      ->Execute(command, ContainerPoolManager::PRIORITY_HIGH));
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 119.0);
  EXPECT_LE(seconds, 126.0);
  EXPECT_TRUE(log.Contains("ExecuteCommand timeout"));
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
