#include "tavrik/Queue/GitQueue.h"

#include "Queue/GitQueueInternals.h"
#include "Support/Helpers.h"
#include "tavrik/Operation/GitNotification.h"
#include "tavrik/Process/GitExecRepositoryDescriptorOperation.h"
#include "tavrik/Operation/GitTask.h"

#include <future>
#include <latch>
#include <thread>

using namespace std::chrono_literals;
using namespace tavrik;
using namespace tavrik::testing;

namespace {

std::shared_ptr<GitQueue> makeQueue() {
  Shell::setDefaultShell(nullptr); // no login-shell probe behind the tests
  return GitQueue::create(std::nullopt, nullptr, std::nullopt);
}

// A notification whose content reads the view of `queue`, when set.
struct TestNotification : GitNotification {
  TestNotification(GitAspects commitOn, std::optional<GitNotificationContent> content)
      : GitNotification(commitOn), content_(std::move(content)) {}
  std::optional<GitNotificationContent> content_;
  std::atomic<int> contentCalls{0};
  std::atomic<size_t> refsSeen{99};
  std::weak_ptr<GitQueue> queue;
  std::string logDescription() const override { return "test"; }
  void prepare(GitOperationHost&) override {}
  std::optional<GitNotificationContent> content() override {
    ++contentCalls;
    if (auto strong = queue.lock()) {
      const auto refs = strong->view().refs;
      refsSeen = refs ? refs->all.size() : 0;
    }
    return content_;
  }
};

struct ContentDelegate : GitQueueDelegate {
  Recorder committed;
  void gitQueueDidCommitNotification(const std::shared_ptr<GitQueue>&, const GitNotificationContent& c) override {
    committed.add(c.title + "|" + c.body);
  }
};

struct NoOperation : GitOperation<pledge::Void> {
  pledge::Void execute(GitOperationContext&) override { return {}; }
};

void setRefs(GitView& v) { v.refs = GitRefList::from({GitRef::named("refs/heads/main")}); }

} // namespace

// A notification commits once every aspect it waits on has changed, and only
// through changes that are real; one without content calls no delegate.
TEST(GitQueue, NotificationCommitsOnceAllItsAspectsReallyChanged) {
  auto queue = makeQueue();
  auto delegate = std::make_shared<ContentDelegate>();
  queue->setDelegate(delegate);
  auto waiting = std::make_shared<TestNotification>(GitAspects::head | GitAspects::refs, GitNotificationContent{"T", "", "B"});
  auto silent = std::make_shared<TestNotification>(GitAspects::refs, std::nullopt);
  static_cast<GitOperationHost&>(*queue).addNotification(waiting);
  static_cast<GitOperationHost&>(*queue).addNotification(silent);
  detail::GitQueueInternals::updateView(*queue, setRefs);
  EXPECT_EQ(queue->pendingNotifications(), (std::vector<std::shared_ptr<GitNotification>>{waiting}));
  EXPECT_EQ(waiting->commitOn(), GitAspects::head);
  EXPECT_EQ(silent->contentCalls.load(), 1);
  detail::GitQueueInternals::updateView(*queue, setRefs); // no change
  detail::GitQueueInternals::commitNotificationsWith(*queue, GitAspects::status);
  EXPECT_EQ(queue->pendingNotifications().size(), 1u);
  EXPECT_TRUE(delegate->committed.events().empty());
  detail::GitQueueInternals::updateView(*queue, [](GitView& v) { v.headList.head.refname = "main"; });
  EXPECT_TRUE(queue->pendingNotifications().empty());
  EXPECT_EQ(delegate->committed.events(), (std::vector<std::string>{"T|B"}));
  EXPECT_EQ(waiting->contentCalls.load(), 1);
}

// Contents are asked for under the notifications lock: updateView must have
// released the view lock by then, or a content that reads the view takes it twice.
TEST(GitQueue, NotificationContentMayReadTheView) {
  auto queue = makeQueue();
  auto note = std::make_shared<TestNotification>(GitAspects::refs, GitNotificationContent{"t", "", "b"});
  note->queue = queue;
  static_cast<GitOperationHost&>(*queue).addNotification(note);
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  std::thread([queue, done] {
    detail::GitQueueInternals::updateView(*queue, setRefs);
    done->set_value();
  }).detach(); // left blocked, not joined, if the locks deadlock
  ASSERT_EQ(finished.wait_for(10s), std::future_status::ready) << "updateView deadlocked";
  EXPECT_EQ(note->refsSeen.load(), 1u);
}

TEST(GitQueue, ObserversHearOnlyRealChanges) {
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  EXPECT_TRUE(detail::GitQueueInternals::updateView(*queue, [](GitView& v) { v.status = GitStatusList{}; }).status); // absent -> empty
  detail::GitQueueInternals::updateView(*queue, [](GitView& v) { v.status = GitStatusList{}; });
  detail::GitQueueInternals::updateView(*queue, [](GitView& v) { v.config = GitConfigSnapshot::make(); }); // same values
  GitLogDescriptor d;
  d.type = GitLogType::stash;
  queue->setLogDescriptor(d);
  queue->setLogDescriptor(d);
  EXPECT_EQ(observer->received.events(), (std::vector<std::string>{"<GitAspects status>", "<GitAspects logDescriptor>"}));
}

