// The PDF viewer plug-in's own log form (it does not link the package library):
//   "VIREO.Folium:LINE (PID) (VIREO.Folium:LINE)(<strerror of errno>)text\n\n"
// at error priority. Unlike the package's helper it leaves errno as it is.
#ifndef PAPERLENS_WEBAPI_FOLIUM_FOLIUMLOG_H_
#define PAPERLENS_WEBAPI_FOLIUM_FOLIUMLOG_H_

#include <syslog.h>
#include <unistd.h>

#define FOLIUM_SOURCE "VIREO.Folium"

#define FOLIUM_LOG(fmt, ...)                                                                 \
  syslog(LOG_ERR, "%s:%d (%u) (%s:%d)(%m)" fmt "\n\n", FOLIUM_SOURCE, __LINE__,              \
         static_cast<unsigned>(getpid()), FOLIUM_SOURCE, __LINE__, ##__VA_ARGS__)

#endif  // PAPERLENS_WEBAPI_FOLIUM_FOLIUMLOG_H_
