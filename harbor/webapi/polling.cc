// Background tasks in detached processes, their state in files.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <exception>

#include "host.h"
#include "vireo/libc.h"

namespace VIREO {

const char* const APIPolling::kDefaultTaskDir = "/run/vireo/polling";

namespace {

using webapi::ReadJsonFile;
using webapi::WriteJsonFile;

bool IsTaskId(const std::string& id) {
  if (id.empty() || id.size() > 200 || id[0] == '.') return false;
  for (char c : id) {
    if (!(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
  }
  return true;
}

std::string CleanPrefix(const std::string& prefix) {
  std::string r;
  for (char c : prefix) {
    if (isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.') r += c;
  }
  while (!r.empty() && r[0] == '.') r.erase(0, 1);
  if (r.size() > 64) r.resize(64);
  return r.empty() ? "task" : r;
}

// Whether some process still holds the task's lock (the task runs).
bool IsRunning(const std::string& lockPath) {
  int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool running = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return running;
}

// The part of a task's state a caller sees.
Json::Value PublicState(const Json::Value& state) {
  Json::Value r(Json::objectValue);
  r["task_id"] = state["task_id"];
  r["finish"] = state["finish"].asBool();
  if (state["finish"].asBool()) {
    r["success"] = state["success"].asBool();
    if (state.isMember("data")) r["data"] = state["data"];
    if (state.isMember("error")) r["error"] = state["error"];
  }
  return r;
}

void CloseOtherFds(int keepA, int keepB) {
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = 3; fd < max; ++fd) {
    if (fd != keepA && fd != keepB) close(fd);
  }
}

}  // namespace

APIPolling::APIPolling(APIRequest* request) : APIPolling(request, kDefaultTaskDir) {}

APIPolling::APIPolling(APIRequest* request, const std::string& taskDir)
    : _request(request), _dir(taskDir) {}

bool APIPolling::Fail(int code, const std::string& text) {
  _errorCode = code;
  _error = text;
  return false;
}

bool APIPolling::MayAccess(const Json::Value& state) const {
  const std::string group = state["group"].asString();
  if (group == "everyone") return true;
  const std::string& caller = _request->GetLoginUserName();
  if (caller.empty()) return false;
  if (caller == state["user"].asString()) return true;
  return !group.empty() && webapi::IsMemberOf(caller, group);
}

bool APIPolling::Start(APIResponse* response, TaskFunc fn, void* data) {
  _error.clear();
  _errorCode = 0;
  std::string random;
  if (fn == nullptr || !webapi::EnsureDir(_dir) || !webapi::RandomHex(16, random)) {
    Fail(WEBAPI_ERR_UNKNOWN, "cannot prepare the task");
    HARBOR_LOG("cannot prepare a task in %s: %m", _dir.c_str());
    response->SetError(_errorCode, _error);
    return false;
  }
  const std::string id = CleanPrefix(_prefix) + "_" + random;
  const std::string statePath = _dir + "/" + id + ".json";
  const std::string lockPath = _dir + "/" + id + ".lock";

  Json::Value state(Json::objectValue);
  state["task_id"] = id;
  state["finish"] = false;
  state["user"] = _request->GetLoginUserName();
  state["group"] = _group;
  state["remove"] = _remove;
  state["created"] = static_cast<Json::Int64>(time(nullptr));

  // The lock is taken here and handed down with the descriptor, so the task counts as running
  // from the moment its id exists until its process is gone.
  int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  int ready[2] = {-1, -1};
  if (lockFd < 0 || flock(lockFd, LOCK_EX) != 0 || !WriteJsonFile(statePath, state) ||
      pipe2(ready, O_CLOEXEC) != 0) {
    HARBOR_LOG("cannot record task %s: %m", id.c_str());
    if (lockFd >= 0) close(lockFd);
    unlink(statePath.c_str());
    unlink(lockPath.c_str());
    Fail(WEBAPI_ERR_UNKNOWN, "cannot record the task");
    response->SetError(_errorCode, _error);
    return false;
  }

  // Unwritten output would otherwise be written twice, once by each process.
  fflush(nullptr);
  pid_t pid = VLIBCProcForkChildNoWait();
  if (pid == 0) {
    // The task: detached from the request's pipes, so the web server does not wait for it.
    close(ready[0]);
    setpgid(0, 0);
    signal(SIGTERM, SIG_DFL);  // the request program keeps SIGTERM away; Stop relies on it
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      if (null > 2) close(null);
    }
    closelog();  // its socket is among the descriptors closed next; the next line reopens it
    CloseOtherFds(lockFd, ready[1]);
    state["pid"] = static_cast<int>(getpid());
    WriteJsonFile(statePath, state);
    char one = 1;
    ssize_t ignored = write(ready[1], &one, 1);
    (void)ignored;
    close(ready[1]);

    FILE* sink = fopen("/dev/null", "w");
    APIResponse taskResponse(sink != nullptr ? sink : stdout);
    try {
      fn(_request, &taskResponse, data);
    } catch (const std::exception& e) {
      HARBOR_LOG("task %s failed: %s", id.c_str(), e.what());
      taskResponse.SetError(WEBAPI_ERR_UNKNOWN, "task failed");
    } catch (...) {
      HARBOR_LOG("task %s failed", id.c_str());
      taskResponse.SetError(WEBAPI_ERR_UNKNOWN, "task failed");
    }
    // Stop may have discarded the task meanwhile; do not bring it back.
    Json::Value current;
    if (ReadJsonFile(statePath, current)) {
      state["finish"] = true;
      state["success"] = taskResponse.GetError() == 0;
      if (taskResponse.GetError() == 0) {
        state["data"] = taskResponse.GetData();
      } else {
        state["error"]["code"] = taskResponse.GetError();
        state["error"]["errors"] = taskResponse.GetErrorData();
      }
      state["ended"] = static_cast<Json::Int64>(time(nullptr));
      WriteJsonFile(statePath, state);
    }
    fflush(nullptr);
    _exit(0);
  }

  close(ready[1]);
  close(lockFd);
  if (pid < 0) {
    close(ready[0]);
    HARBOR_LOG("cannot start task %s: %m", id.c_str());
    unlink(statePath.c_str());
    unlink(lockPath.c_str());
    Fail(WEBAPI_ERR_UNKNOWN, "cannot start the task");
    response->SetError(_errorCode, _error);
    return false;
  }
  // Wait until the task recorded its pid, so Stop can always find it. A task that dies first
  // closes the pipe, and Status then reports it ended.
  char one = 0;
  ssize_t n;
  do {
    n = read(ready[0], &one, 1);
  } while (n < 0 && errno == EINTR);
  close(ready[0]);

  Json::Value answer(Json::objectValue);
  answer["task_id"] = id;
  response->SetSuccess(answer);
  return true;
}

bool APIPolling::Load(const std::string& taskId, Json::Value& state) {
  _error.clear();
  _errorCode = 0;
  if (!IsTaskId(taskId)) return Fail(WEBAPI_ERR_TASK_UNKNOWN, "no such task");
  if (!ReadJsonFile(_dir + "/" + taskId + ".json", state) || !state.isObject()) {
    return Fail(WEBAPI_ERR_TASK_UNKNOWN, "no such task");
  }
  if (!MayAccess(state)) return Fail(WEBAPI_ERR_PERMISSION, "permission denied");
  return true;
}

bool APIPolling::Status(const std::string& taskId, Json::Value& status) {
  Json::Value state;
  if (!Load(taskId, state)) return false;
  const std::string statePath = _dir + "/" + taskId + ".json";
  const std::string lockPath = _dir + "/" + taskId + ".lock";
  if (!state["finish"].asBool() && !IsRunning(lockPath)) {
    // The process is gone; it may have finished just now, so look again before giving up.
    if (ReadJsonFile(statePath, state) && !state["finish"].asBool()) {
      state["finish"] = true;
      state["success"] = false;
      state["error"]["code"] = WEBAPI_ERR_UNKNOWN;
      state["error"]["errors"] = "the task ended before finishing";
      WriteJsonFile(statePath, state);
    }
  }
  status = PublicState(state);
  if (status["finish"].asBool() && state["remove"].asBool()) {
    unlink(statePath.c_str());
    unlink(lockPath.c_str());
  }
  return true;
}

bool APIPolling::Stop(const std::string& taskId, bool remove) {
  Json::Value state;
  if (!Load(taskId, state)) return false;
  const std::string statePath = _dir + "/" + taskId + ".json";
  const std::string lockPath = _dir + "/" + taskId + ".lock";

  pid_t pid = state["pid"].asInt();
  // Only while the lock is held is the pid surely still the task's own.
  if (pid > 1 && IsRunning(lockPath)) {
    kill(-pid, SIGTERM);
    for (int i = 0; i < 200 && IsRunning(lockPath); ++i) usleep(10000);
    if (IsRunning(lockPath)) {
      kill(-pid, SIGKILL);
      for (int i = 0; i < 200 && IsRunning(lockPath); ++i) usleep(10000);
    }
  }
  if (remove) {
    unlink(statePath.c_str());
    unlink(lockPath.c_str());
    return true;
  }
  if (ReadJsonFile(statePath, state) && !state["finish"].asBool()) {
    state["finish"] = true;
    state["success"] = false;
    state["error"]["code"] = WEBAPI_ERR_UNKNOWN;
    state["error"]["errors"] = "the task was stopped";
    WriteJsonFile(statePath, state);
  }
  return true;
}

}  // namespace VIREO
