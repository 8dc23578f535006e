// FileLock: a scope object that holds the platform's timed inter-process lock on a file (the
// index queue), shared (mode 0) or exclusive (mode 1), for as long as it lives.
//
//   {
//     FileLock lock(SZF_INDEX_QUEUE, /*mode=*/1, LOCK_TIMEOUT_SECS);  // throws VIREOERR
//     ... append to the queue ...
//   }                                                                // released
//
// The file is created when missing, and the lock is held on the file that has the name when
// the constructor returns (not on one renamed away meanwhile). Failures record the platform error (VLIBCErrSetEx) and
// throw VIREOERR carrying its code: 0x0C00 when the file cannot be created, 0x0700 when it
// still does not exist, 0x0400 when the lock is not granted within `timeout` seconds.
// The lock is an flock on its own open file description: two FileLocks in one process exclude
// each other as two processes do. Header-only: the index plug-in and the daemon compile it.
#ifndef PAPERLENS_INCLUDE_FILELOCK_H_
#define PAPERLENS_INCLUDE_FILELOCK_H_

#include <sys/stat.h>

#include <string>

#include "vireo/error.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {

class FileLock {
 public:
  FileLock(const std::string& path, int mode, int timeout) {
    // The queue's reader renames the file away under the lock, and the touch below wakes it:
    // the file may be gone again before it is examined, or the lock may be granted on the
    // renamed file. Either way the lock is taken anew on the file that now has the name.
    for (int attempt = 1;; ++attempt) {
      const bool last = attempt == kAttempts;
      if (VLIBCExec("/bin/touch", path.c_str(), nullptr, nullptr, nullptr) == -1) {
        VIREO_THROW(0x0C00);
      }
      if (!VLIBCFileExist(path.c_str())) {
        if (last) VIREO_THROW(0x0700);
        continue;
      }
      if (!VLIBCFileLockTimeByFile(path.c_str(), mode, timeout, &_fd)) {
        _fd = -1;
        VIREO_THROW(0x0400);
      }
      struct stat held, named;
      if (fstat(_fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
          held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        return;
      }
      VLIBCFileUnlockByFile(_fd);
      _fd = -1;
      if (last) VIREO_THROW(0x0400);
    }
  }
  ~FileLock() {
    if (_fd != -1) VLIBCFileUnlockByFile(_fd);
  }

  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  static constexpr int kAttempts = 20;
  int _fd = -1;  // the lock's descriptor; -1 when none is held
};

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_FILELOCK_H_
