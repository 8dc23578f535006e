// Helpers shared inside the platform library; not part of its interface.
#ifndef HARBOR_LIBVIREO_INTERNAL_H_
#define HARBOR_LIBVIREO_INTERNAL_H_

#include <sys/types.h>

#include <string>

namespace harbor {

// Writes `content` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`, so readers see the old or the new content, never a torn one. A symlink is followed:
// the file it names is replaced.
bool WriteFileAtomically(const std::string& path, const std::string& content, mode_t mode);

// strdup that never returns null for a null input (gives "").
char* DupString(const char* s);

}  // namespace harbor

#endif  // HARBOR_LIBVIREO_INTERNAL_H_
