#include "TaskDB.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "appliance_env.h"
#include "db_test_util.h"
#include "utils.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

using testing::Query;
using testing::Schema;
using testing::Write;

const char kVersion1[] =
    "CREATE TABLE tasks ( id                  INTEGER    PRIMARY KEY ASC AUTOINCREMENT,"
    "is_folder           INTEGER,path                TEXT,op                  INTEGER);"
    "CREATE UNIQUE INDEX path_op ON tasks (path,op);CREATE INDEX path ON tasks (path);"
    "PRAGMA user_version = 1;";

class TaskDBTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::RemoveDB(SZF_THUMB_DB_PATH); }
  void TearDown() override { testing::RemoveDB(SZF_THUMB_DB_PATH); }

  static std::string UserVersion() {
    BaseDB::Rows rows = Query(SZF_THUMB_DB_PATH, "PRAGMA user_version");
    return rows.size() == 1 ? rows[0]["user_version"] : "?";
  }

  // The queue as "op/is_folder/convert_type:path" in order.
  std::vector<std::string> Queue(TaskDB& db, int limit = 0) {
    std::vector<TaskDB::Task> tasks;
    EXPECT_TRUE(db.GetTasks(tasks, limit));
    std::vector<std::string> out;
    for (const TaskDB::Task& t : tasks) {
      out.push_back(std::to_string(t.op) + "/" + (t.is_folder ? "d" : "f") + "/" +
                    std::to_string(t.convert_type) + ":" + t.path);
    }
    return out;
  }
};

TEST_F(TaskDBTest, FreshFileMigratesToVersionTwo) {
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  EXPECT_EQ("2", UserVersion());
  EXPECT_EQ(
      "CREATE TABLE tasks ( id                  INTEGER    PRIMARY KEY ASC AUTOINCREMENT,"
      "is_folder           INTEGER,path                TEXT,op                  INTEGER, "
      "convert_type INTEGER);\n"
      "CREATE TABLE sqlite_sequence(name,seq);\n"
      "CREATE INDEX path ON tasks (path);\n"
      "CREATE UNIQUE INDEX path_op ON tasks (path,op,convert_type);\n",
      Schema(SZF_THUMB_DB_PATH));
  EXPECT_TRUE(Queue(db).empty());
  TaskDB::Task task{-1, true, "unchanged", "", 0};
  EXPECT_FALSE(db.GetTask(task));
  EXPECT_EQ("unchanged", task.id);

  // A second opening finds version 2 and leaves the file alone.
  TaskDB again;
  ASSERT_TRUE(again.OpenDB());
  EXPECT_EQ("2", UserVersion());
}

TEST_F(TaskDBTest, VersionOneFileKeepsItsRowsWhichReadConvertTypeZero) {
  ASSERT_TRUE(Write(SZF_THUMB_DB_PATH,
                    std::string(kVersion1) +
                        "INSERT INTO tasks (is_folder,path,op) VALUES (1,'/volume1/docs',0);"
                        "INSERT INTO tasks (is_folder,path,op) VALUES (0,'/volume2/a.doc',1);"));
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  EXPECT_EQ("2", UserVersion());
  EXPECT_EQ((std::vector<std::string>{"0/d/0:/volume1/docs", "1/f/0:/volume2/a.doc"}), Queue(db));
  TaskDB::Task first;
  ASSERT_TRUE(db.GetTask(first));
  EXPECT_EQ("1", first.id);

  // The unique index now tells output kinds apart.
  ASSERT_TRUE(db.AppendTask({TASK_OP_UPDATE, false, "", "/volume2/a.doc", CONVERT_TYPE_PDF}));
  EXPECT_EQ(3u, Queue(db).size());
}

TEST_F(TaskDBTest, NewerVersionOpensUnchanged) {
  ASSERT_TRUE(Write(SZF_THUMB_DB_PATH,
                    "CREATE TABLE tasks (id INTEGER PRIMARY KEY, path TEXT, op INTEGER, "
                    "convert_type INTEGER, priority INTEGER);PRAGMA user_version = 3;"));
  std::string before = Schema(SZF_THUMB_DB_PATH);
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  EXPECT_EQ("3", UserVersion());
  EXPECT_EQ(before, Schema(SZF_THUMB_DB_PATH));
}

