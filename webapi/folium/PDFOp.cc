// VIREO.Folium: get, get_perm, download and print.
#include "folium/PDFOp.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>

#include "folium/FoliumLog.h"
#include "runas.h"
#include "vireo/fileshare.h"
#include "vireo/libc.h"
#include "vireo/sdk.h"

namespace safe = VIREO::PAPERLENS::safe;

extern "C" {
const char SZ_TYPE_VIEW[] = "View";
const char SZ_TYPE_DOWNLOAD[] = "Download";
const char SZ_ANONYMOUS_USER[] = "guest";
const char SZF_UDC_PATH[] = SZF_FOLIUM_UDC_PATH;
}

namespace {

constexpr char kThumbPdf[] = "VIREOLENS_THUMB.pdf";
constexpr char kClosingPage[] =
    "Content-Type: text/html\r\n\r\n<html><head><script>window.close();</script></head></html>";

std::string LowerExtension(const std::string& path) {
  std::string ext = boost::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return ext;
}

// A descriptor the print tool inherits, named as "/dev/fd/N" on its command line: the tool
// reads and writes exactly the files that were checked, never a name a user could swap.
class InheritedFd {
 public:
  explicit InheritedFd(int fd) : _fd(fd >= 0 ? dup(fd) : -1) {}  // dup clears close-on-exec
  ~InheritedFd() {
    if (_fd >= 0) close(_fd);
  }
  InheritedFd(const InheritedFd&) = delete;
  InheritedFd& operator=(const InheritedFd&) = delete;
  bool Ok() const { return _fd >= 0; }
  std::string Path() const { return "/dev/fd/" + std::to_string(_fd); }

 private:
  int _fd;
};

// The temporary print output: removed, as root, when the scope ends, whichever way.
class TmpConvertFile {
 public:
  TmpConvertFile() = default;
  ~TmpConvertFile() { Remove(); }
  TmpConvertFile(const TmpConvertFile&) = delete;
  TmpConvertFile& operator=(const TmpConvertFile&) = delete;

  bool Make(const std::string& realPath) { return MakeTmpConvertFile(realPath, path, dir, file); }
  void Remove() {
    if (!dir.Ok() || name().empty()) return;
    IF_RUN_AS(0, 0) {
      if (unlinkat(dir.Get(), name().c_str(), 0) != 0 && errno != ENOENT) {
        FOLIUM_LOG("Failed [%s], err=%m", "0 != unlink(strTmpPath.c_str())");
      }
    }
    dir.Reset();
  }
  std::string name() const { return path.substr(path.rfind('/') + 1); }

  std::string path;
  safe::Fd dir;
  safe::Fd file;
};

}  // namespace

// ---- Free functions ------------------------------------------------------------------------

bool GetEARealPath(const std::string& realPath, const std::string& name, std::string& out,
                   bool create) {
  if (create && realPath.empty()) {
    syslog(LOG_ERR, "%s:%d Bad parameters.", FOLIUM_SOURCE, __LINE__);
    return false;
  }
  char szEADir[4096];
  if (VIREOEADirPath(0, realPath.c_str(), szEADir, sizeof(szEADir)) < 0) {
    syslog(LOG_ERR, "%s:%d Get ea dir path error. file path: %s", FOLIUM_SOURCE, __LINE__,
           VIREO::PAPERLENS::log::Escape(realPath.c_str()).c_str());
    return false;
  }
  if (create) {
    bool made = false;
    IF_RUN_AS(0, 0) {
      // The folder is made beneath the file's share, root's alone; a link or a folder a user
      // planted on the way is refused.
      made = safe::MakeEAFolder(szEADir) == safe::kOk;
    } else {
      syslog(LOG_ERR, "%s:%d cannot seteuid to root", FOLIUM_SOURCE, __LINE__);
      return false;
    }
    if (!made) {
      syslog(LOG_ERR, "%s:%d Make ea dir path error. eaDir path: %s", FOLIUM_SOURCE, __LINE__,
             VIREO::PAPERLENS::log::Escape(szEADir).c_str());
      return false;
    }
  }
  char szPath[4096];
  if (VIREOEAPath(0, realPath.c_str(), name.c_str(), szPath, sizeof(szPath), 0) < 0) {
    syslog(LOG_ERR, "%s:%d Get ea dir path error. file path: %s", FOLIUM_SOURCE, __LINE__,
           VIREO::PAPERLENS::log::Escape(realPath.c_str()).c_str());
    return false;
  }
  out = szPath;
  return true;
}

