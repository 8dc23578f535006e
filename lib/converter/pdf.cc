// The PDF pipeline.
#include "converter/pdf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache_manager.h"
#include "converter/converter.h"
#include "converter/converting_manager.h"
#include "safe_file.h"
#include "utils.h"
#include "utils_log.h"
#include "vireo/libc.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {

namespace {

constexpr int64_t kCacheLimit = 1073741824;  // 1 GiB

template <typename Converter>
int Run(ContainerPoolManager::Priority priority, const Json::Value& options,
        const std::string& targetType, path::Path& source, path::Path& result) {
  Converter converter(priority);
  converter._option = options;
  return converter.Convert(targetType, source, result);
}

}  // namespace

int ToPDF(const path::Path& sourceIn, path::Path& result, const char* pageRange) {
  path::Path source = sourceIn;
  std::string strSrcType = source.GetFileType("");
  Json::Value options;
  if (pageRange != nullptr) options["PageRange"] = pageRange;
  if (strSrcType.empty()) {
    PL_FAILED("strSrcType.empty()");
    return kConvertRefused;
  }
  const bool ranged = pageRange != nullptr;
  using P = ContainerPoolManager;
  if (LibreOfficeConverter::_supportTypeSet.count(strSrcType)) {
    return ranged ? Run<UnoconvConverter>(P::PRIORITY_LOW, options, "pdf", source, result)
                  : Run<LibreOfficeConverter>(P::PRIORITY_HIGH, options, "pdf", source, result);
  }
  if (CalibreConverter::_supportTypeSet.count(strSrcType)) {
    return ranged
               ? Run<CalibreThumbnailConverter>(P::PRIORITY_LOW, options, "jpg", source, result)
               : Run<CalibreConverter>(P::PRIORITY_HIGH, options, "pdf", source, result);
  }
  if (UnoconvSpreadSheetConverter::_supportTypeSet.count(strSrcType)) {
    return Run<UnoconvSpreadSheetConverter>(ranged ? P::PRIORITY_LOW : P::PRIORITY_HIGH, options,
                                            "pdf", source, result);
  }
  if (PdftkConverter::_supportTypeSet.count(strSrcType)) {
    return Run<PdftkConverter>(ranged ? P::PRIORITY_LOW : P::PRIORITY_HIGH, options, "pdf",
                               source, result);
  }
  PL_ERR("err type: %s", strSrcType.c_str());
  return kConvertRefused;
}

int ToPDFCache(const path::Path& sourceIn) {
  path::Path source = sourceIn;
  path::Path result;
  const std::string realPath = source.GetRealPath("");
  const std::string key = realPath + ":origin";
  ConvertingManager marker(source, key, /*thumbnail=*/false);
  CacheManager cache(true, kCacheLimit);

  // Convert when nobody else does; otherwise wait for the other process. A marker whose
  // process died is taken over, so nobody waits for good. When the other process is done its
  // PDF counts only if it is in the cache and current: its conversion may have failed, and then
  // this process converts (and reports its own outcome) instead of claiming success.
  while (!marker.TryRegister()) {
    for (;;) {
      usleep(USLEEP_TIME);
      ConvertingManager::MarkerState state = marker.Check();
      if (state == ConvertingManager::kAbsent) {
        safe::Fd cached;
        if (cache.IsGood() && cache.Get(realPath, SZK_THUMB_PDF_TYPE, cached)) {
          return kConvertSuccess;
        }
        break;
      }
      if (state == ConvertingManager::kAbandoned) break;
    }
  }

  int rc = ToPDF(source, result, nullptr);
  if (rc != kConvertSuccess) return rc;
  const std::string converted = result.GetRealPath("");
  // Success means a PDF that "get" will find; a conversion that could not be stored is none.
  rc = kConvertFailed;
  if (!cache.IsGood()) {
    PL_ERR("CacheManager's DB is broken");
  } else if (!cache.Set(converted, realPath, SZK_THUMB_PDF_TYPE, true)) {
    PL_ERR("Failed to cache (%s : %s, type: %s)", converted.c_str(), realPath.c_str(),
           SZK_THUMB_PDF_TYPE);
  } else {
    std::string streamPath;
    safe::Fd stored;
    if (cache.GetEAPath(realPath, SZK_THUMB_PDF_TYPE, streamPath) &&
        safe::OpenEAFile(streamPath, O_RDONLY, stored) == safe::kOk) {
      rc = kConvertSuccess;
    } else {
      PL_ERR("Failed to cache (%s : %s, type: %s)", converted.c_str(), realPath.c_str(),
             SZK_THUMB_PDF_TYPE);
    }
  }
  // Whatever was not moved into the cache goes: the staging area must not fill up.
  struct stat st;
  if (lstat(converted.c_str(), &st) == 0) RemoveTmpFile(converted);
  return rc;
}

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO
