// The PDF pipeline: a document to a PDF, whole or for a page range, and into the cache.
#ifndef PAPERLENS_INCLUDE_CONVERTER_PDF_H_
#define PAPERLENS_INCLUDE_CONVERTER_PDF_H_

#include "path.h"

namespace VIREO {
namespace PAPERLENS {
namespace converter {

// Converts `source` with the tool its type calls for: the whole document at high priority, or
// with `pageRange` (the office tools' "PageRange" syntax, "1-1" for the first page) at low
// priority, where an e-book yields its cover image ("jpg") instead of a PDF. On success
// `result`'s "realPath" names the output in the staging area, which the caller then owns.
// Returns a conversion result code; 1003 for a source without a supported type.
int ToPDF(const path::Path& source, path::Path& result, const char* pageRange);

// Makes sure the whole-document PDF of `source` is in the cache (its SZK_THUMB_PDF_TYPE
// stream), converting it when this process is the first to ask. While another process
// converts the same file, waits for it (a marker left by a process that died is taken over);
// when it is done and a current PDF is cached, returns 1000 without converting, otherwise
// converts itself. Returns 1000 only when the PDF is now in the cache; the failed conversion's
// code otherwise, and 1002 when the converted PDF could not be stored (cache database
// unusable, EA folder refused). The staged PDF never outlives the call.
int ToPDFCache(const path::Path& source);

}  // namespace converter
}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_CONVERTER_PDF_H_