bool GetFileName(const std::string& path, std::string& out) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  out = path.substr(slash + 1);
  return true;
}

bool MakeTmpConvertFile(const std::string& strRealPath, std::string& strTmpPath, safe::Fd& dir,
                        safe::Fd& file) {
  std::string eaDir;
  if (!GetEARealPath(strRealPath, "", eaDir, true)) {
    FOLIUM_LOG("Failed [%s], err=%m", "!GetEARealPath(strRealPath, \"\", strTmpPath, true)");
    return false;
  }
  const std::string tmpl = eaDir + "VIREOLENS_XXXXXX.pdf";
  std::string name;
  safe::Error e = safe::kFailed;
  IF_RUN_AS(0, 0) {
    e = safe::MakeEATempFile(tmpl, 4, dir, file, name);
  } else {
    FOLIUM_LOG("cannot run as root");
    return false;
  }
  if (e != safe::kOk) {
    FOLIUM_LOG("Failed [%s], err=%m", "-1 == fd");
    return false;
  }
  strTmpPath = eaDir + name;
  return true;
}

std::string PrintToolPath() {
  const std::string root = VLIBCFileCheckDir("/var/packages/Paperlens") == 1
                               ? "/var/packages/Paperlens/target/Folium"
                               : "/var/packages/Folium/target";
  return root + "/tool/convertPrint.py";
}

