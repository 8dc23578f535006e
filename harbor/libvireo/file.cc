// File tests, inter-process locks, pid files, settings files, Base64 and snapshot tests.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "internal.h"
#include "vireo/libc.h"

namespace harbor {

bool WriteFileAtomically(const std::string& pathIn, const std::string& content, mode_t mode) {
  // Replace what a symlink points to, not the link.
  std::string path = pathIn;
  char resolved[PATH_MAX];
  struct stat lst;
  if (lstat(pathIn.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) &&
      realpath(pathIn.c_str(), resolved) != nullptr) {
    path = resolved;
  }
  std::string dir = ".";
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
  std::string tmpl = path + ".tmpXXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  bool ok = fchmod(fd, mode) == 0;
  const char* p = content.data();
  size_t left = content.size();
  while (ok && left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  int saved = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(name.data(), path.c_str()) == 0) return true;
  saved = errno ? errno : saved;
  unlink(name.data());
  errno = saved;
  return false;
}

}  // namespace harbor

namespace {

// Trims blanks and one pair of surrounding quotes.
std::string Unquote(std::string v) {
  size_t b = v.find_first_not_of(" \t\r");
  size_t e = v.find_last_not_of(" \t\r");
  if (b == std::string::npos) return "";
  v = v.substr(b, e - b + 1);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  return v;
}

// Reads `key` from a key=value file; false when the file or the key is missing.
bool ReadKeyValue(const char* file, const char* key, std::string& value) {
  if (file == nullptr || key == nullptr || *key == '\0') return false;
  std::ifstream in(file);
  if (!in) return false;
  std::string line;
  bool found = false;
  while (std::getline(in, line)) {
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#') continue;
    size_t eq = line.find('=', b);
    if (eq == std::string::npos) continue;
    std::string k = line.substr(b, eq - b);
    while (!k.empty() && (k.back() == ' ' || k.back() == '\t')) k.pop_back();
    if (k == key) {
      value = Unquote(line.substr(eq + 1));
      found = true;  // the last occurrence wins
    }
  }
  return found;
}

int LockFile(const char* path, int mode, int seconds, int* fd) {
  if (fd != nullptr) *fd = -1;
  if (path == nullptr || *path == '\0' || fd == nullptr || (mode != 0 && mode != 1) ||
      seconds < 0) {
    VLIBCErrSetEx(ERR_BAD_PARAMETERS, __FILE__, __LINE__);
    return 0;
  }
  int f = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (f < 0) {
    VLIBCErrSetEx(ERR_OPEN_FAILED, __FILE__, __LINE__);
    return 0;
  }
  int op = (mode == 1 ? LOCK_EX : LOCK_SH) | LOCK_NB;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (flock(f, op) == 0) {
      *fd = f;
      errno = 0;
      return 1;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      int saved = errno;
      close(f);
      errno = saved;
      VLIBCErrSetEx(ERR_LOCK_FAILED, __FILE__, __LINE__);
      return 0;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double waited = static_cast<double>(now.tv_sec - start.tv_sec) +
                    static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
    if (waited >= seconds) {
      close(f);
      errno = EWOULDBLOCK;
      VLIBCErrSetEx(ERR_LOCK_TIMEOUT, __FILE__, __LINE__);
      return 0;
    }
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

extern "C" {

int VLIBCFileExist(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 ? 1 : 0;
}

int VLIBCFileCheckDir(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int VLIBCFileTouch(const char* path) {
  if (path == nullptr || *path == '\0') {
    errno = EINVAL;
    return -1;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  close(fd);
  return 0;
}

int VLIBCFileStat(const char* path, int follow, struct stat* st) {
  if (path == nullptr || st == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return follow ? stat(path, st) : lstat(path, st);
}

int VLIBCFileLockTimeByFile(const char* path, int mode, int seconds, int* fd) {
  return LockFile(path, mode, seconds, fd);
}

int VLIBCFileLockByFile(const char* path, int mode, int* fd) {
  return LockFile(path, mode, 0, fd);
}

int VLIBCFileUnlockByFile(int fd) {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  int rc = flock(fd, LOCK_UN);
  int saved = errno;
  close(fd);
  if (rc != 0) {
    errno = saved;
    return -1;
  }
  return 0;
}

pid_t VLIBCReadPidFile(const char* path) {
  if (path == nullptr) return -1;
  std::ifstream in(path);
  long pid = 0;
  if (!(in >> pid) || pid <= 0 || pid > INT_MAX) return -1;
  return static_cast<pid_t>(pid);
}

int VLIBCProcAlive(pid_t pid) {
  if (pid <= 0) return 0;
  if (kill(pid, 0) != 0 && errno != EPERM) return 0;
  // A zombie has ended; only its exit status is left.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content;
  if (std::getline(stat, content)) {
    size_t paren = content.rfind(')');
    if (paren != std::string::npos && paren + 2 < content.size()) {
      char state = content[paren + 2];
      if (state == 'Z' || state == 'X') return 0;
    }
  }
  return 1;
}

int VLIBCProcPidFileCreate(const char* path) {
  if (path == nullptr || *path == '\0') return -1;
  std::string content = std::to_string(getpid()) + "\n";
  return harbor::WriteFileAtomically(path, content, 0644) ? 0 : -1;
}

int VLIBCFileCheckKeyValue(const char* file, const char* key, const char* value, int flags) {
  std::string stored;
  if (value == nullptr || !ReadKeyValue(file, key, stored)) return 0;
  if (flags & 1) return strcasecmp(stored.c_str(), value) == 0 ? 1 : 0;
  return stored == value ? 1 : 0;
}

int VLIBCFileGetKeyValue(const char* file, const char* key, char* buf, size_t size) {
  std::string stored;
  if (buf == nullptr || size == 0 || !ReadKeyValue(file, key, stored)) return -1;
  size_t n = stored.size() < size - 1 ? stored.size() : size - 1;
  memcpy(buf, stored.data(), n);
  buf[n] = '\0';
  return static_cast<int>(n);
}

int VLIBCFileSetKeyValue(const char* file, const char* key, const char* value) {
  if (file == nullptr || key == nullptr || *key == '\0' || value == nullptr ||
      strchr(key, '=') != nullptr || strchr(key, '\n') != nullptr ||
      strchr(value, '\n') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::ifstream in(file);
  std::ostringstream out;
  std::string line;
  bool replaced = false;
  while (in && std::getline(in, line)) {
    size_t b = line.find_first_not_of(" \t");
    size_t eq = line.find('=');
    if (b != std::string::npos && line[b] != '#' && eq != std::string::npos) {
      std::string k = line.substr(b, eq - b);
      while (!k.empty() && (k.back() == ' ' || k.back() == '\t')) k.pop_back();
      if (k == key) {
        if (!replaced) out << key << "=\"" << value << "\"\n";
        replaced = true;
        continue;
      }
    }
    out << line << "\n";
  }
  if (!replaced) out << key << "=\"" << value << "\"\n";
  return harbor::WriteFileAtomically(file, out.str(), 0644) ? 0 : -1;
}

int VLIBCBase64SzEncodeFull(const unsigned char* in, size_t len, char* out, size_t size) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if ((in == nullptr && len > 0) || out == nullptr) return -1;
  size_t need = 4 * ((len + 2) / 3) + 1;
  if (size < need) return -1;
  size_t o = 0;
  size_t i = 0;
  for (; i + 2 < len; i += 3) {
    unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    out[o++] = kAlphabet[(v >> 18) & 63];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  if (i < len) {
    unsigned v = in[i] << 16;
    if (i + 1 < len) v |= in[i + 1] << 8;
    out[o++] = kAlphabet[(v >> 18) & 63];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = i + 1 < len ? kAlphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  out[o] = '\0';
  return static_cast<int>(o);
}

int VLIBFhsPathInSnapshot(const char* path, int* flag) {
  if (path == nullptr || flag == nullptr || path[0] != '/') return -1;
  *flag = 0;
  std::string p(path);
  size_t start = 1;
  while (start <= p.size()) {
    size_t end = p.find('/', start);
    if (end == std::string::npos) end = p.size();
    std::string comp = p.substr(start, end - start);
    if (comp == "#snapshot" || comp == "@snapshot") {
      *flag = 1;
      break;
    }
    start = end + 1;
  }
  return 0;
}

}  // extern "C"
