// udc/paperlens: prints the document viewer's usage counts, with the index settings, as one JSON
// object on standard output, and deletes the usage file so the next collection starts from zero.
// Exits with 0 in all cases.
#include <errno.h>
#include <unistd.h>

#include <iostream>

#include "config_manager.h"
#include "utils.h"
#include "utils_json.h"
#include "utils_log.h"
#include "utils_udc.h"
#include "vireo/libc.h"

using namespace VIREO::PAPERLENS;

namespace {

// A setting that "reads as true": a true boolean or a non-zero number.
bool ReadsAsTrue(const Json::Value& v) {
  if (v.isBool()) return v.asBool();
  if (v.isNumeric()) return v.asDouble() != 0;
  return false;
}

// Reads the usage counts and removes the file, under the lock the counters write it with, so
// a count saved meanwhile is either in what was read or in the next collection. Without the
// lock nothing is removed and the defaults are reported: the counts wait for the next run
// rather than being lost, or reported twice.
void Collect(Json::Value& jsConfig) {
  ConfigManager usage(SZF_UDC_PATH, LOCK_TIMEOUT_SECS);
  if (!usage.LockW()) {
    InitUdcConfig(jsConfig);
    return;
  }
  if (usage.Load()) {
    jsConfig = usage.GetConfig();
  } else {
    InitUdcConfig(jsConfig);
  }
  if (unlink(SZF_UDC_PATH) != 0 && errno != ENOENT) PL_ERR("cannot remove %s", SZF_UDC_PATH);
}  // the manager releases the lock

}  // namespace

int main() {
  Json::Value jsConfig;
  Collect(jsConfig);
  // A file read successfully is used as it is; only an object can take the index flags.
  if (!jsConfig.isObject()) {
    Json::Value wrapped(Json::objectValue);
    jsConfig = wrapped;
    InitUdcConfig(jsConfig);
  }
  jsConfig["fileindex"] = Json::Value(Json::objectValue);

  bool thumbnail = false;
  bool preConvert = false;
  Json::Value index;
  if (json::FromFile(SZF_INDEX_CONFIG, index) && index.isObject() && index.isMember("items") &&
      index["items"].isArray()) {
    for (const Json::Value& row : index["items"]) {
      if (!row.isObject()) continue;
      if (ReadsAsTrue(row["enable_thumbnail"])) thumbnail = true;
      if (ReadsAsTrue(row["enable_preconvert"])) preConvert = true;
    }
  }
  jsConfig["fileindex"]["thumbnail"] = thumbnail;
  jsConfig["fileindex"]["pre_convert"] = preConvert;
  std::cout << json::ToString(jsConfig);
  std::cout.flush();
  return 0;
}
