#include "tavrik/Operation/GitOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Operation/GitNotification.h"
#include "tavrik/Operation/GitTask.h"
#include "tavrik/Util/TavrikError.h"

#include <future>
#include <latch>
#include <thread>

using namespace std::chrono_literals;
using namespace tavrik;
using namespace tavrik::testing;

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

template <class F> std::shared_ptr<ScriptedOperation> scripted(F body, std::optional<std::string> title = std::nullopt) {
  return makeOperation<ScriptedOperation>(std::move(title), false, std::move(body));
}

struct RecordingNotification : GitNotification {
  explicit RecordingNotification(Recorder& r) : GitNotification(GitAspects::refs), recorder(r) {}
  Recorder& recorder;
  std::string logDescription() const override { return "<test notification>"; }
  void prepare(GitOperationHost&) override { recorder.add("prepare"); }
  std::optional<GitNotificationContent> content() override { return std::nullopt; }
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
    if (task->string() != "Done.") return;
    // Probed from another thread: the worker holds the lock itself.
    indexLockedAtDone = !std::async(std::launch::async, [q = queue] {
                           bool got = static_cast<GitOperationHost&>(*q).indexLock().try_lock();
                           if (got) static_cast<GitOperationHost&>(*q).indexLock().unlock();
                           return got;
                         }).get();
  }
};

std::shared_ptr<GitQueue> makeQueue(std::optional<std::string> path = std::nullopt) {
  std::optional<GitRepositoryDescriptor> d;
  if (path) d = GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(*path, true), false);
  Shell::setDefaultShell(nullptr); // no login-shell probe behind the tests
  return GitQueue::create(d, nullptr, std::nullopt);
}

} // namespace

// The whole run flow, in order, for a successful titled index-locking
// operation with a notification and two aspects, and for a failing one.
TEST(GitOperation, RunFlowOrderOnSuccessAndFailure) {
  Recorder recorder;
  auto queue = makeQueue();
  auto delegate = std::make_shared<RecordingDelegate>(recorder);
  queue->setDelegate(delegate);
  queue->setViewOperationFactory([&](GitAspects aspect) -> std::shared_ptr<GitQueueOperation> {
    recorder.add("refresh:" + aspect.debugDescription() + " pending=" + std::to_string(queue->pendingNotifications().size()));
    return nullptr;
  });
  auto op = makeOperation<ScriptedOperation>(
      "Commit", true,
      [&](GitOperationContext& context, ScriptedOperation&) {
        recorder.add("execute");
        context.updatedAspects.insert(GitAspects::head | GitAspects::status);
        return 7;
      },
      std::make_shared<RecordingNotification>(recorder));
  auto taskDelegate = std::make_shared<RecordingTaskDelegate>(recorder, queue);
  op->task()->setDelegate(taskDelegate);
  op->future().onSuccess([&](const int& v) { recorder.add("resolved:" + std::to_string(v)); });
  queue->addOperation(op);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(recorder.events(), (std::vector<std::string>{
                                   "task:Working.../0", "task:Working.../0", "prepare", "willStart", "execute",
                                   "refresh:<GitAspects head> pending=1", "refresh:<GitAspects status> pending=1",
                                   "didFinish:ok", "resolved:7", "task:Done./100", "task:Done./100"}));
  EXPECT_TRUE(taskDelegate->indexLockedAtDone);
  EXPECT_TRUE(static_cast<GitOperationHost&>(*queue).indexLock().try_lock());
  static_cast<GitOperationHost&>(*queue).indexLock().unlock();

  Recorder failed;
  queue->setViewOperationFactory([&](GitAspects aspect) -> std::shared_ptr<GitQueueOperation> {
    failed.add(aspect.debugDescription());
    return nullptr;
  });
  LogCapture logs;
  auto failing = makeOperation<ScriptedOperation>(
      "Merge", false,
      [](GitOperationContext& context, ScriptedOperation&) -> int {
        context.updatedAspects.insert(GitAspects::refs);
        throw TavrikError::invalidRepository();
      },
      std::make_shared<RecordingNotification>(failed));
  queue->addOperation(failing);
  EXPECT_THROW(failing->future().wait(10s), TavrikError);
  queue->waitUntilAllOperationsAreFinished();
  // A failed operation still refreshes what it touched; only success adds its notification.
  EXPECT_EQ(failed.events(), (std::vector<std::string>{"prepare", "<GitAspects refs>"}));
  EXPECT_EQ(queue->pendingNotifications().size(), 1u);
  EXPECT_EQ(logs.messages(), (std::vector<std::string>{"git: ScriptedOperation failed: Invalid Repository"}));
}

