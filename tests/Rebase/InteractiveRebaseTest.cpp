#include "tavrik/Rebase/GitSocketEditor.h"

#include "Support/Helpers.h"
#include "tavrik/State/GitExecRevListCountOperation.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Commands/WorktreeActions.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitStateFile.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;
using Verb = GitRebaseAction::Verb;
using Position = GitRebaseRequest::MovePosition;

namespace {

// base, then c1..c6, each adding a file of its own so that any order applies.
struct Stack : ScratchRepo {
  std::string base;
  std::vector<std::string> c{""};
  Stack() {
    base = commitFile("base", "b\n", "base");
    for (int i = 1; i <= 6; ++i) c.push_back(commitFile("f" + std::to_string(i), "x\n", "c" + std::to_string(i)));
  }
  Oid oid(int i) const { return *Oid::parse(c[static_cast<size_t>(i)]); }
  std::string line(const std::string& verb, int i) const { return verb + " " + c[static_cast<size_t>(i)] + " c" + std::to_string(i) + "\n"; }
  GitState state() const { return gitState(*this); }
};

// git's own interactive rebase of a copy, with `todo` as the instruction list
// and `editorScript` as the message editor. Commit dates are fixed, so the
// same rebase gives the same commit ids.
std::string rebasedByGit(const GitDir& repo, const std::string& upstream, const std::string& todo,
                         const std::string& editorScript = ":") {
  TempDir copy;
  runScript("cp -a '" + repo.path().string() + "/.' .", copy.path());
  GitDir(copy.path()).write("../todo-" + copy.path().filename().string(), todo);
  auto todoPath = (copy.path().parent_path() / ("todo-" + copy.path().filename().string())).string();
  auto result = runProgram({"env", "GIT_SEQUENCE_EDITOR=cp '" + todoPath + "'", "GIT_EDITOR=" + editorScript, "git",
                            "rebase", "-q", "-i", upstream},
                           copy.path());
  std::filesystem::remove(todoPath);
  EXPECT_EQ(result.status, 0) << result.err;
  return GitDir(copy.path()).rev("HEAD");
}

std::string rebasedByEngine(const Stack& repo, std::optional<std::string> upstream, GitRebaseRequest request,
                            GitSocketEditor::MessageHook hook = {}) {
  auto editor = GitSocketEditor::create(worktreeDescriptor(repo.path()), std::move(request), std::move(hook));
  runOn(readerQueue(repo), GitExecRebaseOperation::interactiveRebase(std::move(upstream), editor));
  EXPECT_FALSE(editor->editedFiles().empty()) << "git never reached the bridge";
  return repo.rev("HEAD");
}

const char* kRewordScript = "f() { case \"$(grep -v '^#' .git/rebase-merge/done | tail -n1)\" in "
                            "reword*) printf 'c2 reworded\\n' > \"$1\";; esac; }; f";

} // namespace

// Every verb, and moves above and below, against the same rebase by git.
TEST(InteractiveRebase, AppliesEveryVerbAndMoveLikeGit) {
  Stack repo;
  auto hook = [&](const std::string&, const std::optional<std::string>& commit) -> std::optional<std::string> {
    if (commit && repo.c[2].starts_with(*commit)) return "c2 reworded\n";
    return std::nullopt;
  };
  auto expected = rebasedByGit(repo, repo.base,
                               repo.line("pick", 1) + repo.line("reword", 2) + repo.line("squash", 3) +
                                   repo.line("fixup", 4) + repo.line("drop", 5) + repo.line("pick", 6),
                               kRewordScript);
  GitRebaseRequest verbs({{Verb::pick, repo.oid(1)}, {Verb::reword, repo.oid(2)}, {Verb::squash, repo.oid(3)},
                          {Verb::fixup, repo.oid(4)}, {Verb::drop, repo.oid(5)}},
                         std::nullopt, *Oid::parse(repo.base));
  EXPECT_EQ(rebasedByEngine(repo, repo.base, verbs, hook), expected);
  EXPECT_EQ(repo.git({"log", "--format=%s", "-3"}), "c6\nc2 reworded\nc1\n");
  EXPECT_NE(repo.git({"log", "-1", "--format=%B", "HEAD^"}).find("c3"), std::string::npos) << "squash keeps both messages";

  const auto pick = [&](std::initializer_list<int> order) {
    std::string todo;
    for (int i : order) todo += repo.line("pick", i);
    return todo;
  };
  GitRebaseRequest above({{Verb::move, repo.oid(2)}, {Verb::move, repo.oid(3)}},
                         GitRebaseRequest::Move{repo.oid(5), Position::above}, std::nullopt);
  GitRebaseRequest below({{Verb::move, repo.oid(6)}}, GitRebaseRequest::Move{repo.oid(1), Position::below}, std::nullopt);
  for (auto& [request, order] : {std::pair{above, pick({1, 4, 5, 2, 3, 6})}, std::pair{below, pick({6, 1, 2, 3, 4, 5})}}) {
    repo.git({"reset", "-q", "--hard", repo.c[6]});
    expected = rebasedByGit(repo, repo.base, order);
    EXPECT_EQ(rebasedByEngine(repo, repo.base, request), expected);
  }
}

