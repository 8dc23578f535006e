// The converter family: supported types and argument vectors.
#include "converter/converter.h"

#include "utils.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {

std::set<std::string> LibreOfficeConverter::_supportTypeSet = {
    "odm", "odt", "ott", "sxw", "stw", "fodt", "docx", "docm", "dotx", "dotm", "doc", "dot",
    "wps", "rtf", "odp", "otp", "sti", "sxd", "fodp", "pptx", "pptm", "ppsx", "potm", "potx",
    "ppt", "pps", "pot", "odg", "otg", "sxd", "std", "cdr", "cmx", "vdx", "vsd", "vsdm", "vsdx"};
// The same documents, through the tool that honours a page range. Initialised from the set
// above, which is defined earlier in this file and so constructed first.
std::set<std::string> UnoconvConverter::_supportTypeSet = LibreOfficeConverter::_supportTypeSet;
std::set<std::string> UnoconvSpreadSheetConverter::_supportTypeSet = {
    "odc", "ods", "ots", "sxc", "stc", "fods", "xlsx", "xlsm", "xltm",
    "xltx", "xlsb", "xls", "xlc", "xlm", "xlw", "xlk", "xlt"};
std::set<std::string> PdftkConverter::_supportTypeSet = {"pdf"};
std::set<std::string> ImageMagickConverter::_supportTypeSet = {"pdf"};
std::set<std::string> CalibreConverter::_supportTypeSet = {"epub", "mobi"};
std::set<std::string> CalibreThumbnailConverter::_supportTypeSet = {"epub", "mobi"};

ConverterBase::ConverterBase(ContainerPoolManager::Priority priority) : _priority(priority) {}

bool ConverterBase::IsNeedSameFolder() { return false; }

std::string ConverterBase::ContainerSource() {
  return std::string(SZF_COVERT_SOURCE_DIR) + _tmpSrcPath.GetFileName("");
}

std::string ConverterBase::ContainerTarget() {
  return std::string(SZF_COVERT_TARGET_DIR) + _tmpTgtPath.GetFileName("");
}

bool ConverterBase::HasPageRange() const {
  return _option.isObject() && _option.isMember("PageRange");
}

std::string ConverterBase::PageRange() const {
  if (!HasPageRange() || !_option["PageRange"].isString()) return "";
  return _option["PageRange"].asString();
}

bool LibreOfficeConverter::IsNeedSameFolder() { return true; }

void LibreOfficeConverter::GetCommand(std::vector<std::string>& argv) {
  argv = {"soffice", "--headless", "--convert-to", "pdf", "--outdir", SZF_COVERT_TARGET_DIR,
          ContainerSource()};
}

void UnoconvConverter::GetCommand(std::vector<std::string>& argv) {
  argv = {"unoconv", "-o", ContainerTarget(), "--format=pdf"};
  if (HasPageRange()) {
    argv.push_back("-e");
    argv.push_back("PageRange=" + PageRange());
  }
  argv.push_back(ContainerSource());
}

void UnoconvSpreadSheetConverter::GetCommand(std::vector<std::string>& argv) {
  argv = {"unoconv", "-o", ContainerTarget(), "--format=pdf", "--spreadsheet-fitpage=x"};
  if (HasPageRange()) {
    argv.push_back("-e");
    argv.push_back("PageRange=" + PageRange());
  }
  argv.push_back(ContainerSource());
}

void PdftkConverter::GetCommand(std::vector<std::string>& argv) {
  argv = {"pdftk", "A=" + ContainerSource(), "cat", "A" + PageRange(), "output",
          ContainerTarget()};
}

void ImageMagickConverter::GetCommand(std::vector<std::string>& argv) {
  argv = {"convert", "-define", "pdf:use-cropbox=true", "-density", "72", "-resize", "35%",
          ContainerSource(), ContainerTarget()};
}

void CalibreConverter::GetCommand(std::vector<std::string>& argv) {
  argv = {"ebook-convert", ContainerSource(), ContainerTarget(), "--margin-bottom", "20",
          "--margin-left", "20", "--margin-right", "20", "--margin-top", "20"};
}

void CalibreThumbnailConverter::GetCommand(std::vector<std::string>& argv) {
  argv = {"ebook-meta", "--get-cover=" + ContainerTarget(), ContainerSource()};
}

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO
