#include "tavrik/Queue/GitQueue.h"

#include "QueueTestSupport.h"
#include "tavrik/Process/GitNotification.h"
#include "tavrik/Queue/GitOperation.h"
#include "tavrik/Queue/GitTask.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <latch>
#include <thread>

using namespace std::chrono_literals;
using namespace tavrik;
using tavrik::testing::CountingObserver;
using tavrik::testing::Recorder;

namespace {

std::shared_ptr<GitQueue> makeQueue() { return GitQueue::create(std::nullopt, nullptr, std::nullopt); }

// A notification that records when it is asked for its content.
struct TestNotification : GitNotification {
  TestNotification(std::string name, GitAspects commitOn, std::optional<GitNotificationContent> content)
      : GitNotification(commitOn), name(std::move(name)), content_(std::move(content)) {}
  std::string name;
  std::optional<GitNotificationContent> content_;
  std::atomic<int> contentCalls{0};
  std::string logDescription() const override { return name; }
  void prepare(GitQueue&) override {}
  std::optional<GitNotificationContent> content(GitQueue&) override {
    ++contentCalls;
    return content_;
  }
};

struct ContentDelegate : GitQueueDelegate {
  Recorder committed;
  void gitQueueDidCommitNotification(const std::shared_ptr<GitQueue>&, const GitNotificationContent& c) override {
    committed.add(c.title + "|" + c.subtitle + "|" + c.body);
  }
};

struct ViewReaderOperation : GitOperation<pledge::Void> {
  pledge::Void execute(GitOperationContext&) override { return {}; }
};

} // namespace

TEST(GitQueue, NoPrefixMeansNoToolLocations) {
  auto queue = makeQueue();
  EXPECT_EQ(queue->binURL(), std::nullopt);
  EXPECT_EQ(queue->libexecGitCoreURL(), std::nullopt);
  EXPECT_EQ(queue->gitTemplatesURL(), std::nullopt);
  EXPECT_EQ(queue->gitBinaryURL(), std::nullopt);
  EXPECT_EQ(queue->askpassBinaryURL(), std::nullopt);
  EXPECT_EQ(queue->editorBinaryURL(), std::nullopt);
}

TEST(GitQueue, ToolLocationsUnderThePrefix) {
  auto queue = GitQueue::create(std::nullopt, nullptr, Url::fileURL("/opt/git", true));
  EXPECT_EQ(queue->binURL()->path(), "/opt/git/bin");
  EXPECT_TRUE(queue->binURL()->hasDirectoryPath());
  EXPECT_EQ(queue->libexecGitCoreURL()->path(), "/opt/git/libexec/git-core");
  EXPECT_EQ(queue->gitTemplatesURL()->path(), "/opt/git/share/git-core/templates");
  EXPECT_EQ(queue->gitBinaryURL()->path(), "/opt/git/bin/git");
  EXPECT_EQ(queue->askpassBinaryURL()->path(), "/opt/git/bin/askpass");
  EXPECT_EQ(queue->editorBinaryURL()->path(), "/opt/git/bin/editor");
}

TEST(GitQueue, KeepsItsArguments) {
  auto personas = std::make_shared<persona::FixedPersonaManager>(persona::Persona{"A", "a@x"});
  auto descriptor = GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL("/r", true), false);
  auto queue = GitQueue::create(descriptor, personas, Url::fileURL("/p", true));
  EXPECT_EQ(queue->descriptor(), descriptor);
  EXPECT_EQ(queue->personaManager(), personas);
  EXPECT_EQ(queue->prefixURL()->path(), "/p");
  EXPECT_EQ(queue->operationQueue().maxConcurrentOperationCount(),
            std::max(static_cast<int>(std::thread::hardware_concurrency()), 8));
  EXPECT_EQ(queue->view(), GitView::empty());
  EXPECT_TRUE(queue->tasks().empty());
}

