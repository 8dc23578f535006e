// The rows of a platform plug-in's tables, as the web-API server reads them: {api, version,
// method, entry} and {api, version, method, check, 0, 0}, each list ended by a row of zeros.
#ifndef HARBOR_INCLUDE_VIREO_PLUGIN_TABLE_H_
#define HARBOR_INCLUDE_VIREO_PLUGIN_TABLE_H_

#include <stdint.h>

#include "vireo/webapi.h"

namespace VIREO {
namespace webapi {

struct PluginMethodRow {
  const char* api;
  uint64_t version;
  const char* method;
  void (*entry)(VIREO::APIRequest*, VIREO::APIResponse*);
};

struct PluginCheckRow {
  const char* api;
  uint64_t version;
  const char* method;
  bool (*check)(VIREO::APIRequest*, VIREO::APIResponse*);
  uint64_t reserved1;
  uint64_t reserved2;
};

static_assert(sizeof(PluginMethodRow) == 32 && sizeof(PluginCheckRow) == 48,
              "the server's row layout");

}  // namespace webapi
}  // namespace VIREO

#endif  // HARBOR_INCLUDE_VIREO_PLUGIN_TABLE_H_
