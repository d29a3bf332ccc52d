#include "tavrik/Commands/WorktreeActions.h"

#include "Support/Helpers.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/Util/TavrikError.h"

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

using namespace tavrik;
using namespace tavrik::testing;
namespace fs = std::filesystem;

namespace {

using Paths = std::set<std::string>;

// GLib reads XDG_DATA_HOME once per process, so the whole suite shares one
// trash, set before the first trash call.
class TrashTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    static TempDir data;
    dataHome = data.path();
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
  }
  static inline fs::path dataHome;
  fs::path trashed(const std::string& name) const { return dataHome / "Trash/files" / name; }
  std::string trashInfo(const std::string& name) const { return readFile(dataHome / "Trash/info" / (name + ".trashinfo")); }
};

} // namespace

TEST_F(TrashTest, MovesFilesToTheTrashAfterUnstagingThem) {
  ScratchRepo repo;
  repo.commitFile("tracked.txt", "t\n", "one");
  repo.write("staged new.txt", "s\n");
  repo.git({"add", "staged new.txt"});
  repo.write("tracked.txt", "changed\n");
  fs::create_directory_symlink("/", repo.path() / "link to root");
  auto queue = readerQueue(repo);
  runOn(queue, makeOperation<GitTrashAction>(Paths{"staged new.txt", "tracked.txt", "link to root"}));

  EXPECT_EQ(readFile(trashed("staged new.txt")), "s\n");
  EXPECT_EQ(readFile(trashed("tracked.txt")), "changed\n");
  EXPECT_TRUE(fs::is_symlink(trashed("link to root"))) << "the link goes, not its target";
  EXPECT_NE(trashInfo("tracked.txt").find("Path=" + (repo.path() / "tracked.txt").string()), std::string::npos)
      << trashInfo("tracked.txt");
  // The new file left the index; the tracked one shows as deleted.
  EXPECT_EQ(repo.git({"status", "--porcelain"}), " D tracked.txt\n");
}

// Paths outside the working tree are refused before anything is unstaged.
TEST_F(TrashTest, RefusesPathsOutsideTheWorkingTree) {
  ScratchRepo repo;
  repo.commitFile("f", "1\n", "one");
  repo.write("staged", "s\n");
  repo.git({"add", "staged"});
  TempDir outside;
  GitDir(outside.path()).write("victim/file", "keep\n");
  fs::create_directory_symlink(outside.path() / "victim", repo.path() / "through");
  auto queue = readerQueue(repo);
  const std::string escapes[] = {"../" + outside.path().filename().string() + "/victim/file",
                                 (outside.path() / "victim/file").string(), "through/file", ".git/config", "",
                                 "missing", "."};
  for (const auto& path : escapes) {
    SCOPED_TRACE(path);
    EXPECT_THROW(runOn(queue, makeOperation<GitTrashAction>(Paths{"staged", path})), TavrikError);
    EXPECT_EQ(repo.git({"status", "--porcelain"}), "A  staged\n?? through\n");
  }
  EXPECT_EQ(readFile(outside.path() / "victim/file"), "keep\n");
  EXPECT_TRUE(fs::exists(repo.path() / ".git/config"));
  // The refusal says why.
  for (auto [path, reason] : {std::pair<std::string, std::string>{"through/file", "\"through\" is a link to a folder outside"},
                              {"gone/file", "The folder \"gone\" does not exist."}}) {
    try {
      GitTrashAction::checkedLocation(Url::fileURL(repo.path().string(), true), path);
      ADD_FAILURE() << path;
    } catch (const TavrikError& error) {
      EXPECT_TRUE(error.failureReason.value_or("").starts_with(reason)) << error.failureReason.value_or("");
    }
  }
}

