// Blame and file history against git alone:
//   - the whole blame of a busy file against "git blame --incremental";
//   - the time to the first range the engine delivers against the time to
//     git's first output line;
//   - a file history's first page (50 rows) against
//     "git log --follow -n 50", without and with changed-path Bloom filters.
// Each comparison alternates the engine and git pair by pair and reports the
// median ratio (engine / git). The repository comes from TAVRIK_BENCH_REPO
// (a clone of git's own repository suits); TAVRIK_BENCH_FILE names the file
// (default builtin/blame.c). The Bloom-filter runs use a shared clone with a
// commit-graph written with --changed-paths.
#include "BenchSupport.h"

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

// A shared clone whose commit-graph has changed-path Bloom filters (or, for
// `bloom` false, none at all), made once each.
const std::string& cloneWith(bool bloom) {
  static std::string paths[2];
  std::string& path = paths[bloom];
  if (path.empty()) {
    path = (std::filesystem::temp_directory_path() / (bloom ? "tavrik-bench-blame-bloom" : "tavrik-bench-blame-plain"))
               .string();
    std::filesystem::remove_all(path);
    spawnGit({"clone", "-q", "--shared", "--no-checkout", benchRepo(), path});
    std::filesystem::remove(path + "/.git/objects/info/commit-graph");
    if (bloom) spawnGitIn(path.c_str(), {"commit-graph", "write", "--reachable", "--changed-paths"});
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
  const std::string& path = cloneWith(state.range(0) != 0);
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
BENCHMARK(BM_FileHistoryFirstPage)->ArgName("bloom")->Arg(0)->Arg(1)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
