// Requests, responses, typed parameters and validators.
#include <limits>

#include "vireo/webapi.h"

namespace VIREO {

const char* WebAPIErrorText(int code) {
  switch (code) {
    case WEBAPI_ERR_UNKNOWN: return "internal error";
    case WEBAPI_ERR_BAD_REQUEST: return "bad request";
    case WEBAPI_ERR_NO_SUCH_API: return "no such API";
    case WEBAPI_ERR_NO_SUCH_METHOD: return "no such method";
    case WEBAPI_ERR_BAD_VERSION: return "version not supported";
    case WEBAPI_ERR_PERMISSION: return "permission denied";
    case WEBAPI_ERR_SESSION_EXPIRED: return "session expired";
    case WEBAPI_ERR_PLUGIN_BROKEN: return "plug-in cannot be used";
    case WEBAPI_ERR_TOO_LARGE: return "request too large";
    case WEBAPI_ERR_TASK_UNKNOWN: return "no such task";
    case WEBAPI_ERR_NO_SESSION: return "not logged in";
    case WEBAPI_ERR_PARAM: return "bad parameter";
    case WEBAPI_ERR_LOGIN_FAILED: return "wrong account or password";
    case WEBAPI_ERR_LOGIN_BLOCKED: return "too many failed logins, try again later";
    default: return "unknown error";
  }
}

// ---- Validators ------------------------------------------------------------------------------

bool APIValidator::IsEqual(const Json::Value& value, const std::string& text) {
  return value.isString() && value.asString() == text;
}

bool APIValidator::IsBelong(const Json::Value& value, const Json::Value& choices) {
  if (!choices.isArray()) return false;
  for (const Json::Value& c : choices) {
    if (c.type() == value.type() && c == value) return true;
  }
  return false;
}

bool APIValidator::IsGreater(const Json::Value& value, int bound) {
  return value.isIntegral() && value.asLargestInt() > bound;
}

APIValidator::Func APIValidator::Equal(const std::string& text) {
  return [text](const Json::Value& v) { return IsEqual(v, text); };
}

APIValidator::Func APIValidator::Belong(const Json::Value& choices) {
  return [choices](const Json::Value& v) { return IsBelong(v, choices); };
}

APIValidator::Func APIValidator::Greater(int bound) {
  return [bound](const Json::Value& v) { return IsGreater(v, bound); };
}

// ---- Requests --------------------------------------------------------------------------------

APIRequest::APIRequest() : _params(Json::objectValue) {}

APIRequest::APIRequest(const std::string& api, int version, const std::string& method,
                       const Json::Value& params)
    : _api(api), _version(version), _method(method),
      _params(params.isObject() ? params : Json::Value(Json::objectValue)) {}

void APIRequest::SetLoginUser(const std::string& user, unsigned int uid, bool admin) {
  _user = user;
  _uid = uid;
  _admin = admin;
}

void APIRequest::SetSharing(const sharing::record::Entry& entry,
                            const sharing::record::Session& session) {
  _sharing = true;
  _entry = entry;
  _session = session;
}

Json::Value APIRequest::GetParam(const std::string& name, const Json::Value& defaultValue) const {
  return GetParamRef(name, defaultValue);
}

const Json::Value& APIRequest::GetParamRef(const std::string& name,
                                           const Json::Value& defaultValue) const {
  if (name.empty()) return _params;
  const Json::Value* v = _params.find(name.data(), name.data() + name.size());
  return v != nullptr ? *v : defaultValue;
}

bool APIRequest::HasParam(const std::string& name) const {
  return !name.empty() && _params.find(name.data(), name.data() + name.size()) != nullptr;
}

namespace {

// Reads a parameter: `fits` tells whether the JSON value has the wanted type, `convert` makes
// the C++ value of a fitting one.
template <typename T, typename Fits, typename Convert>
APIParameter<T> Check(const Json::Value& params, const std::string& name, int necessity,
                      const APIValidator::Func& validator, Fits fits, Convert convert) {
  const Json::Value* v = name.empty() ? nullptr : params.find(name.data(), name.data() + name.size());
  if (v == nullptr) {
    return APIParameter<T>(false, necessity != API_PARAM_OPTIONAL, T());
  }
  if (!fits(*v)) return APIParameter<T>(true, true, T());
  if (validator && !validator(*v)) return APIParameter<T>(true, true, convert(*v));
  return APIParameter<T>(true, false, convert(*v));
}

}  // namespace

APIParameter<std::string> APIRequest::GetAndCheckString(const std::string& name, int necessity,
                                                        const APIValidator::Func& validator) const {
  return Check<std::string>(
      _params, name, necessity, validator, [](const Json::Value& v) { return v.isString(); },
      [](const Json::Value& v) { return v.asString(); });
}

APIParameter<int> APIRequest::GetAndCheckInt(const std::string& name, int necessity,
                                             const APIValidator::Func& validator) const {
  return Check<int>(
      _params, name, necessity, validator,
      [](const Json::Value& v) {
        if (!v.isIntegral()) return false;
        if (v.isUInt64() && !v.isInt64()) return false;
        Json::LargestInt n = v.asLargestInt();
        return n >= std::numeric_limits<int>::min() && n <= std::numeric_limits<int>::max();
      },
      [](const Json::Value& v) { return static_cast<int>(v.asLargestInt()); });
}

APIParameter<bool> APIRequest::GetAndCheckBool(const std::string& name, int necessity,
                                               const APIValidator::Func& validator) const {
  return Check<bool>(
      _params, name, necessity, validator, [](const Json::Value& v) { return v.isBool(); },
      [](const Json::Value& v) { return v.asBool(); });
}

APIParameter<Json::Value> APIRequest::GetAndCheckObject(const std::string& name, int necessity,
                                                        const APIValidator::Func& validator) const {
  return Check<Json::Value>(
      _params, name, necessity, validator, [](const Json::Value& v) { return v.isObject(); },
      [](const Json::Value& v) { return v; });
}

APIParameter<Json::Value> APIRequest::GetAndCheckUnitArray(const std::string& name, int necessity,
                                                           const APIValidator::Func& validator) const {
  return Check<Json::Value>(
      _params, name, necessity, validator,
      [](const Json::Value& v) {
        if (!v.isArray()) return false;
        for (const Json::Value& e : v) {
          if (e.isArray() || e.isObject()) return false;
        }
        return true;
      },
      [](const Json::Value& v) { return v; });
}

// ---- Responses -------------------------------------------------------------------------------

APIResponse::APIResponse(FILE* out) : _out(out) {}

void APIResponse::SetSuccess(const Json::Value& data) {
  _answered = true;
  _errorCode = 0;
  _errors = Json::Value();
  _data = data;
}

void APIResponse::SetError(int code, const Json::Value& errors) {
  _answered = true;
  // Code 0 would read as success to GetError's callers; keep the answer an error.
  _errorCode = code != 0 ? code : WEBAPI_ERR_UNKNOWN;
  _errors = errors;
  _data = Json::Value();
}

Json::Value APIResponse::GetAnswer() const {
  Json::Value answer(Json::objectValue);
  if (_errorCode == 0) {
    answer["success"] = true;
    if (!_data.isNull()) answer["data"] = _data;
  } else {
    answer["success"] = false;
    answer["error"]["code"] = _errorCode;
    if (!_errors.isNull()) answer["error"]["errors"] = _errors;
  }
  return answer;
}

}  // namespace VIREO
