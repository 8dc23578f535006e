// Shares from the registry file, and the per-user home share.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/json.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "internal.h"
#include "vireo/file_stamp.h"
#include "vireo/fileshare.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace {

// The registry as last parsed: a process that looks shares up again and again (a resident
// request worker, the daemon) parses the file only when it was replaced or changed, and every
// lookup reads the same parsed copy.
struct ParsedRegistry {
  std::mutex lock;
  VIREO::FileStamp stamp;
  std::shared_ptr<const Json::Value> root;
};

ParsedRegistry& Parsed() {
  static auto* parsed = new ParsedRegistry();
  return *parsed;
}

// The registry's object; null when it cannot be read or is no JSON object.
std::shared_ptr<const Json::Value> LoadRegistry() {
  int fd = open(VIREO_SHARE_REGISTRY, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return nullptr;
  }
  ParsedRegistry& parsed = Parsed();
  std::lock_guard<std::mutex> hold(parsed.lock);
  if (parsed.root && parsed.stamp.Reusable(st)) {
    close(fd);
    return parsed.root;
  }
  std::string text;
  char buf[8192];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  parsed.root.reset();
  if (n < 0) return nullptr;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  auto root = std::make_shared<Json::Value>();
  std::string errs;
  if (!reader->parse(text.data(), text.data() + text.size(), root.get(), &errs) ||
      !root->isObject()) {
    return nullptr;
  }
  parsed.stamp = VIREO::FileStamp(st);
  parsed.root = root;
  return root;
}

// Share `name` of the parsed registry `root` into `*share`.
int ShareFrom(const Json::Value& root, const char* name, PVIREOSHARE* share) {
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

}  // namespace

extern "C" {

int VIREOShareGet(const char* name, PVIREOSHARE* share) {
  if (share != nullptr) *share = nullptr;
  if (name == nullptr || *name == '\0' || share == nullptr || strchr(name, '/') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::shared_ptr<const Json::Value> registry = LoadRegistry();
  if (!registry) return -1;
  return ShareFrom(*registry, name, share);
}

int VIREOShareGetByPath(const char* path, PVIREOSHARE* share) {
  if (share != nullptr) *share = nullptr;
  if (path == nullptr || path[0] != '/' || share == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::shared_ptr<const Json::Value> registry = LoadRegistry();
  if (!registry) return -1;
  const Json::Value& root = *registry;
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
  // The same parsed registry answers: reading the file again could meet another version.
  return ShareFrom(root, best.c_str(), share);
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
  std::shared_ptr<const Json::Value> registry = LoadRegistry();
  if (!registry) return 0;
  const Json::Value& root = *registry;
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
