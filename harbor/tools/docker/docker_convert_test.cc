// Real conversions in a container of the converter image, with the argument vectors the
// package's converters use. The documents are made here, by the image's own tools.
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "docker_fixture.h"

namespace harbor {
namespace docker {
namespace testing {
namespace {

using ::testing::HasSubstr;

const char kThreePages[] =
    "<html><body><p>Page one words</p>"
    "<p style=\"page-break-before: always\">Page two words</p>"
    "<p style=\"page-break-before: always\">Page three words</p></body></html>\n";

class DockerConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateConverterContainer("vireo1"); }
  void TearDown() override { Docker({"rm", "-f", "vireo1"}); }

  static std::string Src(const std::string& name) { return kSource + name; }
  static std::string Tgt(const std::string& name) { return kTarget + name; }
  static std::string HostSrc(const std::string& name) { return kHostSource + name; }
  static std::string HostTgt(const std::string& name) { return kHostTarget + name; }

  RunResult Exec(const std::vector<std::string>& command) {
    std::vector<std::string> args = {"exec", "vireo1", "timeout", "--kill-after=5", "120"};
    args.insert(args.end(), command.begin(), command.end());
    return Docker(args);
  }

  // Writes `name` into the source folder: as given, or made by the office from `content`
  // saved as `from` (a file name whose extension tells the office what it is) with `filter`
  // (empty: the office's choice).
  void MakeSource(const std::string& name, const std::string& content) {
    WriteFile(HostSrc(name), content);
  }
  void MakeSourceWithOffice(const std::string& name, const std::string& from,
                            const std::string& content, const std::string& filter) {
    WriteFile(HostSrc(from), content);
    const std::string ext = name.substr(name.rfind('.') + 1);
    RunResult r = Exec({"soffice", "--headless", "--convert-to",
                        filter.empty() ? ext : ext + ":" + filter, "--outdir", kTarget, Src(from)});
    const std::string made = HostTgt(from.substr(0, from.rfind('.')) + "." + ext);
    ASSERT_TRUE(Exists(made)) << "soffice could not make " << name << ": " << r.out << r.err;
    ASSERT_EQ(0, rename(made.c_str(), HostSrc(name).c_str()));
  }

  // Moves a result into the source folder, as input of the next step.
  void ToSource(const std::string& name) {
    ASSERT_EQ(0, rename(HostTgt(name).c_str(), HostSrc(name).c_str()));
  }

  static int Pages(const std::string& hostPdf) {
    RunResult r = RunCommand({"pdfinfo", hostPdf});
    size_t at = r.out.find("Pages:");
    return r.status == 0 && at != std::string::npos ? std::stoi(r.out.substr(at + 6)) : -1;
  }

  static std::string PageText(const std::string& hostPdf, int page) {
    const std::string p = std::to_string(page);
    return RunCommand({"pdftotext", "-layout", "-f", p, "-l", p, hostPdf, "-"}).out;
  }

  static bool HasWord(const std::string& text, const std::string& word) {
    return std::regex_search(text, std::regex("\\b" + word + "\\b"));
  }

