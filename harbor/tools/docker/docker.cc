// docker: the appliance's container engine stand-in. Containers are sandboxes (bubblewrap) over
// the host's own Debian system plus the files of an image; see sandbox.h and container_store.h.
//
//   docker exec [-e KEY=VALUE]... [-w DIR] [-i] CONTAINER COMMAND [ARG...]
//   docker create --name NAME [-e KEY=VALUE]... [-v HOST:CONTAINER[:ro|:rw]]... [--init]
//                 IMAGE [COMMAND...]
//   docker start CONTAINER...         (containers are always ready: checks they exist)
//   docker inspect CONTAINER...
//   docker rm [-f] CONTAINER...
//   docker ps [-a] [-q] [--no-trunc] [--format TEMPLATE]
//
// `ps --format` knows {{.ID}}, {{.Names}}, {{.Image}}, {{.Status}} and {{.CreatedAt}}. Every
// recorded container counts as running and takes execs. Its main process is the image's
// command (the COMMAND of `create` is accepted and ignored): `start` starts it, and from then
// on every exec starts it again if it has ended (a restart policy of "always").
//
// An exec ends with the process that started it (docker's client would not): the pool must be
// able to count a container free again once the job's owner is gone.
//
// Exit statuses as docker's: an exec gives its command's status, 125 when the container cannot
// be entered (or is unknown, or the command line is wrong), 126 when the command cannot be run
// and 127 when it is not found.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

#include "container_store.h"
#include "sandbox.h"

namespace harbor {
namespace docker {
namespace {

constexpr const char* kStoreRoot = "/usr/vireo/var/docker";
constexpr const char* kImagesDir = "/usr/vireo/lib/docker/images";
constexpr int kExitUsage = 125;

int Usage(const std::string& message) {
  fprintf(stderr, "docker: %s\nSee 'docker --help'.\n", message.c_str());
  return kExitUsage;
}

// The argument list of one subcommand, read option by option.
class Args {
 public:
  Args(int argc, char** argv, int first) : _args(argv + first, argv + argc) {}

  bool Done() const { return _i >= _args.size(); }
  const std::string& Peek() const { return _args[_i]; }
  bool AtOption() const { return !Done() && Peek().size() > 1 && Peek()[0] == '-'; }
  std::vector<std::string> Rest() {
    std::vector<std::string> rest(_args.begin() + _i, _args.end());
    _i = _args.size();
    return rest;
  }

  // True when the current argument is flag `shortName` (may be empty) or `longName`; moves on.
  bool Flag(const char* shortName, const char* longName) {
    if (Done()) return false;
    const std::string& a = Peek();
    if ((*shortName && a == shortName) || a == longName) {
      ++_i;
      return true;
    }
    return false;
  }

  // True when the current argument is option `shortName`/`longName` with a value, in any of
  // the forms "-e V", "-eV", "--env V", "--env=V"; stores the value and moves on. An option
  // without its value sets `*missing`.
  bool Option(const char* shortName, const char* longName, std::string* value, bool* missing) {
    if (Done()) return false;
    const std::string& a = Peek();
    const std::string longEq = std::string(longName) + "=";
    if (a == longName || (*shortName && a == shortName)) {
      if (_i + 1 >= _args.size()) {
        *missing = true;
        return false;
      }
      *value = _args[_i + 1];
      _i += 2;
      return true;
    }
    if (a.rfind(longEq, 0) == 0) {
      *value = a.substr(longEq.size());
    } else if (*shortName && a.size() > 2 && a.rfind(shortName, 0) == 0) {
      *value = a.substr(2);
      if (!value->empty() && (*value)[0] == '=') value->erase(0, 1);
    } else {
      return false;
    }
    ++_i;
    return true;
  }

