// Records of the sharing-link service: a link's entry and a visitor's session.
//
// Plain values: copyable, no I/O (but for the password hash, which is computed here). The store
// that keeps them (vireo/sharing_db.h) hands them to requests that come through a link; a
// request that did not come through a link carries a default-constructed entry and session.
#ifndef HARBOR_VIREO_SHARING_H_
#define HARBOR_VIREO_SHARING_H_

#include <json/json.h>
#include <time.h>

#include <string>
#include <vector>

namespace VIREO {
namespace sharing {

// Keys of the entry's fields, as request parameters and store columns.
#define SZK_SHARING_ID "sharing_id"
#define SZK_PROJECT_NAME "project_name"
#define SZK_OWNER_UID "owner_uid"
#define SZK_APP "app"
#define SZK_ENABLED "enabled"
#define SZK_AUTO_GC "auto_gc"
#define SZK_ENABLE_MATCH_IP "enable_match_ip"
#define SZK_START_AT "start_at"
#define SZK_EXPIRE_AT "expire_at"
#define SZK_EXPIRE_TIMES "expire_times"
#define SZK_PROTECT_TYPE "protect_type"
#define SZK_PROTECT_TITLE "protect_title"
#define SZK_PROTECT_PASSWORD "protect_password"
#define SZK_PROTECT_USERS "protect_users"
#define SZK_PROTECT_GROUPS "protect_groups"
#define SZK_REDIRECT_TYPE "redirect_type"
#define SZK_REDIRECT_URI "redirect_uri"
#define SZK_USE_COUNT "use_count"

// The protect and redirect types as parameter texts.
#define SZK_PROTECT_PROTECT_NONE "none"
#define SZK_PROTECT_PROTECT_PASSWORD "password"
#define SZK_PROTECT_PROTECT_USER "user"
#define SZK_REDIRECT_REDIRECT_NONE "none"
#define SZK_REDIRECT_REDIRECT_URLPARAM "url_param"
#define SZK_REDIRECT_REDIRECT_ALWAYS "always"

// Dates travel as local time in this form.
#define SZ_SHARING_TIME_FORMAT "%Y-%m-%d %H:%M:%S"

namespace record {

class Entry {
 public:
  enum ProtectType { PROTECT_NONE = 0, PROTECT_PASSWORD = 1, PROTECT_USER = 2 };
  enum RedirectType { REDIRECT_NONE = 0, REDIRECT_URLPARAM = 1, REDIRECT_ALWAYS = 2 };

  Entry() : _app(Json::objectValue) {}

  const std::string& get_hash() const { return _hash; }
  const std::string& get_project_name() const { return _projectName; }
  // The owner's account name and uid; empty and -1 for an entry nobody owns yet.
  const std::string& get_owner_user() const { return _ownerUser; }
  int get_owner_uid() const { return _ownerUid; }
  // The link's application data, always a JSON object.
  const Json::Value& get_app() const { return _app; }
  bool get_enabled() const { return _enabled; }
  bool get_auto_gc() const { return _autoGc; }
  bool get_enable_match_ip() const { return _enableMatchIp; }
  // "" when not set, else SZ_SHARING_TIME_FORMAT.
  const std::string& get_start_at() const { return _startAt; }
  const std::string& get_expire_at() const { return _expireAt; }
  // 0: no limit on the number of visitor sessions.
  int get_expire_times() const { return _expireTimes; }
  int get_use_count() const { return _useCount; }
  ProtectType get_protect_type() const { return _protectType; }
  const std::string& get_protect_title() const { return _protectTitle; }
  // The stored password hash ("" when none): never the password itself.
  const std::string& get_protect_password() const { return _protectPassword; }
  const std::vector<std::string>& get_protect_users() const { return _protectUsers; }
  const std::vector<std::string>& get_protect_groups() const { return _protectGroups; }
  RedirectType get_redirect_type() const { return _redirectType; }
  const std::string& get_redirect_uri() const { return _redirectUri; }

  void set_hash(const std::string& hash) { _hash = hash; }
  void set_project_name(const std::string& name) { _projectName = name; }
  void set_owner_user(const std::string& user) { _ownerUser = user; }
  void set_owner_uid(int uid) { _ownerUid = uid; }
  // A value that is not an object is stored as an empty object.
  void set_app(const Json::Value& app) { _app = app.isObject() ? app : Json::Value(Json::objectValue); }
  void set_enabled(bool v) { _enabled = v; }
  void set_auto_gc(bool v) { _autoGc = v; }
  void set_enable_match_ip(bool v) { _enableMatchIp = v; }
  // False (nothing changed) for a text that is neither empty nor a date of the format.
  bool set_start_at(const std::string& text);
  bool set_expire_at(const std::string& text);
  void set_expire_times(int n) { _expireTimes = n; }
  void set_use_count(int n) { _useCount = n; }
  void set_protect_type(ProtectType t) { _protectType = t; }
  void set_protect_title(const std::string& t) { _protectTitle = t; }
  // With `encrypt` the text is stored as a salted slow hash (algorithm 0: yescrypt); an empty
  // text clears the password. Without it the text is taken as an already computed hash (the
  // store's loading). False when no hash could be computed (nothing changed).
  bool set_protect_password(const std::string& text, bool encrypt, int algorithm);
  void set_protect_users(const std::vector<std::string>& v) { _protectUsers = v; }
  void set_protect_groups(const std::vector<std::string>& v) { _protectGroups = v; }
  void set_redirect_type(RedirectType t) { _redirectType = t; }
  void set_redirect_uri(const std::string& uri) { _redirectUri = uri; }

  // Enabled, started (no start date, or one not in the future) and not expired (no expiry
  // date, or one in the future), at `now`. The use count is the caller's to weigh.
  bool IsValid(time_t now) const;
  bool IsValid() const { return IsValid(time(nullptr)); }
  bool IsStarted(time_t now) const;
  bool IsExpired(time_t now) const;
  // All visitor sessions the link allows were handed out.
  bool IsUsedUp() const { return _expireTimes > 0 && _useCount >= _expireTimes; }
  // True when `text` is the link's password; with no password set, exactly for "".
  bool IsPasswordValid(const std::string& text) const;

  // A date of SZ_SHARING_TIME_FORMAT as local time; -1 when the text is not one.
  static time_t ParseTime(const std::string& text);

 private:
  std::string _hash;
  std::string _projectName;
  std::string _ownerUser;
  int _ownerUid = -1;
  Json::Value _app;
  bool _enabled = true;
  bool _autoGc = false;
  bool _enableMatchIp = true;
  std::string _startAt;
  std::string _expireAt;
  int _expireTimes = 0;
  int _useCount = 0;
  ProtectType _protectType = PROTECT_NONE;
  std::string _protectTitle;
  std::string _protectPassword;
  std::vector<std::string> _protectUsers;
  std::vector<std::string> _protectGroups;
  RedirectType _redirectType = REDIRECT_NONE;
  std::string _redirectUri;
};

class Session {
 public:
  // The uid of the appliance user who opened the link, -1 when the visitor is not logged in.
  int get_uid() const { return _uid; }
  void set_uid(int uid) { _uid = uid; }
  // The visitor session's id ("" outside a visitor session).
  const std::string& get_token() const { return _token; }
  void set_token(const std::string& token) { _token = token; }

 private:
  int _uid = -1;
  std::string _token;
};

}  // namespace record

// The account name of a uid. False when no account has it.
bool UIDToUser(unsigned int uid, std::string& user);

}  // namespace sharing
}  // namespace VIREO

#endif  // HARBOR_VIREO_SHARING_H_
