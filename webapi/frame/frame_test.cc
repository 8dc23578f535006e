// The plug-in frame as the server and the log see it: raw table bytes, the check pattern's
// refusals, what each Run variant leaves in the response, and the "Fatal Error" lines.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "convert/ConvertAPIBase.h"
#include "folium/PDFAPIBase.h"
#include "frame/APIFrame.h"
#include "index/DocAPI.h"
#include "appliance_env.h"

namespace frame = VIREO::PAPERLENS::frame;

namespace {

// ---- Tables ------------------------------------------------------------------------------

bool CheckA(VIREO::APIRequest*, VIREO::APIResponse*) { return true; }
bool CheckB(VIREO::APIRequest*, VIREO::APIResponse*) { return false; }

const frame::APIMethodRow kMethods[] = {
    {"VIREO.Test.Layout", 1, "first", &frame::Entry<ConvertAPIBase>},
    {"VIREO.Test.Layout", 1, "second", &DocEntry<DocAPI>},
    {nullptr, 0, nullptr, nullptr},
};
const frame::APICheckRow kChecks[] = {
    {"VIREO.Test.Layout", 1, "first", &CheckA, 0, 0},
    {"VIREO.Test.Layout", 1, "second", &CheckB, 0, 0},
    {nullptr, 0, nullptr, nullptr, 0, 0},
};

uint64_t WordAt(const unsigned char* p, size_t offset) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[offset + i];
  return v;
}

