// Helpers for the storage tests: look at databases the way a peer or an administrator would
// (the sqlite3 program, a second connection).
#ifndef PAPERLENS_LIB_DB_DB_TEST_UTIL_H_
#define PAPERLENS_LIB_DB_DB_TEST_UTIL_H_

#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "BaseDB.h"

namespace VIREO {
namespace PAPERLENS {
namespace testing {

// Runs a program and returns what it printed on standard output ("" when it could not run).
inline std::string RunCapture(const std::vector<std::string>& argv) {
  int out[2];
  if (pipe(out) != 0) return "";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

// What `sqlite3 <db> .schema` shows.
inline std::string Schema(const std::string& db) { return RunCapture({"sqlite3", db, ".schema"}); }

// Rows as a second connection sees them.
inline BaseDB::Rows Query(const std::string& db, const std::string& sql) {
  BaseDB peer(db);
  BaseDB::Rows rows;
  if (!peer.Open() || !peer.QueryResult(sql, rows)) rows.clear();
  return rows;
}

// Runs statements on a second connection, outside the code under test.
inline bool Write(const std::string& db, const std::string& sql) {
  BaseDB peer(db);
  return peer.Open() && peer.Exec(sql);
}

inline void RemoveDB(const std::string& db) {
  unlink(db.c_str());
  unlink((db + "-journal").c_str());
}

}  // namespace testing
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_LIB_DB_DB_TEST_UTIL_H_
