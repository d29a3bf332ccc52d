#include "Support/Helpers.h"
#include "Support/ScenarioRepo.h"

#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Queue/GitRepositoryWatcher.h"
#include "tavrik/State/GitViewWorktreesOperation.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace tavrik;
using namespace tavrik::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Collects the aspects observers are told of, and lets a test wait for some.
struct AspectWaiter : GitQueueObserver {
  void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects aspects) override {
    aspects.remove(GitAspects::queueTasks);
    if (aspects.isEmpty()) return;
    std::lock_guard lock(mutex);
    seen.insert(aspects);
    ++calls;
    changed.notify_all();
  }
  ::testing::AssertionResult waitFor(GitAspects wanted, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex);
    if (changed.wait_for(lock, limit, [&] { return seen.contains(wanted); })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "saw " << seen.debugDescription() << " (" << seen.rawValue << ")";
  }
  GitAspects take() {
    std::lock_guard lock(mutex);
    auto aspects = seen;
    seen = {};
    calls = 0;
    return aspects;
  }
  std::mutex mutex;
  std::condition_variable changed;
  GitAspects seen;
  int calls = 0;
};

struct Watched {
  explicit Watched(GitRepositoryWatcherOptions options = {}) {
    repo.commitFile("a.txt", "one\n", "first");
    repo.write(".gitignore", "build/\n*.log\n");
    repo.git({"add", ".gitignore"});
    repo.git({"commit", "-qm", "ignore"});
    fs::create_directories(repo.path() / "src" / "deep");
    repo.commitFile("src/deep/b.txt", "b\n", "second");
    fs::create_directories(repo.path() / "build" / "obj");
    queue = readerQueue(repo);
    queue->updateViewFor(GitAspects::all);
    queue->waitUntilAllOperationsAreFinished();
    waiter = std::make_shared<AspectWaiter>();
    queue->addChangeObserver(waiter);
    watcher = GitRepositoryWatcher::attach(queue, options);
  }
  // Lets the watcher's last refresh run and its observers be told.
  void settle(std::chrono::milliseconds quiet = 300ms) {
    std::this_thread::sleep_for(quiet);
    queue->waitUntilAllOperationsAreFinished();
  }
  size_t refreshes() const { return watcher->statistics().refreshes; }

  ScratchRepo repo;
  std::shared_ptr<GitQueue> queue;
  std::shared_ptr<AspectWaiter> waiter;
  std::shared_ptr<GitRepositoryWatcher> watcher;
};

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::set<std::string> viewStatusPaths(GitQueue& queue) {
  std::set<std::string> paths;
  auto view = queue.view();
  if (view.status)
    for (auto& entry : view.status->entries) paths.insert(entry.path().value_or(""));
  return paths;
}

std::set<std::string> gitStatusPaths(const GitDir& repo) {
  std::set<std::string> paths;
  for (auto& record : split(repo.git({"status", "-z", "--porcelain=v1", "--untracked-files=normal"}), '\0'))
    if (record.size() > 3) paths.insert(record.substr(3));
  return paths;
}

} // namespace

