// A small HTTP client for tests that talk to the appliance's web server over real sockets, and
// a web-API client on top of it (login, calls, raw answers for downloads and own bodies).
//
// Requests go to 127.0.0.1 as HTTP/1.0, so the server closes the connection after the answer
// and bodies are never chunked.
#ifndef PAPERLENS_TESTS_SUPPORT_HTTP_CLIENT_H_
#define PAPERLENS_TESTS_SUPPORT_HTTP_CLIENT_H_

#include <json/json.h>

#include <string>
#include <utility>
#include <vector>

namespace paperlens_test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";
  std::string target = "/";  // path and query
  HeaderList headers;
  std::string body;          // sent with a Content-Length when non-empty or for POST
};

struct HttpResponse {
  int status = 0;
  HeaderList headers;  // names lower-cased, in order
  std::string body;

  // The first header of that name (any case), "" when there is none.
  std::string Header(const std::string& name) const;
  // The body as JSON; null when it is not JSON.
  Json::Value JsonBody() const;
};

// One exchange with 127.0.0.1:`port`. False, with `error` set, when the connection, the
// exchange or the answer's parsing fails, or nothing arrives for `timeoutMs`.
bool HttpExchange(int port, const HttpRequest& request, HttpResponse& response,
                  std::string* error = nullptr, int timeoutMs = 30000);

// Percent-encodes everything but unreserved characters.
std::string UrlEncode(const std::string& text);
// "name=value&..." from an object; every value is sent as its compact JSON text (so a string
// travels quoted, and the server never mistakes "123" or "[x]" for something else).
std::string EncodeParams(const Json::Value& params);

// A web-API client: one login session (the cookie "id") at a time.
class WebClient {
 public:
  explicit WebClient(int port) : _port(port) {}

  // VIREO.API.Auth login; on success keeps the session id. Returns the JSON answer.
  Json::Value Login(const std::string& account, const std::string& passwd);
  // VIREO.API.Auth logout; forgets the session id.
  Json::Value Logout();
  const std::string& Sid() const { return _sid; }
  // Uses another session id from now on ("" for none).
  void SetSid(const std::string& sid) { _sid = sid; }

  // Calls a method (GET, parameters in the query string) and returns its JSON answer (null
  // when the answer is not JSON, or the exchange failed).
  Json::Value Call(const std::string& api, int version, const std::string& method,
                   const Json::Value& params = Json::Value(Json::objectValue));
  // As Call, with the parameters in a url-encoded POST body.
  Json::Value Post(const std::string& api, int version, const std::string& method,
                   const Json::Value& params = Json::Value(Json::objectValue));
  // The whole answer of a call (for downloads and bodies handlers write themselves).
  HttpResponse Raw(const std::string& api, int version, const std::string& method,
                   const Json::Value& params = Json::Value(Json::objectValue));
  // Any request, with the session cookie added when there is a session.
  HttpResponse Send(HttpRequest request);

  int Port() const { return _port; }

 private:
  std::string Query(const std::string& api, int version, const std::string& method,
                    const Json::Value& params) const;

  const int _port;
  std::string _sid;
};

}  // namespace paperlens_test

#endif  // PAPERLENS_TESTS_SUPPORT_HTTP_CLIENT_H_
