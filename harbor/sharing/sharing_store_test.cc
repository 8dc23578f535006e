// The sharing-link store against a real SQLite file: hashes, passwords, dates, visitor
// sessions and uses, and the password throttle.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

#include "vireo/sharing_db.h"

namespace {

using VIREO::sharing::record::Entry;
namespace db = VIREO::sharing::db;

std::string LocalTime(time_t t) {
  char buf[64];
  struct tm tm;
  localtime_r(&t, &tm);
  strftime(buf, sizeof(buf), SZ_SHARING_TIME_FORMAT, &tm);
  return buf;
}

class SharingStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "/tmp/sharing-store-test-" + std::to_string(getpid()) + ".db";
    unlink(path_.c_str());
    store_.reset(new db::SharingDB(path_));
    ASSERT_TRUE(store_->IsGood());
  }
  void TearDown() override {
    store_.reset();
    unlink(path_.c_str());
  }

  Entry Make(int expireTimes = 0) {
    Entry e;
    e.set_project_name("Folium");
    e.set_owner_uid(1026);
    Json::Value app(Json::objectValue);
    app["path"] = "/docs/a.pdf";
    e.set_app(app);
    e.set_expire_times(expireTimes);
    EXPECT_TRUE(db::EntryDB(*store_).CreateWithHash(e));
    return e;
  }

  std::string path_;
  std::unique_ptr<db::SharingDB> store_;
};

TEST_F(SharingStoreTest, HashesAreFreshAndUrlSafe) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string h;
    ASSERT_TRUE(db::NewLinkHash(h));
    EXPECT_TRUE(db::IsWellFormedHash(h)) << h;
    EXPECT_TRUE(seen.insert(h).second) << h;
  }
  for (const char* bad : {"", "short", "../../../../../../etc/x", "AAAAAAAAAAAAAAAAAAAAA=",
                          "AAAAAAAAAAAAAAAAAAAAA%"}) {
    EXPECT_FALSE(db::IsWellFormedHash(bad)) << bad;
  }
  Entry e = Make();
  Entry read;
  ASSERT_TRUE(db::EntryDB(*store_).GetByHash(e.get_hash(), read));
  EXPECT_EQ("alice", read.get_owner_user());
  EXPECT_EQ("/docs/a.pdf", read.get_app()["path"].asString());
}

TEST_F(SharingStoreTest, PasswordsAreKeptOnlyAsSaltedSlowHashes) {
  Entry a, b;
  EXPECT_TRUE(a.IsPasswordValid(""));  // none set
  ASSERT_TRUE(a.set_protect_password("s3cret", true, 0));
  ASSERT_TRUE(b.set_protect_password("s3cret", true, 0));
  EXPECT_EQ(0u, a.get_protect_password().find("$y$"));
  EXPECT_EQ(std::string::npos, a.get_protect_password().find("s3cret"));
  EXPECT_NE(a.get_protect_password(), b.get_protect_password());  // salted
  EXPECT_TRUE(a.IsPasswordValid("s3cret"));
  EXPECT_FALSE(a.IsPasswordValid(""));
  EXPECT_FALSE(a.IsPasswordValid("s3cret "));
  EXPECT_FALSE(a.set_protect_password("x", true, 7));  // no such algorithm
}

TEST_F(SharingStoreTest, ValidityFollowsTheFlagAndTheDates) {
  const time_t now = time(nullptr);
  Entry e;
  EXPECT_TRUE(e.IsValid(now));
  EXPECT_FALSE(e.set_start_at("tomorrow"));
  ASSERT_TRUE(e.set_start_at(LocalTime(now + 86400)));
  EXPECT_FALSE(e.IsValid(now));
  EXPECT_FALSE(e.IsStarted(now));
  ASSERT_TRUE(e.set_start_at(LocalTime(now - 60)));
  EXPECT_TRUE(e.IsValid(now));
  ASSERT_TRUE(e.set_expire_at(LocalTime(now - 1)));
  EXPECT_TRUE(e.IsExpired(now));
  EXPECT_FALSE(e.IsValid(now));
  ASSERT_TRUE(e.set_expire_at(""));
  e.set_enabled(false);
  EXPECT_FALSE(e.IsValid(now));
}

