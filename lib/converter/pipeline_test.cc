// Real conversions through the pool and the container stand-in: the PDF pipeline into the
// cache, thumbnails, one conversion per file across processes, and the staging area's clean-up.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "appliance_env.h"
#include "cache_manager.h"
#include "config_manager.h"
#include "converter/converter.h"
#include "converter/process_owner.h"
#include "converter/pdf.h"
#include "converter/thumbnail.h"
#include "documents.h"
#include "utils.h"
#include "utils_json.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {
namespace {

using testsupport::Exists;
using testsupport::MakeDocument;

const std::string kDir = "/volume1/docs/pipeline";
const std::string kSourceStage = "/volume1/docker/@tmp/Paperlens/@tmp/source";
const std::string kTargetStage = "/volume1/docker/@tmp/Paperlens/@tmp/target";

std::string Stream(const std::string& file, const char* stream) {
  size_t slash = file.rfind('/');
  return file.substr(0, slash) + "/@eaDir/" + file.substr(slash + 1) + "/" + stream;
}

path::Path Real(const std::string& file) {
  path::Path p;
  p.SetData("realPath", file, true);
  return p;
}

// Entries of a folder, but the @eaDir folder itself.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != ".." && n != "@eaDir") names.push_back(n);
  }
  closedir(d);
  return names;
}

Json::Value State() {
  Json::Value state;
  json::FromFile(SZF_CONFIG_PATH, state);
  return state;
}

int JobsRun() {
  Json::Value state = State();
  return state["vireolens-1"]["used"].asInt() + state["vireolens-2"]["used"].asInt();
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::MakeDir(kDir, 02775, 0, testsupport::kUsersGid); }
  void TearDown() override {
    testsupport::RemoveAll(kDir);
    // Nothing a run staged may stay behind.
    EXPECT_TRUE(Entries(kSourceStage).empty());
    EXPECT_TRUE(Entries(kTargetStage).empty());
    EXPECT_TRUE(Entries(kSourceStage + "/@eaDir").empty());
    Json::Value files = State()["runningFiles"];
    EXPECT_TRUE(files.empty()) << files;
  }
};

TEST_F(PipelineTest, EveryKindOfDocumentIsCachedAsPdfAndGetsAThumbnail) {
  struct Kind {
    std::string type;
    int pages;
    int pdfPages;         // expected, -1 when any
    bool thumbnailFirst;  // before the PDF is cached: from the source itself
  } kinds[] = {
      {"docx", 3, 3, false}, {"odt", 2, 2, true},  {"rtf", 1, 1, false}, {"pptx", 2, 2, false},
      {"odp", 1, 1, true},   {"odg", 1, 1, false}, {"xlsx", 1, 1, true}, {"ods", 1, 1, false},
      {"epub", 2, -1, true}, {"mobi", 1, -1, false}, {"pdf", 2, 2, true},
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.type);
    const std::string file = kDir + "/sample." + k.type;
    ASSERT_TRUE(MakeDocument(k.type, file, k.pages));
    path::Path source = Real(file);
    const std::string thumb = Stream(file, SZK_THUMB_TYPE);
    if (k.thumbnailFirst) {
      EXPECT_EQ(1000, ToThumbnail(source));
      EXPECT_TRUE(testsupport::IsPng(thumb));
      unlink(thumb.c_str());
    }

    EXPECT_EQ(1000, ToPDFCache(source));
    const std::string pdf = Stream(file, SZK_THUMB_PDF_TYPE);
    EXPECT_TRUE(testsupport::IsSoundPdf(pdf));
    if (k.pdfPages > 0) {
      EXPECT_EQ(k.pdfPages, testsupport::PdfPages(pdf));
    } else {
      EXPECT_GE(testsupport::PdfPages(pdf), 1);
    }
    CacheManager cache(true, 1073741824);
    std::ifstream in;
    EXPECT_TRUE(cache.Get(file, SZK_THUMB_PDF_TYPE, in));

    EXPECT_EQ(1000, ToThumbnail(source));
    EXPECT_TRUE(testsupport::IsPng(thumb));
    EXPECT_FALSE(Exists(thumb + ".err.0063"));
  }
}

