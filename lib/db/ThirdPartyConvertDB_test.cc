#include "ThirdPartyConvertDB.h"

#include <gtest/gtest.h>

#include <string>

#include "db_test_util.h"
#include "utils.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

using testing::Query;
using testing::Schema;
using testing::Write;

typedef ThirdPartyConvertDB::Task Task;

class ThirdPartyConvertDBTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::RemoveDB(SZF_THIRD_PARTY_DB_PATH); }
  void TearDown() override { testing::RemoveDB(SZF_THIRD_PARTY_DB_PATH); }

  static std::string Text(const Task& t) {
    return t.id + "|" + t.task_id + "|" + std::to_string(t.uid) + "|" + t.orig_path + "|" +
           t.conv_path + "|" + std::to_string(t.error_code);
  }
};

TEST_F(ThirdPartyConvertDBTest, OpeningCreatesTheTableAndIndexesOnce) {
  const std::string expected =
      "CREATE TABLE tasks (id INTEGER PRIMARY KEY ASC AUTOINCREMENT,uid INTEGER,task_id TEXT,"
      "orig_path TEXT,conv_path TEXT,error_code INTEGER);\n"
      "CREATE TABLE sqlite_sequence(name,seq);\n"
      "CREATE UNIQUE INDEX task_id ON tasks (task_id);\n"
      "CREATE INDEX orig_path ON tasks (orig_path);\n"
      "CREATE INDEX uid ON tasks (uid);\n";
  {
    ThirdPartyConvertDB db;
    ASSERT_TRUE(db.IsGood());
    ASSERT_TRUE(db.Create({1000, 1026, "", "t1", "/volume1/docs/a.doc", "/volume1/docs/a.pdf"}));
  }
  EXPECT_EQ(expected, Schema(SZF_THIRD_PARTY_DB_PATH));

  ThirdPartyConvertDB again;
  ASSERT_TRUE(again.IsGood());
  EXPECT_EQ(expected, Schema(SZF_THIRD_PARTY_DB_PATH));
  Task task;
  ASSERT_TRUE(again.GetByTaskId("t1", task));
  EXPECT_EQ("1|t1|1026|/volume1/docs/a.doc|/volume1/docs/a.pdf|1000", Text(task));
}

TEST_F(ThirdPartyConvertDBTest, RecordsRoundTripByTaskId) {
  ThirdPartyConvertDB db;
  ASSERT_TRUE(db.IsGood());
  const Task quoted{1002, 1027, "ignored", "it's 'x'", "/volume2/archive/o'neil \"v2\".pptx",
                    "/volume1/docker/@tmp/o'neil.pdf"};
  ASSERT_TRUE(db.Create({1000, 1026, "", "first", "/volume1/docs/a.doc", "/tmp/a.pdf"}));
  ASSERT_TRUE(db.Create(quoted));

  Task task;
  ASSERT_TRUE(db.GetByTaskId("it's 'x'", task));
  EXPECT_EQ("2|it's 'x'|1027|/volume2/archive/o'neil \"v2\".pptx|"
            "/volume1/docker/@tmp/o'neil.pdf|1002",
            Text(task));

  // A task id is unique: the second record is refused and the first stays as it was.
  EXPECT_FALSE(db.Create({1000, 0, "", "first", "/other", "/other.pdf"}));
  ASSERT_TRUE(db.GetByTaskId("first", task));
  EXPECT_EQ("1|first|1026|/volume1/docs/a.doc|/tmp/a.pdf|1000", Text(task));

  // Unknown ids leave the caller's record alone.
  Task untouched = task;
  EXPECT_FALSE(db.GetByTaskId("missing", untouched));
  EXPECT_EQ(Text(task), Text(untouched));
}

TEST_F(ThirdPartyConvertDBTest, UpdateRewritesTheRowByItsId) {
  ThirdPartyConvertDB db;
  ASSERT_TRUE(db.IsGood());
  ASSERT_TRUE(db.Create({0, 1026, "", "job", "/volume1/docs/a.doc", ""}));
  Task task;
  ASSERT_TRUE(db.GetByTaskId("job", task));

  task.task_id = "job-renamed";
  task.conv_path = "/volume1/docs/it's.pdf";
  task.error_code = 1000;
  ASSERT_TRUE(db.Update(task));
  EXPECT_FALSE(db.GetByTaskId("job", task));
  ASSERT_TRUE(db.GetByTaskId("job-renamed", task));
  EXPECT_EQ("1|job-renamed|1026|/volume1/docs/a.doc|/volume1/docs/it's.pdf|1000", Text(task));

  // No row has this id: nothing changes, and that is no failure.
  Task stray = task;
  stray.id = "99";
  stray.conv_path = "/elsewhere";
  EXPECT_TRUE(db.Update(stray));
  ASSERT_TRUE(db.GetByTaskId("job-renamed", task));
  EXPECT_EQ("/volume1/docs/it's.pdf", task.conv_path);
}

TEST_F(ThirdPartyConvertDBTest, DeleteGoesByTaskIdOnly) {
  ThirdPartyConvertDB db;
  ASSERT_TRUE(db.IsGood());
  ASSERT_TRUE(db.Create({1000, 1026, "", "a", "/x", "/x.pdf"}));
  ASSERT_TRUE(db.Create({1000, 1026, "", "b", "/y", "/y.pdf"}));

  EXPECT_TRUE(db.Delete({0, 0, "2", "a", "", ""}));  // row 2 is "b": only the task id counts
  EXPECT_TRUE(db.DeleteByTaskId("never stored"));
  BaseDB::Rows rows = Query(SZF_THIRD_PARTY_DB_PATH, "SELECT task_id FROM tasks");
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("b", rows[0]["task_id"]);
}

TEST_F(ThirdPartyConvertDBTest, NullNumbersReadAsZero) {
  {
    ThirdPartyConvertDB db;
    ASSERT_TRUE(db.IsGood());
  }
  ASSERT_TRUE(Write(SZF_THIRD_PARTY_DB_PATH,
                    "INSERT INTO tasks (task_id, orig_path) VALUES ('peer', '/z')"));
  ThirdPartyConvertDB db;
  Task task{7, 7, "", "", "", ""};
  ASSERT_TRUE(db.GetByTaskId("peer", task));
  EXPECT_EQ("1|peer|0|/z|NULL|0", Text(task));
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