TEST_F(SharingStoreTest, EachVisitorSessionIsOneUseAndNoMoreThanAllowed) {
  Entry e = Make(/*expireTimes=*/2);
  db::TokenDB tokens(*store_);
  std::string t1, t2, t3;
  EXPECT_EQ(db::TokenDB::kCreated, tokens.Create(e.get_hash(), -1, "127.0.0.1", t1));
  EXPECT_EQ(db::TokenDB::kCreated, tokens.Create(e.get_hash(), 1027, "127.0.0.1", t2));
  EXPECT_EQ(db::TokenDB::kUsedUp, tokens.Create(e.get_hash(), -1, "127.0.0.1", t3));
  Entry read;
  VIREO::sharing::record::Session s;
  ASSERT_TRUE(tokens.Lookup(t2, "127.0.0.1", read, s));
  EXPECT_EQ(1027, s.get_uid());
  EXPECT_EQ(2, read.get_use_count());
  // Bound to the address it was made from (the link matches addresses by default).
  EXPECT_FALSE(tokens.Lookup(t2, "127.0.0.2", read, s));
  EXPECT_FALSE(tokens.Lookup("00000000000000000000000000000000", "127.0.0.1", read, s));
  // Revoked with the entry's tokens, and gone with the entry.
  ASSERT_TRUE(tokens.PurgeByEntry(e));
  EXPECT_FALSE(tokens.Lookup(t1, "127.0.0.1", read, s));
  // A link disabled since stops its sessions.
  Entry open = Make();
  std::string t4;
  ASSERT_EQ(db::TokenDB::kCreated, tokens.Create(open.get_hash(), -1, "127.0.0.1", t4));
  open.set_enabled(false);
  ASSERT_TRUE(db::EntryDB(*store_).Update(open));
  EXPECT_FALSE(tokens.Lookup(t4, "127.0.0.1", read, s));
}

TEST_F(SharingStoreTest, ParallelVisitorsNeverGetMoreSessionsThanAllowed) {
  Entry e = Make(/*expireTimes=*/3);
  std::vector<pid_t> children;
  for (int i = 0; i < 8; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      db::SharingDB mine(path_);
      std::string t;
      _exit(db::TokenDB(mine).Create(e.get_hash(), -1, "127.0.0.1", t) == db::TokenDB::kCreated ? 0 : 1);
    }
    children.push_back(pid);
  }
  int created = 0;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++created;
  }
  EXPECT_EQ(3, created);
  Entry read;
  ASSERT_TRUE(db::EntryDB(*store_).GetByHash(e.get_hash(), read));
  EXPECT_EQ(3, read.get_use_count());
}

TEST_F(SharingStoreTest, PasswordAttemptsBackOffPerLinkAndAddress) {
  Entry a = Make(), b = Make();
  db::AttemptThrottle throttle(*store_);
  for (int i = 0; i < db::AttemptThrottle::kFreeFailures; ++i) {
    EXPECT_EQ(0, throttle.BeginAttempt(a.get_hash(), "10.0.0.1")) << i;
  }
  long wait = throttle.BeginAttempt(a.get_hash(), "10.0.0.1");
  EXPECT_GT(wait, 0);
  EXPECT_LE(wait, db::AttemptThrottle::kBasePauseSecs);
  // Other visitors of the link, and the same visitor on another link, are not held back.
  EXPECT_EQ(0, throttle.BeginAttempt(a.get_hash(), "10.0.0.2"));
  EXPECT_EQ(0, throttle.BeginAttempt(b.get_hash(), "10.0.0.1"));
  // A success clears the record.
  throttle.RecordSuccess(a.get_hash(), "10.0.0.2");
  for (int i = 0; i < db::AttemptThrottle::kFreeFailures; ++i) {
    EXPECT_EQ(0, throttle.BeginAttempt(a.get_hash(), "10.0.0.2")) << i;
  }
}

TEST_F(SharingStoreTest, QueriesKeepToTheirConditions) {
  Entry a = Make(), b = Make();
  Entry other;
  other.set_project_name("Other");
  other.set_owner_uid(1027);
  ASSERT_TRUE(db::EntryDB(*store_).CreateWithHash(other));
  db::EntryDB entries(*store_);
  std::vector<Entry> found;
  ASSERT_TRUE(entries.Query(entries.GetCondition().Where(SZK_OWNER_UID, 1026).Where(SZK_PROJECT_NAME, "Folium"), found));
  ASSERT_EQ(2u, found.size());
  EXPECT_EQ(a.get_hash(), found[0].get_hash());
  EXPECT_FALSE(entries.Query(entries.GetCondition().Where("1=1; DROP TABLE entry; --", 1), found));
  ASSERT_TRUE(entries.Delete(a));
  ASSERT_TRUE(entries.Query(entries.GetCondition().Where(SZK_OWNER_UID, 1026), found));
  EXPECT_EQ(1u, found.size());
}

}  // namespace
