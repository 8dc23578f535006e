// The PDF viewer plug-in's own log form (it does not link the package library):
//   "VIREO.Folium:LINE (PID) (VIREO.Folium:LINE)(<strerror of errno>)text\n\n"
// at error priority. Unlike the package's helper it leaves errno as it is. The text is escaped
// as the package's is (control bytes and the backslash as "\xHH"; the helper is header-only):
// it carries paths and names from requests, and the two line breaks that end the form must
// stay the only ones.
#ifndef PAPERLENS_WEBAPI_FOLIUM_FOLIUMLOG_H_
#define PAPERLENS_WEBAPI_FOLIUM_FOLIUMLOG_H_

#include <syslog.h>
#include <unistd.h>

#include "utils_log.h"

#define FOLIUM_SOURCE "VIREO.Folium"

// The text is formatted before syslog runs, with errno as the caller left it, so "(%m)" and a
// "%m" in the text both name the caller's error.
#define FOLIUM_LOG(fmt, ...)                                                            \
  syslog(LOG_ERR, "%s:%d (%u) (%s:%d)(%m)%s\n\n", FOLIUM_SOURCE, __LINE__,              \
         static_cast<unsigned>(getpid()), FOLIUM_SOURCE, __LINE__,                      \
         ::VIREO::PAPERLENS::log::FormatEscaped(fmt, ##__VA_ARGS__).c_str())

#endif  // PAPERLENS_WEBAPI_FOLIUM_FOLIUMLOG_H_
