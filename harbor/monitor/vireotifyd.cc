// vireotifyd: the platform's file-change monitor daemon. Watches every folder tree registered
// through MonitorQueue (vireo/monitor.h) with inotify, one watch per folder, and appends a
// record line to the registration's queue file for each file closed after writing (8) and
// each file or folder moved or made inside a tree (64, with the new path).
//
//   vireotifyd [--daemon] [--pidfile FILE] [--status FILE] [--registrations DIR]
//
// Why one inotify watch per folder rather than a file-system mark: marks report every change on
// the whole volume and need the event's path rebuilt from a file handle; per-folder watches
// report only the registered trees with their names, at about 1 KiB of kernel memory and one
// map entry each here. A tree of 100 000 folders needs fs.inotify.max_user_watches above that.
//
// The status file (written after every rebuild) says how many folders are watched, so callers
// can wait until a registration is in effect: {"ready": true, "watches": N, "roots": R}.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "vireo/libc.h"
#include "vireo/monitor.h"

namespace {

using VIREO::VIREOTIFYD::MonitorQueue;

constexpr uint32_t kWriteEvent = IN_CLOSE_WRITE;  // 8
constexpr uint32_t kMoveEvent = IN_MOVED_FROM;    // 64: what the queue calls a move
constexpr uint32_t kFolderMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                 IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr uint32_t kRegistrationMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_ONLYDIR;
constexpr int kLockSeconds = 5;
constexpr int kRetryMs = 5000;  // roots that could not be watched are tried again this often

volatile sig_atomic_t gQuit = 0;

void OnSignal(int) { gQuit = 1; }

#define LOG(fmt, ...) syslog(LOG_ERR, "%s:%d (%d) " fmt, __FILE__, __LINE__, getpid(), ##__VA_ARGS__)

struct Root {
  std::string path;
  std::string queue;
  uint32_t mask = 0;
  std::set<std::string> ignore;
};

struct Watch {
  std::string path;
  std::vector<size_t> roots;  // indexes into _roots of the trees this folder belongs to
};

std::string Compact(const Json::Value& v) {
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  return Json::writeString(w, v);
}

class Monitor {
 public:
  Monitor(std::string registrations, std::string status)
      : _registrations(std::move(registrations)), _status(std::move(status)) {}
  ~Monitor() {
    if (_fd >= 0) close(_fd);
  }

  bool Run();

 private:
  bool Rebuild();
  void AddTree(const std::string& top, size_t root, bool report);
  int AddFolder(const std::string& path, size_t root);
  void DropTree(const std::string& top);
  // False when the watches were rebuilt: the rest of the events read belong to the old ones.
  bool Handle(const struct inotify_event* ev);
  void Record(const Watch& w, const std::string& path, uint32_t event, bool isDir);
  bool Append(const std::string& queue, const std::string& line);
  bool Ignored(const Root& r, const std::string& name) const { return r.ignore.count(name) > 0; }
  void WriteStatus();
  Json::Value ReadRegistrations() const;

