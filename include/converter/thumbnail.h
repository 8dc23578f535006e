// Thumbnails: a small PNG of a document's first page (an e-book's cover), stored as its
// SZK_THUMB_TYPE stream, with a failure marker beside it while none could be made.
#ifndef PAPERLENS_INCLUDE_CONVERTER_THUMBNAIL_H_
#define PAPERLENS_INCLUDE_CONVERTER_THUMBNAIL_H_

#include <string>

#include "path.h"

namespace VIREO {
namespace PAPERLENS {

namespace thumbnail {

// The failure marker of a thumbnail: the thumbnail's path + ".err.0063".
class ErrorFileManager {
 public:
  explicit ErrorFileManager(const std::string& thumbPath);
  virtual ~ErrorFileManager();

  // Creates the marker when missing (an existing one keeps its content), root's alone, through
  // an EA folder that is root's alone (safe_file.h). True on success.
  bool Touch();
  const std::string& GetErrPath() const { return _errPath; }

 private:
  std::string _path;     // the thumbnail's stream path
  std::string _errPath;  // the failure marker's path
};

}  // namespace thumbnail

namespace converter {

// Makes the thumbnail of `source` (which carries "realPath"): a one-page PDF (or cover image)
// through ToPDF with the page range "1-1", reusing the cached whole-document PDF when there is
// one, then a PNG by the image tool, moved into the thumbnail stream. While it works, and after
// any failure, the failure marker exists; a success removes it. Returns 1000 at once when
// another live process is making the same thumbnail. The intermediate and a PNG that could not
// be moved never outlive the call.
int ToThumbnail(const path::Path& source);

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_CONVERTER_THUMBNAIL_H_
