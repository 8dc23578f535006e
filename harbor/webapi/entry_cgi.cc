// entry.cgi: the web-API server's request program, run by the web server as root, once per
// request (CGI) or as a pool of resident workers (FastCGI, request_pool.h). Reads the parameters, authenticates the caller, dispatches to the plug-in
// that serves the API and writes the JSON answer (unless the handler wrote its own).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "host.h"
#include "request_pool.h"
#include "sharing/visitor.h"

namespace {

using namespace VIREO;
using namespace VIREO::webapi;

const char* const kAuthAPI = "VIREO.API.Auth";

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v != nullptr ? v : "";
}

class Server {
 public:
  void Serve();
  // An exception escaped Serve: whatever the answer was, it is now an internal error.
  void Crashed(const char* what) {
    HARBOR_LOG("request failed: %s", what);
    _headers.clear();  // a session cookie set before the failure must not go out with it
    _response.SetError(WEBAPI_ERR_UNKNOWN, WebAPIErrorText(WEBAPI_ERR_UNKNOWN));
  }
  // Writes the answer; a request that set none gets an internal error, never a success.
  void Write();

 private:
  bool Fail(int code, const Json::Value& errors, const char* why) {
    HARBOR_LOG("refused request from %s: %s", Env("REMOTE_ADDR").c_str(), why);
    _response.SetError(code, errors);
    return false;
  }
  bool ReadParams();
  void Authenticate(const std::string& method);
  bool ParamError(const char* name, bool set) {
    Json::Value e(Json::objectValue);
    e["name"] = name;
    e["reason"] = set ? "type" : "required";
    _response.SetError(WEBAPI_ERR_PARAM, e);
    return false;
  }
  std::string SessionId() const;

  Json::Value _params{Json::objectValue};
  APIResponse _response{stdout};
  std::vector<std::string> _headers;  // extra header lines of our own answer
};

bool Server::ReadParams() {
  std::string why;
  if (!ParseUrlEncoded(Env("QUERY_STRING"), _params, why)) {
    return Fail(WEBAPI_ERR_BAD_REQUEST, why, why.c_str());
  }
  const std::string method = Env("REQUEST_METHOD");
  if (method == "GET" || method == "HEAD") return true;
  if (method != "POST") return Fail(WEBAPI_ERR_BAD_REQUEST, "unsupported HTTP method", method.c_str());

  const std::string lengthText = Env("CONTENT_LENGTH");
  if (lengthText.empty()) return true;
  if (lengthText.size() > 18 || lengthText.find_first_not_of("0123456789") != std::string::npos) {
    return Fail(WEBAPI_ERR_BAD_REQUEST, "bad content length", lengthText.c_str());
  }
  size_t length = std::stoull(lengthText);
  if (length > kMaxBodySize) {
    return Fail(WEBAPI_ERR_TOO_LARGE, WebAPIErrorText(WEBAPI_ERR_TOO_LARGE), "body too large");
  }
  std::string body(length, '\0');
  size_t got = 0;
  while (got < length) {
    size_t n = fread(&body[got], 1, length - got, stdin);
    if (n == 0) break;
    got += n;
  }
  if (got != length) return Fail(WEBAPI_ERR_BAD_REQUEST, "short body", "short body");

  std::string type = Env("CONTENT_TYPE");
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  for (char& c : type) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  bool ok;
  if (type.empty() || type == "application/x-www-form-urlencoded") {
    ok = ParseUrlEncoded(body, _params, why);
  } else if (type == "application/json") {
    ok = length == 0 || ParseJsonBody(body, _params, why);
  } else {
    why = "unsupported content type";
    ok = false;
  }
  return ok || Fail(WEBAPI_ERR_BAD_REQUEST, why, why.c_str());
}

