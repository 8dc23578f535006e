// The web-API server's interface to its plug-ins: the request a handler reads, the response it
// fills, typed parameter access with validators, file downloads, background tasks and nested
// calls of other APIs.
//
// One request is served by one process (the server's request program, or a test); none of
// these classes is safe for concurrent use from several threads. Background tasks run in
// processes of their own and keep their state in files, so any request process can poll them.
#ifndef HARBOR_VIREO_WEBAPI_H_
#define HARBOR_VIREO_WEBAPI_H_

#include <json/json.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vireo/sharing.h"

namespace VIREO {

// Error codes of the server itself, as clients see them in "error"."code". Plug-ins report
// their own codes through APIResponse::SetError; 120 is shared with their check functions.
enum WebAPIError {
  WEBAPI_ERR_UNKNOWN = 100,          // the server failed (an escaped exception, a failed fork)
  WEBAPI_ERR_BAD_REQUEST = 101,      // malformed request: encoding, duplicate or unparsable
                                     // parameter, "api"/"version"/"method" missing or mistyped
  WEBAPI_ERR_NO_SUCH_API = 102,      // no plug-in serves the API
  WEBAPI_ERR_NO_SUCH_METHOD = 103,   // the API has no such method
  WEBAPI_ERR_BAD_VERSION = 104,      // the method exists, not in this version
  WEBAPI_ERR_PERMISSION = 105,       // the caller may not do this
  WEBAPI_ERR_SESSION_EXPIRED = 106,  // the session existed and has expired
  WEBAPI_ERR_PLUGIN_BROKEN = 108,    // the plug-in cannot be loaded, or lacks a table or check row
  WEBAPI_ERR_TOO_LARGE = 113,        // the request body is over the server's limit
  WEBAPI_ERR_TASK_UNKNOWN = 114,     // no background task with that id
  WEBAPI_ERR_NO_SESSION = 119,       // no session, or an unknown session id
  WEBAPI_ERR_PARAM = 120,            // a parameter is missing or of the wrong type
  WEBAPI_ERR_LOGIN_FAILED = 400,     // wrong account or password (never says which)
  WEBAPI_ERR_LOGIN_BLOCKED = 407,    // too many failed logins from this address; wait
};

// A short English text for a code of the table above; "unknown error" for others.
const char* WebAPIErrorText(int code);

// The result of reading one request parameter with a type and a necessity.
template <typename T>
class APIParameter {
 public:
  APIParameter() : _value() {}
  APIParameter(bool set, bool invalid, T value)
      : _set(set), _invalid(invalid), _value(std::move(value)) {}

  // The request carries the parameter (whatever its type).
  bool IsSet() const { return _set; }
  // Required and missing, of the wrong type, or refused by the validator.
  bool IsInvalid() const { return _invalid; }
  bool IsValid() const { return !_invalid; }
  // The value; the type's zero value (or the default) when the parameter is not usable.
  const T& Get() const { return _value; }
  // Gives a parameter that is not set this value; a set one keeps its own.
  void SetDefault(const T& value) {
    if (!_set) _value = value;
  }

 private:
  bool _set = false;
  bool _invalid = false;
  T _value;
};

// Necessity values of the GetAndCheck operations.
enum APIParameterNecessity { API_PARAM_REQUIRED = 0, API_PARAM_OPTIONAL = 1 };

// Conditions on a parameter's JSON value, for the validator argument of the GetAndCheck
// operations (a validator returning false makes the parameter invalid).
class APIValidator {
 public:
  using Func = std::function<bool(const Json::Value&)>;

  // A string equal to `text`.
  static bool IsEqual(const Json::Value& value, const std::string& text);
  // Equal (same type and value) to one element of the array `choices`.
  static bool IsBelong(const Json::Value& value, const Json::Value& choices);
  // An integral number greater than `bound`.
  static bool IsGreater(const Json::Value& value, int bound);

  // The same conditions as validator functions.
  static Func Equal(const std::string& text);
  static Func Belong(const Json::Value& choices);
  static Func Greater(int bound);
};

class APIRequest {
 public:
  // An empty request: no API, no parameters, nobody logged in, not through a sharing link.
  APIRequest();
  // `params` must be an object (anything else is taken as no parameters).
  APIRequest(const std::string& api, int version, const std::string& method,
             const Json::Value& params);

  // Construction (the server, and tests that run handlers by hand).
  void SetLoginUser(const std::string& user, unsigned int uid, bool admin);
  void SetRemoteIP(const std::string& ip) { _remoteIP = ip; }
  void SetParam(const std::string& name, const Json::Value& value) { _params[name] = value; }
  // Marks the request as coming through the sharing link `entry`, opened in `session`.
  void SetSharing(const sharing::record::Entry& entry, const sharing::record::Session& session);
  // Scheme, host and port under which clients reach the server ("http://127.0.0.1:8080").
  void SetBaseURL(const std::string& url) { _baseURL = url; }

