#include "Journal/JournalState.h"
#include "Support/Helpers.h"
#include "Support/ScenarioRepo.h"

#include "tavrik/Commands/BranchCommands.h"
#include "tavrik/Commands/GitFixupOperation.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Commands/WorktreeActions.h"
#include "tavrik/Diff/GitExecApplyOperation.h"
#include "tavrik/Diff/GitExecDiffOperation.h"
#include "tavrik/Rebase/GitSocketEditor.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Journal/GitUndoJournal.h"
#include "tavrik/State/GitViewRefsOperation.h"
#include "tavrik/Util/TavrikError.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>

namespace tavrik {
namespace {

namespace fs = std::filesystem;
using namespace tavrik::testing;
using namespace std::string_view_literals;

// Everything an undo must bring back, read with plain git and the file
// system: refs outside the journal's own, HEAD, the stash list, the index
// with its stages, branch settings, and every file's bytes and mode,
// untracked ones included.
// A file's mode as git keeps it (a new file gets the rest from the umask,
// as git's own checkout gives it).
std::string gitMode(mode_t mode) { return S_ISLNK(mode) ? "link" : mode & S_IXUSR ? "755" : "644"; }

std::string snapshot(const GitDir& repo) {
  std::string text = "HEAD " + repo.tryGit({"symbolic-ref", "-q", "HEAD"}).out + repo.rev("HEAD") + "\n";
  auto refs = repo.git({"for-each-ref", "--format=%(objectname) %(refname)"});
  std::istringstream lines(refs);
  for (std::string line; std::getline(lines, line);)
    if (line.find(" refs/tavrik/") == std::string::npos) text += line + "\n";
  text += repo.tryGit({"log", "-g", "--format=%H", "refs/stash"}).out;
  // Index flags: -t -v tag two; diff --cached leaves out entries added with intent to add.
  text += repo.git({"ls-files", "-s", "-t", "-v"}) + repo.git({"diff", "--cached", "--name-status", "--no-renames"});
  // Sorted: git gives the keys of a section no meaning in their order.
  text += runScript("git config --local --get-regexp '^branch\\.' | sort", repo.path());
  for (const char* name : {"MERGE_HEAD", "CHERRY_PICK_HEAD", "REVERT_HEAD", "rebase-merge/head-name"}) {
    std::ifstream in(repo.path() / ".git" / name, std::ios::binary);
    text += name + (" " + std::string(std::istreambuf_iterator<char>(in), {})) + "\n";
  }
  for (auto it = fs::recursive_directory_iterator(repo.path()); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().filename() == ".git") {
      it.disable_recursion_pending();
      continue;
    }
    struct stat info {};
    ::lstat(it->path().c_str(), &info);
    if (S_ISDIR(info.st_mode)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    // A link's bytes are its target, which may be a folder.
    const auto bytes = S_ISLNK(info.st_mode) ? fs::read_symlink(it->path()).string()
                                              : std::string(std::istreambuf_iterator<char>(in), {});
    text += fs::relative(it->path(), repo.path()).string() + " " + gitMode(info.st_mode) + " " + bytes + "\n";
  }
  return text;
}

struct JournaledRepo {
  ScratchRepo repo;
  std::shared_ptr<GitUndoJournal> journal = GitUndoJournal::make();
  std::shared_ptr<GitQueue> queue = readerQueue(repo);

  JournaledRepo() {
    arbor::Repo::initializeLibrary(); // so that the journal works in process
    queue->setJournal(journal);
    repo.commitFile("a.txt", "one\n", "first");
    repo.commitFile("dir/b.txt", "two\n", "second");
    repo.git({"branch", "side"});
    repo.git({"checkout", "-q", "side"});
    repo.commitFile("a.txt", "side\n", "on side");
    repo.commitFile("c.txt", "three\n", "third");
    repo.git({"checkout", "-q", "main"});
    repo.write("a.txt", "changed\n");
    repo.write("new.txt", "untracked\n");
    repo.write("tool.sh", "#!/bin/sh\n");
    fs::permissions(repo.path() / "tool.sh", fs::perms::owner_exec, fs::perm_options::add);
  }

