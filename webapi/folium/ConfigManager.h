// The PDF viewer plug-in's configuration-file class: one JSON file shared between request
// processes, guarded by a lock on a companion file (the path followed by ".lock"), shared for
// readers and exclusive for writers. Waiting for a lock has no time limit: the lock is an
// flock, so a holder that dies releases it.
//
// Not safe for concurrent use by several threads of one process; two objects (in one process
// or in two) exclude each other as the lock modes say.
#ifndef PAPERLENS_WEBAPI_FOLIUM_CONFIGMANAGER_H_
#define PAPERLENS_WEBAPI_FOLIUM_CONFIGMANAGER_H_

#include <json/json.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "vireo/libc.h"

class ConfigManager {
 public:
  enum LockType { LOCK_NONE = 0, LOCK_SHARED = 1, LOCK_EXCLUSIVE = 2 };

  // Reads nothing and locks nothing yet.
  explicit ConfigManager(const std::string& path)
      : _config(), _path(path), _lockPath(path + ".lock"), _lockType(LOCK_NONE), _lockFd(-1) {}
  virtual ~ConfigManager() { Unlock(); }

  ConfigManager(const ConfigManager&) = delete;
  ConfigManager& operator=(const ConfigManager&) = delete;

  // Parses the file into the value. False (value unchanged) when it cannot be read or parsed.
  bool Load() {
    std::ifstream in(_path);
    if (!in) return false;
    Json::CharReaderBuilder b;
    Json::Value v;
    std::string errs;
    if (!Json::parseFromStream(b, in, &v, &errs)) return false;
    _config = v;
    return true;
  }

  // Writes the value. The text goes to a temporary file renamed over the file, so a reader
  // that does not take the lock, or a crash part-way, never meets a torn file.
  bool Save() {
    std::string tmp = _path + ".tmp." + std::to_string(getpid());
    {
      std::ofstream out(tmp, std::ios::trunc);
      if (!out) return false;
      Json::StreamWriterBuilder b;
      b["indentation"] = "";
      out << Json::writeString(b, _config);
      if (!out.flush()) {
        unlink(tmp.c_str());
        return false;
      }
    }
    if (rename(tmp.c_str(), _path.c_str()) != 0) {
      unlink(tmp.c_str());
      return false;
    }
    return true;
  }

  // Takes the shared lock unless some lock is held; waits as long as it takes.
  bool LockR() {
    if (_lockType != LOCK_NONE) return true;
    Take(0);
    _lockType = LOCK_SHARED;
    return true;
  }

  // Takes the exclusive lock unless it is held; a held shared lock is released first.
  bool LockW() {
    if (_lockType == LOCK_EXCLUSIVE) return true;
    if (_lockType == LOCK_SHARED) Unlock();
    Take(1);
    _lockType = LOCK_EXCLUSIVE;
    return true;
  }

  bool Unlock() {
    if (_lockType != LOCK_NONE && _lockFd >= 0) VLIBCFileUnlockByFile(_lockFd);
    _lockType = LOCK_NONE;
    _lockFd = -1;
    return true;
  }

  Json::Value& GetConfig() { return _config; }
  const std::string& GetPath() const { return _path; }
  LockType GetLockType() const { return _lockType; }

 private:
  void Take(int mode) {
    VLIBCFileTouch(_lockPath.c_str());
    while (!VLIBCFileLockByFile(_lockPath.c_str(), mode, &_lockFd)) usleep(500000);
  }

  Json::Value _config;
  std::string _path;
  std::string _lockPath;
  LockType _lockType;
  int _lockFd;
};

#endif  // PAPERLENS_WEBAPI_FOLIUM_CONFIGMANAGER_H_
