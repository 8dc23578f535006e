// The platform's sharing and notification APIs (a plug-in of the platform):
//
//   VIREO.Filehall.Sharing version 3 "list": the caller's sharing links with their settings and
//     state: {"total": N, "links": [{"id", "url", "project_name", "owner", "path", "name",
//     "app", "enabled", "auto_gc", "enable_match_ip", "start_at", "expire_at", "expire_times",
//     "use_count", "protect_type", "protect_title", "has_password", "protect_users",
//     "protect_groups", "redirect_type", "redirect_uri", "status"}]}. "status" is "valid",
//     "disabled", "not_started", "expired" or "used_up". Optional "project_name" keeps one
//     project's links; "owner" names another user, which only administrators may (105).
//   VIREO.Harbor.Notification version 1 "list": the caller's desktop notifications,
//     {"total": N, "notifications": [...]}, newest last.
//
// Visitors of sharing links reach neither (105). Passwords never leave the store: a link says
// only whether it has one.
#include <stdint.h>
#include <time.h>

#include "host.h"
#include "notifications.h"
#include "vireo/plugin_table.h"
#include "vireo/sdk.h"
#include "vireo/sharing_db.h"
#include "vireo/webapi.h"

namespace {

using VIREO::sharing::record::Entry;

const char kSharingApi[] = "VIREO.Filehall.Sharing";
const char kNotificationApi[] = "VIREO.Harbor.Notification";

const char* ProtectText(Entry::ProtectType t) {
  switch (t) {
    case Entry::PROTECT_PASSWORD: return SZK_PROTECT_PROTECT_PASSWORD;
    case Entry::PROTECT_USER: return SZK_PROTECT_PROTECT_USER;
    default: return SZK_PROTECT_PROTECT_NONE;
  }
}

const char* RedirectText(Entry::RedirectType t) {
  switch (t) {
    case Entry::REDIRECT_URLPARAM: return SZK_REDIRECT_REDIRECT_URLPARAM;
    case Entry::REDIRECT_ALWAYS: return SZK_REDIRECT_REDIRECT_ALWAYS;
    default: return SZK_REDIRECT_REDIRECT_NONE;
  }
}

const char* Status(const Entry& e, time_t now) {
  if (!e.get_enabled()) return "disabled";
  if (!e.IsStarted(now)) return "not_started";
  if (e.IsExpired(now)) return "expired";
  if (e.IsUsedUp()) return "used_up";
  return "valid";
}

Json::Value Strings(const std::vector<std::string>& v) {
  Json::Value a(Json::arrayValue);
  for (const std::string& s : v) a.append(s);
  return a;
}

bool RefuseVisitor(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  if (!request->IsSharing() && !request->GetLoginUserName().empty()) return false;
  response->SetError(VIREO::WEBAPI_ERR_PERMISSION, "permission denied");
  return true;
}

void ListLinks(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  if (RefuseVisitor(request, response)) return;
  unsigned int uid = request->GetLoginUID();
  const Json::Value owner = request->GetParam("owner", Json::Value());
  if (owner.isString() && owner.asString() != request->GetLoginUserName()) {
    if (!request->IsAdmin()) {
      response->SetError(VIREO::WEBAPI_ERR_PERMISSION, "only administrators list others' links");
      return;
    }
    PVIREOUSER record = nullptr;
    if (VIREOUserGet(owner.asCString(), &record) != 0 || record == nullptr) {
      response->SetError(VIREO::WEBAPI_ERR_PARAM, "no such owner");
      return;
    }
    uid = record->uid;
    VIREOUserFree(record);
  }
  VIREO::sharing::db::EntryDB entries;
  VIREO::sharing::db::Condition condition = entries.GetCondition();
  condition.Where(SZK_OWNER_UID, static_cast<Json::Int64>(uid));
  const Json::Value project = request->GetParam(SZK_PROJECT_NAME, Json::Value());
  if (project.isString()) condition.Where(SZK_PROJECT_NAME, project.asString());
  std::vector<Entry> found;
  if (!VIREO::sharing::db::SharingDB::Instance().IsGood() || !entries.Query(condition, found)) {
    response->SetError(VIREO::WEBAPI_ERR_UNKNOWN, "sharing store unusable");
    return;
  }
  const time_t now = time(nullptr);
  Json::Value links(Json::arrayValue);
  for (const Entry& e : found) {
    Json::Value l(Json::objectValue);
    l["id"] = e.get_hash();
    l["url"] = request->GetSharingURL("/sharing/" + e.get_hash());
    l["project_name"] = e.get_project_name();
    l["owner"] = e.get_owner_user();
    l["path"] = e.get_app()["path"].isString() ? e.get_app()["path"].asString() : "";
    l["name"] = e.get_app()["name"].isString() ? e.get_app()["name"].asString() : "";
    l["app"] = e.get_app();
    l["enabled"] = e.get_enabled();
    l["auto_gc"] = e.get_auto_gc();
    l["enable_match_ip"] = e.get_enable_match_ip();
    l["start_at"] = e.get_start_at();
    l["expire_at"] = e.get_expire_at();
    l["expire_times"] = e.get_expire_times();
    l["use_count"] = e.get_use_count();
    l["protect_type"] = ProtectText(e.get_protect_type());
    l["protect_title"] = e.get_protect_title();
    l["has_password"] = !e.get_protect_password().empty();
    l["protect_users"] = Strings(e.get_protect_users());
    l["protect_groups"] = Strings(e.get_protect_groups());
    l["redirect_type"] = RedirectText(e.get_redirect_type());
    l["redirect_uri"] = e.get_redirect_uri();
    l["status"] = Status(e, now);
    links.append(l);
  }
  Json::Value data(Json::objectValue);
  data["total"] = links.size();
  data["links"] = links;
  response->SetSuccess(data);
}

void ListNotifications(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  if (RefuseVisitor(request, response)) return;
  Json::Value list = VIREO::notification::List(request->GetLoginUserName());
  Json::Value data(Json::objectValue);
  data["total"] = list.size();
  data["notifications"] = list;
  response->SetSuccess(data);
}

bool CheckNothing(VIREO::APIRequest*, VIREO::APIResponse*) { return true; }

bool CheckListLinks(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  for (const char* name : {"owner", SZK_PROJECT_NAME}) {
    VIREO::APIParameter<std::string> p = request->GetAndCheckString(name, 1, nullptr);
    if (p.IsInvalid()) {
      Json::Value reason(Json::objectValue);
      reason["name"] = name;
      reason["reason"] = "type";
      response->SetError(VIREO::WEBAPI_ERR_PARAM, reason);
      return false;
    }
  }
  return true;
}

using MethodRow = VIREO::webapi::PluginMethodRow;
using CheckRow = VIREO::webapi::PluginCheckRow;

const MethodRow kMethods[] = {
    {kSharingApi, 3, "list", &ListLinks},
    {kNotificationApi, 1, "list", &ListNotifications},
    {nullptr, 0, nullptr, nullptr},
};
const CheckRow kChecks[] = {
    {kSharingApi, 3, "list", &CheckListLinks, 0, 0},
    {kNotificationApi, 1, "list", &CheckNothing, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0},
};

}  // namespace

extern "C" const void* GetAPITable() { return kMethods; }
extern "C" const void* GetAPICheckTable() { return kChecks; }
