// The package's start step against the state file a previous run left: what live processes
// hold and the containers' counts carry over, what dead processes left goes, and a broken file
// gives way to the default.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "appliance_env.h"
#include "converter/process_owner.h"
#include "utils.h"
#include "utils_json.h"

namespace VIREO {
namespace PAPERLENS {
namespace {

const char kStart[] = "/var/packages/Paperlens/target/bin/paperlens-start";
const char kDefault[] = "/var/packages/Paperlens/target/conf/config";
const char kStaged[] = "/volume1/docker/@tmp/Paperlens/@tmp/source/staged.docx";

Json::Value Parse(const std::string& text) {
  Json::Value v;
  EXPECT_TRUE(json::FromString(text, v)) << text;
  return v;
}

Json::Value State() {
  Json::Value v;
  EXPECT_TRUE(json::FromFile(SZF_CONFIG_PATH, v)) << testsupport::ReadFile(SZF_CONFIG_PATH);
  return v;
}

// `v` as it reads back from a file (numbers lose the signedness they were made with).
Json::Value AsStored(const Json::Value& v) { return Parse(json::ToString(v)); }

// A record with `extra` members added to `owner`.
Json::Value With(Json::Value owner, const char* extra) {
  Json::Value e = Parse(extra);
  for (const std::string& k : e.getMemberNames()) owner[k] = e[k];
  return owner;
}

class StartStep : public ::testing::Test {
 protected:
  void SetUp() override {
    // A process of the old run still converting, and one that has gone.
    live_ = fork();
    ASSERT_GE(live_, 0);
    if (live_ == 0) {
      pause();
      _exit(0);
    }
    liveOwner_ = owner::Of(live_);
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) {
      pause();
      _exit(0);
    }
    deadOwner_ = owner::Of(gone);
    kill(gone, SIGKILL);
    waitpid(gone, nullptr, 0);
    ASSERT_TRUE(liveOwner_.isObject());
    ASSERT_TRUE(deadOwner_.isObject());
    // Our own pid with another start time: the pid was reused by a new process.
    reused_ = owner::Self();
    reused_["start"] = reused_["start"].asUInt64() + 1;
    testsupport::WriteFile(kStaged, "staged by a conversion in progress");
  }
  void TearDown() override {
    kill(live_, SIGKILL);
    waitpid(live_, nullptr, 0);
  }

  static void RunStart() { ASSERT_EQ(0, system(kStart)); }

