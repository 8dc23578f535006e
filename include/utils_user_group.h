// Users and groups: canonical account names, and translations between names and ids.
// Stateless; safe from any thread as far as the account database is.
#ifndef PAPERLENS_INCLUDE_UTILS_USER_GROUP_H_
#define PAPERLENS_INCLUDE_UTILS_USER_GROUP_H_

#include <set>
#include <string>

#include "vireo/sdk.h"

namespace VIREO {
namespace PAPERLENS {

// The canonical account name of a name as typed or reported by the web server (names are cut
// to 492 characters). Empty for a null name, and for a domain name that does not resolve.
std::string GetRealUsername(const char* name);

// The account record of `name`. On success the caller owns `user` and releases it with
// VIREOUserFree. False, logged ("No such user"), when the user does not exist.
bool UserGet(const char* name, VIREOUSER*& user);

// uid of a user; false, `uid` untouched, when the user does not exist. Logs nothing.
bool UserToUID(const std::string& name, unsigned int& uid);
// Name of a uid; false, `name` untouched, when no user has it.
bool UIDToUser(const unsigned int& uid, std::string& name);
// gid of a group; false when it does not exist.
bool GroupToGID(const std::string& group, unsigned int& gid);
// Name of a gid; false, `group` untouched, when no group has it.
bool GIDToGroup(const unsigned int& gid, std::string& group);
// Adds the gids of the user's groups to `gids` (not cleared first). False when the user's
// group list cannot be read.
bool UserGroupsGet(VIREOUSER* user, std::set<unsigned int>& gids);

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_UTILS_USER_GROUP_H_
