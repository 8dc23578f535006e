// The one way root-run code opens, stages, walks and removes files on a user's behalf.
//
// Request processes, background tasks and the daemon run as root and handle files in folders
// that users write: users make symbolic and hard links, FIFOs and folders there, rename @eaDir
// folders of the folders they own, and race. So nothing here opens a user-controlled path by
// name the way open(2) would:
//
//   - A document (a file of a share) is resolved beneath the folder of the share that holds it
//     with openat2(RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS): a link may lead elsewhere inside
//     the share, never out of it (absolute links, "..", /proc magic links all fail). It is opened
//     non-blocking and must be a regular file (fstat on the descriptor), so a FIFO, a device, a
//     folder or a socket is never read. With a user name it is opened with that user's
//     credentials, so the kernel decides the permission on the very file that is returned; the
//     caller then reads, copies and stages from that descriptor, never from the name again.
//   - A stream (a file in an @eaDir folder, /d/@eaDir/f/S) is reached from the folder /d
//     (resolved as a document's folder) through folders that must be real directories, not
//     links, owned by root and writable by nobody else; the stream itself must be a regular
//     file owned by root, opened without following a link. Streams are created mode 0600 and
//     replaced by rename, so no reader meets a torn one. @eaDir folders are made only inside
//     the folder of a share, never above it.
//   - Root-only folders (the staging area) are walked and created the same way.
//   - Trees are removed through descriptors (unlinkat), never following a link.
//
// Failures are reported as an Error; nothing here logs, so each caller logs in its own form.
// The credential switches change the whole process's effective ids: not safe against other
// threads doing the same. Header-only: every deliverable (the PDF viewer plug-in included, which
// does not link the package library) compiles its own copy; it needs the platform library.
#ifndef PAPERLENS_INCLUDE_SAFE_FILE_H_
#define PAPERLENS_INCLUDE_SAFE_FILE_H_

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vireo/credentials.h"
#include "vireo/sdk.h"

namespace VIREO {
namespace PAPERLENS {
namespace safe {

enum Error {
  kOk = 0,
  kBadPath,     // not absolute, held by no share, the share folder itself, or an @eaDir inside
  kNotFound,    // no such file, or a component on the way is no folder
  kDenied,      // the acting user may not reach or read it
  kEscapes,     // a link leads out of the share, or a link stands where none may
  kNotRegular,  // a folder, FIFO, device or socket where a regular file is needed
  kNotRoots,    // an EA or staging folder, or a stream, that is not root's alone
  kFailed,      // another system error (errno tells)
};

inline const char* ErrorText(Error e) {
  switch (e) {
    case kOk: return "ok";
    case kBadPath: return "not a file of a share";
    case kNotFound: return "no such file";
    case kDenied: return "permission denied";
    case kEscapes: return "a link leads out of the share or stands where none may";
    case kNotRegular: return "not a regular file";
    case kNotRoots: return "not owned by root alone";
    case kFailed: return "system error";
  }
  return "unknown error";
}

// Owns a file descriptor. Move-only.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : _fd(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : _fd(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return _fd; }
  bool Ok() const { return _fd >= 0; }
  int Release() {
    int fd = _fd;
    _fd = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (_fd >= 0) {
      int saved = errno;
      close(_fd);
      errno = saved;
    }
    _fd = fd;
  }

