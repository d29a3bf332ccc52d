#include "tavrik/Queue/GitViewHeadOperation.h"

#include "State/ReadersTestSupport.h"
#include "tavrik/Queue/TavrikError.h"
#include "tavrik/State/GitExecShowHeadOperation.h"
#include "tavrik/State/GitShowHeadParser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

GitHeadList refresh(const ScratchRepo& repo) {
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto view = runOn(queue, makeOperation<GitViewHeadOperation>());
  EXPECT_EQ(view, queue->view());
  return view.headList;
}

Oid rev(const ScratchRepo& repo, const std::string& what) {
  return *Oid::parse(repo.git({"rev-parse", what}).substr(0, 40));
}

// main and feature both change c.txt, so merging, picking or rebasing one
// onto the other stops on a conflict.
void makeDivergedBranches(const ScratchRepo& repo) {
  repo.commitFile("c.txt", "base\n", "base");
  repo.git({"checkout", "-q", "-b", "feature"});
  repo.commitFile("c.txt", "feature 1\n", "feature one");
  repo.commitFile("f.txt", "feature 2\n", "feature two");
  repo.git({"checkout", "-q", "main"});
  repo.commitFile("c.txt", "main\n", "main change");
}

// Sets an environment variable for one scope.
class ScopedEnv {
public:
  ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~ScopedEnv() { unsetenv(name_); }

private:
  const char* name_;
};

} // namespace

TEST(GitViewHeadOperation, EmptyMessageReadsEmpty) {
  ScratchRepo repo;
  repo.write("a.txt", "a\n");
  repo.git({"add", "a.txt"});
  repo.git({"commit", "-q", "--allow-empty-message", "-m", ""});
  auto list = refresh(repo);
  EXPECT_EQ(list.head.lastMessage, "");
  EXPECT_EQ(list.head.lastSubject(), "");
}

TEST(GitViewHeadOperation, HeadOnBranch) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "Subject line\n\nBody text");
  auto list = refresh(repo);
  EXPECT_EQ(list.head.refname, "main");
  EXPECT_FALSE(list.head.isSymbolic);
  EXPECT_FALSE(list.isDetached());
  EXPECT_EQ(list.head.commit, rev(repo, "HEAD"));
  ASSERT_TRUE(list.head.lastAuthor);
  EXPECT_EQ(list.head.lastAuthor->name, "Test Author");
  EXPECT_EQ(list.head.lastAuthor->email, "author@example.com");
  EXPECT_EQ(list.head.lastAuthor->timestamp.offset, 7200);
  EXPECT_EQ(list.head.lastSubject(), "Subject line");
  // Byte-exact: git's raw body, without the newline `git show --format` adds.
  EXPECT_EQ(list.head.lastMessage, "Subject line\n\nBody text\n");
  // No ORIG_HEAD and no MERGE_HEAD: empty heads named after their files.
  EXPECT_EQ(list.origHead, GitShowHeadParser::emptyHead(GitHeadFile::origHead));
  EXPECT_EQ(list.mergeHead.refname, "MERGE_HEAD");
  EXPECT_TRUE(list.mergeHead.isSymbolic);
  EXPECT_FALSE(list.mergeHead.commit);
  EXPECT_EQ(list.stateFiles.state, GitState::none);
  EXPECT_EQ(list.stateTitle(), "None");
}

TEST(GitViewHeadOperation, BranchAfterArrowWinsOverShorterTag) {
  ScratchRepo repo;
  repo.git({"checkout", "-q", "-b", "feature/login"});
  repo.commitFile("a.txt", "a\n", "init");
  repo.git({"tag", "v1"});
  auto list = refresh(repo);
  EXPECT_EQ(list.head.refname, "feature/login");
  EXPECT_FALSE(list.head.isSymbolic);
}

TEST(GitViewHeadOperation, OrigHeadPrefersBranchOverTag) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "1\n", "one");
  repo.commitFile("a.txt", "2\n", "two");
  repo.git({"tag", "v2"});
  repo.git({"branch", "keep"});
  repo.git({"reset", "-q", "--hard", "HEAD~1"});
  auto list = refresh(repo);
  EXPECT_EQ(list.origHead.commit, rev(repo, "v2"));
  EXPECT_EQ(list.origHead.refname, "keep");
  EXPECT_FALSE(list.origHead.isSymbolic);

  // With only a tag left, the tag entry names it as git wrote it.
  repo.git({"branch", "-D", "keep"});
  EXPECT_EQ(refresh(repo).origHead.refname, "tag: v2");
}

