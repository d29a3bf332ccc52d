// Commands as a client runs them on a large generated repository: the
// operation and every view refresh its aspects trigger, until the queue is
// idle, side by side with bare git running the same command and then the
// same reads (all at once, one thread each, which is the best git can do).
// The reads are the launch lines the engine logged for that command, so the
// two sides run exactly the same git processes.
//
// Each iteration prepares its change and undoes it with timing paused:
//   stage         a modified file            git add --all -- f
//   unstage       a staged file              git reset --quiet -- f
//   commit        a staged file (undone with reset --soft HEAD^)
//   branchCreate  a new branch (deleted afterwards)
// The repository comes from TAVRIK_BENCH_REPO; without it every benchmark is
// skipped. The repository is changed and restored.
#include "BenchSupport.h"

#include "tavrik/Commands/BranchCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Commands/WorktreeActions.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/StringUtilities.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

namespace {

using namespace tavrik;
using namespace tavrik::bench;

constexpr const char* kFile = "tavrik-bench-file.txt";
constexpr const char* kBranch = "tavrik-bench-branch";

enum Command { stage, unstage, commit, branchCreate };

void appendToFile() {
  std::ofstream(std::string(benchRepo()) + "/" + kFile, std::ios::app) << "line\n";
}

void prepare(Command command) {
  if (command == branchCreate) return;
  appendToFile();
  if (command != stage) spawnGit({"add", "--", kFile});
}

void undo(Command command) {
  if (command == commit) spawnGit({"reset", "--quiet", "--soft", "HEAD^"});
  if (command == branchCreate) spawnGit({"branch", "-D", kBranch});
  if (command == stage || command == commit) spawnGit({"reset", "--quiet", "--", kFile});
}

std::shared_ptr<GitQueueOperation> makeCommand(Command command) {
  switch (command) {
  case stage: return makeOperation<GitExecAddOperation>(std::set<std::string>{kFile});
  case unstage: return makeOperation<GitExecResetOperation>({.paths = std::set<std::string>{kFile}});
  case commit: return makeOperation<GitCommitAction>({.message = "bench"});
  case branchCreate: return GitExecBranchOperation::create(kBranch, std::nullopt, false);
  }
  return nullptr;
}

void runThroughEngine(const std::shared_ptr<GitQueue>& queue, Command command) {
  queue->addOperation(makeCommand(command));
  queue->waitUntilAllOperationsAreFinished();
}

// The git argument lists the engine launches for one run of the command.
std::vector<std::vector<std::string>> launchesOf(Command command) {
  auto queue = benchQueue();
  std::mutex mutex;
  std::vector<std::vector<std::string>> launches;
  setDebugLoggingEnabled(true);
  setLogSink([&](LogLevel, std::string_view, std::string_view message) {
    constexpr std::string_view prefix = "git --no-pager ";
    if (message.substr(0, prefix.size()) != prefix) return;
    std::vector<std::string> args;
    for (auto word : splitPieces(message.substr(prefix.size()), ' ')) args.emplace_back(word);
    std::lock_guard lock(mutex);
    launches.push_back(std::move(args));
  });
  prepare(command);
  runThroughEngine(queue, command);
  undo(command);
  setLogSink({});
  setDebugLoggingEnabled(false);
  return launches;
}

void BM_Engine(benchmark::State& state, Command command) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  auto queue = benchQueue();
  prepare(command); // a first run fills the view, as a client's open window has it
  runThroughEngine(queue, command);
  undo(command);
  for (auto _ : state) {
    state.PauseTiming();
    prepare(command);
    state.ResumeTiming();
    runThroughEngine(queue, command);
    state.PauseTiming();
    undo(command);
    state.ResumeTiming();
  }
}

void BM_Git(benchmark::State& state, Command command) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  auto launches = launchesOf(command);
  if (launches.empty()) return state.SkipWithError("the engine launched no git");
  // The commit action's child commits; everything after the command is a read.
  const std::vector<std::string> gitCommand = launches.front();
  const std::vector<std::vector<std::string>> reads(launches.begin() + 1, launches.end());
  for (auto _ : state) {
    state.PauseTiming();
    prepare(command);
    state.ResumeTiming();
    spawnGit(gitCommand);
    std::vector<std::thread> threads;
    for (const auto& read : reads) threads.emplace_back([&read] { benchmark::DoNotOptimize(spawnGit(read)); });
    for (auto& thread : threads) thread.join();
    state.PauseTiming();
    undo(command);
    state.ResumeTiming();
  }
  state.counters["reads"] = static_cast<double>(reads.size());
}

} // namespace

#define TAVRIK_COMMAND_BENCH(name)                                                                                     \
  BENCHMARK_CAPTURE(BM_Engine, name, name)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);                  \
  BENCHMARK_CAPTURE(BM_Git, name, name)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

TAVRIK_COMMAND_BENCH(stage)
TAVRIK_COMMAND_BENCH(unstage)
TAVRIK_COMMAND_BENCH(commit)
TAVRIK_COMMAND_BENCH(branchCreate)

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The file each iteration changed was never committed for good.
  if (benchRepo()) std::remove((std::string(benchRepo()) + "/" + kFile).c_str());
  return 0;
}
