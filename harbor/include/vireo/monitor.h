// The platform's file-change monitor: packages register folder trees with a queue file, and the
// monitor daemon (vireotifyd) appends one record line to that queue for every change it sees:
//
//   {"event": 8,  "is_dir": false, "path": "/volume1/docs/a.docx"}   a file closed after writing
//   {"event": 64, "is_dir": false, "path": "/volume1/docs/b.docx"}   a file moved (its new path)
//   {"event": 64, "is_dir": true,  "path": "/volume1/docs/new"}      a folder moved in or made
//
// A registration is one JSON object:
//   {"queue": "/abs/queue/file",
//    "config": [{"mask": 72, "ignore": ["@eaDir"], "path": "/volume1/docs/reports"}, ...]}
// "mask" says which records a folder wants (8 writes, 64 moves); names listed in "ignore" are
// neither watched nor reported, at any depth. Records are appended under an exclusive lock of
// the queue file (VLIBCFileLockTimeByFile, mode 1), so a consumer that renames the queue under
// the same lock never loses a line.
//
// Registrations are kept on disk, one file per (name, type) in kRegistrationDir; the daemon
// notices changes there without a restart. Upsert and Delete are safe across processes (each
// replaces or removes one file atomically).
#ifndef HARBOR_VIREO_MONITOR_H_
#define HARBOR_VIREO_MONITOR_H_

#include <json/json.h>

#include <string>
#include <vector>

namespace VIREO {
namespace VIREOTIFYD {

enum _tag_monitor_queue_type_ {
  MONITOR_QUEUE_TYPE_NONE = 0,
  MONITOR_QUEUE_TYPE_FILE = 1,
  MONITOR_QUEUE_TYPE_PACKAGE = 2,  // a package's queue file
};

class MonitorQueue {
 public:
  static const char* const kRegistrationDir;  // "/usr/vireo/etc/vireotifyd"

  MonitorQueue() = default;
  explicit MonitorQueue(const Json::Value& registration) : _registration(registration) {}

  const Json::Value& Get() const { return _registration; }
  // Whether the registration has the form above (absolute paths, integral masks, string
  // ignore lists). `why` says what is wrong.
  bool IsValid(std::string* why = nullptr) const;

  // Stores `registration` under (name, type), replacing an earlier one. False, logged, for an
  // invalid registration, a name that is empty or holds "/", or a failed write.
  static bool Upsert(const MonitorQueue& registration, const std::string& name, int type);
  // Removes the registration (name, type) whose queue is `queuePath`. True also when none is
  // stored; false, logged, when one is stored for another queue or cannot be removed.
  static bool Delete(const std::string& queuePath, const std::string& name, int type);

  // Every stored registration that is valid, by file name order; invalid files are logged and
  // skipped. `dir` defaults to kRegistrationDir.
  static std::vector<MonitorQueue> List(const std::string& dir = kRegistrationDir);
  // The file that holds (name, type) in `dir`.
  static std::string FileOf(const std::string& name, int type,
                            const std::string& dir = kRegistrationDir);

 private:
  Json::Value _registration;
};

}  // namespace VIREOTIFYD
}  // namespace VIREO

#endif  // HARBOR_VIREO_MONITOR_H_
