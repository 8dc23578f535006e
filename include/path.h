// path::Path: a file addressed by share path (/docs/plans/q3.xlsx, /home/report.docx) or by real
// path, with derived attributes (real path, file name, type, EA stream paths) computed on first
// use and cached in the object. Nothing invalidates the cache: a caller that changes
// "sharePath" after "realPath" was derived clears "realPath" itself.
//
// A share path is refused (the getters return their default, the free functions return false
// after a "bad share path" log line) when it is empty, does not begin with "/", holds a NUL byte,
// or has a "." or ".." component or an empty component before one (/docs//../x): such paths
// could otherwise resolve outside their share. A path with an @eaDir component is refused too:
// what lies in EA folders (other users' cached PDFs) is no document.
//
// Resolution is textual: a real path is not proof that the file may be read. Root-run code opens
// the file itself through safe_file.h, which decides on the very file it returns.
//
// Besides the keys below, a caller that checked a file may record its identity as "device" and
// "inode" (unsigned integers, from fstat): a conversion of the Path then refuses any other file
// found under that name.
//
// Not safe for concurrent use; the permission tests change the process's effective ids.
#ifndef PAPERLENS_INCLUDE_PATH_H_
#define PAPERLENS_INCLUDE_PATH_H_

#include <json/json.h>

#include <string>

#include "vireo/apibase.h"

namespace VIREO {
namespace PAPERLENS {

extern const int HOME_LENGTH;

namespace path {

class Path : private VIREO::APIBase {
 public:
  Path() { InitField(kSection); }
  ~Path() override {}

  // The "path" section: "sharePath", "user", "realPath", "fileType", "EAType", "EAPath".
  bool SetData(const std::string& key, const Json::Value& value, bool flag) override {
    return APIBase::SetData(kSection, key, value, flag);
  }
  bool HasData(const std::string& key) const override { return APIBase::HasData(kSection, key); }
  bool SetData(const Json::Value& value, bool flag) override {
    return APIBase::SetData(kSection, value, flag);
  }
  const Json::Value GetData(const std::string& key, const Json::Value& def) const override {
    return APIBase::GetData(kSection, key, def);
  }
  bool ClearData(const std::string& key) override { return APIBase::ClearData(kSection, key); }

  using APIBase::InitField;

  std::string GetSharePath(const std::string& def) const { return GetString("sharePath", def); }
  std::string GetUser(const std::string& def) const { return GetString("user", def); }
  std::string GetEAType(const std::string& def) const { return GetString("EAType", def); }

  // The stored real path, or the share path resolved for the stored user (then cached).
  std::string GetRealPath(const std::string& def);
  // The text after the last "/" of the real path ("" for a path ending in "/").
  std::string GetFileName(const std::string& def);
  // The lower-case type word of the real path (cached).
  std::string GetFileType(const std::string& def);
  // The path of the "EAType" stream (cached); creates the @eaDir directory when missing.
  std::string GetEAPath(const std::string& def);
  // The path of stream `type` (not cached); creates the @eaDir directory when missing.
  std::string GetEAPathWithType(const std::string& type, const std::string& def);
  // Read permission of the stored user on the real path; false without a user.
  bool CheckPermission();
  bool CheckPermission(const std::string& user);

 private:
  static constexpr const char* kSection = "path";

  std::string GetString(const char* key, const std::string& def) const {
    const Json::Value v = APIBase::GetData(kSection, key, Json::Value());
    return v.isString() ? v.asString() : def;
  }
};

// Resolves a share path for `user` (the home share /home/... to the user's home directory,
// any other share through the share registry). False, logged, for a bad or unknown share path.
bool ShareToRealPath(const std::string& sharePath, std::string& realPath, const std::string& user);
// The path of stream `EAType` of a file; creates the @eaDir directory as root when missing
// (root's alone, reached without links, never above the folder of the file's share). An
// existing EA folder that is a link or not root's is logged and its path still given: every
// use of it is refused later, so it only ever makes a cache miss.
bool RealPathToEAPath(const std::string& realPath, std::string& EAPath, const std::string& EAType);
// Whether `user` may read the file, as the kernel decides for that user's credentials
// (mode bits and POSIX ACLs). The effective ids (and groups) are restored before returning.
bool HasReadPermission(const std::string& realPath, const std::string& user);
// Whether the share of `sharePath` lies on a Megavault volume.
bool IsMegavault(const std::string& sharePath);
// Whether a share path is well-formed (see the top of this file). Logs nothing.
bool IsValidSharePath(const std::string& sharePath);

}  // namespace path
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_PATH_H_
