// Thumbnails of documents.
#include "converter/thumbnail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "converter/converter.h"
#include "converter/converting_manager.h"
#include "converter/pdf.h"
#include "safe_file.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {

namespace thumbnail {

ErrorFileManager::ErrorFileManager(const std::string& thumbPath)
    : _path(thumbPath), _errPath(thumbPath + ".err." + "0063") {}

ErrorFileManager::~ErrorFileManager() = default;

bool ErrorFileManager::Touch() {
  if (_path.empty()) return false;
  safe::Fd fd;
  safe::Error e = safe::OpenEAFile(_errPath, O_WRONLY | O_CREAT, fd);
  if (e != safe::kOk) return PL_ERR("refusing %s: %s", _errPath.c_str(), safe::ErrorText(e));
  return true;
}

}  // namespace thumbnail

namespace converter {

namespace {

// Moves the rendered image into the thumbnail stream and drops its pages from the page cache.
bool MoveIntoPlace(const std::string& image, const std::string& thumbPath) {
  safe::Fd fd(open(image.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Ok()) return false;
  safe::Error e = safe::InstallEAFile(image, thumbPath, /*move=*/true);
  posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_DONTNEED);
  if (e != safe::kOk) return PL_ERR("cannot store %s: %s", thumbPath.c_str(), safe::ErrorText(e));
  return true;
}

// Whether a file lies at `path` (a link counts: it is in the way).
bool Present(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

int ToThumbnail(const path::Path& sourceIn) {
  path::Path source = sourceIn;
  const std::string thumbPath = source.GetEAPathWithType(SZK_THUMB_TYPE, "");
  path::Path input, page, image;
  const std::string key = source.GetRealPath("") + ":thumbnail";
  ConvertingManager marker(source, key, /*thumbnail=*/true);

  // Somebody else is making this thumbnail: leave it to them.
  if (!marker.TryRegister()) return kConvertSuccess;

  int rc = kConvertSuccess;
  thumbnail::ErrorFileManager errMgr(thumbPath);
  if (!errMgr.Touch()) {
    PL_FAILED("! errMgr.Touch()");
    rc = kConvertRefused;
  } else {
    // The cached whole-document PDF, when there is one, spares the office tool. It is opened
    // here to judge it, and the conversion must find that very file.
    const std::string cachedPdf = source.GetEAPathWithType(SZK_THUMB_PDF_TYPE, "");
    safe::Fd cached;
    struct stat cachedStat;
    if (!cachedPdf.empty() &&
        safe::OpenEAFile(cachedPdf, O_RDONLY, cached, &cachedStat) == safe::kOk) {
      input.SetData("realPath", cachedPdf, true);
      input.SetData("device", static_cast<Json::UInt64>(cachedStat.st_dev), true);
      input.SetData("inode", static_cast<Json::UInt64>(cachedStat.st_ino), true);
    } else {
      input = source;
    }
    rc = ToPDF(input, page, "1-1");
    if (rc == kConvertSuccess) {
      ImageMagickConverter renderer(ContainerPoolManager::PRIORITY_LOW);
      rc = renderer.Convert("png", page, image);
    }
    if (rc == kConvertSuccess) {
      const std::string rendered = image.GetRealPath("");
      if (!MoveIntoPlace(rendered, thumbPath)) {
        rc = kConvertRefused;
        // Not moved: it must not stay in the staging area.
        if (Present(rendered)) RemoveTmpFile(rendered);
      }
    }
  }

  const std::string intermediate = page.GetRealPath("");
  if (!intermediate.empty() && Present(intermediate)) RemoveTmpFile(intermediate);
  if (rc == kConvertSuccess) {
    safe::RemoveEAFile(errMgr.GetErrPath());
  } else if (!thumbPath.empty()) {
    safe::RemoveEAFile(thumbPath);
  }
  return rc;  // the marker is withdrawn as `marker` goes
}

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO
