// vireo-syslogd: the appliance's syslog receiver. Binds a datagram socket (default /dev/log),
// and appends each message, one line each, to a log file (default /var/log/messages):
//
//   2026-12-08T17:21:33 user.err paperlens: lib/path/path.cc:42 (123) bad share path: x
//
// Runs until SIGTERM or SIGINT. Writes its pid to the file named by --pidfile when given.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

const char* const kFacilities[] = {"kern",   "user",   "mail",   "daemon", "auth",   "syslog",
                                   "lpr",    "news",   "uucp",   "cron",   "authpriv", "ftp",
                                   "ntp",    "audit",  "alert",  "clock",  "local0", "local1",
                                   "local2", "local3", "local4", "local5", "local6", "local7"};
const char* const kPriorities[] = {"emerg", "alert", "crit", "err",
                                   "warning", "notice", "info", "debug"};

// "<PRI>Mmm dd hh:mm:ss rest" -> "facility.priority rest"
std::string Format(const char* msg, size_t len) {
  std::string in(msg, len);
  while (!in.empty() && (in.back() == '\n' || in.back() == '\0')) in.pop_back();
  int pri = 13;  // user.notice, as for a message without a priority
  if (!in.empty() && in[0] == '<') {
    size_t close = in.find('>');
    if (close != std::string::npos && close < 5) {
      pri = atoi(in.c_str() + 1);
      in = in.substr(close + 1);
    }
  }
  // Drop the sender's timestamp ("Dec  8 17:21:33 "); the receiver stamps its own.
  if (in.size() > 16 && in[3] == ' ' && in[6] == ' ' && in[9] == ':' && in[12] == ':' &&
      in[15] == ' ') {
    in = in.substr(16);
  }
  int facility = pri >> 3;
  int priority = pri & 7;
  std::string label = facility < 24 ? kFacilities[facility] : "unknown";
  label += ".";
  label += kPriorities[priority];
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &tm);
  return std::string(stamp) + " " + label + " " + in + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  const char* socketPath = "/dev/log";
  const char* logPath = "/var/log/messages";
  const char* pidPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--socket" && i + 1 < argc) {
      socketPath = argv[++i];
    } else if (a == "--log" && i + 1 < argc) {
      logPath = argv[++i];
    } else if (a == "--pidfile" && i + 1 < argc) {
      pidPath = argv[++i];
    } else {
      fprintf(stderr, "usage: %s [--socket PATH] [--log FILE] [--pidfile FILE]\n", argv[0]);
      return 2;
    }
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    perror("socket");
    return 1;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  if (strlen(socketPath) >= sizeof(addr.sun_path)) {
    fprintf(stderr, "socket path too long\n");
    return 1;
  }
  strcpy(addr.sun_path, socketPath);
  unlink(socketPath);
  // Bind under a private name and rename into place, so writers never see a half-ready socket.
  std::string tmp = std::string(socketPath) + ".new";
  struct sockaddr_un tmpAddr = addr;
  if (tmp.size() >= sizeof(tmpAddr.sun_path)) tmp = socketPath;
  strcpy(tmpAddr.sun_path, tmp.c_str());
  unlink(tmp.c_str());
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&tmpAddr), sizeof(tmpAddr)) != 0) {
    perror("bind");
    return 1;
  }
  chmod(tmp.c_str(), 0666);
  FILE* log = fopen(logPath, "ae");
  if (log == nullptr) {
    perror(logPath);
    return 1;
  }
  if (tmp != socketPath && rename(tmp.c_str(), socketPath) != 0) {
    perror("rename");
    return 1;
  }
  if (pidPath != nullptr) {
    FILE* pf = fopen(pidPath, "we");
    if (pf != nullptr) {
      fprintf(pf, "%d\n", getpid());
      fclose(pf);
    }
  }
  char buf[65536];
  while (!gStop) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("recv");
      break;
    }
    std::string line = Format(buf, static_cast<size_t>(n));
    fputs(line.c_str(), log);
    fflush(log);
  }
  fclose(log);
  unlink(socketPath);
  return 0;
}
