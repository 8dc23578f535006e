// ConfigManager: a JSON file shared between processes under the platform's timed file lock.
#include "config_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "utils.h"
#include "utils_json.h"
#include "utils_log.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {

namespace {

const char kDefaultConfig[] = "/var/packages/Paperlens/target/conf/config";

std::string LockPathOf(const std::string& path) { return path + ".lock"; }

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ConfigManager::ConfigManager(const std::string& path, int timeout)
    : _config(Json::nullValue),
      _path(path),
      _lockType(LOCK_NONE_),
      _lockFd(-1),
      _timeout(timeout),
      _blSuccess(true) {
  VLIBCFileTouch(_path.c_str());
}

ConfigManager::~ConfigManager() {
  if (_lockType != LOCK_NONE_) Unlock();
}

bool ConfigManager::Load() {
  return json::FromFile(_path, _config);
}

bool ConfigManager::Save() {
  // Write beside the file and rename over it: a crash or a full disk leaves the old content.
  // A symlink is followed, so the file it names is replaced rather than the link.
  std::string target = _path;
  char resolved[PATH_MAX];
  struct stat lst;
  if (lstat(_path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) &&
      realpath(_path.c_str(), resolved) != nullptr) {
    target = resolved;
  }
  std::string tmpl = target + ".XXXXXX";
  std::vector<char> tmp(tmpl.begin(), tmpl.end());
  tmp.push_back('\0');
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return PL_ERR("config %s save failed %m", _path.c_str());
  struct stat st;
  bool ok = true;
  if (stat(target.c_str(), &st) == 0) {
    ok = fchmod(fd, st.st_mode & 07777) == 0;
    if (ok && (st.st_uid != geteuid() || st.st_gid != getegid())) {
      // Keep the owner; only root can, and only root writes files it does not own.
      if (fchown(fd, st.st_uid, st.st_gid) != 0 && geteuid() == 0) ok = false;
    }
  } else {
    ok = fchmod(fd, 0644) == 0;
  }
  ok = ok && WriteAll(fd, json::ToString(_config)) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmp.data(), target.c_str()) == 0) return true;
  int saved = errno;
  unlink(tmp.data());
  errno = saved;
  return PL_ERR("config %s save failed %m", _path.c_str());
}

bool ConfigManager::LockR() {
  if (_lockType != LOCK_NONE_) return true;
  if (!VLIBCFileLockTimeByFile(LockPathOf(_path).c_str(), 0, _timeout, &_lockFd)) {
    _lockFd = -1;
    return PL_ERR("file lock failed: %s, [0x%04X %s:%d]", _path.c_str(), VLIBCErrGet(),
                  VLIBCErrorGetFile(), VLIBCErrorGetLine());
  }
  _lockType = LOCK_SHARE_;
  return true;
}

bool ConfigManager::LockW() {
  if (_lockType == LOCK_EX_) return true;
  if (_lockType == LOCK_SHARE_) Unlock();
  if (!VLIBCFileLockTimeByFile(LockPathOf(_path).c_str(), 1, _timeout, &_lockFd)) {
    _lockFd = -1;
    return PL_ERR("file lock falied: %s, [0x%04X %s:%d]", _path.c_str(), VLIBCErrGet(),
                  VLIBCErrorGetFile(), VLIBCErrorGetLine());
  }
  _lockType = LOCK_EX_;
  return true;
}

bool ConfigManager::Unlock() {
  if (_lockType == LOCK_NONE_ || _lockFd == -1) return true;
  if (VLIBCFileUnlockByFile(_lockFd) == -1) {
    return PL_ERR("file unlock falied: %s, [0x%04X %s:%d]", _path.c_str(), VLIBCErrGet(),
                  VLIBCErrorGetFile(), VLIBCErrorGetLine());
  }
  _lockFd = -1;
  _lockType = LOCK_NONE_;
  return true;
}

bool ConfigManager::Reset(const std::string& path) {
  if (!CopyFile(kDefaultConfig, path)) return PL_ERR("restor config error");
  return true;
}

}  // namespace PAPERLENS
}  // namespace VIREO
