// The docker stand-in as the package and its start step use it: containers recorded with
// `create`, commands run with `exec`, and what a command inside may and may not reach.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include "docker_fixture.h"

namespace harbor {
namespace docker {
namespace testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class DockerTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateConverterContainer("vireo1"); }
  void TearDown() override { Docker({"rm", "-f", "vireo1", "vireo2"}); }

  // Names of the recorded containers, as `ps` lists them (newest first). The package's start
  // step may have added its own pool before the test began.
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    std::istringstream lines(Docker({"ps", "-a", "--format", "{{.Names}}"}).out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("vireolens-", 0) != 0) names.push_back(line);
    }
    return names;
  }

  // Runs `sh -c script` in `container`.
  RunResult Sh(const std::string& script, const std::string& container = "vireo1") {
    return Docker({"exec", container, "sh", "-c", script});
  }
};

TEST_F(DockerTest, ExitStatusIsTheCommands) {
  const struct {
    std::vector<std::string> command;
    int status;
  } cases[] = {
      {{"true"}, 0},
      {{"sh", "-c", "exit 3"}, 3},
      {{"timeout", "1", "sleep", "5"}, 124},
      {{"sh", "-c", "kill -KILL $$"}, 137},
      {{"no-such-tool"}, 127},      // docker's "not found"
      {{"/etc/passwd"}, 126},       // exists, not executable
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"exec", "vireo1"};
    args.insert(args.end(), c.command.begin(), c.command.end());
    RunResult r = Docker(args);
    EXPECT_EQ(c.status, r.status) << c.command.back() << ": " << r.err;
  }
}

TEST_F(DockerTest, StandardStreamsReachTheCommand) {
  RunResult r = Docker({"exec", "-i", "vireo1", "sh", "-c", "tr a-z A-Z; echo oops >&2"},
                       "hello\n");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("HELLO\n", r.out);
  EXPECT_EQ("oops\n", r.err);
}

TEST_F(DockerTest, CallersDescriptorsStayOutside) {
  int fd = open("/volume1/docker/@tmp/secret", O_RDWR | O_CREAT, 0600);  // inheritable
  ASSERT_GE(fd, 3);
  RunResult r = Sh("ls /proc/$$/fd");
  close(fd);
  EXPECT_EQ("0\n1\n2\n", r.out);
}

TEST_F(DockerTest, UnknownContainerFails) {
  for (const std::string name : {"nosuch", "../vireo1", "vireo1/../vireo1", ""}) {
    RunResult r = Docker({"exec", name, "true"});
    EXPECT_EQ(125, r.status) << name;
    EXPECT_THAT(r.err, HasSubstr("Error: No such container: " + name)) << name;
  }
  EXPECT_EQ(1, Docker({"inspect", "nosuch"}).status);
  EXPECT_EQ(1, Docker({"rm", "nosuch"}).status);
  EXPECT_EQ(0, Docker({"rm", "-f", "nosuch"}).status);
}

