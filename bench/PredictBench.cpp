// Predicting the conflicts of a merge on a large generated repository,
// against bare `git merge-tree --write-tree` of the same two commits, which
// is the whole of the work the prediction cannot avoid. The merged branch is
// TAVRIK_BENCH_BRANCH (default feature/0000) into HEAD. The repository comes
// from TAVRIK_BENCH_REPO; without it the benchmarks are skipped. Nothing in
// it changes but unreferenced objects.
#include "BenchSupport.h"

#include "tavrik/Commands/ConflictPrediction.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

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

} // namespace

BENCHMARK(BM_PredictMerge)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_GitMergeTree)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

BENCHMARK_MAIN();
