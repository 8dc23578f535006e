// The converter family's argument vectors and type sets.
#include "converter/converter.h"

#include <gtest/gtest.h>

#include "utils.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {
namespace {

using Args = std::vector<std::string>;
using P = ContainerPoolManager;

template <typename Converter>
Args Command(const std::string& src, const std::string& tgt, const Json::Value& option) {
  Converter c(P::PRIORITY_HIGH);
  c._tmpSrcPath.SetData("realPath", "/volume1/docker/@tmp/Paperlens/@tmp/source/" + src, true);
  c._tmpTgtPath.SetData("realPath", "/volume1/docker/@tmp/Paperlens/@tmp/target/" + tgt, true);
  c._option = option;
  Args argv = {"left", "over"};  // replaced, not appended to
  c.GetCommand(argv);
  return argv;
}

TEST(GetCommand, SpellsEachToolsArgumentVector) {
  const std::string S = "/Paperlens/@tmp/source/";
  const std::string T = "/Paperlens/@tmp/target/";
  Json::Value none;
  Json::Value first;
  first["PageRange"] = "1-1";

  EXPECT_EQ((Args{"soffice", "--headless", "--convert-to", "pdf", "--outdir", T,
                  S + "abcXYZ123.docx"}),
            Command<LibreOfficeConverter>("abcXYZ123.docx", "abcXYZ123.pdf", none));
  EXPECT_EQ((Args{"unoconv", "-o", T + "t.pdf", "--format=pdf", S + "s.docx"}),
            Command<UnoconvConverter>("s.docx", "t.pdf", none));
  EXPECT_EQ((Args{"unoconv", "-o", T + "t.pdf", "--format=pdf", S + "s.docx"}),
            Command<UnoconvConverter>("s.docx", "t.pdf", Json::Value(Json::objectValue)));
  EXPECT_EQ((Args{"unoconv", "-o", T + "t.pdf", "--format=pdf", "-e", "PageRange=1-1",
                  S + "s.docx"}),
            Command<UnoconvConverter>("s.docx", "t.pdf", first));
  EXPECT_EQ((Args{"unoconv", "-o", T + "t.pdf", "--format=pdf", "--spreadsheet-fitpage=x",
                  S + "s.xlsx"}),
            Command<UnoconvSpreadSheetConverter>("s.xlsx", "t.pdf", none));
  EXPECT_EQ((Args{"unoconv", "-o", T + "t.pdf", "--format=pdf", "--spreadsheet-fitpage=x", "-e",
                  "PageRange=1-1", S + "s.xlsx"}),
            Command<UnoconvSpreadSheetConverter>("s.xlsx", "t.pdf", first));
  EXPECT_EQ((Args{"pdftk", "A=" + S + "s.pdf", "cat", "A", "output", T + "t.pdf"}),
            Command<PdftkConverter>("s.pdf", "t.pdf", none));
  EXPECT_EQ((Args{"pdftk", "A=" + S + "s.pdf", "cat", "A1-1", "output", T + "t.pdf"}),
            Command<PdftkConverter>("s.pdf", "t.pdf", first));
  EXPECT_EQ((Args{"convert", "-define", "pdf:use-cropbox=true", "-density", "72", "-resize", "35%",
                  S + "s.pdf", T + "t.png"}),
            Command<ImageMagickConverter>("s.pdf", "t.png", none));
  EXPECT_EQ((Args{"ebook-convert", S + "s.epub", T + "t.pdf", "--margin-bottom", "20",
                  "--margin-left", "20", "--margin-right", "20", "--margin-top", "20"}),
            Command<CalibreConverter>("s.epub", "t.pdf", none));
  EXPECT_EQ((Args{"ebook-meta", "--get-cover=" + T + "t.jpg", S + "s.mobi"}),
            Command<CalibreThumbnailConverter>("s.mobi", "t.jpg", none));
}

TEST(TypeSets, CoverTheSupportedTypesWithoutOverlapBetweenTools) {
  EXPECT_EQ(36u, LibreOfficeConverter::_supportTypeSet.size());
  EXPECT_EQ(LibreOfficeConverter::_supportTypeSet, UnoconvConverter::_supportTypeSet);
  EXPECT_EQ(17u, UnoconvSpreadSheetConverter::_supportTypeSet.size());
  EXPECT_EQ(1u, UnoconvSpreadSheetConverter::_supportTypeSet.count("xlsx"));
  EXPECT_EQ(0u, LibreOfficeConverter::_supportTypeSet.count("xlsx"));
  EXPECT_EQ(1u, LibreOfficeConverter::_supportTypeSet.count("sxd"));

  // Every supported type is served by exactly one whole-document tool.
  std::string types = SZF_SUPPORT_FILE_TYPES;
  size_t start = 0;
  while (start < types.size()) {
    size_t comma = types.find(',', start);
    if (comma == std::string::npos) comma = types.size();
    std::string t = types.substr(start, comma - start);
    int tools = LibreOfficeConverter::_supportTypeSet.count(t) +
                CalibreConverter::_supportTypeSet.count(t) +
                UnoconvSpreadSheetConverter::_supportTypeSet.count(t) +
                PdftkConverter::_supportTypeSet.count(t);
    EXPECT_EQ(1, tools) << t;
    start = comma + 1;
  }
  EXPECT_EQ(CalibreConverter::_supportTypeSet, CalibreThumbnailConverter::_supportTypeSet);
}

}  // namespace
}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO
