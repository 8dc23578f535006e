// VIREO.Paperlens.Convert: documents as PDF, converted in the background and cached.
#include "convert/ConvertAPI.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "cache_manager.h"
#include "converter/converter.h"
#include "converter/pdf.h"
#include "path.h"
#include "runas.h"
#include "safe_file.h"
#include "ThirdPartyConvertDB.h"
#include "utils.h"
#include "utils_log.h"
#include "utils_udc.h"
#include "view_log.h"

using namespace VIREO::PAPERLENS;

namespace {

constexpr int64_t kCacheLimit = 1073741824;  // 1 GiB
constexpr char kContentType[] = "Content-Type: application/pdf\r\n\r\n";

bool SendStream(int fd, FILE* out) {
  if (fwrite(kContentType, 1, sizeof(kContentType) - 1, out) != sizeof(kContentType) - 1) {
    return false;
  }
  return VIREO::SendBody(out, fd);
}

// The file "poll_start" checked, for its background task: the task runs in a child process
// that starts from a copy of this process's memory, so it finds here what the handler recorded
// just before starting it.
struct CheckedFile {
  std::string realPath;
  dev_t dev = 0;
  ino_t ino = 0;
};
CheckedFile gTaskSource;

}  // namespace

// The document is opened here, with the user's credentials and beneath its share, and Execute
// reads that descriptor: what was judged is what is sent, whatever happens to the name.
bool ConvertGet::OpenDocument() {
  safe::Error e = safe::OpenDocument(realPath, user, document, &documentStat);
  if (e == safe::kOk) return true;
  if (e != safe::kDenied && e != safe::kNotFound) {
    PL_ERR("refusing %s for %s: %s", realPath.c_str(), user.c_str(), safe::ErrorText(e));
  }
  return false;
}

int ConvertGet::ParseParams() {
  path::Path path;
  path.InitField("path");
  sharePath = request->GetParam("path", Json::Value()).asString();
  user = request->IsSharing() ? request->GetSharingEntry().get_owner_user()
                              : request->GetLoginUserName();
  path.SetData("sharePath", sharePath, true);
  path.SetData("user", user, true);
  realPath = path.GetRealPath("");
  if (realPath.empty()) return 120;
  if (!path.CheckPermission()) return 120;
  return OpenDocument() ? 0 : 120;
}

int ConvertGet::Execute() {
  UDC udc;
  CacheManager cache(true, kCacheLimit);
  if (!cache.IsGood()) {
    PL_FAILED("!cache.IsGood()");
    return 117;
  }
  std::string type;
  GetFileType(realPath, type);
  safe::Fd cached;
  std::string sent = realPath;
  if (type != "pdf") {
    std::string streamPath;
    if (!path::RealPathToEAPath(realPath, streamPath, SZK_THUMB_PDF_TYPE)) {
      PL_ERR("failed to get ea real path(mounted iso?)");
      return 101;
    }
    if (!cache.Get(realPath, SZK_THUMB_PDF_TYPE, cached)) {
      PL_ERR("no pdf file in the cache");
      return 117;
    }
    sent = streamPath;
  }
  const int fd = type == "pdf" ? document.Get() : cached.Get();
  if (fd < 0) {
    PL_ERR("Failed to open %s", sent.c_str());
    return 117;
  }
  isOutput = false;
  response->SetEnableOutput(false);
  if (!SendStream(fd, response->GetOutput())) PL_ERR("sending %s failed", sent.c_str());
  if (!ViewLog(sharePath, realPath, request)) PL_ERR("view log error");
  udc.AddFileType(type);
  return 0;
}

int ConvertPollStart::ParseParams() {
  if (ConvertGet::ParseParams() != 0) return 101;
  std::string type;
  GetFileType(realPath, type);
  if (type == "pdf") {
    isReady = true;
    return 0;
  }
  CacheManager cache(true, kCacheLimit);
  std::string streamPath;
  if (!path::RealPathToEAPath(realPath, streamPath, SZK_THUMB_PDF_TYPE)) {
    PL_ERR("failed to get ea real path(mounted iso?)");
    return 101;
  }
  if (!cache.IsGood()) {
    PL_ERR("cache manager db is broken");
    return 117;
  }
  safe::Fd cached;
  if (cache.Get(realPath, SZK_THUMB_PDF_TYPE, cached)) isReady = true;
  return 0;
}

