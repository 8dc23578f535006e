// Taking on a user's credentials for permission checks.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vireo/credentials.h"
#include "vireo/sdk.h"

bool ResetCredentialsByName(const std::string& user, bool withGroups) {
  if (user.empty()) {
    errno = EINVAL;
    return false;
  }
  PVIREOUSER record = nullptr;
  if (VIREOUserGet(user.c_str(), &record) != 0 || record == nullptr) {
    errno = ENOENT;
    return false;
  }
  std::string name = record->szName;
  uid_t uid = record->uid;
  gid_t gid = record->gid;
  VIREOUserFree(record);

  std::vector<gid_t> groups;
  if (withGroups) {
    int n = 64;
    groups.resize(n);
    while (getgrouplist(name.c_str(), gid, groups.data(), &n) < 0) {
      if (n > (1 << 16)) return false;
      groups.resize(static_cast<size_t>(n) + 64);
      n = static_cast<int>(groups.size());
    }
    groups.resize(n);
  }
  // Everything below needs root; become it first if the process switched away.
  if (geteuid() != 0 && setresuid(-1, 0, -1) != 0) return false;
  if (withGroups && setgroups(groups.size(), groups.data()) != 0) return false;
  if (setresgid(-1, gid, -1) != 0) return false;
  if (setresuid(-1, uid, -1) != 0) {
    int saved = errno;
    setresgid(-1, 0, -1);
    errno = saved;
    return false;
  }
  return true;
}

namespace PrivilegeUtil {
bool SetEUGID(const std::string& user, bool withGroups) {
  return ResetCredentialsByName(user, withGroups);
}
}  // namespace PrivilegeUtil