TEST(GitRepositoryWatcher, OutsideGitCommandsRefreshWhatTheyChanged) {
  Watched w;
  // An editor's save: a new file renamed over the old one.
  writeFile(w.repo.path() / "a.txt.swp", "two\n");
  fs::rename(w.repo.path() / "a.txt.swp", w.repo.path() / "a.txt");
  EXPECT_TRUE(w.waiter->waitFor(GitAspects::status));
  EXPECT_EQ(viewStatusPaths(*w.queue), std::set<std::string>{"a.txt"});
  w.settle();
  w.waiter->take();

  w.repo.git({"commit", "-qam", "outside"});
  EXPECT_TRUE(w.waiter->waitFor({GitAspects::head, GitAspects::refs, GitAspects::status}));
  // The reflogs' names stay the same, so observers hear nothing of them; asked for they were.
  EXPECT_TRUE(w.watcher->statistics().refreshedAspects.contains(GitAspects::reflogs));
  ASSERT_TRUE(w.queue->view().headList.head.commit);
  EXPECT_EQ(w.queue->view().headList.head.commit->string(), w.repo.rev("HEAD"));
  w.settle();
  w.waiter->take();

  w.repo.git({"checkout", "-qb", "topic/x"});
  EXPECT_TRUE(w.waiter->waitFor({GitAspects::head, GitAspects::refs}));
  w.settle();
  w.waiter->take();

  w.repo.write("a.txt", "stashed\n");
  w.repo.git({"stash", "-q"});
  EXPECT_TRUE(w.waiter->waitFor(GitAspects::stashes));
  EXPECT_EQ(w.queue->view().stashList.entries.size(), 1u);
  w.settle();
  w.waiter->take();

  w.repo.git({"config", "watch.test", "yes"});
  EXPECT_TRUE(w.waiter->waitFor(GitAspects::config));
  w.settle();
  w.waiter->take();

  // A merge that stops on a conflict.
  w.repo.git({"checkout", "-qb", "other", "HEAD~1"});
  w.repo.commitFile("a.txt", "theirs\n", "theirs");
  w.repo.git({"checkout", "-q", "topic/x"});
  w.settle();
  w.waiter->take();
  EXPECT_FALSE(w.repo.tryGit({"merge", "-q", "other"}).status == 0);
  EXPECT_TRUE(w.waiter->waitFor({GitAspects::stateFiles, GitAspects::status}));
  EXPECT_EQ(w.queue->view().headList.stateFiles.state, GitState::merge);
}

TEST(GitRepositoryWatcher, IgnoredWritesLockFilesAndOwnOperationsCauseNoRefresh) {
  // A configuration that changes how git prints must not change what is ignored.
  TempDir config;
  writeFile(config.path() / "hostile", "[color]\nui=always\n[core]\nquotepath\n[column]\nui=always\n");
  setenv("GIT_CONFIG_GLOBAL", (config.path() / "hostile").c_str(), 1);
  std::shared_ptr<void> restore(nullptr, [](void*) { setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1); });
  Watched w;
  writeFile(w.repo.path() / "build" / "obj" / "x.o", "object");
  writeFile(w.repo.path() / "src" / "caf\xff.log", "ignored, named in bytes that are not UTF-8");
  fs::create_directories(w.repo.path() / "build" / "new" / "deeper");
  writeFile(w.repo.path() / "build" / "new" / "deeper" / "y.o", "object");
  writeFile(w.repo.path() / "src" / "trace.log", "ignored next to sources");
  writeFile(w.repo.path() / ".git" / "index.lock.tmp.lock", "");
  fs::remove(w.repo.path() / ".git" / "index.lock.tmp.lock");
  w.settle(400ms);
  EXPECT_EQ(w.refreshes(), 0u);
  EXPECT_TRUE(w.waiter->take().isEmpty());

  // The engine's own staging writes the index; its run refreshes status itself.
  w.repo.write("a.txt", "staged\n");
  ASSERT_TRUE(w.waiter->waitFor(GitAspects::status));
  w.settle();
  auto before = w.refreshes();
  runOn(w.queue, makeOperation<GitExecAddOperation>(std::set<std::string>{"a.txt"}));
  w.settle(400ms);
  EXPECT_EQ(w.refreshes(), before);
  EXPECT_EQ(w.queue->view().status->entries.at(0).index, GitStatus::modified);

  w.waiter->take();
  writeFile(w.repo.path() / "src" / "caf\xff.txt", "not ignored");
  EXPECT_TRUE(w.waiter->waitFor(GitAspects::status));
  EXPECT_TRUE(viewStatusPaths(*w.queue).count("src/caf\xff.txt"));
}

