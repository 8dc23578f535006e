// The converter image's resident office: a started container keeps one warm office behind its
// soffice and unoconv fronts, with the package's argument vectors unchanged at the docker
// boundary. Real office, real stand-in; the documents are made here by the image's own tools.
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include "docker_fixture.h"

namespace harbor {
namespace docker {
namespace testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr const char* kName = "vireowarm";
constexpr const char* kContainerDir = "/usr/vireo/var/docker/containers/vireowarm";

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// `n` pages, each "<word> page <i>" followed by `words` more words.
std::string Pages(int n, const std::string& word, int words = 0) {
  std::string html = "<html><body>";
  for (int i = 1; i <= n; ++i) {
    html += i == 1 ? "<p>" : "<p style=\"page-break-before: always\">";
    html += word + " page " + std::to_string(i);
    for (int w = 0; w < words; ++w) html += w % 2 == 0 ? " some" : " text";
    html += "</p>";
  }
  return html + "</body></html>\n";
}

class DockerWarmTest : public ::testing::Test {
 protected:
  void TearDown() override { Docker({"rm", "-f", kName}); }

  // A started container, as the package's start step leaves it, with `env` for its resident;
  // returns once the resident's first office is ready.
  void StartContainer(const std::vector<std::string>& env = {}) {
    std::error_code ec;
    fs::remove_all(kHostStaging, ec);
    fs::create_directories(kHostSource);
    fs::create_directories(kHostTarget);
    std::vector<std::string> args = {"create", "--name", kName};
    for (const auto& e : env) args.insert(args.end(), {"-e", e});
    args.insert(args.end(), {"-v", std::string(kHostSource, strlen(kHostSource) - 1) + ":" +
                                       std::string(kSource, strlen(kSource) - 1) + ":ro",
                             "-v", std::string(kHostTarget, strlen(kHostTarget) - 1) + ":" +
                                       std::string(kTarget, strlen(kTarget) - 1),
                             kImage});
    RunResult r = Docker(args);
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_EQ(0, Docker({"start", kName}).status);
    ASSERT_TRUE(WaitForGeneration(1, 90)) << Log();
  }

  static std::string Log() { return ReadFile(std::string(kContainerDir) + "/main.log"); }
  // The resident's log once it holds `text` (it says so just after it acted).
  static std::string LogWith(const std::string& text) {
    for (int i = 0; i < 100 && Log().find(text) == std::string::npos; ++i) usleep(50 * 1000);
    return Log();
  }

  static Json::Value State() {
    Json::Value v;
    Json::CharReaderBuilder rb;
    std::string errs;
    std::istringstream in(
        ReadFile(std::string(kContainerDir) + "/tmp/paperlens-office/state.json"));
    if (!Json::parseFromStream(rb, in, &v, &errs)) return Json::Value();
    return v;
  }

  // Waits until a resident office of generation `gen` or later is ready.
  static bool WaitForGeneration(int gen, int seconds) {
    for (double end = Now() + seconds; Now() < end; usleep(50 * 1000)) {
      Json::Value s = State();
      if (s["generation"].isInt() && s["generation"].asInt() >= gen) return true;
    }
    return false;
  }

  // The resident's office process as the appliance sees it: the one soffice.bin whose /tmp is
  // this container's. 0 when there is none.
  static pid_t OfficePid() { return ContainerProcess("/usr/lib/libreoffice/program/soffice.bin",
                                                     "paperlens-office/profile"); }
  static pid_t ResidentPid() { return ContainerProcess("/usr/bin/python3", "paperlens/officed"); }

  // The one process of this container whose command line begins with `program` and holds
  // `part`; 0 when there is none or several.
  static pid_t ContainerProcess(const std::string& program, const std::string& part) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string cmd = ReadFile("/proc/" + name + "/cmdline");
      if (cmd.rfind(program, 0) != 0 || cmd.find(part) == std::string::npos ||
          cmd.find("--worker") != std::string::npos) {
        continue;
      }
      if (ReadFile("/proc/" + name + "/mountinfo").find("containers/vireowarm/tmp") !=
          std::string::npos) {
        found.push_back(std::stoi(name));
      }
    }
    return found.size() == 1 ? found[0] : 0;
  }

