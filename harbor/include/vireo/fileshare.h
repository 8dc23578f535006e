// The file-share service: the per-user home share and home directories.
#ifndef HARBOR_VIREO_FILESHARE_H_
#define HARBOR_VIREO_FILESHARE_H_

#include <string>

class DozedoFileShare {
 public:
  // True when `shareName` names the per-user home share ("home"). `user` may be null; when
  // given, the user's home directory must also exist.
  static bool IsDirUserHome(const std::string& shareName, const char* user);

  // The full path of the user's home directory (the account's home, under /volumeN/homes).
  // 0 on success; -1 when the user is empty or unknown, or the folder does not exist.
  static int WfmUserHomeFullPathGet(std::string& home, const std::string& user);
};

#endif  // HARBOR_VIREO_FILESHARE_H_
