// sharing.cgi: the visitor's door of a sharing link, /sharing/<hash> (the web server passes the
// hash as the query parameter "hash"). Run once per request, as root.
//
//   - an unknown link, and links that are disabled, not started yet, expired or used up, get a
//     page that says so;
//   - a password-protected link asks for the password (POST "password"); failures are
//     throttled per link and client address;
//   - a user-protected link needs the login of an invited user or a member of an invited group
//     (the browser's login session, or POST "account" and "passwd");
//   - an admitted visitor gets a visitor session (the cookie "sharing_<hash>"), which counts
//     as one use of the link, and a page that shows the shared PDF through the PDF viewer's
//     "get". A visitor who already holds a live session is not counted again.
#include <stdio.h>
#include <stdlib.h>
#include <ctype.h>
#include <strings.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "host.h"
#include "visitor.h"
#include "vireo/sdk.h"
#include "vireo/sharing_db.h"
#include "vireo/webutils.h"

namespace {

using namespace VIREO;
using sharing::record::Entry;

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v != nullptr ? v : "";
}

std::string Html(const std::string& text) { return WebUtils::EncodeHtml(text, true); }

struct Page {
  int status = 200;
  std::string title;
  std::string body;  // HTML
  std::vector<std::string> headers;
};

void Write(const Page& page) {
  static const char* kReasons[] = {"OK", "Forbidden", "Not Found", "Too Many Requests",
                                   "Internal Server Error", "Gone"};
  const char* reason = page.status == 200   ? kReasons[0]
                       : page.status == 403 ? kReasons[1]
                       : page.status == 404 ? kReasons[2]
                       : page.status == 429 ? kReasons[3]
                       : page.status == 410 ? kReasons[5]
                                            : kReasons[4];
  printf("Status: %d %s\r\n", page.status, reason);
  fputs("Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
        "Content-Security-Policy: default-src 'none'; frame-src 'self'; style-src 'unsafe-inline';"
        " form-action 'self'; frame-ancestors 'none'\r\n"
        "Referrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n",
        stdout);
  for (const std::string& h : page.headers) printf("%s\r\n", h.c_str());
  printf("\r\n<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%s</title></head>\n"
         "<body>\n%s\n</body></html>\n",
         Html(page.title).c_str(), page.body.c_str());
  fflush(stdout);
}

Page Message(int status, const std::string& title, const std::string& text,
             const std::string& state) {
  Page p;
  p.status = status;
  p.title = title;
  p.body = "<h1>" + Html(title) + "</h1>\n<p id=\"state\" data-state=\"" + Html(state) + "\">" +
           Html(text) + "</p>";
  return p;
}

std::string FormAction(const std::string& hash) { return "/sharing/" + hash; }

Page PasswordForm(const Entry& e, const std::string& note) {
  Page p;
  p.title = e.get_protect_title().empty() ? "Protected link" : e.get_protect_title();
  p.body = "<h1>" + Html(p.title) + "</h1>\n<p id=\"state\" data-state=\"password\">" +
           Html(note.empty() ? "This link is protected by a password." : note) +
           "</p>\n<form method=\"post\" action=\"" + Html(FormAction(e.get_hash())) +
           "\"><input type=\"password\" name=\"password\" autofocus>"
           "<button type=\"submit\">Open</button></form>";
  return p;
}

