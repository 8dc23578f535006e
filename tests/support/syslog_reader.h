// Reading the appliance's log (/var/log/messages, written by its syslog receiver) in tests.
#ifndef PAPERLENS_TESTS_SUPPORT_SYSLOG_READER_H_
#define PAPERLENS_TESTS_SUPPORT_SYSLOG_READER_H_

#include <string>

namespace paperlens_test {

// Remembers where the log ends now, so a test sees only the lines written after it.
class LogWatch {
 public:
  explicit LogWatch(const std::string& path = "/var/log/messages");

  // The first line written since construction that contains `text`, waiting up to
  // `timeoutMs` for the receiver to write it. "" when none came.
  std::string WaitFor(const std::string& text, int timeoutMs = 3000) const;
  // Everything written since construction.
  std::string Since() const;

 private:
  std::string _path;
  long long _offset;
};

}  // namespace paperlens_test

#endif  // PAPERLENS_TESTS_SUPPORT_SYSLOG_READER_H_
