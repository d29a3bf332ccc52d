#include "tavrik/Commands/GitMoveCommitOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// main: base, a, b, "fixup! a", c (each by its own author and date); topic
// forks at base. b adds a file of its own and edits the line topic edits
// next to.
struct Branches : ScratchRepo {
  Branches() {
    runScript(R"sh(
c() { GIT_AUTHOR_NAME="$1" GIT_AUTHOR_DATE="2024-05-0$2T10:00:00+02:00"; export GIT_AUTHOR_NAME GIT_AUTHOR_DATE
      printf "$4" > "$3"; git add -- "$3"; git commit -q -m "$5"; }
c Ann 1 shared 'one\ntwo\nthree\nfour\n' base
git branch topic
c Bob 2 a 'a\n' a
c Cy 3 shared 'one\nTWO\nthree\nfour\n' 'b

the body of b'
c Dee 4 a 'a2\n' 'fixup! a'
c Eve 5 c 'c\n' c
git checkout -q topic
c Fay 6 shared 'one\ntwo\nthree\nFOUR\n' t
git checkout -q main
)sh",
              path());
  }
  std::string history(const std::string& branch) const {
    return git({"log", "--format=%T %an %ad %B%x00", branch});
  }
  std::string state() const {
    return rev("main") + rev("topic") + git({"status", "--porcelain"}) + git({"diff", "--cached"});
  }
};

// Runs the move under a global configuration of `settings` (the queue's
// making resets the environment, so it is set after).
GitMovedCommit move(const GitDir& repo, GitMoveCommitOptions options, const std::vector<std::string>& settings = {}) {
  auto queue = readerQueue(repo);
  const auto config = (repo.path() / ".git/global").string();
  repo.write(".git/global", "");
  for (const auto& s : settings) repo.git({"config", "-f", config, s.substr(0, s.find('=')), s.substr(s.find('=') + 1)});
  setenv("GIT_CONFIG_GLOBAL", config.c_str(), 1);
  struct Reset {
    ~Reset() { setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1); }
  } reset;
  return runOn(queue, makeOperation<GitMoveCommitOperation>(std::move(options)));
}

} // namespace

// The same trees, authors and messages on both branches as cherry-pick and a
// rebase that drops the commit, by hand; a configuration that would squash
// "fixup! a" or move other branches along changes nothing.
TEST(GitMoveCommitOperation, EqualsGitByHand) {
  Branches repo, byHand;
  repo.git({"branch", "marker", "HEAD~1"});
  const auto marker = repo.rev("marker");
  auto moved = move(repo, {.commit = "HEAD~2", .branch = "topic"},
                    {"rebase.autoSquash=true", "rebase.updateRefs=true", "merge.conflictStyle=zdiff3"});
  EXPECT_EQ(moved.moved.string(), repo.rev("topic"));
  EXPECT_EQ(moved.head.string(), repo.rev("main"));
  EXPECT_EQ(repo.rev("marker"), marker);
  EXPECT_EQ(repo.git({"status", "--porcelain"}), "");

  runScript("git checkout -q topic && git cherry-pick main~2 >/dev/null && git checkout -q main && "
            "git rebase -q --onto main~3 main~2",
            byHand.path());
  EXPECT_EQ(repo.history("topic"), byHand.history("topic"));
  EXPECT_EQ(repo.history("main"), byHand.history("main"));
}

// Each refusal and failure leaves both branches, the index and the working
// tree as they were.
TEST(GitMoveCommitOperation, LeavesEverythingAsItWasOnFailure) {
  Branches repo;
  repo.git({"branch", "clash", "topic"});
  repo.git({"checkout", "-q", "clash"});
  repo.commitFile("a", "other a\n", "clash on a");
  repo.git({"checkout", "-q", "main"});
  repo.git({"update-ref", "refs/remotes/origin/main", "HEAD~3"});
  repo.git({"config", "remote.origin.fetch", "+refs/heads/*:refs/remotes/origin/*"});
  repo.git({"config", "branch.main.remote", "origin"});
  repo.git({"config", "branch.main.merge", "refs/heads/main"});
  const auto before = repo.state();
  const auto outside = repo.rev("topic");
  struct Case {
    GitMoveCommitOptions options;
    std::string why;
  };
  for (const auto& [options, why] : std::vector<Case>{
           {{.commit = outside, .branch = "clash"}, "not in the current branch"},
           {{.commit = "HEAD~3", .branch = "topic"}, "published"},
           {{.commit = "HEAD~4", .branch = "topic", .allowPublished = true}, "first commit"},
           {{.commit = "-HEAD", .branch = "topic"}, "cannot begin with"},
           {{.commit = "HEAD", .branch = "-topic"}, "cannot begin with"},
           {{.commit = "HEAD", .branch = "nowhere"}, "no local branch"},
           {{.commit = "HEAD", .branch = "main"}, "already on the current branch"},
           {{.commit = "HEAD~3", .branch = "clash", .allowPublished = true}, "Applying it to clash"},
           {{.commit = "HEAD~3", .branch = "topic", .allowPublished = true}, "Taking it out"},
       }) {
    SCOPED_TRACE(options.commit + " to " + options.branch);
    try {
      move(repo, options);
      ADD_FAILURE() << "moved";
    } catch (const TavrikError& error) {
      const auto text = error.localizedDescription() + ": " + error.failureReason.value_or("");
      EXPECT_NE(text.find(why), std::string::npos) << text;
    }
    EXPECT_EQ(repo.state(), before);
  }
  // Staged changes, which the rebase would refuse.
  repo.write("c", "changed\n");
  repo.git({"add", "c"});
  const auto staged = repo.state();
  EXPECT_THROW(move(repo, {.commit = "HEAD", .branch = "topic"}), TavrikError);
  EXPECT_EQ(repo.state(), staged);
  repo.git({"reset", "-q", "--hard"});

  // Failures after the other branch moved: a signing setup without a key
  // (git fails to make the commit) and a pre-rebase hook that refuses.
  EXPECT_THROW(move(repo, {.commit = "HEAD", .branch = "topic"}, {"commit.gpgSign=true", "user.signingKey=none"}),
               GitStdError);
  EXPECT_EQ(repo.state(), before);
  repo.write(".git/hooks/pre-rebase", "#!/bin/sh\nexit 1\n");
  std::filesystem::permissions(repo.path() / ".git/hooks/pre-rebase", std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  EXPECT_THROW(move(repo, {.commit = "HEAD", .branch = "topic"}), GitStdError);
  EXPECT_EQ(repo.state(), before);
}