 private:
  std::vector<std::string> _args;
  size_t _i = 0;
};

// "-e KEY" passes the caller's KEY on, as docker does; a KEY the caller lacks is left out.
bool AddEnv(const std::string& arg, std::vector<std::string>* env, std::string* message) {
  size_t eq = arg.find('=');
  if (arg.empty() || eq == 0) {
    *message = "invalid environment variable: " + arg;
    return false;
  }
  if (eq != std::string::npos) {
    env->push_back(arg);
  } else if (const char* v = getenv(arg.c_str())) {
    env->push_back(arg + "=" + v);
  }
  return true;
}

bool ParseVolume(const std::string& arg, Volume* v, std::string* message) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t colon; (colon = arg.find(':', start)) != std::string::npos; start = colon + 1) {
    parts.push_back(arg.substr(start, colon - start));
  }
  parts.push_back(arg.substr(start));
  if (parts.size() == 3 && (parts[2] == "ro" || parts[2] == "rw")) {
    v->readOnly = parts[2] == "ro";
  } else if (parts.size() != 2) {
    *message = "invalid volume: '" + arg + "'";
    return false;
  }
  namespace fs = std::filesystem;
  for (size_t i = 0; i < 2; ++i) {
    const fs::path p(parts[i]);
    if (!p.is_absolute()) {
      *message = "invalid volume: '" + arg +
                 "' (only absolute host folders are supported)";
      return false;
    }
    for (const auto& part : p) {
      if (part == "..") {
        *message = "invalid volume: '" + arg + "'";
        return false;
      }
    }
  }
  v->host = fs::path(parts[0]).lexically_normal().string();
  v->container = fs::path(parts[1]).lexically_normal().string();
  for (std::string* path : {&v->host, &v->container}) {
    while (path->size() > 1 && path->back() == '/') path->pop_back();
  }
  if (v->container == "/") {
    *message = "invalid volume: '" + arg + "': destination can't be '/'";
    return false;
  }
  return true;
}

std::string StripSlash(const std::string& name) {
  return !name.empty() && name[0] == '/' ? name.substr(1) : name;
}

void StartMain(const ContainerStore& store, const Container& c, const Image& image) {
  StartMain(c, image, store.HomeDir(c.name), store.TmpDir(c.name), store.MainLockPath(c.name),
            store.MainLogPath(c.name));
}

int CmdExec(Args args) {
  ExecRequest req;
  std::string value, message;
  bool missing = false;
  while (args.AtOption()) {
    if (args.Option("-e", "--env", &value, &missing)) {
      if (!AddEnv(value, &req.env, &message)) return Usage(message);
    } else if (args.Option("-w", "--workdir", &value, &missing)) {
      if (value.empty() || value[0] != '/') return Usage("the working directory must be absolute");
      req.workdir = value;
    } else if (args.Flag("-i", "--interactive")) {
      // Standard input always reaches the command.
    } else if (missing) {
      return Usage("flag needs an argument: " + args.Peek());
    } else {
      return Usage("unknown flag: " + args.Peek());
    }
  }
  std::vector<std::string> rest = args.Rest();
  if (rest.size() < 2) return Usage("\"docker exec\" requires at least 2 arguments.");
  const std::string name = StripSlash(rest[0]);
  req.command.assign(rest.begin() + 1, rest.end());

  // The converter belongs to whoever asked for it: a caller that dies (a request process
  // killed, a daemon stopped) must not leave its job running in a container that the pool
  // hands to the next caller. Docker's own client would live on; this one goes with it.
  const pid_t caller = getppid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != caller) return kExitSandboxFailed;

  ContainerStore store(kStoreRoot);
  Container c;
  ExecLease lease;
  switch (store.Acquire(name, &c, &lease)) {
    case ContainerStore::Status::kOk:
      break;
    case ContainerStore::Status::kNotFound:
      fprintf(stderr, "Error: No such container: %s\n", name.c_str());
      return kExitSandboxFailed;
    default:
      fprintf(stderr, "Error: cannot read container %s\n", name.c_str());
      return kExitSandboxFailed;
  }
  Image image;
  if (!LoadImage(kImagesDir, c.image, &image, &message)) {
    fprintf(stderr, "Error response from daemon: %s\n", message.c_str());
    return kExitSandboxFailed;
  }
  if (store.IsStarted(name)) StartMain(store, c, image);
  return RunInSandbox(c, image, store.HomeDir(name), store.TmpDir(name), req);
}

