// Shares from the registry file, and the per-user home share.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <json/json.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "internal.h"
#include "vireo/fileshare.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace {

// The registry as last parsed, with the identity of the file it came from: a process that
// looks shares up again and again (a resident request worker, the daemon) parses the file only
// when it was replaced or changed.
struct ParsedRegistry {
  std::mutex lock;
  bool valid = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0};
  Json::Value root;
};

// Whether a file last changed at `mtime` had settled when read at `now`: file times move in
// coarse steps, so a change within the same step as an earlier one may leave them as they
// were; only a file read well after its last change is sure to show a later one.
bool SettledBefore(const struct timespec& mtime, const struct timespec& now) {
  return now.tv_sec - mtime.tv_sec >= 2;
}

ParsedRegistry& Parsed() {
  static auto* parsed = new ParsedRegistry();
  return *parsed;
}

bool LoadRegistry(Json::Value& root) {
  int fd = open(VIREO_SHARE_REGISTRY, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return false;
  }
  ParsedRegistry& parsed = Parsed();
  std::lock_guard<std::mutex> hold(parsed.lock);
  if (parsed.valid && parsed.dev == st.st_dev && parsed.ino == st.st_ino &&
      parsed.size == st.st_size && parsed.mtime.tv_sec == st.st_mtim.tv_sec &&
      parsed.mtime.tv_nsec == st.st_mtim.tv_nsec) {
    close(fd);
    root = parsed.root;
    return true;
  }
  std::string text;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  if (n < 0) return false;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errs;
  if (!reader->parse(text.data(), text.data() + text.size(), &root, &errs) || !root.isObject()) {
    parsed.valid = false;
    return false;
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  parsed.valid = SettledBefore(st.st_mtim, now);
  parsed.dev = st.st_dev;
  parsed.ino = st.st_ino;
  parsed.size = st.st_size;
  parsed.mtime = st.st_mtim;
  parsed.root = root;
  return true;
}

}  // namespace

extern "C" {

int VIREOShareGet(const char* name, PVIREOSHARE* share) {
  if (share != nullptr) *share = nullptr;
  if (name == nullptr || *name == '\0' || share == nullptr || strchr(name, '/') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  Json::Value root;
  if (!LoadRegistry(root)) return -1;
  const Json::Value& entry = root[name];
  if (!entry.isObject() || !entry["path"].isString() || entry["path"].asString().empty()) {
    errno = ENOENT;
    return -1;
  }
  auto* s = static_cast<PVIREOSHARE>(calloc(1, sizeof(VIREOSHARE)));
  if (s == nullptr) return -1;
  s->szName = harbor::DupString(name);
  s->szPath = harbor::DupString(entry["path"].asCString());
  s->szComment = harbor::DupString(entry.get("comment", "").asCString());
  s->fStatus = entry.get("status", 0).asUInt();
  s->iDownloadDisabled = entry.get("download_disabled", 0).asInt();
  *share = s;
  return 0;
}

int VIREOShareGetByPath(const char* path, PVIREOSHARE* share) {
  if (share != nullptr) *share = nullptr;
  if (path == nullptr || path[0] != '/' || share == nullptr) {
    errno = EINVAL;
    return -1;
  }
  Json::Value root;
  if (!LoadRegistry(root)) return -1;
  const std::string p(path);
  std::string best;
  for (const std::string& name : root.getMemberNames()) {
    const Json::Value& entry = root[name];
    if (!entry.isObject() || !entry["path"].isString()) continue;
    std::string folder = entry["path"].asString();
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.size() < 2 || folder[0] != '/') continue;
    bool holds = p.compare(0, folder.size(), folder) == 0 &&
                 (p.size() == folder.size() || p[folder.size()] == '/');
    if (holds && (best.empty() || root[best]["path"].asString().size() < folder.size())) {
      best = name;
    }
  }
  if (best.empty()) {
    errno = ENOENT;
    return -1;
  }
  return VIREOShareGet(best.c_str(), share);
}

void VIREOShareFree(PVIREOSHARE share) {
  if (share == nullptr) return;
  free(share->szName);
  free(share->szPath);
  free(share->szComment);
  free(share);
}

int VIREOShareIsShareRecycle(const char* path) {
  if (path == nullptr) return 0;
  Json::Value root;
  if (!LoadRegistry(root)) return 0;
  std::string p(path);
  for (const auto& name : root.getMemberNames()) {
    std::string recycle = root[name].get("path", "").asString() + "/#recycle";
    if (recycle.size() > 9 && p.compare(0, recycle.size(), recycle) == 0 &&
        (p.size() == recycle.size() || p[recycle.size()] == '/')) {
      return 1;
    }
  }
  return 0;
}

}  // extern "C"

bool DozedoFileShare::IsDirUserHome(const std::string& shareName, const char* user) {
  if (shareName != VIREO_HOME_SHARE_NAME) return false;
  if (user == nullptr) return true;
  std::string home;
  return WfmUserHomeFullPathGet(home, user) == 0;
}

int DozedoFileShare::WfmUserHomeFullPathGet(std::string& home, const std::string& user) {
  if (user.empty()) return -1;
  PVIREOUSER record = nullptr;
  if (VIREOUserGet(user.c_str(), &record) != 0 || record == nullptr) return -1;
  std::string dir = record->szHome;
  VIREOUserFree(record);
  // Only homes on a volume count: system accounts have no home share.
  if (dir.compare(0, 7, "/volume") != 0 || !VLIBCFileCheckDir(dir.c_str())) return -1;
  home = dir;
  return 0;
}
