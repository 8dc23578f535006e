#include "documents.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>


namespace testsupport {

namespace {

int Shell(const std::string& command) {
  int rc = system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Documents made once per sandbox, then copied.
const char kCache[] = "/tmp/paperlens-documents";

std::string TextHtml(int pages) {
  std::ostringstream html;
  html << "<html><head><meta charset=\"utf-8\"><title>Quarterly report</title></head><body>";
  for (int i = 1; i <= pages; ++i) {
    html << "<h1" << (i > 1 ? " style=\"page-break-before: always\"" : "") << ">Chapter " << i
         << "</h1><p>This is page " << i
         << " of a small document made for the tests. It has a few words, so that the tools "
            "have something to lay out.</p>";
  }
  html << "</body></html>";
  return html.str();
}

std::string Fods(bool wide) {
  const int cols = wide ? 40 : 4;
  std::ostringstream rows;
  for (int r = 0; r < 5; ++r) {
    rows << "<table:table-row>";
    for (int c = 0; c < cols; ++c) {
      rows << "<table:table-cell office:value-type=\"float\" office:value=\"" << r * cols + c
           << "\"><text:p>" << r * cols + c << "</text:p></table:table-cell>";
    }
    rows << "</table:table-row>";
  }
  std::ostringstream doc;
  doc << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
         "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
         "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
         "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
         "office:version=\"1.2\" "
         "office:mimetype=\"application/vnd.oasis.opendocument.spreadsheet\">"
         "<office:automatic-styles><style:style style:name=\"co1\" style:family=\"table-column\">"
         "<style:table-column-properties style:column-width=\"3cm\"/></style:style>"
         "</office:automatic-styles><office:body><office:spreadsheet>"
         "<table:table table:name=\"Figures\"><table:table-column table:style-name=\"co1\" "
         "table:number-columns-repeated=\""
      << cols << "\"/>" << rows.str()
      << "</table:table></office:spreadsheet></office:body></office:document>";
  return doc.str();
}

std::string Fodp(int slides) {
  std::ostringstream doc;
  doc << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
         "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
         "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
         "xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\" "
         "office:version=\"1.2\" "
         "office:mimetype=\"application/vnd.oasis.opendocument.presentation\">"
         "<office:body><office:presentation>";
  for (int i = 1; i <= slides; ++i) {
    doc << "<draw:page draw:name=\"s" << i << "\"><draw:frame svg:x=\"2cm\" svg:y=\"2cm\" "
        << "svg:width=\"20cm\" svg:height=\"3cm\"><draw:text-box><text:p>Slide " << i
        << "</text:p></draw:text-box></draw:frame></draw:page>";
  }
  doc << "</office:presentation></office:body></office:document>";
  return doc.str();
}

std::string Fodg() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
         "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
         "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
         "xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\" "
         "office:version=\"1.2\" "
         "office:mimetype=\"application/vnd.oasis.opendocument.graphics\">"
         "<office:body><office:drawing><draw:page draw:name=\"plan\">"
         "<draw:rect svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"8cm\" svg:height=\"5cm\"/>"
         "<draw:ellipse svg:x=\"11cm\" svg:y=\"2cm\" svg:width=\"5cm\" svg:height=\"5cm\"/>"
         "</draw:page></office:drawing></office:body></office:document>";
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

// The office suite converts `src` into `dir` as `type`; the output is dir/<base>.<type>.
bool Office(const std::string& src, const std::string& type, const std::string& dir,
            const std::string& infilter = "") {
  std::string cmd = "cd '" + dir + "' && soffice --headless ";
  if (!infilter.empty()) cmd += "--infilter='" + infilter + "' ";
  cmd += "--convert-to " + type + " --outdir '" + dir + "' '" + src + "' >/dev/null 2>&1";
  return Shell(cmd) == 0;
}

bool Make(const std::string& type, const std::string& dir, int pages, bool wide,
          std::string& made) {
  Shell("mkdir -p '" + dir + "'");
  made = dir + "/doc." + type;
  if (type == "docx" || type == "odt" || type == "rtf" || type == "doc" || type == "pdf") {
    if (!WriteText(dir + "/doc.html", TextHtml(pages))) return false;
    Office(dir + "/doc.html", type, dir, "HTML (StarWriter)");
  } else if (type == "xlsx" || type == "ods") {
    if (!WriteText(dir + "/doc.fods", Fods(wide))) return false;
    Office(dir + "/doc.fods", type, dir);
  } else if (type == "pptx" || type == "odp") {
    if (!WriteText(dir + "/doc.fodp", Fodp(pages))) return false;
    Office(dir + "/doc.fodp", type, dir);
  } else if (type == "odg") {
    if (!WriteText(dir + "/doc.fodg", Fodg())) return false;
    Office(dir + "/doc.fodg", type, dir);
  } else if (type == "epub" || type == "mobi") {
    if (!WriteText(dir + "/doc.html", TextHtml(pages))) return false;
    Shell("ebook-convert '" + dir + "/doc.html' '" + made + "' >/dev/null 2>&1");
  } else {
    return false;
  }
  struct stat st;
  return stat(made.c_str(), &st) == 0 && st.st_size > 0;
}

}  // namespace

bool MakeDocument(const std::string& type, const std::string& path, int pages, bool wide,
                  uid_t uid, gid_t gid, mode_t mode) {
  std::string dir = std::string(kCache) + "/" + type + "-" + std::to_string(pages) +
                    (wide ? "-wide" : "");
  std::string made = dir + "/doc." + type;
  struct stat st;
  if (stat(made.c_str(), &st) != 0 && !Make(type, dir, pages, wide, made)) return false;
  std::string folder = path.substr(0, path.rfind('/'));
  if (Shell("mkdir -p '" + folder + "' && cp '" + made + "' '" + path + "'") != 0) return false;
  return chown(path.c_str(), uid, gid) == 0 && chmod(path.c_str(), mode) == 0;
}

std::string BrokenOfficeDocument() {
  return std::string("PK\x03\x04", 4) + std::string(8192, '\x7f');
}

int PdfPages(const std::string& path) {
  FILE* p = popen(("pdfinfo '" + path + "' 2>/dev/null").c_str(), "r");
  if (p == nullptr) return -1;
  char line[512];
  int pages = -1;
  while (fgets(line, sizeof(line), p) != nullptr) {
    if (sscanf(line, "Pages: %d", &pages) == 1) break;
  }
  pclose(p);
  return pages;
}

bool PdfPageSize(const std::string& path, double& width, double& height) {
  FILE* p = popen(("pdfinfo '" + path + "' 2>/dev/null").c_str(), "r");
  if (p == nullptr) return false;
  char line[512];
  bool found = false;
  while (fgets(line, sizeof(line), p) != nullptr) {
    if (sscanf(line, "Page size: %lf x %lf", &width, &height) == 2) found = true;
  }
  pclose(p);
  return found;
}

bool IsPng(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char sig[8] = {0};
  in.read(sig, 8);
  return in.gcount() == 8 && std::string(sig, 8) == "\x89PNG\r\n\x1a\n";
}

bool IsSoundPdf(const std::string& path) {
  return Shell("qpdf --check '" + path + "' >/dev/null 2>&1") == 0;
}

}  // namespace testsupport
