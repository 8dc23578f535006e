// paperlens-start: the package's start step. Resets the shared state file from the package's
// default (so queues, container counters and conversion markers left by processes of an earlier
// run never survive a restart), empties the staging area (files staged by conversions that
// were killed), then makes sure every container of the pool exists and runs, creating the
// missing ones with the staging area as their volumes.
#include <unistd.h>

#include <string>
#include <vector>

#include "config_manager.h"
#include "converter/converter.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

using namespace VIREO::PAPERLENS;

namespace {

constexpr char kDocker[] = "/usr/local/bin/docker";
constexpr char kImage[] = "paperlens/converter";

// Runs the docker client quietly (its answers are not for the appliance's console); its exit
// status.
int Docker(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.resize(8, nullptr);
  return VLIBCExecl(kDocker, 187, argv[0], argv[1], argv[2], argv[3], argv[4], argv[5], argv[6],
                    argv[7], nullptr);
}

}  // namespace

int main() {
  int rc = 0;
  if (!ConfigManager::Reset(SZF_CONFIG_PATH)) rc = 1;

  std::string sourceDir, targetDir;
  if (!converter::GetStagingDirs(sourceDir, targetDir)) return 1;
  for (const std::string& dir : {sourceDir, targetDir}) {
    // Nothing converts while the package starts: whatever is staged was left by a run that
    // never finished. The folders are made root's alone (the containers run as root).
    if (!converter::MakeStagingDir(dir)) return 1;
    converter::EmptyStagingDir(dir);
  }
  ConfigManager state(SZF_CONFIG_PATH, LOCK_TIMEOUT_SECS);
  {
    ConfigReader reader(state);
  }
  for (const std::string& name : state.GetConfig().getMemberNames()) {
    if (name.compare(0, 5, "vireo") != 0) continue;
    if (Docker({"inspect", name}) == 0) {
      Docker({"start", name});
      continue;
    }
    std::string source = sourceDir.substr(0, sourceDir.size() - 1);
    std::string target = targetDir.substr(0, targetDir.size() - 1);
    std::string sourceMount = std::string(SZF_COVERT_SOURCE_DIR);
    std::string targetMount = std::string(SZF_COVERT_TARGET_DIR);
    sourceMount.pop_back();
    targetMount.pop_back();
    if (Docker({"create", "--name", name, "-v", source + ":" + sourceMount + ":ro", "-v",
                target + ":" + targetMount, kImage}) != 0 ||
        Docker({"start", name}) != 0) {
      PL_ERR("cannot create container %s", name.c_str());
      rc = 1;
    }
  }
  return rc;
}
