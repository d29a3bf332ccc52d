// The runner's own cost per git command, against a bare posix_spawn of the
// same command and against BufferedProcess alone. Run side by side:
//   ./build/bench/bench_RunnerBench
#include "tavrik/Process/BufferedProcess.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Queue/GitQueue.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using namespace tavrik;

const std::string kPrefix = TAVRIK_TEST_PREFIX;
const std::string kGit = kPrefix + "/bin/git";

// A one-commit repository, made once.
const std::filesystem::path& benchRepository() {
  static const std::filesystem::path path = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tavrik-bench-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    std::string git = "GIT_CONFIG_GLOBAL=/dev/null GIT_CONFIG_NOSYSTEM=1 " + kGit + " -C '" + tmpl + "' ";
    std::string script = git + "init -q -b main && echo a > '" + tmpl + "/a' && " + git + "add a && " + git +
                         "-c user.name=B -c user.email=b@example.com commit -q -m first";
    if (std::system(script.c_str()) != 0) throw std::runtime_error("could not make the bench repository");
    return std::filesystem::path(tmpl);
  }();
  return path;
}

std::vector<std::string> commandFor(int which) {
  if (which == 0) return {"--version"};
  return {"rev-parse", "HEAD"};
}

std::string bareSpawn(const std::vector<std::string>& arguments, const std::string& cwd) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<std::string> argv{kGit, "--no-pager"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, kGit.c_str(), &actions, nullptr, args.data(), environ) != 0) throw std::runtime_error("spawn");
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status;
  waitpid(pid, &status, 0);
  return result;
}

class BenchOperation : public GitExecOperation<size_t> {
public:
  explicit BenchOperation(std::vector<std::string> args) : args_(std::move(args)) {}
  std::vector<std::string> arguments(GitOperationContext&) override { return args_; }
  size_t execute(GitOperationContext& context) override {
    runCommand(context);
    return stdOutBuffer->data().size();
  }

private:
  std::vector<std::string> args_;
};

std::shared_ptr<GitQueue> benchQueue() {
  static const auto queue = [] {
    Shell::defaultShell(); // the once-per-process probe is not a per-command cost
    auto url = Url::fileURL(benchRepository().string(), true);
    return GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(url, false), nullptr,
                            Url::fileURL(kPrefix, true));
  }();
  return queue;
}

void BM_BareSpawn(benchmark::State& state) {
  auto arguments = commandFor(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(bareSpawn(arguments, benchRepository().string()));
}

void BM_BufferedProcess(benchmark::State& state) {
  BufferedProcess process(Url::fileURL(kGit));
  process.arguments = {"--no-pager"};
  auto rest = commandFor(static_cast<int>(state.range(0)));
  process.arguments.insert(process.arguments.end(), rest.begin(), rest.end());
  process.currentDirectoryURL = Url::fileURL(benchRepository().string(), true);
  for (auto _ : state) {
    auto task = process.launch();
    benchmark::DoNotOptimize(task->wait());
  }
}

// The runner inline on this thread: environment, launch, wait, status check.
void BM_RunnerInline(benchmark::State& state) {
  auto queue = benchQueue();
  auto op = makeOperation<BenchOperation>(commandFor(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    GitOperationContext context(queue);
    benchmark::DoNotOptimize(op->execute(context));
  }
}

// The whole road through the queue: enqueue, worker, run flow, future.
void BM_RunnerQueued(benchmark::State& state) {
  auto queue = benchQueue();
  auto arguments = commandFor(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto op = makeOperation<BenchOperation>(arguments);
    benchmark::DoNotOptimize(op->enqueue(queue).wait().value);
  }
}

// The environment alone, which the runner builds for every command.
void BM_EnvironmentBuild(benchmark::State& state) {
  auto queue = benchQueue();
  auto op = makeOperation<BenchOperation>(commandFor(0));
  for (auto _ : state) {
    GitOperationContext context(queue);
    benchmark::DoNotOptimize(op->environment(context));
  }
}

} // namespace

// Argument 0: "git --version"; 1: "git rev-parse HEAD" in a small repository.
BENCHMARK(BM_BareSpawn)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BufferedProcess)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RunnerInline)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RunnerQueued)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_EnvironmentBuild)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
