// Images and the sandbox one exec runs in.
//
// An image is a folder `<images dir>/<name>/` (a name such as "paperlens/converter") holding what the converter image adds to the
// host's system (the host has the same Debian packages installed):
//   environment  KEY=VALUE lines ('#' starts a comment), the image's variables
//   diversions   "DISTRIBUTION_PATH KEPT_AT" lines: files the image replaces but still needs,
//                kept at KEPT_AT (which must lie under /usr/local, the image's own)
//   rootfs/      files bound over the host's at the same paths
//   command      the container's main process, one argument a line (the Dockerfile's CMD);
//                without it a container has none
// and the Dockerfile that builds the same image for a real engine.
#ifndef HARBOR_TOOLS_DOCKER_SANDBOX_H_
#define HARBOR_TOOLS_DOCKER_SANDBOX_H_

#include <string>
#include <utility>
#include <vector>

#include "container_store.h"

namespace harbor {
namespace docker {

struct Image {
  std::string name;  // without tag
  std::string dir;
  std::vector<std::string> env;  // "KEY=VALUE"
  std::vector<std::pair<std::string, std::string>> diversions;
  std::vector<std::string> files;  // paths inside the container, one per file of rootfs/
  std::vector<std::string> command;  // the main process; empty: none
};

// Docker's rule for repository names: lower-case components joined by '/' (never "..").
bool IsValidImageName(const std::string& name);

// Reads image `ref` ("NAME" or "NAME:latest"). False with `*message` set when there is no such
// image or its folder is malformed.
bool LoadImage(const std::string& imagesDir, const std::string& ref, Image* image,
               std::string* message);

// The environment of an exec: HOME, then the image's variables, then the container's, then the
// exec's own, a later KEY replacing an earlier one. PATH defaults to the system folders only.
std::vector<std::string> ExecEnvironment(const Image& image, const Container& c,
                                         const std::vector<std::string>& execEnv);

struct ExecRequest {
  std::vector<std::string> env;  // "KEY=VALUE" given to this exec
  std::string workdir = "/";
  std::vector<std::string> command;  // REQUIRES: not empty
};

// Exit statuses of the stand-in itself, as docker's.
constexpr int kExitSandboxFailed = 125;  // the container could not be entered
constexpr int kExitCannotInvoke = 126;   // the command exists but cannot be run
constexpr int kExitNotFound = 127;       // no such command in the container

// Runs the request's command in container `c` (home and /tmp at the given host folders) and
// waits for it. Returns the command's exit status (128 + signal when it was killed), or one of
// the statuses above. The caller's standard streams are the command's; nothing else leaks in.
// Everything started inside ends with the command's exec, and with this process if it dies.
int RunInSandbox(const Container& c, const Image& image, const std::string& homeDir,
                 const std::string& tmpDir, const ExecRequest& req);

// Starts the container's main process (the image's command, in a sandbox of its own like an
// exec's, environment and mounts the same) unless it runs already, and returns at once. It
// lives on after this process, until the container is removed or the appliance ends; its
// output goes to `logPath`. `mainLock` is the file whose exclusive lock marks it running.
void StartMain(const Container& c, const Image& image, const std::string& homeDir,
               const std::string& tmpDir, const std::string& mainLock,
               const std::string& logPath);

}  // namespace docker
}  // namespace harbor

#endif  // HARBOR_TOOLS_DOCKER_SANDBOX_H_