std::string Server::SessionId() const {
  const Json::Value& p = _params["_sid"];
  if (p.isString()) return p.asString();
  // Cookie: "a=b; id=...": the first "id" counts.
  const std::string cookies = Env("HTTP_COOKIE");
  size_t pos = 0;
  while (pos < cookies.size()) {
    size_t end = cookies.find(';', pos);
    if (end == std::string::npos) end = cookies.size();
    std::string c = cookies.substr(pos, end - pos);
    pos = end + 1;
    size_t b = c.find_first_not_of(' ');
    if (b == std::string::npos) continue;
    c = c.substr(b);
    if (c.compare(0, 3, "id=") == 0) return c.substr(3);
  }
  return "";
}

void Server::Authenticate(const std::string& method) {
  SessionStore sessions;
  if (method == "logout") {
    sessions.Remove(SessionId());
    _headers.push_back("Set-Cookie: id=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
    _response.SetSuccess();
    return;
  }
  if (method != "login") {
    _response.SetError(WEBAPI_ERR_NO_SUCH_METHOD, WebAPIErrorText(WEBAPI_ERR_NO_SUCH_METHOD));
    return;
  }
  // Read through a const reference: a missing name must not become a null member.
  const Json::Value& params = _params;
  const Json::Value& account = params["account"];
  const Json::Value& passwd = params["passwd"];
  if (!account.isString()) {
    ParamError("account", params.isMember("account"));
    return;
  }
  if (!passwd.isString()) {
    ParamError("passwd", params.isMember("passwd"));
    return;
  }
  const std::string ip = Env("REMOTE_ADDR");
  if (account.asString().size() > LoginThrottle::kMaxAccountSize) {
    // No account has such a name; keeping it out of the throttle keeps the records small.
    HARBOR_LOG("login with an account name of %zu bytes from %s refused",
               account.asString().size(), ip.c_str());
    _response.SetError(WEBAPI_ERR_LOGIN_FAILED, WebAPIErrorText(WEBAPI_ERR_LOGIN_FAILED));
    return;
  }
  LoginThrottle throttle;
  long wait = throttle.BeginAttempt(account.asString(), ip);
  if (wait > 0) {
    HARBOR_LOG("login of %s from %s refused for %lds after repeated failures",
               account.asCString(), ip.c_str(), wait);
    Json::Value e(Json::objectValue);
    e["wait"] = static_cast<Json::Int64>(wait);
    _response.SetError(WEBAPI_ERR_LOGIN_BLOCKED, e);
    return;
  }
  std::string user, sid;
  if (!CheckPassword(account.asString(), passwd.asString(), user)) {
    HARBOR_LOG("failed login of %s from %s", account.asCString(), ip.c_str());
    _response.SetError(WEBAPI_ERR_LOGIN_FAILED, WebAPIErrorText(WEBAPI_ERR_LOGIN_FAILED));
    return;
  }
  throttle.RecordSuccess(account.asString(), ip);
  if (!sessions.Create(user, sid)) {
    _response.SetError(WEBAPI_ERR_UNKNOWN, "cannot create a session");
    return;
  }
  _headers.push_back("Set-Cookie: id=" + sid + "; Path=/; HttpOnly; SameSite=Strict");
  Json::Value data(Json::objectValue);
  data["sid"] = sid;
  _response.SetSuccess(data);
}

void Server::Serve() {
  if (!ReadParams()) return;
  const Json::Value& params = _params;
  const Json::Value& api = params["api"];
  const Json::Value& version = params["version"];
  const Json::Value& method = params["method"];
  if (!api.isString() || api.asString().empty()) {
    Fail(WEBAPI_ERR_BAD_REQUEST, "api", "no api");
    return;
  }
  if (!method.isString() || method.asString().empty()) {
    Fail(WEBAPI_ERR_BAD_REQUEST, "method", "no method");
    return;
  }
  if (!version.isInt()) {
    Fail(WEBAPI_ERR_BAD_REQUEST, "version", "no version");
    return;
  }
  if (api.asString() == kAuthAPI) {
    if (version.asInt() != 1) {
      _response.SetError(WEBAPI_ERR_BAD_VERSION, WebAPIErrorText(WEBAPI_ERR_BAD_VERSION));
      return;
    }
    Authenticate(method.asString());
    return;
  }

  // A request that names a sharing link is a visitor's: it is served on the link's visitor
  // session alone, whatever login session the browser also holds.
  const bool visitor = params.isMember(SZK_VISITOR_PARAM);
  SessionInfo session;
  sharing::record::Entry link;
  sharing::record::Session linkSession;
  const std::string apiName = api.asString(), methodName = method.asString();
  const int apiVersion = version.asInt();
  int rc = visitor ? sharing::AuthenticateVisitor(apiName, apiVersion, methodName, _params,
                                                  Env("HTTP_COOKIE"), Env("REMOTE_ADDR"), link,
                                                  linkSession, session.user)
                   : SessionStore().Lookup(SessionId(), session);
  if (rc != 0) {
    _response.SetError(rc, WebAPIErrorText(rc));
    return;
  }
  // The session id is the caller's secret, not a parameter for plug-ins to pass on.
  _params.removeMember("_sid");
  APIRequest request(apiName, apiVersion, methodName, _params);
  if (visitor) {
    request.SetLoginUser(session.user, static_cast<unsigned int>(linkSession.get_uid()), false);
    request.SetSharing(link, linkSession);
  } else {
    request.SetLoginUser(session.user, session.uid, session.admin);
  }
  request.SetRemoteIP(Env("REMOTE_ADDR"));
  std::string host = Env("HTTP_HOST");
  if (host.empty() || host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789.-:[]") != std::string::npos) {
    host = Env("SERVER_NAME") + ":" + Env("SERVER_PORT");
  }
  request.SetBaseURL((Env("HTTPS") == "on" ? "https://" : "http://") + host);
  Registry().Dispatch(request, _response);
}

void Server::Write() {
  if (!_response.IsOutputEnabled()) {
    fflush(stdout);
    return;
  }
  if (!_response.IsAnswered()) {
    HARBOR_LOG("request of %s gave no answer", Env("REMOTE_ADDR").c_str());
    _response.SetError(WEBAPI_ERR_UNKNOWN, WebAPIErrorText(WEBAPI_ERR_UNKNOWN));
  }
  fputs("Content-Type: application/json\r\nCache-Control: no-store\r\n", stdout);
  for (const std::string& h : _headers) fprintf(stdout, "%s\r\n", h.c_str());
  fprintf(stdout, "\r\n%s\n", CompactJson(_response.GetAnswer()).c_str());
  fflush(stdout);
}

}  // namespace