  pid_t live_ = -1;
  Json::Value liveOwner_, deadOwner_, reused_;
};

TEST_F(StartStep, LiveProcessesKeepTheirEntriesDeadOnesLoseThemCountsStay) {
  Json::Value state(Json::objectValue);
  state["vireolens-1"] = Parse("{\"used\": 41, \"using\": 3}");
  state["vireolens-9"] = Parse("{\"used\": 7, \"using\": 1}");  // a container of its own
  state["runningQueue"] = Parse("{\"live-run\": true, \"dead-run\": true, \"reused-run\": true, "
                                "\"legacy-run\": true}");
  state["waitingQueue"] = Parse("[{\"live-wait\": true, \"dead-wait\": true}, {}, {\"legacy\": true}]");
  state["jobOwners"]["live-run"] = With(liveOwner_, "{\"priority\": 2, \"container\": \"vireolens-1\"}");
  state["jobOwners"]["dead-run"] = With(deadOwner_, "{\"priority\": 2, \"container\": \"vireolens-1\"}");
  state["jobOwners"]["reused-run"] = With(reused_, "{\"priority\": 1, \"container\": \"vireolens-9\"}");
  state["jobOwners"]["live-wait"] = With(liveOwner_, "{\"priority\": 0}");
  state["jobOwners"]["dead-wait"] = With(deadOwner_, "{\"priority\": 0}");
  state["runningFiles"]["/volume1/docs/a.docx:origin"] = liveOwner_;
  state["runningFiles"]["/volume1/docs/b.docx:origin"] = deadOwner_;
  state["runningFiles"]["/volume1/docs/c.docx:thumbnail"] = Json::Value(Json::objectValue);
  testsupport::WriteFile(SZF_CONFIG_PATH, json::ToString(state));

  RunStart();
  Json::Value after = State();
  EXPECT_EQ(Parse("{\"used\": 41, \"using\": 1}"), after["vireolens-1"]) << after;
  EXPECT_EQ(Parse("{\"used\": 7, \"using\": 0}"), after["vireolens-9"]) << after;
  // The default's containers that were missing are back, from zero.
  EXPECT_EQ(Parse("{\"used\": 0, \"using\": 0}"), after["vireolens-2"]) << after;
  EXPECT_EQ(Parse("{\"live-run\": true}"), after["runningQueue"]);
  EXPECT_EQ(Parse("[{\"live-wait\": true}, {}, {}]"), after["waitingQueue"]);
  EXPECT_EQ(Parse("[\"live-run\", \"live-wait\"]"), [&] {
    Json::Value names(Json::arrayValue);
    for (const std::string& n : after["jobOwners"].getMemberNames()) names.append(n);
    return names;
  }());
  EXPECT_EQ(AsStored(state["jobOwners"]["live-run"]), after["jobOwners"]["live-run"]);
  ASSERT_EQ(1u, after["runningFiles"].size()) << after["runningFiles"];
  EXPECT_EQ(AsStored(liveOwner_), after["runningFiles"]["/volume1/docs/a.docx:origin"]);
  // A conversion of the live process may be using what is staged.
  EXPECT_TRUE(testsupport::Exists(kStaged));
}

TEST_F(StartStep, WithOnlyDeadProcessesLeftTheQueuesEmptyAndTheStagingAreaIsCleared) {
  Json::Value state = Parse(testsupport::ReadFile(kDefault));
  state["vireolens-2"] = Parse("{\"used\": 12, \"using\": 1}");
  state["runningQueue"]["dead-run"] = true;
  state["waitingQueue"][1]["dead-wait"] = true;
  state["jobOwners"]["dead-run"] = With(deadOwner_, "{\"priority\": 1, \"container\": \"vireolens-2\"}");
  state["jobOwners"]["dead-wait"] = With(deadOwner_, "{\"priority\": 1}");
  state["runningFiles"]["/volume1/docs/b.docx:origin"] = deadOwner_;
  state["indexing"] = "kept as it is";  // members the pool does not know stay
  testsupport::WriteFile(SZF_CONFIG_PATH, json::ToString(state));

  RunStart();
  Json::Value after = State();
  EXPECT_EQ(Parse("{\"used\": 12, \"using\": 0}"), after["vireolens-2"]) << after;
  EXPECT_EQ(Parse("{}"), after["runningQueue"]);
  EXPECT_EQ(Parse("[{}, {}, {}]"), after["waitingQueue"]);
  EXPECT_EQ(Parse("{}"), after["runningFiles"]);
  EXPECT_EQ(Parse("{}"), after["jobOwners"]);
  EXPECT_EQ("kept as it is", after["indexing"].asString());
  EXPECT_FALSE(testsupport::Exists(kStaged));
}

TEST_F(StartStep, AMissingOrBrokenStateFileIsReplacedByTheDefault) {
  const Json::Value defaults = Parse(testsupport::ReadFile(kDefault));
  for (const char* broken : {"{\"vireolens-1\": {\"used\": 4", "", "[1, 2]", "\"text\""}) {
    testsupport::WriteFile(SZF_CONFIG_PATH, broken);
    RunStart();
    EXPECT_EQ(defaults, State()) << broken;
  }
  unlink(SZF_CONFIG_PATH);
  RunStart();
  EXPECT_EQ(defaults, State());
}

}  // namespace
}  // namespace PAPERLENS
}  // namespace VIREO
