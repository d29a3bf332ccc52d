// The history list against git printing the same history:
//   - the first page (50 rows with lanes) against
//     "git log --topo-order --date-order -n 50 --format=%H%x00%P" of the same
//     starting points, with and without a commit-graph file;
//   - every page, 500 rows at a time, against git printing the fields of the
//     rows in one run, with the memory the held rows take (the growth of the
//     process's resident memory, the largest of the runs);
//   - a search of the changed lines against "git log -i -G<text>".
// Each comparison alternates the engine and git pair by pair and reports the
// median ratio (engine / git).
// The repository comes from TAVRIK_BENCH_REPO (made with the make-bench-repo
// tool, which writes no commit-graph); the commit-graph runs use a shared
// clone of it in a temporary directory with one written. TAVRIK_BENCH_NEEDLE
// sets the search text (default "BENCH-NEEDLE", which the tool plants).
#include "BenchSupport.h"

#include "tavrik/History/GitLogWalkerOperation.h"
#include "tavrik/Interfaces/Repo.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

using namespace tavrik;
using namespace tavrik::bench;

const std::string kFields = "--format=%H%x00%T%x00%P%x00%an%x00%ae%x00%ad%x00%cn%x00%ce%x00%cd%x00%B";

// A shared clone of the bench repository with a commit-graph file, made once.
const std::string& graphClone() {
  static const std::string path = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "tavrik-bench-history-graph").string();
    std::filesystem::remove_all(dir);
    spawnGit({"clone", "-q", "--shared", "--no-checkout", benchRepo(), dir});
    spawnGitIn(dir.c_str(), {"commit-graph", "write", "--reachable"});
    return dir;
  }();
  return path;
}

const char* repoFor(bool commitGraph) { return commitGraph ? graphClone().c_str() : benchRepo(); }

// Resident memory of the whole process, in MB: the rows are built on the
// queue's threads, whose allocator arenas a main-arena count would miss.
double residentMB() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

std::shared_ptr<GitQueue> queueFor(const char* path) {
  Shell::setDefaultShell(nullptr);
  return GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(path, true), false), nullptr,
                          Url::fileURL(TAVRIK_TEST_PREFIX, true));
}

// The starting points the walker uses for HEAD's branch, for the git side.
std::vector<std::string> startingPoints(const char* path) {
  return GitLogWalkerRefs::startingPoints(GitLogDescriptor{}, arbor::Repo::openAtPath(path));
}

std::vector<std::string> gitLog(std::vector<std::string> options, const std::vector<std::string>& revisions) {
  std::vector<std::string> args{"log", "--topo-order", "--date-order"};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), revisions.begin(), revisions.end());
  return args;
}

void runWalk(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<GitLogWalker>& walker, size_t pageSize,
             bool untilEnd) {
  do {
    auto op = makeOperation<GitLogWalkerOperation>(walker, pageSize);
    op->enqueue(queue);
    queue->waitUntilAllOperationsAreFinished();
  } while (untilEnd && !walker->invalidated());
}

void BM_FirstPage(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO is not set");
  const char* path = repoFor(state.range(0) != 0);
  auto queue = queueFor(path);
  auto revisions = startingPoints(path);
  size_t rows = 0;
  runPairs(
      state,
      [&] {
        auto walker = GitLogWalker::make(GitLogDescriptor{});
        runWalk(queue, walker, 50, false);
        rows = walker->entryCount();
      },
      [&] { benchmark::DoNotOptimize(spawnGitIn(path, gitLog({"-n", "50", "--format=%H%x00%P"}, revisions))); },
      [] {});
  state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_FirstPage)->ArgName("commitGraph")->Arg(0)->Arg(1)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

void BM_AllPages(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO is not set");
  const char* path = repoFor(state.range(0) != 0);
  auto queue = queueFor(path);
  auto revisions = startingPoints(path);
  size_t rows = 0;
  double heapMB = 0;
  runPairs(
      state,
      [&] {
        const double before = residentMB();
        auto walker = GitLogWalker::make(GitLogDescriptor{});
        runWalk(queue, walker, 500, true);
        rows = walker->entryCount();
        heapMB = std::max(heapMB, residentMB() - before);
      },
      [&] { benchmark::DoNotOptimize(spawnGitIn(path, gitLog({"-z", "--date=raw", kFields}, revisions))); },
      [] {});
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["heldMB"] = heapMB;
}
BENCHMARK(BM_AllPages)->ArgName("commitGraph")->Arg(0)->Arg(1)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ContentSearch(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO is not set");
  const char* needleVariable = std::getenv("TAVRIK_BENCH_NEEDLE");
  const std::string needle = needleVariable && *needleVariable ? needleVariable : "BENCH-NEEDLE";
  auto queue = queueFor(benchRepo());
  auto revisions = startingPoints(benchRepo());
  size_t matches = 0;
  runPairs(
      state,
      [&] {
        GitLogDescriptor descriptor;
        descriptor.query = GitQuery{needle, GitQuerySubject::diff};
        auto walker = GitLogWalker::make(descriptor);
        runWalk(queue, walker, 50, true);
        matches = walker->entryCount();
      },
      [&] {
        std::vector<std::string> args{"log", "-i", "-G" + needle, "--format=%H"};
        args.insert(args.end(), revisions.begin(), revisions.end());
        benchmark::DoNotOptimize(spawnGit(args));
      },
      [] {});
  state.counters["matches"] = static_cast<double>(matches);
}
BENCHMARK(BM_ContentSearch)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
