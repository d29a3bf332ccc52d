// Blame and file history against git alone:
//   - the whole blame of a busy file against "git blame --incremental";
//   - the time to the first range the engine delivers against the time to
//     git's first output line;
//   - a file history's first page (50 rows) against
//     "git log --follow -n 50": without a commit-graph, with one, and with one
//     that has changed-path Bloom filters;
//   - the heap a whole blame holds at its peak against the size of git's
//     own output for it.
// Each comparison alternates the engine and git pair by pair and reports the
// median ratio (engine / git). The repository comes from TAVRIK_BENCH_REPO
// (a clone of git's own repository suits); TAVRIK_BENCH_FILE names the file
// (default builtin/blame.c). The Bloom-filter runs use a shared clone with a
// commit-graph written with --changed-paths.
#include "BenchSupport.h"
#include "HeapCounter.h"

#include "tavrik/History/GitBlameOperation.h"
#include "tavrik/History/GitFileHistoryOperation.h"

#include <filesystem>

namespace {

using namespace tavrik;
using namespace tavrik::bench;

std::string benchFile() {
  const char* file = std::getenv("TAVRIK_BENCH_FILE");
  return file && *file ? file : "builtin/blame.c";
}

GitBlameOptions headOptions() {
  GitBlameOptions options;
  options.revision = "HEAD";
  return options;
}

std::shared_ptr<GitQueue> queueFor(const std::string& path) {
  Shell::setDefaultShell(nullptr);
  return GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(path, true), false), nullptr,
                          Url::fileURL(TAVRIK_TEST_PREFIX, true));
}

enum class Graph { none, plain, bloom };

// A shared clone without a commit-graph, with a plain one, or with one that
// has changed-path Bloom filters, made once each.
const std::string& cloneWith(Graph graph) {
  static std::string paths[3];
  std::string& path = paths[static_cast<int>(graph)];
  if (path.empty()) {
    const char* names[] = {"tavrik-bench-blame-none", "tavrik-bench-blame-graph", "tavrik-bench-blame-bloom"};
    path = (std::filesystem::temp_directory_path() / names[static_cast<int>(graph)]).string();
    std::filesystem::remove_all(path);
    spawnGit({"clone", "-q", "--shared", "--no-checkout", benchRepo(), path});
    std::filesystem::remove(path + "/.git/objects/info/commit-graph");
    std::filesystem::remove_all(path + "/.git/objects/info/commit-graphs");
    if (graph == Graph::plain) spawnGitIn(path.c_str(), {"commit-graph", "write", "--reachable"});
    if (graph == Graph::bloom) spawnGitIn(path.c_str(), {"commit-graph", "write", "--reachable", "--changed-paths"});
  }
  return path;
}

// Milliseconds until git's first output byte, then reads the rest.
double gitFirstOutputMs(const char* directory, const std::vector<std::string>& args) {
  std::vector<std::string> argv{std::string(TAVRIK_TEST_PREFIX) + "/bin/git", "--no-pager"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string command;
  for (const auto& a : argv) command += "'" + a + "' ";
  const auto start = std::chrono::steady_clock::now();
  FILE* pipe = popen(("cd '" + std::string(directory) + "' && " + command + "2>/dev/null").c_str(), "r");
  std::fgetc(pipe);
  const std::chrono::duration<double, std::milli> first = std::chrono::steady_clock::now() - start;
  char chunk[65536];
  while (std::fread(chunk, 1, sizeof chunk, pipe) > 0) {
  }
  pclose(pipe);
  return first.count();
}

void BM_WholeBlame(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO is not set");
  auto queue = queueFor(benchRepo());
  const std::string file = benchFile();
  size_t ranges = 0;
  runPairs(
      state,
      [&] {
        auto blame = makeOperation<GitBlameOperation>(file, headOptions())->enqueue(queue).wait();
        ranges = blame.value.ranges.size();
      },
      [&] { benchmark::DoNotOptimize(spawnGit({"blame", "--incremental", "HEAD", "--", file})); }, [] {});
  state.counters["ranges"] = static_cast<double>(ranges);
}
BENCHMARK(BM_WholeBlame)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

// The heap the engine holds at its peak over one whole blame (the records,
// the parser's buffer, the delegate's copies), per byte git prints for it.
void BM_BlameMemory(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO is not set");
  auto queue = queueFor(benchRepo());
  const std::string file = benchFile();
  const double gitBytes =
      static_cast<double>(spawnGit({"blame", "--incremental", "HEAD", "--", file}).size());
  double peak = 0;
  for (auto _ : state) {
    CountingScope counting;
    auto blame = makeOperation<GitBlameOperation>(file, headOptions())->enqueue(queue).wait();
    peak = static_cast<double>(gPeakBytes.load());
    benchmark::DoNotOptimize(blame);
  }
  state.counters["gitOutputBytes"] = gitBytes;
  state.counters["peakHeapBytes"] = peak;
  state.counters["peakPerOutputByte"] = peak / gitBytes;
}
BENCHMARK(BM_BlameMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FirstRange(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO is not set");
  auto queue = queueFor(benchRepo());
  const std::string file = benchFile();
  std::vector<double> engineMs, gitMs, ratios;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::atomic<double> first = 0;
    auto blame = makeOperation<GitBlameOperation>(file, headOptions());
    blame->onRanges = [&](const std::vector<GitBlameRange>&) {
      if (first == 0)
        first = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    blame->enqueue(queue).wait();
    const double git = gitFirstOutputMs(benchRepo(), {"blame", "--incremental", "HEAD", "--", file});
    engineMs.push_back(first);
    gitMs.push_back(git);
    ratios.push_back(first / git);
    state.SetIterationTime((first + git) / 1000);
  }
  state.counters["engineMs"] = median(engineMs);
  state.counters["gitMs"] = median(gitMs);
  state.counters["ratio"] = median(ratios);
}
BENCHMARK(BM_FirstRange)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

void BM_FileHistoryFirstPage(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO is not set");
  const std::string& path = cloneWith(static_cast<Graph>(state.range(0)));
  auto queue = queueFor(path);
  const std::string file = benchFile();
  size_t rows = 0;
  runPairs(
      state,
      [&] {
        rows = makeOperation<GitFileHistoryOperation>(file)->enqueue(queue).wait().value.size();
      },
      [&] {
        benchmark::DoNotOptimize(spawnGitIn(path.c_str(), {"log", "--follow", "-n", "50", "--name-status", "--", file}));
      },
      [] {});
  state.counters["rows"] = static_cast<double>(rows);
}
// 0: no commit-graph, 1: a commit-graph, 2: one with Bloom filters.
BENCHMARK(BM_FileHistoryFirstPage)->ArgName("graph")->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
