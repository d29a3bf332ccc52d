#include "tavrik/State/GitViewWorktreesOperation.h"

#include "Support/Helpers.h"
#include "tavrik/State/GitViewRefsOperation.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// The records as git writes them with --porcelain -z, attributes in git's order.
std::string porcelain(const std::vector<GitWorktree>& worktrees) {
  std::string out;
  for (const auto& w : worktrees) {
    out += "worktree " + w.path + '\0';
    if (w.isBare) out += std::string("bare") + '\0';
    else out += "HEAD " + w.head.value_or(Oid{}).string() + '\0';
    if (w.branch) out += "branch " + *w.branch + '\0';
    if (w.isDetached) out += std::string("detached") + '\0';
    if (w.isLocked) out += (w.lockReason.empty() ? "locked" : "locked " + w.lockReason) + '\0';
    if (w.isPrunable) out += "prunable " + w.prunableReason + '\0';
    out += '\0';
  }
  return out;
}

} // namespace

// Paths with a space, a tab and a line feed, and Latin-1 bytes; a locked
// worktree and one whose folder was deleted by hand. The view's refresh holds
// exactly what git lists, and each branch names the worktree it is out in.
TEST(GitViewWorktreesOperation, ListsWhatGitListsWithPathsAsBytes) {
  ScratchRepo repo;
  TempDir place;
  repo.commitFile("f", "1", "one");
  const std::string spaced = (place.path() / "with space").string(), odd = (place.path() / "a\tb\nc").string(),
                    latin = (place.path() / "caf\351").string(), gone = (place.path() / "gone").string();
  repo.git({"worktree", "add", "-q", "--detach", spaced, "HEAD"});
  repo.git({"worktree", "add", "-q", "-b", "odd", odd});
  repo.git({"worktree", "add", "-q", "-b", "caf\351", latin});
  repo.git({"worktree", "add", "-q", "-b", "gone", gone});
  repo.git({"worktree", "lock", "--reason", "on a stick\nsecond line", latin});
  std::filesystem::remove_all(gone);

  auto queue = readerQueue(repo);
  queue->updateViewFor(GitAspects{GitAspects::worktrees, GitAspects::refs});
  queue->waitUntilAllOperationsAreFinished();
  const auto worktrees = queue->view().worktrees;
  EXPECT_EQ(porcelain(worktrees), repo.git({"worktree", "list", "--porcelain", "-z"}));
  ASSERT_EQ(worktrees.size(), 5u);
  EXPECT_EQ(worktrees[0].path, std::filesystem::canonical(repo.path()).string());

  // for-each-ref's %(worktreepath) agrees with the list, and no branch is lost.
  const auto refs = queue->view().refs;
  ASSERT_TRUE(refs);
  size_t branches = 0;
  for (const auto& ref : refs->all) {
    if (!isBranch(ref.type)) continue;
    ++branches;
    std::optional<std::string> expected;
    for (const auto& w : worktrees)
      if (w.branch == ref.name) expected = w.path;
    EXPECT_EQ(ref.worktreePath, expected) << ref.name;
  }
  EXPECT_EQ(branches, split(repo.git({"branch", "--format=%(refname)"}), '\n').size());
}

// Attributes before a record, one git may add, a record cut short or with no
// path: what can be read is kept.
TEST(GitViewWorktreesOperation, ParsesCutAndUnknownRecords) {
  using namespace std::string_literals;
  const std::string id(40, 'a');
  const std::string data = "HEAD "s + id + '\0' + '\0' + "worktree /x" + '\0' + "future thing" + '\0' + '\0' + "worktree" +
                           '\0' + "worktree /y" + '\0' + "HEAD " + id;
  std::vector<std::string> paths;
  for (const auto& w : GitViewWorktreesOperation::parse(data)) paths.push_back(w.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/x", "/y"}));
  EXPECT_EQ(GitViewWorktreesOperation::parse(data).back().head, Oid::parse(id));
  EXPECT_TRUE(GitViewWorktreesOperation::parse("").empty());
}
