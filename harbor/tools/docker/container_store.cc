#include "container_store.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <json/json.h>

namespace harbor {
namespace docker {

namespace fs = std::filesystem;

namespace {

constexpr const char* kConfig = "config.json";
constexpr const char* kLock = "lock";
constexpr const char* kStarted = "started";
constexpr const char* kMainLock = "main.lock";
constexpr const char* kMainLog = "main.log";
// How long a forced removal waits for the execs it killed to let go of the container.
constexpr int kForceWaitMs = 10000;

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> buf(bytes);
  size_t got = 0;
  while (got < bytes) {
    ssize_t n = getrandom(buf.data() + got, bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : buf) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// To the nanosecond, as docker records it: listings order containers by creation.
std::string NowUtc() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm tm;
  gmtime_r(&now.tv_sec, &tm);
  char stamp[48];
  size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(stamp + n, sizeof(stamp) - n, ".%09ldZ", now.tv_nsec);
  return stamp;
}

Json::Value ToJson(const Container& c) {
  Json::Value v(Json::objectValue);
  v["Id"] = c.id;
  v["Name"] = c.name;
  v["Image"] = c.image;
  v["Created"] = c.created;
  v["Env"] = Json::Value(Json::arrayValue);
  for (const auto& e : c.env) v["Env"].append(e);
  v["Volumes"] = Json::Value(Json::arrayValue);
  for (const auto& vol : c.volumes) {
    Json::Value m(Json::objectValue);
    m["Source"] = vol.host;
    m["Destination"] = vol.container;
    m["ReadOnly"] = vol.readOnly;
    v["Volumes"].append(m);
  }
  return v;
}

bool FromJson(const Json::Value& v, Container* c) {
  if (!v.isObject() || !v["Id"].isString() || !v["Name"].isString() ||
      !v["Image"].isString() || !v["Env"].isArray() || !v["Volumes"].isArray()) {
    return false;
  }
  c->id = v["Id"].asString();
  c->name = v["Name"].asString();
  c->image = v["Image"].asString();
  c->created = v["Created"].asString();
  c->env.clear();
  for (const auto& e : v["Env"]) {
    if (!e.isString()) return false;
    c->env.push_back(e.asString());
  }
  c->volumes.clear();
  for (const auto& m : v["Volumes"]) {
    if (!m.isObject() || !m["Source"].isString() || !m["Destination"].isString()) return false;
    c->volumes.push_back({m["Source"].asString(), m["Destination"].asString(),
                          m["ReadOnly"].asBool()});
  }
  return true;
}

bool WriteNewFile(const std::string& path, const std::string& content, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0;
}

bool SameFile(int fd, const std::string& path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// Sends SIGKILL to every process (but this one) that holds `path` open.
void KillHolders(const std::string& path) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  const pid_t self = getpid();
  while (struct dirent* p = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(p->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (fds == nullptr) continue;
    bool holds = false;
    while (struct dirent* f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      char target[4096];
      ssize_t n = readlinkat(dirfd(fds), f->d_name, target, sizeof(target) - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      if (path == target) {
        holds = true;
        break;
      }
    }
    closedir(fds);
    if (holds) kill(static_cast<pid_t>(pid), SIGKILL);
  }
  closedir(proc);
}

// The file lock of a record, released when this goes out of scope.
class LockFile {
 public:
  explicit LockFile(const std::string& path)
      : _fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY)) {}
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile() {
    if (_fd >= 0) close(_fd);
  }
  bool IsOpen() const { return _fd >= 0; }
  int fd() const { return _fd; }
  // Hands the descriptor (and its lock) over to the caller.
  int Release() {
    int fd = _fd;
    _fd = -1;
    return fd;
  }
  bool Lock(int how) {
    while (flock(_fd, how) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }

 private:
  int _fd;
};

// Ends the main process whose keeper holds `mainLock` (if any): true once nobody holds it.
bool StopMain(const std::string& mainLock) {
  LockFile lock(mainLock);
  if (!lock.IsOpen()) return true;  // never started
  for (int waited = 0; waited < kForceWaitMs; waited += 20) {
    if (flock(lock.fd(), LOCK_EX | LOCK_NB) == 0) return true;
    KillHolders(mainLock);
    usleep(20 * 1000);
  }
  return false;
}

}  // namespace

bool IsValidName(const std::string& name) {
  if (name.size() < 2) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char ch = static_cast<unsigned char>(name[i]);
    bool alnum = isascii(ch) && isalnum(ch);
    if (!alnum && (i == 0 || (ch != '_' && ch != '.' && ch != '-'))) return false;
  }
  return true;
}

ExecLease& ExecLease::operator=(ExecLease&& other) noexcept {
  if (this != &other) {
    if (_fd >= 0) close(_fd);
    _fd = other._fd;
    other._fd = -1;
  }
  return *this;
}

ExecLease::~ExecLease() {
  if (_fd >= 0) close(_fd);
}

ContainerStore::ContainerStore(std::string root) : _root(std::move(root)) {}

std::string ContainerStore::Dir(const std::string& name) const {
  return ContainersDir() + "/" + name;
}

std::string ContainerStore::HomeDir(const std::string& name) const { return Dir(name) + "/home"; }

std::string ContainerStore::TmpDir(const std::string& name) const { return Dir(name) + "/tmp"; }

std::string ContainerStore::MainLockPath(const std::string& name) const {
  return Dir(name) + "/" + kMainLock;
}

std::string ContainerStore::MainLogPath(const std::string& name) const {
  return Dir(name) + "/" + kMainLog;
}

bool ContainerStore::MarkStarted(const std::string& name) const {
  const std::string path = Dir(name) + "/" + kStarted;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool ContainerStore::IsStarted(const std::string& name) const {
  struct stat st;
  return IsValidName(name) && lstat((Dir(name) + "/" + kStarted).c_str(), &st) == 0;
}

ContainerStore::Status ContainerStore::Create(Container* c, std::string* message) {
  std::error_code ec;
  fs::create_directories(ContainersDir(), ec);
  // Containers' homes and /tmp hold what the converters saw: not for the appliance's users.
  if (chmod(_root.c_str(), 0700) != 0 || chmod(ContainersDir().c_str(), 0700) != 0) {
    *message = "cannot prepare " + ContainersDir() + ": " + strerror(errno);
    return Status::kError;
  }
  c->id = RandomHex(32);
  c->created = NowUtc();
  // Built aside and renamed into place, so nobody sees half a container.
  const std::string staging = ContainersDir() + "/.new-" + c->id;
  Json::StreamWriterBuilder wb;
  wb["indentation"] = "  ";
  bool built = mkdir(staging.c_str(), 0700) == 0 &&
               mkdir((staging + "/home").c_str(), 0700) == 0 &&
               mkdir((staging + "/tmp").c_str(), 0700) == 0 &&
               chmod((staging + "/tmp").c_str(), 01777) == 0 &&
               WriteNewFile(staging + "/" + kLock, "", 0600) &&
               WriteNewFile(staging + "/" + kConfig, Json::writeString(wb, ToJson(*c)) + "\n",
                            0600);
  if (!built) {
    *message = "cannot record container " + c->name + ": " + strerror(errno);
    fs::remove_all(staging, ec);
    return Status::kError;
  }
  if (rename(staging.c_str(), Dir(c->name).c_str()) != 0) {
    int err = errno;
    fs::remove_all(staging, ec);
    Container holder;
    if ((err == EEXIST || err == ENOTEMPTY) && Load(c->name, &holder) == Status::kOk) {
      *message = holder.id;
      return Status::kConflict;
    }
    *message = "cannot record container " + c->name + ": " + strerror(err);
    return Status::kError;
  }
  return Status::kOk;
}

ContainerStore::Status ContainerStore::Load(const std::string& name, Container* c) const {
  if (!IsValidName(name)) return Status::kNotFound;
  std::ifstream in(Dir(name) + "/" + kConfig);
  if (!in) return Status::kNotFound;
  Json::Value v;
  Json::CharReaderBuilder rb;
  std::string errs;
  if (!Json::parseFromStream(rb, in, &v, &errs) || !FromJson(v, c)) return Status::kError;
  return Status::kOk;
}

ContainerStore::Status ContainerStore::Acquire(const std::string& name, Container* c,
                                               ExecLease* lease) const {
  if (!IsValidName(name)) return Status::kNotFound;
  const std::string lockPath = Dir(name) + "/" + kLock;
  LockFile lock(lockPath);
  if (!lock.IsOpen()) return Status::kNotFound;
  if (!lock.Lock(LOCK_SH)) return Status::kError;
  // A removal may have taken the record away while we waited for the lock.
  if (!SameFile(lock.fd(), lockPath)) return Status::kNotFound;
  Status st = Load(name, c);
  if (st != Status::kOk) return st;
  *lease = ExecLease(lock.Release());
  return Status::kOk;
}

ContainerStore::Status ContainerStore::Remove(const std::string& name, bool force,
                                              std::string* message) {
  if (!IsValidName(name)) return Status::kNotFound;
  const std::string lockPath = Dir(name) + "/" + kLock;
  LockFile lock(lockPath);
  if (!lock.IsOpen()) return Status::kNotFound;
  if (flock(lock.fd(), LOCK_EX | LOCK_NB) != 0) {
    if (!force) return Status::kBusy;
    bool locked = false;
    for (int waited = 0; waited < kForceWaitMs && !locked; waited += 20) {
      KillHolders(lockPath);
      locked = flock(lock.fd(), LOCK_EX | LOCK_NB) == 0;
      if (!locked) usleep(20 * 1000);
    }
    if (!locked) {
      *message = "execs in " + name + " did not end";
      return Status::kBusy;
    }
  }
  if (!SameFile(lock.fd(), lockPath)) return Status::kNotFound;
  if (!StopMain(MainLockPath(name))) {
    *message = "the main process of " + name + " did not end";
    return Status::kBusy;
  }
  // One rename takes the record out of sight; deleting its home and /tmp may take longer.
  const std::string doomed = ContainersDir() + "/.removed-" + RandomHex(8);
  if (rename(Dir(name).c_str(), doomed.c_str()) != 0) {
    *message = "cannot remove " + name + ": " + strerror(errno);
    return Status::kError;
  }
  // The main process's sandbox goes down with its keeper, a moment after it: what it still
  // writes there may make the first attempts fail.
  std::error_code ec;
  for (int waited = 0; fs::remove_all(doomed, ec), ec && waited < kForceWaitMs; waited += 20) {
    usleep(20 * 1000);
  }
  return Status::kOk;
}

std::vector<Container> ContainerStore::List() const {
  std::vector<Container> out;
  std::error_code ec;
  for (fs::directory_iterator it(ContainersDir(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    Container c;
    if (name[0] != '.' && Load(name, &c) == Status::kOk) out.push_back(std::move(c));
  }
  std::sort(out.begin(), out.end(), [](const Container& a, const Container& b) {
    return a.created != b.created ? a.created > b.created : a.name < b.name;
  });
  return out;
}

}  // namespace docker
}  // namespace harbor
