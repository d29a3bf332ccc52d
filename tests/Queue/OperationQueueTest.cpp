#include "tavrik/Queue/OperationQueue.h"

#include "Support/Helpers.h"

#include <condition_variable>
#include <latch>
#include <thread>

using namespace std::chrono_literals;
using tavrik::BlockOperation;
using tavrik::OperationQueue;
using tavrik::testing::OverlapMeter;

TEST(OperationQueue, RunsUpToItsLimitAtOnce) {
  for (int limit : {1, 3}) {
    SCOPED_TRACE(limit);
    OperationQueue queue(limit);
    OverlapMeter meter;
    std::vector<int> order;
    std::mutex m;
    for (int i = 0; i < 12; ++i)
      queue.addOperation([&, i] {
        meter.enter();
        std::this_thread::sleep_for(10ms);
        meter.leave();
        std::lock_guard lock(m);
        order.push_back(i);
      });
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(meter.maximum.load(), limit);
    EXPECT_EQ(queue.operationCount(), 0u);
    if (limit == 1) EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  }
}

// Cancelled while queued: the body is skipped, the completion block still
// runs (and the wait includes it); a running body sees its cancel.
TEST(OperationQueue, CancelReachesQueuedAndRunningOperations) {
  OperationQueue queue(1);
  std::latch started(1);
  std::atomic<bool> sawCancel{false}, laterRan{false}, completed{false};
  auto running = std::make_shared<BlockOperation>();
  running->addExecutionBlock([&, raw = running.get()] {
    started.count_down();
    while (!raw->isCancelled()) std::this_thread::sleep_for(1ms);
    sawCancel = true;
  });
  queue.addOperation(running);
  auto later = std::make_shared<BlockOperation>([&] { laterRan = true; });
  later->setCompletionBlock([&, raw = later.get()] {
    std::this_thread::sleep_for(5ms);
    completed = raw->isFinished();
  });
  queue.addOperation(later);
  started.wait();
  queue.cancelAllOperations();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(sawCancel);
  EXPECT_FALSE(laterRan);
  EXPECT_TRUE(completed);
  EXPECT_TRUE(later->isCancelled());
}

TEST(OperationQueue, AnOperationRunsOnceAndAThrowingBodyStopsNoWorker) {
  OperationQueue queue(1);
  std::atomic<int> runs{0};
  auto op = std::make_shared<BlockOperation>([&] { ++runs; });
  queue.addOperation([] { throw std::runtime_error("boom"); });
  queue.addOperation(op);
  queue.addOperation(op); // already queued: ignored
  queue.waitUntilAllOperationsAreFinished();
  queue.addOperation(op); // finished: ignored
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(runs.load(), 1);
}

TEST(OperationQueue, WaitingFromOwnWorkerIsRefused) {
  OperationQueue queue;
  std::atomic<bool> threw{false};
  queue.addOperation([&] {
    try {
      queue.waitUntilAllOperationsAreFinished();
    } catch (const std::logic_error&) {
      threw = true;
    }
  });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(threw);
}

// The last owner may drop the queue on one of its own workers; that must
// neither block nor crash, and queued work still runs.
TEST(OperationQueue, ReleasedFromItsOwnWorkerKeepsRunningQueuedWork) {
  auto queue = std::make_shared<OperationQueue>(1);
  std::latch gate(1);
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  auto holder = std::make_shared<std::shared_ptr<OperationQueue>>(queue);
  queue->addOperation([holder, &gate] {
    gate.wait();
    holder->reset();
  });
  queue->addOperation([&] {
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  queue.reset();
  gate.count_down();
  std::unique_lock lock(m);
  EXPECT_TRUE(cv.wait_for(lock, 10s, [&] { return done; }));
}
