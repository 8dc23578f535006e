// How the index plug-in feeds the daemon: the queue file of change records, the monitor
// registration of the indexed folders, the marker file and the daemon's process.
//
// Failures are thrown: VIREOERR for queue lock and open failures (the platform error is
// recorded), runas_error when a privilege switch fails where it must not, and the message
// texts "save to monitor queue error", "delete monitor queue error", "cannot execute daemon"
// and "failed to kill" as std::string. Each call is one request's; nothing is kept between.
#ifndef PAPERLENS_WEBAPI_INDEX_INDEXQUEUE_H_
#define PAPERLENS_WEBAPI_INDEX_INDEXQUEUE_H_

#include <json/json.h>

#include <string>
#include <vector>

// Event values of queue records.
enum {
  INDEX_EVENT_SCAN = 65536,
  INDEX_EVENT_REMOVE = 131072,
};

// Whether the share path names an existing folder (reached beneath its share, without a
// link out of it) on an ordinary volume (not Megavault). False when root cannot be taken.
bool IsValidDir(const std::string& sharePath);
// The real path of a share path, "" when it does not resolve.
std::string RealPathOf(const std::string& sharePath);
// Appends one record line to the queue file under its exclusive lock, as root (a failed
// switch drops the record, logged). Throws VIREOERR on a lock or open failure.
void AppendToQueue(const Json::Value& record);
// Appends a scan record for each share path that resolves; exceptions of AppendToQueue pass
// through (the paths after it are not queued).
void QueueFolders(const std::vector<std::string>& sharePaths);
// Registers the indexed folders of `config` (those whose share path resolves) with the
// file-change monitor, or deletes the registration when `config` has no items.
void UpdateMonitor(const Json::Value& config);
// Starts the daemon unless its pid file names a live process.
void StartDaemon();
// Sends the daemon SIGTERM when its pid file names a live process.
void StopDaemon();

#endif  // PAPERLENS_WEBAPI_INDEX_INDEXQUEUE_H_