std::string ContentDisposition(const std::string& fileName) {
  bool plain = !fileName.empty();
  for (unsigned char c : fileName) {
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\' || c == ';' || c == ',') plain = false;
  }
  if (plain) return "attachment; filename=" + fileName;
  // A stand-in for clients that do not read filename*: the ASCII letters kept, the rest "_".
  std::string ascii;
  for (unsigned char c : fileName) {
    ascii += (c < 0x20 || c > 0x7e || c == '"' || c == '\\') ? '_' : static_cast<char>(c);
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : fileName) {
    if (isalnum(c) || strchr("!#$&+-.^_`|~", c) != nullptr) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

// ---- PDFOpBase -----------------------------------------------------------------------------

int PDFOpBase::ParseParams() {
  _strUserName = request->GetLoginUserName();
  _strSharePath = request->GetParam("path", Json::Value("")).asString();
  if (request->IsSharing()) _strUserName = request->GetSharingEntry().get_owner_user();
  if (!GetShareInfo()) return response->GetError();
  if (!HasReadPermission()) return response->GetError();
  return 0;
}

bool PDFOpBase::GetShareInfo() {
  if (_strSharePath.empty() || _strSharePath[0] != '/') {
    FOLIUM_LOG("bad share path: %s", _strSharePath.c_str());
    response->SetError(101);
    return false;
  }
  const size_t pos = _strSharePath.find('/', 1);
  if (pos == std::string::npos) {
    // Only a share name (/docs): no file to resolve.
    FOLIUM_LOG("bad share path: %s", _strSharePath.c_str());
    response->SetError(101);
    return false;
  }
  const std::string shareName = _strSharePath.substr(1, pos - 1);
  const std::string rest = _strSharePath.substr(pos);

  if (DozedoFileShare::IsDirUserHome(shareName, nullptr)) {
    if (DozedoFileShare::WfmUserHomeFullPathGet(_strVolumePath, _strUserName) != 0) {
      FOLIUM_LOG("cannot get user home path %s", _strUserName.c_str());
      response->SetError(101);
      return false;
    }
    _strRealPath = _strVolumePath + "/" + _strSharePath.substr(6);
    _blCanDownload = true;
  } else {
    PVIREOSHARE share = nullptr;
    if (VIREOShareGet(shareName.c_str(), &share) != 0 || share == nullptr) {
      FOLIUM_LOG("cannot get share path %s", _strSharePath.c_str());
      response->SetError(101);
      return false;
    }
    const std::string sharePath = share->szPath;
    _strVolumePath = sharePath.substr(0, sharePath.rfind('/'));
    _strRealPath = sharePath + rest;
    _blCanDownload = request->IsAdmin() || share->iDownloadDisabled == 0;
    VIREOShareFree(share);
  }
  if (request->IsSharing() && _blCanDownload) {
    const Json::Value& forbid = request->GetSharingEntry().get_app()["forbid_download"];
    _blCanDownload = !(forbid.isBool() ? forbid.asBool() : forbid.isNumeric() && forbid.asInt() != 0);
  }
  return true;
}

bool PDFOpBase::HasReadPermission() {
  safe::Error e = safe::kFailed;
  IF_RUN_AS(0, 0) {
    PVIREOUSER user = nullptr;
    if (_strUserName.empty() || VIREOUserGet(_strUserName.c_str(), &user) != 0 || user == nullptr) {
      FOLIUM_LOG("Failed [%s], err=%m", "!ResetCredentialsByName(_strUserName)");
      response->SetError(105);
      return false;
    }
    VIREOUserFree(user);
    e = safe::OpenDocument(_strRealPath, _strUserName, _document);
  } else {
    FOLIUM_LOG("cannot permote root");
    response->SetError(105);
    return false;
  }
  // A folder or a FIFO the user may reach is no document: the methods find no file to open.
  if (e == safe::kOk || e == safe::kNotRegular) return true;
  if (e != safe::kDenied) {
    FOLIUM_LOG("cannot get acl permission for %s:%s", _strUserName.c_str(), _strRealPath.c_str());
  }
  response->SetError(105);
  return false;
}

// ---- get -----------------------------------------------------------------------------------

int PDFGet::ParseParams() {
  int rc = PDFOpBase::ParseParams();
  if (rc != 0) return rc;
  if (LowerExtension(_strRealPath) != ".pdf") FOLIUM_LOG("not PDF file: %s", _strSharePath.c_str());
  return 0;
}

int PDFGet::Execute() {
  if (!_document.Ok()) {
    FOLIUM_LOG("Failed to open %s", _strRealPath.c_str());
    return 117;
  }
  isOutput = false;
  response->SetEnableOutput(false);
  FILE* out = response->GetOutput();
  fputs("Content-Type: application/pdf\r\n\r\n", out);
  if (!VIREO::SendBody(out, _document.Get())) {
    FOLIUM_LOG("sending %s failed", _strRealPath.c_str());
  }
  if (!ViewLog(DOC_LOG_VIEW, _strSharePath, _strRealPath, request)) {
    syslog(LOG_ERR, "%s:%d (%u) save view log error\n", FOLIUM_SOURCE, __LINE__,
           static_cast<unsigned>(getpid()));
  }
  UdcInc("view_count");
  return 0;
}

// ---- get_perm ------------------------------------------------------------------------------

int PDFGetPerm::Execute() {
  output = Json::Value(Json::objectValue);
  output["perm"] = _blCanDownload ? "all" : "disable_download";
  return 0;
}

// ---- download ------------------------------------------------------------------------------

int PDFDownload::ParseParams() {
  int rc = PDFOpBase::ParseParams();
  if (rc != 0) return rc;
  if (!GetFileName(_strSharePath, _strFileName)) {
    errMsg = "failed to get filename";
    return 101;
  }
  if (!_blCanDownload) return 105;
  return 0;
}

int PDFDownload::Execute() {
  if (!_document.Ok()) {
    FOLIUM_LOG("Failed to open %s", _strRealPath.c_str());
    return 117;
  }
  isOutput = false;
  response->SetEnableOutput(false);
  VIREO::APIDownload download(response);
  download.SetHeader("content-disposition", ContentDisposition(_strFileName));
  // Sent from the descriptor that was checked, never handed on by name.
  download.OutputFd(_document.Get());
  if (!ViewLog(DOC_LOG_DOWNLOAD, _strSharePath, _strRealPath, request)) {
    syslog(LOG_ERR, "%s:%d (%u) save view log error\n", FOLIUM_SOURCE, __LINE__,
           static_cast<unsigned>(getpid()));
  }
  UdcInc("download_count");
  return 0;
}

// ---- print ---------------------------------------------------------------------------------

int PDFPrint::ParseParams() {
  int rc = PDFOpBase::ParseParams();
  if (rc != 0) return rc;
  if (!_blCanDownload) return 105;
  if (LowerExtension(_strRealPath) == ".pdf") {
    _strPDFPath = _strRealPath;
  } else if (!GetEARealPath(_strRealPath, kThumbPdf, _strPDFPath, false)) {
    errMsg = "invalid convert pdf file";
    return 101;
  }
  return 0;
}

int PDFPrint::ClosingPage() {
  FILE* out = response->GetOutput();
  fputs(kClosingPage, out);
  fflush(out);
  return 101;
}

int PDFPrint::Execute() {
  isOutput = false;
  response->SetEnableOutput(false);

  // The PDF to print: the document itself, or its converted PDF in the cache.
  safe::Fd cached;
  int source = -1;
  if (_strPDFPath == _strRealPath) {
    source = _document.Get();
  } else {
    IF_RUN_AS(0, 0) {
      if (safe::OpenEAFile(_strPDFPath, O_RDONLY, cached) == safe::kOk) source = cached.Get();
    }
  }
  if (source < 0) {
    FOLIUM_LOG("invalid convert pdf file: %s", _strPDFPath.c_str());
    return ClosingPage();
  }

  TmpConvertFile tmp;
  if (!tmp.Make(_strRealPath)) {
    FOLIUM_LOG("Failed [%s], err=%m", "!MakeTmpConvertFile(_strRealPath, strTmpPath)");
    return ClosingPage();
  }
  const std::string strConvertBin = PrintToolPath();
  int rc = -1;
  IF_RUN_AS(0, 0) {
    InheritedFd in(source), out(tmp.file.Get());
    if (in.Ok() && out.Ok()) {
      rc = VLIBCExec(strConvertBin.c_str(), in.Path().c_str(), out.Path().c_str(), nullptr, nullptr);
    }
    if (rc != 0) {
      FOLIUM_LOG("Failed [%s], err=%m",
                 "0 != VLIBCExec(strConvertBin.c_str(), _strPDFPath.c_str(), "
                 "strTmpPath.c_str(), __null, __null)");
    }
  } else {
    FOLIUM_LOG("cannot run as root");
  }
  if (rc != 0) return ClosingPage();
  struct stat printed;
  if (fstat(tmp.file.Get(), &printed) != 0 || printed.st_size == 0) {
    FOLIUM_LOG("the print tool left no output for %s", _strSharePath.c_str());
    return ClosingPage();
  }

  // The name goes before the first byte is sent: a client that goes away mid-way (the server
  // then ends this process) leaves nothing behind.
  tmp.Remove();
  VIREO::APIDownload download(response);
  download.SetHeader("Content-Type", "application/pdf");
  download.SetXSendFileDisabled();
  download.OutputFd(tmp.file.Get());
  UdcInc("print_count");
  return 0;
}
