// Helpers for tests that run inside the appliance sandbox: the system log, files with owners
// and modes, and running a block as another user.
#ifndef PAPERLENS_TESTS_SUPPORT_APPLIANCE_ENV_H_
#define PAPERLENS_TESTS_SUPPORT_APPLIANCE_ENV_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// The appliance's demo accounts.
constexpr uid_t kAliceUid = 1026;
constexpr uid_t kBobUid = 1027;
constexpr uid_t kAdminUid = 1028;
constexpr gid_t kUsersGid = 100;
constexpr gid_t kAdministratorsGid = 1101;
constexpr gid_t kSalesGid = 1102;

// A position in /var/log/messages; lines written after it can be searched.
class LogMark {
 public:
  LogMark();
  // Waits up to `timeoutMs` for a line after the mark that contains `needle`.
  bool Contains(const std::string& needle, int timeoutMs = 2000) const;
  // Waits for a line after the mark that holds every one of `needles`.
  bool HasLine(const std::vector<std::string>& needles, int timeoutMs = 3000) const;
  // The first line after the mark that contains `needle` (waiting as above); "" when none.
  std::string Line(const std::string& needle, int timeoutMs = 3000) const;
  // Lines after the mark that contain `needle`, after a short settling wait.
  int Count(const std::string& needle, int settleMs = 200) const;
  // Everything logged after the mark.
  std::string Text() const;

 private:
  long offset_;
};

// Writes a file (creating its folder), then sets owner and mode. Aborts the test on failure.
void WriteFile(const std::string& path, const std::string& content, mode_t mode = 0644,
               uid_t uid = 0, gid_t gid = 0);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// mkdir -p with owner and mode for the last component.
void MakeDir(const std::string& path, mode_t mode = 0755, uid_t uid = 0, gid_t gid = 0);
// rm -rf
void RemoveAll(const std::string& path);
// Runs a shell command; its exit status.
int Shell(const std::string& command);

// Switches the effective uid and gid for the scope (root's real and saved ids stay).
class ScopedEffectiveUser {
 public:
  ScopedEffectiveUser(uid_t uid, gid_t gid);
  ~ScopedEffectiveUser();
  ScopedEffectiveUser(const ScopedEffectiveUser&) = delete;
  ScopedEffectiveUser& operator=(const ScopedEffectiveUser&) = delete;
};

}  // namespace testsupport

#endif  // PAPERLENS_TESTS_SUPPORT_APPLIANCE_ENV_H_
