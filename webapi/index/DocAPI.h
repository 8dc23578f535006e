// The index plug-in's handler frame: as the convert plug-in's, but the steps return bool
// (true: success) and a failing step sets its own error on the response; Run stops at the
// first false and answers success with output only after all three succeeded (and isOutput).
//
// Exceptions escaping a handler are logged by DocEntry as "Fatal Error" lines under the
// source name webapi/DocAPI, line 64, whatever handler threw, so all the index plug-in's fatal
// errors read alike in the log.
#ifndef PAPERLENS_WEBAPI_INDEX_DOCAPI_H_
#define PAPERLENS_WEBAPI_INDEX_DOCAPI_H_

#include <json/json.h>

#include <stdexcept>
#include <string>

#include "frame/APIFrame.h"
#include "vireo/webapi.h"

// A privilege switch failed; escapes to the entry function.
class runas_error : public std::runtime_error {
 public:
  explicit runas_error(const std::string& what) : std::runtime_error(what) {}
};

class DocAPI {
 public:
  // Neither pointer is owned; both outlive the handler.
  DocAPI(VIREO::APIRequest* request, VIREO::APIResponse* response)
      : request(request), response(response), errMsg(), output(), isOutput(true) {}
  virtual ~DocAPI() {}

  DocAPI(const DocAPI&) = delete;
  DocAPI& operator=(const DocAPI&) = delete;

  virtual void Run() { VIREO::PAPERLENS::frame::RunBoolSteps(*this); }
  virtual bool ParseParams() { return true; }
  virtual bool Execute() { return true; }
  virtual bool FormOutput() { return true; }

  VIREO::APIRequest* request;
  VIREO::APIResponse* response;
  std::string errMsg;
  Json::Value output;
  bool isOutput;
};

// The entry function of an index method whose handler is `Handler`.
template <class Handler>
void DocEntry(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  try {
    Handler handler(request, response);
    handler.Run();
  } catch (const std::exception& e) {
    VIREO::PAPERLENS::frame::LogFatal("webapi/DocAPI", 64, e.what());
  }
}

#endif  // PAPERLENS_WEBAPI_INDEX_DOCAPI_H_
