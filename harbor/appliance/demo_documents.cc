// demo-documents: puts the demo's documents on the appliance's shares, made with the real tools
// (the same recipes as the tests' documents). Runs inside the appliance, as root, at demo start.
// A document already there is kept, so a demo restarted on a kept state folder starts at once
// and keeps the conversions cached beside its documents. With paths as arguments, only those of
// the demo's documents are made (tests that need one document do not wait for all of them).
// Exit status 1 when one could not be made, 2 for a path that is not a demo document.
#include <stdio.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "documents.h"

namespace {

struct DemoDocument {
  const char* type;
  const char* path;
  int pages;
  uid_t uid;
  mode_t mode;
};

constexpr uid_t kAlice = 1026;
constexpr gid_t kUsers = 100;

const DemoDocument kDocuments[] = {
    {"docx", "/volume1/docs/report.docx", 3, 0, 0664},
    {"xlsx", "/volume1/docs/figures.xlsx", 1, 0, 0664},
    {"pptx", "/volume1/docs/slides.pptx", 4, 0, 0664},
    {"odt", "/volume1/docs/minutes.odt", 2, 0, 0664},
    {"epub", "/volume1/docs/handbook.epub", 3, 0, 0664},
    {"pdf", "/volume1/docs/plan.pdf", 2, 0, 0664},
    {"docx", "/volume1/homes/alice/notes.docx", 1, kAlice, 0600},
};

}  // namespace

int main(int argc, char** argv) {
  std::set<std::string> wanted(argv + 1, argv + argc);
  for (const DemoDocument& d : kDocuments) wanted.erase(d.path);
  if (!wanted.empty()) {
    fprintf(stderr, "demo-documents: not a demo document: %s\n", wanted.begin()->c_str());
    return 2;
  }
  const std::set<std::string> only(argv + 1, argv + argc);
  int failed = 0;
  for (const DemoDocument& d : kDocuments) {
    if (!only.empty() && only.count(d.path) == 0) continue;
    struct stat st;
    if (stat(d.path, &st) == 0) continue;
    printf("demo: making %s\n", d.path);
    fflush(stdout);
    if (!testsupport::MakeDocument(d.type, d.path, d.pages, /*wide=*/false, d.uid, kUsers,
                                   d.mode)) {
      fprintf(stderr, "demo: could not make %s\n", d.path);
      ++failed;
    }
  }
  return failed == 0 ? 0 : 1;
}
