// The container pool: priority queues and container slots in the shared state file.
#include "converter/container_pool_manager.h"

#include <sys/resource.h>
#include <unistd.h>

#include <memory>

#include "converter/process_owner.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {

namespace {

constexpr char kDocker[] = "/usr/local/bin/docker";
constexpr char kWaitingQueue[] = "waitingQueue";
constexpr char kRunningQueue[] = "runningQueue";
constexpr char kJobOwners[] = "jobOwners";
constexpr int kTimeLimitStatus = 124;  // what `timeout` exits with when the limit expired

bool IsContainerName(const std::string& name) { return name.compare(0, 5, "vireo") == 0; }

// waitingQueue[priority], or a null value when missing.
const Json::Value& WaitingLevel(const Json::Value& config, int priority) {
  static const Json::Value kNull;
  const Json::Value& queue = config[kWaitingQueue];
  if (!queue.isArray() || static_cast<int>(queue.size()) <= priority) return kNull;
  return queue[priority];
}

bool HasMembers(const Json::Value& v) { return v.isObject() && !v.empty(); }

}  // namespace

ContainerPoolManager* ContainerPoolManager::Instance(int maxUsingCount, int maxMemory,
                                                     int parallelCount) {
  static std::unique_ptr<ContainerPoolManager> instance(
      new ContainerPoolManager(maxUsingCount, maxMemory, parallelCount));
  return instance.get();
}

ContainerPoolManager::ContainerPoolManager(int maxUsingCount, int maxMemory, int parallelCount)
    : _maxUsingCount(maxUsingCount),
      _maxMemory(maxMemory),
      _parallelCount(parallelCount),
      _confMgr(SZF_CONFIG_PATH, LOCK_TIMEOUT_SECS) {}

ContainerPoolManager::~ContainerPoolManager() = default;

int ContainerPoolManager::Execute(std::vector<std::string>& command, Priority priority) {
  std::string id;
  for (const auto& part : command) id += part;
  Task task{id, command, priority};

  if (IsJobExist(task)) {
    PL_FAILED("IsJobExist(task)");
    return kRefused;
  }
  AddWaitingQueue(task);
  std::string container;
  if (!WaitToExecute(task, container)) {
    ConfigWriter writer(_confMgr);
    RemoveWatitingQueue(task);
    _confMgr.GetConfig()[kJobOwners].removeMember(id);
    return kRefused;
  }
  int rc = ExecuteCommand(task, container);
  {
    // Both steps in one transaction: a process that dies in between must not leave its slot to
    // be given back twice.
    ConfigWriter writer(_confMgr);
    DecUsingCount(container);
    RemoveRunningQueue(task);
  }
  return rc;
}

bool ContainerPoolManager::IsJobExist(Task& task) {
  ConfigReader reader(_confMgr);
  const Json::Value& config = _confMgr.GetConfig();
  const Json::Value& level = WaitingLevel(config, task.priority);
  return level.isObject() && level.isMember(task.id) && config[kRunningQueue].isObject() &&
         config[kRunningQueue].isMember(task.id);
}

void ContainerPoolManager::AddWaitingQueue(Task& task) {
  ConfigWriter writer(_confMgr);
  Json::Value& config = _confMgr.GetConfig();
  if (!config.isObject()) config = Json::Value(Json::objectValue);
  Json::Value& queue = config[kWaitingQueue];
  if (!queue.isArray()) queue = Json::Value(Json::arrayValue);
  while (static_cast<int>(queue.size()) <= task.priority) queue.append(Json::Value());
  if (!queue[task.priority].isObject()) queue[task.priority] = Json::Value(Json::objectValue);
  queue[task.priority][task.id] = true;
  Json::Value record = owner::Self();
  record["priority"] = static_cast<int>(task.priority);
  config[kJobOwners][task.id] = record;
}

void ContainerPoolManager::RemoveWatitingQueue(Task& task) {
  ConfigWriter writer(_confMgr);
  Json::Value& queue = _confMgr.GetConfig()[kWaitingQueue];
  if (queue.isArray() && static_cast<int>(queue.size()) > task.priority &&
      queue[task.priority].isObject()) {
    queue[task.priority].removeMember(task.id);
  }
}

void ContainerPoolManager::AddRunningQueue(Task& task) {
  ConfigWriter writer(_confMgr);
  Json::Value& running = _confMgr.GetConfig()[kRunningQueue];
  if (!running.isObject()) running = Json::Value(Json::objectValue);
  running[task.id] = true;
}

void ContainerPoolManager::RemoveRunningQueue(Task& task) {
  ConfigWriter writer(_confMgr);
  Json::Value& config = _confMgr.GetConfig();
  if (config[kRunningQueue].isObject()) config[kRunningQueue].removeMember(task.id);
  if (config[kJobOwners].isObject()) config[kJobOwners].removeMember(task.id);
}