TEST_F(TrashTest, AFailingTrashLeavesTheFile) {
  ScratchRepo repo;
  repo.commitFile("f", "1\n", "one");
  repo.write("doomed", "d\n");
  auto queue = readerQueue(repo);
  // A trash folder that cannot be made: GIO fails and the file stays.
  fs::remove_all(dataHome / "Trash");
  GitDir(dataHome).write("Trash", "not a folder");
  EXPECT_THROW(runOn(queue, makeOperation<GitTrashAction>(Paths{"doomed"})), TavrikError);
  fs::remove(dataHome / "Trash");
  EXPECT_EQ(readFile(repo.path() / "doomed"), "d\n");

  // tmpfs mounts such as /dev/shm have no trash at all.
  if (fs::is_directory("/dev/shm")) {
    auto shm = fs::path("/dev/shm") / ("tavrik-trash-" + std::to_string(::getpid()));
    fs::create_directory(shm);
    GitDir(shm).write("file", "x\n");
    GitRepositoryDescriptor descriptor = worktreeDescriptor(shm);
    descriptor.isBare = false;
    auto action = makeOperation<GitTrashAction>(Paths{"file"});
    action->overrideDescriptor = descriptor;
    runProgram({"git", "init", "-q"}, shm);
    EXPECT_THROW(runOn(queue, action), TavrikError);
    EXPECT_EQ(readFile(shm / "file"), "x\n");
    fs::remove_all(shm);
  }
  EXPECT_THROW(runOn(makeReaderQueue(bareDescriptor(repo.path() / ".git")), makeOperation<GitTrashAction>(Paths{"f"})),
               TavrikError);
}

TEST(GitConflictResolveAction, TakesOneSideOrRemovesWhatItDeleted) {
  ScratchRepo repo;
  repo.commitFile("both", "base\n", "base");
  repo.commitFile("gone", "base\n", "base gone");
  repo.git({"checkout", "-q", "-b", "theirs"});
  repo.commitFile("both", "theirs\n", "theirs");
  repo.git({"rm", "-q", "gone"});
  repo.git({"commit", "-q", "-m", "theirs deletes"});
  repo.git({"checkout", "-q", "main"});
  repo.commitFile("both", "ours\n", "ours");
  repo.commitFile("gone", "ours\n", "ours edits gone");
  auto queue = readerQueue(repo);
  // The view's status predates the conflict: the action reads its own.
  runOn(queue, makeOperation<GitViewExecStatusOperation>(false));
  repo.tryGit({"merge", "theirs"});

  runOn(queue, makeOperation<GitConflictResolveAction>("both", false));
  EXPECT_EQ(readFile(repo.path() / "both"), "theirs\n");
  runOn(queue, makeOperation<GitConflictResolveAction>("gone", false));
  EXPECT_FALSE(fs::exists(repo.path() / "gone"));
  EXPECT_EQ(repo.git({"status", "--porcelain"}), "M  both\nD  gone\n");
}

TEST(GitAppendRulesOperation, AppendsToGitignoreAndTheCommonExcludeFile) {
  ScratchRepo repo;
  repo.commitFile("f", "1\n", "one");
  auto queue = readerQueue(repo);
  runOn(queue, makeOperation<GitAppendRulesOperation>(GitConfigFile::localGitignore,
                                                      std::vector<std::string>{"  *.log \n", " ", "build/"}));
  EXPECT_EQ(readFile(repo.path() / ".gitignore"), "\n*.log\nbuild/");
  // Bytes that are not UTF-8 stay; the mode stays.
  repo.write(".gitignore", "caf\xe9\n");
  fs::permissions(repo.path() / ".gitignore", fs::perms(0640));
  runOn(queue, makeOperation<GitAppendRulesOperation>(GitConfigFile::localGitignore, std::vector<std::string>{"x"}));
  EXPECT_EQ(readFile(repo.path() / ".gitignore"), "caf\xe9\nx");
  EXPECT_EQ(fs::status(repo.path() / ".gitignore").permissions(), fs::perms(0640));

  // A linked worktree's .git is a file: its exclude rules live in the common directory.
  TempDir linked;
  auto worktree = linked.path() / "wt";
  repo.git({"worktree", "add", "-q", worktree.string()});
  GitRepositoryDescriptor descriptor = worktreeDescriptor(worktree);
  descriptor.gitURL = Url::fileURL((repo.path() / ".git/worktrees/wt").string(), true);
  descriptor.commonURL = Url::fileURL((repo.path() / ".git").string(), true);
  auto linkedQueue = makeReaderQueue(descriptor);
  fs::remove(repo.path() / ".git/info/exclude");
  runOn(linkedQueue, makeOperation<GitAppendRulesOperation>(GitConfigFile::localExclude, std::vector<std::string>{"secret"}));
  EXPECT_EQ(readFile(repo.path() / ".git/info/exclude"), "\nsecret");
  GitDir(worktree).write("secret", "s\n");
  EXPECT_EQ(GitDir(worktree).git({"status", "--porcelain"}), "");
}

