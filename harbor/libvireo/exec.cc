// Process execution: fork and exec with a pipe that reports a failed exec back to the parent,
// so that "cannot run" and "ran and failed" are told apart.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

#include "vireo/libc.h"

namespace {

constexpr int kMaxArgs = 1024;

struct SpawnOptions {
  int flags = 0;       // VLIBC_EXEC_* bits
  int stdinFd = -1;    // descriptor to put on fd 0 in the child, -1 to keep
  int stdoutFd = -1;   // likewise for fd 1
  bool stdoutToStderr = false;
  bool newSession = false;
};

void ChildRedirect(const SpawnOptions& opt) {
  int devnull = -1;
  auto null_fd = [&]() {
    if (devnull < 0) devnull = open("/dev/null", O_RDWR);
    return devnull;
  };
  if (opt.stdinFd >= 0) {
    dup2(opt.stdinFd, 0);
  } else if (opt.flags & VLIBC_EXEC_NULL_STDIN) {
    dup2(null_fd(), 0);
  }
  if (opt.stdoutFd >= 0) {
    dup2(opt.stdoutFd, 1);
  } else if (opt.stdoutToStderr) {
    dup2(2, 1);
  } else if (opt.flags & VLIBC_EXEC_NULL_STDOUT) {
    dup2(null_fd(), 1);
  }
  if (opt.flags & VLIBC_EXEC_NULL_STDERR) dup2(null_fd(), 2);
}

void ChildResetSignals() {
  sigset_t all;
  sigemptyset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    signal(sig, SIG_DFL);
  }
}

// Starts `prog`. Returns the child's pid, or -1 when it could not be started (fork failed or
// exec failed in the child), with errno set.
pid_t Spawn(const char* prog, char* const argv[], const SpawnOptions& opt) {
  if (prog == nullptr || argv == nullptr || argv[0] == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    int saved = errno;
    close(report[0]);
    close(report[1]);
    errno = saved;
    return -1;
  }
  if (pid == 0) {
    close(report[0]);
    if (opt.newSession) setsid();
    ChildRedirect(opt);
    if (opt.flags & VLIBC_EXEC_RESET_SIGNALS) ChildResetSignals();
    if (opt.flags & VLIBC_EXEC_CLOSE_FDS) {
      // Keep the report pipe: it closes itself on exec.
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != report[1]) close(fd);
      }
    }
    execv(prog, argv);
    int err = errno;
    ssize_t ignored = write(report[1], &err, sizeof(err));
    (void)ignored;
    _exit(127);
  }
  close(report[1]);
  int childErr = 0;
  ssize_t n;
  do {
    n = read(report[0], &childErr, sizeof(childErr));
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof(childErr))) {
    // exec failed: reap the child and report that it could not run.
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    errno = childErr;
    return -1;
  }
  return pid;
}

// Waits for the child; its exit status, 128 + signal when killed, -1 when it cannot be waited.
int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Collects the NULL-terminated variadic arguments after `first` into argv (argv[0] = prog).
bool CollectArgs(const char* prog, va_list ap, std::vector<char*>& argv) {
  argv.clear();
  argv.push_back(const_cast<char*>(prog));
  for (;;) {
    const char* a = va_arg(ap, const char*);
    if (a == nullptr) break;
    if (argv.size() >= kMaxArgs) return false;
    argv.push_back(const_cast<char*>(a));
  }
  argv.push_back(nullptr);
  return true;
}

std::mutex gPopenMutex;
std::map<FILE*, pid_t>& PopenChildren() {
  static auto* children = new std::map<FILE*, pid_t>();
  return *children;
}

}  // namespace

extern "C" {

int VLIBCExec(const char* prog, const char* a1, const char* a2, const char* a3, const char* a4) {
  std::vector<char*> argv{const_cast<char*>(prog)};
  for (const char* a : {a1, a2, a3, a4}) {
    if (a == nullptr) break;
    argv.push_back(const_cast<char*>(a));
  }
  argv.push_back(nullptr);
  SpawnOptions opt;
  opt.flags = VLIBC_EXEC_NULL_STDIN;
  opt.stdoutToStderr = true;
  pid_t pid = Spawn(prog, argv.data(), opt);
  if (pid < 0) return -1;
  return Wait(pid);
}

int VLIBCExecl(const char* prog, int options, ...) {
  std::vector<char*> argv;
  va_list ap;
  va_start(ap, options);
  bool ok = CollectArgs(prog, ap, argv);
  va_end(ap);
  if (!ok) {
    errno = E2BIG;
    return -1;
  }
  SpawnOptions opt;
  opt.flags = options;
  pid_t pid = Spawn(prog, argv.data(), opt);
  if (pid < 0) return -1;
  if (!(options & VLIBC_EXEC_WAIT)) return 0;
  return Wait(pid);
}

int VLIBCExecv(const char* prog, char* const argv[], int wait) {
  SpawnOptions opt;
  opt.flags = VLIBC_EXEC_NULL_STDIN;
  opt.stdoutToStderr = true;
  pid_t pid = Spawn(prog, argv, opt);
  if (pid < 0) return -1;
  if (!wait) return pid;
  return Wait(pid);
}

FILE* VLIBCPopen(const char* prog, const char* mode, ...) {
  if (mode == nullptr || (strcmp(mode, "r") != 0 && strcmp(mode, "w") != 0)) {
    errno = EINVAL;
    return nullptr;
  }
  std::vector<char*> argv;
  va_list ap;
  va_start(ap, mode);
  bool ok = CollectArgs(prog, ap, argv);
  va_end(ap);
  if (!ok) {
    errno = E2BIG;
    return nullptr;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  bool reading = mode[0] == 'r';
  SpawnOptions opt;
  if (reading) {
    opt.stdoutFd = fds[1];
    opt.flags = VLIBC_EXEC_NULL_STDIN;
  } else {
    opt.stdinFd = fds[0];
  }
  pid_t pid = Spawn(prog, argv.data(), opt);
  int mine = reading ? fds[0] : fds[1];
  int theirs = reading ? fds[1] : fds[0];
  close(theirs);
  if (pid < 0) {
    close(mine);
    return nullptr;
  }
  FILE* stream = fdopen(mine, mode);
  if (stream == nullptr) {
    close(mine);
    Wait(pid);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(gPopenMutex);
  PopenChildren()[stream] = pid;
  return stream;
}

int VLIBCPclose(FILE* stream) {
  pid_t pid;
  {
    std::lock_guard<std::mutex> lock(gPopenMutex);
    auto it = PopenChildren().find(stream);
    if (it == PopenChildren().end()) {
      errno = EINVAL;
      return -1;
    }
    pid = it->second;
    PopenChildren().erase(it);
  }
  fclose(stream);
  return Wait(pid);
}

pid_t VLIBCProcForkChildNoWait(void) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  pid_t middle = fork();
  if (middle < 0) {
    close(report[0]);
    close(report[1]);
    return -1;
  }
  if (middle == 0) {
    close(report[0]);
    setsid();
    pid_t child = fork();
    if (child != 0) {
      // The middle process only reports the detached child's pid and leaves.
      ssize_t ignored = write(report[1], &child, sizeof(child));
      (void)ignored;
      _exit(child > 0 ? 0 : 1);
    }
    close(report[1]);
    return 0;
  }
  close(report[1]);
  pid_t child = -1;
  ssize_t n;
  do {
    n = read(report[0], &child, sizeof(child));
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  Wait(middle);
  if (n != static_cast<ssize_t>(sizeof(child))) return -1;
  return child;
}

}  // extern "C"