int ConvertPollStart::Execute() {
  if (isReady) return 0;
  gTaskSource.realPath = realPath;
  gTaskSource.dev = documentStat.st_dev;
  gTaskSource.ino = documentStat.st_ino;
  VIREO::APIPolling polling(request);
  polling.SetGroupAttr("everyone");
  polling.SetRemoveAttr(false);
  polling.SetPrefixAttr("Paperlens");
  polling.Start(response, ConvertPollingTask, &realPath);
  return 0;
}

int ConvertPollStart::FormOutput() {
  if (isReady) {
    output["task_id"] = 0;
    return 0;
  }
  isOutput = false;  // Start answered with the task's id (or its failure)
  return 0;
}

void ConvertPollingTask(VIREO::APIRequest* /*request*/, VIREO::APIResponse* response,
                        void* data) {
  const std::string& realPath = *static_cast<const std::string*>(data);
  UDC udc;
  udc.StartConvert();
  int rc = converter::kConvertRefused;
  IF_RUN_AS(0, 0) {
    path::Path path;
    path.InitField("path");
    path.SetData("realPath", realPath, true);
    // Exactly the file the request checked: a file swapped in under its name since is refused.
    if (gTaskSource.realPath == realPath) {
      path.SetData("device", static_cast<Json::UInt64>(gTaskSource.dev), true);
      path.SetData("inode", static_cast<Json::UInt64>(gTaskSource.ino), true);
    }
    rc = converter::ToPDFCache(path);
  }
  if (rc == converter::kConvertSuccess) {
    udc.EndConvert();
    return;
  }
  PL_ERR("Failed to convert %s", realPath.c_str());
  response->SetError(rc, Json::Value("convertion failed"));
}

int ConvertPollStatus::Execute() {
  VIREO::APIPolling polling(request);
  const std::string taskId = request->GetParam("task_id", "").asString();
  int rc = 117;
  IF_RUN_AS(0, 0) {
    if (polling.Status(taskId, output)) {
      if (output["finish"].asBool()) polling.Stop(taskId, true);
      rc = 0;
    } else {
      errMsg = polling.GetError();
    }
  }
  return rc;
}

int ConvertGetThirdParty::ParseParams() {
  taskId = request->GetParam("task_id", Json::Value()).asString();
  return 0;
}

int ConvertGetThirdParty::Execute() {
  ThirdPartyConvertDB db;
  if (!db.IsGood()) {
    PL_FAILED("!db.IsGood()");
    return 117;
  }
  ThirdPartyConvertDB::Task task;
  if (!db.GetByTaskId(taskId, task)) {
    errMsg = "incorrect task id";
    return 101;
  }
  if (task.uid != request->GetLoginUID()) {
    errMsg = "permission denied";
    return 105;
  }
  if (task.error_code != 1000) {
    errMsg = "document not ready";
    return 101;
  }
  VIREO::APIDownload download(response);
  isOutput = false;
  response->SetEnableOutput(false);
  download.SetXSendFileDisabled();
  ENTERCriticalSection;
  download.Output(task.conv_path);
  unlink(task.conv_path.c_str());
  LEAVECriticalSection;
  db.Delete(task);
  return 0;
}

// ---- Tables -------------------------------------------------------------------------------

namespace {

using VIREO::PAPERLENS::frame::APICheckRow;
using VIREO::PAPERLENS::frame::APIMethodRow;
using VIREO::PAPERLENS::frame::CheckStringParam;
using VIREO::PAPERLENS::frame::Entry;

constexpr char kApi[] = "VIREO.Paperlens.Convert";
constexpr char kPath[] = "path";
constexpr char kTaskId[] = "task_id";

const APIMethodRow kMethods[] = {
    {kApi, 1, "poll_start", &Entry<ConvertPollStart>},
    {kApi, 1, "poll_status", &Entry<ConvertPollStatus>},
    {kApi, 1, "get_thirdparty", &Entry<ConvertGetThirdParty>},
    {kApi, 1, "get", &Entry<ConvertGet>},
    {nullptr, 0, nullptr, nullptr},
};

const APICheckRow kChecks[] = {
    {kApi, 1, "poll_start", &CheckStringParam<kPath>, 0, 0},
    {kApi, 1, "poll_status", &CheckStringParam<kTaskId>, 0, 0},
    {kApi, 1, "get_thirdparty", &CheckStringParam<kTaskId>, 0, 0},
    {kApi, 1, "get", &CheckStringParam<kPath>, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0},
};

}  // namespace

extern "C" const void* GetAPITable() { return kMethods; }
extern "C" const void* GetAPICheckTable() { return kChecks; }