TEST_F(DockerTest, EnvironmentIsTheImagesAndTheContainersOnly) {
  setenv("CALLER_SECRET", "leaked", 1);
  ASSERT_EQ(0, Docker({"create", "--name", "vireo2", "-e", "POOL=two", "-e", "LANG=de_DE.UTF-8",
                       kImage}).status);
  RunResult r = Docker({"exec", "-e", "JOB=7", "-e", "POOL=override", "vireo2", "env"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_THAT(r.out, HasSubstr("HOME=/root\n"));
  EXPECT_THAT(r.out, HasSubstr("PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"));
  EXPECT_THAT(r.out, HasSubstr("QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox\n"));
  EXPECT_THAT(r.out, HasSubstr("LANG=de_DE.UTF-8\n"));  // the container's beats the image's
  EXPECT_THAT(r.out, HasSubstr("POOL=override\n"));     // the exec's beats the container's
  EXPECT_THAT(r.out, HasSubstr("JOB=7\n"));
  EXPECT_THAT(r.out, Not(HasSubstr("CALLER_SECRET")));
  EXPECT_THAT(r.out, Not(HasSubstr("APPLIANCE_")));
  unsetenv("CALLER_SECRET");

  // The converters are the image's Debian ones, not the host's unrelated programs.
  r = Sh("for c in convert python3 unoconv soffice docker; do command -v $c; done; true");
  EXPECT_EQ("/usr/bin/convert\n/usr/bin/python3\n/usr/bin/unoconv\n/usr/local/bin/soffice\n",
            r.out);
}

TEST_F(DockerTest, CommandWritesOnlyItsTargetFolder) {
  WriteFile(std::string(kHostSource) + "in.txt", "original");
  RunResult r = Sh(std::string("echo made > ") + kTarget + "out.txt");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("made\n", ReadFile(std::string(kHostTarget) + "out.txt"));

  const std::vector<std::string> outside = {
      std::string(kSource) + "in.txt", std::string(kSource) + "new.txt", "/Paperlens/x",
      "/Paperlens/@tmp/x", "/x", "/usr/x", "/usr/local/x", "/etc/x", "/var/log/x", "/opt/x"};
  for (const auto& path : outside) {
    r = Sh("echo changed > " + path);
    EXPECT_NE(0, r.status) << path;
  }
  EXPECT_NE(0, Sh(std::string("rm ") + kSource + "in.txt").status);
  // Root inside keeps no power over its mounts (bubblewrap run by root would leave it all).
  EXPECT_NE(0, Sh("mount -o remount,rw / || mount -o remount,rw /Paperlens").status);
  EXPECT_NE(0, Sh("mknod /Paperlens/@tmp/target/disk b 8 0").status);
  EXPECT_EQ("original", ReadFile(std::string(kHostSource) + "in.txt"));
  EXPECT_FALSE(Exists(std::string(kHostSource) + "new.txt"));
  EXPECT_FALSE(Exists(std::string(kHostStaging) + "/x"));
}

// The package stages files as the user it acts for, with mkstemp's 0600: root in the container
// must read and fill them as root in a real container does.
TEST_F(DockerTest, RootInsideHandlesFilesOfAnyOwner) {
  const std::string in = std::string(kHostSource) + "private.txt";
  const std::string out = std::string(kHostTarget) + "reserved.txt";
  WriteFile(in, "secret words");
  WriteFile(out, "");
  for (const auto& f : {in, out}) {
    ASSERT_EQ(0, chown(f.c_str(), 1026, 100));
    ASSERT_EQ(0, chmod(f.c_str(), 0600));
  }
  RunResult r = Sh(std::string("cat ") + kSource + "private.txt > " + kTarget + "reserved.txt");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("secret words", ReadFile(out));
}

TEST_F(DockerTest, CommandCannotReachTheNetwork) {
  // A listener on the appliance's loopback, which the test itself can reach.
  int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(server, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(server, 4));
  socklen_t len = sizeof(addr);
  ASSERT_EQ(0, getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len));
  const std::string port = std::to_string(ntohs(addr.sin_port));
  const std::string probe = "exec 3<>/dev/tcp/127.0.0.1/" + port;

  EXPECT_EQ(0, RunCommand({"bash", "-c", probe}).status) << "the probe itself must work";
  RunResult r = Docker({"exec", "vireo1", "bash", "-c", probe});
  EXPECT_NE(0, r.status);
  r = Docker({"exec", "vireo1", "cat", "/proc/net/dev"});
  EXPECT_THAT(r.out, HasSubstr("lo:"));
  EXPECT_EQ(3, std::count(r.out.begin(), r.out.end(), '\n')) << "only loopback:\n" << r.out;

  // Drain the accepted probe; nothing else may have connected.
  pollfd p{server, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 0));
  close(accept(server, nullptr, nullptr));
  EXPECT_EQ(0, poll(&p, 1, 0));
  close(server);
}

TEST_F(DockerTest, TmpAndHomeArePrivateAndKept) {
  ASSERT_EQ(0, Docker({"create", "--name", "vireo2", kImage}).status);
  ASSERT_EQ(0, Sh("echo one > /tmp/mark && echo one > /root/mark").status);
  EXPECT_EQ("one\none\n", Sh("cat /tmp/mark /root/mark").out);  // a later exec sees them
  RunResult other = Sh("ls -A /tmp /root; cat /tmp/mark", "vireo2");
  EXPECT_NE(0, other.status);
  EXPECT_EQ("/root:\n\n/tmp:\n", other.out);
  // Nor may it look for them where the stand-in keeps them.
  EXPECT_EQ("", Sh("ls -A /usr/vireo /var/packages", "vireo2").err);
  EXPECT_EQ("/usr/vireo:\n\n/var/packages:\n", Sh("ls -A /usr/vireo /var/packages", "vireo2").out);
}

TEST_F(DockerTest, NothingOutlivesTheExec) {
  // A daemon left behind by the command (as an office listener can be) ends with the exec.
  // "started" only once the background child runs sleep: before its exec it is still a shell,
  // and a check that came then would find nothing and prove nothing.
  RunResult r = Sh("sleep 4242 >/dev/null 2>&1 & "
                   "until grep -q 4242 /proc/$!/cmdline 2>/dev/null; do :; done; echo started");
  EXPECT_EQ("started\n", r.out);
  // The kernel ends the container's processes with its last exec, but not in the same instant.
  for (int i = 0; i < 200 && !ProcessesRunning("sleep 4242").empty(); ++i) usleep(10000);
  EXPECT_TRUE(ProcessesRunning("sleep 4242").empty());

  // And the whole container command ends with a caller that is killed.
  pid_t pid = SpawnDocker({"exec", "vireo1", "sleep", "4343"});
  for (int i = 0; i < 200 && ProcessesRunning("sleep 4343").empty(); ++i) usleep(10000);
  ASSERT_EQ(1u, ProcessesRunning("sleep 4343").size());
  kill(pid, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, WaitFor(pid, 5000));
  for (int i = 0; i < 200 && !ProcessesRunning("sleep 4343").empty(); ++i) usleep(10000);
  EXPECT_TRUE(ProcessesRunning("sleep 4343").empty());
}