// At every edit stop, the first as the later ones, the stopped commit is back
// in the index and the commit action replaces it, then continues.
TEST(InteractiveRebase, EditStopsContinueThroughTheCommitAction) {
  Stack repo;
  auto expected = [&] {
    TempDir copy;
    runScript("cp -a '" + repo.path().string() + "/.' . && cat > ../todo-edit <<EOF\n" + repo.line("pick", 1) +
                  repo.line("edit", 2) + repo.line("pick", 3) + repo.line("edit", 4) + repo.line("pick", 5) +
                  repo.line("pick", 6) + "EOF\n" +
                  "GIT_SEQUENCE_EDITOR='cp ../todo-edit' git rebase -q -i " + repo.base + " 2>/dev/null\n"
                  "git reset -q --soft HEAD^ && git commit -q -m 'c2 again' && git rebase --continue 2>/dev/null\n"
                  "git reset -q --soft HEAD^ && echo more > extra && git add extra && git commit -q -m 'c4 and extra'"
                  " && git rebase --continue\n"
                  "rm ../todo-edit",
              copy.path());
    return GitDir(copy.path()).rev("HEAD");
  }();
  auto queue = readerQueue(repo);
  auto editor = GitSocketEditor::create(worktreeDescriptor(repo.path()),
                                        GitRebaseRequest(Verb::edit, {repo.oid(2), repo.oid(4)}, std::nullopt));
  runOn(queue, GitExecRebaseOperation::interactiveRebase(repo.base, editor));
  EXPECT_EQ(repo.state(), GitState::rebaseInteractive);
  EXPECT_EQ(repo.git({"diff", "--cached", "--name-only"}), "f2\n") << "c2 is back in the index";
  runOn(queue, makeOperation<GitCommitAction>({.message = "c2 again"}));
  EXPECT_EQ(repo.state(), GitState::rebaseInteractive) << "stopped at c4";
  EXPECT_EQ(repo.git({"diff", "--cached", "--name-only"}), "f4\n") << "c4 is back in the index";
  repo.write("extra", "more\n");
  runOn(queue, makeOperation<GitExecAddOperation>(std::set<std::string>{"extra"}));
  runOn(queue, makeOperation<GitCommitAction>({.message = "c4 and extra"}));
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.rev("HEAD"), expected);
}

// A stop at the root commit has nothing below it to reopen: the commit
// action amends it, as a user would.
TEST(InteractiveRebase, AnEditStopAtTheRootIsAmended) {
  Stack repo;
  std::string todo = "edit " + repo.base + " base\n";
  for (int i = 1; i <= 6; ++i) todo += repo.line("pick", i);
  TempDir copy;
  runScript("cp -a '" + repo.path().string() + "/.' . && cat > ../todo-root <<EOF\n" + todo + "EOF\n" +
                "GIT_SEQUENCE_EDITOR='cp ../todo-root' git rebase -q -i --root 2>/dev/null\n"
                "git commit -q --amend -m 'base again' && git rebase --continue\nrm ../todo-root",
            copy.path());
  auto queue = readerQueue(repo);
  auto editor = GitSocketEditor::create(worktreeDescriptor(repo.path()),
                                        GitRebaseRequest(Verb::edit, {*Oid::parse(repo.base)}, std::nullopt));
  runOn(queue, GitExecRebaseOperation::interactiveRebase(std::nullopt, editor));
  EXPECT_EQ(repo.state(), GitState::rebaseInteractive);
  runOn(queue, makeOperation<GitCommitAction>({.message = "base again"}));
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.rev("HEAD"), GitDir(copy.path()).rev("HEAD"));
}