Page LoginForm(const Entry& e, const std::string& note) {
  Page p;
  p.title = "Sign in to open this link";
  p.body = "<h1>" + Html(p.title) + "</h1>\n<p id=\"state\" data-state=\"login\">" +
           Html(note.empty() ? "This link is for invited users." : note) +
           "</p>\n<form method=\"post\" action=\"" + Html(FormAction(e.get_hash())) +
           "\"><input name=\"account\" autocomplete=\"username\">"
           "<input type=\"password\" name=\"passwd\" autocomplete=\"current-password\">"
           "<button type=\"submit\">Sign in</button></form>";
  return p;
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

Page Viewer(const Entry& e) {
  const std::string path = e.get_app()["path"].asString();
  const std::string name = e.get_app()["name"].isString() && !e.get_app()["name"].asString().empty()
                               ? e.get_app()["name"].asString()
                               : path.substr(path.rfind('/') + 1);
  // The path travels as a JSON string, so no text is mistaken for a number or an object.
  Json::Value quoted(path);
  const std::string call = "/webapi/entry.cgi?api=VIREO.Folium&version=1&" SZK_VISITOR_PARAM "=" +
                           e.get_hash() + "&path=" + UrlEncode(webapi::CompactJson(quoted));
  Page p;
  p.title = name;
  p.body = "<h1>" + Html(name) + "</h1>\n<p id=\"state\" data-state=\"view\"></p>\n"
           "<iframe id=\"viewer\" style=\"width:100%;height:85vh;border:0\" src=\"" +
           Html(call + "&method=get") + "\"></iframe>\n<p><a id=\"download\" href=\"" +
           Html(call + "&method=download") + "\">Download</a> <a id=\"print\" href=\"" +
           Html(call + "&method=print") + "\" target=\"_blank\">Print</a></p>";
  return p;
}

bool IsInvited(const Entry& e, const std::string& user) {
  for (const std::string& u : e.get_protect_users()) {
    if (strcasecmp(u.c_str(), user.c_str()) == 0) return true;
  }
  for (const std::string& g : e.get_protect_groups()) {
    if (webapi::IsMemberOf(user, g)) return true;
  }
  return false;
}

class Door {
 public:
  Page Serve();

 private:
  Page Admit(const Entry& e, int uid);

  Json::Value _params{Json::objectValue};
  const std::string _ip = Env("REMOTE_ADDR");
};

Page Door::Admit(const Entry& e, int uid) {
  std::string token;
  switch (sharing::db::TokenDB().Create(e.get_hash(), uid, _ip, token)) {
    case sharing::db::TokenDB::kCreated: break;
    case sharing::db::TokenDB::kUsedUp:
      return Message(410, "Link used up", "This sharing link has been used up.", "used_up");
    default:
      return Message(500, "Error", "The link cannot be opened now.", "error");
  }
  Page p = Viewer(e);
  p.headers.push_back("Set-Cookie: " + sharing::VisitorCookieName(e.get_hash()) + "=" + token +
                      "; Path=/; HttpOnly; SameSite=Strict");
  return p;
}

Page Door::Serve() {
  std::string why;
  if (!webapi::ParseUrlEncoded(Env("QUERY_STRING"), _params, why)) {
    return Message(404, "Not found", "This sharing link does not exist.", "not_found");
  }
  if (Env("REQUEST_METHOD") == "POST") {
    const std::string lengthText = Env("CONTENT_LENGTH");
    size_t length = lengthText.empty() || lengthText.size() > 6 ||
                            lengthText.find_first_not_of("0123456789") != std::string::npos
                        ? 0
                        : std::stoul(lengthText);
    if (length > 65536) return Message(403, "Refused", "The request is too large.", "error");
    std::string body(length, '\0');
    size_t got = 0;
    while (got < length) {
      size_t n = fread(&body[got], 1, length - got, stdin);
      if (n == 0) break;
      got += n;
    }
    body.resize(got);
    Json::Value form(Json::objectValue);
    if (!webapi::ParseUrlEncoded(body, form, why)) {
      return Message(403, "Refused", "The form could not be read.", "error");
    }
    for (const std::string& k : form.getMemberNames()) {
      if (k != "hash") _params[k] = form[k];
    }
  }
  const Json::Value& params = _params;
  const std::string hash = params["hash"].isString() ? params["hash"].asString() : "";
  Entry e;
  if (!sharing::db::IsWellFormedHash(hash) || !sharing::db::EntryDB().GetByHash(hash, e)) {
    return Message(404, "Not found", "This sharing link does not exist.", "not_found");
  }

  // A visitor who holds a live session of this link is let in without counting again.
  {
    Entry known;
    sharing::record::Session session;
    std::string token = sharing::CookieValue(Env("HTTP_COOKIE"), sharing::VisitorCookieName(hash));
    if (!token.empty() && sharing::db::TokenDB().Lookup(token, _ip, known, session)) {
      return Viewer(known);
    }
  }
  const time_t now = time(nullptr);
  if (!e.get_enabled()) {
    return Message(403, "Link disabled", "This sharing link is disabled.", "disabled");
  }
  if (!e.IsStarted(now)) {
    return Message(403, "Not available yet", "This sharing link is not available yet.",
                   "not_started");
  }
  if (e.IsExpired(now)) {
    return Message(410, "Link expired", "This sharing link has expired.", "expired");
  }
  if (e.IsUsedUp()) {
    return Message(410, "Link used up", "This sharing link has been used up.", "used_up");
  }

  switch (e.get_protect_type()) {
    case Entry::PROTECT_NONE:
      return Admit(e, -1);

    case Entry::PROTECT_PASSWORD: {
      const Json::Value& password = params["password"];
      if (!password.isString()) return PasswordForm(e, "");
      sharing::db::AttemptThrottle throttle;
      long wait = throttle.BeginAttempt(hash, _ip);
      if (wait > 0) {
        HARBOR_LOG("password of link %s from %s refused for %lds", hash.c_str(), _ip.c_str(), wait);
        Page p = PasswordForm(e, "Too many attempts. Try again in " + std::to_string(wait) +
                                     " seconds.");
        p.status = 429;
        p.headers.push_back("Retry-After: " + std::to_string(wait));
        return p;
      }
      if (!e.IsPasswordValid(password.asString())) {
        HARBOR_LOG("wrong password for link %s from %s", hash.c_str(), _ip.c_str());
        Page p = PasswordForm(e, "Wrong password.");
        p.status = 403;
        return p;
      }
      throttle.RecordSuccess(hash, _ip);
      return Admit(e, -1);
    }

    case Entry::PROTECT_USER: {
      std::string user;
      webapi::SessionInfo login;
      std::string sid = sharing::CookieValue(Env("HTTP_COOKIE"), "id");
      if (!sid.empty() && webapi::SessionStore().Lookup(sid, login) == 0) {
        user = login.user;
      } else if (params["account"].isString() && params["passwd"].isString()) {
        const std::string account = params["account"].asString();
        if (account.size() > webapi::LoginThrottle::kMaxAccountSize) {
          return LoginForm(e, "Wrong account or password.");
        }
        webapi::LoginThrottle throttle;
        long wait = throttle.BeginAttempt(account, _ip);
        if (wait > 0) {
          Page p = LoginForm(e, "Too many attempts. Try again in " + std::to_string(wait) +
                                    " seconds.");
          p.status = 429;
          return p;
        }
        if (!webapi::CheckPassword(account, params["passwd"].asString(), user)) {
          Page p = LoginForm(e, "Wrong account or password.");
          p.status = 403;
          return p;
        }
        throttle.RecordSuccess(account, _ip);
      } else {
        return LoginForm(e, "");
      }
      if (!IsInvited(e, user)) {
        HARBOR_LOG("%s is not invited to link %s", user.c_str(), hash.c_str());
        return Message(403, "Not invited", "This link is not shared with you.", "not_invited");
      }
      PVIREOUSER record = nullptr;
      if (VIREOUserGet(user.c_str(), &record) != 0 || record == nullptr) {
        return Message(403, "Not invited", "This link is not shared with you.", "not_invited");
      }
      int uid = static_cast<int>(record->uid);
      VIREOUserFree(record);
      return Admit(e, uid);
    }
  }
  return Message(500, "Error", "The link cannot be opened now.", "error");
}

}  // namespace

int main() {
  openlog("sharing", LOG_NDELAY, LOG_USER);
  Page page;
  try {
    page = Door().Serve();
  } catch (const std::exception& e) {
    HARBOR_LOG("sharing door failed: %s", e.what());
    page = Message(500, "Error", "The link cannot be opened now.", "error");
  }
  Write(page);
  return 0;
}
