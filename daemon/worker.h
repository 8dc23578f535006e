// The indexing daemon's worker: takes the queue file written by the Index API and the
// file-change monitor, turns its records into tasks of the task database, and works through
// them (Generator): thumbnails and pre-converted PDFs for the documents of indexed folders,
// and removal of what was generated for folders that left the index.
//
// Files are reached only through safe_file.h, as root: a folder walk holds descriptors and
// never enters a linked folder; a file counts only when it resolves (links included) beneath
// the indexed folder that wants it, and the conversion is told that very file (device and
// inode), so a link or a swap in a folder users write never leads the daemon outside it.
//
// Threads: the worker thread alone uses the task database, the configuration reads and the
// conversions. `_stop` may be set from a signal handler or another thread; `_running` is
// read by the main loop.
#ifndef PAPERLENS_DAEMON_WORKER_H_
#define PAPERLENS_DAEMON_WORKER_H_

#include <json/json.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "TaskDB.h"

namespace VIREO {
namespace PAPERLENS {

// Queue record events (the monitor's are inotify's IN_CLOSE_WRITE and IN_MOVED_FROM bits).
enum {
  INDEX_EVENT_WRITE = 8,
  INDEX_EVENT_MOVE = 64,
  INDEX_EVENT_SCAN = 65536,
  INDEX_EVENT_REMOVE = 131072,
};

class Worker {
 public:
  // Opens the task database (a failure is logged; the operations then fail and log).
  Worker();
  virtual ~Worker();

  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Sets _running, joins a finished earlier thread, starts a thread running Run.
  void Start();
  // The thread function: passes over the queue file until none is left or a stop is asked.
  void Run();
  // Joins the thread if there is one.
  void Join();

  // Turns every line of the working queue file into tasks; a line that is not a record of the
  // queue form is logged and skipped. Throws VIREOERR 0x0900 when the file cannot be opened.
  void ReadQueue();
  // Appends the tasks of one record. Throws VIREOERR 0x4000 for a record of the wrong form and
  // the text "DB Append Task Failed" when the database refuses a task.
  void ProcessRecord(const Json::Value& record);

  // After a stop with indexing switched off (the last folder left the index and the marker is
  // gone): takes what the queue still holds and carries out the removal tasks, so that the
  // generated files of the last folders do not wait for indexing to be switched on again.
  // REQUIRES: the thread has been joined.
  void FinishRemovals();

  TaskDB& DB() { return _db; }

  std::atomic<bool> _stop{false};     // the worker ends at its next check
  std::atomic<bool> _running{false};  // from Start until the thread function returns

 private:
  // Reads the working queue file (already taken from the queue), carries out its tasks, and
  // removes the file; failures are logged.
  void WorkOffTakenQueue();

  TaskDB _db;
  std::thread _thread;
};

class Generator {
 public:
  Generator(TaskDB* db, const std::atomic<bool>* stop) : _db(db), _stop(stop) {}

  // Works through the queued tasks, oldest first, until none is left or a stop is asked (the
  // task in hand then stays queued).
  void Run();

  // Deletes the generated streams and failure markers in the @eaDir folders of the tree.
  bool RemoveGenerated(const TaskDB::Task& task);
  // Walks the folder and produces what each document of it lacks.
  bool ProcessFolder(const TaskDB::Task& task);
  // Produces the task's output for one file, when ShouldProcess says so. True on a success.
  bool ProcessFile(const TaskDB::Task& task);

  // Regular files the walks of this generator came across.
  int FilesSeen() const { return _filesSeen; }

 private:
  void Walk(int topFd, const std::string& top, int dirFd, const std::string& dir,
            const std::string& rel, const TaskDB::Task& task, int depth);

  TaskDB* const _db;
  const std::atomic<bool>* const _stop;
  int _filesSeen = 0;
};

// Whether the task's output is wanted and missing (see worker.cc). For a file, `identity`
// (optional) gets the status of the very file examined.
bool ShouldProcess(const TaskDB::Task& task, struct stat* identity = nullptr);
// The real path of the indexed folder that holds `path` (at a path-component boundary, or the
// folder itself) and has `key` true; "" when none does.
std::string EnabledFolder(const char* key, const Json::Value& config, const std::string& path);
bool IsEnabled(const char* key, const Json::Value& config, const std::string& path);
// Whether `path` is at or below `folder`, at a path-component boundary.
bool IsPathWithin(const std::string& folder, const std::string& path);
bool IsSupportedType(const std::string& path);
// Paths never processed or walked into: EA folders, recycle bins, snapshots, and remote,
// image and pseudo file systems.
bool IsSkipPath(const std::string& path);

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_DAEMON_WORKER_H_
