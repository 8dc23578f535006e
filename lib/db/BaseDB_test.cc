#include "BaseDB.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "appliance_env.h"
#include "db_test_util.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

using testing::Query;

// Another process inside "BEGIN IMMEDIATE;" on the same file: it has inserted its own row
// 'writer' and holds the write lock until released (or, given a hold time, until that passed),
// then commits.
class WriteLockHolder {
 public:
  explicit WriteLockHolder(const std::string& db, int holdMs = 0) : timed_(holdMs > 0) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);
      sqlite3* conn = nullptr;
      bool ok = sqlite3_open(db.c_str(), &conn) == SQLITE_OK &&
                sqlite3_exec(conn, "BEGIN IMMEDIATE;INSERT INTO t VALUES('writer');", nullptr,
                             nullptr, nullptr) == SQLITE_OK;
      if (write(ready[1], ok ? "r" : "e", 1) != 1) _exit(2);
      if (holdMs > 0) {
        usleep(static_cast<useconds_t>(holdMs) * 1000);
      } else {
        char c;
        if (read(release_[0], &c, 1) < 0) _exit(2);
      }
      ok = ok && sqlite3_exec(conn, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
      sqlite3_close(conn);
      _exit(ok ? 0 : 1);
    }
    close(ready[1]);
    close(release_[0]);
    char c = 0;
    locked_ = read(ready[0], &c, 1) == 1 && c == 'r';
    close(ready[0]);
  }

  ~WriteLockHolder() { Release(); }

  WriteLockHolder(const WriteLockHolder&) = delete;
  WriteLockHolder& operator=(const WriteLockHolder&) = delete;

  bool locked() const { return locked_; }

  // Commits the writer's transaction and waits for it to end. True when it committed.
  bool Release() {
    if (pid_ <= 0) return committed_;
    // A timed holder does not read: writing to it could raise SIGPIPE once it is gone.
    if (!timed_ && write(release_[1], "x", 1) != 1) return false;
    close(release_[1]);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    committed_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return committed_;
  }

 private:
  const bool timed_;
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
  bool locked_ = false;
  bool committed_ = false;
};

class BaseDBTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A folder and file name with quotes and spaces, as users' paths have: every test opens it.
    char tmpl[] = "/tmp/base db's test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/it's \"the\" queue.db";
    db_.SetPath(path_);
    ASSERT_TRUE(db_.Open());
    ASSERT_TRUE(db_.Exec("CREATE TABLE t (x TEXT)"));
  }

  void TearDown() override {
    db_.Close();
    testing::RemoveDB(path_);
    rmdir(dir_.c_str());
  }

  // The values of t in insertion order, as another connection sees them.
  std::string Values() {
    std::string text;
    for (const BaseDB::Row& row : Query(path_, "SELECT x FROM t ORDER BY rowid")) {
      text += row.at("x") + ";";
    }
    return text;
  }

  std::string dir_;
  std::string path_;
  BaseDB db_;
};

TEST_F(BaseDBTest, ExecWaitsForAnotherProcessesWriteLockThenCommits) {
  WriteLockHolder writer(path_);
  ASSERT_TRUE(writer.locked());
  int pauses = 0;
  // The writer finishes while Exec waits between two attempts.
  db_.SetBeginRetry(5, [&] {
    if (++pauses == 1) {
      EXPECT_TRUE(writer.Release());
    }
  });

  ASSERT_TRUE(db_.Exec("INSERT INTO t VALUES('mine')"));
  EXPECT_EQ(1, pauses);
  EXPECT_EQ("writer;mine;", Values());  // ours came after the writer's commit
}

TEST_F(BaseDBTest, ExecOutlastsAWriterThatFinishesByItself) {
  // Longer than one busy timeout, so the start of the transaction has to be retried.
  WriteLockHolder writer(path_, /*holdMs=*/1500);
  ASSERT_TRUE(writer.locked());
  int pauses = 0;
  db_.SetBeginRetry(20, [&] {
    ++pauses;
    usleep(100 * 1000);
  });

  ASSERT_TRUE(db_.Exec("INSERT INTO t VALUES('mine')"));
  EXPECT_GE(pauses, 1);
  EXPECT_TRUE(writer.Release());
  EXPECT_EQ("writer;mine;", Values());
}

