#include "appliance_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {
constexpr char kMessages[] = "/var/log/messages";

long FileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<long>(st.st_size) : 0;
}
}  // namespace

LogMark::LogMark() : offset_(FileSize(kMessages)) {}

std::string LogMark::Text() const {
  std::ifstream in(kMessages);
  in.seekg(offset_);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool LogMark::Contains(const std::string& needle, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Text().find(needle) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

namespace {

// The log's lines that are complete: the receiver may be writing the last one still.
std::string CompleteLines(const std::string& text) {
  size_t end = text.rfind('\n');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

}  // namespace

bool LogMark::HasLine(const std::vector<std::string>& needles, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::istringstream lines(CompleteLines(Text()));
    std::string line;
    while (std::getline(lines, line)) {
      bool all = true;
      for (const std::string& n : needles) all = all && line.find(n) != std::string::npos;
      if (all) return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string LogMark::Line(const std::string& needle, int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::istringstream lines(CompleteLines(Text()));
    std::string line;
    while (std::getline(lines, line)) {
      if (line.find(needle) != std::string::npos) return line;
    }
    if (std::chrono::steady_clock::now() > deadline) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int LogMark::Count(const std::string& needle, int settleMs) const {
  std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
  std::istringstream lines(CompleteLines(Text()));
  std::string line;
  int n = 0;
  while (std::getline(lines, line)) {
    if (line.find(needle) != std::string::npos) ++n;
  }
  return n;
}

void MakeDir(const std::string& path, mode_t mode, uid_t uid, gid_t gid) {
  ASSERT_EQ(0, Shell("mkdir -p '" + path + "'")) << path;
  ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
  ASSERT_EQ(0, chown(path.c_str(), uid, gid)) << path;
}

void WriteFile(const std::string& path, const std::string& content, mode_t mode, uid_t uid,
               gid_t gid) {
  std::string dir = path.substr(0, path.rfind('/'));
  if (!dir.empty()) {
    ASSERT_EQ(0, Shell("mkdir -p '" + dir + "'")) << dir;
  }
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(out.good()) << path;
    out << content;
  }
  ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
  ASSERT_EQ(0, chown(path.c_str(), uid, gid)) << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void RemoveAll(const std::string& path) { Shell("rm -rf '" + path + "'"); }

int Shell(const std::string& command) {
  int rc = system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

ScopedEffectiveUser::ScopedEffectiveUser(uid_t uid, gid_t gid) {
  EXPECT_EQ(0, setresgid(-1, gid, -1));
  EXPECT_EQ(0, setresuid(-1, uid, -1));
}

ScopedEffectiveUser::~ScopedEffectiveUser() {
  EXPECT_EQ(0, setresuid(-1, 0, -1));
  EXPECT_EQ(0, setresgid(-1, 0, -1));
}

}  // namespace testsupport
