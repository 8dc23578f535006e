// Small documents of every supported kind, made at run time with the real tools (the office
// suite from HTML and flat ODF, the e-book tool from HTML), so neither the tests nor the demo
// need sample files. Plain code, no test framework: the demo's document maker uses it too.
#ifndef PAPERLENS_TESTS_SUPPORT_DOCUMENTS_H_
#define PAPERLENS_TESTS_SUPPORT_DOCUMENTS_H_

#include <sys/types.h>

#include <string>

namespace testsupport {

// Writes a document of `type` to `path` (its folder created), then sets owner and mode.
// Types: docx odt rtf doc pdf (text, `pages` pages), xlsx ods (a small table; with `wide` 40
// columns), pptx odp (`pages` slides), odg, epub mobi (`pages` chapters). The first document of
// a kind takes a few seconds; later ones are copies. False when the tool failed.
bool MakeDocument(const std::string& type, const std::string& path, int pages = 1,
                  bool wide = false, uid_t uid = 0, gid_t gid = 0, mode_t mode = 0644);

// A file that claims to be an office document (a zip header) but is broken past its first
// bytes: the office suite fails to load it. (Plain garbage it would import as text.)
std::string BrokenOfficeDocument();

// Page count of a PDF (pdfinfo), -1 when it is not a valid PDF.
int PdfPages(const std::string& path);
// Width and height in points of the first page of a PDF; false when unreadable.
bool PdfPageSize(const std::string& path, double& width, double& height);
// True when the file starts with the PNG signature.
bool IsPng(const std::string& path);
// True when qpdf finds the file a sound PDF.
bool IsSoundPdf(const std::string& path);

}  // namespace testsupport

#endif  // PAPERLENS_TESTS_SUPPORT_DOCUMENTS_H_
