// The PDF viewer plug-in's handler frame: the convert plug-in's Run (int steps, the three
// prefixes, the isOutput rule), and a configuration-file object on the viewer's usage file.
// Fatal errors are logged once, in the viewer's own form "VIREO.Folium:LINE (PID) Fatal
// Error: text\n" (no errno variant).
#ifndef PAPERLENS_WEBAPI_FOLIUM_PDFAPIBASE_H_
#define PAPERLENS_WEBAPI_FOLIUM_PDFAPIBASE_H_

#include <json/json.h>
#include <syslog.h>
#include <unistd.h>

#include <exception>
#include <string>

#include "folium/ConfigManager.h"
#include "folium/FoliumLog.h"
#include "frame/APIFrame.h"
#include "vireo/webapi.h"

// The PDF viewer's usage counters.
#define SZF_FOLIUM_UDC_PATH "/usr/vireo/etc/user.data/folium"

class PDFAPIBase {
 public:
  // Neither pointer is owned; both outlive the handler.
  PDFAPIBase(VIREO::APIRequest* request, VIREO::APIResponse* response)
      : request(request), response(response), errMsg(), output(), isOutput(true),
        udcConfig(SZF_FOLIUM_UDC_PATH) {}
  virtual ~PDFAPIBase() {}

  PDFAPIBase(const PDFAPIBase&) = delete;
  PDFAPIBase& operator=(const PDFAPIBase&) = delete;

  virtual void Run() { VIREO::PAPERLENS::frame::RunIntSteps(*this); }
  virtual int ParseParams() { return 0; }
  virtual int Execute() { return 0; }
  virtual int FormOutput() { return 0; }

  // Adds one to the usage counter `section` of the viewer's usage file, when the appliance's
  // owner agreed to share usage data. Never fails the request.
  void UdcInc(const std::string& section);

  VIREO::APIRequest* request;
  VIREO::APIResponse* response;
  std::string errMsg;
  Json::Value output;
  bool isOutput;
  ConfigManager udcConfig;  // the usage file; locked only while a counter changes
};

// The entry function of a PDF viewer method whose handler is `Handler`.
template <class Handler>
void FoliumEntry(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  try {
    Handler handler(request, response);
    handler.Run();
  } catch (const std::exception& e) {
    syslog(LOG_ERR, "%s:%d (%u) Fatal Error: %s\n", FOLIUM_SOURCE, __LINE__,
           static_cast<unsigned>(getpid()), e.what());
  }
}

#endif  // PAPERLENS_WEBAPI_FOLIUM_PDFAPIBASE_H_