  GitUndoEntry undo(GitUndoDirection direction = GitUndoDirection::undo, bool force = false) {
    return runOn(queue, makeOperation<GitUndoOperation>({.direction = direction, .force = force, .journal = journal}));
  }
};

template <class Op> std::shared_ptr<GitQueueOperation> run(const std::shared_ptr<GitQueue>& queue, std::shared_ptr<Op> op) {
  try {
    runOn(queue, op);
  } catch (const std::exception&) {
    // A refused step (nothing to commit, a conflict) is journaled all the same.
  }
  return op;
}

// A seeded random sequence of the engine's changing operations, undone one
// by one with the state compared after each, then redone to the end.
TEST(GitUndoJournal, UndoesAndRedoesRandomSequences) {
  const char* paths[] = {"a.txt", "dir/b.txt", "new.txt", "tool.sh", "c.txt", "n0.txt", "n1/x"};
  const TempDir trash; // set before this test starts its queues; GLib reads it once per process
  setenv("XDG_DATA_HOME", trash.path().c_str(), 1);
  for (unsigned seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    JournaledRepo j;
    auto& q = j.queue;
    std::mt19937 random(seed);
    j.repo.git({"config", "rebase.autoStash", "true"}); // so that rebases run beside local changes
    auto path = [&] { return std::string(paths[random() % std::size(paths)]); };
    std::vector<std::function<void()>> steps = {
        [&] { run(q, makeOperation<GitExecAddOperation>(std::set{path()})); },
        [&] { run(q, makeOperation<GitExecResetOperation>({.paths = std::set{path()}})); },
        [&] { // discard of files or folders, from the index or a commit: only those paths are kept
          std::set<std::string> chosen{path(), random() % 2 ? path() : random() % 2 ? "dir" : "n1"};
          auto from = random() % 3 ? std::nullopt : std::optional<std::string>("side");
          run(q, makeOperation<GitExecCheckoutOperation>({.treeish = from, .paths = chosen}));
        },
        [&] {
          const GitExecResetMode modes[] = {GitExecResetMode::soft, GitExecResetMode::mixed, GitExecResetMode::hard};
          run(q, makeOperation<GitExecResetOperation>({.mode = modes[random() % 3], .treeish = "HEAD~1"}));
        },
        [&] { run(q, makeOperation<GitExecCommitOperation>({.message = "step", .amend = random() % 2 == 0})); },
        [&] { run(q, GitExecBranchOperation::create("b" + std::to_string(random() % 3), std::nullopt, false)); },
        [&] { run(q, GitExecBranchOperation::deleteBranches({"b" + std::to_string(random() % 3)}, true)); },
        [&] { run(q, GitExecBranchOperation::setUpstream(random() % 2 ? "main" : "side", "b" + std::to_string(random() % 3))); },
        [&] { run(q, GitExecBranchOperation::moveBranch("b" + std::to_string(random() % 3), "b" + std::to_string(random() % 3), false)); },
        [&] { run(q, GitExecTagOperation::create("t" + std::to_string(random() % 2), std::nullopt, std::nullopt, true)); },
        [&] { run(q, GitExecStashOperation::save(std::nullopt, false, random() % 2 == 0, false)); },
        [&] { run(q, GitExecStashOperation::pop(std::nullopt, false)); },
        [&] { run(q, GitExecStashOperation::drop(int(random() % 2))); },
        [&] { run(q, makeOperation<GitExecCheckoutOperation>({.treeish = random() % 2 ? "side" : "main"})); },
        [&] { run(q, makeOperation<GitExecMergeOperation>({.refish = "side"})); },
        [&] { run(q, makeOperation<GitExecCherryPickOperation>(GitExecCherryPickOptions{.commits = {*Oid::parse(j.repo.rev("side"))}})); },
        [&] { run(q, makeOperation<GitExecRmOperation>({.paths = {path()}, .cached = random() % 2 == 0})); },
        [&] { run(q, makeOperation<GitExecRevertOperation>({.oid = Oid::parse(j.repo.rev("HEAD"))})); },
        [&] { run(q, makeOperation<GitExecRebaseOperation>({.refish = random() % 2 ? "side" : "main"})); },
        [&] { run(q, makeOperation<GitFixupOperation>(GitFixupOptions{.commit = "HEAD~1"})); },
        [&] { run(q, makeOperation<GitTrashAction>(std::set{random() % 3 ? path() : random() % 2 ? "dir" : "n1"})); },
        [&] { // discard --lines
          auto list = runOn(q, makeOperation<GitExecDiffOperation>({.paths = {random() % 2 ? "a.txt" : path()}}));
          if (list.diffs.empty()) return;
          list.diffs[0]->copyPatchData(*runOn(q, makeOperation<GitExecDiffOperation>(*list.diffs[0], 3)).diffs.at(0));
          const auto count = list.diffs[0]->lines.size();
          const std::set<size_t> lines{random() % count, random() % count, random() % count};
          run(q, makeOperation<GitExecApplyOperation>({.diff = list.diffs[0], .reverse = true, .keepLines = lines}));
        },
        [&] { // an interactive rebase from the root, with a verb for HEAD
          GitRebaseRequest plan({{GitRebaseAction::Verb(random() % 5), *Oid::parse(j.repo.rev("HEAD"))}}, {}, {});
          auto editor = GitSocketEditor::create(worktreeDescriptor(j.repo.path()), plan);
          run(q, GitExecRebaseOperation::interactiveRebase(std::nullopt, editor));
        },
        [&] { // index flags set by git, journaled, so that the steps after meet them
          const char* flags[] = {"--skip-worktree", "--assume-unchanged", "--no-skip-worktree", "--no-assume-unchanged"};
          const std::string name = paths[random() % std::size(paths)], flag = flags[random() % 4];
          GitOperationContext context(q);
          auto token = j.journal->record("git", GitJournalScope::workingTree, context);
          j.repo.write(name, "flagged " + std::to_string(random()) + "\n");
          j.repo.tryGit(random() % 2 ? std::vector<std::string>{"update-index", flag, name}
                                     : std::vector<std::string>{"add", "-N", name});
          j.journal->operationDidRun(token, context);
        },
    };
    for (int k = 0; k < 3; ++k) steps.push_back(steps[steps.size() - 3]); // the last three twice as often
    std::vector<std::string> states{snapshot(j.repo)};
    for (int i = 0; i < 18; ++i) {
      const auto recorded = j.journal->recordedEntries();
      steps[random() % steps.size()]();
      // A step refused before it ran leaves no entry, and must change nothing.
      if (j.journal->recordedEntries() == recorded) ASSERT_EQ(snapshot(j.repo), states.back());
      else states.push_back(snapshot(j.repo));
    }
    ASSERT_EQ(runOn(q, makeOperation<GitUndoListOperation>()).size(), states.size() - 1);
    for (size_t i = states.size() - 1; i > 0; --i) {
      auto entry = j.undo();
      ASSERT_EQ(snapshot(j.repo), states[i - 1]) << "after undoing " << entry.title;
    }
    EXPECT_THROW(j.undo(), TavrikError);
    for (size_t i = 1; i < states.size(); ++i) {
      auto entry = j.undo(GitUndoDirection::redo);
      ASSERT_EQ(snapshot(j.repo), states[i]) << "after redoing " << entry.title;
    }
  }
}

// A branch moved into its own folder (side to side/x) and back: git takes
// no deletion of a ref with a creation in its folder in one transaction.
TEST(GitUndoJournal, UndoesABranchMovedIntoItsOwnFolder) {
  JournaledRepo j;
  for (auto [from, to] : {std::pair{"side", "side/x"}, std::pair{"side/x", "side"}}) {
    const auto before = snapshot(j.repo);
    runOn(j.queue, GitExecBranchOperation::moveBranch(from, to, false));
    const auto after = snapshot(j.repo);
    j.undo();
    EXPECT_EQ(snapshot(j.repo), before) << from << " to " << to;
    j.undo(GitUndoDirection::redo);
    EXPECT_EQ(snapshot(j.repo), after);
  }
}

// A change made outside the engine since the entry: the undo refuses, naming
// it; forced, it journals what is there first, so it can be undone in turn.
TEST(GitUndoJournal, RefusesOutsideChangesUnlessForced) {
  JournaledRepo j;
  const auto start = snapshot(j.repo);
  runOn(j.queue, makeOperation<GitExecCheckoutOperation>({.paths = std::set<std::string>{"a.txt"}}));
  j.repo.write("a.txt", "edited outside\n");
  const auto outside = snapshot(j.repo);
  try {
    j.undo();
    FAIL() << "an outside change was overwritten";
  } catch (const TavrikError& error) {
    EXPECT_NE(std::string(error.what()).find("a.txt"), std::string::npos) << error.what();
  }
  EXPECT_EQ(snapshot(j.repo), outside);
  j.undo(GitUndoDirection::undo, true);
  EXPECT_EQ(snapshot(j.repo), start);
  j.undo();
  EXPECT_EQ(snapshot(j.repo), outside);
}

// An operation that names its paths keeps only the files there, and under
// the folders among them: in process and through git the same tree, with
// untracked files but no ignored ones, nothing beyond a symbolic link, odd
// names kept. Its undo leaves every other file as it is by then.
TEST(GitUndoJournal, KeepsOnlyTheFilesAtTheOperationsPaths) {
  JournaledRepo j;
  runScript("echo '*.log' > .gitignore; mkdir -p dir/sub real; echo u > dir/sub/u.txt; echo l > dir/x.log;"
            "printf q > 'dir/\"q'; printf nl > 'dir/n\nl'; printf ff > \"$(printf 'dir/\\377')\";"
            "ln -s ../a.txt dir/link; ln -s real linked; echo r > real/r.txt; git init -q dir/inner; chmod +x dir/b.txt",
            j.repo.path());
  GitOperationContext context(j.queue);
  const std::vector<std::string> paths{"dir", "tool.sh", "gone.txt", "linked/r.txt", "a.txt"};
  const auto index = journal::indexText(journal::readIndexWithGit(context).index);
  auto inProcess = journal::Store::open(context);
  journal::Store withGit{context, std::nullopt};
  ASSERT_TRUE(inProcess.repo);
  const auto kept = journal::snapshotPaths(inProcess, paths), keptByGit = journal::snapshotPaths(withGit, paths);
  ASSERT_TRUE(kept && keptByGit);
  EXPECT_EQ(kept->tree, keptByGit->tree);
  std::string listing; // "<mode> <path>\0", as -z gives the path unquoted
  const auto records = j.repo.git({"ls-tree", "-r", "-z", kept->tree});
  for (size_t at = 0, end; (end = records.find('\0', at)) != std::string::npos; at = end + 1)
    listing += records.substr(at, 7) + records.substr(records.find('\t', at) + 1, end - records.find('\t', at)); 
  EXPECT_EQ(listing,
            std::string("100644 a.txt\0" "100644 dir/\"q\0" "100755 dir/b.txt\0" "120000 dir/link\0" "100644 dir/n\nl\0"
                        "100644 dir/sub/u.txt\0" "100644 dir/\xff\0" "100755 tool.sh\0"sv));
  // All but dir/b.txt, whose bytes the index holds: 8 + 1 + 8 + 2 + 2 + 2 + 10.
  EXPECT_EQ(journal::bytesBeyondIndex(*kept, index), 33u);
  for (const char* odd : {"/abs", "./a.txt", "dir/../a.txt", "dir/", ".git/config"})
    EXPECT_FALSE(journal::snapshotPaths(withGit, {odd})) << odd;

  const auto start = snapshot(j.repo);
  runOn(j.queue, makeOperation<GitExecCheckoutOperation>({.paths = {"a.txt", "dir"}}));
  j.repo.write("new.txt", "edited since\n");
  j.undo();
  std::ifstream edited(j.repo.path() / "new.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(edited), {}), "edited since\n");
  j.repo.write("new.txt", "untracked\n");
  EXPECT_EQ(snapshot(j.repo), start);
}

// A process killed outright while its discard runs (git waits in a hook,
// the entry's "before" written): another process's undo brings it all back.
TEST(GitUndoJournal, UndoesTheOperationOfAKilledProcess) {
  if (const char* dir = std::getenv("TAVRIK_KILLED_IN")) { // the child, run by the test below
    auto queue = readerQueue(GitDir(dir));
    queue->setJournal(GitUndoJournal::make());
    runOn(queue, makeOperation<GitExecCheckoutOperation>({.paths = std::set<std::string>{"a.txt"}}));
    _exit(0);
  }
  JournaledRepo j;
  runScript("git add -N new.txt; git update-index --skip-worktree dir/b.txt; mkfifo .git/fifo; h=.git/hooks/post-checkout;"
            "printf '#!/bin/sh\\n: > .git/started\\ncat .git/fifo\\n: > .git/done\\n' > $h; chmod +x $h", j.repo.path());
  const auto start = snapshot(j.repo);
  auto waitFor = [&](const char* name) { // up to 10 s
    for (int i = 0; i < 400 && !fs::exists(j.repo.path() / ".git" / name); ++i) usleep(25000);
    return fs::exists(j.repo.path() / ".git" / name);
  };
  setenv("TAVRIK_KILLED_IN", j.repo.path().c_str(), 1);
  const pid_t child = fork();
  if (child == 0) execl("/proc/self/exe", "child", "--gtest_filter=*OfAKilledProcess", static_cast<char*>(nullptr));
  unsetenv("TAVRIK_KILLED_IN");
  ASSERT_TRUE(waitFor("started"));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  std::ofstream(j.repo.path() / ".git/fifo").close(); // the hook, and the orphaned git, end
  ASSERT_TRUE(waitFor("done"));
  ASSERT_NE(snapshot(j.repo), start) << "the discard never ran";
  j.undo();
  EXPECT_EQ(snapshot(j.repo), start);
}

// An undo enqueued among operations that run beside it takes back one
// finished entry, never one still being written.
TEST(GitUndoJournal, AnUndoAmongRunningOperationsTakesBackOneFinishedEntry) {
  JournaledRepo j;
  runOn(j.queue, GitExecTagOperation::create("base", std::nullopt, std::nullopt, false));
  std::vector<std::shared_ptr<GitExecTagOperation>> tags;
  std::shared_ptr<GitUndoOperation> undo;
  for (int i = 0; i < 8; ++i) {
    // Once an entry is being written beside it.
    while (i == 4 && j.journal->recordedEntries() < 2) std::this_thread::yield();
    if (i == 4) (undo = makeOperation<GitUndoOperation>({.journal = j.journal}))->enqueue(j.queue);
    tags.push_back(GitExecTagOperation::create("t" + std::to_string(i), std::nullopt, std::nullopt, false));
    tags.back()->enqueue(j.queue);
  }
  j.queue->waitUntilAllOperationsAreFinished();
  auto undone = undo->future().value();
  ASSERT_TRUE(undone.has_value()) << "the undo failed";
  EXPECT_TRUE(undone->complete);
  auto list = j.repo.git({"tag", "--list"});
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 8) << list;
  for (const auto& entry : runOn(j.queue, makeOperation<GitUndoListOperation>())) EXPECT_TRUE(entry.complete);
}

// The index listed in process equals git's listing, byte for byte: random
// indexes of every version with conflicts, flags and odd names; a split
// index, which libgit2 cannot read, is left to git.
TEST(GitUndoJournal, ListsTheIndexInProcessAsGitDoes) {
  arbor::Repo::initializeLibrary();
  const char* names[] = {"a", "b\xff", "c\nd", "e f/g", "t\tab", "\xc3\xa9/x", "z/y/x", "q\"u"};
  const char* modes[] = {"100644", "100755", "120000", "160000"};
  for (unsigned seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ScratchRepo repo;
    std::mt19937 random(seed);
    auto id = [&] {
      std::string hex;
      for (int i = 0; i < 40; ++i) hex += "0123456789abcdef"[random() % 16];
      return hex;
    };
    std::string info;
    std::vector<std::string> staged;
    for (const char* name : names) {
      if (random() % 4 == 0) continue;
      if (random() % 3 == 0) { // a conflict: some of stages 1 to 3
        for (int stage = 1; stage <= 3; ++stage)
          if (random() % 3) info += std::string(modes[random() % 2]) + " " + id() + " " + std::to_string(stage) + "\t" + name + '\0';
      } else {
        info += std::string(modes[random() % 4]) + " " + id() + " 0\t" + name + '\0';
        staged.push_back(name);
      }
    }
    std::ofstream(repo.path() / ".git/info-input", std::ios::binary) << info;
    runScript("git update-index -z --index-info < .git/info-input", repo.path());
    for (const auto& name : staged) {
      const char* flags[] = {"--skip-worktree", "--assume-unchanged"};
      if (random() % 3 == 0) repo.git({"update-index", flags[random() % 2], "--", name});
    }
    repo.write("new.txt", "");
    if (random() % 2) repo.git({"add", "-N", "new.txt"});
    repo.git({"update-index", "--index-version", std::to_string(2 + random() % 3)});
    auto queue = readerQueue(repo);
    GitOperationContext context(queue);
    const auto index = (repo.path() / ".git/index").string();
    const auto inProcess = journal::readIndexInProcess(index);
    const auto withGit = journal::readIndexWithGit(context);
    ASSERT_TRUE(inProcess);
    EXPECT_EQ(inProcess->text, journal::indexText(withGit.index));
    EXPECT_EQ(inProcess->indexFlags, withGit.indexFlags);
    if (seed == 1) {
      repo.git({"update-index", "--split-index"});
      EXPECT_FALSE(journal::readIndexInProcess(index));
    }
  }
}

TEST(GitUndoJournal, RetentionDropsTheOldestAndListsStayClean) {
  JournaledRepo j;
  auto small = std::make_shared<GitUndoJournal>(GitUndoJournalOptions{.maxEntries = 3});
  j.queue->setJournal(small);
  for (int i = 0; i < 5; ++i) runOn(j.queue, GitExecTagOperation::create("t" + std::to_string(i), std::nullopt, std::nullopt, false));
  auto list = runOn(j.queue, makeOperation<GitUndoListOperation>());
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list.front().number, 5u);
  EXPECT_EQ(list.back().number, 3u);
  // The journal's refs stay out of the ref list the engine shows.
  auto refs = runOn(j.queue, makeOperation<GitViewRefsOperation>());
  for (const auto& ref : refs->all) EXPECT_FALSE(ref.name.starts_with("refs/tavrik/")) << ref.name;
}

} // namespace
} // namespace tavrik
