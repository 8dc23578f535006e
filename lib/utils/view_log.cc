// The transfer log of viewed documents.
#include "view_log.h"

#include <strings.h>
#include <sys/stat.h>

#include "runas.h"
#include "utils.h"
#include "utils_log.h"
#include "utils_user_group.h"
#include "vireo/log.h"
#include "vireo/webapi.h"

namespace VIREO {
namespace PAPERLENS {

namespace {

// Read on every call: a request worker serves many requests, and transfer logging switched on
// or off must hold from the very next one.
VireoConf Settings() { return VireoConf(); }

}  // namespace

bool ViewLog(const std::string& sharePath, const std::string& realPath,
             VIREO::APIRequest* request) {
  if (strcasecmp(Settings().Info("filebrowserxferlog", "no").c_str(), "yes") != 0) return true;

  StringBundle bundle(3, "sharing");
  std::string strIP = request->GetRemoteIP();
  std::string strUser = SZ_ANONYMOUS_USER;
  std::string strTmpFilename;

  struct stat statBuf;
  IF_RUN_AS(0, 0) {
    if (0 != stat(realPath.c_str(), &statBuf)) {
      return PL_FAILED("0 != stat(strRealPath.c_str(), &statBuf)");
    }
  } else {
    return PL_ERR("cannot run as root");
  }
  const int64_t fileSize = statBuf.st_size;

  if (!request->IsSharing()) {
    strUser = request->GetLoginUserName();
    strTmpFilename = sharePath;
  } else {
    strUser = request->GetSharingEntry().get_owner_user();
    std::string visitor;
    int uid = request->GetSharingSession().get_uid();
    if (uid != -1) {
      unsigned int u = static_cast<unsigned int>(uid);
      if (!UIDToUser(u, visitor)) return false;
    }
    strTmpFilename = visitor + " " + bundle.Text("download_log_desc", "") + sharePath;
  }

  IF_RUN_AS(0, 0) {
    if (-1 == VIREOLogHARBORFMXferLog(strIP.c_str(), strUser.c_str(), SZ_TYPE_VIEW, fileSize,
                                      strTmpFilename.c_str(), 0)) {
      return PL_FAILED(
          "-1 == VIREOLogHARBORFMXferLog(strIP.c_str(), strUser.c_str(), SZ_TYPE_VIEW, fileSize, "
          "strTmpFilename.c_str(), 0)");
    }
  } else {
    return PL_ERR("cannot run as root");
  }
  return true;
}

}  // namespace PAPERLENS
}  // namespace VIREO
