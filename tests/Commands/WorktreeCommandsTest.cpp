#include "tavrik/Commands/WorktreeCommands.h"

#include "Support/Helpers.h"
#include "tavrik/Commands/BranchCommands.h"
#include "tavrik/Process/GitExecRepositoryDescriptorOperation.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/State/GitViewWorktreesOperation.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace {

using Op = GitExecWorktreeOperation;

GitStdError::Kind failureKind(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<Op>& op) {
  return gitFailure([&] { runOn(queue, op); }).kind();
}

std::vector<std::string> paths(const std::shared_ptr<GitQueue>& queue) {
  std::vector<std::string> out;
  for (const auto& w : queue->view().worktrees) out.push_back(w.path);
  return out;
}

} // namespace

// Each command does what git does, git's refusals come classified, and the
// queue's view follows every change without being asked.
TEST(GitExecWorktreeOperation, AddsRemovesMovesAndLocksAsGitDoes) {
  ScratchRepo repo;
  TempDir place;
  repo.commitFile("f", "1", "one");
  const std::string root = std::filesystem::canonical(repo.path()).string();
  const std::string a = (place.path() / "a \344").string(), b = (place.path() / "b").string(),
                    c = (place.path() / "c").string(), moved = (place.path() / "moved").string();
  auto queue = readerQueue(repo);

  runOn(queue, Op::add(a, GitWorktreeCheckout::newBranch, "topic"));
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(paths(queue), (std::vector<std::string>{root, a}));
  EXPECT_EQ(queue->view().refs->all.size(), 2u);
  EXPECT_EQ(GitDir(a).git({"symbolic-ref", "HEAD"}), "refs/heads/topic\n");

  EXPECT_EQ(failureKind(queue, Op::add(b, GitWorktreeCheckout::existingBranch, "topic")),
            GitStdError::Kind::branchCheckedOutElsewhere);
  EXPECT_FALSE(std::filesystem::exists(b));
  runOn(queue, makeOperation<Op>(GitExecWorktreeOptions{.path = b, .branch = "topic", .force = true}));
  runOn(queue, Op::add(c, GitWorktreeCheckout::detached, std::nullopt, "HEAD"));
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(paths(queue), (std::vector<std::string>{root, a, b, c}));
  EXPECT_TRUE(queue->view().worktrees[3].isDetached);

  GitDir(b).write("new", "x");
  EXPECT_EQ(failureKind(queue, Op::remove(b, false)), GitStdError::Kind::worktreeHasChanges);
  runOn(queue, Op::remove(b, true));
  runOn(queue, Op::lock(c, "-kept"));
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue->view().worktrees.back().lockReason, "-kept");
  EXPECT_EQ(failureKind(queue, Op::move(c, moved)), GitStdError::Kind::worktreeLocked);
  runOn(queue, Op::unlock(c));
  runOn(queue, Op::move(c, moved));
  std::filesystem::remove_all(a);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(paths(queue), (std::vector<std::string>{root, a, moved}));
  runOn(queue, Op::prune());
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(paths(queue), (std::vector<std::string>{root, moved}));
  EXPECT_EQ(queue->view().worktrees, runOn(queue, makeOperation<GitViewWorktreesOperation>()));

  // Values git would read as options never reach it.
  for (auto op : {Op::add("-b", GitWorktreeCheckout::existingBranch, std::nullopt),
                  Op::add(b, GitWorktreeCheckout::newBranch, "-f"), Op::add(b, GitWorktreeCheckout::detached, {}, "-q"),
                  Op::remove("--force", false), Op::move(moved, "-x"), Op::add("", GitWorktreeCheckout::detached, {})})
    EXPECT_THROW(runOn(queue, op), TavrikError);
  EXPECT_EQ(split(repo.git({"worktree", "list", "--porcelain", "-z"}), '\0').size(), 8u);
}

// Two queues, on the main worktree and a linked one, wired as the header
// shows: a branch moved through one is in the other's refs after the refresh
// the first one's change sets off.
TEST(GitExecWorktreeOperation, QueuesOfTwoWorktreesShareRefChanges) {
  ScratchRepo repo;
  TempDir place;
  const auto first = repo.commitFile("f", "1", "one");
  const auto second = repo.commitFile("f", "2", "two");
  repo.git({"branch", "topic", first});
  const auto linkedPath = place.path() / "linked";
  repo.git({"worktree", "add", "-q", "--detach", linkedPath.string()});
  auto describe = makeOperation<GitExecRepositoryDescriptorOperation>(Url::fileURL(linkedPath.string(), true));
  auto mainQueue = readerQueue(repo);
  auto linkedQueue = makeReaderQueue(runOn(makeReaderQueue(std::nullopt), describe));

  struct RefreshOther : GitQueueObserver {
    std::weak_ptr<GitQueue> other;
    void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects changed) override {
      const GitAspects shared{GitAspects::refs, GitAspects::worktrees};
      if (auto queue = other.lock(); queue && changed.containsAny(shared)) queue->updateViewFor(shared);
    }
  };
  auto toLinked = std::make_shared<RefreshOther>(), toMain = std::make_shared<RefreshOther>();
  toLinked->other = linkedQueue;
  toMain->other = mainQueue;
  auto tokenA = mainQueue->addChangeObserver(toLinked);
  auto tokenB = linkedQueue->addChangeObserver(toMain);
  auto topicIn = [](const std::shared_ptr<GitQueue>& queue) -> std::optional<Oid> {
    queue->waitUntilAllOperationsAreFinished();
    // The view is a copy: kept here, its ref list outlives the loop.
    const GitView view = queue->view();
    for (const auto& ref : view.refs->all)
      if (ref.name == "refs/heads/topic") return ref.commit;
    return std::nullopt;
  };
  mainQueue->updateViewFor(GitAspects::refs);
  EXPECT_EQ(topicIn(mainQueue), Oid::parse(first));
  EXPECT_EQ(topicIn(linkedQueue), Oid::parse(first));

  runOn(linkedQueue, makeOperation<GitExecBranchOperation>(GitExecBranchOptions{.force = true, .names = {"topic", second}}));
  EXPECT_EQ(topicIn(linkedQueue), Oid::parse(second));
  EXPECT_EQ(topicIn(mainQueue), Oid::parse(second));
  mainQueue->removeChangeObserver(tokenA);
  linkedQueue->removeChangeObserver(tokenB);
}
