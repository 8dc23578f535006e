// Users and groups over the platform's account calls, trying the name forms in a fixed order.
#include "utils_user_group.h"

#include <string.h>

#include "utils_log.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {

namespace {

// Every intermediate name lives in a zero-filled buffer of this size; longer names are cut.
constexpr int kNameBuffer = 493;

void CopyName(char (&dst)[kNameBuffer], const char* src) {
  memset(dst, 0, sizeof(dst));
  size_t n = strnlen(src, kNameBuffer - 1);
  memcpy(dst, src, n);
}

}  // namespace

std::string GetRealUsername(const char* name) {
  if (name == nullptr) return "";
  char login[kNameBuffer] = {0};
  char result[kNameBuffer] = {0};
  if (VIREOUserLoginNameConvert(name, login, kNameBuffer) < 1) CopyName(login, name);
  login[kNameBuffer - 1] = '\0';

  if (strchr(login, '\\') == nullptr) {
    // A local or directory-service account.
    if (VLIBUserRealNameGet(login, result, kNameBuffer) < 0) {
      PVIREOUSER user = nullptr;
      if (VIREOUserGet(login, &user) >= 0 && user != nullptr) {
        CopyName(result, user->szName);
      } else {
        CopyName(result, login);
      }
      VIREOUserFree(user);
    }
  } else {
    // A domain account: its NetBIOS form must resolve; there is no record fall-back.
    char netbios[kNameBuffer] = {0};
    if (VIREOWinsUserNameFqdn2Netbios(login, netbios, kNameBuffer, 0) < 1) CopyName(netbios, login);
    netbios[kNameBuffer - 1] = '\0';
    if (VLIBUserRealNameGet(netbios, result, kNameBuffer) < 0) memset(result, 0, sizeof(result));
  }
  result[kNameBuffer - 1] = '\0';
  return result;
}

bool UserGet(const char* name, VIREOUSER*& user) {
  std::string realName = GetRealUsername(name);
  if (VIREOUserGet(realName.c_str(), &user) == -1) {
    syslog(LOG_ERR, "%s:%d No such user [%s]", "utils_user_group", __LINE__, realName.c_str());
    return false;
  }
  return true;
}

bool UserToUID(const std::string& name, unsigned int& uid) {
  std::string realName = GetRealUsername(name.c_str());
  PVIREOUSER user = nullptr;
  int rc = VIREOUserGet(realName.c_str(), &user);
  if (rc == 0 && user != nullptr) uid = user->uid;
  VIREOUserFree(user);
  return rc == 0;
}

bool UIDToUser(const unsigned int& uid, std::string& name) {
  PVIREOUSER user = nullptr;
  int rc = VIREOUserGetByUID(uid, &user);
  if (rc == 0 && user != nullptr) name = user->szName;
  VIREOUserFree(user);
  return rc == 0;
}

bool GroupToGID(const std::string& group, unsigned int& gid) {
  return VIREOGroupGetGID(group.c_str(), &gid) == 0;
}

bool GIDToGroup(const unsigned int& gid, std::string& group) {
  PVIREOGROUP record = nullptr;
  int rc = VIREOGroupGetByGID(gid, &record);
  if (rc == 0 && record != nullptr) group = record->szName;
  VIREOGroupFree(record);
  return rc == 0;
}

bool UserGroupsGet(VIREOUSER* user, std::set<unsigned int>& gids) {
  if (user == nullptr) return false;
  PVLIBSZHASH hash = VLIBGroupInfoHashGet(user->szName, 1, 0);
  if (hash == nullptr) return false;
  for (int i = 0; i < hash->nItem; ++i) {
    const char* key = hash->rgszKey[i];
    if (key == nullptr) continue;
    unsigned int gid;
    if (VIREOGroupGetGID(key, &gid) == 0) gids.insert(gid);
  }
  VLIBCSzHashFree(hash);
  return true;
}

}  // namespace PAPERLENS
}  // namespace VIREO
