// File utilities shared by the conversion engine, the cache and the daemon.
#include "utils.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cctype>
#include <vector>

#include "path.h"
#include "runas.h"
#include "utils_log.h"
#include "vireo/sdk.h"

namespace VIREO {
namespace PAPERLENS {

bool MoveOrCopyFile(const std::string& src, const std::string& dst, bool move) {
  VIREOFILECOPYOPT opt;
  memset(&opt, 0, sizeof(opt));
  opt.iVersion = 1;
  opt.blMove = move ? 1 : 0;
  return VIREOFileCopy(src.c_str(), dst.c_str(), &opt) == 0;
}

bool MoveFile(const std::string& src, const std::string& dst) {
  return MoveOrCopyFile(src, dst, true);
}

bool CopyFile(const std::string& src, const std::string& dst) {
  return MoveOrCopyFile(src, dst, false);
}

bool VolumePathGet(const std::string& sharePath, std::string& volumePath) {
  size_t pos = sharePath.find('/', 1);
  std::string shareName = sharePath.size() > 1 ? sharePath.substr(1, pos == std::string::npos
                                                                         ? std::string::npos
                                                                         : pos - 1)
                                                : "";
  PVIREOSHARE share = nullptr;
  if (sharePath.empty() || sharePath[0] != '/' || VIREOShareGet(shareName.c_str(), &share) != 0 ||
      share == nullptr) {
    return PL_ERR("share name: %s", shareName.c_str());
  }
  std::string sharePathOnVolume = share->szPath;
  VIREOShareFree(share);
  size_t last = sharePathOnVolume.rfind('/');
  volumePath = last == std::string::npos ? "" : sharePathOnVolume.substr(0, last);
  return true;
}

bool GetFileType(const std::string& path, std::string& type) {
  std::string ext = boost::filesystem::path(path).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext.empty()) {
    type.clear();
    return false;
  }
  type = ext.substr(1);
  return true;
}

bool IsFileValidSize(const std::string& path) {
  struct stat st;
  IF_RUN_AS(0, 0) {
    if (stat(path.c_str(), &st) != 0) return false;
  } else {
    return PL_ERR("cannot run as root");
  }
  return st.st_size > 10;
}

bool CreateTmpFileNameWithType(const std::string& type, const std::string& dir, path::Path& path) {
  std::string tmpl = dir + "XXXXXX." + type;
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemps(name.data(), static_cast<int>(type.size() + 1));
  if (fd < 0) return PL_ERR_SHORT("mkstemp %s failed", tmpl.c_str());
  close(fd);
  path.SetData("realPath", std::string(name.data()), true);
  return true;
}

}  // namespace PAPERLENS
}  // namespace VIREO
