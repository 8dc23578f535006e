#include "request_pool.h"

#include <dirent.h>
#include <errno.h>
#include <fcgiapp.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
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

// How long a worker waits for the web server to take a body it was handed.
constexpr int kHandoffWaitSeconds = 60;

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

// The answer of the request being served. Its header block is held back until the first byte
// of the body (or the end of the answer), so that a body handed to the web server can still
// add its header.
struct Answer {
  FCGX_Request* request = nullptr;
  FILE* stream = nullptr;
  std::string head;        // the header block so far, while not sent
  bool headDone = false;   // `head` ends with the blank line
  bool headSent = false;   // everything goes straight through
  int handedFd = -1;       // the descriptor the web server reads the body from
};

Answer* gAnswer = nullptr;   // the request being served
bool gHandoff = false;       // the web server takes bodies from our descriptors

// Longest header block held back; anything longer is not a header block for us to extend.
constexpr size_t kMaxHeldHead = 16 * 1024;

bool Put(FCGX_Request* r, const char* buf, size_t size) {
  size_t done = 0;
  while (done < size) {
    int chunk = static_cast<int>(size - done > 1 << 20 ? 1 << 20 : size - done);
    int n = FCGX_PutStr(buf + done, chunk, r->out);
    if (n < 0) return false;  // the client went away
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SendHead(Answer& a) {
  a.headSent = true;
  std::string head;
  head.swap(a.head);
  return head.empty() || Put(a.request, head.data(), head.size());
}

ssize_t WriteRequest(void* cookie, const char* buf, size_t size) {
  Answer& a = *static_cast<Answer*>(cookie);
  if (!a.headSent && !a.headDone) {
    a.head.append(buf, size);
    size_t end = a.head.find("\r\n\r\n");
    size_t blank = 4;
    size_t bare = a.head.find("\n\n");
    if (bare < end) {
      end = bare;
      blank = 2;
    }
    if (end == std::string::npos) {
      if (a.head.size() > kMaxHeldHead && !SendHead(a)) return -1;
      return static_cast<ssize_t>(size);
    }
    a.headDone = true;
    size_t bodyStart = end + blank;
    if (bodyStart == a.head.size()) return static_cast<ssize_t>(size);
    // The body began within this write: the head goes, then what follows it.
    std::string body = a.head.substr(bodyStart);
    a.head.resize(bodyStart);
    if (!SendHead(a)) return -1;
    return Put(a.request, body.data(), body.size()) ? static_cast<ssize_t>(size) : -1;
  }
  if (!a.headSent && !SendHead(a)) return -1;
  return Put(a.request, buf, size) ? static_cast<ssize_t>(size) : -1;
}

// The web server sets the length of a file it sends: a "Content-Length" line of the header
// block is dropped when it gives the file's size, `size`. False, nothing changed, when it gives
// another (the answer would contradict itself), or the block already hands a file over.
bool DropMatchingLength(std::string& head, off_t size) {
  size_t at = 0;
  while (at < head.size()) {
    size_t eol = head.find('\n', at);
    if (eol == std::string::npos) break;
    std::string line = head.substr(at, eol - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    std::string name = line.substr(0, colon == std::string::npos ? 0 : colon);
    if (strcasecmp(name.c_str(), "X-Sendfile") == 0) return false;
    if (strcasecmp(name.c_str(), "Content-Length") == 0) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      if (value != std::to_string(static_cast<long long>(size))) return false;
      head.erase(at, eol + 1 - at);
      continue;
    }
    at = eol + 1;
  }
  return true;
}

// SendBody through the web server: the header block gains "X-Sendfile: /proc/<pid>/fd/<n>"
// for a duplicate of `fd`. The server opens that link, which is the open file itself and not
// a name resolved again, while it reads the header block; the duplicate stays open until the
// server has closed the connection (see FinishAnswer).
bool HandBodyToServer(FILE* out, int fd, const struct stat& st) {
  if (!gHandoff || gAnswer == nullptr || out != gAnswer->stream) return false;
  Answer& a = *gAnswer;
  if (fflush(out) != 0 || a.headSent || !a.headDone || a.handedFd >= 0) return false;
  if (!DropMatchingLength(a.head, st.st_size)) return false;
  int held = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (held < 0) return false;
  size_t blank = a.head.size() >= 4 && a.head.compare(a.head.size() - 4, 4, "\r\n\r\n") == 0
                     ? 2 : 1;
  a.head.insert(a.head.size() - blank, "X-Sendfile: /proc/" + std::to_string(getpid()) +
                                           "/fd/" + std::to_string(held) +
                                           (blank == 2 ? "\r\n" : "\n"));
  a.handedFd = held;
  return SendHead(a);
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

void ServeRequest(FCGX_Request& request, Answer& answer, const std::vector<std::string>& base,
                  const std::function<void()>& serveOne) {
  SetRequestEnvironment(base, request.envp);
  answer = Answer();
  answer.request = &request;
  cookie_io_functions_t reader = {ReadRequest, nullptr, nullptr, nullptr};
  cookie_io_functions_t writer = {nullptr, WriteRequest, nullptr, nullptr};
  FILE* in = fopencookie(&request, "r", reader);
  FILE* out = fopencookie(&answer, "w", writer);
  if (in == nullptr || out == nullptr) {
    HARBOR_LOG("request worker: cannot open the request's streams: %m");
    if (in != nullptr) fclose(in);
    if (out != nullptr) fclose(out);
    FCGX_FPrintF(request.out, "Status: 500 Internal Server Error\r\n\r\n");
    return;
  }
  answer.stream = out;
  setvbuf(out, nullptr, _IOFBF, 64 * 1024);
  FILE* savedIn = stdin;
  FILE* savedOut = stdout;
  stdin = in;
  stdout = out;
  gAnswer = &answer;
  serveOne();
  fflush(out);
  if (!answer.headSent) SendHead(answer);
  gAnswer = nullptr;
  stdout = savedOut;
  stdin = savedIn;
  fclose(out);
  fclose(in);
  answer.stream = nullptr;
}

// Ends the request. A body handed to the web server must stay open until the server has read
// the header block and opened it: the server closes the connection only after that, so the
// duplicate is closed once the connection reads as closed. False when that was not seen in
// time: the worker must then end, taking the descriptor with it, rather than let the number
// name another file.
bool FinishAnswer(FCGX_Request& request, Answer& answer) {
  int watch = answer.handedFd >= 0 && request.ipcFd >= 0
                  ? fcntl(request.ipcFd, F_DUPFD_CLOEXEC, 3) : -1;
  FCGX_Finish_r(&request);
  if (answer.handedFd < 0) return true;
  bool closed = false;
  const time_t deadline = time(nullptr) + kHandoffWaitSeconds;
  while (watch >= 0 && !closed && time(nullptr) <= deadline) {
    struct pollfd p = {watch, POLLIN | POLLRDHUP, 0};
    int n = poll(&p, 1, 1000);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) continue;
    char trash[512];
    ssize_t got = read(watch, trash, sizeof(trash));
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) closed = true;
  }
  if (watch >= 0) close(watch);
  if (!closed) return false;
  close(answer.handedFd);
  answer.handedFd = -1;
  return true;
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
  gHandoff = options.handBodies;
  SetBodyHandoff(HandBodyToServer);
  Answer answer;
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
    ServeRequest(request, answer, base, serveOne);
    if (!FinishAnswer(request, answer)) {
      HARBOR_LOG("request worker %d ends: the web server did not take a handed body in time",
                 static_cast<int>(getpid()));
      return 0;
    }
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
  const char* hand = getenv("HARBOR_WEBAPI_HAND_BODIES");
  o.handBodies = hand != nullptr && strcmp(hand, "1") == 0;
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
