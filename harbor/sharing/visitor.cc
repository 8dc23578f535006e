// Visitor sessions on the web-API server.
#include "visitor.h"

#include <syslog.h>
#include <unistd.h>

#include "vireo/sharing_db.h"

namespace VIREO {
namespace sharing {

std::string CookieValue(const std::string& cookies, const std::string& name) {
  size_t pos = 0;
  const std::string prefix = name + "=";
  while (pos < cookies.size()) {
    size_t end = cookies.find(';', pos);
    if (end == std::string::npos) end = cookies.size();
    std::string c = cookies.substr(pos, end - pos);
    pos = end + 1;
    size_t b = c.find_first_not_of(' ');
    if (b == std::string::npos) continue;
    c = c.substr(b);
    if (c.compare(0, prefix.size(), prefix) == 0) return c.substr(prefix.size());
  }
  return "";
}

bool IsVisitorMethod(const std::string& api, int version, const std::string& method) {
  return api == "VIREO.Folium" && version == 1 &&
         (method == "get" || method == "get_perm" || method == "download" || method == "print");
}

int AuthenticateVisitor(const std::string& api, int version, const std::string& method,
                        Json::Value& params, const std::string& cookies, const std::string& ip,
                        record::Entry& entry, record::Session& session, std::string& visitor) {
  const Json::Value hashValue = params[SZK_VISITOR_PARAM];
  params.removeMember(SZK_VISITOR_PARAM);
  if (!hashValue.isString() || !db::IsWellFormedHash(hashValue.asString())) return 119;
  const std::string hash = hashValue.asString();
  const std::string token = CookieValue(cookies, VisitorCookieName(hash));
  db::TokenDB tokens;
  if (token.empty() || !tokens.Lookup(token, ip, entry, session) || entry.get_hash() != hash) {
    return 119;
  }
  // The owner's permissions stand in for the visitor: only the shared file, only through the
  // viewer.
  const Json::Value& linkPath = entry.get_app()["path"];
  const Json::Value& path = params["path"];
  if (!IsVisitorMethod(api, version, method) ||
      !linkPath.isString() || linkPath.asString().empty() || !path.isString() ||
      path.asString() != linkPath.asString()) {
    syslog(LOG_ERR, "%s:%d (%d) visitor of link %s refused %s %s", __FILE__, __LINE__,
           static_cast<int>(getpid()), hash.c_str(), api.c_str(), method.c_str());
    return 105;
  }
  visitor.clear();
  if (session.get_uid() >= 0 && !UIDToUser(static_cast<unsigned int>(session.get_uid()), visitor)) {
    return 119;
  }
  return 0;
}

}  // namespace sharing
}  // namespace VIREO