TEST(GitRepositoryWatcher, FoldersMadeWhileWatchingAreWatchedAndDropped) {
  Watched w;
  auto folders = w.watcher->statistics().watchedFolders;
  fs::create_directories(w.repo.path() / "n1" / "n2" / "n3");
  writeFile(w.repo.path() / "n1" / "n2" / "n3" / "f.txt", "new");
  EXPECT_TRUE(w.waiter->waitFor(GitAspects::status));
  w.settle();
  EXPECT_EQ(w.watcher->statistics().watchedFolders, folders + 3);
  w.waiter->take();

  // A write deep inside the new folders is seen through their own watches.
  writeFile(w.repo.path() / "n1" / "n2" / "n3" / "g.txt", "newer");
  w.repo.git({"add", "n1"});
  EXPECT_TRUE(w.waiter->waitFor(GitAspects::status));
  EXPECT_EQ(viewStatusPaths(*w.queue), (std::set<std::string>{"n1/n2/n3/f.txt", "n1/n2/n3/g.txt"}));

  w.repo.git({"rm", "-rqf", "n1"});
  for (int i = 0; i < 100 && w.watcher->statistics().watchedFolders != folders; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(w.watcher->statistics().watchedFolders, folders);
  w.settle();
  EXPECT_EQ(viewStatusPaths(*w.queue), gitStatusPaths(w.repo));
}

TEST(GitRepositoryWatcher, ABurstEndsInFewRefreshesAndGitsStatus) {
  Watched w;
  auto started = std::chrono::steady_clock::now();
  for (int folder = 0; folder < 20; ++folder) {
    auto dir = w.repo.path() / ("burst" + std::to_string(folder));
    fs::create_directory(dir);
    for (int file = 0; file < 1000; ++file) writeFile(dir / ("f" + std::to_string(file)), "x");
  }
  auto writing = std::chrono::steady_clock::now() - started;
  w.settle(1500ms);
  // One refresh per maximum delay while the writes go on (longer on a busy
  // machine), and a few at the end.
  EXPECT_LE(w.refreshes(), 4u + static_cast<size_t>(writing / 1s));
  EXPECT_EQ(viewStatusPaths(*w.queue), gitStatusPaths(w.repo));
}

TEST(GitRepositoryWatcher, AtTheWatchLimitItSaysSoOnceAndFallsBackToPolling) {
  LogCapture log;
  GitRepositoryWatcherOptions options;
  options.maximumWatches = 2;
  options.fallbackInterval = 200ms;
  Watched w(options);
  EXPECT_TRUE(w.watcher->statistics().workingTreeFallback);
  auto messages = log.messages(LogLevel::error);
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](auto& m) { return m.find("more folders than inotify may watch") != std::string::npos; }),
            1);
  w.repo.write("src/deep/b.txt", "changed\n");
  EXPECT_TRUE(w.waiter->waitFor(GitAspects::status));
  // The git directories are still watched.
  w.repo.git({"checkout", "-qb", "polled"});
  EXPECT_TRUE(w.waiter->waitFor({GitAspects::head, GitAspects::refs}));
}

TEST(GitRepositoryWatcher, DetachedOrQueuelessWatchersStayQuiet) {
  Watched w;
  w.watcher->detach();
  EXPECT_FALSE(w.watcher->isAttached());
  w.repo.write("a.txt", "after detach\n");
  w.repo.git({"checkout", "-qb", "unseen"});
  w.settle(400ms);
  EXPECT_EQ(w.refreshes(), 0u);
  EXPECT_TRUE(w.waiter->take().isEmpty());

  Watched released;
  auto watcher = released.watcher;
  std::weak_ptr<GitQueue> weak = released.queue;
  released.queue.reset();
  EXPECT_TRUE(weak.expired());
  released.repo.write("a.txt", "nobody listens\n");
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(watcher->statistics().refreshes, 0u);
  watcher->detach();
}

// Holds the first refresh asked for after `arm`, on the asking thread.
struct RefreshBlocker : GitQueueRunObserver {
  void gitQueueOperationWillRun(GitQueue&) override {}
  void gitQueueOperationDidRun(GitQueue&) override {}
  void gitQueueWillRefresh(GitQueue&, GitAspects) override {
    std::unique_lock lock(mutex);
    if (!armed) return;
    armed = false;
    blocked = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
  }
  void arm() {
    std::lock_guard lock(mutex);
    armed = true;
  }
  bool waitUntilBlocked() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return blocked; });
  }
  void release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool armed = false, blocked = false, released = false;
};

