// VIREO.Filehall.List (version 1), the file manager's listing API:
//   "list_share"  the shares the login user can read (the home share among them)
//   "list"        the entries of one folder, "folder_path" a share path such as /docs/plans,
//                 that the login user can read: {"files": [{"name", "path", "is_dir", "size"}],
//                 "total": N}, folders first, then by name
//
// Permissions are the kernel's: the folder is opened and each entry tested with the user's
// credentials taken on (uid, primary group and group list), so mode bits and POSIX ACLs count
// exactly as they do when the user later opens a file. Errors: 120 for a missing or malformed
// "folder_path" (a "." or ".." component anywhere, empty components included, or no share
// name), 105 when the user may not read the folder or comes through a sharing link, 408 when
// the share or the folder does not exist.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "vireo/credentials.h"
#include "vireo/fileshare.h"
#include "vireo/plugin_table.h"
#include "vireo/sdk.h"
#include "vireo/webapi.h"

// "file:line (pid) text" at error priority, escaped as the rest of the platform logs: user
// names and paths come from requests.
#define FILEHALL_LOG(fmt, ...) HARBOR_LOG(fmt, ##__VA_ARGS__)

namespace {

constexpr char kApi[] = "VIREO.Filehall.List";
constexpr int kErrPermission = VIREO::WEBAPI_ERR_PERMISSION;
constexpr int kErrNoSuchFile = 408;

// Takes on a user's credentials for the scope; the destructor gives the process back its own
// effective ids and group list whether or not the switch succeeded part-way.
class UserCredentials {
 public:
  explicit UserCredentials(const std::string& user) : uid_(geteuid()), gid_(getegid()) {
    int n = getgroups(0, nullptr);
    if (n >= 0) {
      groups_.resize(n);
      groupsSaved_ = getgroups(n, groups_.data()) == n;
    }
    ok_ = groupsSaved_ && ResetCredentialsByName(user, /*withGroups=*/true);
  }
  ~UserCredentials() {
    if (setresuid(-1, 0, -1) != 0) FILEHALL_LOG("cannot become root again: %m");
    if (setresgid(-1, gid_, -1) != 0) FILEHALL_LOG("cannot restore gid %u: %m", gid_);
    if (groupsSaved_ && setgroups(groups_.size(), groups_.data()) != 0) {
      FILEHALL_LOG("cannot restore the group list: %m");
    }
    if (uid_ != 0 && setresuid(-1, uid_, -1) != 0) FILEHALL_LOG("cannot restore uid %u: %m", uid_);
  }
  UserCredentials(const UserCredentials&) = delete;
  UserCredentials& operator=(const UserCredentials&) = delete;

  bool ok() const { return ok_; }