TEST(GitViewHeadOperation, DetachedAndUnbornHeads) {
  ScratchRepo unborn;
  auto list = refresh(unborn);
  EXPECT_FALSE(list.head.commit);
  EXPECT_EQ(list.head.refname, "HEAD");
  EXPECT_TRUE(list.head.isSymbolic);

  ScratchRepo repo;
  repo.commitFile("a.txt", "1\n", "one");
  repo.commitFile("a.txt", "2\n", "two");
  repo.git({"checkout", "-q", "--detach", "HEAD~1"});
  list = refresh(repo);
  EXPECT_EQ(list.head.refname, "HEAD");
  EXPECT_TRUE(list.head.isSymbolic);
  EXPECT_TRUE(list.isDetached());
  EXPECT_EQ(list.head.commit, rev(repo, "HEAD"));
}

TEST(GitViewHeadOperation, MergeConflict) {
  ScratchRepo repo;
  makeDivergedBranches(repo);
  EXPECT_NE(repo.tryGit({"merge", "feature"}).status, 0);
  auto list = refresh(repo);
  EXPECT_EQ(list.stateFiles.state, GitState::merge);
  EXPECT_TRUE(list.stateFiles.has(GitStateFileType::MERGE_HEAD_FILE));
  EXPECT_TRUE(list.stateFiles.editMessage());
  EXPECT_EQ(list.mergeHead.refname, "feature");
  EXPECT_EQ(list.mergeHead.commit, rev(repo, "feature"));
  EXPECT_EQ(list.origHead.refname, "main");
  EXPECT_EQ(list.stateTitle(), "Merge feature into main");
}

TEST(GitViewHeadOperation, CherryPickAndRevertWithAndWithoutSequence) {
  struct Case {
    std::vector<std::string> command;
    GitState state;
  } cases[] = {
      {{"cherry-pick", "feature~1"}, GitState::cherrypick},
      {{"cherry-pick", "feature~1", "feature"}, GitState::cherrypickSequence},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.state));
    ScratchRepo repo;
    makeDivergedBranches(repo);
    EXPECT_NE(repo.tryGit(c.command).status, 0);
    EXPECT_EQ(refresh(repo).stateFiles.state, c.state);
  }

  // Reverting the base change conflicts with main's edit of the same line.
  for (bool sequence : {false, true}) {
    SCOPED_TRACE(sequence);
    ScratchRepo repo;
    repo.commitFile("c.txt", "one\n", "one");
    repo.commitFile("c.txt", "two\n", "two");
    repo.commitFile("d.txt", "d\n", "dee");
    repo.commitFile("c.txt", "three\n", "three");
    std::vector<std::string> command{"revert", "--no-edit", "HEAD~2"};
    if (sequence) command.push_back("HEAD~1");
    EXPECT_NE(repo.tryGit(command).status, 0);
    auto list = refresh(repo);
    EXPECT_EQ(list.stateFiles.state, sequence ? GitState::revertSequence : GitState::revert);
    EXPECT_EQ(list.stateFiles.has(GitStateFileType::SEQUENCER_TODO_FILE), sequence);
  }
}

TEST(GitViewHeadOperation, RebaseStates) {
  {
    SCOPED_TRACE("interactive, stopped at an edit line");
    ScratchRepo repo;
    makeDivergedBranches(repo);
    repo.git({"checkout", "-q", "feature"});
    ScopedEnv editor("GIT_SEQUENCE_EDITOR", "sed -i -e 's/^pick/edit/'");
    repo.git({"rebase", "-q", "-i", "HEAD~2"});
    auto list = refresh(repo);
    EXPECT_EQ(list.stateFiles.state, GitState::rebaseInteractive);
    EXPECT_TRUE(list.stateFiles.has(GitStateFileType::REBASE_MERGE_DIR));
    EXPECT_EQ(list.stateTitle(), "Interactive Rebase");
  }
  {
    // git's merge backend runs on the sequencer and marks itself interactive.
    SCOPED_TRACE("merge backend, stopped on a conflict");
    ScratchRepo repo;
    makeDivergedBranches(repo);
    repo.git({"checkout", "-q", "feature"});
    EXPECT_NE(repo.tryGit({"rebase", "--merge", "main"}).status, 0);
    auto list = refresh(repo);
    EXPECT_EQ(list.stateFiles.state, GitState::rebaseInteractive);
    EXPECT_TRUE(list.stateFiles.file(GitStateFileType::REBASE_MERGE_ONTO_FILE));
  }
  {
    SCOPED_TRACE("apply backend, stopped on a conflict");
    ScratchRepo repo;
    makeDivergedBranches(repo);
    repo.git({"checkout", "-q", "feature"});
    EXPECT_NE(repo.tryGit({"rebase", "--apply", "main"}).status, 0);
    auto list = refresh(repo);
    EXPECT_EQ(list.stateFiles.state, GitState::rebase);
    EXPECT_TRUE(list.stateFiles.has(GitStateFileType::REBASE_APPLY_DIR));
  }
}

