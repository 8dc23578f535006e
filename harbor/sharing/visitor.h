// Visitors of sharing links on the web-API server: which requests a visitor session may make.
//
// A visitor's browser holds the cookie "sharing_<hash>" (the visitor session of link <hash>)
// and names the link in the request parameter "_sharing". Such a request is served as the
// link's: IsSharing, GetSharingEntry and GetSharingSession answer, and it may reach only the
// PDF viewer's methods for the link's own share path. Everything else is refused with 105.
#ifndef HARBOR_SHARING_VISITOR_H_
#define HARBOR_SHARING_VISITOR_H_

#include <json/json.h>

#include <string>

#include "vireo/webapi.h"

namespace VIREO {
namespace sharing {

// The parameter that names the link of a visitor request.
#define SZK_VISITOR_PARAM "_sharing"

// The value of cookie `name` in a Cookie header ("" when absent; the first one counts).
std::string CookieValue(const std::string& cookies, const std::string& name);
// The cookie name of link `hash`'s visitor session.
inline std::string VisitorCookieName(const std::string& hash) { return "sharing_" + hash; }

// The methods a visitor may call, and only with "path" equal to the link's "path".
bool IsVisitorMethod(const std::string& api, int version, const std::string& method);

// Authenticates a visitor request of `api`/`version`/`method` with `params` (which name the
// link in SZK_VISITOR_PARAM; that member is removed). 0 with the link's entry, the visitor's
// session and account name ("" for an anonymous visitor); otherwise the error code to answer
// (119 no or unknown visitor session, 105 not allowed).
int AuthenticateVisitor(const std::string& api, int version, const std::string& method,
                        Json::Value& params, const std::string& cookies, const std::string& ip,
                        record::Entry& entry, record::Session& session, std::string& visitor);

}  // namespace sharing
}  // namespace VIREO

#endif  // HARBOR_SHARING_VISITOR_H_
