// VIREO.Folium.Sharing: list, set and trigger_gc.
#include "folium/Sharing.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <stdexcept>

#include "safe_file.h"
#include "utils_log.h"
#include "vireo/credentials.h"
#include "vireo/fileshare.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"
#include "vireo/sharing_db.h"
#include "vireo/webutils.h"

#define SHARING_SOURCE "VIREO.Folium.Sharing"
#define SHARING_LOG(fmt, ...)                                                  \
  syslog(LOG_ERR, "%s:%d (%u) %s", SHARING_SOURCE, __LINE__,                   \
         static_cast<unsigned>(getpid()),                                      \
         ::VIREO::PAPERLENS::log::FormatEscaped(fmt, ##__VA_ARGS__).c_str())

namespace db = VIREO::sharing::db;
using VIREO::sharing::record::Entry;

namespace {

const char kNotifyTool[] = "/usr/vireo/bin/vireoharbornotify";
const char kQRTool[] = "/usr/vireo/bin/qrencode";

bool ProtectTypeOf(const std::string& text, Entry::ProtectType& out) {
  if (text == SZK_PROTECT_PROTECT_NONE) out = Entry::PROTECT_NONE;
  else if (text == SZK_PROTECT_PROTECT_PASSWORD) out = Entry::PROTECT_PASSWORD;
  else if (text == SZK_PROTECT_PROTECT_USER) out = Entry::PROTECT_USER;
  else return false;
  return true;
}

bool RedirectTypeOf(const std::string& text, Entry::RedirectType& out) {
  if (text == SZK_REDIRECT_REDIRECT_NONE) out = Entry::REDIRECT_NONE;
  else if (text == SZK_REDIRECT_REDIRECT_URLPARAM) out = Entry::REDIRECT_URLPARAM;
  else if (text == SZK_REDIRECT_REDIRECT_ALWAYS) out = Entry::REDIRECT_ALWAYS;
  else return false;
  return true;
}

// An array of strings; false for anything else.
bool StringList(const Json::Value& value, std::vector<std::string>& out) {
  out.clear();
  if (!value.isArray()) return false;
  for (const Json::Value& v : value) {
    if (!v.isString()) return false;
    out.push_back(v.asString());
  }
  return true;
}

bool Refuse(VIREO::APIResponse* response, const char* name, const char* reason) {
  Json::Value e(Json::objectValue);
  e["name"] = name;
  e["reason"] = reason;
  response->SetError(120, e);
  return false;
}

}  // namespace

// ---- Checks --------------------------------------------------------------------------------

bool CheckSharingSet(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  VIREO::APIParameter<std::string> project = request->GetAndCheckString(SZK_PROJECT_NAME, 0, nullptr);
  if (project.IsInvalid()) {
    return Refuse(response, SZK_PROJECT_NAME, project.IsSet() ? "type" : "required");
  }
  for (const char* name : {SZK_SHARING_ID, SZK_REDIRECT_URI, SZK_REDIRECT_TYPE, SZK_PROTECT_PASSWORD,
                           SZK_PROTECT_TYPE, SZK_PROTECT_TITLE, SZK_START_AT, SZK_EXPIRE_AT}) {
    if (request->GetAndCheckString(name, 1, nullptr).IsInvalid()) return Refuse(response, name, "type");
  }
  if (request->GetAndCheckObject(SZK_APP, 1, nullptr).IsInvalid()) {
    return Refuse(response, SZK_APP, "type");
  }
  for (const char* name : {SZK_PROTECT_USERS, SZK_PROTECT_GROUPS, "new_protect_users",
                           "new_protect_groups"}) {
    if (request->GetAndCheckUnitArray(name, 1, nullptr).IsInvalid()) return Refuse(response, name, "type");
  }
  for (const char* name : {SZK_ENABLE_MATCH_IP, SZK_AUTO_GC, SZK_ENABLED}) {
    if (request->GetAndCheckBool(name, 1, nullptr).IsInvalid()) return Refuse(response, name, "type");
  }
  VIREO::APIParameter<int> times = request->GetAndCheckInt(SZK_EXPIRE_TIMES, 1, nullptr);
  if (times.IsInvalid()) return Refuse(response, SZK_EXPIRE_TIMES, "type");

  // Cross-checks.
  if (project.Get().empty()) return Refuse(response, SZK_PROJECT_NAME, "condition");
  Json::Value redirects(Json::arrayValue), protects(Json::arrayValue);
  for (const char* t : {SZK_REDIRECT_REDIRECT_NONE, SZK_REDIRECT_REDIRECT_URLPARAM,
                        SZK_REDIRECT_REDIRECT_ALWAYS}) {
    redirects.append(t);
  }
  for (const char* t : {SZK_PROTECT_PROTECT_NONE, SZK_PROTECT_PROTECT_PASSWORD,
                        SZK_PROTECT_PROTECT_USER}) {
    protects.append(t);
  }
  if (request->HasParam(SZK_REDIRECT_TYPE) &&
      request->GetAndCheckString(SZK_REDIRECT_TYPE, 1, VIREO::APIValidator::Belong(redirects))
          .IsInvalid()) {
    return Refuse(response, SZK_REDIRECT_TYPE, "condition");
  }
  VIREO::APIParameter<std::string> protect = request->GetAndCheckString(
      SZK_PROTECT_TYPE, 1, VIREO::APIValidator::Belong(protects));
  if (request->HasParam(SZK_PROTECT_TYPE) && protect.IsInvalid()) {
    return Refuse(response, SZK_PROTECT_TYPE, "condition");
  }
  if (times.IsSet() && !VIREO::APIValidator::IsGreater(request->GetParam(SZK_EXPIRE_TIMES, 0), -1)) {
    return Refuse(response, SZK_EXPIRE_TIMES, "condition");
  }
  if (protect.IsSet() && protect.Get() == SZK_PROTECT_PROTECT_PASSWORD &&
      request->GetParam(SZK_PROTECT_PASSWORD, "").asString().empty()) {
    return Refuse(response, SZK_PROTECT_PASSWORD, "condition");
  }
  return true;
}

bool CheckSharingTriggerGC(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  VIREO::APIParameter<std::string> p = request->GetAndCheckString(SZK_PROJECT_NAME, 0, nullptr);
  if (p.IsInvalid()) return Refuse(response, SZK_PROJECT_NAME, p.IsSet() ? "type" : "required");
  if (p.Get().empty()) return Refuse(response, SZK_PROJECT_NAME, "condition");
  return true;
}

// ---- list ----------------------------------------------------------------------------------

int SharingList::Execute() {
  Json::Value reply;
  VIREO::APIRunner::Exec(reply, "VIREO.Filehall.Sharing", 3, "list",
                         request->GetParamRef("", Json::Value()), request->GetLoginUserName());
  if (reply.isMember("error")) {
    int code = reply["error"]["code"].asInt();
    return code != 0 ? code : 100;
  }
  output = reply["data"];
  // A nested call does not know under which address the caller reached the server: the links'
  // URLs get this request's.
  Json::Value& links = output["links"];
  if (links.isArray()) {
    for (Json::Value& l : links) {
      if (l["url"].isString() && !l["url"].asString().empty() && l["url"].asString()[0] == '/') {
        l["url"] = request->GetSharingURL(l["url"].asString());
      }
    }
  }
  return 0;
}

// ---- set -----------------------------------------------------------------------------------

int SharingSet::ParseParams() {
  try {
    _sharingId = request->GetParam(SZK_SHARING_ID, _sharingId).asString();
    _projectName = request->GetParam(SZK_PROJECT_NAME, _projectName).asString();
    _loginUid = request->GetLoginUID();
    _enabled = request->GetParam(SZK_ENABLED, _enabled).asBool();
    _autoGc = request->GetParam(SZK_AUTO_GC, _autoGc).asBool();
    _enableMatchIp = request->GetParam(SZK_ENABLE_MATCH_IP, _enableMatchIp).asBool();
    _startAt = request->GetParam(SZK_START_AT, _startAt).asString();
    _expireAt = request->GetParam(SZK_EXPIRE_AT, _expireAt).asString();
    _expireTimes = request->GetParam(SZK_EXPIRE_TIMES, _expireTimes).asInt();
    _protectTitle = request->GetParam(SZK_PROTECT_TITLE, _protectTitle).asString();
    _protectPassword = request->GetParam(SZK_PROTECT_PASSWORD, _protectPassword).asString();
    _redirectUri = request->GetParam(SZK_REDIRECT_URI, _redirectUri).asString();
    _app = request->GetParam(SZK_APP, _app);
    if (!_app.isObject()) _app = Json::Value(Json::objectValue);
    StringList(request->GetParam("new_protect_users", Json::Value(Json::arrayValue)), _newProtectUsers);
    StringList(request->GetParam("new_protect_groups", Json::Value(Json::arrayValue)), _newProtectGroups);
  } catch (const std::exception& e) {
    errMsg = e.what();
    return 101;
  }
  // Refusals the check table lets through end in the entry function's handling.
  if (!ProtectTypeOf(request->GetParam(SZK_PROTECT_TYPE, SZK_PROTECT_PROTECT_NONE).asString(),
                     _protectType)) {
    throw std::runtime_error("bad protect_type");
  }
  if (!RedirectTypeOf(request->GetParam(SZK_REDIRECT_TYPE, SZK_REDIRECT_REDIRECT_NONE).asString(),
                      _redirectType)) {
    throw std::runtime_error("bad redirect_type");
  }
  if (!StringList(request->GetParam(SZK_PROTECT_USERS, Json::Value(Json::arrayValue)), _protectUsers)) {
    throw std::runtime_error("bad protect_users");
  }
  if (!StringList(request->GetParam(SZK_PROTECT_GROUPS, Json::Value(Json::arrayValue)), _protectGroups)) {
    throw std::runtime_error("bad protect_groups");
  }
  if (_expireTimes < 0) {
    errMsg = "invalid expire times";
    return 101;
  }
  return 0;
}

int SharingSet::SetEntryFields(Entry& entry, bool update) {
  auto given = [&](const char* key) { return !update || request->HasParam(key); };
  if (given(SZK_ENABLED)) entry.set_enabled(_enabled);
  if (given(SZK_AUTO_GC)) entry.set_auto_gc(_autoGc);
  if (given(SZK_ENABLE_MATCH_IP)) entry.set_enable_match_ip(_enableMatchIp);
  if (given(SZK_START_AT) && !entry.set_start_at(_startAt)) {
    errMsg = "bad start_at";
    return 101;
  }
  if (given(SZK_EXPIRE_AT) && !entry.set_expire_at(_expireAt)) {
    errMsg = "bad expire_at";
    return 101;
  }
  if (given(SZK_EXPIRE_TIMES)) entry.set_expire_times(_expireTimes);
  if (given(SZK_PROTECT_TYPE)) entry.set_protect_type(_protectType);
  if (given(SZK_PROTECT_TITLE)) entry.set_protect_title(_protectTitle);
  if (given(SZK_PROTECT_PASSWORD) &&
      !entry.set_protect_password(_protectPassword, /*encrypt=*/true, /*algorithm=*/0)) {
    errMsg = "cannot store the password";
    return 117;
  }
  if (given(SZK_PROTECT_USERS)) entry.set_protect_users(_protectUsers);
  if (given(SZK_PROTECT_GROUPS)) entry.set_protect_groups(_protectGroups);
  if (given(SZK_REDIRECT_TYPE)) entry.set_redirect_type(_redirectType);
  if (given(SZK_REDIRECT_URI)) entry.set_redirect_uri(_redirectUri);
  if (given(SZK_APP)) entry.set_app(_app);

  if (entry.get_protect_type() == Entry::PROTECT_PASSWORD && entry.IsPasswordValid("")) return 1010;
  if (entry.get_protect_type() == Entry::PROTECT_USER && entry.get_protect_users().empty() &&
      entry.get_protect_groups().empty()) {
    return 1009;
  }
  if ((entry.get_redirect_type() == Entry::REDIRECT_URLPARAM ||
       entry.get_redirect_type() == Entry::REDIRECT_ALWAYS) &&
      entry.get_redirect_uri().empty()) {
    return 1011;
  }
  return 0;
}

int SharingSet::Execute() {
  db::SharingDB& store = db::SharingDB::Instance();
  if (!store.IsGood()) {
    errMsg = "db open fail";
    return 117;
  }
  db::EntryDB entries(store);
  Entry entry;
  const bool update = !_sharingId.empty();
  if (!update) {
    if (_projectName.empty()) {
      errMsg = "invalid project name";
      return 101;
    }
    entry.set_project_name(_projectName);
    entry.set_owner_uid(static_cast<int>(_loginUid));
    entry.set_app(_app);
    // The fields are checked before anything is stored: a refused link never exists, not even
    // unprotected for a moment.
    int rc = SetEntryFields(entry, false);
    if (rc != 0) {
      errMsg = "set entry fields fail";
      return rc;
    }
    if (!entries.CreateWithHash(entry)) {
      errMsg = "db create entry fail";
      return 117;
    }
  } else {
    if (!entries.GetByHash(_sharingId, entry)) {
      errMsg = "invalid sharing id";
      return 1005;
    }
    if (!request->IsAdmin() && static_cast<int>(_loginUid) != entry.get_owner_uid()) {
      errMsg = "invalid owner";
      return 1007;
    }
    if (_projectName != entry.get_project_name()) {
      errMsg = "invalid project name";
      return 101;
    }
    int rc = SetEntryFields(entry, true);
    if (rc != 0) {
      errMsg = "set entry fields fail";
      return rc;
    }
  }
  if (!entries.Update(entry)) {
    errMsg = "db update entry fail";
    return 117;
  }
  if (update &&
      (request->HasParam(SZK_PROTECT_PASSWORD) || request->HasParam(SZK_PROTECT_USERS) ||
       request->HasParam(SZK_PROTECT_GROUPS)) &&
      entry.get_protect_type() != Entry::PROTECT_NONE) {
    // Visitors must pass the new protection again.
    db::TokenDB(store).PurgeByEntry(entry);
  }
  _sharingId = entry.get_hash();
  _url = request->GetSharingURL("") + "/sharing/" + _sharingId;
  if (!_newProtectUsers.empty() || !_newProtectGroups.empty()) {
    const Json::Value& name = entry.get_app()["name"];
    SendNotification(_url, name.isString() ? name.asString() : "");
  }
  return 0;
}

void SharingSet::SendNotification(const std::string& url, const std::string& name) {
  pid_t pid = VLIBCProcForkChildNoWait();
  if (pid < 0) {
    syslog(LOG_ERR, "%s:%d (%u) fork failed\n", SHARING_SOURCE, __LINE__,
           static_cast<unsigned>(getpid()));
    return;
  }
  if (pid > 0) return;

  // The child: it must not hold the request's streams (the server waits for them to close),
  // nor flush what the request has buffered.
  int devnull = open("/dev/null", O_RDWR);
  if (devnull >= 0) {
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    if (devnull > 2) close(devnull);
  }
  std::set<std::string> recipients(_newProtectUsers.begin(), _newProtectUsers.end());
  for (const std::string& g : _newProtectGroups) {
    PVIREOGROUP group = nullptr;
    if (VIREOGroupGet(g.c_str(), &group) != 0 || group == nullptr) {
      syslog(LOG_ERR, "%s:%d (%u) Failed to load group %s\n", SHARING_SOURCE, __LINE__,
             static_cast<unsigned>(getpid()), VIREO::PAPERLENS::log::Escape(g.c_str()).c_str());
      continue;
    }
    for (int i = 0; i < group->nMember; ++i) recipients.insert(group->rgszMember[i]);
    VIREOGroupFree(group);
  }
  const std::string message = "<br><a target='_blank' style='vertical-align:sub;' href=" + url +
                              ">" + WebUtils::EncodeHtml(name, false) + "</a>";
  const std::string from = request->GetLoginUserName();
  for (const std::string& r : recipients) {
    const char* argv[] = {kNotifyTool, "-e", "false", "-c", "VIREO.UIX.Folium.Application",
                          r.c_str(), "filebrowser:sharing_link", "filebrowser:sharing_message",
                          from.c_str(), message.c_str(), "", "", nullptr};
    VLIBCExecv(kNotifyTool, const_cast<char* const*>(argv), 1);
  }
  _exit(0);
}

bool SharingSet::MakeQRCode(const std::string& url, std::string& dataUri) {
  FILE* png = VLIBCPopen(kQRTool, "r", "-l", "H", url.c_str(), "-o", "-", nullptr);
  if (png == nullptr) {
    syslog(LOG_ERR, "%s:%d VLIBCPopen failed, key=%s", SHARING_SOURCE, __LINE__,
           VIREO::PAPERLENS::log::Escape(url.c_str()).c_str());
    return false;
  }
  std::string image;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), png)) > 0) image.append(buf, n);
  if (VLIBCPclose(png) != 0 || image.empty()) return false;
  std::string encoded(4 * ((image.size() + 2) / 3) + 1, '\0');
  int len = VLIBCBase64SzEncodeFull(reinterpret_cast<const unsigned char*>(image.data()),
                                    image.size(), &encoded[0], encoded.size());
  if (len < 0) return false;
  encoded.resize(static_cast<size_t>(len));
  dataUri = "data:image/png;base64," + encoded;
  return true;
}

