#include "utils_udc.h"

#include "utils.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {

namespace {

constexpr char kSettings[] = "/etc/vireoinfo.conf";

int IntegerReading(const Json::Value& v) {
  if (v.isIntegral()) return static_cast<int>(v.asInt64());
  if (v.isDouble()) return static_cast<int>(v.asDouble());
  return 0;
}

}  // namespace

void InitUdcConfig(Json::Value& jsConfig) {
  if (!jsConfig.isObject()) jsConfig = Json::Value(Json::objectValue);
  if (!jsConfig.isMember("collector_version")) jsConfig["collector_version"] = 1;
  if (!jsConfig.isMember("thirdparty_count")) jsConfig["thirdparty_count"] = 0;
  if (!jsConfig.isMember("convert_time")) jsConfig["convert_time"] = Json::Value(Json::arrayValue);
  if (!jsConfig.isMember("file_types")) jsConfig["file_types"] = Json::Value(Json::arrayValue);
}

UDC::UDC()
    : _confMgr(SZF_UDC_PATH, LOCK_TIMEOUT_SECS),
      _blEnabled(VLIBCFileCheckKeyValue(kSettings, "enable_data_collect", "yes", 0) != 0),
      _convertStart(0) {}

void UDC::IncSection(const std::string& strSection) {
  if (!_blEnabled) return;
  ConfigWriter writer(_confMgr);
  Json::Value& config = _confMgr.GetConfig();
  InitUdcConfig(config);
  config[strSection] = IntegerReading(config[strSection]) + 1;
}

void UDC::StartConvert() {
  if (_blEnabled) _convertStart = time(nullptr);
}

void UDC::EndConvert() {
  if (!_blEnabled || _convertStart == 0) return;
  time_t now = time(nullptr);
  Json::Int64 seconds = static_cast<Json::Int64>(now - _convertStart);
  _convertStart = 0;
  ConfigWriter writer(_confMgr);
  Json::Value& config = _confMgr.GetConfig();
  InitUdcConfig(config);
  // A value of another type under the key is left alone rather than replaced.
  if (config["convert_time"].isArray()) config["convert_time"].append(seconds);
}

void UDC::AddFileType(const std::string& strFileType) {
  if (!_blEnabled) return;
  ConfigWriter writer(_confMgr);
  Json::Value& config = _confMgr.GetConfig();
  InitUdcConfig(config);
  if (config["file_types"].isArray()) config["file_types"].append(strFileType);
}

}  // namespace PAPERLENS
}  // namespace VIREO
