#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>

namespace paperlens_test {

namespace {

class Socket {
 public:
  Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  const int fd_;
};

bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text + ": " + strerror(errno);
  return false;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string CompactJson(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  return Json::writeString(b, v);
}

}  // namespace

std::string HttpResponse::Header(const std::string& name) const {
  std::string n = Lower(name);
  for (const auto& h : headers) {
    if (h.first == n) return h.second;
  }
  return "";
}

Json::Value HttpResponse::JsonBody() const {
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  Json::Value v;
  std::string errs;
  if (!r->parse(body.data(), body.data() + body.size(), &v, &errs)) return Json::Value();
  return v;
}

bool HttpExchange(int port, const HttpRequest& request, HttpResponse& response,
                  std::string* error, int timeoutMs) {
  response = HttpResponse();
  Socket s;
  if (s.fd() < 0) return Fail(error, "socket");
  struct timeval tv;
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s.fd(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
    return Fail(error, "connect");
  }
  std::string text = request.method + " " + request.target + " HTTP/1.0\r\n";
  text += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (const auto& h : request.headers) text += h.first + ": " + h.second + "\r\n";
  if (!request.body.empty() || request.method == "POST") {
    text += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
  }
  text += "\r\n";
  text += request.body;
  for (size_t sent = 0; sent < text.size();) {
    ssize_t n = send(s.fd(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      // A server may answer and close before reading a body it refuses; read what it said.
      if (errno == EPIPE || errno == ECONNRESET) break;
      return Fail(error, "send");
    }
    sent += static_cast<size_t>(n);
  }
  std::string in;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(s.fd(), buf, sizeof(buf), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ECONNRESET && !in.empty()) break;
      return Fail(error, "recv");
    }
    if (n == 0) break;
    in.append(buf, static_cast<size_t>(n));
  }
  size_t end = in.find("\r\n\r\n");
  if (end == std::string::npos || in.compare(0, 5, "HTTP/") != 0) {
    if (error != nullptr) *error = "malformed answer: " + in.substr(0, 200);
    return false;
  }
  size_t sp = in.find(' ');
  response.status = atoi(in.c_str() + sp + 1);
  size_t pos = in.find("\r\n") + 2;
  while (pos < end) {
    size_t eol = in.find("\r\n", pos);
    std::string line = in.substr(pos, eol - pos);
    pos = eol + 2;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    size_t b = value.find_first_not_of(" \t");
    response.headers.emplace_back(Lower(line.substr(0, colon)),
                                  b == std::string::npos ? "" : value.substr(b));
  }
  response.body = in.substr(end + 4);
  return true;
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string r;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      r += static_cast<char>(c);
    } else {
      r += '%';
      r += kHex[c >> 4];
      r += kHex[c & 15];
    }
  }
  return r;
}

std::string EncodeParams(const Json::Value& params) {
  std::string r;
  for (const std::string& name : params.getMemberNames()) {
    if (!r.empty()) r += '&';
    r += UrlEncode(name) + "=" + UrlEncode(CompactJson(params[name]));
  }
  return r;
}

std::string WebClient::Query(const std::string& api, int version, const std::string& method,
                             const Json::Value& params) const {
  std::string q = "api=" + UrlEncode(api) + "&version=" + std::to_string(version) +
                  "&method=" + UrlEncode(method);
  std::string rest = EncodeParams(params);
  return rest.empty() ? q : q + "&" + rest;
}

HttpResponse WebClient::Send(HttpRequest request) {
  if (!_sid.empty()) request.headers.emplace_back("Cookie", "id=" + _sid);
  HttpResponse response;
  std::string error;
  if (!HttpExchange(_port, request, response, &error)) response.body = "";
  return response;
}

HttpResponse WebClient::Raw(const std::string& api, int version, const std::string& method,
                            const Json::Value& params) {
  HttpRequest r;
  r.target = "/webapi/entry.cgi?" + Query(api, version, method, params);
  return Send(r);
}

Json::Value WebClient::Call(const std::string& api, int version, const std::string& method,
                            const Json::Value& params) {
  return Raw(api, version, method, params).JsonBody();
}

Json::Value WebClient::Post(const std::string& api, int version, const std::string& method,
                            const Json::Value& params) {
  HttpRequest r;
  r.method = "POST";
  r.target = "/webapi/entry.cgi";
  r.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  r.body = Query(api, version, method, params);
  return Send(r).JsonBody();
}

Json::Value WebClient::Login(const std::string& account, const std::string& passwd) {
  Json::Value p(Json::objectValue);
  p["account"] = account;
  p["passwd"] = passwd;
  _sid.clear();
  Json::Value answer = Post("VIREO.API.Auth", 1, "login", p);
  if (answer["success"].asBool()) _sid = answer["data"]["sid"].asString();
  return answer;
}

Json::Value WebClient::Logout() {
  Json::Value answer = Call("VIREO.API.Auth", 1, "logout");
  _sid.clear();
  return answer;
}

}  // namespace paperlens_test