int CmdCreate(Args args) {
  Container c;
  std::string value, message;
  bool missing = false;
  std::set<std::string> destinations;
  while (args.AtOption()) {
    if (args.Option("", "--name", &value, &missing)) {
      c.name = StripSlash(value);
    } else if (args.Option("-e", "--env", &value, &missing)) {
      if (!AddEnv(value, &c.env, &message)) return Usage(message);
    } else if (args.Option("-v", "--volume", &value, &missing)) {
      Volume v;
      if (!ParseVolume(value, &v, &message)) return Usage(message);
      if (!destinations.insert(v.container).second) {
        return Usage("Duplicate mount point: " + v.container);
      }
      c.volumes.push_back(v);
    } else if (args.Flag("", "--init")) {
      // Every exec has its own process reaper already.
    } else if (missing) {
      return Usage("flag needs an argument: " + args.Peek());
    } else {
      return Usage("unknown flag: " + args.Peek());
    }
  }
  if (args.Done()) return Usage("\"docker create\" requires at least 1 argument.");
  c.image = args.Rest().front();
  if (c.name.empty()) return Usage("a container needs a --name here");
  if (!IsValidName(c.name)) {
    return Usage("Invalid container name (" + c.name +
                 "), only [a-zA-Z0-9][a-zA-Z0-9_.-] are allowed");
  }
  Image image;
  if (!LoadImage(kImagesDir, c.image, &image, &message)) {
    fprintf(stderr, "Error response from daemon: %s\n", message.c_str());
    return kExitUsage;
  }
  for (const auto& v : c.volumes) {
    std::error_code ec;
    std::filesystem::create_directories(v.host, ec);
    if (ec) {
      fprintf(stderr, "Error response from daemon: cannot create %s: %s\n", v.host.c_str(),
              ec.message().c_str());
      return kExitUsage;
    }
  }
  ContainerStore store(kStoreRoot);
  switch (store.Create(&c, &message)) {
    case ContainerStore::Status::kOk:
      printf("%s\n", c.id.c_str());
      return 0;
    case ContainerStore::Status::kConflict:
      fprintf(stderr,
              "Error response from daemon: Conflict. The container name \"/%s\" is already in "
              "use by container \"%s\". You have to remove (or rename) that container to be "
              "able to reuse that name.\n",
              c.name.c_str(), message.c_str());
      return kExitUsage;
    default:
      fprintf(stderr, "Error response from daemon: %s\n", message.c_str());
      return kExitUsage;
  }
}

int CmdStart(Args args) {
  if (args.AtOption()) return Usage("unknown flag: " + args.Peek());
  std::vector<std::string> names = args.Rest();
  if (names.empty()) return Usage("\"docker start\" requires at least 1 argument.");
  ContainerStore store(kStoreRoot);
  int rc = 0;
  for (const auto& raw : names) {
    const std::string name = StripSlash(raw);
    Container c;
    ExecLease lease;
    Image image;
    std::string message;
    if (store.Acquire(name, &c, &lease) == ContainerStore::Status::kOk &&
        LoadImage(kImagesDir, c.image, &image, &message) && store.MarkStarted(name)) {
      StartMain(store, c, image);
      printf("%s\n", raw.c_str());
    } else {
      fprintf(stderr, "Error response from daemon: No such container: %s\n", raw.c_str());
      rc = 1;
    }
  }
  return rc;
}

int CmdInspect(Args args) {
  if (args.AtOption()) return Usage("unknown flag: " + args.Peek());
  std::vector<std::string> names = args.Rest();
  if (names.empty()) return Usage("\"docker inspect\" requires at least 1 argument.");
  ContainerStore store(kStoreRoot);
  Json::Value out(Json::arrayValue);
  int rc = 0;
  for (const auto& raw : names) {
    const std::string name = StripSlash(raw);
    Container c;
    if (store.Load(name, &c) != ContainerStore::Status::kOk) {
      fprintf(stderr, "Error: No such object: %s\n", raw.c_str());
      rc = 1;
      continue;
    }
    Image image;
    std::string message;
    Json::Value v(Json::objectValue);
    v["Id"] = c.id;
    v["Created"] = c.created;
    v["Name"] = "/" + c.name;
    v["State"]["Status"] = "running";
    v["State"]["Running"] = true;
    v["Config"]["Hostname"] = c.id.substr(0, 12);
    v["Config"]["Image"] = c.image;
    v["Config"]["Env"] = Json::Value(Json::arrayValue);
    if (LoadImage(kImagesDir, c.image, &image, &message)) {
      for (const auto& e : ExecEnvironment(image, c, {})) v["Config"]["Env"].append(e);
    }
    v["Mounts"] = Json::Value(Json::arrayValue);
    for (const auto& vol : c.volumes) {
      Json::Value m(Json::objectValue);
      m["Type"] = "bind";
      m["Source"] = vol.host;
      m["Destination"] = vol.container;
      m["Mode"] = vol.readOnly ? "ro" : "";
      m["RW"] = !vol.readOnly;
      v["Mounts"].append(m);
    }
    out.append(v);
  }
  Json::StreamWriterBuilder wb;
  wb["indentation"] = "    ";
  std::cout << Json::writeString(wb, out) << std::endl;
  return rc;
}

