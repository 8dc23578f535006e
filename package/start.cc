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

int Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return VLIBCExecv(argv[0], argv.data(), 1);
}

}  // namespace

int main() {
  int rc = 0;
  if (!ConfigManager::Reset(SZF_CONFIG_PATH)) rc = 1;

  std::string sourceDir, targetDir;
  if (!converter::GetStagingDirs(sourceDir, targetDir)) return 1;
  for (const std::string& dir : {sourceDir, targetDir}) {
    // Nothing converts while the package starts: whatever is staged was left by a run that
    // never finished.
    if (VLIBCExec("/usr/bin/find", dir.c_str(), "-mindepth", "1", "-delete") < 0) {
      PL_ERR("cannot empty %s", dir.c_str());
    }
    if (VIREOFSMkdirP(dir.c_str(), nullptr, TRUE, UID_ERR, UID_ERR, 0755) != ERR_SUCCESS) {
      PL_ERR("cannot create %s", dir.c_str());
      return 1;
    }
  }
  ConfigManager state(SZF_CONFIG_PATH, LOCK_TIMEOUT_SECS);
  {
    ConfigReader reader(state);
  }
  for (const std::string& name : state.GetConfig().getMemberNames()) {
    if (name.compare(0, 5, "vireo") != 0) continue;
    if (Run({kDocker, "inspect", name}) == 0) {
      Run({kDocker, "start", name});
      continue;
    }
    std::string source = sourceDir.substr(0, sourceDir.size() - 1);
    std::string target = targetDir.substr(0, targetDir.size() - 1);
    std::string sourceMount = std::string(SZF_COVERT_SOURCE_DIR);
    std::string targetMount = std::string(SZF_COVERT_TARGET_DIR);
    sourceMount.pop_back();
    targetMount.pop_back();
    if (Run({kDocker, "create", "--name", name, "-v", source + ":" + sourceMount + ":ro", "-v",
             target + ":" + targetMount, kImage}) != 0 ||
        Run({kDocker, "start", name}) != 0) {
      PL_ERR("cannot create container %s", name.c_str());
      rc = 1;
    }
  }
  return rc;
}