  const std::string& GetAPIName() const { return _api; }
  int GetAPIVersion() const { return _version; }
  const std::string& GetAPIMethod() const { return _method; }

  // The parameter, or `defaultValue` when the request does not carry it.
  Json::Value GetParam(const std::string& name, const Json::Value& defaultValue) const;
  // As GetParam without a copy; an empty name gives all parameters (an object). The reference
  // lives as long as the request (or as `defaultValue`, when that is returned).
  const Json::Value& GetParamRef(const std::string& name, const Json::Value& defaultValue) const;
  bool HasParam(const std::string& name) const;

  // Typed access. `necessity` is API_PARAM_REQUIRED (0) or API_PARAM_OPTIONAL (1); `validator`
  // may be null. A parameter is invalid when required and missing, present with another JSON
  // type, or refused by the validator. Integers must be integral JSON numbers that fit an int;
  // a unit array is an array whose elements are neither arrays nor objects.
  APIParameter<std::string> GetAndCheckString(const std::string& name, int necessity,
                                              const APIValidator::Func& validator) const;
  APIParameter<int> GetAndCheckInt(const std::string& name, int necessity,
                                   const APIValidator::Func& validator) const;
  APIParameter<bool> GetAndCheckBool(const std::string& name, int necessity,
                                     const APIValidator::Func& validator) const;
  APIParameter<Json::Value> GetAndCheckObject(const std::string& name, int necessity,
                                              const APIValidator::Func& validator) const;
  APIParameter<Json::Value> GetAndCheckUnitArray(const std::string& name, int necessity,
                                                 const APIValidator::Func& validator) const;

  // The authenticated user; "" and (unsigned)-1 when nobody is logged in.
  const std::string& GetLoginUserName() const { return _user; }
  unsigned int GetLoginUID() const { return _uid; }
  // Member of the group "administrators".
  bool IsAdmin() const { return _admin; }
  const std::string& GetRemoteIP() const { return _remoteIP; }

  bool IsSharing() const { return _sharing; }
  const sharing::record::Entry& GetSharingEntry() const { return _entry; }
  const sharing::record::Session& GetSharingSession() const { return _session; }
  // The base URL of the server followed by `path` ("" gives the base itself).
  std::string GetSharingURL(const std::string& path) const { return _baseURL + path; }

 private:
  std::string _api;
  int _version = 0;
  std::string _method;
  Json::Value _params;  // always an object
  std::string _user;
  unsigned int _uid = static_cast<unsigned int>(-1);
  bool _admin = false;
  std::string _remoteIP;
  bool _sharing = false;
  sharing::record::Entry _entry;
  sharing::record::Session _session;
  std::string _baseURL;
};

class APIResponse {
 public:
  // Handlers that write their own body write it to `out` (the request program's standard
  // output). Not owned.
  explicit APIResponse(FILE* out = stdout);

  APIResponse(const APIResponse&) = delete;
  APIResponse& operator=(const APIResponse&) = delete;

  // The answer is success with `data` (a later SetError replaces it, and the reverse).
  void SetSuccess(const Json::Value& data = Json::Value());
  // The answer is error `code` with `errors` as its payload.
  void SetError(int code, const Json::Value& errors = Json::Value());
  // False: the server writes nothing; the handler wrote its own headers and body to the output.
  void SetEnableOutput(bool enable) { _enableOutput = enable; }

  // The error code set, 0 when none.
  int GetError() const { return _errorCode; }
  const Json::Value& GetErrorData() const { return _errors; }
  const Json::Value& GetData() const { return _data; }
  bool IsOutputEnabled() const { return _enableOutput; }
  // Whether SetSuccess or SetError was called.
  bool IsAnswered() const { return _answered; }
  // {"success":true,"data":...} (no "data" when it is null) or
  // {"success":false,"error":{"code":N,"errors":...}} (no "errors" when null).
  Json::Value GetAnswer() const;
  FILE* GetOutput() const { return _out; }

 private:
  FILE* const _out;
  bool _answered = false;
  int _errorCode = 0;
  Json::Value _data;
  Json::Value _errors;
  bool _enableOutput = true;
};

// Sends a file as the response body. By default the file is handed to the web server with an
// X-Sendfile header (the server then sends it, with ranges and caching); a handler that sends
// a file the server may not read (a temporary one it removes afterwards) streams it itself.
class APIDownload {
 public:
  explicit APIDownload(APIResponse* response) : _response(response) {}

  APIDownload(const APIDownload&) = delete;
  APIDownload& operator=(const APIDownload&) = delete;

  // Adds a header, replacing one of the same name (names compare without case). False, and
  // nothing stored, for an empty name, or a name or value holding CR, LF or NUL, which could
  // otherwise end the header block early.
  bool SetHeader(const std::string& name, const std::string& value);
  void SetXSendFileDisabled() { _xSendFile = false; }

