// Privilege scopes: running a block with other effective ids.
//
//   IF_RUN_AS(0, 0) {
//     ... runs with effective uid 0 and gid 0 ...
//   } else {
//     ... the switch failed (already logged to the auth facility) ...
//   }
//
// Entering remembers the effective ids and switches (logging "file:line ERROR: IF_RUN_AS(u, g)"
// to auth.err on failure, and skipping the block); leaving the statement restores the remembered
// ids on every path out, break, return and exceptions included (logging "ERROR: ~IF_RUN_AS" to
// auth.crit when that fails). Entering when the ids already match makes no set-id call.
//
// ENTERCriticalSection / LEAVECriticalSection are the statement pair form used around a single
// call: enter switches to 0/0 (errno EPERM and an auth line on failure, else errno 0), the
// guarded statements run either way, leave switches back.
//
// Effective ids belong to the whole process: not safe against other threads doing the same.
// Header-only, shared by every deliverable.
#ifndef PAPERLENS_INCLUDE_RUNAS_H_
#define PAPERLENS_INCLUDE_RUNAS_H_

#include <errno.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

namespace VIREO {
namespace PAPERLENS {

class RunAs {
 public:
  RunAs(uid_t uid, gid_t gid, const char* file, int line, const char* label)
      : uid_(uid), gid_(gid), file_(file), line_(line), label_(label),
        savedUid_(geteuid()), savedGid_(getegid()) {
    ok_ = Enter();
    if (!ok_) {
      syslog(LOG_AUTH | LOG_ERR, "%s:%d ERROR: %s(%d, %d)", file_, line_, label_,
             static_cast<int>(uid_), static_cast<int>(gid_));
    }
  }

  ~RunAs() {
    uid_t curUid = geteuid();
    gid_t curGid = getegid();
    if (curUid == savedUid_ && curGid == savedGid_) return;
    int saved = errno;
    bool ok = true;
    if (curUid != 0 && curUid != savedUid_ && setresuid(-1, 0, -1) < 0) ok = false;
    if (ok && savedGid_ != curGid && savedGid_ != static_cast<gid_t>(-1) &&
        setresgid(-1, savedGid_, -1) != 0) {
      ok = false;
    }
    if (ok && savedUid_ != curUid && savedUid_ != static_cast<uid_t>(-1) &&
        setresuid(-1, savedUid_, -1) != 0) {
      ok = false;
    }
    if (!ok) {
      syslog(LOG_AUTH | LOG_CRIT, "%s:%d ERROR: ~%s(%d, %d)", file_, line_, label_,
             static_cast<int>(savedUid_), static_cast<int>(savedGid_));
    }
    errno = saved;
  }

  RunAs(const RunAs&) = delete;
  RunAs& operator=(const RunAs&) = delete;

  explicit operator bool() const { return ok_; }

 private:
  bool Enter() {
    if (savedUid_ == uid_ && savedGid_ == gid_) return true;
    if (savedUid_ != 0 && setresuid(-1, 0, -1) < 0) return false;
    if (getegid() != gid_ && setresgid(-1, gid_, -1) != 0) return false;
    if (geteuid() != uid_ && setresuid(-1, uid_, -1) != 0) return false;
    return true;
  }

  const uid_t uid_;
  const gid_t gid_;
  const char* const file_;
  const int line_;
  const char* const label_;
  const uid_t savedUid_;
  const gid_t savedGid_;
  bool ok_;
};

// The statement-pair form. REQUIRES: used at most once per block scope.
class CriticalSection {
 public:
  static void Enter(uid_t& savedUid, gid_t& savedGid, const char* file, int line) {
    savedUid = geteuid();
    savedGid = getegid();
    bool ok = true;
    if (savedGid != 0 && setresgid(-1, 0, -1) != 0) ok = false;
    if (ok && savedUid != 0 && setresuid(-1, 0, -1) != 0) ok = false;
    if (!ok) {
      syslog(LOG_AUTH | LOG_ERR, "%s:%d ERROR: ENTERCriticalSection", file, line);
      errno = EPERM;
    } else {
      errno = 0;
    }
  }

  static void Leave(uid_t savedUid, gid_t savedGid, const char* file, int line) {
    bool ok = true;
    if (geteuid() != savedUid) {
      if (setresuid(-1, 0, -1) != 0) ok = false;
      if (ok && getegid() != savedGid && setresgid(-1, savedGid, -1) != 0) ok = false;
      if (ok && setresuid(-1, savedUid, -1) != 0) ok = false;
    } else if (getegid() != savedGid) {
      if (setresgid(-1, savedGid, -1) != 0) ok = false;
    }
    if (!ok) {
      syslog(LOG_AUTH | LOG_ERR, "%s:%d ERROR: LEAVECriticalSection", file, line);
      errno = EPERM;
    } else {
      errno = 0;
    }
  }
};

}  // namespace PAPERLENS
}  // namespace VIREO

#define IF_RUN_AS(uid, gid)                                                                  \
  if (::VIREO::PAPERLENS::RunAs run_as_((uid), (gid), __FILE__, __LINE__, "IF_RUN_AS"); run_as_)

#define ENTERCriticalSection                                                                 \
  uid_t critical_section_uid_;                                                               \
  gid_t critical_section_gid_;                                                               \
  ::VIREO::PAPERLENS::CriticalSection::Enter(critical_section_uid_, critical_section_gid_,   \
                                             __FILE__, __LINE__)

#define LEAVECriticalSection                                                                 \
  ::VIREO::PAPERLENS::CriticalSection::Leave(critical_section_uid_, critical_section_gid_,   \
                                             __FILE__, __LINE__)

#endif  // PAPERLENS_INCLUDE_RUNAS_H_