uint64_t Addr(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

TEST(FrameTables, MethodRowsAre32LittleEndianBytesEndedByZeros) {
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(kMethods);
  const char* names[] = {"first", "second"};
  const void* entries[] = {reinterpret_cast<const void*>(&frame::Entry<ConvertAPIBase>),
                           reinterpret_cast<const void*>(&DocEntry<DocAPI>)};
  for (int row = 0; row < 2; ++row) {
    const unsigned char* r = raw + 32 * row;
    EXPECT_STREQ("VIREO.Test.Layout", reinterpret_cast<const char*>(WordAt(r, 0))) << row;
    // The version is the integer 1 in the low four bytes, the high four zero.
    EXPECT_EQ(1u, r[8]);
    for (int i = 9; i < 16; ++i) EXPECT_EQ(0u, r[i]) << "row " << row << " byte " << i;
    EXPECT_STREQ(names[row], reinterpret_cast<const char*>(WordAt(r, 16)));
    EXPECT_EQ(Addr(entries[row]), WordAt(r, 24));
  }
  for (int i = 0; i < 32; ++i) EXPECT_EQ(0u, raw[64 + i]) << "end row byte " << i;
}

TEST(FrameTables, CheckRowsAre48BytesWithZeroReservedWords) {
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(kChecks);
  for (int row = 0; row < 2; ++row) {
    const unsigned char* r = raw + 48 * row;
    EXPECT_STREQ("VIREO.Test.Layout", reinterpret_cast<const char*>(WordAt(r, 0)));
    EXPECT_EQ(1u, WordAt(r, 8));
    EXPECT_EQ(Addr(reinterpret_cast<const void*>(row == 0 ? &CheckA : &CheckB)), WordAt(r, 24));
    EXPECT_EQ(0u, WordAt(r, 32));
    EXPECT_EQ(0u, WordAt(r, 40));
  }
  EXPECT_STREQ("second", reinterpret_cast<const char*>(WordAt(raw + 48, 16)));
  for (int i = 0; i < 48; ++i) EXPECT_EQ(0u, raw[96 + i]) << "end row byte " << i;
}

// ---- Check functions ---------------------------------------------------------------------

constexpr char kPath[] = "path";

TEST(FrameCheck, RequiredStringRefusalsCarryNameAndReason) {
  struct Case {
    const char* params;
    bool pass;
    const char* reason;
  } cases[] = {
      {"{}", false, "required"},
      {"{\"path\": 12}", false, "type"},
      {"{\"path\": null}", false, "type"},
      {"{\"path\": [\"/a\"]}", false, "type"},
      {"{\"other\": \"/a\"}", false, "required"},
      {"{\"path\": \"\"}", true, ""},
      {"{\"path\": \"/docs/a.pdf\"}", true, ""},
  };
  for (const Case& c : cases) {
    Json::Value params;
    ASSERT_TRUE(Json::Reader().parse(c.params, params)) << c.params;
    VIREO::APIRequest request("VIREO.Test", 1, "get", params);
    VIREO::APIResponse response;
    bool pass = frame::CheckStringParam<kPath>(&request, &response);
    EXPECT_EQ(c.pass, pass) << c.params;
    if (c.pass) {
      EXPECT_FALSE(response.IsAnswered()) << c.params;
    } else {
      EXPECT_EQ(120, response.GetError()) << c.params;
      EXPECT_EQ("path", response.GetErrorData()["name"].asString()) << c.params;
      EXPECT_EQ(c.reason, response.GetErrorData()["reason"].asString()) << c.params;
    }
  }
}

// ---- Run, int steps ----------------------------------------------------------------------

// A handler whose steps answer as told and record which ran.
template <class Base>
class Scripted : public Base {
 public:
  Scripted(VIREO::APIRequest* rq, VIREO::APIResponse* rs, std::vector<int> codes, bool output)
      : Base(rq, rs), codes_(std::move(codes)) {
    this->isOutput = output;
    this->output["answer"] = 42;
  }
  int ParseParams() override { return Step(0); }
  int Execute() override { return Step(1); }
  int FormOutput() override { return Step(2); }
  std::vector<int> ran;

 private:
  int Step(int i) {
    ran.push_back(i);
    if (codes_[i] != 0) this->errMsg = "step " + std::to_string(i);
    return codes_[i];
  }
  std::vector<int> codes_;
};

template <class Base>
void ExpectIntRun() {
  struct Case {
    std::vector<int> codes;
    int code;
    const char* text;
    size_t steps;
  } cases[] = {
      {{101, 0, 0}, 101, "Parse Param Error: step 0", 1},
      {{0, 117, 0}, 117, "Execute Error: step 1", 2},
      {{0, 0, 1050}, 1050, "Format Output Error: step 2", 3},
  };
  for (const Case& c : cases) {
    VIREO::APIRequest request;
    VIREO::APIResponse response;
    Scripted<Base> h(&request, &response, c.codes, true);
    h.Run();
    EXPECT_EQ(c.steps, h.ran.size()) << c.text;
    EXPECT_EQ(c.code, response.GetError()) << c.text;
    EXPECT_EQ(Json::Value(c.text), response.GetErrorData()) << c.text;

    // Cleared isOutput: Run leaves the response alone even on failure.
    VIREO::APIResponse untouched;
    Scripted<Base> quiet(&request, &untouched, c.codes, false);
    quiet.Run();
    EXPECT_FALSE(untouched.IsAnswered()) << c.text;
  }
  VIREO::APIRequest request;
  VIREO::APIResponse response;
  Scripted<Base> ok(&request, &response, {0, 0, 0}, true);
  ok.Run();
  EXPECT_EQ(0, response.GetError());
  EXPECT_EQ(42, response.GetData()["answer"].asInt());

  VIREO::APIResponse quietOk;
  Scripted<Base> silent(&request, &quietOk, {0, 0, 0}, false);
  silent.Run();
  EXPECT_FALSE(quietOk.IsAnswered());
}

TEST(FrameRun, ConvertStepsPrefixTheFailingStepAndStopThere) { ExpectIntRun<ConvertAPIBase>(); }

TEST(FrameRun, PDFViewerRunIsTheConvertRun) { ExpectIntRun<PDFAPIBase>(); }

// ---- Run, bool steps ---------------------------------------------------------------------

class DocScripted : public DocAPI {
 public:
  DocScripted(VIREO::APIRequest* rq, VIREO::APIResponse* rs, int failAt)
      : DocAPI(rq, rs), failAt_(failAt) {
    output["items"] = Json::arrayValue;
  }
  bool ParseParams() override { return Step(0); }
  bool Execute() override { return Step(1); }
  bool FormOutput() override { return Step(2); }
  int steps = 0;

 private:
  bool Step(int i) {
    ++steps;
    if (i != failAt_) return true;
    response->SetError(400, "cannot both empty");
    return false;
  }
  int failAt_;
};

TEST(FrameRun, DocStepsStopAtFirstFalseKeepingTheStepsOwnError) {
  for (int failAt = 0; failAt < 3; ++failAt) {
    VIREO::APIRequest request;
    VIREO::APIResponse response;
    DocScripted h(&request, &response, failAt);
    h.Run();
    EXPECT_EQ(failAt + 1, h.steps);
    EXPECT_EQ(400, response.GetError());
    EXPECT_EQ("cannot both empty", response.GetErrorData().asString());
  }
  VIREO::APIRequest request;
  VIREO::APIResponse response;
  DocScripted h(&request, &response, -1);
  h.Run();
  EXPECT_EQ(0, response.GetError());
  EXPECT_TRUE(response.GetData()["items"].isArray());
}

// ---- Fatal errors ------------------------------------------------------------------------

template <class Base>
class Thrower : public Base {
 public:
  Thrower(VIREO::APIRequest* rq, VIREO::APIResponse* rs) : Base(rq, rs) {}
  // Throws from the middle of Run, as a failing handler step does.
  decltype(std::declval<Base&>().Execute()) Execute() override {
    errno = ENOENT;
    throw std::runtime_error("disk on fire " + std::string(typeid(Base).name()));
  }
};

TEST(FrameFatal, EscapedExceptionsAreLoggedAndAnswerNothing) {
  testsupport::LogMark log;
  VIREO::APIRequest request;
  std::string pid = "(" + std::to_string(getpid()) + ")";

  VIREO::APIResponse r1;
  frame::Entry<Thrower<ConvertAPIBase>>(&request, &r1);
  EXPECT_FALSE(r1.IsAnswered());
  std::string line = log.Line(std::string("Fatal Error: disk on fire ") + typeid(ConvertAPIBase).name());
  EXPECT_NE(std::string::npos, line.find("webapi/frame/APIFrame.h:")) << line;
  EXPECT_NE(std::string::npos, line.find(pid + " Fatal Error")) << line;
  EXPECT_NE(std::string::npos, line.find("[err: No such file or directory]")) << line;
  EXPECT_EQ(0, errno);

  VIREO::APIResponse r2;
  DocEntry<Thrower<DocAPI>>(&request, &r2);
  EXPECT_FALSE(r2.IsAnswered());
  line = log.Line(std::string("Fatal Error: disk on fire ") + typeid(DocAPI).name());
  EXPECT_NE(std::string::npos, line.find("webapi/DocAPI:64 " + pid + " Fatal Error")) << line;

  VIREO::APIResponse r3;
  FoliumEntry<Thrower<PDFAPIBase>>(&request, &r3);
  EXPECT_FALSE(r3.IsAnswered());
  line = log.Line(std::string("Fatal Error: disk on fire ") + typeid(PDFAPIBase).name());
  EXPECT_NE(std::string::npos, line.find("VIREO.Folium:")) << line;
  EXPECT_NE(std::string::npos, line.find(pid + " Fatal Error")) << line;
  EXPECT_EQ(std::string::npos, line.find("[err:")) << line;
}

// ---- The PDF viewer's configuration file -------------------------------------------------

TEST(FoliumConfigManager, WriterExcludesOthersUntilUnlockAndSaveRoundTrips) {
  char dir[] = "/tmp/folium_cfg_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string path = std::string(dir) + "/folium";
  {
    ConfigManager writer(path);
    ASSERT_TRUE(writer.LockW());
    EXPECT_EQ(ConfigManager::LOCK_EXCLUSIVE, writer.GetLockType());
    int fd = -1;
    EXPECT_EQ(0, VLIBCFileLockByFile((path + ".lock").c_str(), 0, &fd)) << "a reader got in";
    writer.GetConfig()["view_count"] = 3;
    ASSERT_TRUE(writer.Save());
    ASSERT_TRUE(writer.Unlock());
    ASSERT_NE(0, VLIBCFileLockByFile((path + ".lock").c_str(), 0, &fd));
    VLIBCFileUnlockByFile(fd);

    // A reader's shared lock lets another reader in, but not a writer.
    ConfigManager reader(path);
    ASSERT_TRUE(reader.LockR());
    ASSERT_TRUE(reader.Load());
    EXPECT_EQ(3, reader.GetConfig()["view_count"].asInt());
    EXPECT_NE(0, VLIBCFileLockByFile((path + ".lock").c_str(), 0, &fd));
    VLIBCFileUnlockByFile(fd);
    EXPECT_EQ(0, VLIBCFileLockByFile((path + ".lock").c_str(), 1, &fd));
  }  // the destructor releases the reader's lock
  int fd = -1;
  EXPECT_NE(0, VLIBCFileLockByFile((path + ".lock").c_str(), 1, &fd));
  VLIBCFileUnlockByFile(fd);

  ConfigManager broken(std::string(dir) + "/missing");
  EXPECT_FALSE(broken.Load());
}

}  // namespace
