// The last-error triple: code, source file and line, kept per thread.
#include "vireo/libc.h"

namespace {
thread_local int tCode = 0;
thread_local const char* tFile = "";
thread_local int tLine = 0;
}  // namespace

extern "C" {

void VLIBCErrSetEx(int code, const char* file, int line) {
  tCode = code;
  tFile = file != nullptr ? file : "";
  tLine = line;
}

int VLIBCErrGet(void) { return tCode; }

const char* VLIBCErrorGetFile(void) { return tFile; }

int VLIBCErrorGetLine(void) { return tLine; }

}  // extern "C"
