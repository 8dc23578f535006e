// A plug-in built only for the tests of the web-API server: methods that exercise each path
// of the frame and of the server's facilities. Never staged in the package.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "convert/ConvertAPIBase.h"
#include "frame/APIFrame.h"
#include "index/DocAPI.h"
#include "vireo/webapi.h"

namespace frame = VIREO::PAPERLENS::frame;

namespace {

constexpr char kApi[] = "VIREO.Test.Frame";
constexpr char kDocApi[] = "VIREO.Test.Doc";
constexpr char kText[] = "text";
constexpr char kPath[] = "path";
constexpr char kTaskId[] = "task_id";

class Echo : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    output["text"] = request->GetParam("text", "");
    output["user"] = request->GetLoginUserName();
    output["uid"] = request->GetLoginUID();
    output["admin"] = request->IsAdmin();
    output["ip"] = request->GetRemoteIP();
    output["params"] = request->GetParamRef("", Json::Value());
    output["base_url"] = request->GetSharingURL("");
    return 0;
  }
};

// The process that serves the request, and what it was given. "leave_uid" leaves the
// effective user switched to that id, "leave_fd" leaves a descriptor open: faults a resident
// worker must not carry into the next request.
class Process : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    const char* probe = getenv("HTTP_X_PROBE");
    output["pid"] = static_cast<int>(getpid());
    output["euid"] = static_cast<int>(geteuid());
    output["probe"] = probe != nullptr ? probe : "";
    int uid = request->GetParam("leave_uid", 0).asInt();
    if (uid != 0 && seteuid(static_cast<uid_t>(uid)) != 0) return 117;
    if (request->GetParam("leave_fd", false).asBool() && open("/dev/null", O_RDONLY) < 0) {
      return 117;
    }
    return 0;
  }
};

template <int Version>
class Which : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    output["version"] = Version;
    return 0;
  }
};

// Fails at step "step" (0 parse, 1 execute, 2 format) with error "code".
class Fail : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int ParseParams() override { return At(0); }
  int Execute() override { return At(1); }
  int FormOutput() override { return At(2); }

 private:
  int At(int step) {
    if (request->GetParam("step", -1).asInt() != step) return 0;
    errMsg = "because";
    return request->GetParam("code", 0).asInt();
  }
};

class Stream : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    isOutput = false;
    response->SetEnableOutput(false);
    fputs("Content-Type: text/x-harbor-test\r\n\r\nstreamed body\n", stdout);
    fflush(stdout);
    return 0;
  }
};

// Answers with a complete body first, then does more work: writes the file named by "text".
class AnswerThenWork : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    isOutput = false;
    response->SetEnableOutput(false);
    fputs("Content-Type: text/plain\r\nContent-Length: 3\r\n\r\nok\n", stdout);
    fflush(stdout);
    usleep(300000);
    FILE* f = fopen(request->GetParam("text", "").asCString(), "w");
    if (f != nullptr) fclose(f);
    return 0;
  }
};

class Throw : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override { throw std::runtime_error("test handler gave up"); }
};

// Waits "seconds", then answers with the string the starting handler passed, or fails with
// 1002 when "fail" is true.
void SlowTask(VIREO::APIRequest* request, VIREO::APIResponse* response, void* data) {
  int tenths = request->GetParam("seconds", 0).asInt() * 10;
  for (int i = 0; i < tenths; ++i) usleep(100000);
  if (request->GetParam("fail", false).asBool()) {
    response->SetError(1002, "convertion failed");
    return;
  }
  Json::Value out(Json::objectValue);
  out["value"] = *static_cast<std::string*>(data);
  response->SetSuccess(out);
}

class PollStart : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    value = "copied:" + request->GetParam("text", "").asString();
    VIREO::APIPolling polling(request);
    polling.SetGroupAttr(request->GetParam("group", "").asString());
    polling.SetRemoveAttr(request->GetParam("remove", false).asBool());
    polling.SetPrefixAttr("Test");
    polling.Start(response, SlowTask, &value);
    value = "changed after start";  // the task must not see this
    return 0;
  }
  int FormOutput() override {
    isOutput = false;
    return 0;
  }
  std::string value;
};

class PollStatus : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    VIREO::APIPolling polling(request);
    if (polling.Status(request->GetParam("task_id", "").asString(), output)) return 0;
    errMsg = polling.GetError();
    return 117;
  }
};

class PollStop : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    VIREO::APIPolling polling(request);
    if (polling.Stop(request->GetParam("task_id", "").asString(),
                     request->GetParam("remove", true).asBool())) {
      return 0;
    }
    errMsg = polling.GetError();
    return 117;
  }
};

class Download : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    std::string path = request->GetParam("path", "").asString();
    VIREO::APIDownload download(response);
    isOutput = false;
    download.SetHeader("Content-Type", "application/pdf");
    download.SetHeader("content-disposition",
                       "attachment; filename=" + path.substr(path.rfind('/') + 1));
    if (request->GetParam("stream", false).asBool()) download.SetXSendFileDisabled();
    download.Output(path);
    return 0;
  }
};

