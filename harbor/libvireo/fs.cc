// EA directories, permissions, file copy and move, folders and file-system types.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace {

bool Fits(const std::string& s, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return false;
  memset(buf, 0, size);
  if (s.size() >= size) return false;
  memcpy(buf, s.c_str(), s.size());
  return true;
}

// Splits /d/f into /d and f; false for a path that names no file.
bool SplitFile(const char* path, std::string& dir, std::string& name) {
  if (path == nullptr || path[0] != '/') return false;
  std::string p(path);
  if (p.back() == '/') return false;
  size_t slash = p.rfind('/');
  dir = p.substr(0, slash);
  name = p.substr(slash + 1);
  return !name.empty() && name != "." && name != "..";
}

std::string EADir(const std::string& dir, const std::string& name) {
  return dir + "/" VIREO_EA_DIR_NAME "/" + name;
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Copies src into a temporary file beside dst and renames it over dst.
int CopyRegularFile(const char* src, const char* dst) {
  errno = 0;
  int in = open(src, O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    int saved = errno != 0 ? errno : EINVAL;
    close(in);
    errno = saved;
    return -1;
  }
  std::string tmpl = std::string(dst) + ".copyXXXXXX";
  std::vector<char> tmp(tmpl.begin(), tmpl.end());
  tmp.push_back('\0');
  int out = mkostemp(tmp.data(), O_CLOEXEC);
  if (out < 0) {
    int saved = errno;
    close(in);
    errno = saved;
    return -1;
  }
  bool ok = true;
  char buf[1 << 16];
  for (;;) {
    ssize_t r = read(in, buf, sizeof(buf));
    if (r < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (r == 0) break;
    if (!WriteAll(out, buf, static_cast<size_t>(r))) {
      ok = false;
      break;
    }
  }
  int saved = errno;
  ok = ok && fchmod(out, st.st_mode & 07777) == 0;
  if (close(out) != 0) ok = false;
  close(in);
  if (ok && rename(tmp.data(), dst) == 0) return 0;
  saved = errno ? errno : saved;
  unlink(tmp.data());
  errno = saved;
  return -1;
}

int MkdirOne(const std::string& dir, uid_t uid, gid_t gid, mode_t mode) {
  if (mkdir(dir.c_str(), mode) != 0) {
    if (errno == EEXIST && VLIBCFileCheckDir(dir.c_str())) return 0;
    return -1;
  }
  // mkdir applies the umask; the folder gets exactly the mode asked for.
  if (chmod(dir.c_str(), mode) != 0) return -1;
  if ((uid != UID_ERR || gid != GID_ERR) && chown(dir.c_str(), uid, gid) != 0) return -1;
  return 0;
}

}  // namespace

extern "C" {

int VIREOEADirPath(int /*flags*/, const char* path, char* buf, size_t size) {
  std::string dir, name;
  if (!SplitFile(path, dir, name)) {
    if (buf != nullptr && size > 0) buf[0] = '\0';
    errno = EINVAL;
    return -1;
  }
  return Fits(EADir(dir, name), buf, size) ? 0 : -1;
}

int VIREOEAPath(int /*flags*/, const char* path, const char* type, char* buf, size_t size,
                int /*flags2*/) {
  std::string dir, name;
  if (!SplitFile(path, dir, name) || type == nullptr || strchr(type, '/') != nullptr ||
      strcmp(type, ".") == 0 || strcmp(type, "..") == 0) {
    if (buf != nullptr && size > 0) buf[0] = '\0';
    errno = EINVAL;
    return -1;
  }
  return Fits(EADir(dir, name) + "/" + type, buf, size) ? 0 : -1;
}

int VIREOEAMKDir(int recursive, const char* dir) {
  if (dir == nullptr || dir[0] != '/') {
    errno = EINVAL;
    return -1;
  }
  if (!recursive) return MkdirOne(dir, UID_ERR, GID_ERR, 0755);
  return VIREOFSMkdirP(dir, nullptr, TRUE, UID_ERR, GID_ERR, 0755);
}

int VIREOEAIsHiddenDir(const char* path) {
  if (path == nullptr) return 0;
  std::string p = std::string("/") + path + "/";
  return p.find("/" VIREO_EA_DIR_NAME "/") != std::string::npos ? 1 : 0;
}

int VIREOACLPermGet(const char* path, unsigned int* mask) {
  if (path == nullptr || mask == nullptr) {
    errno = EINVAL;
    return -1;
  }
  // The kernel decides for the effective ids, with mode bits and POSIX ACLs alike.
  if (faccessat(AT_FDCWD, path, F_OK, AT_EACCESS) != 0) return -1;
  unsigned int m = 0;
  if (faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) == 0) m |= VIREO_PERM_READ;
  if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0) m |= VIREO_PERM_WRITE;
  if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0) m |= VIREO_PERM_EXEC;
  *mask = m;
  errno = 0;
  return 0;
}

