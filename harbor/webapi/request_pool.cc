#include "request_pool.h"

#include <dirent.h>
#include <errno.h>
#include <fcgiapp.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "host.h"

extern char** environ;

namespace VIREO {
namespace webapi {

namespace {

int EnvNumber(const char* name, int fallback, int low, int high) {
  const char* v = getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  long n = strtol(v, &end, 10);
  if (errno != 0 || *end != '\0' || n < low || n > high) return fallback;
  return static_cast<int>(n);
}

// ---- one worker ------------------------------------------------------------------------------

volatile sig_atomic_t gWorkerIdle = 1;
volatile sig_atomic_t gWorkerStop = 0;

// A worker asked to stop leaves at once while it waits for a request, and after the request
// otherwise.
void WorkerTerminate(int) {
  if (gWorkerIdle) _exit(0);
  gWorkerStop = 1;
}

// A client that went away makes the write fail instead of ending the worker. Caught rather
// than ignored, so that programs a handler runs get the default back.
void WorkerBrokenPipe(int) {}

// What a request must leave as it found it for the next one to be served by the same process.
struct ProcessState {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  std::vector<gid_t> groups;
  std::string cwd;
  mode_t umask;
  std::set<std::string> fds;  // "number -> target"

  static ProcessState Read() {
    ProcessState s;
    getresuid(&s.ruid, &s.euid, &s.suid);
    getresgid(&s.rgid, &s.egid, &s.sgid);
    int n = getgroups(0, nullptr);
    if (n > 0) {
      s.groups.resize(static_cast<size_t>(n));
      n = getgroups(n, s.groups.data());
      s.groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) != nullptr) s.cwd = cwd;
    s.umask = ::umask(022);
    ::umask(s.umask);
    DIR* d = opendir("/proc/self/fd");
    if (d != nullptr) {
      int self = dirfd(d);
      while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == self) continue;
        char target[4096];
        ssize_t len = readlinkat(self, e->d_name, target, sizeof(target) - 1);
        target[len > 0 ? len : 0] = '\0';
        s.fds.insert(std::string(e->d_name) + " -> " + target);
      }
      closedir(d);
    }
    return s;
  }

  // Empty when `now` is the same state; otherwise what differs.
  std::string Differs(const ProcessState& now) const {
    if (now.ruid != ruid || now.euid != euid || now.suid != suid) return "user ids not restored";
    if (now.rgid != rgid || now.egid != egid || now.sgid != sgid) return "group ids not restored";
    if (now.groups != groups) return "supplementary groups not restored";
    if (now.cwd != cwd) return "working folder changed";
    if (now.umask != umask) return "file mode mask changed";
    for (const std::string& fd : now.fds) {
      if (fds.count(fd) == 0) return "descriptor left open: " + fd;
    }
    return "";
  }
};

ssize_t ReadRequest(void* cookie, char* buf, size_t size) {
  FCGX_Request* r = static_cast<FCGX_Request*>(cookie);
  int n = FCGX_GetStr(buf, static_cast<int>(size > 1 << 20 ? 1 << 20 : size), r->in);
  return n < 0 ? -1 : n;
}

ssize_t WriteRequest(void* cookie, const char* buf, size_t size) {
  FCGX_Request* r = static_cast<FCGX_Request*>(cookie);
  size_t done = 0;
  while (done < size) {
    int chunk = static_cast<int>(size - done > 1 << 20 ? 1 << 20 : size - done);
    int n = FCGX_PutStr(buf + done, chunk, r->out);
    if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;  // the client went away
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// The process environment for one request: the worker's own variables, then the request's.
void SetRequestEnvironment(const std::vector<std::string>& base, char** params) {
  clearenv();
  for (const std::string& kv : base) {
    size_t eq = kv.find('=');
    if (eq != std::string::npos) setenv(kv.substr(0, eq).c_str(), kv.c_str() + eq + 1, 1);
  }
  for (char** p = params; p != nullptr && *p != nullptr; ++p) {
    const char* eq = strchr(*p, '=');
    if (eq == nullptr || eq == *p) continue;
    setenv(std::string(*p, static_cast<size_t>(eq - *p)).c_str(), eq + 1, 1);
  }
}

void ServeRequest(FCGX_Request& request, const std::vector<std::string>& base,
                  const std::function<void()>& serveOne) {
  SetRequestEnvironment(base, request.envp);
  cookie_io_functions_t reader = {ReadRequest, nullptr, nullptr, nullptr};
  cookie_io_functions_t writer = {nullptr, WriteRequest, nullptr, nullptr};
  FILE* in = fopencookie(&request, "r", reader);
  FILE* out = fopencookie(&request, "w", writer);
  if (in == nullptr || out == nullptr) {
    HARBOR_LOG("request worker: cannot open the request's streams: %m");
    if (in != nullptr) fclose(in);
    if (out != nullptr) fclose(out);
    FCGX_FPrintF(request.out, "Status: 500 Internal Server Error\r\n\r\n");
    return;
  }
  setvbuf(out, nullptr, _IOFBF, 64 * 1024);
  FILE* savedIn = stdin;
  FILE* savedOut = stdout;
  stdin = in;
  stdout = out;
  serveOne();
  fflush(out);
  stdout = savedOut;
  stdin = savedIn;
  fclose(out);
  fclose(in);
}

int Worker(const RequestPoolOptions& options, const std::function<void()>& serveOne) {
  struct sigaction term = {};
  term.sa_handler = WorkerTerminate;
  sigemptyset(&term.sa_mask);
  term.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &term, nullptr);
  struct sigaction pipe = {};
  pipe.sa_handler = WorkerBrokenPipe;
  sigemptyset(&pipe.sa_mask);
  pipe.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &pipe, nullptr);
  signal(SIGINT, SIG_DFL);

  std::vector<std::string> base;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) base.emplace_back(*e);
  FCGX_Request request;
  if (FCGX_InitRequest(&request, 0, 0) != 0) {
    HARBOR_LOG("request worker: cannot prepare a request");
    return 1;
  }
  const ProcessState clean = ProcessState::Read();
  for (int served = 0; served < options.maxRequests && !gWorkerStop; ++served) {
    gWorkerIdle = 1;
    if (gWorkerStop) break;
    int rc = FCGX_Accept_r(&request);
    gWorkerIdle = 0;
    if (rc < 0) {
      HARBOR_LOG("request worker: cannot accept a request (%d)", rc);
      return 1;
    }
    ServeRequest(request, base, serveOne);
    FCGX_Finish_r(&request);
    errno = 0;
    std::string why = clean.Differs(ProcessState::Read());
    if (!why.empty()) {
      HARBOR_LOG("request worker %d replaced after a request: %s", static_cast<int>(getpid()),
                 why.c_str());
      return 0;
    }
  }
  return 0;
}