 private:
  int _fd = -1;
};

// Takes on `user`'s credentials (effective uid, primary group and group list) for the scope, or
// root's when `user` is empty; the process's own effective ids and group list come back on
// every way out. A restore that fails is logged to the auth facility.
class AsUser {
 public:
  explicit AsUser(const std::string& user) : _uid(geteuid()), _gid(getegid()) {
    int n = getgroups(0, nullptr);
    if (n >= 0) {
      _groups.resize(static_cast<size_t>(n));
      _groupsSaved = getgroups(n, _groups.data()) == n;
    }
    if (!_groupsSaved) return;
    if (user.empty()) {
      _ok = (geteuid() == 0 || setresuid(-1, 0, -1) == 0) &&
            (getegid() == 0 || setresgid(-1, 0, -1) == 0);
    } else {
      _ok = ResetCredentialsByName(user, /*withGroups=*/true);
    }
  }
  ~AsUser() {
    int saved = errno;
    bool ok = geteuid() == 0 || setresuid(-1, 0, -1) == 0;
    // Only when they changed: in a process with threads every change of credentials is a
    // round of signals to all of them.
    if (ok && _groupsSaved && !SameGroups()) ok = setgroups(_groups.size(), _groups.data()) == 0;
    if (ok && getegid() != _gid) ok = setresgid(-1, _gid, -1) == 0;
    if (ok && geteuid() != _uid) ok = setresuid(-1, _uid, -1) == 0;
    if (!ok) {
      syslog(LOG_AUTH | LOG_CRIT, "%s:%d ERROR: ~AsUser(%d, %d)", __FILE__, __LINE__,
             static_cast<int>(_uid), static_cast<int>(_gid));
    }
    errno = saved;
  }
  AsUser(const AsUser&) = delete;
  AsUser& operator=(const AsUser&) = delete;

  bool Ok() const { return _ok; }

 private:
  bool SameGroups() const {
    int n = getgroups(0, nullptr);
    if (n < 0 || static_cast<size_t>(n) != _groups.size()) return false;
    std::vector<gid_t> now(static_cast<size_t>(n));
    return getgroups(n, now.data()) == n && now == _groups;
  }

