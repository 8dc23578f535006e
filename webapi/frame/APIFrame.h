// The frame every plug-in of the package shares: the exported method and check tables, the
// check-function pattern, the step sequences of the handlers' Run, and the entry functions
// that build a handler, run it and turn an escaped exception into a "Fatal Error" log line.
//
// The server reads the tables as raw bytes (little-endian, 64-bit pointers): a method row is
// 32 bytes {api name, version, method name, entry function}, a check row 48 bytes {api name,
// version, method name, check function, 0, 0}; a row of zero bytes ends each table. The row
// structs below are that layout; the static_asserts keep them so.
//
// Header-only: every plug-in compiles its own copy. Nothing here keeps state between requests.
#ifndef PAPERLENS_WEBAPI_FRAME_APIFRAME_H_
#define PAPERLENS_WEBAPI_FRAME_APIFRAME_H_

#include <errno.h>
#include <json/json.h>
#include <stddef.h>
#include <stdint.h>

#include <exception>
#include <string>

#include "utils_log.h"
#include "vireo/webapi.h"

namespace VIREO {
namespace PAPERLENS {
namespace frame {

using EntryFunction = void (*)(VIREO::APIRequest*, VIREO::APIResponse*);
using CheckFunction = bool (*)(VIREO::APIRequest*, VIREO::APIResponse*);

struct APIMethodRow {
  const char* api;
  uint64_t version;  // 1 in the low four bytes
  const char* method;
  EntryFunction entry;
};

struct APICheckRow {
  const char* api;
  uint64_t version;
  const char* method;
  CheckFunction check;
  uint64_t reserved1;  // zero
  uint64_t reserved2;  // zero
};

static_assert(sizeof(void*) == 8, "the table layout assumes 64-bit pointers");
static_assert(sizeof(APIMethodRow) == 32, "method rows are 32 bytes");
static_assert(offsetof(APIMethodRow, version) == 8 && offsetof(APIMethodRow, method) == 16 &&
                  offsetof(APIMethodRow, entry) == 24,
              "method row layout");
static_assert(sizeof(APICheckRow) == 48, "check rows are 48 bytes");
static_assert(offsetof(APICheckRow, check) == 24 && offsetof(APICheckRow, reserved1) == 32 &&
                  offsetof(APICheckRow, reserved2) == 40,
              "check row layout");

// Refuses a parameter: error 120 with {"name": name, "reason": "type" when it was given,
// "required" when not}. Returns false, for a check function to return.
inline bool RefuseParam(VIREO::APIResponse* response, const std::string& name, bool isSet) {
  Json::Value reason(Json::objectValue);
  reason["name"] = name;
  reason["reason"] = isSet ? "type" : "required";
  response->SetError(120, reason);
  return false;
}

// The check of most methods: a required string parameter, no validator.
inline bool CheckRequiredString(VIREO::APIRequest* request, VIREO::APIResponse* response,
                                const char* name) {
  VIREO::APIParameter<std::string> p = request->GetAndCheckString(name, 0, nullptr);
  if (p.IsInvalid()) return RefuseParam(response, name, p.IsSet());
  return true;
}

// The same as a check function for a table row:
//   static constexpr char kPath[] = "path";
//   {..., &frame::CheckStringParam<kPath>, 0, 0}
template <const char* Name>
bool CheckStringParam(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  return CheckRequiredString(request, response, Name);
}

// A check function for methods without parameters.
inline bool CheckNothing(VIREO::APIRequest*, VIREO::APIResponse*) { return true; }

// Run of the handlers whose steps return an int (0 success, else the error code): the first
// failing step's code is answered with errMsg behind the step's prefix; a handler that cleared
// isOutput is answered by nobody here, success or not.
template <class Handler>
void RunIntSteps(Handler& h) {
  int rc = h.ParseParams();
  if (rc != 0) {
    h.errMsg = "Parse Param Error: " + h.errMsg;
  } else if ((rc = h.Execute()) != 0) {
    h.errMsg = "Execute Error: " + h.errMsg;
  } else if ((rc = h.FormOutput()) == 0) {
    if (h.isOutput) h.response->SetSuccess(h.output);
    return;
  } else {
    h.errMsg = "Format Output Error: " + h.errMsg;
  }
  if (h.isOutput) h.response->SetError(rc, Json::Value(h.errMsg));
}

// Run of the handlers whose steps return bool: a failing step has set its own error.
template <class Handler>
void RunBoolSteps(Handler& h) {
  if (!h.ParseParams() || !h.Execute() || !h.FormOutput()) return;
  if (h.isOutput) h.response->SetSuccess(h.output);
}

// "file:line (pid) Fatal Error: text", with " [err: %m]" when errno is set (then cleared).
inline void LogFatal(const char* file, int line, const char* what) {
  log::Error(file, line, "Fatal Error: %s", what);
}

// The entry function of a method whose handler is `Handler` (constructed from the request and
// the response). An exception escaping the handler is logged and leaves the response as it
// is, so the server does not answer success.
template <class Handler>
void Entry(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  try {
    Handler handler(request, response);
    handler.Run();
  } catch (const std::exception& e) {
    LogFatal(__FILE__, __LINE__, e.what());
  }
}

}  // namespace frame
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_WEBAPI_FRAME_APIFRAME_H_
