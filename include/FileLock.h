// FileLock: a scope object that holds the platform's timed inter-process lock on a file (the
// index queue), shared (mode 0) or exclusive (mode 1), for as long as it lives.
//
//   {
//     FileLock lock(SZF_INDEX_QUEUE, /*mode=*/1, LOCK_TIMEOUT_SECS);  // throws VIREOERR
//     ... append to the queue ...
//   }                                                                // released
//
// The file is created when missing. Failures record the platform error (VLIBCErrSetEx) and
// throw VIREOERR carrying its code: 0x0C00 when the file cannot be created, 0x0700 when it
// still does not exist, 0x0400 when the lock is not granted within `timeout` seconds.
// The lock is an flock on its own open file description: two FileLocks in one process exclude
// each other as two processes do. Header-only: the index plug-in and the daemon compile it.
#ifndef PAPERLENS_INCLUDE_FILELOCK_H_
#define PAPERLENS_INCLUDE_FILELOCK_H_

#include <string>

#include "vireo/error.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {

class FileLock {
 public:
  FileLock(const std::string& path, int mode, int timeout) {
    if (VLIBCExec("/bin/touch", path.c_str(), nullptr, nullptr, nullptr) == -1) {
      VIREO_THROW(0x0C00);
    }
    if (!VLIBCFileExist(path.c_str())) VIREO_THROW(0x0700);
    if (!VLIBCFileLockTimeByFile(path.c_str(), mode, timeout, &_fd)) {
      _fd = -1;
      VIREO_THROW(0x0400);
    }
  }
  ~FileLock() {
    if (_fd != -1) VLIBCFileUnlockByFile(_fd);
  }

  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int _fd = -1;  // the lock's descriptor; -1 when none is held
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_FILELOCK_H_