TEST_F(TaskDBTest, FailedMigrationStepLeavesTheFileAsItWas) {
  // A version-1 file that already has the column step 1 adds: its ALTER TABLE fails.
  ASSERT_TRUE(Write(SZF_THUMB_DB_PATH,
                    "CREATE TABLE tasks (id INTEGER PRIMARY KEY ASC AUTOINCREMENT,is_folder "
                    "INTEGER,path TEXT,op INTEGER,convert_type INTEGER);CREATE UNIQUE INDEX "
                    "path_op ON tasks (path,op);PRAGMA user_version = 1;"));
  std::string before = Schema(SZF_THUMB_DB_PATH);
  testsupport::LogMark log;
  TaskDB db;
  EXPECT_FALSE(db.OpenDB());
  EXPECT_EQ("1", UserVersion());
  EXPECT_EQ(before, Schema(SZF_THUMB_DB_PATH));  // the old index was not dropped
  EXPECT_TRUE(log.HasLine({"lib/db/TaskDB.cc:", "database migration from 1 to 2 failed"}));
  EXPECT_TRUE(log.HasLine({"lib/db/TaskDB.cc:", "migration failed"}));
}

TEST_F(TaskDBTest, SameTaskIsQueuedOnceAndTheQueueKeepsItsOrder) {
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  const std::string path = "/volume1/docs/it's \"q\".docx";
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, false, "", path, CONVERT_TYPE_PDF}));
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, true, "", "/volume2/archive", CONVERT_TYPE_THUMBNAIL}));
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, false, "", path, CONVERT_TYPE_PDF}));  // ignored
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, false, "", path, CONVERT_TYPE_THUMBNAIL}));
  ASSERT_TRUE(db.AppendTask({TASK_OP_REMOVE, true, "", "/volume2/archive", 0}));

  EXPECT_EQ((std::vector<std::string>{"0/f/2:" + path, "0/d/1:/volume2/archive",
                                      "0/f/1:" + path, "2/d/0:/volume2/archive"}),
            Queue(db));
  EXPECT_EQ((std::vector<std::string>{"0/f/2:" + path}), Queue(db, 1));

  // Taking tasks oldest first, as the daemon's worker does.
  std::vector<std::string> taken;
  TaskDB::Task task;
  while (db.GetTask(task)) {
    taken.push_back(task.id + ":" + task.path);
    ASSERT_TRUE(db.DeleteTask(task));
  }
  EXPECT_EQ((std::vector<std::string>{"1:" + path, "2:/volume2/archive", "4:" + path,
                                      "5:/volume2/archive"}),
            taken);
}

TEST_F(TaskDBTest, DeleteTaskTakesOnlyARowNumber) {
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, false, "", "/volume1/docs/a.doc", 2}));
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, false, "", "/volume1/docs/b.doc", 2}));

  EXPECT_FALSE(db.DeleteTask({TASK_OP_GENERATE, false, "", "/volume1/docs/a.doc", 2}));
  EXPECT_FALSE(db.DeleteTask({TASK_OP_GENERATE, false, "1 OR 1=1", "/volume1/docs/a.doc", 2}));
  EXPECT_EQ(2u, Queue(db).size());
  EXPECT_TRUE(db.DeleteTask({TASK_OP_GENERATE, false, "2", "", 0}));
  EXPECT_EQ((std::vector<std::string>{"0/f/2:/volume1/docs/a.doc"}), Queue(db));
}

TEST_F(TaskDBTest, IsConvertingPathMatchesAnyPartOfAQueuedPath) {
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  EXPECT_FALSE(db.IsConvertingPath("/volume1/docs"));
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, false, "", "/volume1/docs/Sub/o'neil.doc", 2}));

  struct Case {
    const char* path;
    bool converting;
  } cases[] = {
      {"/volume1/docs/Sub", true},             // the parent folder
      {"/volume1/docs", true},                 // any ancestor
      {"o'neil", true},                        // any piece, quotes included
      {"/VOLUME1/docs/sub", true},             // ASCII case is ignored
      {"/volume1/docs/S_b", true},             // "_" matches one character
      {"/volume1/%/o", true},                  // "%" matches a run
      {"/volume1/docs/Other", false},
      {"/volume2/docs/Sub", false},
      {"/volume1/docs/Sub/o'neil.docx", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.converting, db.IsConvertingPath(c.path)) << c.path;
}

TEST_F(TaskDBTest, HasTaskWithinMatchesAFolderAndWhatLiesBelowIt) {
  TaskDB db;
  ASSERT_TRUE(db.OpenDB());
  EXPECT_FALSE(db.HasTaskWithin("/volume1/docs"));
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, false, "", "/volume1/docs/Sub/o'neil.doc", 2}));
  ASSERT_TRUE(db.AppendTask({TASK_OP_GENERATE, true, "", "/volume1/a_b", 1}));
  struct Case {
    const char* folder;
    bool within;
  } cases[] = {
      {"/volume1/docs/Sub", true},  {"/volume1/docs/Sub/", true},
      {"/volume1/docs", true},      {"/volume1/a_b", true},
      {"/volume1/docs/Su", false},  // a prefix of a name, not a folder of the path
      {"/volume1/doc", false},      {"/VOLUME1/docs", false},
      {"/volume1/axb", false},      {"/volume1/%", false},
      {"o'neil", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.within, db.HasTaskWithin(c.folder)) << c.folder;
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
