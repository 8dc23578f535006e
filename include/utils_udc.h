// Usage counters of the document viewer, kept in SZF_UDC_PATH when the appliance's owner agreed
// to share usage data ("enable_data_collect" is "yes" in /etc/vireoinfo.conf).
//
// Counting never makes a request fail: every operation swallows lock, load and save failures
// (they only show in the manager's success flag). Compiled into each program that counts.
#ifndef PAPERLENS_INCLUDE_UTILS_UDC_H_
#define PAPERLENS_INCLUDE_UTILS_UDC_H_

#include <json/json.h>
#include <time.h>

#include <string>

#include "config_manager.h"

namespace VIREO {
namespace PAPERLENS {

// Completes a usage object in place: a non-object becomes {}, then each missing key gets its
// default ("collector_version" 1, "thirdparty_count" 0, "convert_time" [], "file_types" []).
// Present keys are never changed, whatever their type.
void InitUdcConfig(Json::Value& jsConfig);

class UDC {
 public:
  // Reads the switch once; creates the usage file when it does not exist.
  UDC();

  // Adds 1 to the integer under `strSection`.
  void IncSection(const std::string& strSection);
  // Remembers the start of a conversion.
  void StartConvert();
  // Appends the seconds since StartConvert to "convert_time"; nothing without a start.
  void EndConvert();
  // Appends the type of a document served as PDF to "file_types".
  void AddFileType(const std::string& strFileType);

  bool IsEnabled() const { return _blEnabled; }

 private:
  ConfigManager _confMgr;  // the usage file
  bool _blEnabled;         // Constant after construction
  time_t _convertStart;    // 0 when no conversion is timed
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_UTILS_UDC_H_
