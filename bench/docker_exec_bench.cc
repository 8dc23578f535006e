// Cost of one `docker exec` of the stand-in: entering a container's sandbox, running a command
// that does nothing, and leaving. A plain fork and exec of the same command is the baseline, so
// the difference is what every conversion pays for its container. Needs the appliance (the
// stand-in at /usr/local/bin/docker and its store under /usr/vireo):
//
//   harbor/appliance/appliance run --build build -- $PWD/build/bench/docker_exec_bench
//
// The container is made as the package's start step makes the pool's, with both staging
// volumes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char kContainer[] = "vireobench";

int Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_ForkExecTrue(benchmark::State& state) {
  for (auto _ : state) {
    if (Run({"/bin/true"}) != 0) state.SkipWithError("true failed");
  }
}
BENCHMARK(BM_ForkExecTrue)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

void BM_DockerExecTrue(benchmark::State& state) {
  const std::string staging = "/volume1/docker/@tmp/Paperlens/@tmp/";
  Run({"/usr/local/bin/docker", "rm", "-f", kContainer});
  if (Run({"/usr/local/bin/docker", "create", "--name", kContainer, "-v",
           staging + "source:/Paperlens/@tmp/source:ro", "-v",
           staging + "target:/Paperlens/@tmp/target", "paperlens/converter"}) != 0) {
    state.SkipWithError("cannot create the container");
    return;
  }
  for (auto _ : state) {
    if (Run({"/usr/local/bin/docker", "exec", kContainer, "true"}) != 0) {
      state.SkipWithError("exec failed");
      break;
    }
  }
  Run({"/usr/local/bin/docker", "rm", "-f", kContainer});
}
// Real time: nearly all of it is spent in the kernel setting up namespaces, not in this process.
BENCHMARK(BM_DockerExecTrue)->Unit(benchmark::kMillisecond)->MinTime(5.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