TEST_F(DockerTest, AnExecEndsWithItsCaller) {
  // The caller stands for a conversion process killed while its job runs.
  pid_t caller = fork();
  if (caller == 0) {
    pid_t exec = SpawnDocker({"exec", "vireo1", "sleep", "4545"});
    _exit(WaitFor(exec, 60000) == 0 ? 0 : 1);
  }
  for (int i = 0; i < 200 && ProcessesRunning("sleep 4545").empty(); ++i) usleep(10000);
  ASSERT_EQ(1u, ProcessesRunning("sleep 4545").size());
  kill(caller, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, WaitFor(caller, 5000));
  for (int i = 0; i < 200 && !ProcessesRunning("sleep 4545").empty(); ++i) usleep(10000);
  EXPECT_TRUE(ProcessesRunning("sleep 4545").empty());
}

TEST_F(DockerTest, CreateRecordsAContainer) {
  RunResult r = Docker({"create", "--name", "vireo2", "-e", "A=1", "-v", "/volume2/x:/data:ro",
                        std::string(kImage) + ":latest"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_THAT(r.out, ::testing::MatchesRegex("[0-9a-f]{64}\n"));
  EXPECT_TRUE(Exists("/volume2/x")) << "a missing volume folder is made, as docker does";

  EXPECT_THAT(Names(), ElementsAre("vireo2", "vireo1"));  // newest first
  r = Docker({"inspect", "vireo2"});
  ASSERT_EQ(0, r.status);
  Json::Value v;
  ASSERT_TRUE(Json::Reader().parse(r.out, v)) << r.out;
  EXPECT_EQ("/vireo2", v[0]["Name"].asString());
  EXPECT_EQ("/data", v[0]["Mounts"][0]["Destination"].asString());
  EXPECT_FALSE(v[0]["Mounts"][0]["RW"].asBool());
  EXPECT_EQ(0, Docker({"start", "vireo2"}).status);

  r = Docker({"create", "--name", "vireo2", kImage});
  EXPECT_EQ(125, r.status);
  EXPECT_THAT(r.err, HasSubstr("is already in use"));
  const std::vector<std::vector<std::string>> refused = {
      {"create", "--name", "../evil", kImage},
      {"create", "--name", "vireo3", "no-such-image"},
      {"create", "--name", "vireo3", "-v", "relative:/data", kImage},
      {"create", "--name", "vireo3", "-v", "/volume2/x:/", kImage},
      {"create", "--name", "vireo3", "-v", "/a:/d", "-v", "/b:/d", kImage},
      {"create", "--name", "vireo3", "--privileged", kImage},
  };
  for (const auto& args : refused) {
    EXPECT_EQ(125, Docker(args).status) << args[2] << " " << args[3];
  }
  EXPECT_THAT(Names(), ElementsAre("vireo2", "vireo1"));
}

TEST_F(DockerTest, OneOfConcurrentCreationsWins) {
  std::vector<pid_t> pids;
  for (int i = 0; i < 6; ++i) pids.push_back(SpawnDocker({"create", "--name", "vireo2", kImage}));
  int won = 0;
  for (pid_t pid : pids) won += WaitFor(pid, 10000) == 0;
  EXPECT_EQ(1, won);
  EXPECT_EQ(0, Docker({"exec", "vireo2", "true"}).status);
}

TEST_F(DockerTest, RemoveDropsTheContainerAndItsState) {
  ASSERT_EQ(0, Sh("echo kept > /tmp/mark").status);
  ASSERT_EQ(0, Docker({"rm", "vireo1"}).status);
  EXPECT_EQ(125, Docker({"exec", "vireo1", "true"}).status);
  EXPECT_THAT(Names(), ::testing::IsEmpty());

  CreateConverterContainer("vireo1");
  EXPECT_EQ("", Sh("ls -A /tmp").out) << "a new container starts clean";
}

TEST_F(DockerTest, ForcedRemovalEndsRunningExecs) {
  pid_t pid = SpawnDocker({"exec", "vireo1", "sleep", "4444"});
  for (int i = 0; i < 200 && ProcessesRunning("sleep 4444").empty(); ++i) usleep(10000);
  ASSERT_EQ(1u, ProcessesRunning("sleep 4444").size());

  RunResult r = Docker({"rm", "vireo1"});
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.err, HasSubstr("container is running"));
  EXPECT_EQ(-1, WaitFor(pid, 0)) << "a refused removal leaves the exec alone";

  EXPECT_EQ(0, Docker({"rm", "-f", "vireo1"}).status);
  EXPECT_EQ(128 + SIGKILL, WaitFor(pid, 5000));
  for (int i = 0; i < 200 && !ProcessesRunning("sleep 4444").empty(); ++i) usleep(10000);
  EXPECT_TRUE(ProcessesRunning("sleep 4444").empty());
  EXPECT_EQ(125, Docker({"exec", "vireo1", "true"}).status);
}

}  // namespace
}  // namespace testing
}  // namespace docker
}  // namespace harbor