TEST(GitQueue, SharedQueuesAreThreeDistinctSingletons) {
  auto g = GitQueue::global(), s = GitQueue::repositoryStatus(), i = GitQueue::repositoryInfo();
  EXPECT_NE(g, s);
  EXPECT_NE(s, i);
  EXPECT_NE(g, i);
  EXPECT_EQ(g, GitQueue::global());
  EXPECT_EQ(s, GitQueue::repositoryStatus());
  EXPECT_EQ(i, GitQueue::repositoryInfo());
  EXPECT_EQ(g->descriptor(), std::nullopt);
  EXPECT_EQ(g->personaManager(), nullptr);
  EXPECT_EQ(g->prefixURL(), GitQueue::sharedSupportURL());
}

TEST(GitQueue, SharedQueuesAreCreatedOnceUnderContention) {
  std::vector<std::future<GitQueue*>> results;
  for (int t = 0; t < 8; ++t)
    results.push_back(std::async(std::launch::async, [] { return GitQueue::repositoryInfo().get(); }));
  auto first = results[0].get();
  for (size_t t = 1; t < results.size(); ++t) EXPECT_EQ(results[t].get(), first);
}

TEST(GitQueue, CommitWithEmptyAspectsDoesNothing) {
  auto queue = makeQueue();
  auto note = std::make_shared<TestNotification>("n", GitAspects{}, GitNotificationContent{"t", "s", "b"});
  queue->addNotification(note);
  queue->commitNotificationsWith({});
  EXPECT_EQ(queue->pendingNotifications().size(), 1u);
  EXPECT_EQ(note->contentCalls.load(), 0);
}

TEST(GitQueue, NotificationCommitsOnlyOnceAllItsAspectsChanged) {
  auto queue = makeQueue();
  auto delegate = std::make_shared<ContentDelegate>();
  queue->setDelegate(delegate);
  auto waiting = std::make_shared<TestNotification>("waiting", GitAspects{GitAspects::head, GitAspects::refs},
                                                    GitNotificationContent{"Pushed \"origin\"", "main", "Pushed 2 commits"});
  auto silent = std::make_shared<TestNotification>("silent", GitAspects::refs, std::nullopt);
  queue->addNotification(waiting);
  queue->addNotification(silent);

  queue->commitNotificationsWith(GitAspects::refs);
  // The silent one is done (no content, no delegate call); the other still waits on head.
  EXPECT_EQ(queue->pendingNotifications(), (std::vector<std::shared_ptr<GitNotification>>{waiting}));
  EXPECT_EQ(waiting->commitOn(), GitAspects::head);
  EXPECT_EQ(silent->contentCalls.load(), 1);
  EXPECT_TRUE(delegate->committed.events().empty());

  queue->commitNotificationsWith(GitAspects::status);
  EXPECT_EQ(queue->pendingNotifications().size(), 1u);

  queue->commitNotificationsWith(GitAspects::head);
  EXPECT_TRUE(queue->pendingNotifications().empty());
  EXPECT_EQ(delegate->committed.events(), (std::vector<std::string>{"Pushed \"origin\"|main|Pushed 2 commits"}));
  EXPECT_EQ(waiting->contentCalls.load(), 1);
}

TEST(GitQueue, ViewUpdatesCommitPendingNotifications) {
  auto queue = makeQueue();
  auto delegate = std::make_shared<ContentDelegate>();
  queue->setDelegate(delegate);
  queue->addNotification(std::make_shared<TestNotification>("n", GitAspects{GitAspects::head, GitAspects::refs},
                                                            GitNotificationContent{"T", "", "B"}));
  queue->updateView([](GitView& v) { v.refs = GitRefList::from({GitRef::named("refs/heads/main")}); });
  EXPECT_EQ(queue->pendingNotifications().size(), 1u);
  queue->updateView([](GitView& v) { v.refs = GitRefList::from({GitRef::named("refs/heads/main")}); }); // no change
  EXPECT_EQ(queue->pendingNotifications().size(), 1u);
  queue->updateView([](GitView& v) { v.headList.head.refname = "main"; });
  EXPECT_TRUE(queue->pendingNotifications().empty());
  EXPECT_EQ(delegate->committed.events(), (std::vector<std::string>{"T||B"}));
}

