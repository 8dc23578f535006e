// The converter image exists twice: as the folder the docker stand-in binds over the host's
// system, and as a Dockerfile for a real engine. These checks keep the two (and `make setup`,
// which installs the stand-in's host) from drifting apart.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Lines without comments, blanks and shell line continuations.
std::vector<std::string> Logical(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line, pending;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (!line.empty() && line.back() == '\\') {
      pending += line.substr(0, line.size() - 1) + " ";
      continue;
    }
    out.push_back(pending + line);
    pending.clear();
  }
  return out;
}

std::set<std::string> Words(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string w; in >> w;) out.insert(w);
  return out;
}

class ConverterImageTest : public ::testing::Test {
 protected:
  const std::string _dir = IMAGE_DIR;
  const std::string _dockerfile = Read(_dir + "/Dockerfile");
};

TEST_F(ConverterImageTest, DockerfileSetsTheImageEnvironment) {
  std::set<std::string> env, dockerEnv;
  for (const auto& line : Logical(Read(_dir + "/environment"))) env.insert(line);
  for (const auto& line : Logical(_dockerfile)) {
    if (line.rfind("ENV ", 0) == 0) dockerEnv.insert(line.substr(4));
  }
  EXPECT_FALSE(env.empty());
  EXPECT_EQ(env, dockerEnv);
  EXPECT_EQ(1u, env.count("QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox"));
}

TEST_F(ConverterImageTest, DockerfileCopiesTheFilesAndDiversions) {
  EXPECT_NE(std::string::npos, _dockerfile.find("\nCOPY rootfs/ /\n"));
  const std::vector<std::string> diversions = Logical(Read(_dir + "/diversions"));
  ASSERT_FALSE(diversions.empty());
  for (const auto& d : diversions) {
    std::istringstream words(d);
    std::string from, to;
    words >> from >> to;
    const std::string divert = "dpkg-divert --local --rename --divert " + to + " --add " + from;
    EXPECT_NE(std::string::npos, _dockerfile.find(divert)) << divert;
    // The front replaces the diverted file, so the image must have one.
    EXPECT_TRUE(std::filesystem::exists(_dir + "/rootfs" + from)) << from;
  }
  for (const char* program : {"/usr/bin/unoconv", "/usr/local/bin/soffice",
                              "/usr/local/lib/paperlens/officed"}) {
    struct stat st;
    ASSERT_EQ(0, stat((_dir + "/rootfs" + program).c_str(), &st)) << program;
    EXPECT_TRUE(st.st_mode & S_IXOTH) << program << " must be executable";
  }
}

// The stand-in's main process is the Dockerfile's CMD, and the image has the program.
TEST_F(ConverterImageTest, DockerfileRunsTheImagesCommand) {
  const std::vector<std::string> command = Logical(Read(_dir + "/command"));
  ASSERT_FALSE(command.empty());
  std::string json = "[";
  for (size_t i = 0; i < command.size(); ++i) json += (i ? ", \"" : "\"") + command[i] + "\"";
  json += "]";
  std::vector<std::string> cmds;
  for (const auto& line : Logical(_dockerfile)) {
    if (line.rfind("CMD ", 0) == 0) cmds.push_back(line.substr(4));
  }
  EXPECT_EQ(std::vector<std::string>{json}, cmds);
  EXPECT_TRUE(std::filesystem::exists(_dir + "/rootfs" + command[0])) << command[0];
}

TEST_F(ConverterImageTest, SetupInstallsTheImagesPackages) {
  std::smatch m;
  const std::string flat = std::regex_replace(_dockerfile, std::regex("\\\\\n"), " ");
  ASSERT_TRUE(std::regex_search(flat, m,
                                std::regex("apt-get install -y --no-install-recommends ([^&]+)")));
  const std::set<std::string> image = Words(m[1]);
  const std::set<std::string> setup = Words(
      std::regex_replace(Read(MAKEFILE), std::regex("\\\\\n"), " "));
  ASSERT_FALSE(image.empty());
  for (const auto& pkg : image) EXPECT_EQ(1u, setup.count(pkg)) << pkg << " missing from make setup";
}

}  // namespace
