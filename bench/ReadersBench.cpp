// The readers on a large generated repository, side by side with the git
// processes they must run:
//   - a status refresh (the whole GitViewExecStatusOperation: git, parse,
//     sort, modification dates, view store) against `git status -z
//     --porcelain=v2` spawned alone;
//   - a refs refresh against the one for-each-ref it needs (counts
//     included), and the old way of counting (one rev-list per tracking
//     branch) for comparison;
//   - the names a history view labels rows with, read in process, against
//     `git show-ref -d`;
//   - the peak heap of a status refresh, in bytes per status entry, counted
//     by this executable's own operator new/delete.
//   - opening a repository: head, status and refs together on a new queue
//     against the slowest of their git commands alone;
// The repository comes from TAVRIK_BENCH_REPO (made with the
// make-bench-repo tool); without it every benchmark is skipped.
#include "BenchSupport.h"

#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Queue/GitViewHeadOperation.h"
#include "tavrik/State/GitRefNamesOperation.h"
#include "tavrik/State/GitRefParser.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <vector>

namespace {

std::atomic<int64_t> gLiveBytes{0};
std::atomic<int64_t> gPeakBytes{0};

void noteAllocation(void* p) {
  if (!p) return;
  int64_t live = gLiveBytes.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed) +
                 static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = gPeakBytes.load(std::memory_order_relaxed);
  while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

void noteFree(void* p) {
  if (p) gLiveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

} // namespace

void* operator new(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  noteAllocation(p);
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
  noteFree(p);
  std::free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

namespace {

using namespace tavrik;
using namespace tavrik::bench;

void BM_StatusRefresh(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  auto queue = benchQueue();
  size_t entries = 0;
  for (auto _ : state) {
    auto status = makeOperation<GitViewExecStatusOperation>(false)->enqueue(queue).wait().value;
    entries = status->entries.size();
  }
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_StatusRefresh)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

void BM_StatusGitAlone(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  size_t bytes = 0;
  for (auto _ : state) bytes = spawnGit({"status", "-z", "--porcelain=v2"}).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StatusGitAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

void BM_RefsRefresh(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  auto queue = benchQueue();
  size_t refs = 0, tracking = 0;
  for (auto _ : state) {
    auto list = makeOperation<GitViewRefsOperation>()->enqueue(queue).wait().value;
    refs = list->all.size();
    tracking = 0;
    for (const auto& r : list->all) tracking += r.upstreamName.has_value();
  }
  state.counters["refs"] = static_cast<double>(refs);
  state.counters["tracking"] = static_cast<double>(tracking);
}
BENCHMARK(BM_RefsRefresh)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

// The one git process a refresh must run: for-each-ref printing the
// reader's fields and every tracking branch's counts.
void BM_RefsGitAlone(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  auto fields = GitRefParser::defaultFieldNames();
  fields.push_back("upstream:track");
  const auto format = GitRefParser::formatArgument(fields);
  size_t bytes = 0;
  for (auto _ : state) bytes = spawnGit({"for-each-ref", format}).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RefsGitAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);

// What counting cost before: for-each-ref, then one rev-list per tracking
// branch, one after another.
void BM_RefsGitCountEachBranch(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  const auto fields = GitRefParser::defaultFieldNames();
  const auto format = GitRefParser::formatArgument(fields);
  std::vector<std::string> ranges;
  {
    GitBuffer buffer(spawnGit({"for-each-ref", format}));
    for (const auto& ref : GitRefParser::parse(buffer, fields))
      if (ref.upstreamName) ranges.push_back(ref.name + "..." + *ref.upstreamName);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(spawnGit({"for-each-ref", format}));
    for (const auto& range : ranges) benchmark::DoNotOptimize(spawnGit({"rev-list", "--count", "--left-right", range}));
  }
  state.counters["tracking"] = static_cast<double>(ranges.size());
}
BENCHMARK(BM_RefsGitCountEachBranch)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The names a history view labels its rows with, read in process, beside
// git's lightest listing of the same names and peeled ids (show-ref -d).
void BM_RefNames(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  auto queue = benchQueue();
  size_t refs = 0;
  for (auto _ : state) refs = makeOperation<GitRefNamesOperation>()->enqueue(queue).wait().value->all.size();
  state.counters["refs"] = static_cast<double>(refs);
}
BENCHMARK(BM_RefNames)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_RefNamesGitShowRef(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  size_t bytes = 0;
  for (auto _ : state) bytes = spawnGit({"show-ref", "-d"}).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RefNamesGitShowRef)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Peak heap above the starting level during one status refresh, per entry:
// 0: the first refresh of a queue (no status yet), enqueued and waited for;
// 1: the same over a view that already holds the list (the view store copies
//    the old view);
// 2: the first refresh as the queue runs it after an operation, through
//    updateViewFor (no mapped future and no waiter holding copies).
void BM_StatusPeakMemory(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  const bool warmView = state.range(0) == 1;
  const bool throughQueue = state.range(0) == 2;
  double firstPerEntry = 0, retainedPerEntry = 0;
  size_t entries = 0;
  for (auto _ : state) {
    auto queue = benchQueue();
    if (warmView) makeOperation<GitViewExecStatusOperation>(false)->enqueue(queue).wait();
    malloc_trim(0);
    const int64_t base = gLiveBytes.load();
    gPeakBytes.store(base);
    if (throughQueue) {
      queue->updateViewFor(GitAspects::status);
    } else {
      auto op = makeOperation<GitViewExecStatusOperation>(false);
      auto future = op->enqueue(queue);
      future.wait();
      op.reset();
      future = {};
    }
    queue->waitUntilAllOperationsAreFinished();
    entries = queue->view().status->entries.size();
    firstPerEntry = static_cast<double>(gPeakBytes.load() - base) / static_cast<double>(entries);
    retainedPerEntry = static_cast<double>(gLiveBytes.load() - base) / static_cast<double>(entries);
  }
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["peakBytesPerEntry"] = firstPerEntry;
  state.counters["retainedBytesPerEntry"] = retainedPerEntry;
}
BENCHMARK(BM_StatusPeakMemory)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace

// Opening a repository as a desktop client does: a new queue, head, status
// and refs enqueued together, until an observer has been told of all three.
// Against the slowest of the three git commands run alone, the two taken in
// turn each iteration; "ratio" is the median of the per-pair ratios.
class AspectsSeen : public GitQueueObserver {
public:
  void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects aspects) override {
    std::lock_guard lock(mutex_);
    seen_ = seen_ | aspects;
    changed_.notify_all();
  }
  void waitFor(GitAspects wanted) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return (seen_ & wanted) == wanted; });
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  GitAspects seen_;
};

void BM_OpenRepository(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  using Clock = std::chrono::steady_clock;
  auto fields = GitRefParser::defaultFieldNames();
  fields.push_back("upstream:track,nobracket");
  const auto refsFormat = GitRefParser::formatArgument(fields);
  const std::vector<std::vector<std::string>> gitReads{
      {"show", "--no-patch", "HEAD"}, {"status", "-z", "--porcelain=v2"}, {"for-each-ref", refsFormat}};
  std::vector<double> engine, git, together, ratios, togetherRatios, engineCpu, togetherCpu, closed;
  // CPU of this process and its waited-for children: what the phase cost
  // both cores, beside what it cost the clock.
  auto cpuMs = [] {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
      rusage usage{};
      getrusage(who, &usage);
      total += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    }
    return total;
  };
  const GitAspects all = GitAspects::head | GitAspects::status | GitAspects::refs;
  for (auto _ : state) {
    double cpuStart = cpuMs();
    auto start = Clock::now(), told = start;
    {
      auto queue = benchQueue();
      auto seen = std::make_shared<AspectsSeen>();
      auto token = queue->addChangeObserver(seen);
      makeOperation<GitViewHeadOperation>()->enqueue(queue);
      makeOperation<GitViewExecStatusOperation>()->enqueue(queue);
      makeOperation<GitViewRefsOperation>()->enqueue(queue);
      seen->waitFor(all);
      queue->waitUntilAllOperationsAreFinished();
      queue->removeChangeObserver(token);
      told = Clock::now();
    }
    const double opened = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    closed.push_back(std::chrono::duration<double, std::milli>(Clock::now() - told).count());
    engineCpu.push_back(cpuMs() - cpuStart);
    double slowest = 0;
    for (const auto& args : gitReads) {
      start = Clock::now();
      spawnGit(args);
      slowest = std::max(slowest, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    // The same three git commands started at once and waited for: what any
    // engine that runs git pays on this machine's cores, before any work of
    // its own.
    cpuStart = cpuMs();
    start = Clock::now();
    {
      std::vector<std::thread> readers;
      for (const auto& args : gitReads) readers.emplace_back([&args] { spawnGit(args); });
      for (auto& reader : readers) reader.join();
    }
    const double atOnce = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    togetherCpu.push_back(cpuMs() - cpuStart);
    engine.push_back(opened);
    git.push_back(slowest);
    together.push_back(atOnce);
    ratios.push_back(opened / slowest);
    togetherRatios.push_back(opened / atOnce);
  }
  state.counters["engine_ms"] = median(engine);
  state.counters["slowest_git_ms"] = median(git);
  state.counters["git_together_ms"] = median(together);
  state.counters["close_ms"] = median(closed);
  state.counters["engine_cpu_ms"] = median(engineCpu);
  state.counters["git_together_cpu_ms"] = median(togetherCpu);
  state.counters["ratio"] = median(ratios);
  state.counters["ratio_to_together"] = median(togetherRatios);
}
BENCHMARK(BM_OpenRepository)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(9);

BENCHMARK_MAIN();
