// The index plug-in's side of the queue protocol.
#include "index/IndexQueue.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>

#include "FileLock.h"
#include "index/DocAPI.h"
#include "path.h"
#include "runas.h"
#include "safe_file.h"
#include "utils.h"
#include "utils_json.h"
#include "utils_log.h"
#include "vireo/error.h"
#include "vireo/libc.h"
#include "vireo/monitor.h"

using namespace VIREO::PAPERLENS;

namespace {

constexpr int kMonitorMask = 72;  // writes (8) and moves (64)
constexpr int kMonitorQueueType = VIREO::VIREOTIFYD::MONITOR_QUEUE_TYPE_PACKAGE;
const char kMonitorName[] = "paperlens";

}  // namespace

std::string RealPathOf(const std::string& sharePath) {
  path::Path p;
  p.SetData("sharePath", sharePath, true);
  return p.GetRealPath("");
}

bool IsValidDir(const std::string& sharePath) {
  IF_RUN_AS(0, 0) {
    std::string realPath;
    if (!path::ShareToRealPath(sharePath, realPath, "")) return false;
    struct stat st;
    if (safe::StatBeneath(realPath, st) != safe::kOk || !S_ISDIR(st.st_mode)) return false;
    return !path::IsMegavault(sharePath);
  }
  return false;
}

void AppendToQueue(const Json::Value& record) {
  IF_RUN_AS(0, 0) {
    FileLock lock(SZF_INDEX_QUEUE, /*mode=*/1, LOCK_TIMEOUT_SECS);
    std::ofstream out(SZF_INDEX_QUEUE, std::ios::out | std::ios::app);
    if (!out.is_open()) VIREO_THROW(0x0900);
    out << json::ToString(record) << "\n";
    out.close();  // the close after writing is what wakes the daemon
  }
}

void QueueFolders(const std::vector<std::string>& sharePaths) {
  Json::Value record(Json::objectValue);
  record["event"] = INDEX_EVENT_SCAN;
  record["is_dir"] = true;
  for (const std::string& sharePath : sharePaths) {
    const std::string real = RealPathOf(sharePath);
    if (real.empty()) continue;
    record["path"] = real;
    AppendToQueue(record);
  }
}

void UpdateMonitor(const Json::Value& config) {
  Json::Value registration(Json::objectValue);
  registration["queue"] = SZF_INDEX_QUEUE;
  registration["config"] = Json::Value(Json::arrayValue);
  Json::Value entry(Json::objectValue);
  entry["mask"] = kMonitorMask;
  entry["ignore"] = Json::Value(Json::arrayValue);
  entry["ignore"].append(VIREO_EA_DIR_NAME);
  const Json::Value& items = config.isObject() ? config["items"] : Json::Value::nullSingleton();
  for (const Json::Value& item : items) {
    if (!item.isObject() || !item["path"].isString()) continue;
    const std::string real = RealPathOf(item["path"].asString());
    if (real.empty()) continue;
    entry["path"] = real;
    registration["config"].append(entry);
  }
  VIREO::VIREOTIFYD::MonitorQueue queue(registration);
  IF_RUN_AS(0, 0) {
    if (items.isArray() && !items.empty()) {
      if (!VIREO::VIREOTIFYD::MonitorQueue::Upsert(queue, kMonitorName, kMonitorQueueType)) {
        throw std::string("save to monitor queue error");
      }
    } else if (!VIREO::VIREOTIFYD::MonitorQueue::Delete(SZF_INDEX_QUEUE, kMonitorName,
                                                        kMonitorQueueType)) {
      throw std::string("delete monitor queue error");
    }
  } else {
    syslog(LOG_AUTH | LOG_ERR, "%s:%d ERROR: %s", __FILE__, __LINE__, "RUN_AS(0, 0)");
    throw runas_error("RUN_AS(0, 0)");
  }
}

void StartDaemon() {
  pid_t pid = VLIBCReadPidFile(SZF_PIDPATH);
  if (pid > 0 && VLIBCProcAlive(pid)) return;
  IF_RUN_AS(0, 0) {
    // Run with the request process's descriptors closed (a resident request worker holds its
    // server connection; the daemon must not keep it), waiting for the start-up checks: the
    // daemon detaches once they passed. A daemon that refused to start is a failure too.
    const int options = VLIBC_EXEC_WAIT | VLIBC_EXEC_CLOSE_FDS | VLIBC_EXEC_NULL_STDIN |
                        VLIBC_EXEC_NULL_STDOUT | VLIBC_EXEC_NULL_STDERR |
                        VLIBC_EXEC_RESET_SIGNALS;
    if (VLIBCExecl(SZF_INDEX_DAEMON, options, static_cast<char*>(nullptr)) != 0) {
      throw std::string("cannot execute daemon");
    }
  } else {
    PL_ERR("cannot promote root");
  }
}

void StopDaemon() {
  pid_t pid = VLIBCReadPidFile(SZF_PIDPATH);
  if (pid <= 0 || !VLIBCProcAlive(pid)) return;
  pid = VLIBCReadPidFile(SZF_PIDPATH);
  if (pid <= 0) return;  // it ended meanwhile
  IF_RUN_AS(0, 0) {
    if (kill(pid, SIGTERM) != 0) throw std::string("failed to kill");
  } else {
    throw std::string("failed to kill");
  }
}
