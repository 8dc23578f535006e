// The platform's error exception: carries a platform error code (see vireo/types.h); the file
// and line are those recorded with VLIBCErrSetEx.
#ifndef HARBOR_VIREO_ERROR_H_
#define HARBOR_VIREO_ERROR_H_

#include <cstdio>
#include <stdexcept>
#include <string>

#include "vireo/libc.h"

class VIREOERR : public std::runtime_error {
 public:
  explicit VIREOERR(int code)
      : std::runtime_error(Describe(code)), _code(code) {}

  int code() const { return _code; }

 private:
  static std::string Describe(int code) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "platform error 0x%04X", code);
    return buf;
  }

  int _code;
};

// Records the error at the current source line and throws it.
#define VIREO_THROW(code)                           \
  do {                                              \
    VLIBCErrSetEx((code), __FILE__, __LINE__);      \
    throw VIREOERR(code);                           \
  } while (0)

#endif  // HARBOR_VIREO_ERROR_H_
