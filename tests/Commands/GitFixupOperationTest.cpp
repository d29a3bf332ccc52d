#include "tavrik/Commands/GitFixupOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// c0..c4 each edit a line of "shared" and add a file of their own.
struct Stack : ScratchRepo {
  Stack() {
    std::string shared;
    for (int i = 0; i < 5; ++i) shared += "line " + std::to_string(i) + "\n";
    write("shared", shared);
    for (int i = 0; i < 5; ++i) {
      auto at = shared.find("line " + std::to_string(i));
      shared.insert(at, "c" + std::to_string(i) + " ");
      write("shared", shared);
      git({"add", "shared"});
      commitFile("own" + std::to_string(i), "own\n", "c" + std::to_string(i) + "\n\nbody of c" + std::to_string(i));
    }
  }
  std::string history() const { return git({"log", "--format=%T %B%x00"}); }
  std::string state() const { return rev("HEAD") + git({"status", "--porcelain"}) + git({"diff", "--cached"}); }
};

// `globalConfig` is set after the queue is made, which resets the environment.
GitConflictPrediction fixup(const GitDir& repo, GitFixupOptions options, const char* globalConfig = "/dev/null") {
  auto queue = readerQueue(repo);
  setenv("GIT_CONFIG_GLOBAL", globalConfig, 1);
  auto prediction = runOn(queue, makeOperation<GitFixupOperation>(std::move(options)));
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  return prediction;
}

} // namespace

// The same trees and messages as git's commit --fixup and autosquash by
// hand, under a global configuration that turns autosquash off and would
// move other branches along.
TEST(GitFixupOperation, FixupAndAmendEqualGitByHand) {
  Stack repo;
  Stack byHand;
  const auto config = (repo.path() / ".git/hostile").string();
  for (const char* setting : {"rebase.autoSquash=false", "rebase.updateRefs=true", "merge.conflictStyle=zdiff3",
                              "rebase.instructionFormat=%an %s", "commit.cleanup=verbatim"}) {
    std::string s = setting;
    repo.git({"config", "-f", config, s.substr(0, s.find('=')), s.substr(s.find('=') + 1)});
  }
  repo.git({"branch", "other", "HEAD~1"});
  const auto other = repo.rev("other");
  for (const GitDir* r : {static_cast<const GitDir*>(&repo), static_cast<const GitDir*>(&byHand)}) {
    r->write("own1", "fixed\n");
    r->git({"add", "own1"});
  }
  auto prediction = fixup(repo, {.commit = "HEAD~3"}, config.c_str());
  EXPECT_TRUE(prediction.clean);
  EXPECT_EQ(prediction.tree->string(), repo.rev("HEAD^{tree}"));
  byHand.git({"commit", "-q", "--fixup=HEAD~3"});
  runScript("GIT_SEQUENCE_EDITOR=: git rebase -q -i --autosquash HEAD~5", byHand.path());
  EXPECT_EQ(repo.history(), byHand.history());
  EXPECT_EQ(repo.rev("other"), other);

  // Amend: a new message, nothing staged.
  fixup(repo, {.commit = "HEAD~2", .mode = GitFixupMode::amend, .message = "better c2\n\nnew body\n"});
  byHand.git({"commit", "-q", "--allow-empty", "-m", "amend! c2", "-m", "better c2\n\nnew body"});
  runScript("GIT_SEQUENCE_EDITOR=: git rebase -q -i --autosquash HEAD~4", byHand.path());
  EXPECT_EQ(repo.history(), byHand.history());
  EXPECT_EQ(repo.git({"log", "-1", "--format=%B", "HEAD~2"}), "better c2\n\nnew body\n\n");
}

// Each refusal leaves HEAD, the index and the working tree as they were.
TEST(GitFixupOperation, RefusesBeforeChangingAnything) {
  Stack repo;
  repo.git({"branch", "side", "HEAD~1"});
  repo.git({"checkout", "-q", "-b", "aside", "HEAD~2"});
  const auto outside = repo.commitFile("x", "x\n", "outside");
  repo.git({"checkout", "-q", "main"});
  repo.git({"update-ref", "refs/remotes/origin/main", "HEAD~1"});
  repo.git({"config", "remote.origin.fetch", "+refs/heads/*:refs/remotes/origin/*"});
  repo.git({"config", "branch.main.remote", "origin"});
  repo.git({"config", "branch.main.merge", "refs/heads/main"});
  // A change to c3's line, which c4's edit of the next line makes conflict.
  auto text = readFile(repo.path() / "shared");
  text.replace(text.find("c3 line 3"), 9, "changed 3");
  repo.write("shared", text);
  repo.git({"add", "shared"});
  const auto before = repo.state();
  for (const auto& options : std::vector<GitFixupOptions>{
           {.commit = outside},
           {.commit = "HEAD~3"},
           {.commit = "HEAD~3", .allowPublished = true},
           {.commit = "-HEAD"},
       }) {
    SCOPED_TRACE(options.commit + (options.allowPublished ? " published" : ""));
    EXPECT_THROW(fixup(repo, options), TavrikError);
    EXPECT_EQ(repo.state(), before);
  }
  repo.git({"reset", "-q"});
  EXPECT_THROW(fixup(repo, {.commit = "HEAD"}), TavrikError) << "nothing staged";
  repo.git({"add", "shared"});
  repo.write("own4", "unstaged\n");
  // Unstaged changes, which a configured autostash would otherwise carry.
  const auto dirty = repo.state();
  const auto config = (repo.path() / ".git/autostash").string();
  repo.git({"config", "-f", config, "rebase.autoStash", "true"});
  try {
    fixup(repo, {.commit = "HEAD"}, config.c_str());
    ADD_FAILURE() << "folded in";
  } catch (const TavrikError& error) {
    EXPECT_NE(error.failureReason.value_or("").find("not staged"), std::string::npos);
  }
  EXPECT_EQ(repo.state(), dirty);
}