int CmdRm(Args args) {
  bool force = false;
  while (args.AtOption()) {
    if (args.Flag("-f", "--force")) {
      force = true;
    } else {
      return Usage("unknown flag: " + args.Peek());
    }
  }
  std::vector<std::string> names = args.Rest();
  if (names.empty()) return Usage("\"docker rm\" requires at least 1 argument.");
  ContainerStore store(kStoreRoot);
  int rc = 0;
  for (const auto& raw : names) {
    std::string message;
    switch (store.Remove(StripSlash(raw), force, &message)) {
      case ContainerStore::Status::kOk:
        printf("%s\n", raw.c_str());
        break;
      case ContainerStore::Status::kNotFound:
        // Forced removal of what is not there is no error, as with docker.
        if (!force) {
          fprintf(stderr, "Error response from daemon: No such container: %s\n", raw.c_str());
          rc = 1;
        }
        break;
      case ContainerStore::Status::kBusy:
        fprintf(stderr,
                "Error response from daemon: cannot remove container \"/%s\": container is "
                "running: stop the container before removing or force remove\n",
                StripSlash(raw).c_str());
        rc = 1;
        break;
      default:
        fprintf(stderr, "Error response from daemon: %s\n", message.c_str());
        rc = 1;
        break;
    }
  }
  return rc;
}

std::string Expand(std::string tmpl, const Container& c, bool noTrunc) {
  const std::pair<const char*, std::string> fields[] = {
      {"{{.ID}}", noTrunc ? c.id : c.id.substr(0, 12)},
      {"{{.Names}}", c.name},
      {"{{.Image}}", c.image},
      {"{{.Status}}", "Up"},
      {"{{.CreatedAt}}", c.created},
      {"\\t", "\t"}};
  for (const auto& f : fields) {
    const std::string key = f.first;
    for (size_t at = 0; (at = tmpl.find(key, at)) != std::string::npos; at += f.second.size()) {
      tmpl.replace(at, key.size(), f.second);
    }
  }
  return tmpl;
}

int CmdPs(Args args) {
  bool quiet = false, noTrunc = false;
  std::string format, value;
  bool missing = false;
  while (args.AtOption()) {
    if (args.Flag("-a", "--all")) {
      // Every recorded container is ready to run commands: there is nothing else to show.
    } else if (args.Flag("-q", "--quiet")) {
      quiet = true;
    } else if (args.Flag("", "--no-trunc")) {
      noTrunc = true;
    } else if (args.Option("", "--format", &value, &missing)) {
      format = value;
    } else if (missing) {
      return Usage("flag needs an argument: " + args.Peek());
    } else {
      return Usage("unknown flag: " + args.Peek());
    }
  }
  if (!args.Done()) return Usage("\"docker ps\" accepts no arguments.");
  if (quiet) format = "{{.ID}}";
  const std::vector<Container> all = ContainerStore(kStoreRoot).List();
  if (format.empty()) {
    printf("%-14s %-24s %-22s %-8s %s\n", "CONTAINER ID", "IMAGE", "CREATED", "STATUS", "NAMES");
    for (const auto& c : all) {
      // To the second: the nanoseconds are there to order containers, not to be read.
      printf("%-14s %-24s %-22s %-8s %s\n", Expand("{{.ID}}", c, noTrunc).c_str(),
             c.image.c_str(), (c.created.substr(0, 19) + "Z").c_str(), "Up", c.name.c_str());
    }
    return 0;
  }
  for (const auto& c : all) printf("%s\n", Expand(format, c, noTrunc).c_str());
  return 0;
}

}  // namespace
}  // namespace docker
}  // namespace harbor

int main(int argc, char** argv) {
  using namespace harbor::docker;
  // Descriptors the caller left open are not the container's business.
  close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  if (argc < 2) return Usage("a command is needed");
  const std::string cmd = argv[1];
  Args args(argc, argv, 2);
  if (cmd == "exec") return CmdExec(args);
  if (cmd == "create") return CmdCreate(args);
  if (cmd == "start") return CmdStart(args);
  if (cmd == "inspect") return CmdInspect(args);
  if (cmd == "rm") return CmdRm(args);
  if (cmd == "ps") return CmdPs(args);
  return Usage("'" + cmd + "' is not a docker command.");
}
