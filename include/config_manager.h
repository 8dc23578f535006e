// ConfigManager: one JSON file shared between processes (the pool state file, the index
// configuration, the usage counters), with the platform's timed inter-process lock, shared for
// readers and exclusive for writers.
//
// The lock is held on a companion file (the file's path + ".lock"), never on the file itself:
// Save replaces the file by renaming a fully written temporary copy over it, and a lock on the
// replaced file would no longer exclude anyone. Readers therefore see the old or the new
// content, never a torn or empty file, whatever happens to a writer.
//
// ConfigWriter and ConfigReader are scope objects that make a block one locked transaction:
//
//   ConfigManager mgr(SZF_CONFIG_PATH, 5);
//   {
//     ConfigWriter writer(mgr);          // exclusive lock, load
//     mgr.GetConfig()["runningFiles"][key] = Json::objectValue;
//   }                                    // save, unlock
//   if (!mgr.IsSuccess()) ...            // lock, load, save or unlock failed
//
// A failed lock or load does not stop the body: it works on the value as last loaded (null at
// first). Scopes nest: a writer inside a writer neither reloads nor saves; a writer inside a
// reader reloads under the exclusive lock, saves and goes back to the shared lock; a reader
// inside either uses what is loaded.
//
// A ConfigManager is not safe for concurrent use by several threads.
#ifndef PAPERLENS_INCLUDE_CONFIG_MANAGER_H_
#define PAPERLENS_INCLUDE_CONFIG_MANAGER_H_

#include <json/json.h>

#include <string>

namespace VIREO {
namespace PAPERLENS {

class ConfigManager {
 public:
  enum LockType { LOCK_NONE_ = 0, LOCK_SHARE_ = 1, LOCK_EX_ = 2 };

  // Creates the file when missing (an existing file keeps its content). Reads nothing yet.
  ConfigManager(const std::string& path, int timeout);
  virtual ~ConfigManager();

  ConfigManager(const ConfigManager&) = delete;
  ConfigManager& operator=(const ConfigManager&) = delete;

  // Parses the file into the value. False (value unchanged) when the file cannot be opened or
  // does not hold valid JSON, an empty file included.
  bool Load();
  // Writes the value's compact text to a temporary file in the same folder, flushes it to disk
  // and renames it over the file, keeping the file's mode. False, logged, on failure; the file
  // is then unchanged.
  bool Save();

  // Takes the shared lock unless some lock is held. False, logged, after the timeout.
  bool LockR();
  // Takes the exclusive lock unless it is held; a held shared lock is dropped first (so another
  // writer may run in between). False, logged, after the timeout.
  bool LockW();
  // Releases a held lock. False, logged, when the release fails.
  bool Unlock();
  LockType GetLockType() const { return _lockType; }

  // Copies the package's default file over `path`. False, logged, on failure.
  static bool Reset(const std::string& path);

  Json::Value& GetConfig() { return _config; }
  const Json::Value& GetConfig() const { return _config; }
  const std::string& GetPath() const { return _path; }
  // The result of the last transaction of a scope object.
  bool IsSuccess() const { return _blSuccess; }
  void SetSuccess(bool success) { _blSuccess = success; }

 protected:
  Json::Value _config;   // the file's content; null until the first Load
  std::string _path;     // Constant after construction
  LockType _lockType;    // lock held by this object
  int _lockFd;           // descriptor of the held lock; -1 when none
  int _timeout;          // lock wait in seconds; Constant after construction
  bool _blSuccess;       // result of the last transaction
};

class ConfigReaderWriter {
 protected:
  explicit ConfigReaderWriter(ConfigManager& mgr)
      : mgr_(&mgr),
        blOriginalLocked_(mgr.GetLockType() != ConfigManager::LOCK_NONE_),
        blOriginalLockedW_(mgr.GetLockType() == ConfigManager::LOCK_EX_) {}

  ConfigReaderWriter(const ConfigReaderWriter&) = delete;
  ConfigReaderWriter& operator=(const ConfigReaderWriter&) = delete;

  ConfigManager* mgr_;
  bool blOriginalLocked_;   // the manager held some lock when the scope began
  bool blOriginalLockedW_;  // it held the exclusive lock
};

// One locked read-modify-write transaction.
class ConfigWriter : public ConfigReaderWriter {
 public:
  explicit ConfigWriter(ConfigManager& mgr) : ConfigReaderWriter(mgr) {
    if (blOriginalLockedW_) return;
    bool ok = mgr_->LockW();
    ok = mgr_->Load() && ok;
    mgr_->SetSuccess(ok);
  }

  ~ConfigWriter() {
    if (blOriginalLockedW_) return;  // an enclosing writer saves
    bool ok = mgr_->Save();
    ok = mgr_->Unlock() && ok;
    if (blOriginalLocked_) ok = mgr_->LockR() && ok;
    mgr_->SetSuccess(ok);
  }
};

// One locked read.
class ConfigReader : public ConfigReaderWriter {
 public:
  explicit ConfigReader(ConfigManager& mgr) : ConfigReaderWriter(mgr) {
    if (blOriginalLocked_) return;  // the held lock and the loaded value serve
    bool ok = mgr_->LockR();
    ok = mgr_->Load() && ok;
    mgr_->SetSuccess(ok);
  }

  ~ConfigReader() {
    if (!blOriginalLocked_) mgr_->SetSuccess(mgr_->Unlock());
  }
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_CONFIG_MANAGER_H_
