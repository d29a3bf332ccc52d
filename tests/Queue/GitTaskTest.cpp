#include "tavrik/Queue/GitTask.h"

#include "tavrik/Queue/GitOperation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace tavrik;

namespace {

// Reads the task back from inside the callback, as a progress view would.
struct ReadingDelegate : GitTaskDelegate {
  std::vector<std::pair<std::optional<std::string>, std::optional<int>>> seen;
  void gitTaskDidChange(const std::shared_ptr<GitTask>& task) override {
    seen.emplace_back(task->string(), task->progress());
  }
};

struct TitledOperation : GitQueueOperation {
  std::optional<std::string> title() const override { return "Fetch"; }
};

} // namespace

TEST(GitTask, SameValueNotifiesOnce) {
  auto task = GitTask::create("T", {});
  auto delegate = std::make_shared<ReadingDelegate>();
  task->setDelegate(delegate);
  task->setProgress(5);
  task->setProgress(5);
  task->setString("a");
  task->setString("a");
  task->setString(std::nullopt);
  task->setString(std::nullopt);
  task->setProgress(std::nullopt);
  task->setProgress(std::nullopt);
  ASSERT_EQ(delegate->seen.size(), 4u);
  EXPECT_EQ(delegate->seen[0].second, 5);
  EXPECT_EQ(delegate->seen[1].first, "a");
  EXPECT_EQ(delegate->seen[2].first, std::nullopt);
  EXPECT_EQ(delegate->seen[3].second, std::nullopt);
}

// The delegate reads the task inside gitTaskDidChange: with the callback made
// under the task's lock this would deadlock, so it runs on a thread with a limit.
TEST(GitTask, DelegateMayReadTheTaskInsideTheCallback) {
  auto task = GitTask::create("T", {});
  auto delegate = std::make_shared<ReadingDelegate>();
  task->setDelegate(delegate);
  auto done = std::async(std::launch::async, [task] {
    task->setWorking();
    task->setProgress(40);
    task->setDone();
  });
  ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "task delegate deadlocked";
  ASSERT_EQ(delegate->seen.size(), 5u);
  // Both fields are stored before the first callback of setWorking.
  EXPECT_EQ(delegate->seen[0], std::make_pair(std::optional<std::string>("Working..."), std::optional<int>(0)));
  EXPECT_EQ(delegate->seen[2].second, 40);
  EXPECT_EQ(delegate->seen[4], std::make_pair(std::optional<std::string>("Done."), std::optional<int>(100)));
}

TEST(GitTask, DelegateMayChangeTheTaskInsideTheCallback) {
  struct Rewriter : GitTaskDelegate {
    int calls = 0;
    void gitTaskDidChange(const std::shared_ptr<GitTask>& task) override {
      ++calls;
      task->setString("rewritten");
    }
  };
  auto task = GitTask::create("T", {});
  auto delegate = std::make_shared<Rewriter>();
  task->setDelegate(delegate);
  auto done = std::async(std::launch::async, [task] { task->setString("x"); });
  ASSERT_EQ(done.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(task->string(), "rewritten");
  EXPECT_EQ(delegate->calls, 2); // "x", then "rewritten"; the third set changes nothing
}

TEST(GitTask, DoubleValueFollowsProgress) {
  auto task = GitTask::create(std::nullopt, {});
  EXPECT_EQ(task->doubleValue(), std::nullopt);
  task->setProgress(37);
  EXPECT_EQ(task->doubleValue(), 37.0);
}

TEST(GitTask, DelegateIsHeldWeakly) {
  auto task = GitTask::create("T", {});
  auto delegate = std::make_shared<ReadingDelegate>();
  task->setDelegate(delegate);
  EXPECT_EQ(task->delegate(), delegate);
  delegate.reset();
  EXPECT_EQ(task->delegate(), nullptr);
  task->setProgress(1); // no delegate: nothing to call, no crash
}

TEST(GitTask, ValidWhileParentLivesAndIsUnfinished) {
  auto op = makeOperation<TitledOperation>();
  auto task = op->task();
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->title(), "Fetch");
  EXPECT_EQ(task->parentOperation(), op);
  EXPECT_TRUE(task->isValid());
  task->cancel();
  EXPECT_TRUE(op->isCancelled());
  op->start();
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(task->isValid());
  EXPECT_EQ(op->task(), nullptr);
  op.reset();
  EXPECT_FALSE(task->isValid());
  task->cancel(); // parent gone: nothing happens
}

TEST(GitTask, ConcurrentWritersAndReaders) {
  auto task = GitTask::create("T", {});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([task, t] {
      for (int i = 0; i < 500; ++i) {
        task->setProgress(i % 100);
        task->setString(t % 2 ? "odd" : "even");
        (void)task->doubleValue();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_TRUE(task->progress().has_value());
}