// The web server ends a request program with SIGTERM as soon as the answer is complete (its
// announced length arrived, or a file went out through X-Sendfile), which can be before the
// handler has done what follows the answer: removing a handed-out file, writing the transfer
// log. A caught signal (unlike an ignored one) goes back to its default in programs the handler
// runs; the background tasks restore it themselves.
void IgnoreTermination(int) {}

namespace {

void ServeOne() {
  Server server;
  try {
    server.Serve();
  } catch (const std::exception& e) {
    server.Crashed(e.what());
  } catch (...) {
    server.Crashed("unknown exception");
  }
  server.Write();
}

}  // namespace

// Run by the web server either once per request (CGI), or once with a listening FastCGI
// socket as standard input: then it serves requests from a pool of resident workers.
int main() {
  struct sigaction term = {};
  term.sa_handler = IgnoreTermination;
  sigemptyset(&term.sa_mask);
  term.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &term, nullptr);
  openlog("webapi", LOG_NDELAY, LOG_USER);
  if (IsFastCGI()) {
    // Plug-ins stay loaded for a worker's life instead of being loaded for every request.
    KeepPluginsLoaded();
    return RunRequestPool(RequestPoolOptionsFromEnvironment(), ServeOne);
  }
  ServeOne();
  return 0;
}
