// Usage counters and the usage tool, against the appliance's settings and files.
#include "utils_udc.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "appliance_env.h"
#include "utils.h"
#include "utils_json.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

const char kTool[] = "/var/packages/Paperlens/target/udc/paperlens";

Json::Value UsageFile() {
  Json::Value v;
  json::FromFile(SZF_UDC_PATH, v);
  return v;
}

// Runs the usage tool; its standard output parsed, and its exit status.
Json::Value RunTool(int& status) {
  FILE* out = VLIBCPopen(kTool, "r", nullptr);
  EXPECT_NE(nullptr, out);
  std::string text;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), out)) > 0) text.append(buf, n);
  status = VLIBCPclose(out);
  EXPECT_FALSE(text.empty());
  EXPECT_NE('\n', text.back());
  Json::Value v;
  EXPECT_TRUE(json::FromString(text, v)) << text;
  return v;
}

class UdcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unlink(SZF_UDC_PATH);
    unlink(SZF_INDEX_CONFIG);
    SetCollecting(true);
  }
  void SetCollecting(bool on) {
    ASSERT_EQ(0, VLIBCFileSetKeyValue("/etc/vireoinfo.conf", "enable_data_collect",
                                      on ? "yes" : "no"));
  }
};

TEST_F(UdcTest, CountsNothingWhenCollectingIsOff) {
  SetCollecting(false);
  UDC udc;
  EXPECT_TRUE(testsupport::Exists(SZF_UDC_PATH));  // created, empty
  udc.AddFileType("docx");
  udc.IncSection("thirdparty_count");
  udc.StartConvert();
  udc.EndConvert();
  EXPECT_EQ("", testsupport::ReadFile(SZF_UDC_PATH));
}

TEST_F(UdcTest, RecordsTypesAndDurations) {
  UDC udc;
  udc.AddFileType("docx");
  udc.AddFileType("pdf");
  udc.EndConvert();  // no start: nothing
  udc.StartConvert();
  sleep(1);
  udc.EndConvert();
  udc.EndConvert();  // one start, one duration
  udc.IncSection("thirdparty_count");
  Json::Value usage = UsageFile();
  EXPECT_EQ(1, usage["collector_version"].asInt());
  EXPECT_EQ(1, usage["thirdparty_count"].asInt());
  ASSERT_EQ(2u, usage["file_types"].size());
  EXPECT_EQ("docx", usage["file_types"][0].asString());
  EXPECT_EQ("pdf", usage["file_types"][1].asString());
  ASSERT_EQ(1u, usage["convert_time"].size());
  EXPECT_GE(usage["convert_time"][0].asInt(), 1);
  EXPECT_LE(usage["convert_time"][0].asInt(), 3);
}

TEST_F(UdcTest, CompletesFilesWithMissingOrWrongContent) {
  testsupport::WriteFile(SZF_UDC_PATH,
                         "{\"collector_version\":1,\"thirdparty_count\":7,\"convert_time\":[3]}");
  {
    UDC udc;
    udc.IncSection("thirdparty_count");
  }
  Json::Value usage = UsageFile();
  EXPECT_EQ(8, usage["thirdparty_count"].asInt());
  EXPECT_EQ(3, usage["convert_time"][0].asInt());
  EXPECT_TRUE(usage["file_types"].isArray());
  EXPECT_EQ(0u, usage["file_types"].size());

  testsupport::WriteFile(SZF_UDC_PATH, "[1,2,3]");
  {
    UDC udc;
    udc.AddFileType("xlsx");
  }
  usage = UsageFile();
  ASSERT_TRUE(usage.isObject());
  EXPECT_EQ(0, usage["thirdparty_count"].asInt());
  EXPECT_EQ("xlsx", usage["file_types"][0].asString());

  // A present key of another type is kept, and counting does not fail on it.
  testsupport::WriteFile(SZF_UDC_PATH, "{\"file_types\":\"not a list\"}");
  {
    UDC udc;
    udc.AddFileType("pptx");
  }
  EXPECT_EQ("not a list", UsageFile()["file_types"].asString());
}

TEST_F(UdcTest, TheToolReportsAndEmptiesTheUsageFile) {
  {
    UDC udc;
    udc.AddFileType("docx");
  }
  testsupport::WriteFile(
      SZF_INDEX_CONFIG,
      "{\"items\":[{\"id\":1,\"path\":\"/docs\",\"enable_thumbnail\":true,"
      "\"enable_preconvert\":false},{\"id\":2,\"path\":\"/archive\",\"enable_thumbnail\":false,"
      "\"enable_preconvert\":true}]}");
  int status = -1;
  Json::Value report = RunTool(status);
  EXPECT_EQ(0, status);
  EXPECT_EQ("docx", report["file_types"][0].asString());
  EXPECT_TRUE(report["fileindex"]["thumbnail"].asBool());
  EXPECT_TRUE(report["fileindex"]["pre_convert"].asBool());
  EXPECT_FALSE(testsupport::Exists(SZF_UDC_PATH));

  // Run again: the defaults, and nothing indexed once the configuration is gone.
  unlink(SZF_INDEX_CONFIG);
  report = RunTool(status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(1, report["collector_version"].asInt());
  EXPECT_EQ(0, report["thirdparty_count"].asInt());
  EXPECT_EQ(0u, report["file_types"].size());
  EXPECT_EQ(0u, report["convert_time"].size());
  EXPECT_FALSE(report["fileindex"]["thumbnail"].asBool());
  EXPECT_FALSE(report["fileindex"]["pre_convert"].asBool());

  // Whatever the files hold, the tool prints one object and exits with 0.
  testsupport::WriteFile(SZF_UDC_PATH, "[\"an array\"]");
  testsupport::WriteFile(SZF_INDEX_CONFIG, "{\"items\":{\"not\":\"a list\"}}");
  report = RunTool(status);
  EXPECT_EQ(0, status);
  EXPECT_TRUE(report.isObject());
  EXPECT_FALSE(report["fileindex"]["thumbnail"].asBool());
}

TEST_F(UdcTest, CountsSavedWhileTheToolRunsAreNeitherLostNorReportedTwice) {
  // A writer that counts as request processes do (a fresh counter each time), while the tool
  // collects again and again: every count is printed once or is still in the file.
  constexpr int kCounts = 4000;
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    for (int i = 0; i < kCounts; ++i) UDC().IncSection("thirdparty_count");
    _exit(0);
  }
  long reported = 0;
  int runs = 0, waitStatus = 0, toolStatus = 0;
  for (;;) {
    bool writing = waitpid(writer, &waitStatus, WNOHANG) == 0;
    reported += RunTool(toolStatus)["thirdparty_count"].asInt();
    ++runs;
    if (!writing) break;
  }
  reported += UsageFile()["thirdparty_count"].asInt();
  EXPECT_EQ(kCounts, reported) << "over " << runs << " collections";
  EXPECT_GT(runs, 2);
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
