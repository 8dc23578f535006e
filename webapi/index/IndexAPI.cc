// VIREO.Paperlens.Index: the index settings of the administrator's user interface.
#include "index/IndexAPI.h"

#include <unistd.h>

#include <vector>

#include "TaskDB.h"
#include "frame/APIFrame.h"
#include "index/IndexQueue.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/error.h"
#include "vireo/libc.h"

using namespace VIREO::PAPERLENS;

namespace {

const Json::Value kNull;

Json::Value& ItemsOf(Json::Value& config) {
  if (!config.isObject()) config = Json::Value(Json::objectValue);
  if (!config["items"].isArray()) config["items"] = Json::Value(Json::arrayValue);
  return config["items"];
}

}  // namespace

IndexBase::IndexBase(VIREO::APIRequest* request, VIREO::APIResponse* response)
    : DocAPI(request, response), indexConfig(SZF_INDEX_CONFIG, 5) {}

// ---- list ---------------------------------------------------------------------------------

bool IndexList::Execute() {
  ConfigReader reader(indexConfig);
  TaskDB db;
  db.OpenDB();
  output["items"] = Json::Value(Json::arrayValue);
  const Json::Value& config = indexConfig.GetConfig();
  const Json::Value& items = config.isObject() ? config["items"] : kNull;
  for (const Json::Value& item : items) {
    Json::Value copy = item;
    const std::string sharePath = item.isObject() && item["path"].isString()
                                      ? item["path"].asString() : "";
    if (copy.isObject() && IsValidDir(sharePath)) {
      // A folder is busy while a queued task lies in it, judged by its real path.
      copy["status"] = db.HasTaskWithin(RealPathOf(sharePath)) ? "processing" : "finished";
    } else if (copy.isObject()) {
      copy["status"] = "error";
    }
    output["items"].append(copy);
  }
  return true;
}

// ---- set ----------------------------------------------------------------------------------

IndexSet::IndexSet(VIREO::APIRequest* request, VIREO::APIResponse* response)
    : IndexBase(request, response),
      path(),
      id(request->GetParam("id", -1).isInt() ? request->GetParam("id", -1).asInt() : -1),
      enableThumbnail(request->GetParam("enable_thumbnail", false).isBool() &&
                      request->GetParam("enable_thumbnail", false).asBool()),
      enablePreconvert(request->GetParam("enable_preconvert", false).isBool() &&
                       request->GetParam("enable_preconvert", false).asBool()) {}

bool IndexSet::ParseParams() {
  if (!enableThumbnail && !enablePreconvert) {
    response->SetError(400, "cannot both empty");
    return false;
  }
  const Json::Value p = request->GetParam("path", "");
  path.SetData("sharePath", p.isString() ? p.asString() : "", true);
  if (!IsValidDir(path.GetSharePath(""))) {
    response->SetError(400, "invalid path");
    return false;
  }
  return true;
}

bool IndexSet::Execute() {
  const std::string sharePath = path.GetSharePath("");
  ConfigWriter writer(indexConfig);
  Json::Value& items = ItemsOf(indexConfig.GetConfig());
  int maxId = 0;
  for (Json::Value& item : items) {
    if (!item.isObject()) continue;
    if (item["id"].isInt() && item["id"].asInt() == id) {
      item["path"] = sharePath;
      item["enable_thumbnail"] = enableThumbnail;
      item["enable_preconvert"] = enablePreconvert;
      return true;
    }
    if (item["path"].isString() && item["path"].asString() == sharePath) {
      response->SetError(1050, "duplicate");
      return false;
    }
    if (item["id"].isInt() && item["id"].asInt() > maxId) maxId = item["id"].asInt();
  }
  Json::Value item(Json::objectValue);
  item["id"] = maxId + 1;
  item["path"] = sharePath;
  item["enable_thumbnail"] = enableThumbnail;
  item["enable_preconvert"] = enablePreconvert;
  items.append(item);
  return true;
}

bool IndexSet::FormOutput() {
  try {
    UpdateMonitor(indexConfig.GetConfig());
    // Not only a touch that cannot run: one that ran and failed leaves indexing off too.
    if (VLIBCExec("/bin/touch", SZF_ENABLE_INDEX, NULL, NULL, NULL) != 0) {
      throw std::string("cannot touch");
    }
    StartDaemon();
    QueueFolders({path.GetSharePath("")});
  } catch (const VIREOERR&) {
    PL_ERR_PLATFORM();
    response->SetError(117);
    return false;
  } catch (const std::string& text) {
    PL_ERR("%s", text.c_str());
    response->SetError(117, text);
    return false;
  }
  return true;
}

// ---- delete -------------------------------------------------------------------------------

std::set<int> IdsOf(const VIREO::APIRequest* request) {
  std::set<int> ids;
  for (const Json::Value& v : request->GetParam("ids", Json::Value(Json::arrayValue))) {
    if (v.isInt()) ids.insert(v.asInt());
  }
  return ids;
}