TEST(GitOperation, CancelledOperationsSettleCancelledAndLogNothing) {
  Recorder recorder;
  auto queue = makeQueue();
  auto delegate = std::make_shared<RecordingDelegate>(recorder);
  queue->setDelegate(delegate);
  LogCapture logs;
  auto throwing = scripted([](GitOperationContext&, ScriptedOperation& self) -> int {
    self.cancel();
    throw std::runtime_error("interrupted");
  });
  std::latch gate(1);
  auto racing = scripted([&](GitOperationContext&, ScriptedOperation&) {
    gate.wait();
    return 1;
  }, "Push");
  auto notStarted = scripted([&](GitOperationContext&, ScriptedOperation&) {
    recorder.add("execute-not-started");
    return 1;
  });
  notStarted->cancel();
  for (auto& op : {throwing, racing, notStarted}) queue->addOperation(op);
  racing->cancel(); // whether or not its body has started, the cancel wins over its result
  gate.count_down();
  queue->waitUntilAllOperationsAreFinished();
  for (auto& op : {throwing, racing, notStarted}) EXPECT_THROW(op->future().wait(1s), pledge::CancelledError);
  EXPECT_EQ(recorder.count("execute-not-started"), 0u);
  EXPECT_EQ(recorder.count("didFinish:The operation was cancelled"), 2u);
  EXPECT_TRUE(logs.messages().empty());
  EXPECT_TRUE(queue->tasks().empty());
}

// Operations hold their queue weakly: one that starts after the client has
// released the queue runs nothing and rejects its future, so no waiter hangs.
TEST(GitOperation, OperationStartingAfterItsQueueIsReleasedRunsNothingAndFails) {
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
  auto op = scripted([&](GitOperationContext&, ScriptedOperation&) { return executed = true, 1; });
  queue->addOperation(op);
  queue.reset();
  gate->count_down();
  op->waitUntilFinished();
  EXPECT_FALSE(executed);
  try {
    op->future().wait(std::chrono::seconds(10));
    ADD_FAILURE() << "the future of an operation that could not run resolved";
  } catch (const TavrikError& error) {
    EXPECT_EQ(error, TavrikError::queueReleased());
  }
}

TEST(GitOperation, TitledOperationsPostQueueTasksOnAddAndCompletion) {
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  std::atomic<size_t> untitledSaw{99};
  queue->addOperation(scripted([&](GitOperationContext& c, ScriptedOperation&) { return untitledSaw = c.queue->tasks().size(), 0; }));
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(untitledSaw.load(), 0u);
  EXPECT_EQ(observer->calls.load(), 0);
  std::latch gate(1);
  queue->addOperation(scripted([&](GitOperationContext&, ScriptedOperation&) { return gate.wait(), 1; }, "First"));
  EXPECT_EQ(observer->queueTasks.load(), 1);
  ASSERT_EQ(queue->tasks().size(), 1u);
  EXPECT_EQ(queue->tasks()[0]->title(), "First");
  gate.count_down();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(observer->queueTasks.load(), 2);
  EXPECT_TRUE(queue->tasks().empty());
}

TEST(GitOperation, IndexLockSerialisesOnlyOperationsThatNeedIt) {
  auto run = [](bool needsLock, std::chrono::microseconds work) {
    auto queue = makeQueue();
    OverlapMeter meter;
    for (int i = 0; i < 200; ++i)
      queue->addOperation(makeOperation<ScriptedOperation>(std::nullopt, needsLock, [&meter, work](auto&, auto&) {
        meter.enter();
        std::this_thread::sleep_for(work);
        meter.leave();
        return 0;
      }));
    queue->waitUntilAllOperationsAreFinished();
    return meter.maximum.load();
  };
  EXPECT_EQ(run(true, 200us), 1);
  EXPECT_GT(run(false, 2ms), 1);
}

TEST(GitOperation, NextChainsOnTheSameQueueAndPassesFailuresThrough) {
  auto queue = makeQueue();
  auto chained = next(scripted([](auto&, auto&) { return 4; })->enqueue(queue), [](const GitQueueValue<int>& v) {
    return scripted([n = v.value](auto&, auto&) { return n * 10; });
  });
  auto result = chained.wait(10s);
  EXPECT_EQ(result.value, 40);
  EXPECT_EQ(result.queue, queue);
  std::atomic<bool> madeNext{false};
  auto failing = next(scripted([](auto&, auto&) -> int { throw TavrikError::noCommonAncestor(); })->enqueue(queue),
                      [&](const GitQueueValue<int>&) { return madeNext = true, scripted([](auto&, auto&) { return 0; }); });
  EXPECT_THROW(failing.wait(10s), TavrikError);
  EXPECT_FALSE(madeNext);
  auto null = next(scripted([](auto&, auto&) { return 1; })->enqueue(queue),
                   [](const GitQueueValue<int>&) { return std::shared_ptr<ScriptedOperation>(); });
  EXPECT_THROW(null.wait(10s), std::invalid_argument);
}

TEST(GitOperation, OverrideDescriptorReachesTheContext) {
  auto queue = makeQueue("/queue/repo");
  std::string seen;
  auto op = scripted([&](GitOperationContext& c, auto&) { return seen = c.requireDescriptor().url.path(), 0; });
  op->override(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL("/other/repo", true), false));
  runOn(queue, op);
  EXPECT_EQ(seen, "/other/repo");
  EXPECT_THROW(runOn(makeQueue(), scripted([](GitOperationContext& c, auto&) { return c.requireDescriptor(), 0; })),
               TavrikError);
}
