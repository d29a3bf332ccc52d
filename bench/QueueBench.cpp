// Per-operation overhead of the queue core: no-op operations pushed through a
// GitQueue (with an observer attached, so every task change is posted and
// delivered) side by side with the bare worker pool underneath.
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Queue/GitQueue.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>

namespace {

using namespace tavrik;

constexpr int kOperations = 100'000;

class NoOpOperation : public GitOperation<pledge::Void> {
public:
  explicit NoOpOperation(bool titled) : titled_(titled) {}
  std::optional<std::string> title() const override {
    if (!titled_) return std::nullopt;
    return "No-op";
  }
  pledge::Void execute(GitOperationContext&) override { return {}; }

private:
  bool titled_;
};

struct CountingObserver : GitQueueObserver {
  std::atomic<long> calls{0};
  void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects) override {
    calls.fetch_add(1, std::memory_order_relaxed);
  }
};

// Wall-clock microseconds per operation, averaged over the iterations.
class PerOperationClock {
public:
  void start() { begin_ = std::chrono::steady_clock::now(); }
  void stop() { total_ += std::chrono::steady_clock::now() - begin_; }
  void report(benchmark::State& state) const {
    auto ops = static_cast<double>(state.iterations()) * kOperations;
    state.counters["us_per_op"] = std::chrono::duration<double, std::micro>(total_).count() / ops;
    state.SetItemsProcessed(static_cast<int64_t>(ops));
  }

private:
  std::chrono::steady_clock::time_point begin_;
  std::chrono::steady_clock::duration total_{};
};

void runThroughGitQueue(benchmark::State& state, bool titled, bool deliveryQueue) {
  PerOperationClock clock;
  for (auto _ : state) {
    auto queue = GitQueue::create(std::nullopt, nullptr, std::nullopt);
    auto observer = std::make_shared<CountingObserver>();
    auto delivery = deliveryQueue ? std::make_shared<OperationQueue>(1) : nullptr;
    auto token = queue->addChangeObserver(observer, delivery);
    clock.start();
    for (int i = 0; i < kOperations; ++i) queue->addOperation(makeOperation<NoOpOperation>(titled));
    queue->waitUntilAllOperationsAreFinished();
    if (delivery) delivery->waitUntilAllOperationsAreFinished();
    clock.stop();
    if (titled && observer->calls.load() != 2L * kOperations) state.SkipWithError("missing queueTasks posts");
    queue->removeChangeObserver(token);
  }
  clock.report(state);
}

void BM_GitQueue_TitledNoOp_ObserverOnPostingThread(benchmark::State& state) {
  runThroughGitQueue(state, true, false);
}
void BM_GitQueue_TitledNoOp_ObserverOnDeliveryQueue(benchmark::State& state) {
  runThroughGitQueue(state, true, true);
}
void BM_GitQueue_UntitledNoOp(benchmark::State& state) { runThroughGitQueue(state, false, false); }

void BM_OperationQueue_BlockNoOp(benchmark::State& state) {
  PerOperationClock clock;
  for (auto _ : state) {
    OperationQueue queue;
    clock.start();
    for (int i = 0; i < kOperations; ++i) queue.addOperation([] {});
    queue.waitUntilAllOperationsAreFinished();
    clock.stop();
  }
  clock.report(state);
}

BENCHMARK(BM_OperationQueue_BlockNoOp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_GitQueue_UntitledNoOp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_GitQueue_TitledNoOp_ObserverOnPostingThread)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_GitQueue_TitledNoOp_ObserverOnDeliveryQueue)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