// A plan is checked before git runs: a commit outside the rebased range, or
// one named twice, is refused and nothing changes.
TEST(InteractiveRebase, RefusesAPlanThatDoesNotFitTheCommits) {
  Stack repo;
  const auto head = repo.rev("HEAD");
  const GitRebaseRequest plans[] = {
      GitRebaseRequest(Verb::drop, {repo.oid(1)}, std::nullopt),                       // below HEAD~3
      GitRebaseRequest({{Verb::drop, repo.oid(5)}, {Verb::pick, repo.oid(5)}}, std::nullopt, std::nullopt),
  };
  for (const auto& plan : plans) {
    auto editor = GitSocketEditor::create(worktreeDescriptor(repo.path()), plan);
    EXPECT_THROW(runOn(readerQueue(repo), GitExecRebaseOperation::interactiveRebase(repo.c[6] + "~3", editor)),
                 TavrikError);
    EXPECT_TRUE(editor->editedFiles().empty()) << "git ran";
    EXPECT_EQ(repo.rev("HEAD"), head);
    EXPECT_EQ(repo.state(), GitState::none);
  }
  auto editor = GitSocketEditor::create(worktreeDescriptor(repo.path()), GitRebaseRequest(Verb::drop, {repo.oid(4)}, std::nullopt));
  runOn(readerQueue(repo), GitExecRebaseOperation::interactiveRebase(repo.c[6] + "~3", editor));
  EXPECT_EQ(repo.git({"log", "--format=%s", "-3"}), "c6\nc5\nc3\n");
}

// A break stop replayed nothing: after the commit action goes on from one,
// the commit before the next break stays.
TEST(InteractiveRebase, TheCommitActionUndoesNothingAtABreak) {
  Stack repo;
  auto todo = repo.line("pick", 1) + "break\n" + repo.line("pick", 2) + "break\n" + repo.line("pick", 3);
  repo.write(".git/todo-break", todo);
  ASSERT_EQ(runProgram({"env", "GIT_SEQUENCE_EDITOR=cp .git/todo-break", "git", "rebase", "-q", "-i", repo.c[3] + "~3"},
                       repo.path()).status, 0);
  repo.write("extra", "e\n");
  repo.git({"add", "extra"});
  runOn(readerQueue(repo), makeOperation<GitCommitAction>({.message = "extra"}));
  EXPECT_EQ(repo.state(), GitState::rebaseInteractive);
  EXPECT_EQ(repo.git({"log", "--format=%s", "-3"}), "c2\nextra\nc1\n");
  EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=no"}), "");
}

TEST(InteractiveRebase, RebasesFromTheRootBelowTheThresholdAndLeavesUnplannedListsAlone) {
  Stack repo;
  auto queue = readerQueue(repo);
  GitRebaseRequest dropBase({{Verb::drop, *Oid::parse(repo.base)}}, std::nullopt, std::nullopt);
  std::string todo = "drop " + repo.base + " base\n";
  for (int i = 1; i <= 6; ++i) todo += repo.line("pick", i);
  auto expected = rebasedByGit(repo, "--root", todo);
  auto editor = GitSocketEditor::create(worktreeDescriptor(repo.path()), dropBase);
  auto count = makeOperation<GitExecRevListCountOperation>(*Oid::parse(repo.base))->enqueue(queue);
  rebaseFromRootIfRequired(count, repo.base, 2, editor).wait(std::chrono::seconds(60));
  queue->waitUntilAllOperationsAreFinished(); // its refreshes hold index.lock
  EXPECT_EQ(repo.rev("HEAD"), expected);
  EXPECT_FALSE(std::filesystem::exists(repo.path() / "base"));

  // At the threshold it rebases from the refish: the base is not in the list,
  // so a plan naming it is refused and nothing changes.
  repo.git({"reset", "-q", "--hard", repo.c[6]});
  editor = GitSocketEditor::create(worktreeDescriptor(repo.path()), dropBase);
  count = makeOperation<GitExecRevListCountOperation>(*Oid::parse(repo.base))->enqueue(queue);
  EXPECT_THROW(rebaseFromRootIfRequired(count, repo.base, 1, editor).wait(std::chrono::seconds(60)), TavrikError);
  queue->waitUntilAllOperationsAreFinished(); // its refreshes hold index.lock
  EXPECT_EQ(repo.rev("HEAD"), repo.c[6]);
}