  RunResult Exec(const std::vector<std::string>& command, const std::string& limit = "120",
                 const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = {"exec"};
    for (const auto& e : env) args.insert(args.end(), {"-e", e});
    args.insert(args.end(), {kName, "timeout", "--kill-after=5", limit});
    args.insert(args.end(), command.begin(), command.end());
    return Docker(args);
  }
  RunResult Cold(const std::vector<std::string>& command) {
    return Exec(command, "120", {"PAPERLENS_OFFICE_COLD=1"});
  }

  static std::vector<std::string> Soffice(const std::string& src) {
    return {"soffice", "--headless", "--convert-to", "pdf", "--outdir", kTarget, kSource + src};
  }
  static std::vector<std::string> Unoconv(const std::string& src, const std::string& tgt,
                                          bool spreadsheet, const std::string& range = "") {
    std::vector<std::string> v = {"unoconv", "-o", kTarget + tgt, "--format=pdf"};
    if (spreadsheet) v.push_back("--spreadsheet-fitpage=x");
    if (!range.empty()) v.insert(v.end(), {"-e", "PageRange=" + range});
    v.push_back(kSource + src);
    return v;
  }

  // Makes `name` in the source folder from `content` saved as `from` by a cold office.
  void MakeSource(const std::string& name, const std::string& from, const std::string& content,
                  const std::string& filter) {
    WriteFile(kHostSource + from, content);
    const std::string ext = name.substr(name.rfind('.') + 1);
    RunResult r = Exec({"soffice", "--headless", "--convert-to", ext + ":" + filter, "--outdir",
                        kTarget, kSource + from});
    const std::string made =
        std::string(kHostTarget) + from.substr(0, from.rfind('.')) + "." + ext;
    ASSERT_TRUE(Exists(made)) << "could not make " << name << ": " << r.out << r.err;
    ASSERT_EQ(0, rename(made.c_str(), (kHostSource + name).c_str()));
  }

  static int PdfPages(const std::string& name) {
    RunResult r = RunCommand({"pdfinfo", kHostTarget + name});
    size_t at = r.out.find("Pages:");
    return r.status == 0 && at != std::string::npos ? std::stoi(r.out.substr(at + 6)) : -1;
  }

