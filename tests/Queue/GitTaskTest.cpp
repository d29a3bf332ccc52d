#include "tavrik/Operation/GitTask.h"

#include "tavrik/Operation/GitOperation.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace std::chrono_literals;
using namespace tavrik;

namespace {

using Seen = std::pair<std::optional<std::string>, std::optional<int>>;

// Reads the task back from inside the callback, as a progress view would;
// the callback is made outside the task's lock or this would deadlock.
struct ReadingDelegate : GitTaskDelegate {
  std::vector<Seen> seen;
  bool rewrite = false;
  void gitTaskDidChange(const std::shared_ptr<GitTask>& task) override {
    seen.emplace_back(task->string(), task->progress());
    if (rewrite) task->setString("rewritten");
  }
};

struct TitledOperation : GitQueueOperation {
  std::optional<std::string> title() const override { return "Fetch"; }
};

} // namespace

// One callback per field that really changed, none for a value set again.
TEST(GitTask, DelegateHearsEachRealChangeAndMayReadOrChangeTheTask) {
  auto task = GitTask::create("T", {});
  auto delegate = std::make_shared<ReadingDelegate>();
  task->setDelegate(delegate);
  auto done = std::async(std::launch::async, [task] {
    task->setWorking();
    task->setWorking();
    task->setProgress(40);
    task->setProgress(40);
    task->setString(std::nullopt);
    task->setString(std::nullopt);
    task->setDone();
  });
  ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "task delegate deadlocked";
  EXPECT_EQ(delegate->seen, (std::vector<Seen>{{"Working...", 0}, {"Working...", 0}, {"Working...", 40},
                                               {std::nullopt, 40}, {"Done.", 100}, {"Done.", 100}}));
  delegate->rewrite = true;
  task->setString("x"); // "x", then "rewritten"; the third set changes nothing
  EXPECT_EQ(task->string(), "rewritten");
  EXPECT_EQ(delegate->seen.size(), 8u);
  delegate.reset();
  task->setProgress(1); // held weakly: nothing to call
}

TEST(GitTask, ValidWhileItsOperationLivesUnfinished) {
  auto op = makeOperation<TitledOperation>();
  auto task = op->task();
  ASSERT_NE(task, nullptr);
  EXPECT_TRUE(task->isValid());
  task->cancel();
  EXPECT_TRUE(op->isCancelled());
  op->start();
  EXPECT_FALSE(task->isValid());
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
