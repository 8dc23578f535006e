// The credentials library: taking on a user's identity for permission checks.
//
// These change the effective ids (and the supplementary groups) of the whole process; they need
// an effective uid of 0 when called and are not safe against other threads doing the same.
#ifndef HARBOR_VIREO_CREDENTIALS_H_
#define HARBOR_VIREO_CREDENTIALS_H_

#include <string>

// Takes on the credentials of `user`: its supplementary groups (with `withGroups`), its primary
// group as effective gid and its uid as effective uid. The real and saved ids stay, so the
// caller can switch back. False, with nothing changed, when the user is unknown or a call fails.
bool ResetCredentialsByName(const std::string& user, bool withGroups);

namespace PrivilegeUtil {
// As ResetCredentialsByName.
bool SetEUGID(const std::string& user, bool withGroups);
}  // namespace PrivilegeUtil

#endif  // HARBOR_VIREO_CREDENTIALS_H_
