// The PDF viewer's transfer-log entries and usage counters.
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <map>

#include "folium/FoliumLog.h"
#include "folium/PDFOp.h"
#include "runas.h"
#include "safe_file.h"
#include "vireo/libc.h"
#include "vireo/log.h"
#include "vireo/sharing.h"

namespace {

struct LogTypeText {
  DocLogType type;
  const char* szText;
};

// Filled at load time from the exported constants.
const std::map<int, LogTypeText> gLogTypeMap = {
    {DOC_LOG_VIEW, {DOC_LOG_VIEW, SZ_TYPE_VIEW}},
    {DOC_LOG_DOWNLOAD, {DOC_LOG_DOWNLOAD, SZ_TYPE_DOWNLOAD}},
};

// Read on every call: a request worker serves many requests, and transfer logging switched on
// or off must hold from the very next one.
VireoConf Settings() { return VireoConf(); }

}  // namespace

bool ViewLog(DocLogType logType, const std::string& sharePath, const std::string& realPath,
             VIREO::APIRequest* request) {
  if (strcasecmp(Settings().Info("filebrowserxferlog", "no").c_str(), "yes") != 0) return true;
  auto type = gLogTypeMap.find(logType);
  if (type == gLogTypeMap.end()) return false;

  StringBundle bundle(3, "sharing");
  std::string strIP = request->GetRemoteIP();
  std::string strUser = SZ_ANONYMOUS_USER;
  std::string strTmpFilename;

  struct stat statBuf;
  IF_RUN_AS(0, 0) {
    // Examined beneath its share, never through a link that leads out of it.
    if (VIREO::PAPERLENS::safe::StatBeneath(realPath, statBuf) != VIREO::PAPERLENS::safe::kOk) {
      FOLIUM_LOG("Failed [%s], err=%m", "0 != stat(strRealPath.c_str(), &statBuf)");
      return false;
    }
  } else {
    FOLIUM_LOG("cannot run as root");
    return false;
  }
  const int64_t fileSize = statBuf.st_size;

  if (!request->IsSharing()) {
    strUser = request->GetLoginUserName();
    strTmpFilename = sharePath;
  } else {
    strUser = request->GetSharingEntry().get_owner_user();
    std::string visitor;
    int uid = request->GetSharingSession().get_uid();
    if (uid != -1 && !VIREO::sharing::UIDToUser(static_cast<unsigned int>(uid), visitor)) {
      return false;
    }
    strTmpFilename = visitor + " " + bundle.Text("download_log_desc", "") + sharePath;
  }

  IF_RUN_AS(0, 0) {
    if (-1 == VIREOLogHARBORFMXferLog(strIP.c_str(), strUser.c_str(), type->second.szText,
                                      fileSize, strTmpFilename.c_str(), 0)) {
      FOLIUM_LOG("Failed [%s], err=%m",
                 "-1 == VIREOLogHARBORFMXferLog(strIP.c_str(), strUser.c_str(), "
                 "gLogTypeMap[logType].szText, fileSize, strTmpFilename.c_str(), 0)");
      return false;
    }
  } else {
    FOLIUM_LOG("cannot run as root");
    return false;
  }
  return true;
}

void PDFAPIBase::UdcInc(const std::string& section) {
  // Read on every call: a request worker serves many requests, and a switch turned on or off
  // must hold from the very next one.
  const bool enabled =
      VLIBCFileCheckKeyValue("/etc/vireoinfo.conf", "enable_data_collect", "yes", 0) != 0;
  if (!enabled) return;
  const ConfigManager::LockType before = udcConfig.GetLockType();
  if (before != ConfigManager::LOCK_EXCLUSIVE) {
    udcConfig.LockW();
    udcConfig.Load();
  }
  Json::Value& config = udcConfig.GetConfig();
  if (!config.isObject()) config = Json::Value(Json::objectValue);
  for (const char* key : {"view_count", "download_count", "print_count"}) {
    if (!config.isMember(key)) config[key] = 0;
  }
  if (!config.isMember("collector_version")) config["collector_version"] = 1;
  const Json::Value& old = config[section];
  const Json::Int64 value = old.isNumeric() ? old.asInt64() : (old.isBool() && old.asBool() ? 1 : 0);
  config[section] = value + 1;
  if (before != ConfigManager::LOCK_EXCLUSIVE) {
    udcConfig.Save();
    udcConfig.Unlock();
    if (before == ConfigManager::LOCK_SHARED) udcConfig.LockR();
  }
}