int VIREOFileCopy(const char* src, const char* dst, const VIREOFILECOPYOPT* opt) {
  if (src == nullptr || dst == nullptr || *src == '\0' || *dst == '\0' || opt == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (opt->blMove) {
    struct stat st;
    if (lstat(src, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) {
      errno = EINVAL;
      return -1;
    }
    if (rename(src, dst) == 0) return 0;
    if (errno != EXDEV) return -1;
    if (CopyRegularFile(src, dst) != 0) return -1;
    return unlink(src) == 0 ? 0 : -1;
  }
  return CopyRegularFile(src, dst);
}

int VIREOFSMkdirP(const char* path, const char* /*refPath*/, BOOL recursive, uid_t uid, gid_t gid,
                  mode_t mode) {
  if (path == nullptr || path[0] != '/') {
    errno = EINVAL;
    return -1;
  }
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (VLIBCFileCheckDir(p.c_str())) return ERR_SUCCESS;
  if (!recursive) return MkdirOne(p, uid, gid, mode);
  size_t pos = 1;
  for (;;) {
    size_t slash = p.find('/', pos);
    std::string part = slash == std::string::npos ? p : p.substr(0, slash);
    if (!VLIBCFileCheckDir(part.c_str()) && MkdirOne(part, uid, gid, mode) != 0) return -1;
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return ERR_SUCCESS;
}

int VIREOGetFSType(const char* path, int /*flags*/) {
  struct statfs fs;
  if (path == nullptr || statfs(path, &fs) != 0) return -1;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53UL: return VIREO_FS_EXT4;
    case 0x9123683EUL: return VIREO_FS_BTRFS;
    case 0x58465342UL: return VIREO_FS_XFS;
    case 0x01021994UL: return VIREO_FS_TMPFS;
    case 0x4d44UL: return VIREO_FS_VFAT;
    case 0x5346544eUL: return VIREO_FS_NTFS;
    case 0x6969UL: return VIREO_FS_NFS;
    case 0xFF534D42UL:
    case 0xFE534D42UL: return VIREO_FS_CIFS;
    case 0x9660UL: return VIREO_FS_ISO9660;
    case 0x15013346UL: return VIREO_FS_UDF;
    case 0x73717368UL: return VIREO_FS_SQUASHFS;
    case 0x9fa0UL:      // proc
    case 0x62656572UL:  // sysfs
    case 0x1cd1UL:      // devpts
    case 0x27e0ebUL:    // cgroup
    case 0x63677270UL:  // cgroup2
      return VIREO_FS_PSEUDO;
    case 0x65735546UL: return VIREO_FS_FUSE;
    default: return VIREO_FS_UNKNOWN;
  }
}

int VIREOFSIsRemoteFS(int type) { return type == VIREO_FS_NFS || type == VIREO_FS_CIFS; }

int VIREOFSIsImageFS(int type) {
  return type == VIREO_FS_ISO9660 || type == VIREO_FS_UDF || type == VIREO_FS_SQUASHFS;
}

}  // extern "C"