// A committed link must not let the ignore rules rewrite a file elsewhere;
// git itself does not read a .gitignore that is a link.
TEST(GitAppendRulesOperation, RefusesLinksOutOfTheirFolder) {
  ScratchRepo repo;
  TempDir outside;
  auto writeFile = [](const fs::path& path, const std::string& text) { std::ofstream(path) << text; };
  const auto bashrc = outside.path() / "bashrc";
  writeFile(bashrc, "alias ls=ls\n");
  fs::create_symlink(bashrc, repo.path() / ".gitignore");
  repo.write("a.log", "x\n");
  writeFile(bashrc, "*.log\n");
  EXPECT_EQ(repo.git({"status", "--porcelain", "--", "a.log"}), "?? a.log\n"); // git ignores the link's rules
  auto queue = readerQueue(repo);
  auto append = [&](GitConfigFile file) {
    runOn(queue, makeOperation<GitAppendRulesOperation>(file, std::vector<std::string>{"*.tmp"}));
  };
  EXPECT_THROW(append(GitConfigFile::localGitignore), TavrikError);
  fs::remove(repo.path() / ".gitignore");

  fs::remove(repo.path() / ".git/info/exclude");
  fs::create_symlink(bashrc, repo.path() / ".git/info/exclude");
  EXPECT_THROW(append(GitConfigFile::localExclude), TavrikError);
  EXPECT_EQ(readFile(bashrc), "*.log\n");
  EXPECT_TRUE(fs::is_symlink(repo.path() / ".git/info/exclude"));

  // A link that stays in the git directory is followed; git reads it too.
  fs::remove(repo.path() / ".git/info/exclude");
  writeFile(repo.path() / ".git/shared-exclude", "*.log\n");
  fs::create_symlink("../shared-exclude", repo.path() / ".git/info/exclude");
  append(GitConfigFile::localExclude);
  EXPECT_EQ(readFile(repo.path() / ".git/shared-exclude"), "*.log\n*.tmp");
  repo.write("b.tmp", "x\n");
  EXPECT_EQ(repo.git({"status", "--porcelain", "-uall"}), "");
}

// Cancelling the action stops the child that runs (a commit in a slow hook);
// cancelled before it starts, it runs nothing.
TEST(GitCompoundAction, CancelReachesTheRunningChild) {
  ScratchRepo repo;
  repo.commitFile("f", "1\n", "one");
  repo.write(".git/hooks/pre-commit", "#!/bin/sh\nsleep 30\n");
  fs::permissions(repo.path() / ".git/hooks/pre-commit", fs::perms(0755));
  repo.write("f", "2\n");
  repo.git({"add", "f"});
  auto queue = readerQueue(repo);

  auto idle = makeOperation<GitCommitAction>({.message = "never"});
  idle->cancel();
  EXPECT_THROW(runOn(queue, idle), pledge::CancelledError);

  auto action = makeOperation<GitCommitAction>({.message = "slow"});
  auto future = action->enqueue(queue);
  auto start = std::chrono::steady_clock::now();
  while (!action->currentChild() && std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(action->currentChild());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  action->cancel();
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_THROW(future.wait(std::chrono::seconds(1)), pledge::CancelledError);
  EXPECT_EQ(repo.git({"log", "--format=%s"}), "one\n");
}