  const uid_t _uid;
  const gid_t _gid;
  std::vector<gid_t> _groups;
  bool _groupsSaved = false;
  bool _ok = false;
};

// A refusal that no system call reported: errno is cleared, so no caller's log line carries a
// stale one.
inline Error Refuse(Error e) {
  errno = 0;
  return e;
}

inline Error FromErrno(int err) {
  switch (err) {
    case 0: return kOk;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG: return kNotFound;
    case EACCES:
    case EPERM: return kDenied;
    case EXDEV:
    case ELOOP: return kEscapes;
    case ENXIO:  // a socket, or a FIFO opened for writing
    case EISDIR: return kNotRegular;
    default: return kFailed;
  }
}

// openat2 of `rel` from `dirfd` (close-on-exec). The kernel answers EAGAIN when a rename raced
// a confined resolution; it is asked again then. -1 with errno on failure.
inline int OpenAt2(int dirfd, const std::string& rel, int flags, mode_t mode, uint64_t resolve) {
  struct open_how how;
  memset(&how, 0, sizeof(how));
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = resolve;
  for (int attempt = 0;; ++attempt) {
    long fd = syscall(SYS_openat2, dirfd, rel.c_str(), &how, sizeof(how));
    if (fd >= 0) return static_cast<int>(fd);
    if (errno == EINTR || (errno == EAGAIN && attempt < 64)) continue;
    return -1;
  }
}

constexpr uint64_t kBeneath = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;

// A component that an EA path may hold below its folder.
inline bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The components of a path ("/a//b/" gives a, b).
inline std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

inline bool HasEAComponent(const std::string& path) {
  for (const std::string& c : Components(path)) {
    if (c == VIREO_EA_DIR_NAME) return true;
  }
  return false;
}

// Splits a real path into the folder of the share that holds it and the part below that
// folder (without a leading "/"). The share folder itself (an empty rest) is kBadPath unless
// `allowShareFolder`.
inline Error SplitAtShare(const std::string& realPath, bool allowShareFolder, std::string& folder,
                          std::string& rel) {
  if (realPath.empty() || realPath[0] != '/' || realPath.find('\0') != std::string::npos) {
    return Refuse(kBadPath);
  }
  PVIREOSHARE share = nullptr;
  if (VIREOShareGetByPath(realPath.c_str(), &share) != 0 || share == nullptr) {
    return Refuse(kBadPath);
  }
  folder = share->szPath;
  VIREOShareFree(share);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  rel = realPath.substr(folder.size());
  size_t first = rel.find_first_not_of('/');
  rel = first == std::string::npos ? "" : rel.substr(first);
  for (const std::string& c : Components(rel)) {
    if (c == "." || c == "..") return Refuse(kBadPath);
  }
  if (rel.empty() && !allowShareFolder) return Refuse(kBadPath);
  return kOk;
}

// Opens the folder `relFolder` (empty: the share folder itself) beneath the share folder
// `shareFolder`, as root, for use as a directory descriptor.
inline Error OpenFolderBeneath(const std::string& shareFolder, const std::string& relFolder,
                               Fd& out) {
  AsUser root("");
  if (!root.Ok()) return kDenied;
  Fd base(open(shareFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!base.Ok()) return FromErrno(errno);
  if (relFolder.empty()) {
    out = std::move(base);
    return kOk;
  }
  Fd dir(OpenAt2(base.Get(), relFolder, O_PATH | O_DIRECTORY, 0, kBeneath));
  if (!dir.Ok()) return FromErrno(errno);
  out = std::move(dir);
  return kOk;
}

// Clears O_NONBLOCK (documents are opened non-blocking so that a FIFO never hangs the open).
inline void MakeBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// ---- Documents ---------------------------------------------------------------------------

// Opens the regular file `realPath` of a share for reading, resolved beneath the share's folder,
// with `user`'s credentials (root's when empty). `st` (optional) gets its status. A path with
// an @eaDir component is kBadPath: streams are opened with OpenEAFile.
inline Error OpenDocument(const std::string& realPath, const std::string& user, Fd& out,
                          struct stat* st = nullptr) {
  std::string folder, rel;
  Error e = SplitAtShare(realPath, /*allowShareFolder=*/false, folder, rel);
  if (e != kOk) return e;
  if (HasEAComponent(rel)) return Refuse(kBadPath);
  Fd base;
  if ((e = OpenFolderBeneath(folder, "", base)) != kOk) return e;
  Fd fd;
  {
    AsUser as(user);
    if (!as.Ok()) return kDenied;
    fd.Reset(OpenAt2(base.Get(), rel, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, kBeneath));
    if (!fd.Ok()) return FromErrno(errno);
  }
  struct stat s;
  if (fstat(fd.Get(), &s) != 0) return FromErrno(errno);
  if (!S_ISREG(s.st_mode)) return Refuse(kNotRegular);
  MakeBlocking(fd.Get());
  if (st != nullptr) *st = s;
  out = std::move(fd);
  return kOk;
}

// The status of `realPath` (a file or folder of a share, the share folder itself included),
// resolved as root beneath the share's folder. Nothing is opened for reading.
inline Error StatBeneath(const std::string& realPath, struct stat& st) {
  std::string folder, rel;
  Error e = SplitAtShare(realPath, /*allowShareFolder=*/true, folder, rel);
  if (e != kOk) return e;
  AsUser root("");
  if (!root.Ok()) return kDenied;
  Fd base(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!base.Ok()) return FromErrno(errno);
  Fd fd(rel.empty() ? dup(base.Get()) : OpenAt2(base.Get(), rel, O_PATH, 0, kBeneath));
  if (!fd.Ok()) return FromErrno(errno);
  return fstat(fd.Get(), &st) == 0 ? kOk : FromErrno(errno);
}

// ---- Root-only folders and streams -------------------------------------------------------

inline bool IsRootOnly(const struct stat& st) {
  return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens the folder `name` in `parent` without following a link; it must be a directory owned
// by root that nobody else may write. A missing one is made with `createMode` (0: not made).
inline Error OpenRootFolderAt(int parent, const std::string& name, mode_t createMode, Fd& out) {
  if (!IsPlainName(name)) return Refuse(kBadPath);
  for (int attempt = 0; attempt < 2; ++attempt) {
    Fd dir(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.Ok()) {
      struct stat st;
      if (fstat(dir.Get(), &st) != 0) return FromErrno(errno);
      if (!IsRootOnly(st)) return Refuse(kNotRoots);
      out = std::move(dir);
      return kOk;
    }
    if (errno == ELOOP || errno == ENOTDIR) return Refuse(kEscapes);  // a link, or no folder
    if (errno != ENOENT || createMode == 0 || attempt > 0) return FromErrno(errno);
    if (mkdirat(parent, name.c_str(), createMode) != 0) {
      if (errno != EEXIST) return FromErrno(errno);
      continue;  // somebody else made it: judge theirs
    }
    Fd made(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.Ok()) return FromErrno(errno);
    // The umask, a set-group-id parent or a default ACL must not widen what was asked for.
    if (fchown(made.Get(), 0, 0) != 0 || fchmod(made.Get(), createMode) != 0) {
      return FromErrno(errno);
    }
    struct stat st;
    if (fstat(made.Get(), &st) != 0) return FromErrno(errno);
    if (!IsRootOnly(st)) return Refuse(kNotRoots);
    out = std::move(made);
    return kOk;
  }
  return kFailed;
}

// Opens the folder `folderPath` (a folder of a share, or the share folder itself, resolved as
// root beneath the share's folder), then each of `below` through OpenRootFolderAt. `out` is
// the last one.
inline Error OpenRootFolders(const std::string& folderPath, const std::vector<std::string>& below,
                             mode_t createMode, Fd& out) {
  std::string share, rel;
  Error e = SplitAtShare(folderPath, /*allowShareFolder=*/true, share, rel);
  if (e != kOk) return e;
  if (HasEAComponent(rel)) return Refuse(kBadPath);
  AsUser root("");
  if (!root.Ok()) return kDenied;
  Fd cur;
  if ((e = OpenFolderBeneath(share, rel, cur)) != kOk) return e;
  for (const std::string& name : below) {
    Fd next;
    if ((e = OpenRootFolderAt(cur.Get(), name, createMode, next)) != kOk) return e;
    cur = std::move(next);
  }
  out = std::move(cur);
  return kOk;
}

// Splits a path inside an EA folder (/d/@eaDir/f/S) into the folder that holds the @eaDir (/d)
// and the components from the @eaDir on (@eaDir, f, S). The first @eaDir component counts.
inline Error SplitEAPath(const std::string& eaPath, std::string& folder,
                         std::vector<std::string>& parts) {
  if (eaPath.empty() || eaPath[0] != '/') return Refuse(kBadPath);
  const std::string marker = std::string("/") + VIREO_EA_DIR_NAME;
  size_t at = 0;
  for (;;) {
    at = eaPath.find(marker, at);
    if (at == std::string::npos) return Refuse(kBadPath);
    size_t end = at + marker.size();
    if (end == eaPath.size() || eaPath[end] == '/') break;
    at = end;
  }
  folder = at == 0 ? "/" : eaPath.substr(0, at);
  parts = Components(eaPath.substr(at + 1));
  for (const std::string& p : parts) {
    if (!IsPlainName(p)) return Refuse(kBadPath);
  }
  return parts.empty() ? Refuse(kBadPath) : kOk;
}

// Opens (with `create`, makes, mode 0755) every EA folder of `eaPath` but its last component,
// or all of them with `whole`; `leaf` gets the last component.
inline Error OpenEAFolders(const std::string& eaPath, bool create, bool whole, Fd& dir,
                           std::string& leaf) {
  std::string folder;
  std::vector<std::string> parts;
  Error e = SplitEAPath(eaPath, folder, parts);
  if (e != kOk) return e;
  if (!whole) {
    if (parts.size() < 2) return Refuse(kBadPath);
    leaf = parts.back();
    parts.pop_back();
  } else {
    leaf.clear();
  }
  return OpenRootFolders(folder, parts, create ? 0755 : 0, dir);
}

// Makes sure the EA folder `eaDirPath` (/d/@eaDir/f, as the platform names it) exists, root's
// alone, making what is missing.
inline Error MakeEAFolder(const std::string& eaDirPath) {
  Fd dir;
  std::string leaf;
  return OpenEAFolders(eaDirPath, /*create=*/true, /*whole=*/true, dir, leaf);
}

// Opens the stream at `eaPath` (/d/@eaDir/f/S): O_RDONLY to read it, or O_WRONLY | O_CREAT to
// make it when missing (mode 0600; the EA folders are made too). The stream must be a regular
// file owned by root. `st` (optional) gets its status.
inline Error OpenEAFile(const std::string& eaPath, int flags, Fd& out, struct stat* st = nullptr) {
  const bool create = (flags & O_CREAT) != 0;
  AsUser root("");
  if (!root.Ok()) return kDenied;
  Fd dir;
  std::string leaf;
  Error e = OpenEAFolders(eaPath, create, /*whole=*/false, dir, leaf);
  if (e != kOk) return e;
  Fd fd(openat(dir.Get(), leaf.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
               0600));
  if (!fd.Ok()) return FromErrno(errno);
  struct stat s;
  if (fstat(fd.Get(), &s) != 0) return FromErrno(errno);
  if (!S_ISREG(s.st_mode)) return Refuse(kNotRegular);
  if (!IsRootOnly(s)) return Refuse(kNotRoots);
  MakeBlocking(fd.Get());
  if (st != nullptr) *st = s;
  out = std::move(fd);
  return kOk;
}

// Removes the stream at `eaPath`; a missing one is kNotFound. Nothing is made on the way.
inline Error RemoveEAFile(const std::string& eaPath) {
  AsUser root("");
  if (!root.Ok()) return kDenied;
  Fd dir;
  std::string leaf;
  Error e = OpenEAFolders(eaPath, /*create=*/false, /*whole=*/false, dir, leaf);
  if (e != kOk) return e;
  return unlinkat(dir.Get(), leaf.c_str(), 0) == 0 ? kOk : FromErrno(errno);
}

// Copies the rest of `from` into `to`: a copy-on-write clone where the file system can, else a
// kernel copy, else read and write. False on any failure (errno set): a partial copy is a
// failure.
inline bool CopyData(int from, int to) {
  if (ioctl(to, FICLONE, from) == 0) return true;
  bool copied = false;
  for (;;) {
    ssize_t n = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (n > 0) {
      copied = true;
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (copied || (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)) {
      return false;
    }
    break;
  }
  char buf[1 << 16];
  for (;;) {
    ssize_t r = read(from, buf, sizeof(buf));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return true;
    const char* p = buf;
    while (r > 0) {
      ssize_t w = write(to, p, static_cast<size_t>(r));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      p += w;
      r -= w;
    }
  }
}

// A fresh name beside `leaf` for a file that is renamed over it once complete.
inline std::string TempName(const std::string& leaf) {
  unsigned int r = 0;
  if (getrandom(&r, sizeof(r), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(r))) r = 0;
  char suffix[48];
  snprintf(suffix, sizeof(suffix), ".%d.%08x.tmp", static_cast<int>(getpid()), r);
  std::string name = "." + leaf;
  if (name.size() > 200) name.resize(200);
  return name + suffix;
}

// Stores the regular file `source` (not followed when it is a link) as the stream at `eaPath`,
// root's alone (mode 0600), replacing an existing stream atomically. With `move` the source is
// renamed into place when it lies on the same file system (else copied, then removed).
inline Error InstallEAFile(const std::string& source, const std::string& eaPath, bool move) {
  AsUser root("");
  if (!root.Ok()) return kDenied;
  Fd src(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!src.Ok()) return FromErrno(errno);
  struct stat srcStat;
  if (fstat(src.Get(), &srcStat) != 0) return FromErrno(errno);
  if (!S_ISREG(srcStat.st_mode)) return Refuse(kNotRegular);
  MakeBlocking(src.Get());
  Fd dir;
  std::string leaf;
  Error e = OpenEAFolders(eaPath, /*create=*/true, /*whole=*/false, dir, leaf);
  if (e != kOk) return e;
  const std::string tmp = TempName(leaf);

  if (move && renameat2(AT_FDCWD, source.c_str(), dir.Get(), tmp.c_str(), RENAME_NOREPLACE) == 0) {
    // The name moved; it must still be the file that was examined.
    Fd moved(openat(dir.Get(), tmp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (moved.Ok() && fstat(moved.Get(), &st) == 0 && st.st_dev == srcStat.st_dev &&
        st.st_ino == srcStat.st_ino && fchown(moved.Get(), 0, 0) == 0 &&
        fchmod(moved.Get(), 0600) == 0 && renameat(dir.Get(), tmp.c_str(), dir.Get(), leaf.c_str()) == 0) {
      return kOk;
    }
    int saved = errno;
    unlinkat(dir.Get(), tmp.c_str(), 0);
    return saved == 0 ? kFailed : FromErrno(saved);
  }

  Fd out(openat(dir.Get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.Ok()) return FromErrno(errno);
  if (!CopyData(src.Get(), out.Get()) || fchmod(out.Get(), 0600) != 0 ||
      renameat(dir.Get(), tmp.c_str(), dir.Get(), leaf.c_str()) != 0) {
    int saved = errno;
    unlinkat(dir.Get(), tmp.c_str(), 0);
    return saved == 0 ? kFailed : FromErrno(saved);
  }
  if (move) unlink(source.c_str());
  return kOk;
}

// Removes the entry `name` of the folder `dirfd` and, when it is a folder, everything in it,
// through descriptors: a link is removed itself, never followed. Trees deeper than 64 folders
// are left (kFailed).
inline Error RemoveTreeAt(int dirfd, const std::string& name, int depth = 0) {
  if (!IsPlainName(name)) return Refuse(kBadPath);
  Fd dir(openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.Ok()) {
    if (errno == ENOENT) return kNotFound;
    if (errno != ENOTDIR && errno != ELOOP) return FromErrno(errno);
    return unlinkat(dirfd, name.c_str(), 0) == 0 ? kOk : FromErrno(errno);
  }
  if (depth >= 64) return kFailed;
  int listFd = dup(dir.Get());
  DIR* list = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (list == nullptr) {
    if (listFd >= 0) close(listFd);
    return FromErrno(errno);
  }
  Error result = kOk;
  while (struct dirent* entry = readdir(list)) {
    std::string child = entry->d_name;
    if (child == "." || child == "..") continue;
    Error e = RemoveTreeAt(dir.Get(), child, depth + 1);
    if (e != kOk && e != kNotFound) result = e;
  }
  closedir(list);
  if (result != kOk) return result;
  return unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ? kOk
                                                                              : FromErrno(errno);
}

// Removes the EA folder `eaDirPath` (/d/@eaDir/f) and everything in it; a missing one is
// kNotFound. The folders on the way must be root's alone.
inline Error RemoveEAFolder(const std::string& eaDirPath) {
  AsUser root("");
  if (!root.Ok()) return kDenied;
  Fd dir;
  std::string leaf;
  Error e = OpenEAFolders(eaDirPath, /*create=*/false, /*whole=*/false, dir, leaf);
  if (e != kOk) return e;
  return RemoveTreeAt(dir.Get(), leaf);
}

// ---- Walks of indexed folders ------------------------------------------------------------
// The daemon walks folders that users write and converts what it finds there. A walk holds the
// descriptor of its top folder and of every folder on the way; folders are entered without
// following a link, and a link to a file counts only when it resolves beneath the top folder.

// Opens the folder `realPath` (a folder of a share, or the share folder itself) for reading its
// entries, resolved as root beneath the share's folder. A path with an @eaDir component is
// kBadPath.
inline Error OpenFolderForWalk(const std::string& realPath, Fd& out) {
  std::string share, rel;
  Error e = SplitAtShare(realPath, /*allowShareFolder=*/true, share, rel);
  if (e != kOk) return e;
  if (HasEAComponent(rel)) return Refuse(kBadPath);
  AsUser root("");
  if (!root.Ok()) return kDenied;
  Fd base(open(share.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!base.Ok()) return FromErrno(errno);
  if (rel.empty()) {
    out = std::move(base);
    return kOk;
  }
  Fd dir(OpenAt2(base.Get(), rel, O_RDONLY | O_DIRECTORY, 0, kBeneath));
  if (!dir.Ok()) return FromErrno(errno);
  out = std::move(dir);
  return kOk;
}

// The status of the file `rel` (a path below the folder `dirfd`, links followed) resolved
// beneath that folder: a link that leads out of it is kEscapes.
inline Error StatBeneathAt(int dirfd, const std::string& rel, struct stat& st) {
  if (rel.empty() || rel[0] == '/') return Refuse(kBadPath);
  Fd fd(OpenAt2(dirfd, rel, O_PATH, 0, kBeneath));
  if (!fd.Ok()) return FromErrno(errno);
  return fstat(fd.Get(), &st) == 0 ? kOk : FromErrno(errno);
}

// The status of `realPath`, a path inside the folder `folder` (both real paths of one share),
// resolved as root beneath `folder`: whatever links lie on the way, what is examined lies in
// that folder. kBadPath when `realPath` is not below `folder` or passes through an @eaDir.
inline Error StatBeneathFolder(const std::string& folder, const std::string& realPath,
                               struct stat& st) {
  std::string top = folder;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  if (realPath.size() <= top.size() + 1 || realPath.compare(0, top.size(), top) != 0 ||
      realPath[top.size()] != '/') {
    return Refuse(kBadPath);
  }
  const std::string rel = realPath.substr(top.size() + 1);
  if (HasEAComponent(rel)) return Refuse(kBadPath);
  for (const std::string& c : Components(rel)) {
    if (c == "." || c == "..") return Refuse(kBadPath);
  }
  Fd dir;
  Error e = OpenFolderForWalk(top, dir);
  if (e != kOk) return e;
  AsUser root("");
  if (!root.Ok()) return kDenied;
  return StatBeneathAt(dir.Get(), rel, st);
}

// ---- Temporary files in EA folders -------------------------------------------------------

// Makes a new, empty file root's alone (mode 0600, O_RDWR) in the EA folder of
// `eaPathTemplate` (/d/@eaDir/f/NAMEXXXXXXSUFFIX, made when missing): the last component with
// its six "X" before the last `suffixLength` characters replaced by random letters and digits,
// created exclusively and without following a link, as mkstemps does. `dir` gets the EA folder
// (for removing the file by name later, unlinkat), `file` the new file and `name` its name in
// that folder.
inline Error MakeEATempFile(const std::string& eaPathTemplate, size_t suffixLength, Fd& dir,
                            Fd& file, std::string& name) {
  AsUser root("");
  if (!root.Ok()) return kDenied;
  std::string leaf;
  Fd folder;
  Error e = OpenEAFolders(eaPathTemplate, /*create=*/true, /*whole=*/false, folder, leaf);
  if (e != kOk) return e;
  if (leaf.size() < suffixLength + 6 ||
      leaf.compare(leaf.size() - suffixLength - 6, 6, "XXXXXX") != 0) {
    return Refuse(kBadPath);
  }
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char r[6];
    if (getrandom(r, sizeof(r), 0) != static_cast<ssize_t>(sizeof(r))) return FromErrno(errno);
    std::string candidate = leaf;
    for (size_t i = 0; i < 6; ++i) {
      candidate[leaf.size() - suffixLength - 6 + i] = kChars[r[i] % (sizeof(kChars) - 1)];
    }
    Fd fd(openat(folder.Get(), candidate.c_str(),
                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (!fd.Ok()) {
      if (errno == EEXIST) continue;
      return FromErrno(errno);
    }
    if (fchmod(fd.Get(), 0600) != 0) {
      int saved = errno;
      unlinkat(folder.Get(), candidate.c_str(), 0);
      return FromErrno(saved);
    }
    dir = std::move(folder);
    file = std::move(fd);
    name = candidate;
    return kOk;
  }
  return Refuse(kFailed);
}

}  // namespace safe
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_SAFE_FILE_H_
