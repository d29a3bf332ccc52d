#include "tavrik/Commands/BranchCommands.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace tavrik {
void PrintTo(const GitExecBranch& branch, std::ostream* out) { *out << (branch.isHead ? "* " : "") << branch.name; }
} // namespace tavrik

TEST(GitExecBranchOperation, ParsesBranchListings) {
  auto list = GitExecBranchOperation::parseBranchList("  remotes/origin/HEAD -> origin/main\n* main\n"
                                                      "+ in-other-worktree\n  a->b\n  remotes/origin/main\n\n");
  std::vector<GitExecBranch> expected{{"main", true}, {"in-other-worktree", false}, {"a->b", false},
                                      {"remotes/origin/main", false}};
  EXPECT_EQ(list.branches, expected);
  expectHashAgreesWithEquality(expected);
}

// Every form against git's own refs, under a configuration that would lay
// the listing out in colours and columns.
TEST(GitExecBranchOperation, ChangesBranchesLikeGit) {
  ScratchRepo repo;
  auto first = repo.commitFile("f", "1\n", "one");
  auto second = repo.commitFile("f", "2\n", "two");
  for (auto [key, value] : {std::pair{"column.ui", "always"}, {"color.ui", "always"}, {"branch.sort", "-refname"}})
    repo.git({"config", key, value});
  auto queue = readerQueue(repo);
  const std::string odd = "caf\xc3\xa9-\xff";

  EXPECT_EQ(runOn(queue, GitExecBranchOperation::create("old", first, false)).branches.size(), 0u);
  EXPECT_EQ(repo.rev("refs/heads/old"), first);
  runOn(queue, GitExecBranchOperation::moveBranch("old", odd, false));
  EXPECT_EQ(repo.rev("refs/heads/" + odd), first);
  EXPECT_NE(repo.tryGit({"rev-parse", "--verify", "-q", "refs/heads/old"}).status, 0);
  runOn(queue, GitExecBranchOperation::copyBranch(odd, "copy", false));
  runOn(queue, GitExecBranchOperation::create("tracker", std::string("main"), true));
  EXPECT_EQ(repo.git({"config", "branch.tracker.merge"}), "refs/heads/main\n");
  runOn(queue, GitExecBranchOperation::unsetUpstreamOf("tracker"));
  EXPECT_NE(repo.tryGit({"config", "branch.tracker.merge"}).status, 0);
  runOn(queue, GitExecBranchOperation::setUpstream("copy", "tracker"));
  EXPECT_EQ(repo.git({"config", "branch.tracker.merge"}), "refs/heads/copy\n");

  auto all = runOn(queue, GitExecBranchOperation::list());
  std::vector<GitExecBranch> expected{{"tracker", false}, {"main", true}, {"copy", false}, {odd, false}};
  EXPECT_EQ(all.branches, expected);
  auto containing = runOn(queue, GitExecBranchOperation::containing(second));
  EXPECT_EQ(containing.branches, (std::vector<GitExecBranch>{{"tracker", false}, {"main", true}}));

  EXPECT_THROW(runOn(queue, GitExecBranchOperation::deleteBranches({"no-such"}, false)), GitStdError);
  runOn(queue, GitExecBranchOperation::deleteBranches({odd, "copy"}, true));
  EXPECT_EQ(repo.git({"for-each-ref", "--format=%(refname)", "refs/heads"}), "refs/heads/main\nrefs/heads/tracker\n");
}

TEST(GitExecTagOperation, CreatesLightAndAnnotatedTagsAndDeletes) {
  ScratchRepo repo;
  auto first = repo.commitFile("f", "1\n", "one");
  repo.commitFile("f", "2\n", "two");
  auto queue = readerQueue(repo);
  runOn(queue, GitExecTagOperation::create("light", std::nullopt, std::nullopt, false));
  runOn(queue, GitExecTagOperation::create("annotated", first, "line one\n\nline \"two\"", false));
  EXPECT_EQ(repo.git({"cat-file", "-t", "light"}), "commit\n");
  EXPECT_EQ(repo.git({"cat-file", "-t", "annotated"}), "tag\n");
  EXPECT_EQ(repo.rev("annotated^{commit}"), first);
  EXPECT_EQ(repo.git({"tag", "-l", "--format=%(contents)", "annotated"}), "line one\n\nline \"two\"\n\n");
  EXPECT_THROW(runOn(queue, GitExecTagOperation::create("light", first, std::nullopt, false)), GitStdError);
  runOn(queue, GitExecTagOperation::create("light", first, std::nullopt, true));
  EXPECT_EQ(repo.rev("light"), first);
  runOn(queue, GitExecTagOperation::deleteTagNamed("light"));
  EXPECT_EQ(repo.git({"tag", "-l"}), "annotated\n");
}

// Names git would read as options never reach it.
TEST(GitExecBranchOperation, RefusesOptionLikeNames) {
  ScratchRepo repo;
  repo.commitFile("f", "1\n", "one");
  auto queue = readerQueue(repo);
  EXPECT_THROW(runOn(queue, GitExecBranchOperation::create("-d", std::nullopt, false)), TavrikError);
  EXPECT_THROW(runOn(queue, GitExecBranchOperation::create("ok", std::string("--orphan"), false)), TavrikError);
  EXPECT_THROW(runOn(queue, GitExecBranchOperation::containing("--merged")), TavrikError);
  EXPECT_THROW(runOn(queue, GitExecTagOperation::create("-d", std::nullopt, std::nullopt, false)), TavrikError);
  EXPECT_THROW(runOn(queue, GitExecTagOperation::create("t", std::string("-f"), std::nullopt, false)), TavrikError);
  EXPECT_EQ(repo.git({"for-each-ref", "--format=%(refname)"}), "refs/heads/main\n");
}

// A listing changes nothing, so it starts no refresh; a change does.
TEST(GitExecBranchOperation, ListingsRefreshNothing) {
  struct Started : GitQueueDelegate {
    Recorder names;
    void gitQueueOperationWillStart(const std::shared_ptr<GitQueue>&,
                                    const std::shared_ptr<GitQueueOperation>& operation) override {
      names.add(operation->typeName());
    }
  };
  ScratchRepo repo;
  auto first = repo.commitFile("f", "1\n", "one");
  auto queue = readerQueue(repo);
  auto started = std::make_shared<Started>();
  queue->setDelegate(started);
  EXPECT_EQ(runOn(queue, GitExecBranchOperation::list()).branches.size(), 1u);
  EXPECT_EQ(runOn(queue, GitExecBranchOperation::containing(first)).branches.size(), 1u);
  EXPECT_EQ(started->names.events().size(), 2u);
  runOn(queue, GitExecBranchOperation::create("other", std::nullopt, false));
  EXPECT_GT(started->names.events().size(), 3u);
}
