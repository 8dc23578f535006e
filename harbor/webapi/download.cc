// File downloads: handed to the web server (X-Sendfile) or streamed by the request program.
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <string>

#include "host.h"
#include "vireo/webapi.h"

namespace VIREO {

namespace {

bool HasLineBreak(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Owns a descriptor.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  const int fd_;
};

webapi::BodyHandoff gBodyHandoff = nullptr;

bool IsPlainName(const std::string& path, int fd) {
  char* real = realpath(path.c_str(), nullptr);
  bool plain = real != nullptr && path == real && path.compare(0, 6, "/proc/") != 0;
  free(real);
  struct statfs fs;
  return plain && fstatfs(fd, &fs) == 0 && fs.f_type != PROC_SUPER_MAGIC;
}

// Hands the body to the web server when a resident worker can: only a whole regular file,
// open at its start.
bool HandOver(FILE* out, int fd) {
  struct stat st;
  return gBodyHandoff != nullptr && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
         lseek(fd, 0, SEEK_CUR) == 0 && gBodyHandoff(out, fd, st);
}

// Copies from `fd` where it stands to `out`: `limit` bytes at most (the length announced,
// even when the file grows meanwhile), or to the end when negative. Failures are logged as
// those of `what` when it is given.
bool CopyBody(int fd, FILE* out, long long limit, const char* what) {
  char buf[1 << 16];
  while (limit != 0) {
    size_t want = limit > 0 && limit < static_cast<long long>(sizeof(buf))
                      ? static_cast<size_t>(limit) : sizeof(buf);
    ssize_t n = read(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (what != nullptr) HARBOR_LOG("read of %s failed: %m", what);
      fflush(out);
      return false;
    }
    if (n == 0) break;
    if (fwrite(buf, 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
      if (what != nullptr) HARBOR_LOG("write of %s failed: %m", what);
      return false;
    }
    if (limit > 0) limit -= n;
  }
  return fflush(out) == 0;
}

}  // namespace

namespace webapi {
void SetBodyHandoff(BodyHandoff handoff) { gBodyHandoff = handoff; }
}  // namespace webapi

bool SendBody(FILE* out, int fd) {
  if (out == nullptr || fd < 0) return false;
  return HandOver(out, fd) || CopyBody(fd, out, -1, nullptr);
}

bool APIDownload::SetHeader(const std::string& name, const std::string& value) {
  if (name.empty() || HasLineBreak(name) || HasLineBreak(value) ||
      name.find(':') != std::string::npos) {
    HARBOR_LOG("refused header %s", name.c_str());
    return false;
  }
  for (auto& h : _headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) {
      h.second = value;
      return true;
    }
  }
  _headers.emplace_back(name, value);
  return true;
}

bool APIDownload::Output(const std::string& path) {
  _response->SetEnableOutput(false);
  FILE* out = _response->GetOutput();

  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    HARBOR_LOG("cannot send %s: %m", path.c_str());
    // Nothing was written yet: answer as the server would, so the client sees a failure
    // instead of an empty body.
    APIResponse failure(out);
    failure.SetError(WEBAPI_ERR_BAD_REQUEST, "cannot open file");
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    fprintf(out, "Status: 404 Not Found\r\nContent-Type: application/json\r\n\r\n%s",
            Json::writeString(b, failure.GetAnswer()).c_str());
    fflush(out);
    return false;
  }

  return Send(fd.get(), st, path);
}

bool APIDownload::OutputFd(int fd) {
  _response->SetEnableOutput(false);
  FILE* out = _response->GetOutput();
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || lseek(fd, 0, SEEK_SET) != 0) {
    HARBOR_LOG("cannot send descriptor %d: %m", fd);
    APIResponse failure(out);
    failure.SetError(WEBAPI_ERR_BAD_REQUEST, "cannot open file");
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    fprintf(out, "Status: 404 Not Found\r\nContent-Type: application/json\r\n\r\n%s",
            Json::writeString(b, failure.GetAnswer()).c_str());
    fflush(out);
    return false;
  }
  return Send(fd, st, "");
}

bool APIDownload::Send(int fd, const struct stat& st, const std::string& path) {
  FILE* out = _response->GetOutput();
  bool haveType = false;
  for (const auto& h : _headers) {
    if (strcasecmp(h.first.c_str(), "Content-Type") == 0) haveType = true;
    // The server computes the length itself for X-Sendfile, and we do it below otherwise.
    if (strcasecmp(h.first.c_str(), "Content-Length") == 0) continue;
    fprintf(out, "%s: %s\r\n", h.first.c_str(), h.second.c_str());
  }
  if (!haveType) fputs("Content-Type: application/octet-stream\r\n", out);

  // The server resolves the name again, in its own process: only a plain name (absolute, no
  // links, no "." or "..") that leads to the same place for it goes by name, and nothing on
  // /proc, where "self" is the server and the server takes only what workers hand over. Other
  // files, and names with a line break (which cannot travel in a header), are streamed.
  if (_xSendFile && !path.empty() && !HasLineBreak(path) && IsPlainName(path, fd)) {
    fprintf(out, "X-Sendfile: %s\r\n\r\n", path.c_str());
    return fflush(out) == 0;
  }

  fprintf(out, "Content-Length: %lld\r\n\r\n", static_cast<long long>(st.st_size));
  // A file the caller opened may go out through the web server (a resident worker).
  if (path.empty() && HandOver(out, fd)) return true;
  return CopyBody(fd, out, static_cast<long long>(st.st_size),
                  path.empty() ? "a descriptor" : path.c_str());
}

}  // namespace VIREO
