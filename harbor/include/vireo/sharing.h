// Records of the sharing-link service: a link's entry and a visitor's session.
//
// Plain values: copyable, no I/O. The store that keeps them (and hands them to requests that
// come through a link) lives elsewhere; a request that did not come through a link carries a
// default-constructed entry and session.
#ifndef HARBOR_VIREO_SHARING_H_
#define HARBOR_VIREO_SHARING_H_

#include <json/json.h>

#include <string>

namespace VIREO {
namespace sharing {
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

  void set_hash(const std::string& hash) { _hash = hash; }
  void set_project_name(const std::string& name) { _projectName = name; }
  void set_owner_user(const std::string& user) { _ownerUser = user; }
  void set_owner_uid(int uid) { _ownerUid = uid; }
  // A value that is not an object is stored as an empty object.
  void set_app(const Json::Value& app) { _app = app.isObject() ? app : Json::Value(Json::objectValue); }

 private:
  std::string _hash;
  std::string _projectName;
  std::string _ownerUser;
  int _ownerUid = -1;
  Json::Value _app;
};

class Session {
 public:
  // The uid of the appliance user who opened the link, -1 when the visitor is not logged in.
  int get_uid() const { return _uid; }
  void set_uid(int uid) { _uid = uid; }

 private:
  int _uid = -1;
};

}  // namespace record
}  // namespace sharing
}  // namespace VIREO

#endif  // HARBOR_VIREO_SHARING_H_
