// TaskDB: the indexing daemon's work queue in SZF_THUMB_DB_PATH, one row per task (a file or
// folder by real path, an operation and the kind of output to produce), taken oldest first.
//
//   TaskDB db;
//   if (!db.OpenDB()) ...                 // logged; the connection may still be open
//   db.AppendTask({TASK_OP_GENERATE, /*is_folder=*/true, "", "/volume1/docs", CONVERT_TYPE_PDF});
//   TaskDB::Task task;
//   while (db.GetTask(task)) { ... work on it ...; db.DeleteTask(task); }
//
// The schema version lives in "PRAGMA user_version"; OpenDB brings an older file to version 2
// and accepts a newer one unchanged. The file is shared between processes (the daemon writes,
// the index API reads); SQLite's locking through BaseDB serialises writers. A TaskDB is used by
// one thread at a time. Every operation logs its failures and reports them by a false result.
#ifndef PAPERLENS_INCLUDE_TASKDB_H_
#define PAPERLENS_INCLUDE_TASKDB_H_

#include <string>
#include <vector>

#include "BaseDB.h"

namespace VIREO {
namespace PAPERLENS {

// Operations of a task.
enum {
  TASK_OP_GENERATE = 0,  // produce what is missing (a file, or every document of a folder)
  TASK_OP_UPDATE = 1,    // the file was written: produce it again, ignoring an earlier failure
  TASK_OP_REMOVE = 2,    // remove everything generated under the folder (convert_type 0)
};

// Output kinds of a task (0: none, with TASK_OP_REMOVE).
enum {
  CONVERT_TYPE_THUMBNAIL = 1,
  CONVERT_TYPE_PDF = 2,
};

class TaskDB {
 public:
  struct Task {
    int op;
    bool is_folder;
    std::string id;    // row id as decimal text; empty for a task not stored yet
    std::string path;  // real path
    int convert_type;
  };

  // Closed until OpenDB.
  TaskDB() : _opened(false) {}
  virtual ~TaskDB() { _db.Close(); }

  TaskDB(const TaskDB&) = delete;
  TaskDB& operator=(const TaskDB&) = delete;

  // Opens SZF_THUMB_DB_PATH (creating it when missing) and migrates it. True when both
  // succeeded. A failed migration leaves the connection open. REQUIRES: called before any other
  // operation.
  bool OpenDB();
  // Brings the schema to version 2, each step as one transaction (a failed step leaves the
  // file as it was before that step). A newer version is accepted unchanged.
  bool DoMigration();

  // The queue in order, at most `limit` tasks (0: all). On failure `tasks` is untouched.
  bool GetTasks(std::vector<Task>& tasks, int limit);
  // The oldest task. False, with `task` untouched, when the queue is empty or unreadable.
  bool GetTask(Task& task);
  // Deletes the row whose id is `task.id`. REQUIRES: `task` came from GetTask or GetTasks.
  bool DeleteTask(const Task& task);
  // Queues `task` unless a task with the same path, op and convert_type is queued already (then
  // nothing changes and the result is still true).
  bool AppendTask(const Task& task);
  // True when some queued task's path contains `path` (SQL LIKE: ASCII case is ignored, and "_"
  // and "%" in `path` match any character or run of characters). False when none does or the
  // queue cannot be read.
  bool IsConvertingPath(const std::string& path);
  // True when some queued task's path is the real path `folder` or lies below it, compared
  // byte for byte at a path-component boundary (/v/docs never claims /v/docs2). False when
  // none does or the queue cannot be read.
  bool HasTaskWithin(const std::string& folder);

 private:
  BaseDB _db;
  bool _opened;  // the result of the last OpenDB
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_TASKDB_H_
