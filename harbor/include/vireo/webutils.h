// Small helpers of the web server library for plug-ins that build HTML.
#ifndef HARBOR_VIREO_WEBUTILS_H_
#define HARBOR_VIREO_WEBUTILS_H_

#include <string>

class WebUtils {
 public:
  // `text` with &, <, >, " and ' written as character references, so it can stand in an
  // element or a quoted attribute. With `keepNewline` line breaks stay as they are; without
  // it they become "<br>".
  static std::string EncodeHtml(const std::string& text, bool keepNewline);
};

#endif  // HARBOR_VIREO_WEBUTILS_H_