int SharingSet::FormOutput() {
  output = Json::Value(Json::objectValue);
  output["sharing_id"] = _sharingId;
  output["url"] = _url;
  std::string qr;
  if (MakeQRCode(_url, qr)) output["qrcode"] = qr;
  return 0;
}

// ---- trigger_gc ----------------------------------------------------------------------------

int SharingTriggerGC::ParseParams() {
  _projectName = request->GetParam(SZK_PROJECT_NAME, "").asString();
  return 0;
}

bool SharingTriggerGC::CheckEntryValid(const Entry& entry) {
  const Json::Value& pathValue = entry.get_app()["path"];
  const std::string sharePath = pathValue.isString() ? pathValue.asString() : "";
  if (sharePath.empty() || sharePath[0] != '/') {
    SHARING_LOG("bad share path: %s", sharePath.c_str());
    return false;
  }
  const size_t pos = sharePath.find('/', 1);
  if (pos == std::string::npos) {
    SHARING_LOG("bad share path: %s", sharePath.c_str());
    return false;
  }
  const std::string shareName = sharePath.substr(1, pos - 1);
  std::string realPath;
  if (DozedoFileShare::IsDirUserHome(shareName, nullptr)) {
    std::string home;
    if (DozedoFileShare::WfmUserHomeFullPathGet(home, request->GetLoginUserName()) != 0) {
      SHARING_LOG("cannot get user home path %s", request->GetLoginUserName().c_str());
      return false;
    }
    realPath = home + "/" + sharePath.substr(6);
  } else {
    PVIREOSHARE share = nullptr;
    if (VIREOShareGet(shareName.c_str(), &share) != 0 || share == nullptr) {
      SHARING_LOG("cannot get share path %s", sharePath.c_str());
      return false;
    }
    realPath = std::string(share->szPath) + sharePath.substr(pos);
    VIREOShareFree(share);
  }
  // Whether the file is still there, looked up beneath its share.
  struct stat st;
  if (VIREO::PAPERLENS::safe::StatBeneath(realPath, st) != VIREO::PAPERLENS::safe::kOk) return false;
  const time_t now = time(nullptr);
  if (entry.IsValid(now) &&
      (entry.get_expire_times() == 0 || entry.get_use_count() < entry.get_expire_times())) {
    return true;
  }
  return !entry.get_start_at().empty() && !entry.IsStarted(now);
}

int SharingTriggerGC::Execute() {
  db::SharingDB& store = db::SharingDB::Instance();
  if (!store.IsGood()) {
    errMsg = "db open fail";
    return 117;
  }
  db::EntryDB entries(store);
  db::Condition condition = entries.GetCondition();
  condition.Where(SZK_OWNER_UID, static_cast<Json::Int64>(request->GetLoginUID()))
      .Where(SZK_PROJECT_NAME, _projectName);
  std::vector<Entry> found;
  if (!entries.Query(condition, found)) {
    errMsg = "db get entries fail";
    return 117;
  }
  std::vector<Entry> dead;
  {
    // The links are judged as their owner; the ids come back when the scope ends.
    VIREO::PAPERLENS::safe::AsUser caller(request->GetLoginUserName());
    if (!caller.Ok()) {
      errMsg = "change to user fail";
      return 117;
    }
    for (const Entry& e : found) {
      if (!CheckEntryValid(e)) dead.push_back(e);
    }
  }
  for (const Entry& e : dead) entries.Delete(e);
  return 0;
}
