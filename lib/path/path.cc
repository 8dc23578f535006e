// Share paths: resolution to real paths, EA stream paths and read permission.
#include "path.h"

#include <grp.h>
#include <unistd.h>

#include <vector>

#include "runas.h"
#include "safe_file.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/credentials.h"
#include "vireo/fileshare.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace VIREO {
namespace PAPERLENS {
namespace path {

namespace {

constexpr size_t kPathBuffer = 4096;

// The share name of a share path: the text between index 1 and the next "/".
std::string ShareNameOf(const std::string& sharePath, size_t& pos) {
  pos = sharePath.find('/', 1);
  if (pos == std::string::npos) pos = sharePath.size();
  return sharePath.substr(1, pos - 1);
}

// Restores the supplementary groups that a permission check took on.
class GroupsRestorer {
 public:
  GroupsRestorer() {
    int n = getgroups(0, nullptr);
    if (n >= 0) {
      groups_.resize(n);
      ok_ = getgroups(n, groups_.data()) == n;
    }
  }
  ~GroupsRestorer() {
    if (!ok_) return;
    IF_RUN_AS(0, 0) { setgroups(groups_.size(), groups_.data()); }
  }
  GroupsRestorer(const GroupsRestorer&) = delete;
  GroupsRestorer& operator=(const GroupsRestorer&) = delete;

