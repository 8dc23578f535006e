// The platform's logs and settings: the file-transfer log, the settings object and the UI
// string bundle.
#ifndef HARBOR_VIREO_LOG_H_
#define HARBOR_VIREO_LOG_H_

#include <stdint.h>

#include <json/json.h>

#include <string>

// The file manager's transfer log: one JSON object a line,
//   {"time": "2026-12-08T17:21:33Z", "ip": ..., "user": ..., "type": ..., "size": N,
//    "file": ..., "flags": 0}
// readable by administrators (mode 0600) and listed by /usr/vireo/bin/vireo-xferlog.
#define VIREO_XFERLOG_PATH "/usr/vireo/var/log/filebrowser-xfer.log"

extern "C" {
// Appends one entry. 0 on success, -1 on failure (errno set).
int VIREOLogHARBORFMXferLog(const char* ip, const char* user, const char* type, int64_t size,
                            const char* fileName, int flags);
}

// The appliance's settings (key=value, /usr/vireo/etc/vireo.conf), read on each query.
class VireoConf {
 public:
  VireoConf();
  explicit VireoConf(const std::string& path);
  // The setting's text, or `defaultValue` when it is not set.
  std::string Info(const std::string& key, const std::string& defaultValue) const;

 private:
  std::string _path;
};

#define VIREO_SETTINGS_PATH "/usr/vireo/etc/vireo.conf"

// Localised UI texts of one module and section, in the appliance's language (the setting
// "language", "enu" by default), from /usr/vireo/share/strings/<language>.json:
//   {"3": {"sharing": {"download_log_desc": "..."}}}
class StringBundle {
 public:
  StringBundle(int module, const std::string& section);
  std::string Text(const std::string& key, const std::string& defaultValue) const;

 private:
  Json::Value _texts;  // the section's texts
};

#endif  // HARBOR_VIREO_LOG_H_