  // Switches the response's own output off and writes the headers ("Content-Type" defaults to
  // application/octet-stream) and the file. When the file cannot be opened it writes an error
  // answer instead (HTTP status 404, the server's JSON error) and returns false. Streaming
  // returns false, logged, when the output fails part-way.
  bool Output(const std::string& path);
  // As Output, for a file the caller opened itself (a regular file, sent from its start): it
  // is always streamed, never handed to the web server by name. `fd` stays the caller's.
  bool OutputFd(int fd);

 private:
  bool Send(int fd, const struct stat& st, const std::string& path);

  APIResponse* const _response;
  std::vector<std::pair<std::string, std::string>> _headers;
  bool _xSendFile = true;
};

// Sends the rest of the answer, its body, from `fd`, from where it stands to its end. `out` is
// the request's output (the response's GetOutput()), on which the handler has written a
// complete header block and nothing of the body. A resident request worker may hand a regular
// file open at its start to the web server, that very open file and never a name the server
// would resolve again; otherwise the bytes are copied. False when reading or writing failed
// (part of the body may be out). `fd` stays the caller's.
bool SendBody(FILE* out, int fd);

// Background tasks. A task runs in a detached process of its own (standard streams on
// /dev/null, its own copy of the caller's memory), so `data` only has to stay valid until
// Start returns. Its state lives in a file under the task folder (/run/vireo/polling), where
// any later request can read it:
//   {"task_id": id, "finish": bool, "success": bool, "data": ..., "error": {"code", "errors"}}
// ("success", "data" and "error" once finished, from the task's own response).
//
// Who may read or stop a task: the user who started it, the members of its group attribute,
// and, when the group attribute is "everyone", any caller that knows the task id (visitors of
// a sharing link included; the id carries 128 random bits, so it works as a capability).
class APIPolling {
 public:
  using TaskFunc = void (*)(APIRequest*, APIResponse*, void*);

  // The request supplies the caller's identity. Not owned; must outlive the object.
  explicit APIPolling(APIRequest* request);
  // As above with another task folder (tests).
  APIPolling(APIRequest* request, const std::string& taskDir);

  APIPolling(const APIPolling&) = delete;
  APIPolling& operator=(const APIPolling&) = delete;

  // Attributes of the next task started: its group (see above; none by default), whether its
  // state is removed once Status has reported it finished (false by default), and the prefix
  // of its id (letters, digits, "_", "-" and "." are kept; "task" when nothing remains).
  void SetGroupAttr(const std::string& group) { _group = group; }
  void SetRemoveAttr(bool remove) { _remove = remove; }
  void SetPrefixAttr(const std::string& prefix) { _prefix = prefix; }

  // Starts `fn(request, its own response, data)` in the background and answers success with
  // {"task_id": id} on `response`. False (the error in GetError and on `response`) when the
  // task cannot be recorded or the process cannot be made.
  bool Start(APIResponse* response, TaskFunc fn, void* data);
  // The task's state. A task whose process ended without finishing (killed, crashed) is
  // reported finished with error 100. False when the id is malformed or unknown, the caller
  // may not read it, or the state cannot be read; see GetError.
  bool Status(const std::string& taskId, Json::Value& status);
  // Ends the task's process group when it still runs. `remove` true discards the task's
  // state; false keeps it, marked finished with an error when it had not finished. False
  // when the task is unknown or the caller may not stop it.
  bool Stop(const std::string& taskId, bool remove);

  // The last failure's text ("" when none) and code (a WebAPIError, 0 when none).
  const std::string& GetError() const { return _error; }
  int GetErrorCode() const { return _errorCode; }

  static const char* const kDefaultTaskDir;

 private:
  bool Fail(int code, const std::string& text);
  bool MayAccess(const Json::Value& state) const;
  // Reads a task's state for a caller who may see it; false (the error set) otherwise.
  bool Load(const std::string& taskId, Json::Value& state);

  APIRequest* const _request;
  const std::string _dir;
  std::string _group;
  bool _remove = false;
  std::string _prefix;
  std::string _error;
  int _errorCode = 0;
};

// Nested calls: another API's method run in this process on behalf of a user.
class APIRunner {
 public:
  // Runs `method` of `api` version `version` with `params` (an object) as `user` (uid and
  // administrator flag from the account database), through the same plug-in lookup, check
  // function and entry function as a request. `result` becomes the method's answer:
  // {"success":true,"data":...} or {"success":false,"error":{"code":N,"errors":...}}.
  // True when the answer is success. A handler that writes its own body gets an output that
  // goes nowhere, and the answer is success without data.
  static bool Exec(Json::Value& result, const std::string& api, int version,
                   const std::string& method, const Json::Value& params, const std::string& user);
};

}  // namespace VIREO

#endif  // HARBOR_VIREO_WEBAPI_H_