TEST_F(PipelineTest, AWideSpreadsheetFitsThePageWidth) {
  const std::string file = kDir + "/wide.xlsx";
  ASSERT_TRUE(MakeDocument("xlsx", file, 1, /*wide=*/true));
  EXPECT_EQ(1000, ToPDFCache(Real(file)));
  // 40 columns of 3 cm: eight pages across unless scaled to the page width.
  EXPECT_EQ(1, testsupport::PdfPages(Stream(file, SZK_THUMB_PDF_TYPE)));
}

TEST_F(PipelineTest, FiveProcessesAskingForOneFileMakeOneConversion) {
  const std::string file = kDir + "/shared.docx";
  ASSERT_TRUE(MakeDocument("docx", file, 4));
  const int before = JobsRun();
  std::vector<pid_t> children;
  for (int i = 0; i < 5; ++i) {
    pid_t pid = fork();
    if (pid == 0) _exit(ToPDFCache(Real(file)) == 1000 ? 0 : 1);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(before + 1, JobsRun());
  EXPECT_EQ(4, testsupport::PdfPages(Stream(file, SZK_THUMB_PDF_TYPE)));
}

TEST_F(PipelineTest, AConversionKilledMidwayDoesNotBlockTheNextCaller) {
  const std::string file = kDir + "/killed.docx";
  ASSERT_TRUE(MakeDocument("docx", file, 30));
  const std::string key = file + ":origin";
  pid_t child = fork();
  if (child == 0) _exit(ToPDFCache(Real(file)) == 1000 ? 0 : 1);
  // Kill it once it holds the marker and its job is running in a container.
  bool running = false;
  for (int i = 0; i < 2400 && !running; ++i) {  // up to a minute on a loaded machine
    Json::Value state = State();
    running = state["runningFiles"].isMember(key) && !state["runningQueue"].empty();
    if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_TRUE(running);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);

  // The next caller neither waits for the dead process for good nor finds the container taken.
  testsupport::LogMark log;
  EXPECT_EQ(1000, ToPDFCache(Real(file)));
  EXPECT_TRUE(log.Contains("taking over " + key));
  EXPECT_EQ(30, testsupport::PdfPages(Stream(file, SZK_THUMB_PDF_TYPE)));
  Json::Value state = State();
  EXPECT_TRUE(state["runningQueue"].empty()) << state;
  EXPECT_EQ(0, state["vireolens-1"]["using"].asInt());
  // The killed run's staged input stays until the package starts again, which clears it.
  EXPECT_EQ(0, testsupport::Shell("/var/packages/Paperlens/target/scripts/start-stop-status start"));
}

TEST_F(PipelineTest, UnsupportedAndBrokenDocumentsFailCleanly) {
  testsupport::LogMark log;
  testsupport::WriteFile(kDir + "/README", "no type");
  testsupport::WriteFile(kDir + "/notes.txt", "plain text");
  path::Path result;
  EXPECT_EQ(1003, ToPDF(Real(kDir + "/README"), result, nullptr));
  EXPECT_EQ(1003, ToPDF(Real(kDir + "/notes.txt"), result, nullptr));
  EXPECT_TRUE(log.Contains("Failed [strSrcType.empty()]"));
  EXPECT_TRUE(log.Contains("err type: txt"));
  EXPECT_EQ(1003, ToPDFCache(Real(kDir + "/notes.txt")));

  // The office tool exits 0 on garbage; the missing output is what fails the run.
  const std::string broken = kDir + "/broken.docx";
  testsupport::WriteFile(broken, testsupport::BrokenOfficeDocument());
  EXPECT_EQ(1002, ToPDFCache(Real(broken)));
  EXPECT_FALSE(Exists(Stream(broken, SZK_THUMB_PDF_TYPE)));
  // The marker went with the failure: the repaired document converts.
  ASSERT_TRUE(MakeDocument("docx", broken, 1));
  EXPECT_EQ(1000, ToPDFCache(Real(broken)));
  EXPECT_EQ(1, testsupport::PdfPages(Stream(broken, SZK_THUMB_PDF_TYPE)));
}

TEST_F(PipelineTest, AWaiterWhoseConverterFailedConvertsItself) {
  // Another live process "converts" the file, then gives up without caching anything.
  const std::string file = kDir + "/waited.pdf";
  ASSERT_TRUE(MakeDocument("pdf", file, 2));
  const std::string key = file + ":origin";
  {
    ConfigManager mgr(SZF_CONFIG_PATH, 5);
    ConfigWriter writer(mgr);
    mgr.GetConfig()["runningFiles"][key] = owner::Of(1);
  }
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ConfigManager mgr(SZF_CONFIG_PATH, 5);
    ConfigWriter writer(mgr);
    mgr.GetConfig()["runningFiles"].removeMember(key);
  });
  const int jobs = JobsRun();
  EXPECT_EQ(1000, ToPDFCache(Real(file)));
  release.join();
  EXPECT_EQ(jobs + 1, JobsRun());  // it did not take the other's word for it
  EXPECT_EQ(2, testsupport::PdfPages(Stream(file, SZK_THUMB_PDF_TYPE)));
}

