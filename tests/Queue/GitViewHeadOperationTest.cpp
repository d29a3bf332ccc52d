#include "tavrik/Queue/GitViewHeadOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"

#include <fstream>
#include <optional>
#include <random>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

GitHeadList refresh(const GitDir& repo) {
  auto queue = readerQueue(repo);
  auto heads = runOn(queue, makeOperation<GitViewHeadOperation>());
  EXPECT_EQ(heads, queue->view().headList);
  return heads;
}

} // namespace

// Each operation git can leave in progress, stopped by git itself in a clean
// clone of the scenario's upstream (main, and origin/conflict editing c.txt
// against it).
TEST(GitViewHeadOperation, ReadsEveryStateGitLeavesInProgress) {
  struct Case {
    const char* script;
    GitState state;
  } cases[] = {
      {"git cherry-pick origin/conflict", GitState::cherrypick},
      {"git cherry-pick origin/conflict origin/topic", GitState::cherrypickSequence},
      {"git revert --no-edit origin/conflict", GitState::revert},
      {"git revert --no-edit origin/conflict origin/topic", GitState::revertSequence},
      {"GIT_SEQUENCE_EDITOR=\"sed -i -e 's/^pick/edit/'\" git rebase -q -i HEAD~2", GitState::rebaseInteractive},
      // git's merge backend runs on the sequencer and marks itself interactive.
      {"git checkout -q -b c origin/conflict && git rebase --merge main", GitState::rebaseInteractive},
      {"git checkout -q -b c origin/conflict && git rebase --apply main", GitState::rebase},
      {"git format-patch -q --stdout -1 origin/conflict > ../p.mbox && git am ../p.mbox", GitState::applyMailbox},
      {"git bisect start && git bisect bad HEAD && git bisect good HEAD~3", GitState::bisect},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    TempDir dir;
    runProgram({"git", "clone", "-q", ScenarioRepo::shared().upstream.path().string(), "clone"}, dir.path());
    GitDir clone(dir.path() / "clone");
    runProgram({"/bin/sh", "-c", c.script}, clone.path());
    EXPECT_EQ(refresh(clone).stateFiles.state, c.state);
  }
}

// Whether HEAD is on a branch is HEAD's own answer, never a decoration's: a
// branch named shorter than "HEAD" at the same commit, detached or stopped
// in a rebase, must not pass for the current branch.
TEST(GitViewHeadOperation, DetachedHeadBesideABranchAtItsCommitStaysDetached) {
  ScratchRepo work;
  for (const char* content : {"1\n", "2\n", "3\n"}) work.commitFile("f", content, content);
  work.git({"branch", "x", "HEAD~1"});
  work.git({"checkout", "-q", "--detach", "HEAD~1"});
  auto detached = refresh(work);
  EXPECT_EQ(detached.head.refname, "HEAD");
  EXPECT_TRUE(detached.isDetached());
  EXPECT_EQ(detached.head.commit->string(), work.rev("HEAD"));

  work.git({"checkout", "-q", "x"});
  auto onBranch = refresh(work);
  EXPECT_EQ(onBranch.head.refname, "x");
  EXPECT_FALSE(onBranch.isDetached());

  work.git({"checkout", "-q", "main"});
  runProgram({"/bin/sh", "-c", "GIT_SEQUENCE_EDITOR=\"sed -i -e '1s/^pick/edit/'\" git rebase -q -i HEAD~2"},
             work.path());
  work.git({"branch", "b1"});
  auto stopped = refresh(work);
  EXPECT_EQ(stopped.stateFiles.state, GitState::rebaseInteractive);
  EXPECT_EQ(stopped.head.refname, "HEAD");
  EXPECT_TRUE(stopped.isDetached());
}

// The branch to be born keeps its name; it has no commit yet.
TEST(GitViewHeadOperation, UnbornBranchIsNamed) {
  ScratchRepo unborn;
  unborn.git({"symbolic-ref", "HEAD", "refs/heads/first"});
  auto list = refresh(unborn);
  EXPECT_FALSE(list.head.commit);
  EXPECT_EQ(list.head.refname, "first");
  EXPECT_FALSE(list.isDetached());
}

// A ref store git cannot read fails as git fails, never as an empty head.
TEST(GitViewHeadOperation, CorruptPackedRefsFails) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "a");
  repo.git({"pack-refs", "--all"});
  std::ofstream(repo.path() / ".git/packed-refs", std::ios::app) << "garbage line\n";
  const auto git = repo.tryGit({"show", "--no-patch", "HEAD", "--"});
  ASSERT_NE(git.status, 0);
  try {
    refresh(repo);
    FAIL() << "expected git's error";
  } catch (const GitStdError& error) {
    EXPECT_NE(error.localizedDescription().find("unexpected line in"), std::string::npos) << error.localizedDescription();
  }
}

