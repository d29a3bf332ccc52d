#include "tavrik/Queue/GitOperation.h"

#include "QueueTestSupport.h"
#include "tavrik/Process/GitNotification.h"
#include "tavrik/Queue/GitOperationError.h"
#include "tavrik/Queue/GitTask.h"
#include "tavrik/Queue/TavrikError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <latch>
#include <thread>

using namespace std::chrono_literals;
using namespace tavrik;
using tavrik::testing::CountingObserver;
using tavrik::testing::LogCapture;
using tavrik::testing::OverlapMeter;
using tavrik::testing::Recorder;

namespace {

class ScriptedOperation : public GitOperation<int> {
public:
  using Body = std::function<int(GitOperationContext&, ScriptedOperation&)>;
  ScriptedOperation(std::optional<std::string> title, bool indexLock, Body body,
                    std::shared_ptr<GitNotification> note = nullptr)
      : title_(std::move(title)), indexLock_(indexLock), body_(std::move(body)), note_(std::move(note)) {}

  std::optional<std::string> title() const override { return title_; }
  bool needsIndexLock() const override { return indexLock_; }
  std::shared_ptr<GitNotification> notification() override { return note_; }
  int execute(GitOperationContext& context) override { return body_(context, *this); }

private:
  std::optional<std::string> title_;
  bool indexLock_;
  Body body_;
  std::shared_ptr<GitNotification> note_;
};

struct RecordingNotification : GitNotification {
  explicit RecordingNotification(Recorder& r) : GitNotification(GitAspects::refs), recorder(r) {}
  Recorder& recorder;
  std::string logDescription() const override { return "<test notification>"; }
  void prepare(GitQueue&) override { recorder.add("prepare"); }
  std::optional<GitNotificationContent> content(GitQueue&) override { return std::nullopt; }
};

struct RecordingDelegate : GitQueueDelegate {
  explicit RecordingDelegate(Recorder& r) : recorder(r) {}
  Recorder& recorder;
  void gitQueueOperationWillStart(const std::shared_ptr<GitQueue>&, const std::shared_ptr<GitQueueOperation>&) override {
    recorder.add("willStart");
  }
  void gitQueueOperationDidFinish(const std::shared_ptr<GitQueue>&, const std::shared_ptr<GitQueueOperation>&,
                                  std::exception_ptr error) override {
    recorder.add(error ? "didFinish:" + localizedDescription(error) : "didFinish:ok");
  }
};

struct RecordingTaskDelegate : GitTaskDelegate {
  RecordingTaskDelegate(Recorder& r, std::shared_ptr<GitQueue> q) : recorder(r), queue(std::move(q)) {}
  Recorder& recorder;
  std::shared_ptr<GitQueue> queue;
  std::atomic<bool> indexLockedAtDone{false};
  void gitTaskDidChange(const std::shared_ptr<GitTask>& task) override {
    recorder.add("task:" + task->string().value_or("-") + "/" + std::to_string(task->progress().value_or(-1)));
    if (task->string() == "Done.") {
      // Probed from another thread: the worker holds the lock itself.
      indexLockedAtDone = !std::async(std::launch::async, [q = queue] {
                             bool got = q->indexLock().try_lock();
                             if (got) q->indexLock().unlock();
                             return got;
                           }).get();
    }
  }
};

std::shared_ptr<GitQueue> makeQueue() { return GitQueue::create(std::nullopt, nullptr, std::nullopt); }

GitRepositoryDescriptor descriptorAt(const char* path) {
  return GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(path, true), false);
}

} // namespace

// The whole run flow, in order, for a successful titled index-locking
// operation with a notification and two aspects.
TEST(GitOperation, RunFlowOrder) {
  Recorder recorder;
  auto queue = makeQueue();
  auto delegate = std::make_shared<RecordingDelegate>(recorder);
  queue->setDelegate(delegate);
  queue->setViewOperationFactory([&](GitAspects aspect) -> std::shared_ptr<GitQueueOperation> {
    recorder.add("refresh:" + aspect.debugDescription() +
                 " pending=" + std::to_string(queue->pendingNotifications().size()));
    return nullptr;
  });
  auto note = std::make_shared<RecordingNotification>(recorder);
  auto op = makeOperation<ScriptedOperation>(
      "Commit", true,
      [&](GitOperationContext& context, ScriptedOperation&) {
        recorder.add("execute");
        context.updatedAspects.insert(GitAspects::head);
        context.updatedAspects.insert(GitAspects::status);
        return 7;
      },
      note);
  auto taskDelegate = std::make_shared<RecordingTaskDelegate>(recorder, queue);
  op->task()->setDelegate(taskDelegate);
  op->future().onSuccess([&](const int& v) { recorder.add("resolved:" + std::to_string(v)); });

  queue->addOperation(op);
  queue->waitUntilAllOperationsAreFinished();

  EXPECT_EQ(recorder.events(), (std::vector<std::string>{
                                   "task:Working.../0",
                                   "task:Working.../0",
                                   "prepare",
                                   "willStart",
                                   "execute",
                                   "refresh:<GitAspects head> pending=1",
                                   "refresh:<GitAspects status> pending=1",
                                   "didFinish:ok",
                                   "resolved:7",
                                   "task:Done./100",
                                   "task:Done./100",
                               }));
  EXPECT_TRUE(taskDelegate->indexLockedAtDone);
  EXPECT_TRUE(queue->indexLock().try_lock());
  queue->indexLock().unlock();
  EXPECT_EQ(op->task(), nullptr); // finished
}