// A notification's content reads the view while the queue holds the
// notifications lock. If updateView still held the view lock at that point,
// this would deadlock (the same thread taking the view lock twice).
TEST(GitQueue, NotificationContentMayReadTheView) {
  struct ViewReadingNotification : GitNotification {
    ViewReadingNotification() : GitNotification(GitAspects::refs) {}
    std::atomic<size_t> refsSeen{99};
    std::string logDescription() const override { return "reads view"; }
    void prepare(GitQueue& queue) override { (void)queue.view(); }
    std::optional<GitNotificationContent> content(GitQueue& queue) override {
      refsSeen = queue.view().refs.all.size();
      return GitNotificationContent{"t", "", "b"};
    }
  };
  auto queue = makeQueue();
  auto note = std::make_shared<ViewReadingNotification>();
  queue->addNotification(note);
  auto done = std::async(std::launch::async, [queue] {
    queue->updateView([](GitView& v) { v.refs = GitRefList::from({GitRef::named("refs/heads/x")}); });
  });
  ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "updateView deadlocked";
  EXPECT_EQ(note->refsSeen.load(), 1u);
}

TEST(GitQueue, UpdateViewReportsOnlyRealChanges) {
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);

  auto stored = queue->updateView([](GitView& v) { v.status = GitStatusList{}; }); // nil -> empty list
  EXPECT_TRUE(stored.status.has_value());
  EXPECT_EQ(queue->view().status, GitStatusList{});
  queue->updateView([](GitView& v) { v.status = GitStatusList{}; }); // same again
  queue->updateView([](GitView&) {});
  EXPECT_EQ(observer->received.events(), (std::vector<std::string>{"<GitAspects status>"}));
}

TEST(GitQueue, SettingTheSameLogDescriptorTwicePostsOnce) {
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  GitLogDescriptor d;
  d.type = GitLogType::stash;
  queue->setLogDescriptor(d);
  queue->setLogDescriptor(d);
  EXPECT_EQ(observer->received.events(), (std::vector<std::string>{"<GitAspects logDescriptor>"}));
  EXPECT_EQ(queue->view().logDescriptor, d);
}

TEST(GitQueue, UpdateViewForStartsOneViewOperationPerAspectInOrder) {
  auto queue = makeQueue();
  Recorder made;
  queue->setViewOperationFactory([&](GitAspects aspect) -> std::shared_ptr<GitQueueOperation> {
    made.add(std::to_string(aspect.rawValue));
    return makeOperation<ViewReaderOperation>();
  });
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);

  queue->updateViewFor(GitAspects{GitAspects::status, GitAspects::head});
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(made.events(), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(observer->calls.load(), 0); // untitled readers, nothing changed

  queue->updateViewFor(GitAspects::all);
  EXPECT_EQ(made.events(),
            (std::vector<std::string>{"1", "2", "1", "2", "4", "512", "16", "128", "256"}));
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(observer->received.events(), (std::vector<std::string>{"<GitAspects logDescriptor>"}));
}

TEST(GitQueue, UpdateViewForStateFilesOrQueueTasksDoesNothing) {
  auto queue = makeQueue();
  std::atomic<int> made{0};
  queue->setViewOperationFactory([&](GitAspects) -> std::shared_ptr<GitQueueOperation> {
    ++made;
    return nullptr;
  });
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  queue->updateViewFor(GitAspects::stateFiles);
  queue->updateViewFor(GitAspects::queueTasks);
  queue->updateViewFor(GitAspects{GitAspects::stateFiles, GitAspects::queueTasks});
  EXPECT_EQ(made.load(), 0);
  EXPECT_EQ(observer->calls.load(), 0);
}

