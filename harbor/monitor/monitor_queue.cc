// Registrations of the file-change monitor, one JSON file per (name, type).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "vireo/monitor.h"

namespace VIREO {
namespace VIREOTIFYD {

const char* const MonitorQueue::kRegistrationDir = "/usr/vireo/etc/vireotifyd";

namespace {

bool Why(std::string* why, const char* text) {
  if (why != nullptr) *why = text;
  return false;
}

bool IsAbsolute(const Json::Value& v) {
  return v.isString() && !v.asString().empty() && v.asString()[0] == '/' &&
         v.asString().find('\0') == std::string::npos;
}

bool MakeDir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) return true;
  syslog(LOG_ERR, "%s:%d (%d) cannot make %s: %m", __FILE__, __LINE__, getpid(), dir.c_str());
  return false;
}

bool ReadJson(const std::string& path, Json::Value& value) {
  std::ifstream in(path);
  if (!in) return false;
  Json::CharReaderBuilder builder;
  std::string errors;
  return Json::parseFromStream(builder, in, &value, &errors);
}

}  // namespace

bool MonitorQueue::IsValid(std::string* why) const {
  const Json::Value& r = _registration;
  if (!r.isObject()) return Why(why, "not an object");
  if (!IsAbsolute(r["queue"])) return Why(why, "\"queue\" is no absolute path");
  if (!r["config"].isArray()) return Why(why, "\"config\" is no array");
  for (const Json::Value& entry : r["config"]) {
    if (!entry.isObject()) return Why(why, "a \"config\" entry is not an object");
    if (!entry["mask"].isIntegral()) return Why(why, "a \"mask\" is not an integer");
    if (!IsAbsolute(entry["path"])) return Why(why, "a \"path\" is no absolute path");
    const Json::Value& ignore = entry["ignore"];
    if (!ignore.isNull() && !ignore.isArray()) return Why(why, "an \"ignore\" is not an array");
    for (const Json::Value& name : ignore) {
      if (!name.isString()) return Why(why, "an \"ignore\" name is not a string");
    }
  }
  return true;
}

std::string MonitorQueue::FileOf(const std::string& name, int type, const std::string& dir) {
  return dir + "/" + name + "." + std::to_string(type) + ".json";
}

bool MonitorQueue::Upsert(const MonitorQueue& registration, const std::string& name, int type) {
  std::string why;
  if (name.empty() || name.find('/') != std::string::npos || name[0] == '.') {
    syslog(LOG_ERR, "%s:%d (%d) bad registration name", __FILE__, __LINE__, getpid());
    return false;
  }
  if (!registration.IsValid(&why)) {
    syslog(LOG_ERR, "%s:%d (%d) bad registration %s: %s", __FILE__, __LINE__, getpid(),
           name.c_str(), why.c_str());
    return false;
  }
  if (!MakeDir(kRegistrationDir)) return false;
  const std::string path = FileOf(name, type);
  const std::string tmp = std::string(kRegistrationDir) + "/." + name + "." +
                          std::to_string(getpid()) + ".tmp";
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  const std::string text = Json::writeString(writer, registration.Get()) + "\n";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = fd >= 0 && fsync(fd) == 0 && ok;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  syslog(LOG_ERR, "%s:%d (%d) cannot store %s: %m", __FILE__, __LINE__, getpid(), path.c_str());
  unlink(tmp.c_str());
  return false;
}

bool MonitorQueue::Delete(const std::string& queuePath, const std::string& name, int type) {
  if (name.empty() || name.find('/') != std::string::npos || name[0] == '.') return false;
  const std::string path = FileOf(name, type);
  Json::Value stored;
  if (!ReadJson(path, stored)) {
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;  // nothing registered
  } else if (stored.isObject() && stored["queue"].isString() &&
             stored["queue"].asString() != queuePath) {
    syslog(LOG_ERR, "%s:%d (%d) registration %s belongs to another queue", __FILE__, __LINE__,
           getpid(), name.c_str());
    return false;
  }
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  syslog(LOG_ERR, "%s:%d (%d) cannot remove %s: %m", __FILE__, __LINE__, getpid(), path.c_str());
  return false;
}

std::vector<MonitorQueue> MonitorQueue::List(const std::string& dir) {
  std::vector<MonitorQueue> out;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return out;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d.get())) {
    std::string n = e->d_name;
    if (n[0] != '.' && n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) {
      names.push_back(n);
    }
  }
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    Json::Value value;
    std::string why;
    if (!ReadJson(dir + "/" + n, value)) {
      syslog(LOG_ERR, "%s:%d (%d) unreadable registration %s", __FILE__, __LINE__, getpid(),
             n.c_str());
      continue;
    }
    MonitorQueue q(value);
    if (!q.IsValid(&why)) {
      syslog(LOG_ERR, "%s:%d (%d) bad registration %s: %s", __FILE__, __LINE__, getpid(),
             n.c_str(), why.c_str());
      continue;
    }
    out.push_back(q);
  }
  return out;
}

}  // namespace VIREOTIFYD
}  // namespace VIREO