TEST(GitOperation, FailedOperationStillRefreshesItsAspects) {
  Recorder recorder;
  auto queue = makeQueue();
  queue->setViewOperationFactory([&](GitAspects aspect) -> std::shared_ptr<GitQueueOperation> {
    recorder.add(aspect.debugDescription());
    return nullptr;
  });
  auto note = std::make_shared<RecordingNotification>(recorder);
  LogCapture logs;
  auto op = makeOperation<ScriptedOperation>(
      "Merge", false,
      [](GitOperationContext& context, ScriptedOperation&) -> int {
        context.updatedAspects.insert(GitAspects::refs);
        throw TavrikError::invalidRepository();
      },
      note);
  queue->addOperation(op);
  EXPECT_THROW(op->future().wait(10s), TavrikError);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(recorder.events(), (std::vector<std::string>{"prepare", "<GitAspects refs>"}));
  EXPECT_TRUE(queue->pendingNotifications().empty()); // only success adds it

  auto lines = logs.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, LogLevel::defaultLevel);
  EXPECT_EQ(lines[0].second, "git: ScriptedOperation failed: Invalid Repository");
}

TEST(GitOperation, CancelledOperationThatThrowsLogsNothingAndIsRejected) {
  auto queue = makeQueue();
  LogCapture logs;
  auto op = makeOperation<ScriptedOperation>("Fetch", false, [](GitOperationContext&, ScriptedOperation& self) -> int {
    self.cancel();
    throw std::runtime_error("interrupted");
  });
  queue->addOperation(op);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(op->future().isRejected());
  EXPECT_THROW(op->future().wait(1s), pledge::CancelledError);
  for (const auto& [level, line] : logs.lines()) ADD_FAILURE() << "unexpected log line: " << line;
}

TEST(GitOperation, NotificationIsPreparedWithADebugLine) {
  Recorder recorder;
  auto queue = makeQueue();
  LogCapture logs(/*debug=*/true);
  auto op = makeOperation<ScriptedOperation>(
      std::nullopt, false, [](GitOperationContext&, ScriptedOperation&) { return 1; },
      std::make_shared<RecordingNotification>(recorder));
  queue->addOperation(op);
  queue->waitUntilAllOperationsAreFinished();
  auto lines = logs.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, LogLevel::debug);
  EXPECT_EQ(lines[0].second, "notification: preparing <test notification>");
  EXPECT_EQ(queue->pendingNotifications().size(), 1u);
}

// Operations hold their queue weakly: one that starts after the client has
// released the queue does nothing and settles nothing.
TEST(GitOperation, OperationStartingAfterItsQueueIsReleasedDoesNothing) {
  // Fill every worker so that the operation under test waits in the queue.
  struct Blocker : GitQueueOperation {
    explicit Blocker(std::shared_ptr<std::latch> g) : gate(std::move(g)) {}
    std::shared_ptr<std::latch> gate; // shared: blockers may outlive the test body
    void run() override { gate->wait(); }
  };
  auto gate = std::make_shared<std::latch>(1);
  auto queue = makeQueue();
  for (int i = 0; i < OperationQueue::defaultMaxConcurrentOperationCount(); ++i)
    queue->addOperation(makeOperation<Blocker>(gate));
  std::atomic<bool> executed{false};
  auto op = makeOperation<ScriptedOperation>("Late", false, [&](GitOperationContext&, ScriptedOperation&) {
    executed = true;
    return 1;
  });
  queue->addOperation(op);
  std::weak_ptr<GitQueue> weak = queue;
  queue.reset();
  EXPECT_TRUE(weak.expired());
  gate->count_down();
  op->waitUntilFinished();
  EXPECT_FALSE(executed);
  EXPECT_FALSE(op->future().isSettled());
  EXPECT_EQ(op->queue(), nullptr);
}

