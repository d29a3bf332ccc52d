#include "tavrik/Commands/HistoryCommands.h"

#include "Support/Helpers.h"
#include "tavrik/Commands/CommitQueries.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Commands/WorktreeActions.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitStateFile.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// main and side both change f after a common base; side also adds s.
struct ForkRepo : ScratchRepo {
  std::string base, mainTip, sideTip;
  ForkRepo() {
    base = commitFile("f", "base\n", "base");
    git({"checkout", "-q", "-b", "side"});
    commitFile("s", "side file\n", "side file");
    sideTip = commitFile("f", "side\n", "side edit");
    git({"checkout", "-q", "main"});
    mainTip = commitFile("f", "main\n", "main edit");
  }
  GitState state() const { return gitState(*this); }
};

Oid oid(const std::string& hex) { return *Oid::parse(hex); }

} // namespace

TEST(HistoryCommands, MergeSquashNoFastForwardAndAbort) {
  ForkRepo repo;
  auto queue = readerQueue(repo);
  repo.git({"checkout", "-q", "-b", "ahead", "side"});
  repo.git({"checkout", "-q", "-b", "behind", repo.base});
  runOn(queue, makeOperation<GitExecMergeOperation>({.refish = "ahead", .noFastForward = true}));
  EXPECT_EQ(repo.git({"rev-list", "--parents", "-1", "HEAD"}), repo.rev("HEAD") + " " + repo.base + " " + repo.sideTip + "\n");

  repo.git({"checkout", "-q", "-B", "squashed", repo.base});
  runOn(queue, makeOperation<GitExecMergeOperation>({.refish = "side", .squash = true}));
  EXPECT_EQ(repo.rev("HEAD"), repo.base);
  EXPECT_EQ(repo.git({"diff", "--cached", "--name-only"}), "f\ns\n");
  repo.git({"reset", "-q", "--hard"});

  // Local changes in the way: git's refusal, classified.
  repo.git({"checkout", "-q", "main"});
  repo.write("f", "local\n");
  EXPECT_EQ(gitFailure([&] { runOn(queue, makeOperation<GitExecMergeOperation>({.refish = "side"})); }).kind(),
            GitStdError::Kind::cantMergeLocalChanges);
  EXPECT_EQ(readFile(repo.path() / "f"), "local\n");
  repo.git({"checkout", "--", "f"});

  // A conflicting merge fails with git's text; the abort action undoes it.
  EXPECT_THROW(runOn(queue, makeOperation<GitExecMergeOperation>({.refish = "side"})), GitStdError);
  EXPECT_EQ(repo.state(), GitState::merge);
  runOn(queue, makeOperation<GitAbortAction>());
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.rev("HEAD"), repo.mainTip);
  EXPECT_EQ(readFile(repo.path() / "f"), "main\n");
  EXPECT_THROW(runOn(queue, makeOperation<GitExecMergeOperation>({.refish = "--exec=x"})), TavrikError);
}

TEST(HistoryCommands, RebaseStopsOnConflictAndTheCommitActionContinues) {
  ForkRepo repo;
  auto queue = readerQueue(repo);
  repo.git({"checkout", "-q", "side"});
  repo.git({"config", "rebase.backend", "apply"});
  EXPECT_THROW(runOn(queue, makeOperation<GitExecRebaseOperation>({.refish = "main"})), GitStdError);
  EXPECT_EQ(repo.state(), GitState::rebase);
  repo.write("f", "resolved\n");
  repo.git({"add", "f"});
  runOn(queue, makeOperation<GitCommitAction>({.message = "unused: the rebase keeps its message"}));
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.git({"log", "--format=%s", "main..side"}), "side edit\nside file\n");
  EXPECT_EQ(repo.rev("side~2"), repo.mainTip);

  // Staging the resolution and continuing, chained on the queue.
  repo.git({"config", "rebase.backend", "merge"});
  repo.git({"checkout", "-q", "-b", "again", repo.sideTip});
  EXPECT_THROW(runOn(queue, makeOperation<GitExecRebaseOperation>({.refish = "main"})), GitStdError);
  repo.write("f", "resolved\n");
  auto staged = makeOperation<GitExecAddOperation>(std::set<std::string>{"f"})->enqueue(queue);
  continueRebase(staged, true).wait(std::chrono::seconds(60));
  queue->waitUntilAllOperationsAreFinished(); // its refreshes hold index.lock
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.rev("again~2"), repo.mainTip);

  repo.git({"checkout", "-q", "-B", "again", repo.sideTip});
  EXPECT_THROW(runOn(queue, makeOperation<GitExecRebaseOperation>({.refish = "main"})), GitStdError);
  runOn(queue, makeOperation<GitAbortAction>());
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.rev("HEAD"), repo.sideTip);
}