// A reader's record is in the view before its future settles, observers
// hear only a real change; an operation of the same result type that is not
// a reader, or a reader run inline, leaves the view alone.
TEST(GitQueue, OnlyReadersRunOnTheQueueStoreTheirRecords) {
  struct RefsOperation : GitOperation<SharedValue<GitRefList>> {
    explicit RefsOperation(bool reader) : reader(reader) {}
    const bool reader;
    bool storesResultInView() const override { return reader; }
    SharedValue<GitRefList> execute(GitOperationContext&) override {
      return GitRefList::from({GitRef::named("refs/heads/main")});
    }
  };
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  makeOperation<RefsOperation>(false)->enqueue(queue).wait(10s);
  GitOperationContext context(queue);
  makeOperation<RefsOperation>(true)->execute(context);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue->view(), GitView::empty());
  for (int run = 0; run < 2; ++run) {
    auto stored = makeOperation<RefsOperation>(true)->enqueue(queue).wait(10s).value;
    EXPECT_EQ(queue->view().refs, stored);
  }
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(observer->received.events(), (std::vector<std::string>{"<GitAspects refs>"}));
}

// A refresh starts one reader per aspect; logDescriptor only posts, and
// stateFiles or queueTasks start nothing.
TEST(GitQueue, UpdateViewForStartsOneReaderPerAspect) {
  auto queue = makeQueue();
  Recorder made;
  queue->setViewOperationFactory([&](GitAspects aspect) -> std::shared_ptr<GitQueueOperation> {
    made.add(aspect.debugDescription());
    return makeOperation<NoOperation>();
  });
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  queue->updateViewFor(GitAspects::stateFiles | GitAspects::queueTasks);
  queue->updateViewFor(GitAspects::status | GitAspects::head | GitAspects::logDescriptor);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(made.events(), (std::vector<std::string>{"<GitAspects head>", "<GitAspects status>"}));
  EXPECT_EQ(observer->received.events(), (std::vector<std::string>{"<GitAspects logDescriptor>"}));
}

TEST(GitQueue, ObserversAreHeldWeaklyRemovableAndDeliveredOnTheirQueue) {
  auto queue = makeQueue();
  auto delivery = std::make_shared<OperationQueue>(1);
  struct ThreadObserver : GitQueueObserver {
    std::atomic<std::thread::id> thread{};
    void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects) override { thread = std::this_thread::get_id(); }
  };
  auto kept = std::make_shared<CountingObserver>();
  auto dropped = std::make_shared<CountingObserver>();
  auto elsewhere = std::make_shared<ThreadObserver>();
  std::weak_ptr<CountingObserver> droppedWeak = dropped;
  auto keptToken = queue->addChangeObserver(kept);
  auto droppedToken = queue->addChangeObserver(dropped);
  auto elsewhereToken = queue->addChangeObserver(elsewhere, delivery);
  dropped.reset();
  EXPECT_TRUE(droppedWeak.expired());
  detail::GitQueueInternals::notifyObservers(*queue, GitAspects::refs);
  queue->removeChangeObserver(keptToken);
  detail::GitQueueInternals::notifyObservers(*queue, GitAspects::refs);
  delivery->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(kept->calls.load(), 1);
  EXPECT_NE(elsewhere->thread.load(), std::thread::id{});
  EXPECT_NE(elsewhere->thread.load(), std::this_thread::get_id());
}

// Many writers on the view, observers and notifications at once; meant for
// ThreadSanitizer.
TEST(GitQueue, ConcurrentViewUpdatesAndReads) {
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([queue, t] {
      for (int i = 0; i < 100; ++i) {
        detail::GitQueueInternals::updateView(*queue, [&](GitView& v) { v.headList.head.refname = std::to_string(t * 1000 + i); });
        static_cast<GitOperationHost&>(*queue).addNotification(std::make_shared<TestNotification>(GitAspects::head, std::nullopt));
        (void)queue->view();
        (void)queue->tasks();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(observer->calls.load(), 400);
  // Each notification was added before a later head change, except possibly the last few.
  EXPECT_LE(queue->pendingNotifications().size(), 4u);
}

TEST(GitQueue, CancelAllOperationsCancelsQueuedFutures) {
  struct Gate : GitOperation<int> {
    explicit Gate(std::shared_ptr<std::latch> g) : gate(std::move(g)) {}
    std::shared_ptr<std::latch> gate;
    int execute(GitOperationContext&) override {
      gate->wait();
      return 1;
    }
  };
  auto queue = makeQueue();
  auto gate = std::make_shared<std::latch>(1);
  std::vector<std::shared_ptr<Gate>> ops;
  // More than the workers, so some are still queued when cancelled.
  for (int i = 0; i < OperationQueue::defaultMaxConcurrentOperationCount() + 4; ++i) {
    ops.push_back(makeOperation<Gate>(gate));
    queue->addOperation(ops.back());
  }
  queue->cancelAllOperations();
  gate->count_down();
  queue->waitUntilAllOperationsAreFinished();
  for (auto& op : ops) EXPECT_TRUE(op->future().isCancelled());
}

// Without TAVRIK_GIT_PREFIX the shared queues find git as the client does,
// on PATH, and run git operations.
TEST(GitQueue, SharedQueuesRunGitWithoutAPrefixVariable) {
  unsetenv("TAVRIK_GIT_PREFIX");
  TempDir cache;
  setenv("XDG_CACHE_HOME", cache.path().c_str(), 1);
  ScratchRepo repo;
  Shell::setDefaultShell(nullptr);
  ASSERT_TRUE(GitQueue::sharedSupportURL());
  EXPECT_EQ(GitQueue::sharedSupportURL()->path().rfind(cache.path().string(), 0), 0u);
  for (const auto& queue : {GitQueue::global(), GitQueue::repositoryStatus(), GitQueue::repositoryInfo()}) {
    auto descriptor =
        runOn(queue, makeOperation<GitExecRepositoryDescriptorOperation>(Url::fileURL(repo.path().string(), true)));
    EXPECT_EQ(descriptor.url.path(), repo.path().string());
  }
}