  static std::string Head(const std::string& hostPath, size_t n) {
    return ReadFile(hostPath).substr(0, n);
  }
};

TEST_F(DockerConvertTest, OfficeDocumentsToPdf) {
  MakeSourceWithOffice("letter.docx", "letter.html", kThreePages, "MS Word 2007 XML");
  MakeSourceWithOffice("note.odt", "note.html", kThreePages, "writer8");
  for (const std::string doc : {"letter", "note"}) {
    const std::string src = doc == "letter" ? "letter.docx" : "note.odt";
    Exec({"soffice", "--headless", "--convert-to", "pdf", "--outdir", kTarget, Src(src)});
    const std::string pdf = HostTgt(doc + ".pdf");
    ASSERT_EQ("%PDF", Head(pdf, 4)) << src;
    EXPECT_EQ(3, Pages(pdf)) << src;
    EXPECT_THAT(PageText(pdf, 2), HasSubstr("Page two words")) << src;
  }
  // The distribution's unoconv still serves every call without the spreadsheet option.
  RunResult r = Exec({"unoconv", "-o", Tgt("Ab3xQ9.pdf"), "--format=pdf", "-e",
                      "PageRange=2-3", Src("note.odt")});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(2, Pages(HostTgt("Ab3xQ9.pdf")));
}

// Columns of a wide sheet land on one page width, and the rows flow on downwards.
TEST_F(DockerConvertTest, SpreadsheetFitsThePageWidth) {
  constexpr int kColumns = 30, kRows = 400;
  std::string csv;
  for (int row = 0; row < kRows; ++row) {
    for (int col = 0; col < kColumns; ++col) {
      csv += (col ? ",r" : "r") + std::to_string(row) + "c" + std::to_string(col);
    }
    csv += "\n";
  }
  MakeSourceWithOffice("Wd7kQ2.xlsx", "wide.csv", csv, "Calc Office Open XML");

  RunResult r = Exec({"unoconv", "-o", Tgt("Wd7kQ2.pdf"), "--format=pdf",
                      "--spreadsheet-fitpage=x", Src("Wd7kQ2.xlsx")});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const std::string pdf = HostTgt("Wd7kQ2.pdf");
  const int pages = Pages(pdf);
  ASSERT_GT(pages, 1) << "the rows must not be squeezed onto one page";
  for (int page = 1; page <= pages; ++page) {
    const std::string text = PageText(pdf, page);
    // The first and the last column of the page's first row are both on the page.
    std::smatch cell;
    ASSERT_TRUE(std::regex_search(text, cell, std::regex("\\b(r[0-9]+)c[0-9]+\\b")))
        << "page " << page;
    const std::string row = cell[1];
    EXPECT_TRUE(HasWord(text, row + "c0")) << "page " << page << ", " << row;
    EXPECT_TRUE(HasWord(text, row + "c" + std::to_string(kColumns - 1)))
        << "page " << page << ", " << row;
  }

  // A page range still applies.
  r = Exec({"unoconv", "-o", Tgt("Pr4nge.pdf"), "--format=pdf", "--spreadsheet-fitpage=x",
            "-e", "PageRange=2-2", Src("Wd7kQ2.xlsx")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(1, Pages(HostTgt("Pr4nge.pdf")));
  EXPECT_EQ(PageText(pdf, 2), PageText(HostTgt("Pr4nge.pdf"), 1));

  // Without fitting, the office splits the columns over several pages: the check above can fail.
  Exec({"soffice", "--headless", "--convert-to", "pdf", "--outdir", kTarget, Src("Wd7kQ2.xlsx")});
  EXPECT_FALSE(HasWord(PageText(HostTgt("Wd7kQ2.pdf"), 1), "r0c29"));
}

TEST_F(DockerConvertTest, SpreadsheetFailuresLeaveNoOutput) {
  MakeSource("Gb9x2Z.xlsx", std::string(4000, '\x07'));
  RunResult r = Exec({"unoconv", "-o", Tgt("Gb9x2Z.pdf"), "--format=pdf",
                      "--spreadsheet-fitpage=x", Src("Gb9x2Z.xlsx")});
  EXPECT_NE(0, r.status);
  EXPECT_FALSE(Exists(HostTgt("Gb9x2Z.pdf")));
  r = Exec({"unoconv", "-o", Tgt("Ms5ing.pdf"), "--format=pdf", "--spreadsheet-fitpage=x",
            Src("Ms5ing.xlsx")});
  EXPECT_NE(0, r.status);
  EXPECT_FALSE(Exists(HostTgt("Ms5ing.pdf")));
}

TEST_F(DockerConvertTest, PdfPagesAndThumbnails) {
  MakeSourceWithOffice("doc.pdf", "doc.html", kThreePages, "");
  ASSERT_EQ(3, Pages(HostSrc("doc.pdf")));

  RunResult r = Exec({"pdftk", "A=" + Src("doc.pdf"), "cat", "A2-3", "output", Tgt("two.pdf")});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(2, Pages(HostTgt("two.pdf")));
  EXPECT_THAT(PageText(HostTgt("two.pdf"), 1), HasSubstr("Page two words"));
  r = Exec({"pdftk", "A=" + Src("doc.pdf"), "cat", "A1", "output", Tgt("one.pdf")});
  ASSERT_EQ(1, Pages(HostTgt("one.pdf")));

  // Reading PDF is what the image's policy allows.
  ToSource("one.pdf");
  r = Exec({"convert", "-define", "pdf:use-cropbox=true", "-density", "72", "-resize", "35%",
            Src("one.pdf"), Tgt("one.png")});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string png = ReadFile(HostTgt("one.png"));
  ASSERT_GE(png.size(), 24u);
  ASSERT_EQ("\x89PNG", png.substr(0, 4));
  auto be32 = [&](size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) |
           (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  EXPECT_NEAR(595 * 0.35, be32(16), 2) << "an A4 page at 72 dpi, scaled to 35%";
}

TEST_F(DockerConvertTest, EbookToPdfAndCover) {
  ASSERT_EQ(0, Exec({"convert", "-size", "60x90", "xc:red", Tgt("cover.png")}).status);
  ToSource("cover.png");
  MakeSource("book.html", kThreePages);
  RunResult r = Exec({"ebook-convert", Src("book.html"), Tgt("Eb0oK1.epub"), "--cover",
                      Src("cover.png"), "--title", "Harbor"});
  ASSERT_EQ(0, r.status) << r.err;
  ToSource("Eb0oK1.epub");

  r = Exec({"ebook-convert", Src("Eb0oK1.epub"), Tgt("Eb0oK1.pdf"), "--margin-bottom", "20",
            "--margin-left", "20", "--margin-right", "20", "--margin-top", "20"});
  EXPECT_EQ(0, r.status) << r.err;
  ASSERT_EQ("%PDF", Head(HostTgt("Eb0oK1.pdf"), 4));
  std::string text;
  for (int page = 1; page <= Pages(HostTgt("Eb0oK1.pdf")); ++page) {
    text += PageText(HostTgt("Eb0oK1.pdf"), page);
  }
  EXPECT_THAT(text, HasSubstr("Page three words"));

  // The cover keeps its own bytes, whatever the target's extension says.
  r = Exec({"ebook-meta", "--get-cover=" + Tgt("Cv3r00.jpg"), Src("Eb0oK1.epub")});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string cover = ReadFile(HostTgt("Cv3r00.jpg"));
  EXPECT_TRUE(cover.rfind("\x89PNG", 0) == 0 || cover.rfind("\xFF\xD8\xFF", 0) == 0)
      << cover.size() << " bytes";
}

}  // namespace
}  // namespace testing
}  // namespace docker
}  // namespace harbor
