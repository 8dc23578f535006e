// paperlens-start: the package's start step. Brings the shared state file into the new run
// (see CarryOverState), empties the staging area when no conversion of a live process can
// still be using it, then makes sure every container of the pool exists and runs, creating the
// missing ones with the staging area as their volumes.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config_manager.h"
#include "converter/converter.h"
#include "converter/process_owner.h"
#include "utils.h"
#include "utils_json.h"
#include "utils_log.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

using namespace VIREO::PAPERLENS;

namespace {

constexpr char kDocker[] = "/usr/local/bin/docker";
constexpr char kImage[] = "paperlens/converter";
// The package's default state file, which ConfigManager::Reset copies.
constexpr char kDefaultState[] = "/var/packages/Paperlens/target/conf/config";

bool IsContainerName(const std::string& name) { return name.compare(0, 5, "vireo") == 0; }

// Whether an entry's owner record names a process that still runs. A record without owner
// data comes from a run before owners were kept, and the process behind it cannot be running
// still: the start step is where those go.
bool OwnerLives(const Json::Value& record) {
  return record.isObject() && record["pid"].isIntegral() && record["start"].isIntegral() &&
         owner::IsAlive(record);
}

// Keeps the members of the object `entries` for which `keep(name, value)` holds; a value that
// is not an object becomes an empty one.
template <typename Keep>
void KeepMembers(Json::Value& entries, Keep keep) {
  if (!entries.isObject()) {
    entries = Json::Value(Json::objectValue);
    return;
  }
  for (const std::string& name : entries.getMemberNames()) {
    if (!keep(name, entries[name])) entries.removeMember(name);
  }
}

// Brings the live state into the new run: request processes of the old run may still be
// converting (the web server does not stop with the package), so their queue entries, markers
// and container slots stay, and so do the containers' counts. What dead processes left goes:
// their "runningFiles" markers, "runningQueue" and "waitingQueue" entries and owner records,
// and the "using" slots they held. Containers and members of the default file that are missing
// are added. `live` tells whether any entry of a live process remains.
void CarryOver(Json::Value& state, const Json::Value& defaults, bool& live) {
  Json::Value& owners = state["jobOwners"];
  KeepMembers(owners, [](const std::string&, const Json::Value& r) { return OwnerLives(r); });
  auto owned = [&owners](const std::string& id, const Json::Value&) { return owners.isMember(id); };

  Json::Value& running = state["runningQueue"];
  KeepMembers(running, owned);
  Json::Value& waiting = state["waitingQueue"];
  if (!waiting.isArray()) waiting = Json::Value(Json::arrayValue);
  const Json::ArrayIndex levels = std::max(defaults["waitingQueue"].size(), waiting.size());
  for (Json::ArrayIndex p = 0; p < levels; ++p) {
    KeepMembers(waiting[p], owned);
    live = live || !waiting[p].empty();
  }
  Json::Value& files = state["runningFiles"];
  KeepMembers(files, [](const std::string&, const Json::Value& r) { return OwnerLives(r); });
  live = live || !running.empty() || !files.empty();

  // A slot is in use for every running job of a live process on that container.
  for (const std::string& name : state.getMemberNames()) {
    if (!IsContainerName(name)) continue;
    Json::Value& container = state[name];
    if (!container.isObject()) container = Json::Value(Json::objectValue);
    int using_ = 0;
    const Json::Value& records = owners;  // read only: no member may appear by looking
    for (const std::string& id : running.getMemberNames()) {
      const Json::Value& runsOn = records[id]["container"];
      if (runsOn.isString() && runsOn.asString() == name) ++using_;
    }
    container["using"] = using_;
    if (!container["used"].isIntegral()) container["used"] = 0;
  }
  for (const std::string& name : defaults.getMemberNames()) {
    if (!state.isMember(name)) state[name] = defaults[name];
  }
}

// CarryOver on the state file, under its exclusive lock. A missing or unreadable file (or one
// that is not an object) is replaced by the default. False, logged, when the state could not
// be brought over; `live` is then true, so that nothing a process may still use is removed.
bool CarryOverState(bool& live) {
  live = false;
  Json::Value defaults;
  if (!json::FromFile(kDefaultState, defaults) || !defaults.isObject()) {
    live = true;
    return PL_ERR("the default state file %s is unreadable", kDefaultState);
  }
  ConfigManager state(SZF_CONFIG_PATH, LOCK_TIMEOUT_SECS);
  if (!state.LockW()) {
    live = true;
    return false;
  }
  if (!state.Load() || !state.GetConfig().isObject()) {
    PL_ERR("state file %s unreadable, starting from the default", SZF_CONFIG_PATH);
    state.GetConfig() = defaults;
  } else {
    CarryOver(state.GetConfig(), defaults, live);
  }
  if (!state.Save()) {
    live = true;
    return false;
  }
  return true;
}  // the manager releases the lock

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
  bool live = true;
  if (!CarryOverState(live)) rc = 1;

  std::string sourceDir, targetDir;
  if (!converter::GetStagingDirs(sourceDir, targetDir)) return 1;
  if (live) PL_ERR("the staging area is kept: conversions of running processes may use it");
  for (const std::string& dir : {sourceDir, targetDir}) {
    // The folders are made root's alone (the containers run as root). With no conversion left,
    // whatever is staged was left by a run that never finished.
    if (!converter::MakeStagingDir(dir)) return 1;
    if (!live) converter::EmptyStagingDir(dir);
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
