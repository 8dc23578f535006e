// Passwords, login sessions and the failed-login throttle.
#include <crypt.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <shadow.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "host.h"
#include "vireo/sdk.h"

namespace VIREO {
namespace webapi {

namespace {

// Owns a descriptor, and the flock taken on it.
class LockedFile {
 public:
  LockedFile(const std::string& path, int operation)
      : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0 && flock(fd_, operation) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~LockedFile() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

bool ReadJsonFile(const std::string& path, Json::Value& value) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  static const Json::CharReaderBuilder settings;  // the defaults, made once per process
  std::unique_ptr<Json::CharReader> r(settings.newCharReader());
  std::string text = s.str(), errs;
  return r->parse(text.data(), text.data() + text.size(), &value, &errs);
}

std::string CompactJson(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  return Json::writeString(b, v);
}

bool WriteJsonFile(const std::string& path, const Json::Value& value) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) return false;
    out << CompactJson(value);
    if (!out.flush()) return false;
  }
  chmod(tmp.c_str(), 0600);
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool EnsureDir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return true;
  // The parent may be missing as well (a fresh /run).
  size_t slash = dir.rfind('/');
  if (slash == 0 || slash == std::string::npos || !EnsureDir(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

namespace {

bool SameText(const std::string& a, const std::string& b) {
  // Constant time for equal lengths; hash lengths are not secret.
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

bool RandomHex(size_t bytes, std::string& out) {
  std::vector<unsigned char> buf(bytes);
  size_t got = 0;
  while (got < bytes) {
    ssize_t n = getrandom(buf.data() + got, bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  out.clear();
  for (unsigned char c : buf) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return true;
}

bool CheckPassword(const std::string& account, const std::string& password, std::string& user) {
  // Unknown and locked accounts still pay for one hash, so timing does not tell them apart.
  static const char kDummySetting[] = "$6$harbordummysalt$";
  std::string hash = kDummySetting;
  bool known = false;
  PVIREOUSER record = nullptr;
  if (!account.empty() && account.find('\0') == std::string::npos &&
      VIREOUserGet(account.c_str(), &record) == 0 && record != nullptr) {
    std::string name = record->szName;
    VIREOUserFree(record);
    struct spwd sp, *found = nullptr;
    std::vector<char> buf(16384);
    if (getspnam_r(name.c_str(), &sp, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->sp_pwdp != nullptr && found->sp_pwdp[0] == '$') {
      hash = found->sp_pwdp;
      known = true;
      user = name;
    }
  }
  struct crypt_data data;
  memset(&data, 0, sizeof(data));
  const char* computed = crypt_rn(password.c_str(), hash.c_str(), &data, sizeof(data));
  bool ok = computed != nullptr && computed[0] == '$' && SameText(computed, hash);
  if (!(known && ok)) {
    user.clear();
    return false;
  }
  return true;
}

namespace {

// Whether account `name`, of primary group `primary`, belongs to `group`.
bool InGroup(const std::string& name, gid_t primary, const std::string& group) {
  unsigned int gid = 0;
  if (VIREOGroupGetGID(group.c_str(), &gid) != 0) return false;
  int n = 256;
  std::vector<gid_t> groups(n);
  if (getgrouplist(name.c_str(), primary, groups.data(), &n) < 0) {
    groups.resize(n);
    if (getgrouplist(name.c_str(), primary, groups.data(), &n) < 0) return false;
  }
  for (int i = 0; i < n; ++i) {
    if (groups[i] == gid) return true;
  }
  return false;
}

}  // namespace

bool IsMemberOf(const std::string& user, const std::string& group) {
  PVIREOUSER record = nullptr;
  if (user.empty() || group.empty() || VIREOUserGet(user.c_str(), &record) != 0 || record == nullptr) {
    return false;
  }
  std::string name = record->szName;
  gid_t primary = record->gid;
  VIREOUserFree(record);
  return InGroup(name, primary, group);
}

bool IsAdministrator(const std::string& user) { return IsMemberOf(user, "administrators"); }

// ---- Sessions --------------------------------------------------------------------------------

const char* const SessionStore::kDefaultDir = "/usr/vireo/var/sessions";

SessionStore::SessionStore(const std::string& dir, long lifetime) : _dir(dir), _lifetime(lifetime) {}

bool SessionStore::IsWellFormed(const std::string& sid) {
  if (sid.size() != 32) return false;
  for (char c : sid) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool SessionStore::Create(const std::string& user, std::string& sid) {
  if (!EnsureDir(_dir)) {
    HARBOR_LOG("cannot make session folder %s: %m", _dir.c_str());
    return false;
  }
  // Sweep expired sessions so the folder does not grow without bound.
  time_t now = time(nullptr);
  if (DIR* d = opendir(_dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (!IsWellFormed(n)) continue;
      Json::Value s;
      if (ReadJsonFile(_dir + "/" + n, s) && s["expires"].isIntegral() && s["expires"].asInt64() > now) continue;
      unlink((_dir + "/" + n).c_str());
    }
    closedir(d);
  }
  if (!RandomHex(16, sid)) {
    HARBOR_LOG("no random bytes for a session id: %m");
    return false;
  }
  Json::Value s(Json::objectValue);
  s["user"] = user;
  s["created"] = static_cast<Json::Int64>(now);
  s["expires"] = static_cast<Json::Int64>(now + _lifetime);
  std::string path = _dir + "/" + sid;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    HARBOR_LOG("cannot store session: %m");
    return false;
  }
  std::string text = CompactJson(s);
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = close(fd) == 0 && ok;
  if (!ok) {
    HARBOR_LOG("cannot write session: %m");
    unlink(path.c_str());
  }
  return ok;
}

int SessionStore::Lookup(const std::string& sid, SessionInfo& info) const {
  if (!IsWellFormed(sid)) return WEBAPI_ERR_NO_SESSION;
  Json::Value s;
  if (!ReadJsonFile(_dir + "/" + sid, s) || !s.isObject() || !s["user"].isString() ||
      !s["expires"].isIntegral()) {
    return WEBAPI_ERR_NO_SESSION;
  }
  if (s["expires"].asInt64() <= time(nullptr)) {
    Remove(sid);
    return WEBAPI_ERR_SESSION_EXPIRED;
  }
  PVIREOUSER record = nullptr;
  if (VIREOUserGet(s["user"].asCString(), &record) != 0 || record == nullptr) {
    return WEBAPI_ERR_NO_SESSION;
  }
  info.user = record->szName;
  info.uid = record->uid;
  info.admin = InGroup(info.user, record->gid, "administrators");
  VIREOUserFree(record);
  return 0;
}

void SessionStore::Remove(const std::string& sid) const {
  if (IsWellFormed(sid)) unlink((_dir + "/" + sid).c_str());
}

// ---- Throttle --------------------------------------------------------------------------------

const char* const LoginThrottle::kDefaultPath = "/usr/vireo/var/login-failures.json";

namespace {

std::string ThrottleKey(const std::string& account, const std::string& ip) {
  std::string a;
  for (char c : account) a += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return a + "|" + ip;
}

long PauseFor(const Json::Value& rec, time_t now) {
  if (!rec.isObject() || !rec["count"].isInt() || !rec["last"].isInt64()) return 0;
  long count = rec["count"].asInt();
  if (count < LoginThrottle::kFreeFailures) return 0;
  long pause = LoginThrottle::kBasePauseSecs;
  for (long i = LoginThrottle::kFreeFailures; i < count && pause < LoginThrottle::kMaxPauseSecs; ++i) pause *= 2;
  if (pause > LoginThrottle::kMaxPauseSecs) pause = LoginThrottle::kMaxPauseSecs;
  long left = static_cast<long>(rec["last"].asInt64() + pause - now);
  return left > 0 ? left : 0;
}

}  // namespace

long LoginThrottle::Pause(const std::string& account, const std::string& ip) const {
  LockedFile lock(_path + ".lock", LOCK_SH);
  Json::Value all;
  if (!ReadJsonFile(_path, all) || !all.isObject()) return 0;
  return PauseFor(all[ThrottleKey(account, ip)], time(nullptr));
}

long LoginThrottle::BeginAttempt(const std::string& account, const std::string& ip) const {
  size_t slash = _path.rfind('/');
  if (slash != std::string::npos && slash > 0) EnsureDir(_path.substr(0, slash));
  LockedFile lock(_path + ".lock", LOCK_EX);
  if (!lock.ok()) {
    HARBOR_LOG("cannot lock the failed-login records: %m");
    return kBasePauseSecs;
  }
  Json::Value all;
  if (!ReadJsonFile(_path, all) || !all.isObject()) all = Json::Value(Json::objectValue);
  const time_t now = time(nullptr);
  const std::string key = ThrottleKey(account, ip);
  long wait = PauseFor(all.isMember(key) ? all[key] : Json::Value(), now);
  if (wait > 0) return wait;

  // Forget keys quiet for a day, then the oldest beyond the cap, so the file stays small.
  std::vector<std::pair<Json::Int64, std::string>> byAge;
  for (const std::string& k : all.getMemberNames()) {
    const Json::Value& rec = all[k];
    if (!rec.isObject() || !rec["count"].isInt() || !rec["last"].isInt64() ||
        rec["last"].asInt64() + 86400 < now) {
      all.removeMember(k);
    } else if (k != key) {
      byAge.emplace_back(rec["last"].asInt64(), k);
    }
  }
  if (_maxKeys > 0 && byAge.size() >= _maxKeys) {
    std::sort(byAge.begin(), byAge.end());
    for (size_t i = 0; i + _maxKeys <= byAge.size(); ++i) all.removeMember(byAge[i].second);
  }
  Json::Value& rec = all[key];
  rec["count"] = (rec.isObject() ? rec["count"].asInt() : 0) + 1;
  rec["last"] = static_cast<Json::Int64>(now);
  if (!WriteJsonFile(_path, all)) {
    HARBOR_LOG("cannot record a login attempt: %m");
    return kBasePauseSecs;
  }
  return 0;
}

void LoginThrottle::RecordSuccess(const std::string& account, const std::string& ip) const {
  LockedFile lock(_path + ".lock", LOCK_EX);
  Json::Value all;
  if (!ReadJsonFile(_path, all) || !all.isObject()) return;
  std::string key = ThrottleKey(account, ip);
  if (!all.isMember(key)) return;
  all.removeMember(key);
  if (!WriteJsonFile(_path, all)) HARBOR_LOG("cannot clear failed logins: %m");
}

}  // namespace webapi
}  // namespace VIREO
