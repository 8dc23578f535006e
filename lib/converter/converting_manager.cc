#include "converter/converting_manager.h"

#include "converter/process_owner.h"
#include "utils.h"
#include "utils_log.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {

namespace {
constexpr char kRunningFiles[] = "runningFiles";
}  // namespace

ConvertingManager::ConvertingManager(const path::Path& source, const std::string& key,
                                     bool thumbnail)
    : _blRegistered(false),
      _blThumbnail(thumbnail),
      _source(source),
      _key(key),
      _confMgr(SZF_CONFIG_PATH, LOCK_TIMEOUT_SECS) {}

ConvertingManager::~ConvertingManager() { Withdraw(); }

bool ConvertingManager::TryRegister() {
  if (_blRegistered) return true;
  ConfigWriter writer(_confMgr);
  Json::Value& config = _confMgr.GetConfig();
  if (!config.isObject()) config = Json::Value(Json::objectValue);
  Json::Value& files = config[kRunningFiles];
  if (!files.isObject()) files = Json::Value(Json::objectValue);
  if (files.isMember(_key)) {
    if (owner::IsAlive(files[_key])) return false;
    PL_ERR("taking over %s from process %d, gone", _key.c_str(), files[_key]["pid"].asInt());
  }
  files[_key] = owner::Self();
  _blRegistered = true;
  return true;
}

ConvertingManager::MarkerState ConvertingManager::Check() {
  ConfigReader reader(_confMgr);
  const Json::Value& files = _confMgr.GetConfig()[kRunningFiles];
  if (!files.isObject() || !files.isMember(_key)) return kAbsent;
  return owner::IsAlive(files[_key]) ? kHeld : kAbandoned;
}

void ConvertingManager::Withdraw() {
  if (!_blRegistered) return;
  ConfigWriter writer(_confMgr);
  Json::Value& files = _confMgr.GetConfig()[kRunningFiles];
  // Only our own marker: a process that took over an entry we lost keeps it.
  if (files.isObject() && files.isMember(_key) &&
      (owner::IsSelf(files[_key]) || !files[_key].isMember("pid"))) {
    files.removeMember(_key);
  }
  _blRegistered = false;
}

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO
