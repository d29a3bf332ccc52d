// Predicting conflicts on a large generated repository, against the
// merge-tree runs the prediction cannot avoid:
//   merge       TAVRIK_BENCH_BRANCH (default feature/0000) into HEAD, against
//               bare `git merge-tree --write-tree` of the same two commits;
//   replay20    a cherry-pick of 20 older commits onto HEAD, against the 20
//               merge-tree runs the engine launched for it (same arguments).
// The repository comes from TAVRIK_BENCH_REPO; without it the benchmarks are
// skipped. Nothing in it changes but unreferenced objects.
#include "BenchSupport.h"

#include "tavrik/Commands/ConflictPrediction.h"

#include <benchmark/benchmark.h>

#include "tavrik/Util/Log.h"
#include "tavrik/Util/StringUtilities.h"

#include <cstdlib>
#include <mutex>

using namespace tavrik;
using namespace tavrik::bench;

namespace {

std::string mergedBranch() {
  const char* branch = std::getenv("TAVRIK_BENCH_BRANCH");
  return branch && *branch ? branch : "feature/0000";
}

void BM_PredictMerge(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  auto queue = benchQueue();
  const GitConflictPredictionOptions options{.operation = GitPredictedOperation::merge, .revisions = {mergedBranch()}};
  for (auto _ : state)
    benchmark::DoNotOptimize(makeOperation<GitConflictPredictionOperation>(options)->enqueue(queue).wait().value);
}

void BM_GitMergeTree(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  for (auto _ : state) benchmark::DoNotOptimize(spawnGit({"merge-tree", "--write-tree", "HEAD", mergedBranch()}));
}

GitConflictPredictionOptions replay20() {
  std::vector<std::string> commits;
  const auto listed = spawnGit({"rev-list", "--reverse", "--no-merges", "-n20", "HEAD~50"});
  for (auto line : splitPieces(listed, '\n'))
    if (!line.empty()) commits.emplace_back(line);
  return {.operation = GitPredictedOperation::cherryPick, .revisions = commits};
}

void BM_PredictReplay20(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  auto queue = benchQueue();
  const auto options = replay20();
  for (auto _ : state)
    benchmark::DoNotOptimize(makeOperation<GitConflictPredictionOperation>(options)->enqueue(queue).wait().value);
}

// The merge-tree argument lists one prediction of `replay20` launches.
std::vector<std::vector<std::string>> replayMerges() {
  std::mutex mutex; // guards launches
  std::vector<std::vector<std::string>> launches;
  setDebugLoggingEnabled(true);
  setLogSink([&](LogLevel, std::string_view, std::string_view message) {
    constexpr std::string_view prefix = "git --no-pager ";
    if (!message.starts_with(std::string(prefix) + "merge-tree ")) return;
    std::vector<std::string> args;
    for (auto word : splitPieces(message.substr(prefix.size()), ' ')) args.emplace_back(word);
    std::lock_guard lock(mutex);
    launches.push_back(std::move(args));
  });
  makeOperation<GitConflictPredictionOperation>(replay20())->enqueue(benchQueue()).wait();
  setLogSink({});
  setDebugLoggingEnabled(false);
  return launches;
}

void BM_GitMergeTree20(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  const auto merges = replayMerges();
  for (auto _ : state)
    for (const auto& args : merges) benchmark::DoNotOptimize(spawnGit(args));
  state.counters["merges"] = static_cast<double>(merges.size());
}

} // namespace

BENCHMARK(BM_PredictMerge)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_GitMergeTree)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_PredictReplay20)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_GitMergeTree20)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

BENCHMARK_MAIN();