  // Names in the target folder other than `except`: partial outputs left behind.
  static std::vector<std::string> TargetLeftovers(const std::string& except = "") {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(kHostTarget)) {
      const std::string n = e.path().filename().string();
      if (n != except) out.push_back(n);
    }
    return out;
  }

  static mode_t Mode(const std::string& target) {
    struct stat st;
    return stat((kHostTarget + target).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  static void Remove(const std::string& target) { unlink((kHostTarget + target).c_str()); }

  static int Documents() { return State()["documents"].asInt(); }
};

// Same PDFs from the resident as from a cold run, for each of the package's office calls.
TEST_F(DockerWarmTest, WarmMatchesColdAndReusesTheOffice) {
  StartContainer();
  MakeSource("Ab3xQ9.docx", "letter.html", Pages(8, "Letter"), "MS Word 2007 XML");
  MakeSource("Nt5odt.odt", "note.html", Pages(5, "Note"), "writer8");
  std::string csv;
  for (int row = 0; row < 300; ++row) {
    for (int col = 0; col < 20; ++col) csv += (col ? ",r" : "r") + std::to_string(row) + "c";
    csv += "\n";
  }
  MakeSource("Sh33t1.xlsx", "sheet.csv", csv, "Calc Office Open XML");
  const int gen = State()["generation"].asInt();
  const pid_t office = OfficePid();
  ASSERT_NE(0, office);

  struct Case {
    std::vector<std::string> command;
    std::string output;
  } cases[] = {
      {Soffice("Ab3xQ9.docx"), "Ab3xQ9.pdf"},
      {Unoconv("Ab3xQ9.docx", "Ab3xQ9.pdf", false), "Ab3xQ9.pdf"},
      {Unoconv("Nt5odt.odt", "Nt5odt.pdf", false), "Nt5odt.pdf"},
      {Unoconv("Nt5odt.odt", "Pr4nge.pdf", false, "2-3"), "Pr4nge.pdf"},
      {Unoconv("Sh33t1.xlsx", "Sh33t1.pdf", true), "Sh33t1.pdf"},
      {Unoconv("Sh33t1.xlsx", "Sh1pr1.pdf", true, "1-1"), "Sh1pr1.pdf"},
  };
  for (const auto& c : cases) {
    const std::string what = c.command[0] + " " + c.command.back() + " -> " + c.output;
    RunResult cold = Cold(c.command);
    ASSERT_EQ(0, cold.status) << what << cold.err;
    const int coldPages = PdfPages(c.output);
    const mode_t coldMode = Mode(c.output);
    Remove(c.output);

    const int before = Documents();
    RunResult warm = Exec(c.command);
    EXPECT_EQ(0, warm.status) << what << warm.err;
    EXPECT_EQ(before + 1, Documents()) << what << ": not converted by the resident";
    EXPECT_GT(coldPages, 0) << what;
    EXPECT_EQ(coldPages, PdfPages(c.output)) << what;
    EXPECT_EQ(coldMode, Mode(c.output)) << what;
    EXPECT_EQ(std::vector<std::string>{c.output}, TargetLeftovers()) << what;
    Remove(c.output);
  }
  // All of them in the one office that was ready before the first.
  EXPECT_EQ(gen, State()["generation"].asInt());
  EXPECT_EQ(office, OfficePid());
}

TEST_F(DockerWarmTest, FailuresLeaveNoOutputAndTheOfficeServes) {
  StartContainer();
  WriteFile(std::string(kHostSource) + "Gb9x2Z.xlsx", std::string(4000, '\x07'));
  RunResult r = Exec(Unoconv("Gb9x2Z.xlsx", "Gb9x2Z.pdf", true));
  EXPECT_NE(0, r.status);
  r = Exec(Unoconv("Ms5ing.docx", "Ms5ing.pdf", false));
  EXPECT_NE(0, r.status);
  EXPECT_TRUE(TargetLeftovers().empty());

  MakeSource("Ok0doc.docx", "ok.html", Pages(2, "Fine"), "MS Word 2007 XML");
  const int before = Documents();
  ASSERT_EQ(0, Exec(Soffice("Ok0doc.docx")).status);
  EXPECT_EQ(2, PdfPages("Ok0doc.pdf"));
  EXPECT_EQ(before + 1, Documents());
}

// A background caller (the pool lowers its priority) keeps its priority: it converts cold.
TEST_F(DockerWarmTest, LoweredCallersConvertCold) {
  StartContainer();
  MakeSource("Lo2pri.docx", "low.html", Pages(2, "Low"), "MS Word 2007 XML");
  const int before = Documents();
  RunResult r = Docker({"exec", kName, "nice", "-n", "19", "timeout", "--kill-after=5", "120",
                        "soffice", "--headless", "--convert-to", "pdf", "--outdir", kTarget,
                        std::string(kSource) + "Lo2pri.docx"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(2, PdfPages("Lo2pri.pdf"));
  EXPECT_EQ(before, Documents());
}

TEST_F(DockerWarmTest, RecycledAfterItsDocumentLimit) {
  StartContainer({"PAPERLENS_OFFICE_MAX_DOCUMENTS=2"});
  MakeSource("Rc1cle.docx", "r.html", Pages(3, "Recycle"), "MS Word 2007 XML");
  const pid_t first = OfficePid();
  ASSERT_NE(0, first);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(0, Exec(Soffice("Rc1cle.docx")).status);
    EXPECT_EQ(3, PdfPages("Rc1cle.pdf"));
    Remove("Rc1cle.pdf");
  }
  ASSERT_TRUE(WaitForGeneration(2, 90)) << Log();
  EXPECT_THAT(LogWith("office 1 recycled"), HasSubstr("office 1 recycled after 2 documents: document limit"));
  const pid_t second = OfficePid();
  EXPECT_NE(0, second);
  EXPECT_NE(first, second);
  EXPECT_NE(0, kill(first, 0)) << "the old office still runs";
  ASSERT_EQ(0, Exec(Soffice("Rc1cle.docx")).status);
  EXPECT_EQ(1, Documents());
}

TEST_F(DockerWarmTest, RecycledOnMemoryGrowth) {
  StartContainer({"PAPERLENS_OFFICE_MAX_RSS_MB=1"});
  MakeSource("Mm1mem.docx", "m.html", Pages(2, "Memory"), "MS Word 2007 XML");
  ASSERT_EQ(0, Exec(Soffice("Mm1mem.docx")).status);
  EXPECT_EQ(2, PdfPages("Mm1mem.pdf"));
  EXPECT_THAT(LogWith("office 1 recycled"),
              HasSubstr("office 1 recycled after 1 documents: memory limit"));
  EXPECT_TRUE(WaitForGeneration(2, 90)) << Log();
}

// The container's main process (the resident's supervisor) that died is started again by the
// next exec, which converts cold meanwhile; the one after it is warm again.
TEST_F(DockerWarmTest, MainProcessComesBackWithTheNextExec) {
  StartContainer();
  MakeSource("Mn1ain.docx", "n.html", Pages(2, "Main"), "MS Word 2007 XML");
  const pid_t resident = ResidentPid();
  const pid_t office = OfficePid();
  ASSERT_NE(0, resident);
  ASSERT_EQ(0, kill(resident, SIGKILL));
  for (int i = 0; i < 100 && kill(office, 0) == 0; ++i) usleep(50 * 1000);
  EXPECT_NE(0, kill(office, 0)) << "the office outlived its container's main process";

  ASSERT_EQ(0, Exec(Soffice("Mn1ain.docx")).status);
  EXPECT_EQ(2, PdfPages("Mn1ain.pdf"));
  Remove("Mn1ain.pdf");
  for (int i = 0; i < 100 && (ResidentPid() == 0 || ResidentPid() == resident); ++i) {
    usleep(50 * 1000);
  }
  EXPECT_NE(0, ResidentPid());
  EXPECT_NE(resident, ResidentPid());
  // A new supervisor starts its count again.
  for (int i = 0; i < 1800 && !(State()["pid"].isInt() && State()["generation"].isInt() &&
                                 ResidentPid() != 0 && OfficePid() != 0);
       ++i) {
    usleep(50 * 1000);
  }
  ASSERT_NE(0, OfficePid()) << Log();
  const int before = Documents();
  ASSERT_EQ(0, Exec(Soffice("Mn1ain.docx")).status);
  EXPECT_EQ(before + 1, Documents());
}

// A resident that died or hangs is replaced; the job that found it so converts cold.
TEST_F(DockerWarmTest, DeadOrHungOfficeIsReplacedAndTheJobGoesCold) {
  StartContainer();
  MakeSource("Dd0ead.docx", "d.html", Pages(4, "Dead"), "MS Word 2007 XML");

  const pid_t killed = OfficePid();
  ASSERT_NE(0, killed);
  ASSERT_EQ(0, kill(killed, SIGKILL));
  RunResult r = Exec(Soffice("Dd0ead.docx"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(4, PdfPages("Dd0ead.pdf"));
  Remove("Dd0ead.pdf");
  ASSERT_TRUE(WaitForGeneration(2, 90)) << Log();
  EXPECT_NE(killed, OfficePid());

  const pid_t hung = OfficePid();
  ASSERT_NE(0, hung);
  ASSERT_EQ(0, kill(hung, SIGSTOP));
  const double start = Now();
  r = Exec(Soffice("Dd0ead.docx"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(4, PdfPages("Dd0ead.pdf"));
  EXPECT_LT(Now() - start, 30) << "a hung office must not hold the job up";
  EXPECT_THAT(LogWith("office 2 recycled"),
              HasSubstr("office 2 recycled after 0 documents: no answer to a health check"));
  ASSERT_TRUE(WaitForGeneration(3, 90)) << Log();
  EXPECT_NE(0, OfficePid());
  EXPECT_NE(0, kill(hung, 0)) << "the hung office was left behind";
}

// The caller's time limit ends a front while the resident is still busy with its document
// (as with a document that hangs it): the resident is recycled at once, nothing of the job is
// left, and the next job converts well within the limit.
TEST_F(DockerWarmTest, FrontKilledByTheLimitFreesTheResident) {
  StartContainer();
  // Some seconds of work for a warm office even on a fast machine: the limit below is 1 s.
  MakeSource("Bg1big.docx", "big.html", Pages(2500, "Big", 80), "MS Word 2007 XML");
  MakeSource("Nx2nxt.docx", "next.html", Pages(2, "Next"), "MS Word 2007 XML");
  const pid_t office = OfficePid();
  ASSERT_NE(0, office);

  const double killedAt = Now();
  RunResult r = Exec(Soffice("Bg1big.docx"), "1");
  EXPECT_EQ(124, r.status) << "converted within the limit: the document is too small";
  EXPECT_LT(Now() - killedAt, 5);
  for (int i = 0; i < 100 && kill(office, 0) == 0; ++i) usleep(50 * 1000);
  EXPECT_NE(0, kill(office, 0)) << "the busy office was not recycled";
  EXPECT_THAT(LogWith("office 1 recycled"),
              HasSubstr("office 1 recycled after 0 documents: the caller left"));

  const double start = Now();
  r = Exec(Soffice("Nx2nxt.docx"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(2, PdfPages("Nx2nxt.pdf"));
  EXPECT_LT(Now() - start, 30);
  EXPECT_EQ(std::vector<std::string>{"Nx2nxt.pdf"}, TargetLeftovers());
}

// Several execs at once in one container: one at a time in the resident, the others wait a
// moment or convert cold; all succeed.
TEST_F(DockerWarmTest, ConcurrentExecsAllConvert) {
  StartContainer();
  MakeSource("Cc0src.docx", "c.html", Pages(3, "Many"), "MS Word 2007 XML");
  for (int i = 0; i < 4; ++i) {
    const std::string name = "Cc" + std::to_string(i) + "abc.docx";
    fs::copy_file(kHostSource + std::string("Cc0src.docx"), kHostSource + name);
  }
  std::vector<pid_t> execs;
  for (int i = 0; i < 4; ++i) {
    std::vector<std::string> args = {"exec", kName, "timeout", "--kill-after=5", "120"};
    for (const auto& a : Soffice("Cc" + std::to_string(i) + "abc.docx")) args.push_back(a);
    execs.push_back(SpawnDocker(args));
  }
  for (pid_t p : execs) EXPECT_EQ(0, WaitFor(p, 120000));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(3, PdfPages("Cc" + std::to_string(i) + "abc.pdf")) << i;
  EXPECT_EQ(4u, TargetLeftovers().size());
  EXPECT_GE(Documents(), 1);
}

// What the resident leaves in the container's /tmp, also after it was recycled: its private
// folder (root's alone) and the office's two sockets.
TEST_F(DockerWarmTest, ResidentKeepsToItsPrivateFolder) {
  StartContainer({"PAPERLENS_OFFICE_MAX_DOCUMENTS=1"});
  MakeSource("Pv1tmp.docx", "p.html", Pages(1, "Private"), "MS Word 2007 XML");
  const auto tmpNames = [] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(std::string(kContainerDir) + "/tmp")) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> first = tmpNames();
  ASSERT_EQ(0, Exec(Soffice("Pv1tmp.docx")).status);
  ASSERT_TRUE(WaitForGeneration(2, 90)) << Log();
  const std::vector<std::string> second = tmpNames();
  EXPECT_EQ(first, second);
  ASSERT_EQ(3u, second.size());
  EXPECT_EQ("OSL_PIPE_0_SingleOfficeIPC_", second[0].substr(0, 27));
  EXPECT_EQ("OSL_PIPE_0_paperlens-resident", second[1]);
  EXPECT_EQ("paperlens-office", second[2]);

  const std::string dir = std::string(kContainerDir) + "/tmp/paperlens-office";
  struct stat st;
  ASSERT_EQ(0, lstat(dir.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_EQ(0u, st.st_uid);

  // Removing the container ends its resident.
  const pid_t office = OfficePid();
  ASSERT_NE(0, office);
  ASSERT_EQ(0, Docker({"rm", kName}).status);
  for (int i = 0; i < 100 && kill(office, 0) == 0; ++i) usleep(50 * 1000);
  EXPECT_NE(0, kill(office, 0));
  EXPECT_FALSE(Exists(kContainerDir));
}

}  // namespace
}  // namespace testing
}  // namespace docker
}  // namespace harbor
