// Helpers for the docker stand-in's tests, which run inside the appliance as root and drive the
// staged /usr/local/bin/docker as the package does.
#ifndef HARBOR_TOOLS_DOCKER_DOCKER_FIXTURE_H_
#define HARBOR_TOOLS_DOCKER_DOCKER_FIXTURE_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "appliance_env.h"

namespace harbor {
namespace docker {
namespace testing {

// The staging area: on the host side, and as every converter container sees it.
constexpr const char* kHostStaging = "/volume1/docker/@tmp/Paperlens";
constexpr const char* kHostSource = "/volume1/docker/@tmp/Paperlens/@tmp/source/";
constexpr const char* kHostTarget = "/volume1/docker/@tmp/Paperlens/@tmp/target/";
constexpr const char* kSource = "/Paperlens/@tmp/source/";
constexpr const char* kTarget = "/Paperlens/@tmp/target/";
constexpr const char* kImage = "paperlens/converter";

struct RunResult {
  int status = -1;  // exit status, 128 + signal when killed, -1 when it could not run
  std::string out;
  std::string err;
};

// Runs argv[0] (looked up in PATH) with `input` on its standard input and waits.
RunResult RunCommand(const std::vector<std::string>& argv, const std::string& input = "");

// Runs /usr/local/bin/docker with `args`.
RunResult Docker(const std::vector<std::string>& args, const std::string& input = "");

// Starts /usr/local/bin/docker with `args` in the background, output discarded.
pid_t SpawnDocker(const std::vector<std::string>& args);

// Waits up to `ms` for `pid`; its exit status (128 + signal), or -1 on time-out.
int WaitFor(pid_t pid, int ms);

// Records a converter container as the package's start step does: the source staging folder
// read-only, the target one writable. Empties the staging folders. Fails the test on error.
void CreateConverterContainer(const std::string& name);

using testsupport::Exists;
using testsupport::ReadFile;  // "" when missing
using testsupport::WriteFile;

// Processes anywhere in the appliance whose arguments, joined by spaces, are `cmdline`.
std::vector<pid_t> ProcessesRunning(const std::string& cmdline);

}  // namespace testing
}  // namespace docker
}  // namespace harbor

#endif  // HARBOR_TOOLS_DOCKER_DOCKER_FIXTURE_H_
