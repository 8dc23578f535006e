// The handlers of VIREO.Paperlens.Convert (version 1):
//   "get"            ConvertGet           the document as PDF (a PDF itself, or its cached PDF)
//   "poll_start"     ConvertPollStart     starts converting unless the PDF is ready
//   "poll_status"    ConvertPollStatus    the state of a conversion task
//   "get_thirdparty" ConvertGetThirdParty the result of a conversion made for another application
#ifndef PAPERLENS_WEBAPI_CONVERT_CONVERTAPI_H_
#define PAPERLENS_WEBAPI_CONVERT_CONVERTAPI_H_

#include <sys/stat.h>

#include <string>

#include "convert/ConvertAPIBase.h"
#include "safe_file.h"

class ConvertGet : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  // Resolves "path" for the login user (the link's owner for a sharing link), checks read
  // permission and opens the document with that user's credentials: 0, or 120 (also for what
  // is no regular file of the share: a folder, a FIFO, a link out of the share).
  int ParseParams() override;
  // Streams the PDF with its own content type: 0, or 101 (no stream path), 117 (cache unusable,
  // no cached PDF, file cannot be opened).
  int Execute() override;

  std::string realPath;
  std::string user;
  std::string sharePath;

 protected:
  bool OpenDocument();

  VIREO::PAPERLENS::safe::Fd document;  // the opened document, once ParseParams accepted it
  struct stat documentStat = {};
};

class ConvertPollStart : public ConvertGet {
 public:
  using ConvertGet::ConvertGet;
  // 0 (isReady when the PDF can be fetched now), 101 (unreadable file, no stream path) or 117.
  int ParseParams() override;
  int Execute() override;
  int FormOutput() override;

  bool isReady = false;
};

class ConvertPollStatus : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  // The task's state (stopped once it reports "finish"): 0, or 117.
  int Execute() override;
};

class ConvertGetThirdParty : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int ParseParams() override;
  // Hands the finished file to its owner once: 0, or 117, 101, 105.
  int Execute() override;

  std::string taskId;
};

// The plug-in's exported tables (the frame's row layouts).
extern "C" const void* GetAPITable();
extern "C" const void* GetAPICheckTable();

// The background task of "poll_start": `data` points to the real path to convert. Started by
// "poll_start", it converts only the very file (device and inode) that the request checked.
void ConvertPollingTask(VIREO::APIRequest* request, VIREO::APIResponse* response, void* data);

#endif  // PAPERLENS_WEBAPI_CONVERT_CONVERTAPI_H_