TEST_F(PipelineTest, SuccessMeansAPdfInTheCache) {
  // The PDF converts, but the folder's @eaDir is not root's: nothing can be stored, so no 1000.
  const std::string file = kDir + "/unstorable.pdf";
  ASSERT_TRUE(MakeDocument("pdf", file, 1));
  testsupport::MakeDir(kDir + "/@eaDir", 0777, testsupport::kBobUid, testsupport::kUsersGid);
  EXPECT_EQ(1002, ToPDFCache(Real(file)));
  EXPECT_TRUE(Entries(kDir + "/@eaDir").empty());

  // Only regular files are documents: a FIFO or a folder is refused before anything runs.
  ASSERT_EQ(0, testsupport::Shell("mkfifo " + kDir + "/fifo.docx && mkdir " + kDir + "/dir.docx"));
  const int jobs = JobsRun();
  path::Path result;
  EXPECT_EQ(1003, ToPDF(Real(kDir + "/fifo.docx"), result, nullptr));
  EXPECT_EQ(1003, ToPDFCache(Real(kDir + "/dir.docx")));
  EXPECT_EQ(jobs, JobsRun());

  // A Path that records the file its caller checked converts only that file.
  const std::string checked = kDir + "/checked.pdf";
  ASSERT_TRUE(MakeDocument("pdf", checked, 1));
  struct stat st;
  ASSERT_EQ(0, stat(checked.c_str(), &st));
  path::Path source = Real(checked);
  source.SetData("device", static_cast<Json::UInt64>(st.st_dev), true);
  source.SetData("inode", static_cast<Json::UInt64>(st.st_ino + 1), true);
  EXPECT_EQ(1003, ToPDF(source, result, nullptr));
  source.SetData("inode", static_cast<Json::UInt64>(st.st_ino), true);
  EXPECT_EQ(1000, ToPDF(source, result, nullptr));
  RemoveTmpFile(result.GetRealPath(""));
}

TEST_F(PipelineTest, AFailedThumbnailLeavesItsMarkerUntilASuccess) {
  const std::string file = kDir + "/thumb.docx";
  testsupport::WriteFile(file, testsupport::BrokenOfficeDocument());
  const std::string thumb = Stream(file, SZK_THUMB_TYPE);
  EXPECT_NE(1000, ToThumbnail(Real(file)));
  EXPECT_TRUE(Exists(thumb + ".err.0063"));
  EXPECT_FALSE(Exists(thumb));

  ASSERT_TRUE(MakeDocument("docx", file, 1));
  EXPECT_EQ(1000, ToThumbnail(Real(file)));
  EXPECT_FALSE(Exists(thumb + ".err.0063"));
  EXPECT_TRUE(testsupport::IsPng(thumb));
}

TEST_F(PipelineTest, AThumbnailReusesTheCachedPdf) {
  const std::string file = kDir + "/cached.docx";
  ASSERT_TRUE(MakeDocument("docx", file, 2));
  ASSERT_EQ(1000, ToPDFCache(Real(file)));
  // Spoil the document: only the cached PDF can still give a first page.
  std::ofstream(file, std::ios::trunc) << testsupport::BrokenOfficeDocument();
  EXPECT_EQ(1000, ToThumbnail(Real(file)));
  EXPECT_TRUE(testsupport::IsPng(Stream(file, SZK_THUMB_TYPE)));
}

