#include "tavrik/Diff/GitSplitCommitOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Diff/GitExecDiffOperation.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// base; S by its own author and date edits x in two places (two hunks),
// adds y2 and edits z; T above it edits z again.
struct Stack : ScratchRepo {
  Stack() {
    runScript(R"sh(
seq 1 30 > x; echo z > z; echo y > y; git add .; git commit -q -m base
sed -i -e 's/^3$/three/' -e 's/^27$/twenty-seven/' x; echo y2 > y2; echo z2 > z
git add .; GIT_AUTHOR_NAME=Sam GIT_AUTHOR_DATE=2024-06-01T09:00:00+01:00 git commit -q -m S -m 'body of S'
echo z3 > z; git commit -q -am T
)sh",
              path());
  }
  std::string history() const { return git({"log", "--format=%T %an %ad %B%x00"}); }
  std::string state() const { return rev("HEAD") + git({"status", "--porcelain"}) + git({"diff", "--cached"}); }
};

GitSplitCommits split(const GitDir& repo, GitSplitCommitOptions options, const char* globalConfig = "/dev/null") {
  auto queue = readerQueue(repo);
  setenv("GIT_CONFIG_GLOBAL", globalConfig, 1);
  struct Reset {
    ~Reset() { setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1); }
  } reset;
  return runOn(queue, makeOperation<GitSplitCommitOperation>(std::move(options)));
}

// The lines of x's first hunk in S, as line staging numbers them.
GitLineSelection firstHunkOfX(const GitDir& repo) {
  auto queue = readerQueue(repo);
  auto list = runOn(queue, makeOperation<GitExecDiffOperation>(*Oid::parse(repo.rev("HEAD~1")), false,
                                                              std::vector<std::string>{"x"}));
  auto patch = runOn(queue, makeOperation<GitExecDiffOperation>(*list.diffs.at(0), std::nullopt));
  GitLineSelection selection;
  for (size_t i : patch.diffs.at(0)->selectableHunkLineIndexes(0)) selection.ranges.emplace_back(i, i);
  return selection;
}

} // namespace

// The same trees, authors and messages as rebase -i with edit, reset, add,
// commit -C and commit -C by hand; local changes stay where they were.
TEST(GitSplitCommitOperation, EqualsGitByHand) {
  struct Case {
    const char* name;
    const char* addByHand;
    bool byLines;
  };
  for (const auto& [name, addByHand, byLines] : {Case{"paths", "git add -- y2 z", false},
                                                 Case{"lines", "printf 'y\\nn\\n' | git add -p x >/dev/null", true}}) {
    SCOPED_TRACE(name);
    Stack repo, byHand;
    repo.write("y", "unstaged\n");
    repo.write("new", "untracked\n");
    GitSplitCommitOptions options{.commit = "HEAD~1"};
    if (byLines) options.lines = GitSplitLines{.path = "x", .selection = firstHunkOfX(repo)};
    else options.paths = {"y2", "z"};
    const auto config = (repo.path() / ".git/global").string();
    repo.write(".git/global", "[merge]\n\tconflictStyle = zdiff3\n[rebase]\n\tautoSquash = false\n\tupdateRefs = true\n");
    auto commits = split(repo, options, config.c_str());
    EXPECT_EQ(commits.head.string(), repo.rev("HEAD"));
    EXPECT_EQ(commits.first.string(), repo.rev("HEAD~2"));
    EXPECT_EQ(repo.git({"status", "--porcelain"}), " M y\n?? new\n");

    runScript(std::string("S=$(git rev-parse HEAD~1)\n"
                          "GIT_SEQUENCE_EDITOR=\"sed -i '1s/^pick/edit/'\" git rebase -q -i HEAD~2\n"
                          "git reset -q HEAD^\n") +
                  addByHand + "\ngit commit -q -C $S && git add -A && git commit -q -C $S && git rebase --continue >/dev/null",
              byHand.path());
    EXPECT_EQ(repo.history(), byHand.history());
  }
}

// Each refusal and failure leaves the branch, the index and the working tree
// as they were.
TEST(GitSplitCommitOperation, LeavesEverythingAsItWasOnFailure) {
  Stack repo;
  repo.git({"update-ref", "refs/remotes/origin/main", "HEAD~2"});
  repo.git({"config", "remote.origin.fetch", "+refs/heads/*:refs/remotes/origin/*"});
  repo.git({"config", "branch.main.remote", "origin"});
  repo.git({"config", "branch.main.merge", "refs/heads/main"});
  repo.write("z", "local\n");
  const auto before = repo.state();
  const auto lines = GitSplitLines{.path = "x", .selection = GitLineSelection::parse("0-999")};
  for (const auto& options : std::vector<GitSplitCommitOptions>{
           {.commit = "HEAD~1"},
           {.commit = "HEAD~1", .paths = {"z"}, .lines = lines},
           {.commit = "HEAD~1", .paths = {"y"}},
           {.commit = "HEAD~1", .paths = {"x", "y2", "z"}},
           {.commit = "HEAD~1", .paths = {"nowhere"}},
           {.commit = "HEAD~1", .lines = lines},
           {.commit = "HEAD~2", .paths = {"x"}},
           {.commit = "-HEAD", .paths = {"x"}},
       }) {
    SCOPED_TRACE(options.commit + " " + std::to_string(options.paths.size()));
    EXPECT_ANY_THROW(split(repo, options));
    EXPECT_EQ(repo.state(), before);
  }
  const auto config = (repo.path() / ".git/global").string();
  repo.write(".git/global", "[commit]\n\tgpgSign = true\n[user]\n\tsigningKey = none\n");
  EXPECT_THROW(split(repo, {.commit = "HEAD~1", .paths = {"z"}}, config.c_str()), GitStdError);
  EXPECT_EQ(repo.state(), before);
}

TEST(GitSplitCommitOperation, HashAgreesWithEquality) {
  const auto a = *Oid::parse("0123456789abcdef0123456789abcdef01234567");
  const auto b = *Oid::parse("89abcdef0123456789abcdef0123456789abcdef");
  expectHashAgreesWithEquality(std::vector<GitSplitCommits>{{a, b, b}, {b, a, b}, {a, a, b}, {a, b, a}, {a, b, b}});
}