TEST(HistoryCommands, CherryPickKeepsAuthorsRevertFailsIntoItsStateAndActionsFinish) {
  ForkRepo repo;
  repo.git({"checkout", "-q", "-b", "other", repo.base});
  repo.write("o", "other\n");
  repo.git({"add", "o"});
  auto foreign = runProgram({"env", "GIT_AUTHOR_NAME=Other Person", "GIT_AUTHOR_EMAIL=other@example.com", "git",
                             "commit", "-q", "-m", "by someone else"},
                            repo.path());
  ASSERT_EQ(foreign.status, 0) << foreign.err;
  auto picked = repo.rev("HEAD");
  repo.git({"checkout", "-q", "main"});
  auto queue = readerQueue(repo);
  runOn(queue, makeOperation<GitExecCherryPickOperation>({.commits = std::vector<Oid>{oid(picked)}}));
  EXPECT_EQ(repo.git({"log", "-1", "--format=%an|%s"}), "Other Person|by someone else\n");
  EXPECT_NE(repo.git({"log", "-1", "--format=%cn"}), "Other Person\n");

  // A conflicting pick stops; resolving and the continue action finish it.
  EXPECT_THROW(runOn(queue, makeOperation<GitExecCherryPickOperation>(
      {.commits = std::vector<Oid>{oid(repo.sideTip)}})), GitStdError);
  EXPECT_EQ(repo.state(), GitState::cherrypick);
  repo.write("f", "both\n");
  repo.git({"add", "f"});
  runOn(queue, makeOperation<GitContinueAction>());
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.git({"log", "-1", "--format=%s"}), "side edit\n");
  EXPECT_THROW(runOn(queue, makeOperation<GitContinueAction>()), TavrikError);

  // Reverting the commit that created f, since edited, conflicts: the revert
  // fails as a conflicting pick does, and waits in its state.
  EXPECT_THROW(runOn(queue, makeOperation<GitExecRevertOperation>({.oid = oid(repo.base)})), GitStdError);
  EXPECT_EQ(repo.state(), GitState::revert);
  const auto waiting = repo.rev("HEAD");
  EXPECT_THROW(runOn(queue, makeOperation<GitExecRevertOperation>(
      {.oid = oid(picked)})), GitStdError) << "during a revert";
  EXPECT_EQ(repo.rev("HEAD"), waiting);
  runOn(queue, makeOperation<GitAbortAction>());
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(readFile(repo.path() / "f"), "both\n");
}

// git 2.39 has no "bisect--helper --bisect-reset"; the abort runs "bisect reset".
TEST(HistoryCommands, AbortEndsABisect) {
  ForkRepo repo;
  auto queue = readerQueue(repo);
  repo.git({"bisect", "start", repo.mainTip, repo.base});
  EXPECT_EQ(repo.state(), GitState::bisect);
  runOn(queue, makeOperation<GitAbortAction>());
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.git({"symbolic-ref", "HEAD"}), "refs/heads/main\n");
  runOn(queue, makeOperation<GitAbortAction>()); // nothing in progress: nothing to do
}

TEST(CommitQueries, MergeBaseAndLookup) {
  ForkRepo repo;
  auto queue = readerQueue(repo);
  EXPECT_EQ(runOn(queue, makeOperation<GitExecMergeBaseOperation>(std::vector<Oid>{oid(repo.mainTip), oid(repo.sideTip)})),
            oid(repo.base));
  // One commit is its own base, even one git does not know.
  auto unknown = oid(std::string(40, 'a'));
  EXPECT_EQ(runOn(queue, makeOperation<GitExecMergeBaseOperation>(std::vector<Oid>{unknown})), unknown);
  repo.git({"checkout", "-q", "--orphan", "unrelated"});
  auto orphan = repo.commitFile("u", "u\n", "unrelated root");
  EXPECT_THROW(runOn(queue, makeOperation<GitExecMergeBaseOperation>(std::vector<Oid>{oid(orphan), oid(repo.mainTip)})),
               TavrikError);
  auto commit = runOn(queue, makeOperation<GitCommitLookupOperation>(oid(repo.sideTip)));
  EXPECT_EQ(commit.message, "side edit\n");
  EXPECT_EQ(commit.parentIds, std::vector<Oid>{oid(repo.rev("side^"))});
  EXPECT_ANY_THROW(runOn(queue, makeOperation<GitCommitLookupOperation>(unknown)));
}
