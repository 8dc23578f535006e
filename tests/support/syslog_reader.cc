#include "syslog_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace paperlens_test {

LogWatch::LogWatch(const std::string& path) : _path(path), _offset(0) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) _offset = st.st_size;
}

std::string LogWatch::Since() const {
  std::ifstream in(_path, std::ios::binary);
  if (!in) return "";
  in.seekg(_offset);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string LogWatch::WaitFor(const std::string& text, int timeoutMs) const {
  for (int waited = 0;; waited += 20) {
    std::istringstream lines(Since());
    std::string line;
    while (std::getline(lines, line)) {
      if (line.find(text) != std::string::npos) return line;
    }
    if (waited >= timeoutMs) return "";
    usleep(20000);
  }
}

}  // namespace paperlens_test
