// ThirdPartyConvertDB: records of conversions done on behalf of other applications, by the task
// id handed to the client, in SZF_THIRD_PARTY_DB_PATH.
//
//   ThirdPartyConvertDB db;               // opens the file as root, creates the table
//   if (!db.IsGood()) ...                 // already logged; no other call may be made
//   ThirdPartyConvertDB::Task task;
//   if (db.GetByTaskId(taskId, task) && task.uid == uid && task.error_code == 1000) ...
//
// The file is shared between processes; SQLite's locking through BaseDB serialises writers. An
// object is used by one thread at a time. Every operation logs its failures (through BaseDB) and
// reports them by a false result.
#ifndef PAPERLENS_INCLUDE_THIRDPARTYCONVERTDB_H_
#define PAPERLENS_INCLUDE_THIRDPARTYCONVERTDB_H_

#include <string>

#include "BaseDB.h"
#include "runas.h"
#include "utils.h"
#include "utils_log.h"

namespace VIREO {
namespace PAPERLENS {

class ThirdPartyConvertDB {
 public:
  struct Task {
    int error_code;         // 1000: the converted file is ready
    unsigned int uid;       // the only user who may fetch the result
    std::string id;         // row id as decimal text (filled by GetByTaskId, used by Update)
    std::string task_id;    // the id given to the client
    std::string orig_path;  // real path of the source
    std::string conv_path;  // real path of the converted file
  };

  // Opens the database as root and creates its table and indexes when missing. IsGood() tells
  // whether that worked. The effective ids are restored before returning.
  ThirdPartyConvertDB() : _db(SZF_THIRD_PARTY_DB_PATH), _isGood(false) {
    IF_RUN_AS(0, 0) {
      _isGood = _db.Open() && _db.Exec(kSchema);
    } else {
      PL_ERR("failed to promote root");
    }
  }
  virtual ~ThirdPartyConvertDB() { _db.Close(); }

  ThirdPartyConvertDB(const ThirdPartyConvertDB&) = delete;
  ThirdPartyConvertDB& operator=(const ThirdPartyConvertDB&) = delete;

  bool IsGood() const { return _isGood; }

  // Inserts a record. False when a record with the same task id exists.
  bool Create(const Task& task);
  // Rewrites every field of the record whose row id is `task.id` (the task id included). True
  // also when no record has that row id.
  bool Update(const Task& task);
  // The record with task id `taskId` into `task`. False, with `task` untouched, when there is
  // none or the database cannot be read. A NULL number reads as 0.
  bool GetByTaskId(const std::string& taskId, Task& task);
  // Deletes the record with task id `taskId`; true also when there is none.
  bool DeleteByTaskId(const std::string& taskId);
  // DeleteByTaskId(task.task_id); the other fields are not looked at.
  bool Delete(const Task& task);

 private:
  static constexpr const char* kSchema =
      "CREATE TABLE IF NOT EXISTS tasks (id INTEGER PRIMARY KEY ASC AUTOINCREMENT,uid INTEGER,"
      "task_id TEXT,orig_path TEXT,conv_path TEXT,error_code INTEGER);"
      "CREATE UNIQUE INDEX IF NOT EXISTS task_id ON tasks (task_id);"
      "CREATE INDEX IF NOT EXISTS orig_path ON tasks (orig_path);"
      "CREATE INDEX IF NOT EXISTS uid ON tasks (uid);";

  BaseDB _db;    // on SZF_THIRD_PARTY_DB_PATH
  bool _isGood;  // Constant after construction
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_THIRDPARTYCONVERTDB_H_
