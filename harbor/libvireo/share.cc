// Shares from the registry file, and the per-user home share.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <json/json.h>

#include <fstream>
#include <string>

#include "internal.h"
#include "vireo/fileshare.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace {

bool LoadRegistry(Json::Value& root) {
  std::ifstream in(VIREO_SHARE_REGISTRY);
  if (!in) return false;
  Json::CharReaderBuilder builder;
  std::string errs;
  if (!Json::parseFromStream(builder, in, &root, &errs)) return false;
  return root.isObject();
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