// Opens "path", then renames "swap" (when given) over it, and sends the opened file as the
// body with SendBody. The header block names the worker ("X-Worker: <pid>").
class SendBody : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    std::string path = request->GetParam("path", "").asString();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 117;
    std::string swap = request->GetParam("swap", "").asString();
    if (!swap.empty() && rename(swap.c_str(), path.c_str()) != 0) {
      close(fd);
      return 117;
    }
    isOutput = false;
    response->SetEnableOutput(false);
    fprintf(stdout, "Content-Type: application/pdf\r\nX-Worker: %d\r\n\r\n",
            static_cast<int>(getpid()));
    bool sent = VIREO::SendBody(stdout, fd);
    close(fd);
    return sent ? 0 : 117;
  }
};

class Nested : public ConvertAPIBase {
 public:
  using ConvertAPIBase::ConvertAPIBase;
  int Execute() override {
    Json::Value params(Json::objectValue);
    params["text"] = "nested";
    VIREO::APIRunner::Exec(output, kApi, 1, "echo", params, request->GetParam("as", "").asString());
    return 0;
  }
};

class DocList : public DocAPI {
 public:
  using DocAPI::DocAPI;
  bool Execute() override {
    output["items"] = Json::arrayValue;
    output["items"].append(1);
    return true;
  }
};

class DocRefuse : public DocAPI {
 public:
  using DocAPI::DocAPI;
  bool ParseParams() override {
    response->SetError(400, "cannot both empty");
    return false;
  }
};

bool CheckFail(VIREO::APIRequest* request, VIREO::APIResponse* response) {
  for (const char* name : {"step", "code"}) {
    VIREO::APIParameter<int> p = request->GetAndCheckInt(name, 0, nullptr);
    if (p.IsInvalid()) return frame::RefuseParam(response, name, p.IsSet());
  }
  return true;
}

const frame::APIMethodRow kMethods[] = {
    {kApi, 1, "echo", &frame::Entry<Echo>},
    {kApi, 1, "process", &frame::Entry<Process>},
    {kApi, 1, "which", &frame::Entry<Which<1>>},
    {kApi, 2, "which", &frame::Entry<Which<2>>},
    {kApi, 1, "fail", &frame::Entry<Fail>},
    {kApi, 1, "stream", &frame::Entry<Stream>},
    {kApi, 1, "answer_then_work", &frame::Entry<AnswerThenWork>},
    {kApi, 1, "throw", &frame::Entry<Throw>},
    {kApi, 1, "poll_start", &frame::Entry<PollStart>},
    {kApi, 1, "poll_status", &frame::Entry<PollStatus>},
    {kApi, 1, "poll_stop", &frame::Entry<PollStop>},
    {kApi, 1, "download", &frame::Entry<Download>},
    {kApi, 1, "nested", &frame::Entry<Nested>},
    {kApi, 1, "send_body", &frame::Entry<SendBody>},
    {kApi, 1, "unchecked", &frame::Entry<Echo>},
    {kDocApi, 1, "list", &DocEntry<DocList>},
    {kDocApi, 1, "refuse", &DocEntry<DocRefuse>},
    {nullptr, 0, nullptr, nullptr},
};

const frame::APICheckRow kChecks[] = {
    {kApi, 1, "echo", &frame::CheckStringParam<kText>, 0, 0},
    {kApi, 1, "process", &frame::CheckNothing, 0, 0},
    {kApi, 1, "which", &frame::CheckNothing, 0, 0},
    {kApi, 2, "which", &frame::CheckNothing, 0, 0},
    {kApi, 1, "fail", &CheckFail, 0, 0},
    {kApi, 1, "stream", &frame::CheckNothing, 0, 0},
    {kApi, 1, "answer_then_work", &frame::CheckStringParam<kText>, 0, 0},
    {kApi, 1, "throw", &frame::CheckNothing, 0, 0},
    {kApi, 1, "poll_start", &frame::CheckStringParam<kText>, 0, 0},
    {kApi, 1, "poll_status", &frame::CheckStringParam<kTaskId>, 0, 0},
    {kApi, 1, "poll_stop", &frame::CheckStringParam<kTaskId>, 0, 0},
    {kApi, 1, "download", &frame::CheckStringParam<kPath>, 0, 0},
    {kApi, 1, "nested", &frame::CheckNothing, 0, 0},
    {kApi, 1, "send_body", &frame::CheckStringParam<kPath>, 0, 0},
    {kDocApi, 1, "list", &frame::CheckNothing, 0, 0},
    {kDocApi, 1, "refuse", &frame::CheckNothing, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0},
};

}  // namespace

extern "C" const void* GetAPITable() { return kMethods; }
extern "C" const void* GetAPICheckTable() { return kChecks; }