TEST(GitOperation, UntitledOperationHasNoTaskAndPostsNoQueueTasks) {
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  std::atomic<size_t> tasksDuringRun{99};
  auto op = makeOperation<ScriptedOperation>(std::nullopt, false, [&](GitOperationContext& c, ScriptedOperation&) {
    tasksDuringRun = c.queue->tasks().size();
    return 0;
  });
  EXPECT_EQ(op->task(), nullptr);
  queue->addOperation(op);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(tasksDuringRun.load(), 0u);
  EXPECT_EQ(observer->calls.load(), 0);
  EXPECT_EQ(op->future().wait(1s), 0);
}

TEST(GitOperation, QueueTasksPostedOnAddAndOnCompletion) {
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  std::latch gate(1);
  auto first = makeOperation<ScriptedOperation>("First", false, [&](GitOperationContext&, ScriptedOperation&) {
    gate.wait();
    return 1;
  });
  queue->addOperation(first);
  EXPECT_EQ(observer->queueTasks.load(), 1);
  auto tasks = queue->tasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0]->title(), "First");
  gate.count_down();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(observer->queueTasks.load(), 2);
  EXPECT_TRUE(queue->tasks().empty());

  std::vector<std::optional<std::string>> seenBySecond;
  std::mutex m;
  auto second = makeOperation<ScriptedOperation>("Second", false, [&](GitOperationContext& c, ScriptedOperation&) {
    std::lock_guard lock(m);
    for (auto& t : c.queue->tasks()) seenBySecond.push_back(t->title());
    return 2;
  });
  queue->addOperation(second);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(seenBySecond, (std::vector<std::optional<std::string>>{"Second"}));
  EXPECT_EQ(observer->queueTasks.load(), 4);
  EXPECT_EQ(observer->calls.load(), 4);
}

TEST(GitOperation, CancelBeforeStartSkipsExecuteAndCancelsTheFuture) {
  Recorder recorder;
  auto queue = makeQueue();
  auto delegate = std::make_shared<RecordingDelegate>(recorder);
  queue->setDelegate(delegate);
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  std::latch gate(1);
  auto op = makeOperation<ScriptedOperation>("Push", false, [&](GitOperationContext&, ScriptedOperation&) {
    gate.wait();
    recorder.add("execute");
    return 1;
  });
  queue->addOperation(op);
  op->cancel();
  gate.count_down();
  // Whether or not the body had started, the cancel wins over its result.
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(op->future().isCancelled());
  EXPECT_EQ(recorder.count("didFinish:The operation was cancelled"), 1u);
  EXPECT_EQ(observer->queueTasks.load(), 2);
  EXPECT_TRUE(queue->tasks().empty());

  auto notStarted = makeOperation<ScriptedOperation>("Pull", false, [&](GitOperationContext&, ScriptedOperation&) {
    recorder.add("execute-not-started");
    return 1;
  });
  notStarted->cancel();
  queue->addOperation(notStarted);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(recorder.count("execute-not-started"), 0u);
  EXPECT_TRUE(notStarted->isFinished());
  EXPECT_TRUE(notStarted->future().isCancelled());
}

TEST(GitOperation, IndexLockSerialisesOnlyOperationsThatNeedIt) {
  constexpr int kCount = 200;
  auto run = [](bool needsLock, std::chrono::microseconds work) {
    auto queue = makeQueue();
    OverlapMeter meter;
    for (int i = 0; i < kCount; ++i) {
      queue->addOperation(makeOperation<ScriptedOperation>(
          std::nullopt, needsLock, [&meter, work](GitOperationContext&, ScriptedOperation&) {
            meter.enter();
            std::this_thread::sleep_for(work);
            meter.leave();
            return 0;
          }));
    }
    queue->waitUntilAllOperationsAreFinished();
    return meter.maximum.load();
  };
  EXPECT_EQ(run(true, 200us), 1);
  EXPECT_GT(run(false, 2ms), 1);
}

TEST(GitOperation, EnqueueAndNextChainOnTheSameQueue) {
  auto queue = makeQueue();
  auto first = makeOperation<ScriptedOperation>(std::nullopt, false, [](auto&, auto&) { return 4; });
  auto chained = next(first->enqueue(queue), [](const GitQueueValue<int>& v) {
    return makeOperation<ScriptedOperation>(std::nullopt, false,
                                            [n = v.value](GitOperationContext&, ScriptedOperation&) { return n * 10; });
  });
  auto result = chained.wait(10s);
  EXPECT_EQ(result.value, 40);
  EXPECT_EQ(result.queue, queue);
  EXPECT_EQ(result.toVoid().queue, queue);
  EXPECT_EQ(result.map([](int v) { return std::to_string(v); }).value, "40");
}