TEST(GitRepositoryWatcher, AnOverflowOfTheKernelQueueRefreshesEverything) {
  Watched w;
  // The watcher's own thread asks for the refresh, so it stays away from
  // its events while the kernel's queue fills up.
  auto blocker = std::make_shared<RefreshBlocker>();
  w.queue->addRunObserver(blocker);
  const auto monitor = w.watcher->fsmonitorEnvironment();
  const auto answered = askFsmonitor(w.repo, monitor, "0");
  const auto token = answered.substr(0, answered.find('\n'));
  blocker->arm();
  w.repo.write("a.txt", "wakes the watcher\n");
  ASSERT_TRUE(blocker->waitUntilBlocked());
  for (int i = 0; i < 7000; ++i) writeFile(w.repo.path() / "src" / std::to_string(i), "x");
  // Made once the queue is full: only a rescan finds this folder.
  fs::create_directory(w.repo.path() / "flood");
  blocker->release();
  for (int i = 0; i < 200 && w.watcher->statistics().overflows == 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(w.watcher->statistics().overflows, 1u);
  // What the kernel dropped is unknown: git must check everything.
  auto afterOverflow = askFsmonitor(w.repo, monitor, token);
  EXPECT_EQ(afterOverflow.substr(afterOverflow.find('\n')), "\n/\n");
  w.settle(500ms);
  EXPECT_EQ(w.watcher->statistics().refreshedAspects,
            GitAspects::all.subtracting({GitAspects::queueTasks, GitAspects::logDescriptor}));
  EXPECT_EQ(viewStatusPaths(*w.queue), gitStatusPaths(w.repo));
  // The folder made during the overflow is watched after the rescan.
  // Only a watch on the folder sees the new untracked file (git lists it as
  // its folder; no index change to lean on). A refresh still under way from
  // the rescan may be told first, so wait for the entry, not the next change.
  writeFile(w.repo.path() / "flood" / "late", "y");
  bool seen = false;
  for (int i = 0; i < 500 && !(seen = viewStatusPaths(*w.queue).count("flood/") > 0); ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(seen);
}

TEST(GitRepositoryWatcher, AChangeInsideASubmoduleRefreshesSubmodules) {
  Watched w;
  ScratchRepo lib;
  lib.commitFile("lib.txt", "lib\n", "lib");
  w.repo.git({"-c", "protocol.file.allow=always", "submodule", "add", "-q", lib.path().string(), "sub"});
  w.repo.git({"commit", "-qm", "submodule"});
  EXPECT_TRUE(w.waiter->waitFor(GitAspects::submodules));
  w.settle();
  w.waiter->take();
  // Found in a folder made while watching: its files are another repository's.
  writeFile(w.repo.path() / "sub" / "lib.txt", "changed inside\n");
  EXPECT_TRUE(w.waiter->waitFor({GitAspects::submodules, GitAspects::status}));
  ASSERT_EQ(w.queue->view().submodules.size(), 1u);
  EXPECT_EQ(w.queue->view().submodules[0].changeCount, 1);
}

// git in a terminal adds a worktree, then commits there: the list appears,
// and the entry's HEAD follows its branch (a ref move, not a worktrees/ file).
TEST(GitRepositoryWatcher, WorktreesGitAddsAndBranchesItMovesAreSeen) {
  Watched w;
  TempDir outside;
  const GitDir linked(outside.path() / "linked tree");
  auto seen = [&] {
    for (int i = 0; i < 500 && w.queue->view().worktrees != GitViewWorktreesOperation::parse(w.repo.git(
                                   {"worktree", "list", "--porcelain", "-z"})); ++i)
      std::this_thread::sleep_for(20ms);
    return w.queue->view().worktrees.size() == 2 && w.queue->view().worktrees[1].head->string() == w.repo.rev("side");
  };
  w.repo.git({"worktree", "add", "-q", "-b", "side", linked.path().string()});
  EXPECT_TRUE(seen());
  w.settle();
  linked.commitFile("c.txt", "c\n", "in the linked tree");
  EXPECT_TRUE(seen());
}