TEST_F(BaseDBTest, ExecGivesUpWithNothingAppliedWhenTheLockOutlastsTheRetries) {
  testsupport::LogMark log;
  WriteLockHolder writer(path_);
  ASSERT_TRUE(writer.locked());
  int pauses = 0;
  // The lock is let go only after the last attempt has failed: a statement run then, outside
  // any transaction, would succeed and stay applied.
  db_.SetBeginRetry(3, [&] {
    if (++pauses == 3) {
      EXPECT_TRUE(writer.Release());
    }
  });

  EXPECT_FALSE(db_.Exec("INSERT INTO t VALUES('mine')"));
  EXPECT_EQ(3, pauses);
  EXPECT_EQ("writer;", Values());
  EXPECT_TRUE(log.HasLine({"include/BaseDB.h:", "error: database is locked"}));

  // The connection is usable again afterwards.
  ASSERT_TRUE(db_.Exec("INSERT INTO t VALUES('later')"));
  EXPECT_EQ("writer;later;", Values());
}

TEST_F(BaseDBTest, ExecFailsAtOnceOnAnErrorOtherThanLocked) {
  db_.Close();
  {
    std::ofstream junk(path_, std::ios::trunc);
    junk << std::string(4096, 'x');
  }
  ASSERT_TRUE(db_.Open());
  int pauses = 0;
  db_.SetBeginRetry(5, [&] { ++pauses; });
  testsupport::LogMark log;

  EXPECT_FALSE(db_.Exec("CREATE TABLE u (y)"));
  EXPECT_EQ(0, pauses);
  EXPECT_TRUE(log.HasLine({"include/BaseDB.h:", "error: file is not a database"}));
}

TEST_F(BaseDBTest, FailedStatementRollsBackTheWholeScript) {
  ASSERT_TRUE(db_.Exec("INSERT INTO t VALUES('kept')"));
  testsupport::LogMark log;

  EXPECT_FALSE(db_.Exec("INSERT INTO t VALUES('a');INSERT INTO missing VALUES(1);"));
  EXPECT_EQ("kept;", Values());
  EXPECT_TRUE(log.HasLine({"error: no such table: missing"}));
  // No transaction is left open behind the failure.
  EXPECT_TRUE(db_.Exec("INSERT INTO t VALUES('b')"));
  EXPECT_EQ("kept;b;", Values());
}

TEST_F(BaseDBTest, QueryResultGivesRowsOfTextWithNull) {
  ASSERT_TRUE(db_.Exec("CREATE TABLE r (n INTEGER, s TEXT, z);"
                       "INSERT INTO r VALUES (42, 'it''s', NULL);INSERT INTO r VALUES (-7, '', 1.5)"));
  BaseDB::Rows rows;
  ASSERT_TRUE(db_.QueryResult("SELECT * FROM r ORDER BY rowid", rows));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ((BaseDB::Row{{"n", "42"}, {"s", "it's"}, {"z", "NULL"}}), rows[0]);
  EXPECT_EQ((BaseDB::Row{{"n", "-7"}, {"s", ""}, {"z", "1.5"}}), rows[1]);

  // Rows found before a failing statement stay.
  rows.clear();
  EXPECT_FALSE(db_.QueryResult("SELECT n FROM r WHERE n = 42;SELECT * FROM missing", rows));
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("42", rows[0]["n"]);
}

TEST_F(BaseDBTest, EscapedTextRoundTrips) {
  std::string quoted = "it's a 'test'";
  BaseDB::Escape(quoted, /*quoted=*/true);
  EXPECT_EQ("'it''s a ''test'''", quoted);
  std::string bare = "it's";
  BaseDB::Escape(bare, /*quoted=*/false);
  EXPECT_EQ("it''s", bare);

  ASSERT_TRUE(db_.Exec("INSERT INTO t VALUES(" + quoted + ");INSERT INTO t VALUES('" + bare +
                       "')"));
  EXPECT_EQ("it's a 'test';it's;", Values());
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