TEST_F(PipelineTest, AThumbnailInProgressElsewhereIsLeftAlone) {
  const std::string file = kDir + "/busy.docx";
  ASSERT_TRUE(MakeDocument("docx", file, 1));
  {
    // The sandbox's first process stands for another live process making this thumbnail.
    ConfigManager mgr(SZF_CONFIG_PATH, 5);
    ConfigWriter writer(mgr);
    mgr.GetConfig()["runningFiles"][file + ":thumbnail"] = owner::Of(1);
  }
  // Returns at once (a conversion would take seconds and leave a thumbnail or a marker).
  const int jobs = JobsRun();
  EXPECT_EQ(1000, ToThumbnail(Real(file)));
  EXPECT_EQ(jobs, JobsRun());
  EXPECT_FALSE(Exists(Stream(file, SZK_THUMB_TYPE)));
  EXPECT_FALSE(Exists(Stream(file, SZK_THUMB_TYPE) + ".err.0063"));
  {
    ConfigManager mgr(SZF_CONFIG_PATH, 5);
    ConfigWriter writer(mgr);
    mgr.GetConfig()["runningFiles"].removeMember(file + ":thumbnail");
  }
}

// A converter whose tool is a shell command, to watch the run itself.
class ShellConverter : public ConverterBase {
 public:
  explicit ShellConverter(const std::string& script) : ConverterBase(ContainerPoolManager::PRIORITY_HIGH),
                                              _script(script) {}
  void GetCommand(std::vector<std::string>& argv) override {
    std::string s = std::regex_replace(_script, std::regex("SRC"), ContainerSource());
    s = std::regex_replace(s, std::regex("TGT"), ContainerTarget());
    argv = {"sh", "-c", s};
  }

 private:
  std::string _script;
};

TEST_F(PipelineTest, ARunLinksOnTheSameVolumeCopiesAcrossAndChecksTheOutput) {
  testsupport::WriteFile(kDir + "/a.docx", "same volume");
  testsupport::WriteFile("/volume2/archive/pipeline/b.docx", "other volume");
  const std::string script = "stat -c 'links=%h' SRC > TGT; echo padding-padding >> TGT";

  path::Path out;
  path::Path near = Real(kDir + "/a.docx");
  ShellConverter here(script);
  ASSERT_EQ(1000, here.Convert("txt", near, out));
  const std::string output = out.GetRealPath("");
  EXPECT_TRUE(std::regex_match(output, std::regex(kTargetStage + "/[A-Za-z0-9]{6}\\.txt")))
      << output;
  EXPECT_EQ(0u, testsupport::ReadFile(output).find("links=2"));  // a hard link
  unlink(output.c_str());

  path::Path out2;
  path::Path far = Real("/volume2/archive/pipeline/b.docx");
  ShellConverter there(script);
  ASSERT_EQ(1000, there.Convert("txt", far, out2));
  EXPECT_EQ(0u, testsupport::ReadFile(out2.GetRealPath("")).find("links=1"));  // a copy
  unlink(out2.GetRealPath("").c_str());
  testsupport::RemoveAll("/volume2/archive/pipeline");

  // Ten bytes are not a usable output: 1002, and nothing staged stays.
  path::Path out3;
  path::Path src = Real(kDir + "/a.docx");
  ShellConverter tiny("printf 0123456789 > TGT");
  EXPECT_EQ(1002, tiny.Convert("pdf", src, out3));
  EXPECT_FALSE(out3.HasData("realPath"));

  // The same-folder tool's output is the staged input's base name.
  path::Path out4;
  path::Path doc = Real(kDir + "/c.docx");
  ASSERT_TRUE(MakeDocument("docx", kDir + "/c.docx", 1));
  LibreOfficeConverter office(ContainerPoolManager::PRIORITY_HIGH);
  ASSERT_EQ(1000, office.Convert("pdf", doc, out4));
  std::string staged = office._tmpSrcPath.GetRealPath("");
  std::string base = staged.substr(staged.rfind('/') + 1);
  base = base.substr(0, base.rfind('.'));
  EXPECT_EQ(kTargetStage + "/" + base + ".pdf", out4.GetRealPath(""));
  EXPECT_FALSE(Exists(staged));
  unlink(out4.GetRealPath("").c_str());
}

}  // namespace
}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO
