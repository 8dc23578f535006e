// The indexing daemon's task queue.
#include "TaskDB.h"

#include <stdlib.h>

#include "utils.h"
#include "utils_log.h"

namespace VIREO {
namespace PAPERLENS {

namespace {

const char kTable[] = "tasks";
const int kVersion = 2;

// Step i brings the schema from version i to i + 1; each runs as one transaction.
const char* const kMigrations[kVersion] = {
    "CREATE TABLE IF NOT EXISTS tasks ( id                  INTEGER    PRIMARY KEY ASC "
    "AUTOINCREMENT,is_folder           INTEGER,path                TEXT,op                  "
    "INTEGER);CREATE UNIQUE INDEX IF NOT EXISTS path_op ON tasks (path,op);CREATE INDEX IF NOT "
    "EXISTS path ON tasks (path);PRAGMA user_version = 1;",
    "ALTER TABLE tasks ADD COLUMN convert_type INTEGER;DROP INDEX path_op;CREATE UNIQUE INDEX IF "
    "NOT EXISTS path_op ON tasks (path,op,convert_type);PRAGMA user_version = 2;",
};

// Rows of version 1 carry NULL here, which reads as 0.
int ToInt(const std::string& text) { return static_cast<int>(strtol(text.c_str(), nullptr, 10)); }

}  // namespace

bool TaskDB::DoMigration() {
  BaseDB::Rows result;
  if (!_db.QueryResult("PRAGMA user_version", result)) {
    return PL_FAILED("!_db.QueryResult(\"PRAGMA user_version\", result)");
  }
  if (result.size() != 1) {
    return PL_ERR("result size: %d is not correct", static_cast<int>(result.size()));
  }
  int version = ToInt(result[0]["user_version"]);
  if (version >= kVersion) return true;
  for (int i = version < 0 ? 0 : version; i < kVersion; ++i) {
    if (kMigrations[i][0] == '\0') continue;
    if (!_db.Exec(kMigrations[i])) {
      return PL_ERR("database migration from %d to %d failed", i, i + 1);
    }
  }
  return true;
}

bool TaskDB::OpenDB() {
  _db.SetPath(SZF_THUMB_DB_PATH);
  if (!_db.IsOpen() && !_db.Open()) {
    _opened = false;
    return PL_ERR("open db failed");
  }
  bool migrated = DoMigration();
  if (!migrated) PL_ERR("migration failed");
  _opened = migrated;
  return _opened;
}

bool TaskDB::GetTasks(std::vector<Task>& tasks, int limit) {
  std::string sql = std::string("SELECT * FROM ") + kTable + " ORDER BY id ASC";
  if (limit != 0) sql += " LIMIT 0," + std::to_string(limit);
  BaseDB::Rows rows;
  if (!_db.QueryResult(sql, rows)) return PL_ERR("query failed");
  tasks.clear();
  for (BaseDB::Row& row : rows) {
    Task task;
    task.is_folder = row["is_folder"] == "1";
    task.id = row["id"];
    task.path = row["path"];
    task.op = ToInt(row["op"]);
    task.convert_type = ToInt(row["convert_type"]);
    tasks.push_back(task);
  }
  return true;
}

bool TaskDB::GetTask(Task& task) {
  std::vector<Task> tasks;
  if (!GetTasks(tasks, 1) || tasks.empty()) return false;
  task = tasks[0];
  return true;
}

bool TaskDB::DeleteTask(const Task& task) {
  // The id goes into the statement as it is: anything but a row number could widen the delete
  // to other tasks, or to the whole queue.
  if (task.id.empty() || task.id.find_first_not_of("0123456789") != std::string::npos) {
    return PL_ERR("bad task id: %s", task.id.c_str());
  }
  return _db.Exec(std::string("DELETE FROM ") + kTable + " WHERE id = " + task.id);
}

bool TaskDB::AppendTask(const Task& task) {
  std::string path = task.path;
  BaseDB::Escape(path, /*quoted=*/true);
  return _db.Exec(std::string("INSERT OR IGNORE INTO ") + kTable +
                  " (is_folder,path,op,convert_type) VALUES (" + (task.is_folder ? "1" : "0") +
                  "," + path + "," + std::to_string(task.op) + "," +
                  std::to_string(task.convert_type) + ")");
}

bool TaskDB::IsConvertingPath(const std::string& path) {
  std::string pattern = path;
  BaseDB::Escape(pattern, /*quoted=*/false);
  BaseDB::Rows rows;
  if (!_db.QueryResult(std::string("SELECT COUNT(*) AS count FROM ") + kTable +
                           " WHERE path LIKE '%" + pattern + "%'",
                       rows)) {
    return false;
  }
  return !rows.empty() && !rows[0]["count"].empty() && rows[0]["count"][0] != '0';
}

bool TaskDB::HasTaskWithin(const std::string& folder) {
  std::string top = folder;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  std::string exact = top, below = top == "/" ? top : top + "/";
  BaseDB::Escape(exact, /*quoted=*/true);
  BaseDB::Escape(below, /*quoted=*/true);
  BaseDB::Rows rows;
  // substr compares bytes: no LIKE wildcards, no case folding.
  if (!_db.QueryResult(std::string("SELECT COUNT(*) AS count FROM ") + kTable +
                           " WHERE path = " + exact + " OR substr(path, 1, length(" + below +
                           ")) = " + below,
                       rows)) {
    return false;
  }
  return !rows.empty() && !rows[0]["count"].empty() && rows[0]["count"][0] != '0';
}

}  // namespace PAPERLENS
}  // namespace VIREO
