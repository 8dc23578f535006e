#include "sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace harbor {
namespace docker {

namespace fs = std::filesystem;

namespace {

constexpr const char* kBwrap = "/usr/bin/bwrap";
constexpr const char* kDefaultPath = "/usr/sbin:/usr/bin:/sbin:/bin";
// The command's descriptor on which the sandbox reports that it is set up. Anything the
// command runs gets no such descriptor: the shim closes it before it starts the command.
constexpr int kReadyFd = 3;
// Runs inside the sandbox: says "set up" and becomes the command, so that a missing or
// unrunnable command gets the shell's 127 or 126, docker's statuses for the same failures.
constexpr const char* kShim = "printf x >&3 && exec \"$@\" 3>&-";

// Docker's default capabilities, without MKNOD: here no device controller would stop a node
// made on the container's /dev from reaching the host's disks. The rest lets root in the
// container do what root in a real one does (read and write files whatever their owner), and
// nothing that could undo the read-only mounts.
const char* const kCapabilities[] = {
    "CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_FOWNER", "CAP_FSETID", "CAP_KILL",
    "CAP_SETGID", "CAP_SETUID", "CAP_SETPCAP", "CAP_SETFCAP", "CAP_NET_BIND_SERVICE",
    "CAP_NET_RAW", "CAP_SYS_CHROOT", "CAP_AUDIT_WRITE"};

// Host folders that belong to the appliance, not to the image: the platform (with every
// container's home and /tmp) and the package's state. Hidden behind empty read-only folders.
const char* const kHidden[] = {"/usr/vireo", "/var/packages"};

bool ReadLines(const std::string& path, std::vector<std::string>* lines, bool required,
               std::string* message) {
  std::ifstream in(path);
  if (!in) {
    if (required) *message = "cannot read " + path;
    return !required;
  }
  std::string line;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    size_t end = line.find_last_not_of(" \t\r");
    lines->push_back(line.substr(start, end - start + 1));
  }
  return true;
}

std::string KeyOf(const std::string& assignment) {
  return assignment.substr(0, assignment.find('='));
}

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The `--bind`/`--symlink` arguments that give the sandbox the host's top-level system
// entries (merged /usr makes most of them symlinks).
void AddTopLevel(std::vector<std::string>* a) {
  for (const char* name : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
    struct stat st;
    if (lstat(name, &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(name, target, sizeof(target) - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      a->insert(a->end(), {"--symlink", target, name});
    } else if (S_ISDIR(st.st_mode)) {
      a->insert(a->end(), {"--ro-bind", name, name});
    }
  }
}

std::vector<std::string> BwrapArgs(const Container& c, const Image& image,
                                   const std::string& homeDir, const std::string& tmpDir,
                                   const ExecRequest& req) {
  std::vector<std::string> a = {kBwrap};
  // The image's system is the host's Debian, read-only. Binding / itself would drag in the
  // appliance's mounts (volumes, package state): only the system folders come in.
  a.insert(a.end(), {"--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc",
                     "--ro-bind", "/var", "/var", "--ro-bind-try", "/opt", "/opt"});
  AddTopLevel(&a);
  a.insert(a.end(), {"--dev", "/dev", "--proc", "/proc"});
  // The host's /usr/local holds unrelated programs (among them this one and a `convert` that
  // is not the image's); the image's /usr/local is its own and nearly empty.
  a.insert(a.end(), {"--tmpfs", "/usr/local"});
  std::vector<std::string> readOnlyAfter = {"/usr/local"};
  for (const char* hidden : kHidden) {
    if (!IsDir(hidden)) continue;
    a.insert(a.end(), {"--tmpfs", hidden});
    readOnlyAfter.push_back(hidden);
  }
  for (const auto& d : image.diversions) a.insert(a.end(), {"--ro-bind", d.first, d.second});
  for (const auto& f : image.files) {
    a.insert(a.end(), {"--ro-bind", image.dir + "/rootfs" + f, f});
  }
  // Parents before children, so /Paperlens is in place before /Paperlens/@tmp/target.
  std::vector<Volume> volumes = c.volumes;
  std::sort(volumes.begin(), volumes.end(),
            [](const Volume& x, const Volume& y) { return x.container < y.container; });
  for (const auto& v : volumes) {
    a.insert(a.end(), {v.readOnly ? "--ro-bind" : "--bind", v.host, v.container});
  }
  a.insert(a.end(), {"--bind", homeDir, "/root", "--bind", tmpDir, "/tmp"});
  for (const auto& dir : readOnlyAfter) a.insert(a.end(), {"--remount-ro", dir});
  a.insert(a.end(), {"--remount-ro", "/"});

  a.insert(a.end(), {"--unshare-net", "--unshare-ipc", "--unshare-uts", "--unshare-pid",
                     "--unshare-cgroup-try", "--hostname", c.id.substr(0, 12),
                     "--die-with-parent", "--new-session", "--cap-drop", "ALL"});
  for (const char* cap : kCapabilities) a.insert(a.end(), {"--cap-add", cap});
  a.push_back("--clearenv");
  for (const auto& e : ExecEnvironment(image, c, req.env)) {
    size_t eq = e.find('=');
    a.insert(a.end(), {"--setenv", e.substr(0, eq), e.substr(eq + 1)});
  }
  a.insert(a.end(), {"--chdir", req.workdir, "--", "/bin/sh", "-c", kShim, "sh"});
  a.insert(a.end(), req.command.begin(), req.command.end());
  return a;
}

}  // namespace

bool IsValidImageName(const std::string& name) {
  static const std::regex kName("[a-z0-9]+([._-][a-z0-9]+)*(/[a-z0-9]+([._-][a-z0-9]+)*)*");
  return std::regex_match(name, kName);
}

bool LoadImage(const std::string& imagesDir, const std::string& ref, Image* image,
               std::string* message) {
  std::string name = ref;
  const std::string latest = ":latest";
  if (name.size() > latest.size() &&
      name.compare(name.size() - latest.size(), latest.size(), latest) == 0) {
    name.resize(name.size() - latest.size());
  }
  if (!IsValidImageName(name) || !IsDir(imagesDir + "/" + name)) {
    *message = "No such image: " + ref;
    return false;
  }
  image->name = name;
  image->dir = imagesDir + "/" + name;
  image->env.clear();
  image->diversions.clear();
  image->files.clear();
  if (!ReadLines(image->dir + "/environment", &image->env, /*required=*/false, message)) {
    return false;
  }
  for (const auto& e : image->env) {
    if (e.find('=') == std::string::npos || e[0] == '=') {
      *message = "image " + name + ": bad environment line: " + e;
      return false;
    }
  }
  std::vector<std::string> lines;
  if (!ReadLines(image->dir + "/diversions", &lines, /*required=*/false, message)) return false;
  for (const auto& line : lines) {
    std::istringstream words(line);
    std::string from, to, extra;
    words >> from >> to;
    if (from.empty() || to.empty() || (words >> extra) || from[0] != '/' ||
        to.rfind("/usr/local/", 0) != 0) {
      *message = "image " + name + ": bad diversion: " + line;
      return false;
    }
    image->diversions.emplace_back(from, to);
  }
  const fs::path rootfs = image->dir + "/rootfs";
  std::error_code ec;
  for (fs::recursive_directory_iterator it(rootfs, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_regular_file()) {
      image->files.push_back("/" + it->path().lexically_relative(rootfs).string());
    }
  }
  std::sort(image->files.begin(), image->files.end());
  image->command.clear();
  if (!ReadLines(image->dir + "/command", &image->command, /*required=*/false, message)) {
    return false;
  }
  return true;
}

std::vector<std::string> ExecEnvironment(const Image& image, const Container& c,
                                         const std::vector<std::string>& execEnv) {
  std::vector<std::string> out = {"HOME=/root", std::string("PATH=") + kDefaultPath};
  std::map<std::string, size_t> where = {{"HOME", 0}, {"PATH", 1}};
  for (const auto* layer : {&image.env, &c.env, &execEnv}) {
    for (const auto& e : *layer) {
      auto found = where.find(KeyOf(e));
      if (found != where.end()) {
        out[found->second] = e;
      } else {
        where[KeyOf(e)] = out.size();
        out.push_back(e);
      }
    }
  }
  return out;
}

int RunInSandbox(const Container& c, const Image& image, const std::string& homeDir,
                 const std::string& tmpDir, const ExecRequest& req) {
  // Docker makes a missing volume folder on start; here every exec is a start.
  for (const auto& v : c.volumes) {
    std::error_code ec;
    fs::create_directories(v.host, ec);
  }
  std::vector<std::string> args = BwrapArgs(c, image, homeDir, tmpDir, req);
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);

  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    fprintf(stderr, "docker: cannot start the sandbox: %s\n", strerror(errno));
    return kExitSandboxFailed;
  }
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "docker: cannot start the sandbox: %s\n", strerror(errno));
    close(ready[0]);
    close(ready[1]);
    return kExitSandboxFailed;
  }
  if (pid == 0) {
    // dup2 clears close-on-exec on the copy; a pipe end already at kReadyFd needs it cleared.
    if (ready[1] == kReadyFd) {
      fcntl(kReadyFd, F_SETFD, 0);
    } else if (dup2(ready[1], kReadyFd) < 0) {
      _exit(kExitSandboxFailed);
    }
    execv(kBwrap, argv.data());
    fprintf(stderr, "docker: cannot run %s: %s\n", kBwrap, strerror(errno));
    _exit(kExitSandboxFailed);
  }
  close(ready[1]);
  char mark = 0;
  ssize_t n;
  do {
    n = read(ready[0], &mark, 1);
  } while (n < 0 && errno == EINTR);
  close(ready[0]);
  const bool entered = n == 1;

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      fprintf(stderr, "docker: lost the sandbox: %s\n", strerror(errno));
      return kExitSandboxFailed;
    }
  }
  if (!entered) return kExitSandboxFailed;  // the sandbox said why on standard error
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return kExitSandboxFailed;
}

void StartMain(const Container& c, const Image& image, const std::string& homeDir,
               const std::string& tmpDir, const std::string& mainLock,
               const std::string& logPath) {
  if (image.command.empty()) return;
  int lock = open(mainLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
  if (lock < 0) return;
  // Held from here on by the main process's keeper alone (close-on-exec keeps it from the
  // sandbox): a removal kills whoever holds it, and the sandbox dies with its keeper.
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    close(lock);
    return;  // running already
  }
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    if (fork() != 0) _exit(0);  // the keeper is nobody's child: it outlives this exec
    prctl(PR_SET_PDEATHSIG, 0);
    // Of what the exec holds (its lease on the container among them), only the lock stays.
    if (dup2(lock, 100) < 0) _exit(kExitSandboxFailed);
    fcntl(100, F_SETFD, FD_CLOEXEC);
    close_range(3, 99, 0);
    close_range(101, ~0U, 0);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (null < 0 || log < 0 || dup2(null, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) {
      _exit(kExitSandboxFailed);
    }
    ExecRequest req;
    req.command = image.command;
    _exit(RunInSandbox(c, image, homeDir, tmpDir, req));
  }
  close(lock);
  if (pid > 0) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace docker
}  // namespace harbor
