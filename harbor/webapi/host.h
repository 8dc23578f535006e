// The web-API server's inner parts, shared by the request program (entry.cgi), the nested
// calls of APIRunner and the tests: request parameter parsing, plug-in lookup and dispatch,
// sessions, passwords and the failed-login throttle. Not part of the plug-ins' interface.
#ifndef HARBOR_WEBAPI_HOST_H_
#define HARBOR_WEBAPI_HOST_H_

#include <errno.h>
#include <json/json.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vireo/webapi.h"

// "file:line (pid) text" at error priority, as the package logs. The text is escaped (see
// EscapeLogText), so what a request sent can never start a line of its own in the log.
#define HARBOR_LOG(fmt, ...) ::VIREO::webapi::LogLine(__FILE__, __LINE__, fmt, ##__VA_ARGS__)

namespace VIREO {
namespace webapi {

// ---- Logging -------------------------------------------------------------------------------

// Longest text one log line keeps; the rest is cut with a note of how much went. Without a
// bound one huge request value would make a datagram the log receiver drops whole.
constexpr size_t kMaxLogText = 4096;

// `text` with every control byte (below 0x20, and 0x7f) and the backslash written as "\xHH",
// so a log line holds no line breaks or terminal controls it did not mean to, and every byte
// of the original can be read back from it.
inline std::string EscapeLogText(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Formats like printf (%m included), cuts the text at kMaxLogText, escapes it and logs
// "file:line (pid) text" at error priority. Leaves errno as it was.
inline void LogLine(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
inline void LogLine(const char* file, int line, const char* fmt, ...) {
  const int saved = errno;
  char buf[kMaxLogText + 1];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  std::string text = n < 0 ? std::string(fmt) : std::string(buf);
  if (n > static_cast<int>(kMaxLogText)) {
    text += "... (" + std::to_string(n - static_cast<int>(kMaxLogText)) + " more bytes)";
  }
  syslog(LOG_ERR, "%s:%d (%d) %s", file, line, static_cast<int>(getpid()),
         EscapeLogText(text).c_str());
  errno = saved;
}

using EntryFunc = void (*)(APIRequest*, APIResponse*);
using CheckFunc = bool (*)(APIRequest*, APIResponse*);

// ---- Answer bodies -------------------------------------------------------------------------

// Takes over SendBody(out, fd) for a regular file `fd`, examined as `st`, when it can (a
// resident worker handing the file to the web server): true when it did, false when it wrote
// nothing and the bytes must be copied. Set by the request pool for the stream of the request
// it serves; null everywhere else.
using BodyHandoff = bool (*)(FILE* out, int fd, const struct stat& st);
void SetBodyHandoff(BodyHandoff handoff);

// ---- Parameters ----------------------------------------------------------------------------

// Largest request body read (larger ones are refused before reading).
constexpr size_t kMaxBodySize = 1 << 20;

// Strict percent-decoding ("+" is a space). False for a "%" not followed by two hex digits, and
// for an encoded NUL byte.
bool PercentDecode(const std::string& text, std::string& out);
// A parameter's value as sent: true, false, null, JSON numbers, and texts that begin with
// "{", "[" or '"' are JSON and must parse in full; any other text is a string. False (with
// `why`) for JSON-looking text that does not parse.
bool ParamValue(const std::string& text, Json::Value& value, std::string& why);
// Adds the parameters of an "a=1&b=x" text to the object `params`. False (with `why`) for bad
// encoding, bad JSON, or a name given twice (here or already in `params`).
bool ParseUrlEncoded(const std::string& text, Json::Value& params, std::string& why);
// Adds the members of a JSON object body. False for a body that is not one object, or that
// repeats a name already in `params`.
bool ParseJsonBody(const std::string& text, Json::Value& params, std::string& why);

// ---- Plug-ins ------------------------------------------------------------------------------

// Row layouts of the plug-in tables, read as raw little-endian bytes.
constexpr size_t kMethodRowSize = 32;
constexpr size_t kCheckRowSize = 48;

// A loaded plug-in; unloaded with the object.
class Plugin {
 public:
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;
  ~Plugin();

  // Loads the shared object and fetches its two tables. Null, logged, on failure.
  static std::unique_ptr<Plugin> Load(const std::string& path);

  struct Method {
    EntryFunc entry = nullptr;
    CheckFunc check = nullptr;  // null when the check table has no row for the method
  };
  // Looks up (api, version, method): 0 with `out` filled, or WEBAPI_ERR_NO_SUCH_API,
  // WEBAPI_ERR_NO_SUCH_METHOD, WEBAPI_ERR_BAD_VERSION.
  int Find(const std::string& api, int version, const std::string& method, Method& out) const;

 private:
  explicit Plugin(void* handle) : _handle(handle) {}

  void* const _handle;
  const unsigned char* _methods = nullptr;
  const unsigned char* _checks = nullptr;
};

// Decodes rows of a table (tests use these to read tables as the server does). A zero row
// ends a table; tables longer than 4096 rows are cut there.
struct MethodRow {
  std::string api;
  long long version;
  std::string method;
  void* function;
};
std::vector<MethodRow> ReadMethodTable(const void* table);
std::vector<MethodRow> ReadCheckTable(const void* table);  // the reserved words must be zero

// The folders searched for descriptor files ("*.lib": a JSON object mapping API names to
// {"lib": shared object path, relative to the descriptor's folder unless absolute, and
// optionally "admin_only": true for APIs only administrators may call}), in order;
// the first descriptor that names an API wins.
std::vector<std::string> DefaultDescriptorDirs();

// From now on, plug-ins a Registry loads stay loaded for the rest of the process's life and are
// shared by later registries (a resident request worker loads each plug-in once).
void KeepPluginsLoaded();

class Registry {
 public:
  explicit Registry(std::vector<std::string> dirs = DefaultDescriptorDirs());

  // The shared object that serves `api`; "" when no descriptor names it. `adminOnly` (optional)
  // tells whether its descriptor keeps it to administrators ("admin_only": true).
  std::string FindLibrary(const std::string& api, bool* adminOnly = nullptr) const;

  // Runs the request's method: finds its plug-in and rows, runs the check function and, when
  // it passes, the entry function. Every failure ends as an error on `response` (and a log
  // line); exceptions that escape the plug-in are caught.
  void Dispatch(APIRequest& request, APIResponse& response);

 private:
  std::vector<std::string> _dirs;
  std::map<std::string, std::unique_ptr<Plugin>> _loaded;  // by library path
};

// ---- Accounts, sessions and logins ---------------------------------------------------------

// Checks a password against the account database (/etc/shadow). True with the account's
// canonical name; false for an unknown or locked account and for a wrong password alike.
bool CheckPassword(const std::string& account, const std::string& password, std::string& user);
// Whether the user belongs to the group (as primary or secondary group).
bool IsMemberOf(const std::string& user, const std::string& group);
// Whether the user is a member of "administrators".
bool IsAdministrator(const std::string& user);

// Small file helpers shared by the sessions, the throttle and the task states.
bool ReadJsonFile(const std::string& path, Json::Value& value);
// Replaces `path` by a fully written file (mode 0600), so readers never see a torn one.
bool WriteJsonFile(const std::string& path, const Json::Value& value);
// Compact single-line JSON text.
std::string CompactJson(const Json::Value& value);
// mkdir -p with mode 0700 for what it creates.
bool EnsureDir(const std::string& dir);

struct SessionInfo {
  std::string user;
  unsigned int uid = 0;
  bool admin = false;
};

// Login sessions, one file per session (named by its id, mode 0600) in a root-only folder.
class SessionStore {
 public:
  static const char* const kDefaultDir;
  static constexpr long kLifetimeSecs = 12 * 3600;

  explicit SessionStore(const std::string& dir = kDefaultDir, long lifetime = kLifetimeSecs);

  // A new session for `user` with a fresh id of 128 random bits (32 hex digits). Also removes
  // expired sessions. False, logged, when it cannot be stored.
  bool Create(const std::string& user, std::string& sid);
  // 0 with `info` for a live session; WEBAPI_ERR_NO_SESSION for a malformed or unknown id or
  // a session whose user no longer exists; WEBAPI_ERR_SESSION_EXPIRED (and the session is
  // removed) after its lifetime.
  int Lookup(const std::string& sid, SessionInfo& info) const;
  void Remove(const std::string& sid) const;

  static bool IsWellFormed(const std::string& sid);

 private:
  std::string _dir;
  long _lifetime;
};

// Failed logins per (account, client address). After kFreeFailures failures in a row, further
// attempts are refused without checking the password, for a pause that doubles with every
// further failure (from kBasePauseSecs up to kMaxPauseSecs). A success clears the record.
//
// The records live in one JSON file, changed only under an exclusive lock on a companion file,
// so the login requests of every process see one another. The file stays bounded: records
// quiet for a day are forgotten, and past `maxKeys` records the oldest are dropped.
class LoginThrottle {
 public:
  static const char* const kDefaultPath;
  static constexpr int kFreeFailures = 5;
  static constexpr long kBasePauseSecs = 30;
  static constexpr long kMaxPauseSecs = 900;
  static constexpr size_t kMaxKeys = 2048;
  // Longer account names are refused before they reach the throttle or the account database.
  static constexpr size_t kMaxAccountSize = 256;

  explicit LoginThrottle(const std::string& path = kDefaultPath, size_t maxKeys = kMaxKeys)
      : _path(path), _maxKeys(maxKeys) {}

  // Seconds the key must still wait (0: may try now). Only a look: it records nothing.
  long Pause(const std::string& account, const std::string& ip) const;
  // One transaction that decides whether a password may be checked now and, when it may,
  // records the attempt as a failure before anyone else decides: so no burst of parallel
  // attempts gets more than kFreeFailures checks through. Returns 0 when the caller may check
  // the password (and must call RecordSuccess if it was right), otherwise the seconds to wait
  // (nothing recorded). When the record cannot be stored the attempt is refused, logged: a
  // throttle that cannot count must not let guesses through uncounted.
  long BeginAttempt(const std::string& account, const std::string& ip) const;
  void RecordSuccess(const std::string& account, const std::string& ip) const;

 private:
  const std::string _path;
  const size_t _maxKeys;
};

// Random bytes as lower-case hex. False when the kernel's generator fails.
bool RandomHex(size_t bytes, std::string& out);

}  // namespace webapi
}  // namespace VIREO

#endif  // HARBOR_WEBAPI_HOST_H_
