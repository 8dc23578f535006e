#include "appliance_server.h"

#include <stdlib.h>
#include <sys/wait.h>

namespace paperlens_test {

namespace {

int RunServe(const std::string& args) {
  std::string cmd = "/bin/bash '" + ApplianceServer::ServeScript() + "' " + args + " </dev/null";
  int rc = system(cmd.c_str());
  return rc == -1 ? -1 : (WIFEXITED(rc) ? WEXITSTATUS(rc) : 128);
}

}  // namespace

std::string ApplianceServer::ServeScript() {
  const char* repo = getenv("APPLIANCE_REPO");
  std::string root = repo != nullptr && *repo != '\0' ? repo : PAPERLENS_SOURCE_DIR;
  return root + "/harbor/appliance/serve";
}

ApplianceServer::ApplianceServer(int port) : _port(port) {
  int rc = RunServe("--port " + std::to_string(port) + " --background");
  _ok = rc == 0;
  if (!_ok) _error = "serve --background exited with " + std::to_string(rc);
}

ApplianceServer::~ApplianceServer() {
  if (_ok) RunServe("--port " + std::to_string(_port) + " --stop");
}

}  // namespace paperlens_test
