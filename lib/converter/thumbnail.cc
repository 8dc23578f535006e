// Thumbnails of documents.
#include "converter/thumbnail.h"

#include <fcntl.h>
#include <unistd.h>

#include "converter/converter.h"
#include "converter/converting_manager.h"
#include "converter/pdf.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {

namespace thumbnail {

ErrorFileManager::ErrorFileManager(const std::string& thumbPath)
    : _path(thumbPath), _errPath(thumbPath + ".err." + "0063") {}

ErrorFileManager::~ErrorFileManager() = default;

bool ErrorFileManager::Touch() { return !_path.empty() && VLIBCFileTouch(_errPath.c_str()) == 0; }

}  // namespace thumbnail

namespace converter {

namespace {

// Moves the rendered image into place and drops its pages from the page cache.
bool MoveIntoPlace(const std::string& image, const std::string& thumbPath) {
  int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool moved = MoveFile(image, thumbPath);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
  return moved;
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
    // The cached whole-document PDF, when there is one, spares the office tool.
    const std::string cachedPdf = source.GetEAPathWithType(SZK_THUMB_PDF_TYPE, "");
    input.SetData("realPath", VLIBCFileExist(cachedPdf.c_str()) == 1 ? cachedPdf
                                                                      : source.GetRealPath(""),
                  true);
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
        if (VLIBCFileExist(rendered.c_str())) RemoveTmpFile(rendered);
      }
    }
  }

  const std::string intermediate = page.GetRealPath("");
  if (!intermediate.empty() && VLIBCFileExist(intermediate.c_str())) RemoveTmpFile(intermediate);
  if (rc == kConvertSuccess) {
    unlink(errMgr.GetErrPath().c_str());
  } else if (!thumbPath.empty()) {
    RemoveTmpFile(thumbPath);
  }
  return rc;  // the marker is withdrawn as `marker` goes
}

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO
