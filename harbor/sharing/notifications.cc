#include "notifications.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host.h"
#include "vireo/sdk.h"

namespace VIREO {
namespace notification {

namespace {

// The canonical account name ("" when there is no such account): it names the file, so it
// must never come unchecked from a caller.
std::string Canonical(const std::string& user) {
  PVIREOUSER record = nullptr;
  if (user.empty() || VIREOUserGet(user.c_str(), &record) != 0 || record == nullptr) return "";
  std::string name = record->szName;
  VIREOUserFree(record);
  if (name.find('/') != std::string::npos || name == "." || name == "..") return "";
  return name;
}

class Lock {
 public:
  Lock(const std::string& path, int op) : _fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (_fd >= 0 && flock(_fd, op) != 0) {
      close(_fd);
      _fd = -1;
    }
  }
  ~Lock() {
    if (_fd >= 0) close(_fd);
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  bool Ok() const { return _fd >= 0; }

 private:
  int _fd;
};

}  // namespace

bool Append(const std::string& user, const Json::Value& item, const std::string& dir) {
  const std::string name = Canonical(user);
  if (name.empty() || !item.isObject() || !webapi::EnsureDir(dir)) return false;
  const std::string path = dir + "/" + name + ".json";
  Lock lock(path + ".lock", LOCK_EX);
  if (!lock.Ok()) return false;
  Json::Value all;
  if (!webapi::ReadJsonFile(path, all) || !all.isArray()) all = Json::Value(Json::arrayValue);
  all.append(item);
  Json::Value kept(Json::arrayValue);
  const unsigned first = all.size() > kMaxKept ? all.size() - kMaxKept : 0;
  for (unsigned i = first; i < all.size(); ++i) kept.append(all[i]);
  return webapi::WriteJsonFile(path, kept);
}

Json::Value List(const std::string& user, const std::string& dir) {
  const std::string name = Canonical(user);
  Json::Value all(Json::arrayValue);
  if (name.empty()) return all;
  const std::string path = dir + "/" + name + ".json";
  Lock lock(path + ".lock", LOCK_SH);
  Json::Value read;
  if (lock.Ok() && webapi::ReadJsonFile(path, read) && read.isArray()) all = read;
  return all;
}

}  // namespace notification
}  // namespace VIREO
