#include "docker_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace harbor {
namespace docker {
namespace testing {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDocker = "/usr/local/bin/docker";

// A temporary file that is gone with its owner.
class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/docker_test.XXXXXX";
    _fd = mkstemp(name);
    if (_fd >= 0) unlink(name);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (_fd >= 0) close(_fd);
  }
  int fd() const { return _fd; }
  std::string Contents() const {
    std::string s;
    char buf[65536];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(_fd, buf, sizeof(buf), at)) > 0) {
      s.append(buf, static_cast<size_t>(n));
      at += n;
    }
    return s;
  }

 private:
  int _fd;
};

int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

std::vector<char*> Argv(std::vector<std::string>& args) {
  std::vector<char*> v;
  for (auto& a : args) v.push_back(a.data());
  v.push_back(nullptr);
  return v;
}

}  // namespace

RunResult RunCommand(const std::vector<std::string>& argv, const std::string& input) {
  RunResult r;
  TempFile in, out, err;
  if (in.fd() < 0 || out.fd() < 0 || err.fd() < 0) return r;
  if (!input.empty() && pwrite(in.fd(), input.data(), input.size(), 0) < 0) return r;
  std::vector<std::string> args = argv;
  std::vector<char*> cargv = Argv(args);
  pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    lseek(in.fd(), 0, SEEK_SET);
    dup2(in.fd(), 0);
    dup2(out.fd(), 1);
    dup2(err.fd(), 2);
    execvp(cargv[0], cargv.data());
    _exit(127);
  }
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return r;
  }
  r.status = StatusOf(raw);
  r.out = out.Contents();
  r.err = err.Contents();
  return r;
}

RunResult Docker(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv = {kDocker};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv, input);
}

pid_t SpawnDocker(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kDocker};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv = Argv(argv);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execv(kDocker, cargv.data());
    _exit(127);
  }
  return pid;
}

int WaitFor(pid_t pid, int ms) {
  for (int waited = 0; waited <= ms; waited += 10) {
    int raw = 0;
    pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done == pid) return StatusOf(raw);
    if (done < 0) return -1;
    usleep(10 * 1000);
  }
  return -1;
}

void CreateConverterContainer(const std::string& name) {
  std::error_code ec;
  fs::remove_all(kHostStaging, ec);
  fs::create_directories(kHostSource);
  fs::create_directories(kHostTarget);
  const auto bare = [](std::string dir) { return dir.substr(0, dir.size() - 1); };
  RunResult r = Docker({"create", "--name", name, "-v",
                        bare(kHostSource) + ":" + bare(kSource) + ":ro", "-v",
                        bare(kHostTarget) + ":" + bare(kTarget), kImage});
  ASSERT_EQ(0, r.status) << r.err;
}

std::vector<pid_t> ProcessesRunning(const std::string& cmdline) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string args = ReadFile("/proc/" + name + "/cmdline");
    if (!args.empty() && args.back() == '\0') args.pop_back();
    for (char& ch : args) {
      if (ch == '\0') ch = ' ';
    }
    if (args == cmdline) found.push_back(std::stoi(name));
  }
  return found;
}

}  // namespace testing
}  // namespace docker
}  // namespace harbor
