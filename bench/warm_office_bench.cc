// Warm against cold office conversions, in one run on the same files. Needs the appliance with
// the package started (its pool containers run their resident offices):
//
//   harbor/appliance/appliance run --build build -- $PWD/build/bench/warm_office_bench
//
// 1. One 8-page docx through `docker exec`: the distribution's soffice (what every conversion
//    ran before the resident office) against the image's soffice front (the resident).
// 2. 16 copies of it through the pool at once (16 processes, each a LibreOfficeConverter at
//    PRIORITY_HIGH, as 16 poll_start tasks do), in the pool's containers with their residents,
//    and in two containers of the same image whose fronts are told to go cold; and the serial
//    loop of cold `soffice` runs on the same files.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config_manager.h"
#include "converter/converter.h"
#include "path.h"
#include "utils.h"

namespace {

namespace fs = std::filesystem;
using VIREO::PAPERLENS::ConfigManager;
using VIREO::PAPERLENS::ConfigWriter;
using namespace VIREO::PAPERLENS::converter;

constexpr const char* kDocker = "/usr/local/bin/docker";
constexpr const char* kHostSource = "/volume1/docker/@tmp/Paperlens/@tmp/source/";
constexpr const char* kHostTarget = "/volume1/docker/@tmp/Paperlens/@tmp/target/";
constexpr const char* kDocs = "/volume1/docs/warm-bench/";
constexpr int kCopies = 16;
constexpr int kSingleRuns = 5;

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

int Run(std::vector<std::string> args, bool quiet = true) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (quiet) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool ResidentReady(const std::string& container) {
  std::ifstream in("/usr/vireo/var/docker/containers/" + container +
                   "/tmp/paperlens-office/state.json");
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return s.find("\"generation\": null") == std::string::npos &&
         s.find("\"generation\"") != std::string::npos;
}

// The pool's containers: the state file's "vireo" members.
void SetPool(const std::vector<std::string>& names) {
  ConfigManager state(VIREO::PAPERLENS::SZF_CONFIG_PATH, 5);
  ConfigWriter writer(state);
  Json::Value& c = state.GetConfig();
  for (const auto& m : c.getMemberNames()) {
    if (m.compare(0, 5, "vireo") == 0) c.removeMember(m);
  }
  for (const auto& n : names) {
    c[n]["used"] = 0;
    c[n]["using"] = 0;
  }
}

// Converts the 16 copies at once through the pool; seconds until the last is done, or -1.
double ThroughPool() {
  const double start = Now();
  std::vector<pid_t> kids;
  for (int i = 0; i < kCopies; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      VIREO::PAPERLENS::path::Path source, target;
      source.SetData("realPath", std::string(kDocs) + "copy" + std::to_string(i) + ".docx",
                     true);
      LibreOfficeConverter conv(VIREO::PAPERLENS::ContainerPoolManager::PRIORITY_HIGH);
      int rc = conv.Convert("pdf", source, target);
      if (rc == kConvertSuccess) unlink(target.GetRealPath("").c_str());
      _exit(rc == kConvertSuccess ? 0 : 1);
    }
    kids.push_back(pid);
  }
  bool ok = true;
  for (pid_t p : kids) {
    int status = 0;
    waitpid(p, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok ? Now() - start : -1;
}

}  // namespace

int main() {
  fs::create_directories(kDocs);
  fs::create_directories(kHostSource);
  fs::create_directories(kHostTarget);
  // The document: 8 pages of text, made by the image's office.
  std::string html = "<html><body>";
  for (int p = 1; p <= 8; ++p) {
    html += p == 1 ? "<h1>" : "<h1 style=\"page-break-before: always\">";
    html += "Section " + std::to_string(p) + "</h1>";
    for (int i = 0; i < 12; ++i) {
      html += "<p>Quarterly figures and their discussion, paragraph " + std::to_string(i) +
              ": revenue, costs, staffing and the outlook for the next period.</p>";
    }
  }
  std::ofstream(std::string(kHostSource) + "bench.html") << html << "</body></html>\n";
  Run({kDocker, "exec", "vireolens-1", "soffice", "--headless", "--convert-to",
       "docx:MS Word 2007 XML", "--outdir", "/Paperlens/@tmp/target",
       "/Paperlens/@tmp/source/bench.html"});
  const std::string docx = std::string(kHostTarget) + "bench.docx";
  if (!fs::exists(docx)) {
    fprintf(stderr, "cannot make the document\n");
    return 1;
  }
  for (int i = 0; i < kCopies; ++i) {
    fs::copy_file(docx, std::string(kDocs) + "copy" + std::to_string(i) + ".docx",
                  fs::copy_options::overwrite_existing);
  }
  fs::rename(docx, std::string(kHostSource) + "Bn8chX.docx");
  for (int i = 0; i < 600 && !(ResidentReady("vireolens-1") && ResidentReady("vireolens-2"));
       ++i) {
    usleep(100 * 1000);
  }
  if (!ResidentReady("vireolens-1")) {
    fprintf(stderr, "no resident office in vireolens-1\n");
    return 1;
  }

  // 1. One document through docker exec, cold and warm in turns.
  const std::vector<std::string> base = {kDocker, "exec", "vireolens-1", "timeout",
                                         "--kill-after=5", "120"};
  const std::vector<std::string> args = {"--headless", "--convert-to", "pdf", "--outdir",
                                         "/Paperlens/@tmp/target",
                                         "/Paperlens/@tmp/source/Bn8chX.docx"};
  std::vector<double> cold, warm;
  for (int run = 0; run < kSingleRuns; ++run) {
    for (bool isWarm : {false, true}) {
      std::vector<std::string> cmd = base;
      cmd.push_back(isWarm ? "soffice" : "/usr/lib/libreoffice/program/soffice");
      cmd.insert(cmd.end(), args.begin(), args.end());
      const double t = Now();
      const int rc = Run(cmd);
      const double took = Now() - t;
      const std::string pdf = std::string(kHostTarget) + "Bn8chX.pdf";
      if (rc != 0 || !fs::exists(pdf)) {
        fprintf(stderr, "%s run failed (%d)\n", isWarm ? "warm" : "cold", rc);
        return 1;
      }
      fs::remove(pdf);
      (isWarm ? warm : cold).push_back(took);
    }
  }

  // 2. 16 copies through the pool at once: warm, then cold; and the serial cold loop.
  const double poolWarm = ThroughPool();
  for (const char* name : {"vireocold-1", "vireocold-2"}) {
    Run({kDocker, "rm", "-f", name});
    Run({kDocker, "create", "--name", name, "-e", "PAPERLENS_OFFICE_COLD=1", "-v",
         "/volume1/docker/@tmp/Paperlens/@tmp/source:/Paperlens/@tmp/source:ro", "-v",
         "/volume1/docker/@tmp/Paperlens/@tmp/target:/Paperlens/@tmp/target",
         "paperlens/converter"});
  }
  SetPool({"vireocold-1", "vireocold-2"});
  const double poolCold = ThroughPool();
  SetPool({"vireolens-1", "vireolens-2"});
  double serial = 0;
  for (int i = 0; i < kCopies; ++i) {
    std::vector<std::string> cmd = base;
    cmd.push_back("/usr/lib/libreoffice/program/soffice");
    cmd.insert(cmd.end(), args.begin(), args.end());
    const double t = Now();
    Run(cmd);
    serial += Now() - t;
    fs::remove(std::string(kHostTarget) + "Bn8chX.pdf");
  }

  printf("%-52s %10s %10s %8s\n", "measure", "cold", "warm", "ratio");
  printf("%-52s %9.3fs %9.3fs %7.1fx\n", "one 8-page docx by docker exec (median of 5)",
         Median(cold), Median(warm), Median(cold) / Median(warm));
  printf("%-52s %9.3fs %9.3fs %7.1fx\n", "16 copies through the pool at once (2 containers)",
         poolCold, poolWarm, poolCold / poolWarm);
  printf("%-52s %9.3fs %9.3fs %7.1fx\n", "serial cold loop vs 16 warm through the pool", serial,
         poolWarm, serial / poolWarm);
  return poolWarm > 0 && poolCold > 0 ? 0 : 1;
}
