// The docker stand-in's recorded containers.
//
// A container is a folder under `<root>/containers/<name>/`:
//   config.json  the record (id, image, environment, volumes, creation time), written once
//   home/        the container's /root, kept across its execs
//   tmp/         the container's /tmp, kept across its execs and never shared with another
//                container (office processes find each other through sockets there)
//   lock         held shared by every running exec, exclusively by a removal
//   started      present once the container was started: its main process (the image's
//                command, if it has one) is kept running from then on
//   main.lock    held exclusively by the keeper of the running main process
//   main.log     the main process's output since it last started
//
// Safe across processes: a record appears and disappears with one rename, so readers see a
// whole record or none, and a removal waits for (or, forced, ends) the execs that use it.
#ifndef HARBOR_TOOLS_DOCKER_CONTAINER_STORE_H_
#define HARBOR_TOOLS_DOCKER_CONTAINER_STORE_H_

#include <string>
#include <vector>

namespace harbor {
namespace docker {

struct Volume {
  std::string host;       // absolute, normalised
  std::string container;  // absolute, normalised, never "/"
  bool readOnly = false;
};

struct Container {
  std::string name;
  std::string id;       // 64 hexadecimal digits
  std::string image;    // as recorded by `create`, with its tag
  std::string created;  // UTC, "2026-12-08T17:21:33.123456789Z"
  std::vector<std::string> env;  // "KEY=VALUE", in the order given
  std::vector<Volume> volumes;
};

// Docker's rule for names: [a-zA-Z0-9][a-zA-Z0-9_.-]+ (so a name never leaves its folder).
bool IsValidName(const std::string& name);

// Holds a container in use for one exec: while it lives, the container cannot be removed
// except by force, which ends this process. Move-only.
class ExecLease {
 public:
  ExecLease() = default;
  explicit ExecLease(int fd) : _fd(fd) {}
  ExecLease(ExecLease&& other) noexcept : _fd(other._fd) { other._fd = -1; }
  ExecLease& operator=(ExecLease&& other) noexcept;
  ExecLease(const ExecLease&) = delete;
  ExecLease& operator=(const ExecLease&) = delete;
  ~ExecLease();

 private:
  int _fd = -1;  // the container's lock file, flock'ed shared, close-on-exec
};

class ContainerStore {
 public:
  enum class Status { kOk, kNotFound, kConflict, kBusy, kError };

  // `root` is the store's folder (created on demand), e.g. /usr/vireo/var/docker.
  explicit ContainerStore(std::string root);

  // Records `c` (its id and creation time are filled in here) with an empty home and /tmp.
  // kConflict when the name is taken (`*message` then names the holder), kError otherwise.
  Status Create(Container* c, std::string* message);

  // Reads a record. kNotFound when there is none.
  Status Load(const std::string& name, Container* c) const;

  // Reads a record and leases it for an exec (see ExecLease). kNotFound when there is none or
  // it is being removed.
  Status Acquire(const std::string& name, Container* c, ExecLease* lease) const;

  // Removes a container with its home and /tmp, after ending its main process. Without
  // `force` kBusy while an exec runs in it; with `force` those execs are killed first.
  Status Remove(const std::string& name, bool force, std::string* message);

  // Every recorded container, newest first.
  std::vector<Container> List() const;

  // Where the container's persistent /root and /tmp live on the host.
  std::string HomeDir(const std::string& name) const;
  std::string TmpDir(const std::string& name) const;

  // Marks the container started (see `started` above). False when it cannot.
  bool MarkStarted(const std::string& name) const;
  bool IsStarted(const std::string& name) const;
  std::string MainLockPath(const std::string& name) const;
  std::string MainLogPath(const std::string& name) const;

 private:
  std::string Dir(const std::string& name) const;
  std::string ContainersDir() const { return _root + "/containers"; }

  const std::string _root;
};

}  // namespace docker
}  // namespace harbor

#endif  // HARBOR_TOOLS_DOCKER_CONTAINER_STORE_H_
