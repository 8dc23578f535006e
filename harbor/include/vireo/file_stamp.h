// Whether a file is still the one a process read before: the same file (device and inode)
// with the same size and modification time. File times move in coarse steps, so a file that
// changed shortly before it was read might change again without its time moving; such a read
// is never trusted (`Reusable` is false) and the file is read again next time.
#ifndef HARBOR_INCLUDE_VIREO_FILE_STAMP_H_
#define HARBOR_INCLUDE_VIREO_FILE_STAMP_H_

#include <sys/stat.h>
#include <time.h>

namespace VIREO {

class FileStamp {
 public:
  FileStamp() = default;
  // The stamp of a file as `st` describes it, read just now.
  explicit FileStamp(const struct stat& st) : _st(st), _valid(true) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    _settled = now.tv_sec - st.st_mtim.tv_sec >= 2;
  }

  // Whether what was read under this stamp still holds for the file `st` describes.
  bool Reusable(const struct stat& st) const {
    return _valid && _settled && st.st_dev == _st.st_dev && st.st_ino == _st.st_ino &&
           st.st_size == _st.st_size && st.st_mtim.tv_sec == _st.st_mtim.tv_sec &&
           st.st_mtim.tv_nsec == _st.st_mtim.tv_nsec;
  }

 private:
  struct stat _st = {};
  bool _valid = false;
  bool _settled = false;
};

}  // namespace VIREO

#endif  // HARBOR_INCLUDE_VIREO_FILE_STAMP_H_
