#include "tavrik/Queue/OperationQueue.h"

#include "QueueTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tavrik::BlockOperation;
using tavrik::Operation;
using tavrik::OperationQueue;

using tavrik::testing::OverlapMeter;

TEST(OperationQueue, DefaultConcurrencyIsProcessorCountOrEight) {
  int expected = std::max(static_cast<int>(std::thread::hardware_concurrency()), 8);
  EXPECT_EQ(OperationQueue::defaultMaxConcurrentOperationCount(), expected);
  OperationQueue queue;
  EXPECT_EQ(queue.maxConcurrentOperationCount(), expected);
}

TEST(OperationQueue, RunsUpToTheLimitAtOnce) {
  OperationQueue queue(3);
  OverlapMeter meter;
  for (int i = 0; i < 12; ++i) {
    queue.addOperation([&] {
      meter.enter();
      std::this_thread::sleep_for(20ms);
      meter.leave();
    });
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(meter.maximum.load(), 3);
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueue, SingleWorkerRunsInOrderAdded) {
  OperationQueue queue(1);
  std::vector<int> order;
  for (int i = 0; i < 50; ++i) queue.addOperation([&order, i] { order.push_back(i); });
  queue.waitUntilAllOperationsAreFinished();
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(OperationQueue, CancelledBeforeStartSkipsBodyButRunsCompletion) {
  OperationQueue queue(1);
  std::latch gate(1);
  queue.addOperation([&] { gate.wait(); });

  std::atomic<bool> ran{false}, completed{false}, finishedInCompletion{false};
  auto op = std::make_shared<BlockOperation>([&] { ran = true; });
  op->setCompletionBlock([&, raw = op.get()] {
    finishedInCompletion = raw->isFinished();
    completed = true;
  });
  queue.addOperation(op);
  op->cancel();
  gate.count_down();
  queue.waitUntilAllOperationsAreFinished();

  EXPECT_FALSE(ran);
  EXPECT_TRUE(completed);
  EXPECT_TRUE(finishedInCompletion);
  EXPECT_TRUE(op->isFinished());
  EXPECT_TRUE(op->isCancelled());
  EXPECT_FALSE(op->isExecuting());
}

TEST(OperationQueue, WaitIncludesCompletionBlocks) {
  OperationQueue queue;
  std::atomic<int> completions{0};
  for (int i = 0; i < 40; ++i) {
    auto op = std::make_shared<BlockOperation>([] {});
    op->setCompletionBlock([&] {
      std::this_thread::sleep_for(1ms);
      ++completions;
    });
    queue.addOperation(op);
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(completions.load(), 40);
}

TEST(OperationQueue, CancelAllReachesQueuedAndRunningOperations) {
  OperationQueue queue(1);
  std::latch started(1);
  std::atomic<bool> sawCancel{false}, laterRan{false};
  auto running = std::make_shared<BlockOperation>();
  running->addExecutionBlock([&, raw = running.get()] {
    started.count_down();
    while (!raw->isCancelled()) std::this_thread::sleep_for(1ms);
    sawCancel = true;
  });
  queue.addOperation(running);
  auto later = queue.addOperation([&] { laterRan = true; });
  started.wait();
  queue.cancelAllOperations();
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(sawCancel);
  EXPECT_FALSE(laterRan);
  EXPECT_TRUE(later->isCancelled());
  EXPECT_TRUE(later->isFinished());
}

TEST(OperationQueue, AnOperationRunsOnlyOnce) {
  OperationQueue queue;
  std::atomic<int> runs{0};
  auto op = std::make_shared<BlockOperation>([&] { ++runs; });
  queue.addOperation(op);
  queue.addOperation(op); // already queued or started: ignored
  queue.waitUntilAllOperationsAreFinished();
  op->start();
  queue.addOperation(op);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(runs.load(), 1);
}

TEST(OperationQueue, ThrowingBodyDoesNotStopTheWorker) {
  OperationQueue queue(1);
  std::atomic<bool> afterRan{false};
  queue.addOperation([] { throw std::runtime_error("boom"); });
  queue.addOperation([&] { afterRan = true; });
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(afterRan);
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
  std::atomic<bool> laterRan{false};
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  auto holder = std::make_shared<std::shared_ptr<OperationQueue>>(queue);
  queue->addOperation([holder, &gate] {
    gate.wait();
    holder->reset(); // the last reference goes away on the worker
  });
  queue->addOperation([&] {
    laterRan = true;
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  queue.reset();
  gate.count_down();
  std::unique_lock lock(m);
  ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return done; }));
  EXPECT_TRUE(laterRan);
}

TEST(Operation, WaitUntilFinishedReturnsAfterTheBody) {
  OperationQueue queue;
  std::atomic<bool> bodyDone{false};
  auto op = queue.addOperation([&] {
    std::this_thread::sleep_for(10ms);
    bodyDone = true;
  });
  op->waitUntilFinished();
  EXPECT_TRUE(bodyDone);
  EXPECT_TRUE(op->isFinished());
}

TEST(BlockOperation, RunsBlocksInOrderAndIgnoresLateAdditions) {
  std::vector<int> order;
  BlockOperation op([&] { order.push_back(1); });
  op.addExecutionBlock([&] { order.push_back(2); });
  op.start();
  op.addExecutionBlock([&] { order.push_back(3); });
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}