bool IndexDelete::ParseParams() {
  ids = IdsOf(request);
  return true;
}

bool IndexDelete::Execute() {
  std::string failure;
  {
    ConfigWriter writer(indexConfig);
    Json::Value& config = indexConfig.GetConfig();
    if (!config.isObject() || !config.isMember("items")) return true;
    Json::Value kept(Json::arrayValue);
    for (const Json::Value& item : ItemsOf(config)) {
      if (!item.isObject() || !item["id"].isInt() || ids.count(item["id"].asInt()) == 0) {
        kept.append(item);
        continue;
      }
      const std::string real = item["path"].isString() ? RealPathOf(item["path"].asString()) : "";
      if (real.empty()) continue;
      Json::Value record(Json::objectValue);
      record["event"] = INDEX_EVENT_REMOVE;
      record["is_dir"] = true;
      record["path"] = real;
      try {
        AppendToQueue(record);
      } catch (const VIREOERR&) {
        PL_ERR_PLATFORM();  // the folder still leaves the index
      }
    }
    config = Json::Value(Json::objectValue);
    config["items"] = kept;
    // Each step is tried even when one before it failed: the monitor must not go on watching
    // folders that left the index because the daemon could not be stopped.
    if (kept.empty()) {
      unlink(SZF_ENABLE_INDEX);
      try {
        StopDaemon();
      } catch (const std::string& text) {
        failure = text;
      }
    }
    try {
      UpdateMonitor(config);
    } catch (const std::string& text) {
      if (failure.empty()) failure = text;
    }
  }  // saved and unlocked
  if (!failure.empty()) {
    PL_ERR("%s", failure.c_str());
    response->SetError(117, failure);
    return false;
  }
  return true;
}

// ---- reindex ------------------------------------------------------------------------------

bool IndexReindex::ParseParams() {
  ids = IdsOf(request);
  return true;
}

bool IndexReindex::Execute() {
  ConfigReader reader(indexConfig);
  const Json::Value& config = indexConfig.GetConfig();
  if (!config.isObject() || !config.isMember("items")) return true;
  std::vector<std::string> folders;
  for (const Json::Value& item : config["items"]) {
    if (!item.isObject() || !item["id"].isInt() || ids.count(item["id"].asInt()) == 0) continue;
    const std::string sharePath = item["path"].isString() ? item["path"].asString() : "";
    if (IsValidDir(sharePath)) {
      folders.push_back(sharePath);
    } else {
      PL_ERR("%s is not valid dir", sharePath.c_str());
    }
  }
  try {
    QueueFolders(folders);
  } catch (const VIREOERR&) {
    PL_ERR_PLATFORM();
    response->SetError(117);
    return false;
  }
  return true;
}

// ---- Checks and tables --------------------------------------------------------------------

namespace {

using VIREO::PAPERLENS::frame::APICheckRow;
using VIREO::PAPERLENS::frame::APIMethodRow;
using VIREO::PAPERLENS::frame::CheckNothing;
using VIREO::PAPERLENS::frame::RefuseParam;

constexpr char kApi[] = "VIREO.Paperlens.Index";

bool CheckSet(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  VIREO::APIParameter<int> id = request->GetAndCheckInt("id", 1, nullptr);
  if (id.IsInvalid()) return RefuseParam(response, "id", id.IsSet());
  VIREO::APIParameter<std::string> path = request->GetAndCheckString("path", 0, nullptr);
  if (path.IsInvalid()) return RefuseParam(response, "path", path.IsSet());
  for (const char* name : {"enable_thumbnail", "enable_preconvert"}) {
    VIREO::APIParameter<bool> b = request->GetAndCheckBool(name, 0, nullptr);
    if (b.IsInvalid()) return RefuseParam(response, name, b.IsSet());
  }
  return true;
}

bool CheckIds(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  VIREO::APIParameter<Json::Value> ids = request->GetAndCheckUnitArray("ids", 0, nullptr);
  if (ids.IsInvalid()) return RefuseParam(response, "ids", ids.IsSet());
  for (const Json::Value& v : ids.Get()) {
    if (!v.isIntegral()) return RefuseParam(response, "ids", /*isSet=*/true);
  }
  return true;
}

const APIMethodRow kMethods[] = {
    {kApi, 1, "set", &DocEntry<IndexSet>},
    {kApi, 1, "list", &DocEntry<IndexList>},
    {kApi, 1, "delete", &DocEntry<IndexDelete>},
    {kApi, 1, "reindex", &DocEntry<IndexReindex>},
    {nullptr, 0, nullptr, nullptr},
};

const APICheckRow kChecks[] = {
    {kApi, 1, "reindex", &CheckIds, 0, 0},
    {kApi, 1, "set", &CheckSet, 0, 0},
    {kApi, 1, "list", &CheckNothing, 0, 0},
    {kApi, 1, "delete", &CheckIds, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0},
};

}  // namespace

extern "C" const void* GetAPITable() { return kMethods; }
extern "C" const void* GetAPICheckTable() { return kChecks; }
