// VIREO.Folium: the PDF viewer's operations on one file, addressed by its share path: "get"
// streams the PDF, "get_perm" says whether downloading and printing may be offered,
// "download" sends the file as an attachment, "print" makes a print-ready PDF with the print
// tool and streams it.
//
// Requests come from logged-in users or through a sharing link, whose owner then stands in for
// the visitor (the server lets a visitor reach only these methods, for the link's own path).
// The file is opened once, in the parameter step, beneath its share and with the acting user's
// credentials (safe_file.h): the kernel decides the permission on the very file that is then
// streamed, downloaded or printed.
#ifndef PAPERLENS_WEBAPI_FOLIUM_PDFOP_H_
#define PAPERLENS_WEBAPI_FOLIUM_PDFOP_H_

#include <string>

#include "folium/PDFAPIBase.h"
#include "safe_file.h"
#include "vireo/webapi.h"

// Exported constants of the plug-in.
extern "C" {
extern const char SZ_TYPE_VIEW[];        // "View"
extern const char SZ_TYPE_DOWNLOAD[];    // "Download"
extern const char SZ_ANONYMOUS_USER[];   // "guest"
extern const char SZF_UDC_PATH[];        // the viewer's usage file
}

enum DocLogType { DOC_LOG_VIEW = 0, DOC_LOG_DOWNLOAD = 1 };

// Writes a transfer-log entry of `logType` for the file at `realPath` shown as `sharePath`,
// when the file manager's transfer log is on. True when it is off or the entry was written;
// false (logged) when the file cannot be examined, the link visitor's account is gone or the
// log call fails.
bool ViewLog(DocLogType logType, const std::string& sharePath, const std::string& realPath,
             VIREO::APIRequest* request);

// The path of the EA stream `name` of the file `realPath` (its @eaDir directory followed by
// "/" for an empty name). With `create` the EA directory is made, root's alone, when missing.
bool GetEARealPath(const std::string& realPath, const std::string& name, std::string& out,
                   bool create);
// The text after the last "/"; false when there is none.
bool GetFileName(const std::string& path, std::string& out);

// A new temporary print output in the file's EA directory (VIREOLENS_XXXXXX.pdf), root's alone.
// `tmpPath` names it; `dir` and `file` are its folder and the file itself, open.
bool MakeTmpConvertFile(const std::string& realPath, std::string& tmpPath,
                        VIREO::PAPERLENS::safe::Fd& dir, VIREO::PAPERLENS::safe::Fd& file);

// The print tool's path: under the document viewer's package when it is installed.
std::string PrintToolPath();

// The header value of a download of `fileName`: "attachment; filename=<name>" for plain names
// (printable ASCII without quotes, backslashes, semicolons or commas; spaces are fine), else
// a quoted ASCII stand-in followed by the exact name as an RFC 6266 filename* in UTF-8.
std::string ContentDisposition(const std::string& fileName);

class PDFOpBase : public PDFAPIBase {
 public:
  using PDFAPIBase::PDFAPIBase;
  int ParseParams() override;

 protected:
  // Resolves the share path (error 101 when it cannot be).
  bool GetShareInfo();
  // Opens the file as the acting user (error 105 when the user may not read it).
  bool HasReadPermission();

 public:
  std::string _strSharePath;
  std::string _strRealPath;
  std::string _strUserName;
  std::string _strVolumePath;
  bool _blCanDownload = false;

 protected:
  // The file, opened by HasReadPermission; not open when it is no regular file.
  VIREO::PAPERLENS::safe::Fd _document;
};

class PDFGet : public PDFOpBase {
 public:
  using PDFOpBase::PDFOpBase;
  int ParseParams() override;
  int Execute() override;
};

class PDFGetPerm : public PDFOpBase {
 public:
  using PDFOpBase::PDFOpBase;
  int Execute() override;
};

class PDFDownload : public PDFOpBase {
 public:
  using PDFOpBase::PDFOpBase;
  int ParseParams() override;
  int Execute() override;

  std::string _strFileName;
};

class PDFPrint : public PDFOpBase {
 public:
  using PDFOpBase::PDFOpBase;
  int ParseParams() override;
  int Execute() override;

  std::string _strPDFPath;

 private:
  // Writes the page that closes the print window; the result to return (101).
  int ClosingPage();
};

#endif  // PAPERLENS_WEBAPI_FOLIUM_PDFOP_H_
