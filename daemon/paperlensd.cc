// paperlensd: the indexing daemon. Waits with inotify for files closed after writing in the
// queue directory and lets the worker thread (worker.h) turn the queue into thumbnails and
// pre-converted PDFs. Started by the Index API and the package's start step; SIGTERM or SIGINT
// stop it after the file in hand.
//
// SIGINT and SIGTERM are blocked except while the main thread waits (pselect), so a signal
// can never slip in between the check of the quit flag and the wait; the worker thread
// inherits the blocked mask and never sees them.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/select.h>
#include <unistd.h>

#include "utils.h"
#include "utils_log.h"
#include "vireo/libc.h"
#include "vireo/types.h"
#include "worker.h"

using namespace VIREO::PAPERLENS;

namespace {

class Inotify {
 public:
  Inotify() = default;
  ~Inotify() {
    if (_watchFd != -1) inotify_rm_watch(_fd, _watchFd);
    if (_fd != -1) close(_fd);
  }
  Inotify(const Inotify&) = delete;
  Inotify& operator=(const Inotify&) = delete;

  bool Init() {
    if (-1 == VLIBCExec("/bin/touch", _szNotifyPath, NULL, NULL, NULL)) {
      return PL_FAILED("-1 == VLIBCExec(\"/bin/touch\", _szNotifyPath, NULL, NULL, NULL)");
    }
    if (-1 == (_fd = inotify_init1(_flags))) {
      return PL_FAILED("-1 == (_fd = inotify_init1(_flags))");
    }
    if (-1 == (_watchFd = inotify_add_watch(_fd, _szNotifyPath, _mask))) {
      return PL_FAILED("-1 == (_watchFd = inotify_add_watch(_fd, _szNotifyPath, _mask))");
    }
    return true;
  }

  // 0: an event of interest; 1: select failed; 2: interrupted by a signal; 3: read failed.
  // `unblocked` is the signal mask in force while waiting.
  int Wait(const sigset_t* unblocked) {
    for (;;) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(_fd, &readable);
      int r = pselect(_fd + 1, &readable, nullptr, nullptr, nullptr, unblocked);
      if (r <= 0) {
        if (errno == EINTR) return 2;
        PL_ERR("select failed!");
        return 1;
      }
      ssize_t n = read(_fd, _buf, sizeof(_buf));
      if (n < 0) return 3;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
        const struct inotify_event* ev = reinterpret_cast<const struct inotify_event*>(_buf + at);
        if (ev->mask & _mask) return 0;
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
      }
    }
  }

 private:
  const char* _szNotifyPath = SZF_INDEX_QUEUE_DIR;
  uint32_t _mask = IN_CLOSE_WRITE;
  int _flags = 0;
  int _fd = -1;
  int _watchFd = -1;
  alignas(struct inotify_event) char _buf[16384] = {};
};

class Daemon {
 public:
  bool Init();
  volatile sig_atomic_t _quit = 0;  // set by the signal handler
};

Worker gWorker;
Daemon gDaemon;

void OnSignal(int sig) {
  if (sig == SIGINT || sig == SIGTERM) {
    gWorker._stop = true;  // lock-free atomic: safe in a handler
    gDaemon._quit = 1;
  }
}

bool CloseStdIO() {
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) return false;
  dup2(fd, 0);
  dup2(fd, 1);
  dup2(fd, 2);
  if (fd > 2) close(fd);
  return true;
}

// Held for the daemon's life. Two starts close together both pass the pid-file test (the pid
// file is written only after detaching); the lock lets only one of them go on.
const char kInstanceLock[] = "/var/run/paperlensd.lock";

bool BecomeDaemon() {
  if (daemon(0, 0) < 0) return false;
  int lockFd = -1;
  if (!VLIBCFileLockByFile(kInstanceLock, 1, &lockFd)) {
    if (VLIBCErrGet() == ERR_OPEN_FAILED) return false;
    exit(0);  // another instance runs
  }
  return VLIBCProcPidFileCreate(SZF_PIDPATH) >= 0;
}

bool Daemon::Init() {
  if (!VLIBCFileExist(SZF_ENABLE_INDEX)) return PL_FAILED("!VLIBCFileExist(SZF_ENABLE_INDEX)");
  pid_t pid = VLIBCReadPidFile(SZF_PIDPATH);
  if (pid > 0 && VLIBCProcAlive(pid) == 1) exit(0);
  if (!CloseStdIO()) return PL_FAILED("!CloseStdIO()");
  if (!BecomeDaemon()) return PL_FAILED("!BecomeDaemon()");
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  return true;
}

}  // namespace

int main() {
  sigset_t stopSignals, unblocked;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, &unblocked);
  sigdelset(&unblocked, SIGINT);
  sigdelset(&unblocked, SIGTERM);

  Inotify inotify;
  if (!inotify.Init()) {
    PL_FAILED("!inotify.Init()");
    return 1;
  }
  if (!gDaemon.Init()) {
    PL_FAILED("!gDaemon.Init()");
    return 1;
  }
  // The first pass also resumes tasks an earlier run left queued, and a working file it took.
  bool pending = true;
  for (;;) {
    if (pending) gWorker.Start();
    if (gDaemon._quit) break;
    int r = inotify.Wait(&unblocked);
    if (r == 1 || r == 3) break;
    if (r == 2 && gDaemon._quit) break;
    if (gWorker._running) {
      pending = false;
      continue;  // the running worker sees the new records itself
    }
    pending = VLIBCFileExist(SZF_INDEX_QUEUE);
  }
  gWorker.Join();
  if (!VLIBCFileExist(SZF_ENABLE_INDEX)) gWorker.FinishRemovals();
  unlink(SZF_PIDPATH);
  return 0;
}
