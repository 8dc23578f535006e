// Desktop notifications of the appliance's users: kept per user in
// /usr/vireo/var/notifications/<user>.json (a JSON array, newest last, at most kMaxKept), written
// by /usr/vireo/bin/vireoharbornotify and listed by VIREO.Harbor.Notification "list".
#ifndef HARBOR_SHARING_NOTIFICATIONS_H_
#define HARBOR_SHARING_NOTIFICATIONS_H_

#include <json/json.h>

#include <string>

namespace VIREO {
namespace notification {

#define VIREO_NOTIFICATION_DIR "/usr/vireo/var/notifications"

constexpr unsigned kMaxKept = 200;

// Appends `item` (an object) to the canonical user's list, under the list's exclusive lock.
// False for an unknown user or a store failure.
bool Append(const std::string& user, const Json::Value& item,
            const std::string& dir = VIREO_NOTIFICATION_DIR);
// The user's notifications (an array, empty when none).
Json::Value List(const std::string& user, const std::string& dir = VIREO_NOTIFICATION_DIR);

}  // namespace notification
}  // namespace VIREO

#endif  // HARBOR_SHARING_NOTIFICATIONS_H_