// rebase.updateRefs adds update-ref lines for stacked branches, and
// rebase.abbreviateCommands writes "p": both must survive the plan.
TEST(InteractiveRebase, KeepsUpdateRefsUnderAbbreviatedCommands) {
  Stack repo;
  repo.git({"branch", "stack", repo.c[4]});
  repo.git({"config", "rebase.updateRefs", "true"});
  repo.git({"config", "rebase.abbreviateCommands", "true"});
  std::string todo = repo.line("pick", 1) + repo.line("drop", 2) + repo.line("pick", 3) + repo.line("pick", 4) +
                     "update-ref refs/heads/stack\n" + repo.line("pick", 5) + repo.line("pick", 6);
  auto expected = rebasedByGit(repo, repo.base, todo);
  EXPECT_EQ(rebasedByEngine(repo, repo.base, GitRebaseRequest(Verb::drop, {repo.oid(2)}, std::nullopt)), expected);
  EXPECT_EQ(repo.rev("stack"), repo.rev("HEAD~2"));
  EXPECT_FALSE(std::filesystem::exists(repo.path() / "f2"));
}

// The bridge goes away after the first reword (its socket is gone): git
// cannot reach it for the second, stops, and the abort action restores the
// branch.
TEST(InteractiveRebase, ABridgeThatGoesAwayStopsTheRebase) {
  Stack repo;
  struct Shared {
    std::mutex mutex;
    std::string socket;
  };
  auto shared = std::make_shared<Shared>();
  auto editor = GitSocketEditor::create(worktreeDescriptor(repo.path()),
                                        GitRebaseRequest(Verb::reword, {repo.oid(2), repo.oid(4)}, std::nullopt),
                                        [shared](const std::string&, const std::optional<std::string>&) {
                                          std::lock_guard lock(shared->mutex);
                                          std::filesystem::remove(shared->socket);
                                          return std::optional<std::string>("reworded\n");
                                        });
  {
    std::lock_guard lock(shared->mutex);
    shared->socket = editor->editorEnvironment().at(GitSocketEditor::kSocketVariable);
  }
  auto queue = readerQueue(repo);
  EXPECT_THROW(runOn(queue, GitExecRebaseOperation::interactiveRebase(repo.base, editor)), GitStdError);
  EXPECT_EQ(repo.state(), GitState::rebaseInteractive);
  EXPECT_TRUE(repo.git({"log", "--format=%s", repo.base + "..HEAD"}).ends_with("reworded\nc1\n"));
  runOn(queue, makeOperation<GitAbortAction>());
  EXPECT_EQ(repo.state(), GitState::none);
  EXPECT_EQ(repo.rev("HEAD"), repo.c[6]);
}

// The companion edits nothing for a caller without the variables or the
// token, nor a file outside the git directory, and says why.
TEST(GitSocketEditor, RefusesWhatItWasNotAskedFor) {
  Stack repo;
  auto editor = GitSocketEditor::create(worktreeDescriptor(repo.path()), std::nullopt,
                                        [](const std::string&, const std::optional<std::string>&) {
                                          return std::optional<std::string>("changed\n");
                                        });
  auto env = editor->editorEnvironment();
  const std::string companion = (testPrefix() / "bin/editor").string();
  repo.write(".git/COMMIT_EDITMSG", "original\n");
  repo.write("outside/COMMIT_EDITMSG", "original\n");
  auto socketVar = std::string(GitSocketEditor::kSocketVariable) + "=" + env.at(GitSocketEditor::kSocketVariable);
  auto tokenVar = std::string(GitSocketEditor::kTokenVariable) + "=" + env.at(GitSocketEditor::kTokenVariable);
  const std::vector<std::vector<std::string>> refused{
      {"env", "-u", GitSocketEditor::kSocketVariable, companion, ".git/COMMIT_EDITMSG"},
      {"env", socketVar, std::string(GitSocketEditor::kTokenVariable) + "=wrong", companion, ".git/COMMIT_EDITMSG"},
      {"env", socketVar, tokenVar, companion, "outside/COMMIT_EDITMSG"}};
  for (const auto& argv : refused) {
    auto result = runProgram(argv, repo.path());
    EXPECT_NE(result.status, 0) << argv[2];
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  EXPECT_EQ(readFile(repo.path() / ".git/COMMIT_EDITMSG"), "original\n");
  EXPECT_EQ(readFile(repo.path() / "outside/COMMIT_EDITMSG"), "original\n");
  EXPECT_EQ(runProgram({"env", socketVar, tokenVar, companion, ".git/COMMIT_EDITMSG"}, repo.path()).status, 0);
  EXPECT_EQ(readFile(repo.path() / ".git/COMMIT_EDITMSG"), "changed\n");

  // Finishing twice from two threads is fine; afterwards the socket is gone.
  std::thread other([&] { editor->finishEditing(); });
  editor->finishEditing();
  other.join();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(env.at(GitSocketEditor::kSocketVariable)).parent_path()));
  EXPECT_NE(runProgram({"env", socketVar, tokenVar, companion, ".git/COMMIT_EDITMSG"}, repo.path()).status, 0);
}
