// The transfer-log entry of a viewed document: who (user and remote address) viewed what (the
// share path) and how many bytes, as if the file had been transferred. Written only when the
// administrator switched on transfer logging ("filebrowserxferlog" "yes").
#ifndef PAPERLENS_INCLUDE_VIEW_LOG_H_
#define PAPERLENS_INCLUDE_VIEW_LOG_H_

#include <string>

namespace VIREO {
class APIRequest;

namespace PAPERLENS {

// Logs the view of `realPath`, shown as `sharePath`, for the request's user. For a request
// through a sharing link the entry names the link's owner, and the file field tells who
// opened the link: "<visitor> <localised 'through a sharing link' text><share path>" (the
// visitor empty when nobody logged in). True when logging is off or the entry was written;
// false, logged, when the file cannot be examined, a visitor's uid names no user, the privilege
// switch or the log call failed.
bool ViewLog(const std::string& sharePath, const std::string& realPath,
             VIREO::APIRequest* request);

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_VIEW_LOG_H_
