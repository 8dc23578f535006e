// The transfer log, the settings object and the string bundle.
#include "vireo/log.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace {

std::string Stamp() {
  char buf[32];
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

extern "C" int VIREOLogHARBORFMXferLog(const char* ip, const char* user, const char* type,
                                       int64_t size, const char* fileName, int flags) {
  if (ip == nullptr || user == nullptr || type == nullptr || fileName == nullptr) {
    errno = EINVAL;
    return -1;
  }
  Json::Value entry(Json::objectValue);
  entry["time"] = Stamp();
  entry["ip"] = ip;
  entry["user"] = user;
  entry["type"] = type;
  entry["size"] = static_cast<Json::Int64>(size);
  entry["file"] = fileName;
  entry["flags"] = flags;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  std::string line = Json::writeString(builder, entry) + "\n";

  std::string path = VIREO_XFERLOG_PATH;
  std::string dir = path.substr(0, path.rfind('/'));
  if (VIREOFSMkdirP(dir.c_str(), nullptr, TRUE, UID_ERR, GID_ERR, 0700) != ERR_SUCCESS) return -1;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  // One write of one line under an exclusive lock: concurrent writers never interleave.
  flock(fd, LOCK_EX);
  ssize_t n = write(fd, line.data(), line.size());
  int saved = errno;
  flock(fd, LOCK_UN);
  close(fd);
  if (n != static_cast<ssize_t>(line.size())) {
    errno = n < 0 ? saved : EIO;
    return -1;
  }
  return 0;
}

VireoConf::VireoConf() : _path(VIREO_SETTINGS_PATH) {}

VireoConf::VireoConf(const std::string& path) : _path(path) {}

std::string VireoConf::Info(const std::string& key, const std::string& defaultValue) const {
  char buf[4096];
  if (VLIBCFileGetKeyValue(_path.c_str(), key.c_str(), buf, sizeof(buf)) < 0) return defaultValue;
  return buf;
}

StringBundle::StringBundle(int module, const std::string& section) {
  std::string language = VireoConf().Info("language", "enu");
  if (language.empty() || language.find('/') != std::string::npos) language = "enu";
  std::ifstream in("/usr/vireo/share/strings/" + language + ".json");
  Json::Value all;
  Json::CharReaderBuilder builder;
  std::string errs;
  if (in && Json::parseFromStream(builder, in, &all, &errs) && all.isObject()) {
    const Json::Value& m = all[std::to_string(module)];
    if (m.isObject() && m[section].isObject()) _texts = m[section];
  }
}

std::string StringBundle::Text(const std::string& key, const std::string& defaultValue) const {
  const Json::Value& v = _texts[key];
  return v.isString() ? v.asString() : defaultValue;
}