TEST(GitQueue, UpdateViewForLogDescriptorPostsAtOnceWithoutCommitting) {
  auto queue = makeQueue();
  auto note = std::make_shared<TestNotification>("n", GitAspects::logDescriptor, GitNotificationContent{});
  queue->addNotification(note);
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  queue->updateViewFor(GitAspects::logDescriptor);
  EXPECT_EQ(observer->received.events(), (std::vector<std::string>{"<GitAspects logDescriptor>"}));
  EXPECT_EQ(queue->pendingNotifications().size(), 1u);
  EXPECT_EQ(queue->view(), GitView::empty());

  // A real descriptor change does commit it.
  GitLogDescriptor d;
  d.showsAllRefs = true;
  queue->setLogDescriptor(d);
  EXPECT_TRUE(queue->pendingNotifications().empty());
}

// "changes" must be a GitAspects; an observer is not called with anything else.
TEST(GitQueue, ObserverIgnoresChangesThatAreNotAspects) {
  auto queue = makeQueue();
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  auto& center = queue->notificationCenter();
  center.post({GitQueue::gitQueueViewDidChangeNotification, queue.get(), {{"changes", std::any(uint32_t{1})}}});
  center.post({GitQueue::gitQueueViewDidChangeNotification, queue.get(), {}});
  center.post({GitQueue::gitQueueViewDidChangeNotification, nullptr, {{"changes", std::any(GitAspects::head)}}});
  EXPECT_EQ(observer->calls.load(), 0);
  center.post({GitQueue::gitQueueViewDidChangeNotification, queue.get(), {{"changes", std::any(GitAspects::head)}}});
  EXPECT_EQ(observer->calls.load(), 1);
}

TEST(GitQueue, ObserversAreHeldWeaklyAndRemovable) {
  auto queue = makeQueue();
  auto kept = std::make_shared<CountingObserver>();
  auto dropped = std::make_shared<CountingObserver>();
  std::weak_ptr<CountingObserver> droppedWeak = dropped;
  auto keptToken = queue->addChangeObserver(kept);
  auto droppedToken = queue->addChangeObserver(dropped);
  dropped.reset();
  EXPECT_TRUE(droppedWeak.expired());
  queue->notifyObservers(GitAspects::refs);
  EXPECT_EQ(kept->calls.load(), 1);
  queue->removeChangeObserver(keptToken);
  queue->notifyObservers(GitAspects::refs);
  queue->notifyObservers({}); // empty: nothing posted at all
  EXPECT_EQ(kept->calls.load(), 1);
}

TEST(GitQueue, ObserverOnADeliveryQueueRunsThere) {
  auto queue = makeQueue();
  auto delivery = std::make_shared<OperationQueue>(1);
  struct ThreadObserver : GitQueueObserver {
    std::atomic<std::thread::id> thread{};
    std::shared_ptr<GitQueue> seenQueue;
    void gitQueueDidChange(const std::shared_ptr<GitQueue>& q, GitAspects) override {
      seenQueue = q;
      thread = std::this_thread::get_id();
    }
  };
  auto observer = std::make_shared<ThreadObserver>();
  auto token = queue->addChangeObserver(observer, delivery);
  queue->notifyObservers(GitAspects::head);
  delivery->waitUntilAllOperationsAreFinished();
  EXPECT_NE(observer->thread.load(), std::thread::id{});
  EXPECT_NE(observer->thread.load(), std::this_thread::get_id());
  EXPECT_EQ(observer->seenQueue, queue);
  observer->seenQueue.reset();
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
        queue->updateView([&](GitView& v) { v.headList.head.refname = std::to_string(t * 1000 + i); });
        queue->addNotification(std::make_shared<TestNotification>("n", GitAspects::head, std::nullopt));
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
  for (auto& op : ops) {
    EXPECT_TRUE(op->future().isCancelled());
    EXPECT_TRUE(op->isFinished());
  }
}
