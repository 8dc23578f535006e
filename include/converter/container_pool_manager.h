// ContainerPoolManager: runs converter commands in a small pool of containers shared by every
// process of the package, under priorities.
//
// The pool's only shared state is the state file SZF_CONFIG_PATH (through ConfigManager):
//   "waitingQueue": [ {id: true, ...}, {...}, {...} ]   waiting jobs by priority 0, 1, 2
//   "runningQueue": {id: true, ...}                     running jobs
//   "vireo...":     {"using": n, "used": n}             one member per container
//   "jobOwners":    {id: {"pid", "start", "priority", "container"}}
// A job waits until it is at the highest waiting priority and a container is free, takes the
// container in one exclusive transaction, runs `docker exec NAME timeout --kill-after=5 120 ...`
// with no lock held, and releases the container.
//
// "jobOwners" records which process owns each queued or running job: a job whose process is gone
// (killed while it waited or ran) is dropped from the queues and its container slot given back
// by the next process that polls, so it never blocks the pool for good.
//
// One instance per process (Instance); not safe for concurrent use by several threads of one
// process: callers convert from one thread at a time.
#ifndef PAPERLENS_INCLUDE_CONVERTER_CONTAINER_POOL_MANAGER_H_
#define PAPERLENS_INCLUDE_CONVERTER_CONTAINER_POOL_MANAGER_H_

#include <string>
#include <vector>

#include "config_manager.h"

namespace VIREO {
namespace PAPERLENS {

class ContainerPoolManager {
 public:
  enum Priority { PRIORITY_LOW = 0, PRIORITY_NORMAL = 1, PRIORITY_HIGH = 2 };

  // One job, valid for one Execute call.
  struct Task {
    std::string& id;
    std::vector<std::string>& command;
    Priority priority;
  };

  // Result codes of Execute.
  static constexpr int kSuccess = 1000;  // the command ran (any exit status but 124)
  static constexpr int kTimeout = 1001;  // the time limit expired (exit status 124)
  static constexpr int kFailed = 1002;   // the docker client could not be started
  static constexpr int kRefused = 1003;  // refused before running

  // The process-wide pool, created on the first call; later calls ignore their arguments.
  static ContainerPoolManager* Instance(int maxUsingCount, int maxMemory, int parallelCount);

  virtual ~ContainerPoolManager();
  ContainerPoolManager(const ContainerPoolManager&) = delete;
  ContainerPoolManager& operator=(const ContainerPoolManager&) = delete;

  // Runs `command` in a pool container; blocks until it has finished. The job id is the
  // concatenation of the command's elements.
  virtual int Execute(std::vector<std::string>& command, Priority priority);

  // The steps of Execute; each opens its own read or write scope on the state file, a no-op
  // inside an enclosing writer.
  bool IsJobExist(Task& task);
  void AddWaitingQueue(Task& task);
  void RemoveWatitingQueue(Task& task);
  void AddRunningQueue(Task& task);
  void RemoveRunningQueue(Task& task);
  bool IsHighestPriority(Task& task);
  void AdjustUsingCount(const std::string& name, int delta);
  void IncUsingCount(const std::string& name) { AdjustUsingCount(name, +1); }
  void DecUsingCount(const std::string& name) { AdjustUsingCount(name, -1); }
  void GetContainerNames(std::vector<std::string>& names);
  bool GetAvailContainer(Task& task, std::string& name);
  bool IsReadyToExecute(Task& task, std::string& name);
  // Polls IsReadyToExecute every USLEEP_TIME. False at once when no container of the pool could
  // ever take the job (none at all, or a low-priority job and a single container).
  bool WaitToExecute(Task& task, std::string& name);
  int ExecuteCommand(Task& task, const std::string& name);
  // Drops the jobs of processes that are gone and gives their container slots back.
  void ReclaimAbandonedJobs();

 protected:
  ContainerPoolManager(int maxUsingCount, int maxMemory, int parallelCount);

  int _maxUsingCount;      // recorded, not consulted
  int _maxMemory;          // recorded, not consulted
  int _parallelCount;      // jobs one container runs at a time
  ConfigManager _confMgr;  // the state file
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_CONVERTER_CONTAINER_POOL_MANAGER_H_