  const std::string _registrations;
  const std::string _status;
  int _fd = -1;
  int _registrationWd = -1;
  Json::Value _current;  // the registrations in effect
  std::vector<Root> _roots;
  std::unordered_map<int, Watch> _byWd;
  std::map<std::string, int> _byPath;
  size_t _statusWatches = 0;  // the count the status file shows
  size_t _unwatched = 0;      // folders refused for want of watches since the last rebuild
};

Json::Value Monitor::ReadRegistrations() const {
  Json::Value all(Json::arrayValue);
  for (const MonitorQueue& q : MonitorQueue::List(_registrations)) all.append(q.Get());
  return all;
}

bool Monitor::Rebuild() {
  if (_fd >= 0) close(_fd);  // drops every watch at once
  _byWd.clear();
  _byPath.clear();
  _roots.clear();
  _fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (_fd < 0) {
    LOG("inotify_init1 failed: %m");
    return false;
  }
  mkdir(_registrations.c_str(), 0755);
  _registrationWd = inotify_add_watch(_fd, _registrations.c_str(), kRegistrationMask);
  if (_registrationWd < 0) LOG("cannot watch %s: %m", _registrations.c_str());
  _current = ReadRegistrations();
  for (const Json::Value& reg : _current) {
    for (const Json::Value& entry : reg["config"]) {
      Root r;
      r.path = entry["path"].asString();
      while (r.path.size() > 1 && r.path.back() == '/') r.path.pop_back();
      r.queue = reg["queue"].asString();
      r.mask = static_cast<uint32_t>(entry["mask"].asInt64());
      for (const Json::Value& n : entry["ignore"]) r.ignore.insert(n.asString());
      _roots.push_back(r);
    }
  }
  _unwatched = 0;
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  for (size_t i = 0; i < _roots.size(); ++i) AddTree(_roots[i].path, i, /*report=*/false);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  long ms = (t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000;
  LOG("watching %zu folders of %zu trees (%ld ms)", _byWd.size(), _roots.size(), ms);
  if (_unwatched > 0) LOG("%zu folders are not watched: out of inotify watches", _unwatched);
  WriteStatus();
  return true;
}

void Monitor::WriteStatus() {
  if (_status.empty()) return;
  Json::Value s(Json::objectValue);
  _statusWatches = _byWd.size();
  s["ready"] = true;
  s["watches"] = static_cast<Json::UInt64>(_byWd.size());
  s["roots"] = static_cast<Json::UInt64>(_roots.size());
  s["unwatched"] = static_cast<Json::UInt64>(_unwatched);
  const std::string tmp = _status + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (f == nullptr) return;
  fprintf(f, "%s\n", Compact(s).c_str());
  if (fclose(f) == 0) rename(tmp.c_str(), _status.c_str());
}

// Watches `path` for root `root`; the watch descriptor, -1 when it cannot be watched (gone, no
// folder, a link: IN_DONT_FOLLOW and IN_ONLYDIR refuse those).
int Monitor::AddFolder(const std::string& path, size_t root) {
  int wd = inotify_add_watch(_fd, path.c_str(), kFolderMask);
  if (wd < 0) {
    if (errno == ENOSPC && _unwatched++ == 0) {
      LOG("out of inotify watches at %s (fs.inotify.max_user_watches)", path.c_str());
    }
    return -1;
  }
  Watch& w = _byWd[wd];
  if (!w.path.empty() && w.path != path) _byPath.erase(w.path);  // the same folder, renamed
  w.path = path;
  if (std::find(w.roots.begin(), w.roots.end(), root) == w.roots.end()) w.roots.push_back(root);
  _byPath[path] = wd;
  return wd;
}

// Watches the tree at `top`; with `report`, a move record for every folder of it that already
// holds something (its files arrived before their folder was watched).
void Monitor::AddTree(const std::string& top, size_t root, bool report) {
  std::vector<std::string> pending{top};
  const Root& r = _roots[root];
  while (!pending.empty()) {
    std::string dir = std::move(pending.back());
    pending.pop_back();
    if (AddFolder(dir, root) < 0) continue;
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
      close(fd);
      continue;
    }
    bool hasEntries = false;
    while (struct dirent* e = readdir(d)) {
      const char* n = e->d_name;
      if (strcmp(n, ".") == 0 || strcmp(n, "..") == 0) continue;
      if (Ignored(r, n)) continue;
      hasEntries = true;
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (fstatat(dirfd(d), n, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
      }
      if (type == DT_DIR) pending.push_back(dir + "/" + n);
    }
    closedir(d);
    if (report && hasEntries) {
      Watch w;
      w.roots.push_back(root);
      Record(w, dir, kMoveEvent, /*isDir=*/true);
    }
  }
}

void Monitor::DropTree(const std::string& top) {
  std::vector<int> gone;
  auto it = _byPath.find(top);
  if (it != _byPath.end()) gone.push_back(it->second);
  const std::string from = top + "/", to = top + "0";  // '0' follows '/': the subtree's range
  for (auto i = _byPath.lower_bound(from); i != _byPath.end() && i->first < to; ++i) {
    gone.push_back(i->second);
  }
  for (int wd : gone) {
    auto w = _byWd.find(wd);
    if (w != _byWd.end()) {
      _byPath.erase(w->second.path);
      _byWd.erase(w);
    }
    inotify_rm_watch(_fd, wd);
  }
}

bool Monitor::Append(const std::string& queue, const std::string& line) {
  // The queue's reader renames the file away under the lock: the lock counts only when it is
  // held on the file that still has the name.
  int lockFd = -1;
  for (int attempt = 0;; ++attempt) {
    if (!VLIBCFileLockTimeByFile(queue.c_str(), 1, kLockSeconds, &lockFd)) {
      LOG("cannot lock %s", queue.c_str());
      return false;
    }
    struct stat held, named;
    if (fstat(lockFd, &held) == 0 && stat(queue.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      break;
    }
    VLIBCFileUnlockByFile(lockFd);
    if (attempt == 20) {
      LOG("cannot lock %s", queue.c_str());
      return false;
    }
  }
  bool ok = false;
  int fd = open(queue.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd >= 0) {
    const std::string text = line + "\n";
    ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0) ok = false;  // the close is what wakes the queue's reader
  }
  if (!ok) LOG("cannot append to %s: %m", queue.c_str());
  VLIBCFileUnlockByFile(lockFd);
  return ok;
}

void Monitor::Record(const Watch& w, const std::string& path, uint32_t event, bool isDir) {
  std::set<std::string> queues;
  for (size_t i : w.roots) {
    if (i < _roots.size() && (_roots[i].mask & event) != 0) queues.insert(_roots[i].queue);
  }
  if (queues.empty()) return;
  Json::Value record(Json::objectValue);
  record["event"] = static_cast<int>(event);
  record["is_dir"] = isDir;
  record["path"] = path;
  const std::string line = Compact(record);
  for (const std::string& q : queues) Append(q, line);
}

bool Monitor::Handle(const struct inotify_event* ev) {
  if (ev->mask & IN_Q_OVERFLOW) {
    // Changes were lost: watch everything anew and let every tree be looked at again.
    LOG("event queue overflowed; rebuilding");
    Rebuild();
    for (size_t i = 0; i < _roots.size(); ++i) {
      Watch w;
      w.roots.push_back(i);
      Record(w, _roots[i].path, kMoveEvent, /*isDir=*/true);
    }
    return false;
  }
  auto it = _byWd.find(ev->wd);
  if (it == _byWd.end()) return true;
  if (ev->mask & (IN_IGNORED | IN_DELETE_SELF)) {
    _byPath.erase(it->second.path);
    _byWd.erase(it);
    return true;
  }
  if (ev->len == 0) return true;
  const std::string name = ev->name;
  const Watch w = it->second;  // copied: adding watches below may rehash the map
  Watch kept;
  for (size_t i : w.roots) {
    if (i < _roots.size() && !Ignored(_roots[i], name)) kept.roots.push_back(i);
  }
  if (kept.roots.empty()) return true;
  const std::string path = w.path + "/" + name;
  if (ev->mask & IN_ISDIR) {
    if (ev->mask & IN_MOVED_FROM) {
      DropTree(path);
    } else if (ev->mask & (IN_CREATE | IN_MOVED_TO)) {
      for (size_t i : kept.roots) AddTree(path, i, /*report=*/(ev->mask & IN_CREATE) != 0);
      if (ev->mask & IN_MOVED_TO) Record(kept, path, kMoveEvent, /*isDir=*/true);
    }
    return true;
  }
  if (ev->mask & IN_CLOSE_WRITE) {
    Record(kept, path, kWriteEvent, /*isDir=*/false);
  } else if (ev->mask & IN_MOVED_TO) {
    Record(kept, path, kMoveEvent, /*isDir=*/false);
  }
  return true;
}

bool Monitor::Run() {
  if (!Rebuild()) return false;
  alignas(struct inotify_event) char buf[64 * 1024];
  while (!gQuit) {
    struct pollfd p = {_fd, POLLIN, 0};
    int r = poll(&p, 1, kRetryMs);
    if (r < 0) {
      if (errno == EINTR) continue;
      LOG("poll failed: %m");
      return false;
    }
    if (r == 0) {
      // Roots that did not exist (or were replaced) are tried again.
      bool missing = false;
      for (size_t i = 0; i < _roots.size(); ++i) {
        if (_byPath.count(_roots[i].path) == 0) {
          struct stat st;
          if (lstat(_roots[i].path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) missing = true;
        }
      }
      if (missing) Rebuild();
      continue;
    }
    bool reload = false, rebuilt = false;
    while (!rebuilt) {
      ssize_t n = read(_fd, buf, sizeof(buf));
      if (n <= 0) break;
      for (char* at = buf; at < buf + n && !rebuilt;) {
        const struct inotify_event* ev = reinterpret_cast<const struct inotify_event*>(at);
        at += sizeof(struct inotify_event) + ev->len;
        if (ev->wd == _registrationWd && _registrationWd >= 0) {
          reload = true;
        } else {
          rebuilt = !Handle(ev);
        }
      }
    }
    if (reload && ReadRegistrations() != _current) {
      Rebuild();
    } else if (reload || _byWd.size() != _statusWatches) {
      WriteStatus();
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool detach = false;
  std::string pidfile, status, registrations = MonitorQueue::kRegistrationDir;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--daemon") {
      detach = true;
    } else if (a == "--pidfile" && i + 1 < argc) {
      pidfile = argv[++i];
    } else if (a == "--status" && i + 1 < argc) {
      status = argv[++i];
    } else if (a == "--registrations" && i + 1 < argc) {
      registrations = argv[++i];
    } else {
      fprintf(stderr, "usage: vireotifyd [--daemon] [--pidfile F] [--status F] [--registrations D]\n");
      return 2;
    }
  }
  openlog("vireotifyd", LOG_NDELAY, LOG_DAEMON);
  if (detach && daemon(0, 0) != 0) {
    LOG("daemon failed: %m");
    return 1;
  }
  if (!pidfile.empty() && VLIBCProcPidFileCreate(pidfile.c_str()) < 0) {
    LOG("cannot write %s", pidfile.c_str());
    return 1;
  }
  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Monitor monitor(registrations, status);
  bool ok = monitor.Run();
  if (!pidfile.empty()) unlink(pidfile.c_str());
  if (!status.empty()) unlink(status.c_str());
  return ok ? 0 : 1;
}