TEST(GitOperation, NextPassesFailuresThrough) {
  auto queue = makeQueue();
  std::atomic<bool> madeNext{false};
  auto first = makeOperation<ScriptedOperation>(std::nullopt, false, [](auto&, auto&) -> int {
    throw TavrikError::noCommonAncestor();
  });
  auto chained = next(first->enqueue(queue), [&](const GitQueueValue<int>&) {
    madeNext = true;
    return makeOperation<ScriptedOperation>(std::nullopt, false, [](auto&, auto&) { return 0; });
  });
  try {
    chained.wait(10s);
    ADD_FAILURE() << "expected the first operation's error";
  } catch (const TavrikError& e) {
    EXPECT_EQ(e, TavrikError::noCommonAncestor());
  }
  EXPECT_FALSE(madeNext);
}

TEST(GitOperation, NextRejectsANullOperation) {
  auto queue = makeQueue();
  auto first = makeOperation<ScriptedOperation>(std::nullopt, false, [](auto&, auto&) { return 1; });
  auto chained = next(first->enqueue(queue),
                      [](const GitQueueValue<int>&) { return std::shared_ptr<ScriptedOperation>(); });
  EXPECT_THROW(chained.wait(10s), std::invalid_argument);
}

TEST(GitOperation, ExecuteQuietDropsTheError) {
  auto queue = makeQueue();
  GitOperationContext context(queue);
  auto ok = makeOperation<ScriptedOperation>(std::nullopt, false, [](auto& c, auto&) {
    c.updatedAspects.insert(GitAspects::stashes);
    return 3;
  });
  auto bad = makeOperation<ScriptedOperation>(std::nullopt, false, [](auto&, auto&) -> int { throw 1; });
  EXPECT_EQ(ok->executeQuiet(context), 3);
  EXPECT_EQ(bad->executeQuiet(context), std::nullopt);
  EXPECT_EQ(context.updatedAspects, GitAspects::stashes);
  EXPECT_FALSE(ok->future().isSettled()); // inline runs do not settle the future
}

TEST(GitOperation, OverrideDescriptorReachesTheContext) {
  auto queue = GitQueue::create(descriptorAt("/queue/repo"), nullptr, std::nullopt);
  auto seen = std::make_shared<std::optional<GitRepositoryDescriptor>>();
  auto op = makeOperation<ScriptedOperation>(std::nullopt, false, [seen](GitOperationContext& c, auto&) {
    *seen = c.requireDescriptor();
    return 0;
  });
  auto same = op->override(descriptorAt("/other/repo"));
  EXPECT_EQ(same.get(), op.get());
  queue->addOperation(op);
  queue->waitUntilAllOperationsAreFinished();
  ASSERT_TRUE(seen->has_value());
  EXPECT_EQ((*seen)->url.path(), "/other/repo");
}

TEST(GitOperationContext, EffectiveDescriptorPrefersTheOverride) {
  auto bare = GitQueue::create(std::nullopt, nullptr, std::nullopt);
  GitOperationContext none(bare);
  EXPECT_EQ(none.effectiveDescriptor(), nullptr);
  EXPECT_THROW(none.requireDescriptor(), TavrikError);

  auto withRepo = GitQueue::create(descriptorAt("/a"), nullptr, std::nullopt);
  GitOperationContext fromQueue(withRepo);
  ASSERT_NE(fromQueue.effectiveDescriptor(), nullptr);
  EXPECT_EQ(fromQueue.effectiveDescriptor()->url.path(), "/a");

  fromQueue.overrideDescriptor = descriptorAt("/b");
  fromQueue.overrideAuthor = persona::Persona{"A", "a@example.com"};
  fromQueue.updatedAspects = GitAspects::refs;
  EXPECT_EQ(fromQueue.effectiveDescriptor()->url.path(), "/b");

  auto copy = fromQueue.copy();
  EXPECT_EQ(copy->queue, withRepo);
  EXPECT_EQ(copy->overrideDescriptor, fromQueue.overrideDescriptor);
  EXPECT_EQ(copy->overrideAuthor, fromQueue.overrideAuthor);
  EXPECT_EQ(copy->overrideCommitter, std::nullopt);
  EXPECT_EQ(copy->updatedAspects, GitAspects::refs);
  copy->updatedAspects.insert(GitAspects::head);
  EXPECT_EQ(fromQueue.updatedAspects, GitAspects::refs); // a copy, not a view
}

TEST(GitOperationError, TimedOutDescription) {
  auto error = GitOperationError::timedOut("op-1", {"child-b", "child-a"});
  EXPECT_EQ(error.localizedDescription(), "Operation timed out\n\nop-1\n\nWaiting on:\n\nchild-a\nchild-b");
  EXPECT_EQ(GitOperationError::timedOut("x", {}).localizedDescription(), "Operation timed out\n\nx\n\nWaiting on:\n\n");
  EXPECT_EQ(error.kind(), GitOperationError::Kind::timedOut);
}