// ---- the supervisor --------------------------------------------------------------------------

volatile sig_atomic_t gPoolStop = 0;

void PoolTerminate(int) { gPoolStop = 1; }

pid_t StartWorker(const RequestPoolOptions& options, const std::function<void()>& serveOne) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(Worker(options, serveOne));
  if (pid < 0) HARBOR_LOG("request pool: cannot start a worker: %m");
  return pid;
}

}  // namespace

RequestPoolOptions RequestPoolOptionsFromEnvironment() {
  RequestPoolOptions o;
  o.workers = EnvNumber("HARBOR_WEBAPI_WORKERS", o.workers, 1, 64);
  o.maxRequests = EnvNumber("HARBOR_WEBAPI_MAX_REQUESTS", o.maxRequests, 1, 1000000);
  return o;
}

bool IsFastCGI() { return FCGX_IsCGI() == 0; }

int RunRequestPool(const RequestPoolOptions& options, const std::function<void()>& serveOne) {
  if (FCGX_Init() != 0) {
    HARBOR_LOG("request pool: cannot start FastCGI");
    return 1;
  }
  struct sigaction stop = {};
  stop.sa_handler = PoolTerminate;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = 0;  // no restart: the wait below must wake up
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);

  std::map<pid_t, time_t> workers;  // pid -> start time
  for (int i = 0; i < options.workers; ++i) {
    pid_t pid = StartWorker(options, serveOne);
    if (pid > 0) workers[pid] = time(nullptr);
  }
  HARBOR_LOG("request pool %d: %d workers, %d requests each", static_cast<int>(getpid()),
             options.workers, options.maxRequests);
  int quickFailures = 0;
  while (!gPoolStop) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      if (errno == ECHILD && workers.empty()) {
        // Every start failed: try again shortly rather than spin.
        sleep(1);
        pid_t again = StartWorker(options, serveOne);
        if (again > 0) workers[again] = time(nullptr);
        continue;
      }
      break;
    }
    auto it = workers.find(pid);
    if (it == workers.end()) continue;  // a process a worker left behind
    bool failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    bool quick = time(nullptr) - it->second < 2;
    workers.erase(it);
    if (failed) {
      HARBOR_LOG("request worker %d ended with status %d", static_cast<int>(pid), status);
    }
    // A worker that cannot even start serving must not make the pool spin.
    quickFailures = failed && quick ? quickFailures + 1 : 0;
    if (quickFailures > 3) sleep(1);
    if (gPoolStop) break;
    pid_t next = StartWorker(options, serveOne);
    if (next > 0) workers[next] = time(nullptr);
  }

  for (const auto& w : workers) kill(w.first, SIGTERM);
  // Requests under way get a few seconds to finish.
  for (int i = 0; i < 100 && !workers.empty(); ++i) {
    pid_t pid = waitpid(-1, nullptr, WNOHANG);
    if (pid > 0) {
      workers.erase(pid);
      continue;
    }
    if (pid < 0 && errno == ECHILD) break;
    struct timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  for (const auto& w : workers) kill(w.first, SIGKILL);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  return 0;
}

}  // namespace webapi
}  // namespace VIREO