 private:
  std::vector<gid_t> groups_;
  bool ok_ = false;
};

}  // namespace

bool IsValidSharePath(const std::string& sharePath) {
  if (sharePath.empty() || sharePath[0] != '/') return false;
  if (sharePath.find('\0') != std::string::npos) return false;
  // No "." or ".." component; an empty component ("//") is harmless on its own, but not when
  // it hides one of those, so any component after an empty one is checked the same way.
  size_t start = 1;
  while (start <= sharePath.size()) {
    size_t end = sharePath.find('/', start);
    if (end == std::string::npos) end = sharePath.size();
    std::string comp = sharePath.substr(start, end - start);
    if (comp == "." || comp == ".." || comp == VIREO_EA_DIR_NAME) return false;
    start = end + 1;
  }
  // The share name itself must not be empty ("//docs").
  return sharePath.size() == 1 || sharePath[1] != '/';
}

bool ShareToRealPath(const std::string& sharePath, std::string& realPath,
                     const std::string& user) {
  if (!IsValidSharePath(sharePath) || sharePath.size() < 2) {
    return PL_ERR("bad share path: %s", sharePath.c_str());
  }
  size_t pos;
  std::string shareName = ShareNameOf(sharePath, pos);
  if (DozedoFileShare::IsDirUserHome(shareName, nullptr)) {
    // "/home" alone names no file in the home share.
    if (sharePath.size() < static_cast<size_t>(HOME_LENGTH)) {
      return PL_ERR("bad share path: %s", sharePath.c_str());
    }
    std::string home;
    if (DozedoFileShare::WfmUserHomeFullPathGet(home, user) != 0) {
      return PL_ERR("cannot get user home path %s", shareName.c_str());
    }
    realPath = home + "/" + sharePath.substr(HOME_LENGTH);
    return true;
  }
  PVIREOSHARE share = nullptr;
  if (VIREOShareGet(shareName.c_str(), &share) != 0 || share == nullptr) {
    return PL_ERR("cannot get share path %s", shareName.c_str());
  }
  realPath = std::string(share->szPath) + sharePath.substr(pos);
  VIREOShareFree(share);
  return true;
}

bool RealPathToEAPath(const std::string& realPath, std::string& EAPath,
                      const std::string& EAType) {
  char buf[kPathBuffer] = {0};
  if (VIREOEADirPath(0, realPath.c_str(), buf, sizeof(buf)) != 0) {
    return PL_ERR_SHORT("Get ea dir path error. file path: %s", realPath.c_str());
  }
  std::string eaDir = buf;
  IF_RUN_AS(0, 0) {
    safe::Fd dir;
    std::string leaf;
    safe::Error e = safe::OpenEAFolders(eaDir, /*create=*/false, /*whole=*/true, dir, leaf);
    if (e == safe::kNotFound) {
      e = safe::MakeEAFolder(eaDir);
      if (e != safe::kOk) {
        return PL_ERR_SHORT("Make ea dir path error. eaDir path: %s (%s)", eaDir.c_str(),
                            safe::ErrorText(e));
      }
    } else if (e != safe::kOk) {
      PL_ERR("refusing EA folder %s: %s", eaDir.c_str(), safe::ErrorText(e));
    }
  } else {
    return PL_ERR("failed to change root");
  }
  char stream[kPathBuffer] = {0};
  if (VIREOEAPath(0, realPath.c_str(), EAType.c_str(), stream, sizeof(stream), 0) < 0) {
    return false;
  }
  EAPath = stream;
  return true;
}

bool HasReadPermission(const std::string& realPath, const std::string& user) {
  GroupsRestorer groups;
  IF_RUN_AS(0, 0) {
    if (!ResetCredentialsByName(user, true)) return PL_FAILED("!ResetCredentialsByName(strUserName)");
    unsigned int mask = 0;
    if (VIREOACLPermGet(realPath.c_str(), &mask) < 0) {
      return PL_ERR("cannot get acl permission for %s:%s", user.c_str(), realPath.c_str());
    }
    return (mask & VIREO_PERM_READ) != 0;
  }
  return false;
}

bool IsMegavault(const std::string& sharePath) {
  if (sharePath.empty() || sharePath[0] != '/') {
    return PL_ERR("bad share path: %s", sharePath.c_str());
  }
  size_t pos;
  std::string shareName = ShareNameOf(sharePath, pos);
  PVIREOSHARE share = nullptr;
  if (VIREOShareGet(shareName.c_str(), &share) != 0 || share == nullptr) {
    return PL_ERR("cannot get share path %s", shareName.c_str());
  }
  bool megavault = (share->fStatus & SHARE_STATUS_MEGAVAULT) != 0;
  VIREOShareFree(share);
  return megavault;
}

std::string Path::GetRealPath(const std::string& def) {
  if (HasData("realPath")) return GetString("realPath", def);
  if (!HasData("sharePath")) return def;
  std::string realPath;
  if (!ShareToRealPath(GetSharePath(""), realPath, GetUser(""))) return def;
  SetData("realPath", realPath, true);
  return realPath;
}

std::string Path::GetFileName(const std::string& def) {
  std::string realPath = GetRealPath("");
  size_t slash = realPath.rfind('/');
  if (realPath.empty() || slash == std::string::npos) return def;
  return realPath.substr(slash + 1);
}

std::string Path::GetFileType(const std::string& def) {
  if (HasData("fileType")) return GetString("fileType", def);
  std::string type;
  if (!PAPERLENS::GetFileType(GetRealPath(""), type)) return def;
  SetData("fileType", type, true);
  return type;
}

std::string Path::GetEAPath(const std::string& def) {
  if (HasData("EAPath")) return GetString("EAPath", def);
  if (!HasData("EAType")) return def;
  std::string eaPath;
  if (!RealPathToEAPath(GetRealPath(""), eaPath, GetEAType(""))) return def;
  SetData("EAPath", eaPath, true);
  return eaPath;
}

std::string Path::GetEAPathWithType(const std::string& type, const std::string& def) {
  std::string eaPath;
  if (!RealPathToEAPath(GetRealPath(""), eaPath, type)) return def;
  return eaPath;
}

bool Path::CheckPermission() {
  if (!HasData("user")) return false;
  return HasReadPermission(GetRealPath(""), GetUser(""));
}

bool Path::CheckPermission(const std::string& user) {
  if (!SetData("user", user, true)) return false;
  return CheckPermission();
}

}  // namespace path
}  // namespace PAPERLENS
}  // namespace VIREO
