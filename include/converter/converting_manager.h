// ConvertingManager: the inter-process marker that one process is converting a given file.
//
// The marker is the member `_key` of "runningFiles" in the state file SZF_CONFIG_PATH: the
// source's real path followed by ":origin" (whole-document PDF) or ":thumbnail". Its value is an
// object recording the owning process ({"pid", "start"}), so that a marker left by a process
// that died can be taken over instead of blocking everyone for good.
//
// Testing and registering happen in one exclusive transaction (TryRegister), so two processes
// can never both convert the same file. The destructor withdraws a marker this object
// registered, whatever the conversion's outcome.
#ifndef PAPERLENS_INCLUDE_CONVERTER_CONVERTING_MANAGER_H_
#define PAPERLENS_INCLUDE_CONVERTER_CONVERTING_MANAGER_H_

#include <string>

#include "config_manager.h"
#include "path.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {

class ConvertingManager {
 public:
  enum MarkerState {
    kAbsent,         // nobody converts the file
    kHeld,           // a live process converts it
    kAbandoned,      // the process that set the marker is gone
  };

  // `thumbnail` tells a thumbnail marker from a PDF one (the key's suffix is the caller's).
  ConvertingManager(const path::Path& source, const std::string& key, bool thumbnail);
  ~ConvertingManager();

  ConvertingManager(const ConvertingManager&) = delete;
  ConvertingManager& operator=(const ConvertingManager&) = delete;

  // In one exclusive transaction: sets the marker unless a live process holds it (an abandoned
  // marker is taken over). True when this object now holds the marker.
  bool TryRegister();
  // Under a read scope: the marker's state as another process sees it.
  MarkerState Check();
  // Removes the marker when this object holds it.
  void Withdraw();

  bool IsRegistered() const { return _blRegistered; }
  const std::string& GetKey() const { return _key; }

 private:
  bool _blRegistered;         // this object entered the key
  bool _blThumbnail;          // a thumbnail marker
  const path::Path& _source;  // the file being converted
  std::string _key;           // Constant after construction
  ConfigManager _confMgr;     // the state file
};

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_CONVERTER_CONVERTING_MANAGER_H_
