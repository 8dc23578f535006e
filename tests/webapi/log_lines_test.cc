// The package's log helpers (PL_ERR, PL_ERR_SHORT) and the PDF viewer's (FOLIUM_LOG) byte for
// byte, as the syslog socket receives them: the line forms stay exact, and text that came from
// a request never carries a line break or another control byte of its own.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "folium/FoliumLog.h"
#include "utils_log.h"

namespace {

// Takes the appliance's /dev/log over for the test's life, so messages can be read as sent
// (the receiver would strip the trailing line breaks the viewer's form ends with).
class CapturedLog {
 public:
  CapturedLog() {
    if (rename("/dev/log", kAside) != 0) return;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (fd_ < 0 || bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) return;
    closelog();  // the next message connects anew, to us
    ok_ = true;
  }
  ~CapturedLog() {
    if (fd_ >= 0) close(fd_);
    unlink("/dev/log");
    rename(kAside, "/dev/log");
    closelog();
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  bool ok() const { return ok_; }

  // The next message without its "<PRI>timestamp ident: " header; "" when none comes.
  std::string Next() {
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return "";
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) return "";
    std::string m(buf, static_cast<size_t>(n));
    size_t colon = m.find(": ");
    return colon == std::string::npos ? m : m.substr(colon + 2);
  }

 private:
  static constexpr const char* kAside = "/dev/log.receiver";
  int fd_ = -1;
  bool ok_ = false;
};

const std::string kFile = __FILE__;
const std::string kPid = std::to_string(getpid());
const std::string kForged = "eve\n2026-01-01T00:00:00 user.err webapi: forged";
const std::string kForgedEscaped = "eve\\x0a2026-01-01T00:00:00 user.err webapi: forged";

TEST(PackageLog, EscapesTheTextAndKeepsTheFormsExactly) {
  CapturedLog log;
  ASSERT_TRUE(log.ok());

  errno = ENOENT;
  int line = __LINE__ + 1;
  EXPECT_FALSE(PL_ERR("cannot open %s", kForged.c_str()));
  EXPECT_EQ(0, errno);  // reset, so it never decorates a later line
  EXPECT_EQ(kFile + ":" + std::to_string(line) + " (" + kPid + ") cannot open " + kForgedEscaped +
                " [err: No such file or directory]",
            log.Next());

  line = __LINE__ + 1;
  PL_ERR("tab\there, bell\a, delete\x7f, back\\slash");
  EXPECT_EQ(kFile + ":" + std::to_string(line) + " (" + kPid +
                ") tab\\x09here, bell\\x07, delete\\x7f, back\\x5cslash",
            log.Next());

  errno = EACCES;
  line = __LINE__ + 1;
  PL_ERR_SHORT("%s", "a\r\nb");
  EXPECT_EQ(kFile + ":" + std::to_string(line) + " a\\x0d\\x0ab [err: Permission denied]",
            log.Next());
}

TEST(PackageLog, EscapingNeverCutsWhatTheLineWouldHaveKept) {
  CapturedLog log;
  ASSERT_TRUE(log.ok());
  // Up to the helper's bound, every byte arrives, however much escaping makes of it.
  const std::string breaks(1500, '\n');
  PL_ERR("%s|end", breaks.c_str());
  std::string m = log.Next();
  std::string escaped;
  for (int i = 0; i < 1500; ++i) escaped += "\\x0a";
  EXPECT_NE(std::string::npos, m.find(") " + escaped + "|end")) << m.substr(0, 80);
  EXPECT_EQ(std::string::npos, m.find('\n'));
}

TEST(FoliumLog, EscapesOnlyTheTextAndEndsWithItsTwoLineBreaks) {
  CapturedLog log;
  ASSERT_TRUE(log.ok());
  errno = EACCES;
  int line = __LINE__ + 1;
  FOLIUM_LOG("no such file %s", kForged.c_str());
  EXPECT_EQ(EACCES, errno);  // the viewer's form leaves errno alone
  const std::string l = std::to_string(line);
  EXPECT_EQ("VIREO.Folium:" + l + " (" + kPid + ") (VIREO.Folium:" + l +
                ")(Permission denied)no such file " + kForgedEscaped + "\n\n",
            log.Next());

  errno = 0;
  line = __LINE__ + 1;
  FOLIUM_LOG("plain");
  EXPECT_EQ("VIREO.Folium:" + std::to_string(line) + " (" + kPid + ") (VIREO.Folium:" +
                std::to_string(line) + ")(Success)plain\n\n",
            log.Next());
}

}  // namespace