// ORIG_HEAD is git's file, not whatever else git would resolve by that name.
TEST(GitViewHeadOperation, PseudoHeadsComeFromTheirFilesOnly) {
  auto scenario = ScenarioRepo::copy();
  auto& work = scenario->work;
  std::filesystem::remove(work.path() / ".git/ORIG_HEAD");
  work.git({"branch", "ORIG_HEAD", "HEAD~1"});
  EXPECT_EQ(refresh(work).origHead, GitHead{});
  work.git({"branch", "-D", "ORIG_HEAD"});
  const auto before = work.rev("HEAD");
  work.git({"reset", "-q", "--soft", "HEAD~1"});
  EXPECT_EQ(refresh(work).origHead.commit.value_or(Oid{}).string(), before);
}

TEST(GitViewHeadOperation, NoRepositoryIsInvalid) {
  try {
    runOn(makeReaderQueue(std::nullopt), makeOperation<GitViewHeadOperation>());
    FAIL() << "expected invalidRepository";
  } catch (const TavrikError& error) {
    EXPECT_EQ(error.errorDescription, "Invalid Repository");
  }
}

// Refreshing what did not change posts nothing; a real change posts once.
TEST(GitViewHeadOperation, SecondIdenticalRefreshPostsNothing) {
  auto scenario = ScenarioRepo::copy();
  auto queue = readerQueue(scenario->work);
  auto recorder = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(recorder);
  const GitAspects aspects = GitAspects::head | GitAspects::status | GitAspects::refs;
  queue->updateViewFor(aspects);
  queue->waitUntilAllOperationsAreFinished();
  const int firstPosts = recorder->calls;
  EXPECT_EQ(firstPosts, 3);
  auto view = queue->view();
  queue->updateViewFor(aspects);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(recorder->calls, firstPosts);
  EXPECT_EQ(queue->view(), view);
  scenario->work.write("another.txt", "x\n");
  queue->updateViewFor(aspects);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(recorder->received.events().back(), "<GitAspects status>");
  EXPECT_EQ(recorder->calls, firstPosts + 1);
}

// The branch HEAD names is read off the HEAD file when it is plain; whatever
// the file holds, the answer must be git's own: the branch `symbolic-ref`
// prints, detached when it prints none, git's failure when it fails.
TEST(GitViewHeadOperation, BranchNamedByAnyHeadFileIsGitsAnswer) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "a");
  const std::string commit = repo.rev("HEAD");
  std::vector<std::string> contents = {
      "ref: refs/heads/main\n", "ref:refs/heads/main\n", "ref: refs/heads/main  \n", "ref: refs/heads/main",
      "ref: refs/heads/a.lock/b\n", "ref: refs/heads/x..y\n", "ref: refs/heads/.hidden\n", "ref: refs/heads/a/\n",
      "ref: refs/heads/@\n", "ref: refs/heads/a@{b\n", "ref: refs/heads/caf\xc3\xa9\n", "ref: refs/heads/caf\xe9\n",
      "ref: refs/tags/v1\n", "ref: HEAD\n", commit + "\n", commit, "0123456789ABCDEF0123456789abcdef01234567\n"};
  // Seeded names from an alphabet with every character a ref name may not hold.
  std::mt19937 random(27);
  const std::string alphabet = "ab/.-_@{}~^:?*[\\ \t\x7f\xe9" "0";
  for (int i = 0; i < 40; ++i) {
    std::string name;
    for (int n = 1 + static_cast<int>(random() % 8); n > 0; --n) name += alphabet[random() % alphabet.size()];
    contents.push_back("ref: refs/heads/" + name + "\n");
  }
  auto queue = readerQueue(repo);
  for (const auto& content : contents) {
    SCOPED_TRACE(content);
    std::ofstream(repo.path() / ".git/HEAD", std::ios::binary | std::ios::trunc) << content;
    const auto git = repo.tryGit({"symbolic-ref", "-q", "HEAD"});
    const auto commitOfHead = repo.tryGit({"rev-parse", "-q", "--verify", "HEAD^{commit}"});
    std::optional<GitHeadList> heads;
    try {
      heads = runOn(queue, makeOperation<GitViewHeadOperation>());
    } catch (const std::exception&) {
    }
    if (git.status > 1) {
      EXPECT_FALSE(heads) << "git failed: " << git.err;
      continue;
    }
    if (git.status == 1 && commitOfHead.status != 0) {
      EXPECT_FALSE(heads) << "HEAD names no commit git can read";
      continue;
    }
    ASSERT_TRUE(heads);
    std::string branch = git.out.substr(0, git.out.find('\n'));
    if (branch.starts_with("refs/heads/")) branch.erase(0, 11);
    EXPECT_EQ(heads->head.refname, git.status == 1 ? "HEAD" : branch);
    EXPECT_EQ(heads->isDetached(), git.status == 1);
  }
}
