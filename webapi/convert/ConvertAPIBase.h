// The convert plug-in's handler frame. A handler lives for one request on its entry
// function's stack (frame::Entry<Handler>); Run sequences ParseParams, Execute and FormOutput
// (0: success, else a web-API error code that Run answers as is, with errMsg behind the
// failing step's prefix). A handler that writes the HTTP answer itself, or leaves it to a
// platform facility, clears isOutput and Run then writes nothing into the response.
#ifndef PAPERLENS_WEBAPI_CONVERT_CONVERTAPIBASE_H_
#define PAPERLENS_WEBAPI_CONVERT_CONVERTAPIBASE_H_

#include <json/json.h>

#include <string>

#include "frame/APIFrame.h"
#include "vireo/webapi.h"

class ConvertAPIBase {
 public:
  // Neither pointer is owned; both outlive the handler.
  ConvertAPIBase(VIREO::APIRequest* request, VIREO::APIResponse* response)
      : request(request), response(response), errMsg(), output(), isOutput(true) {}
  virtual ~ConvertAPIBase() {}

  ConvertAPIBase(const ConvertAPIBase&) = delete;
  ConvertAPIBase& operator=(const ConvertAPIBase&) = delete;

  virtual void Run() { VIREO::PAPERLENS::frame::RunIntSteps(*this); }
  virtual int ParseParams() { return 0; }
  virtual int Execute() { return 0; }
  virtual int FormOutput() { return 0; }

  VIREO::APIRequest* request;
  VIREO::APIResponse* response;
  std::string errMsg;  // the failing step's text; Run puts the step's prefix in front
  Json::Value output;  // the success payload
  bool isOutput;       // false: Run leaves the response alone
};

#endif  // PAPERLENS_WEBAPI_CONVERT_CONVERTAPIBASE_H_
