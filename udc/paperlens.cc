// udc/paperlens: prints the document viewer's usage counts, with the index settings, as one JSON
// object on standard output, and deletes the usage file so the next collection starts from zero.
// Exits with 0 in all cases.
#include <unistd.h>

#include <iostream>

#include "utils.h"
#include "utils_json.h"
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

}  // namespace

int main() {
  Json::Value jsConfig;
  if (!VLIBCFileExist(SZF_UDC_PATH) || !json::FromFile(SZF_UDC_PATH, jsConfig)) {
    InitUdcConfig(jsConfig);
  }
  unlink(SZF_UDC_PATH);
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