TEST(GitViewHeadOperation, ApplyMailboxAndBisect) {
  ScratchRepo repo;
  makeDivergedBranches(repo);
  std::string patch = repo.git({"format-patch", "--stdout", "-1", "feature~1"});
  {
    std::ofstream(repo.path() / "p.mbox") << patch;
  }
  EXPECT_NE(repo.tryGit({"am", "p.mbox"}).status, 0);
  auto list = refresh(repo);
  EXPECT_EQ(list.stateFiles.state, GitState::applyMailbox);
  repo.git({"am", "--abort"});

  repo.git({"bisect", "start"});
  repo.git({"bisect", "bad", "HEAD"});
  repo.git({"bisect", "good", "HEAD~1"});
  EXPECT_EQ(refresh(repo).stateFiles.state, GitState::bisect);
}

TEST(GitViewHeadOperation, HandMadeMarkers) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  auto gitDir = repo.path() / ".git";

  std::filesystem::create_directory(gitDir / "rebase-apply");
  EXPECT_EQ(refresh(repo).stateFiles.state, GitState::applyMailboxOrRebase);
  std::filesystem::remove_all(gitDir / "rebase-apply");

  // A rebase-merge directory without the interactive marker (older git).
  std::filesystem::create_directory(gitDir / "rebase-merge");
  std::ofstream(gitDir / "rebase-merge" / "msgnum") << "1\n";
  EXPECT_EQ(refresh(repo).stateFiles.state, GitState::rebaseMerge);
  std::filesystem::remove_all(gitDir / "rebase-merge");

  // A file where a directory belongs is ignored.
  std::ofstream(gitDir / "rebase-merge") << "x";
  auto list = refresh(repo);
  EXPECT_EQ(list.stateFiles.state, GitState::none);
  EXPECT_FALSE(list.stateFiles.has(GitStateFileType::REBASE_MERGE_DIR));
  std::filesystem::remove(gitDir / "rebase-merge");

  // Rebase markers decide before MERGE_HEAD.
  std::filesystem::create_directories(gitDir / "rebase-merge");
  std::ofstream(gitDir / "rebase-merge" / "interactive") << "";
  std::ofstream(gitDir / "MERGE_HEAD") << repo.git({"rev-parse", "HEAD"});
  list = refresh(repo);
  EXPECT_EQ(list.stateFiles.state, GitState::rebaseInteractive);
  EXPECT_EQ(list.mergeHead.commit, rev(repo, "HEAD"));
}

TEST(GitViewHeadOperation, NoRepositoryIsInvalid) {
  makeGitEnvironmentHermetic();
  auto queue = GitQueue::create(std::nullopt, nullptr, Url::fileURL(testPrefix().string(), true));
  auto future = makeOperation<GitViewHeadOperation>()->enqueue(queue);
  try {
    future.wait(std::chrono::seconds(60));
    FAIL() << "expected invalidRepository";
  } catch (const TavrikError& error) {
    EXPECT_EQ(error.errorDescription, "Invalid Repository");
  }
}

TEST(GitViewHeadOperation, SecondIdenticalRefreshPostsNothing) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  repo.git({"branch", "other"});
  repo.write("b.txt", "untracked\n");
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto recorder = std::make_shared<ChangeRecorder>();
  auto token = queue->addChangeObserver(recorder);

  const GitAspects aspects = GitAspects::head | GitAspects::status | GitAspects::refs;
  queue->updateViewFor(aspects);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(recorder->seen(), aspects);
  const int firstPosts = recorder->posts;
  EXPECT_GE(firstPosts, 1);
  auto view = queue->view();
  EXPECT_EQ(view.headList.head.refname, "main");
  ASSERT_TRUE(view.status);
  EXPECT_EQ(view.status->entries.size(), 1u);
  EXPECT_EQ(view.refs.all.size(), 2u);

  queue->updateViewFor(aspects);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(recorder->posts, firstPosts);
  EXPECT_EQ(queue->view(), view);

  // A real change is reported, and only for what changed.
  repo.write("c.txt", "another\n");
  queue->updateViewFor(aspects);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(recorder->posts, firstPosts + 1);
  queue->removeChangeObserver(token);
}
