// The package's fixed paths and tuning values, and the file utilities shared by the conversion
// engine, the cache and the daemon. Exported by libpaperlens.so.6.
#ifndef PAPERLENS_INCLUDE_UTILS_H_
#define PAPERLENS_INCLUDE_UTILS_H_

#include <string>

namespace VIREO {
namespace PAPERLENS {

namespace path {
class Path;
}

// ---- Fixed paths and names ------------------------------------------------------------------
extern const char* const SZF_INDEX_QUEUE_WORKING;  // daemon's working copy of the index queue
extern const char* const SZF_INDEX_QUEUE_DIR;      // daemon queue directory
extern const char* const SZF_INDEX_QUEUE;          // index queue file
extern const char* const SZF_INDEX_CONFIG;         // indexed-folder settings
extern const char* const SZF_INDEX_DAEMON;         // daemon program
extern const char* const SZF_ENABLE_INDEX;         // marker file: indexing on
extern const char* const SZF_PIDPATH;              // daemon pid file
extern const char* const SZF_UDC_PATH;             // usage-statistics file
extern const char* const SZ_ANONYMOUS_USER;        // "guest"
extern const char* const SZ_TYPE_VIEW;             // transfer-log action "View Document"
extern const char* const SZF_SUPPORT_FILE_TYPES;   // comma-separated types the daemon handles
extern const char* const SZK_THUMB_PDF_TYPE;       // stream of the whole-document PDF
extern const char* const SZK_THUMB_TYPE;           // stream of the thumbnail image
extern const char* const SZF_COVERT_TARGET_DIR;    // converter output, inside a container
extern const char* const SZF_COVERT_SOURCE_DIR;    // converter input, inside a container
extern const char* const SZF_DOCKER_DIR;           // share path that hosts the staging area
extern const char* const SZF_THIRD_PARTY_DB_PATH;  // external conversion database
extern const char* const SZF_CACHE_DB_PATH;        // cache database
extern const char* const SZF_THUMB_DB_PATH;        // task queue database
extern const char* const SZF_CONFIG_PATH;          // container-pool state and package settings

// ---- Tuning values --------------------------------------------------------------------------
extern const int LOCK_TIMEOUT_SECS;  // 5: seconds to wait for a file lock
extern const int USLEEP_TIME;        // 500000: microseconds between polls
extern const int PARALLEL_COUNT;     // 1: jobs one container runs at a time
extern const int MAX_MEMORY_COUNT;   // 350 MiB
extern const int MAX_USING_COUNT;    // 0
extern const int HOME_LENGTH;        // 6: length of "/home/"

// ---- File utilities -------------------------------------------------------------------------

// Copies (move false) or moves (move true) a regular file through the platform; the target is
// replaced atomically. True on success.
bool MoveOrCopyFile(const std::string& src, const std::string& dst, bool move);
bool MoveFile(const std::string& src, const std::string& dst);
bool CopyFile(const std::string& src, const std::string& dst);

// The volume that holds the share of `sharePath` (for a share at /volume1/docker, /volume1).
// False, logged, when the share does not exist or the path names none.
bool VolumePathGet(const std::string& sharePath, std::string& volumePath);

// The lower-case extension of the path's last component, without the dot ("docx" for
// /x/Report.DOCX). False, with `type` empty, when there is none.
bool GetFileType(const std::string& path, std::string& type);

// True when the file exists and holds more than 10 bytes. Examines the file as root.
bool IsFileValidSize(const std::string& path);

// Creates a new empty file, mode 0600, named dir + six random characters + "." + type, and
// stores its name as the "realPath" of `path`. REQUIRES: dir ends in "/".
bool CreateTmpFileNameWithType(const std::string& type, const std::string& dir, path::Path& path);

}  // namespace PAPERLENS
}  // namespace VIREO

#endif  // PAPERLENS_INCLUDE_UTILS_H_
