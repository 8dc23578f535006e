// The package's log lines: syslog, error priority, "file:line (pid) text".
//
// When errno is set the text is followed by " [err: <strerror>]" and errno is reset to 0, so a
// stale errno never decorates a later line. The helpers return false, so a failing function can
// log and return in one statement:
//
//   if (!VLIBCFileCheckDir(dir)) return PL_ERR("no folder %s", dir);
//
// The text is escaped (control bytes and the backslash as "\xHH"), so what a request sent
// never breaks a line. Header-only: every deliverable compiles its own copy. Safe across
// threads (syslog is).
#ifndef PAPERLENS_INCLUDE_UTILS_LOG_H_
#define PAPERLENS_INCLUDE_UTILS_LOG_H_

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

namespace VIREO {
namespace PAPERLENS {
namespace log {

// Longest formatted text a line keeps (before escaping).
constexpr size_t kMaxText = 2047;

// `text` with every control byte (below 0x20, and 0x7f) and the backslash written as "\xHH".
// Log texts carry names and paths that came from requests: escaped, they can never end the
// line early or forge one of their own, and every byte of the original can be read back.
inline std::string Escape(const char* text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The printf-formatted text (%m included), cut at kMaxText, escaped. Leaves errno as it was.
inline std::string VFormatEscaped(const char* fmt, va_list ap) {
  const int saved = errno;
  char text[kMaxText + 1];
  vsnprintf(text, sizeof(text), fmt, ap);
  std::string out = Escape(text);
  errno = saved;
  return out;
}

inline std::string FormatEscaped(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string FormatEscaped(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string out = VFormatEscaped(fmt, ap);
  va_end(ap);
  return out;
}

inline bool VLog(bool withPid, const char* file, int line, const char* fmt, va_list ap) {
  int err = errno;
  std::string text = VFormatEscaped(fmt, ap);
  if (err != 0) {
    errno = err;  // for %m
    if (withPid) {
      syslog(LOG_ERR, "%s:%d (%d) %s [err: %m]", file, line, static_cast<int>(getpid()),
             text.c_str());
    } else {
      syslog(LOG_ERR, "%s:%d %s [err: %m]", file, line, text.c_str());
    }
  } else if (withPid) {
    syslog(LOG_ERR, "%s:%d (%d) %s", file, line, static_cast<int>(getpid()), text.c_str());
  } else {
    syslog(LOG_ERR, "%s:%d %s", file, line, text.c_str());
  }
  errno = 0;
  return false;
}

// "file:line (pid) text"
inline bool Error(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
inline bool Error(const char* file, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VLog(true, file, line, fmt, ap);
  va_end(ap);
  return false;
}

// "file:line text", the cache's shorter form.
inline bool ErrorShort(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
inline bool ErrorShort(const char* file, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VLog(false, file, line, fmt, ap);
  va_end(ap);
  return false;
}

}  // namespace log
}  // namespace PAPERLENS
}  // namespace VIREO

#define PL_ERR(...) ::VIREO::PAPERLENS::log::Error(__FILE__, __LINE__, __VA_ARGS__)
#define PL_ERR_SHORT(...) ::VIREO::PAPERLENS::log::ErrorShort(__FILE__, __LINE__, __VA_ARGS__)
// A failed precondition: "file:line (pid) Failed [<the test's text>]".
#define PL_FAILED(text) PL_ERR("Failed [%s]", text)
// A platform error from the last-error triple: "file:line (pid) [0xCODE file:line]".
#define PL_ERR_PLATFORM()                                                                   \
  PL_ERR("[0x%04X %s:%d]", VLIBCErrGet(), VLIBCErrorGetFile(), VLIBCErrorGetLine())

#endif  // PAPERLENS_INCLUDE_UTILS_LOG_H_
