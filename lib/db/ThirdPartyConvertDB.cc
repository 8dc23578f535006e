// Records of conversions done for other applications.
#include "ThirdPartyConvertDB.h"

#include <stdlib.h>

namespace VIREO {
namespace PAPERLENS {

namespace {

const char kTable[] = "tasks";

std::string Quoted(const std::string& text) {
  std::string quoted = text;
  BaseDB::Escape(quoted, /*quoted=*/true);
  return quoted;
}

}  // namespace

bool ThirdPartyConvertDB::Create(const Task& task) {
  return _db.Exec(std::string("INSERT INTO ") + kTable +
                  " (task_id,uid,orig_path,conv_path,error_code)" + "VALUES(" +
                  Quoted(task.task_id) + "," + std::to_string(task.uid) + "," +
                  Quoted(task.orig_path) + "," + Quoted(task.conv_path) + "," +
                  std::to_string(task.error_code) + ")");
}

bool ThirdPartyConvertDB::Update(const Task& task) {
  return _db.Exec(std::string("UPDATE ") + kTable + " SET" + " task_id = " +
                  Quoted(task.task_id) + ",orig_path = " + Quoted(task.orig_path) +
                  ",conv_path = " + Quoted(task.conv_path) +
                  ",error_code = " + std::to_string(task.error_code) +
                  ",uid = " + std::to_string(task.uid) + " WHERE id = " + Quoted(task.id));
}

bool ThirdPartyConvertDB::GetByTaskId(const std::string& taskId, Task& task) {
  BaseDB::Rows rows;
  if (!_db.QueryResult(std::string("SELECT * FROM ") + kTable + " WHERE task_id = " +
                           Quoted(taskId),
                       rows) ||
      rows.size() != 1) {
    return false;
  }
  BaseDB::Row& row = rows[0];
  task.id = row["id"];
  task.task_id = taskId;
  task.orig_path = row["orig_path"];
  task.conv_path = row["conv_path"];
  task.error_code = static_cast<int>(strtol(row["error_code"].c_str(), nullptr, 10));
  task.uid = static_cast<unsigned int>(strtol(row["uid"].c_str(), nullptr, 10));
  return true;
}

bool ThirdPartyConvertDB::DeleteByTaskId(const std::string& taskId) {
  return _db.Exec(std::string("DELETE FROM ") + kTable + " WHERE task_id = " + Quoted(taskId));
}

bool ThirdPartyConvertDB::Delete(const Task& task) { return DeleteByTaskId(task.task_id); }

}  // namespace PAPERLENS
}  // namespace VIREO