bool ContainerPoolManager::IsHighestPriority(Task& task) {
  ConfigReader reader(_confMgr);
  const Json::Value& config = _confMgr.GetConfig();
  const Json::Value& high = WaitingLevel(config, PRIORITY_HIGH);
  if (high.isObject() && high.isMember(task.id)) return true;
  if (HasMembers(high)) return false;
  const Json::Value& normal = WaitingLevel(config, PRIORITY_NORMAL);
  if (normal.isObject() && normal.isMember(task.id)) return true;
  return !HasMembers(normal);
}

void ContainerPoolManager::AdjustUsingCount(const std::string& name, int delta) {
  ConfigWriter writer(_confMgr);
  Json::Value& container = _confMgr.GetConfig()[name];
  int using_ = container["using"].isNumeric() ? container["using"].asInt() : 0;
  using_ += delta;
  container["using"] = using_ < 0 ? 0 : using_;
  if (delta == 1) {
    int used = container["used"].isNumeric() ? container["used"].asInt() : 0;
    container["used"] = used + 1;
  }
}

void ContainerPoolManager::GetContainerNames(std::vector<std::string>& names) {
  ConfigReader reader(_confMgr);
  names.clear();
  const Json::Value& config = _confMgr.GetConfig();
  if (!config.isObject()) return;
  for (const auto& name : config.getMemberNames()) {  // sorted
    if (IsContainerName(name)) names.push_back(name);
  }
}

bool ContainerPoolManager::GetAvailContainer(Task& task, std::string& name) {
  ConfigReader reader(_confMgr);
  std::vector<std::string> names;
  GetContainerNames(names);
  // The first container is kept for whole documents: low-priority work starts at the second.
  size_t first = task.priority == PRIORITY_LOW ? 1 : 0;
  for (size_t i = first; i < names.size(); ++i) {
    const Json::Value& using_ = _confMgr.GetConfig()[names[i]]["using"];
    int count = using_.isNumeric() ? using_.asInt() : 0;
    if (count < _parallelCount) {
      name = names[i];
      return true;
    }
  }
  return false;
}

void ContainerPoolManager::ReclaimAbandonedJobs() {
  ConfigWriter writer(_confMgr);
  Json::Value& config = _confMgr.GetConfig();
  Json::Value& owners = config[kJobOwners];
  if (!owners.isObject()) return;
  for (const auto& id : owners.getMemberNames()) {
    const Json::Value record = owners[id];
    if (owner::IsAlive(record)) continue;
    PL_ERR("reclaiming the job of process %d, gone", record["pid"].asInt());
    Json::Value& queue = config[kWaitingQueue];
    for (Json::ArrayIndex p = 0; queue.isArray() && p < queue.size(); ++p) {
      if (queue[p].isObject()) queue[p].removeMember(id);
    }
    if (config[kRunningQueue].isObject() && config[kRunningQueue].isMember(id)) {
      config[kRunningQueue].removeMember(id);
      if (record["container"].isString()) AdjustUsingCount(record["container"].asString(), -1);
    }
    owners.removeMember(id);
  }
}

bool ContainerPoolManager::IsReadyToExecute(Task& task, std::string& name) {
  ConfigWriter writer(_confMgr);
  ReclaimAbandonedJobs();
  if (!IsHighestPriority(task)) return false;
  if (!GetAvailContainer(task, name)) return false;
  IncUsingCount(name);
  RemoveWatitingQueue(task);
  AddRunningQueue(task);
  Json::Value& record = _confMgr.GetConfig()[kJobOwners][task.id];
  if (!record.isObject()) record = owner::Self();
  record["container"] = name;
  return true;
}

bool ContainerPoolManager::WaitToExecute(Task& task, std::string& name) {
  // Containers are provisioned when the package starts, not while jobs wait: when none could
  // ever take this job, say so once instead of hanging the caller for good.
  std::vector<std::string> names;
  GetContainerNames(names);
  size_t eligible = names.size() - (task.priority == PRIORITY_LOW && !names.empty() ? 1 : 0);
  if (eligible == 0) {
    return PL_ERR("no container can run priority %d jobs (%zu containers)",
                  static_cast<int>(task.priority), names.size());
  }
  while (!IsReadyToExecute(task, name)) usleep(USLEEP_TIME);
  return true;
}

int ContainerPoolManager::ExecuteCommand(Task& task, const std::string& name) {
  // The docker client inherits the lowered priority.
  if (task.priority == PRIORITY_LOW) {
    setpriority(PRIO_PROCESS, 0, 19);
  } else if (task.priority == PRIORITY_NORMAL) {
    setpriority(PRIO_PROCESS, 0, 10);
  }
  std::vector<std::string> args = {kDocker, "exec", name, "timeout", "--kill-after=5", "120"};
  args.insert(args.end(), task.command.begin(), task.command.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  int status = VLIBCExecv(argv[0], argv.data(), 1);
  if (status == kTimeLimitStatus) {
    PL_ERR("ExecuteCommand timeout");
    return kTimeout;
  }
  if (status < 0) {
    PL_ERR("ExecuteCommand failed: %d", status);
    return kFailed;
  }
  return kSuccess;
}

}  // namespace PAPERLENS
}  // namespace VIREO