 private:
  const uid_t uid_;
  const gid_t gid_;
  std::vector<gid_t> groups_;
  bool groupsSaved_ = false;
  bool ok_ = false;
};

class Dir {
 public:
  explicit Dir(const std::string& path) : dir_(opendir(path.c_str())) {}
  ~Dir() {
    if (dir_ != nullptr) closedir(dir_);
  }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* const dir_;
};

// The components of a share path ("/docs//a/b" gives docs, a, b). False for a path that is not
// absolute, holds a NUL, is too long, or has a "." or ".." component anywhere: every component
// is checked, also those after an empty one, so "/docs//../homes" cannot reach past the share.
bool SplitSharePath(const std::string& sharePath, std::vector<std::string>& parts) {
  parts.clear();
  if (sharePath.empty() || sharePath[0] != '/' || sharePath.size() >= PATH_MAX) return false;
  if (sharePath.find('\0') != std::string::npos) return false;
  size_t start = 1;
  while (start <= sharePath.size()) {
    size_t end = sharePath.find('/', start);
    if (end == std::string::npos) end = sharePath.size();
    std::string part = sharePath.substr(start, end - start);
    if (part == "." || part == "..") return false;
    if (!part.empty()) parts.push_back(part);
    start = end + 1;
  }
  return !parts.empty();
}

// The real folder of a share for `user`; "" when there is no such share.
std::string ShareFolder(const std::string& share, const std::string& user) {
  if (share == VIREO_HOME_SHARE_NAME) {
    std::string home;
    return DozedoFileShare::WfmUserHomeFullPathGet(home, user) == 0 ? home : "";
  }
  PVIREOSHARE record = nullptr;
  if (VIREOShareGet(share.c_str(), &record) != 0 || record == nullptr) return "";
  std::string folder = record->szPath;
  VIREOShareFree(record);
  return folder;
}

bool Readable(const std::string& realPath) {
  unsigned int mask = 0;
  return VIREOACLPermGet(realPath.c_str(), &mask) == 0 && (mask & VIREO_PERM_READ) != 0;
}

// A link visitor may reach only the file its link shares, never a folder listing.
bool RefuseVisitor(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  if (!request->IsSharing() && !request->GetLoginUserName().empty()) return false;
  response->SetError(kErrPermission, "permission denied");
  return true;
}

void ListShare(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  if (RefuseVisitor(request, response)) return;
  const std::string user = request->GetLoginUserName();
  Json::Value registry;
  {
    std::ifstream in(VIREO_SHARE_REGISTRY);
    Json::CharReaderBuilder builder;
    std::string errs;
    if (!in || !Json::parseFromStream(builder, in, &registry, &errs) || !registry.isObject()) {
      FILEHALL_LOG("cannot read the share registry %s", VIREO_SHARE_REGISTRY);
      response->SetError(VIREO::WEBAPI_ERR_UNKNOWN, "share registry unreadable");
      return;
    }
  }
  struct Share {
    std::string name, folder, comment;
  };
  std::vector<Share> shares;
  for (const std::string& name : registry.getMemberNames()) {
    const Json::Value& s = registry[name];
    if (!s.isObject() || (s["status"].asUInt() & SHARE_STATUS_HIDDEN) != 0) continue;
    shares.push_back({name, ShareFolder(name, user), s["comment"].asString()});
  }
  shares.push_back({VIREO_HOME_SHARE_NAME, ShareFolder(VIREO_HOME_SHARE_NAME, user), "Home"});
  std::sort(shares.begin(), shares.end(),
            [](const Share& a, const Share& b) { return a.name < b.name; });

  Json::Value list(Json::arrayValue);
  {
    UserCredentials as(user);
    if (!as.ok()) {
      FILEHALL_LOG("cannot take on the credentials of %s", user.c_str());
      response->SetError(kErrPermission, "permission denied");
      return;
    }
    for (const Share& s : shares) {
      if (s.folder.empty() || !Readable(s.folder)) continue;
      Json::Value e(Json::objectValue);
      e["name"] = s.name;
      e["path"] = "/" + s.name;
      e["is_dir"] = true;
      e["comment"] = s.comment;
      list.append(e);
    }
  }
  Json::Value data(Json::objectValue);
  data["total"] = list.size();
  data["shares"] = list;
  response->SetSuccess(data);
}

void List(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  if (RefuseVisitor(request, response)) return;
  const std::string user = request->GetLoginUserName();
  std::vector<std::string> parts;
  // The check function refused anything else.
  SplitSharePath(request->GetParam("folder_path", "").asString(), parts);
  std::string folder = ShareFolder(parts[0], user);
  if (folder.empty()) {
    response->SetError(kErrNoSuchFile, "no such share");
    return;
  }
  std::string sharePath = "/" + parts[0];
  for (size_t i = 1; i < parts.size(); ++i) {
    // The EA folders hold cached conversions of other users' documents; they are not content.
    if (parts[i] == VIREO_EA_DIR_NAME) {
      response->SetError(kErrNoSuchFile, "no such folder");
      return;
    }
    folder += "/" + parts[i];
    sharePath += "/" + parts[i];
  }

  struct Entry {
    std::string name;
    bool dir;
    int64_t size;
  };
  std::vector<Entry> entries;
  {
    UserCredentials as(user);
    if (!as.ok()) {
      FILEHALL_LOG("cannot take on the credentials of %s", user.c_str());
      response->SetError(kErrPermission, "permission denied");
      return;
    }
    Dir dir(folder);
    if (dir.get() == nullptr) {
      int e = errno;
      response->SetError(e == EACCES || e == EPERM ? kErrPermission : kErrNoSuchFile,
                         e == EACCES || e == EPERM ? "permission denied" : "no such folder");
      return;
    }
    while (struct dirent* d = readdir(dir.get())) {
      std::string name = d->d_name;
      if (name == "." || name == ".." || name == VIREO_EA_DIR_NAME) continue;
      struct stat st;
      // Entries the user cannot even examine are not the user's to see.
      if (fstatat(dirfd(dir.get()), name.c_str(), &st, 0) != 0) continue;
      if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
      if (!Readable(folder + "/" + name)) continue;
      entries.push_back({name, S_ISDIR(st.st_mode), S_ISDIR(st.st_mode) ? 0 : st.st_size});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.dir != b.dir ? a.dir : a.name < b.name;
  });
  Json::Value files(Json::arrayValue);
  for (const Entry& e : entries) {
    Json::Value f(Json::objectValue);
    f["name"] = e.name;
    f["path"] = sharePath + "/" + e.name;
    f["is_dir"] = e.dir;
    f["size"] = static_cast<Json::Int64>(e.size);
    files.append(f);
  }
  Json::Value data(Json::objectValue);
  data["total"] = files.size();
  data["files"] = files;
  response->SetSuccess(data);
}

bool CheckNothing(VIREO::APIRequest*, VIREO::APIResponse*) { return true; }

bool CheckList(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  VIREO::APIParameter<std::string> p = request->GetAndCheckString("folder_path", 0, nullptr);
  std::vector<std::string> parts;
  if (p.IsValid() && SplitSharePath(p.Get(), parts)) return true;
  Json::Value reason(Json::objectValue);
  reason["name"] = "folder_path";
  reason["reason"] = !p.IsSet() ? "required" : (p.IsValid() ? "invalid" : "type");
  response->SetError(VIREO::WEBAPI_ERR_PARAM, reason);
  return false;
}

using MethodRow = VIREO::webapi::PluginMethodRow;
using CheckRow = VIREO::webapi::PluginCheckRow;

const MethodRow kMethods[] = {
    {kApi, 1, "list", &List},
    {kApi, 1, "list_share", &ListShare},
    {nullptr, 0, nullptr, nullptr},
};
const CheckRow kChecks[] = {
    {kApi, 1, "list", &CheckList, 0, 0},
    {kApi, 1, "list_share", &CheckNothing, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0},
};

}  // namespace

extern "C" const void* GetAPITable() { return kMethods; }
extern "C" const void* GetAPICheckTable() { return kChecks; }
