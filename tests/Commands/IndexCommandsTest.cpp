#include "tavrik/Commands/IndexCommands.h"

#include "tavrik/Commands/BranchCommands.h"

#include "Support/Helpers.h"
#include "Support/RandomSeeds.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitStatusEntry.h"
#include "tavrik/Util/TavrikError.h"

#include <random>
#include <regex>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

using Paths = std::set<std::string>;

// "XY path" of each changed path, from git's porcelain v2 -z records.
std::map<std::string, std::string> gitStatus(const GitDir& repo) {
  std::map<std::string, std::string> result;
  for (const auto& record : split(repo.git({"status", "--porcelain=v2", "-z", "--untracked-files=all"}), '\0')) {
    if (record.size() < 3) continue;
    const std::string& body = record;
    if (body[0] == '?') {
      result.emplace(body.substr(2), "??");
    } else if (body[0] == '1') {
      // "1 XY sub mH mI mW hH hI path": the path follows the eighth space.
      size_t at = 0;
      for (int i = 0; i < 8; ++i) at = body.find(' ', at) + 1;
      result[body.substr(at)] = body.substr(2, 2);
    }
  }
  return result;
}

// Files whose names git would read as patterns, beside the files they match.
struct PatternRepo : ScratchRepo {
  static constexpr const char* kNames[] = {"*", "[ab].txt", "a.txt", ":(top)x", "x", "sp ace \"q\" \xff\n"};
  PatternRepo() {
    for (const char* name : kNames) write(name, "one\n");
    git({"add", "--all"});
    git({"commit", "-q", "-m", "files named like patterns"});
    for (const char* name : kNames) write(name, "two\n");
  }
};

// What a checkout of paths may change: the index with its flags, every
// file's kind, mode and bytes, and what the post-checkout hook was given.
std::string checkoutState(const GitDir& repo) {
  return repo.git({"ls-files", "-s", "-t", "-v"}) + repo.git({"status", "--porcelain=v2", "--untracked-files=all"}) +
         runScript("find . -path ./.git -prune -o ! -type d -printf '%y %M %p %l\\n' | LC_ALL=C sort;"
                   "find . -path ./.git -prune -o -type f -print0 | LC_ALL=C sort -z | xargs -0 -r md5sum;"
                   "cat .git/hook-log 2>/dev/null || true",
                   repo.path());
}

} // namespace

// Many paths discarded at once (which take a quicker route than git's own
// checkout) leave files, index and hook exactly as `git checkout -- <paths>`
// does, and fail where it fails: files edited, deleted, made executable or
// replaced by a folder or a link, changes both staged and not, and now and
// then an unmerged, skip-worktree, assume-unchanged or intent-to-add entry,
// a folder, or a name git does not know.
TEST(IndexCommands, ManyPathsDiscardAsGitCheckoutDoes) {
  // Shell steps on the file "@"; the rare ones leave git a path it refuses.
  const std::vector<std::string> edits{
      "echo changed > @", "rm @", "chmod +x @", "rm @ && mkdir @ && echo in the way > @/inside",
      "rm @ && ln -s elsewhere @", "echo staged > @ && git add @ && echo then changed >> @"};
  const std::vector<std::string> rareEdits{
      "git update-index --skip-worktree @", "git update-index --assume-unchanged @",
      "b=$(git rev-parse HEAD:@) && printf '0 %040d\\t@\\n100644 %s 1\\t@\\n100644 %s 2\\t@\\n' 0 $b $b | "
      "git update-index --index-info",
      "echo new > @.new && git add -N @.new"};
  for (unsigned seed : randomSeeds({1, 2, 3, 4, 5, 6, 7, 8})) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    ScratchRepo repo;
    runScript("mkdir d0 d1 d2 d3 && for i in $(seq 0 29); do echo $i > d$((i % 4))/f$i; echo $i > f$i; done && "
              "git add . && git commit -qm files && printf '#!/bin/sh\\necho \"$*\" >> .git/hook-log\\n' > "
              ".git/hooks/post-checkout && chmod +x .git/hooks/post-checkout",
              repo.path());
    std::set<std::string> paths;
    std::string script = "true";
    while (paths.size() < 8 + random() % 10) {
      const unsigned file = random() % 30;
      const std::string path = (random() % 2 ? "f" : "d" + std::to_string(file % 4) + "/f") + std::to_string(file);
      const unsigned rare = random() % 150; // most seeds have none of the rare cases
      if (!paths.insert(path).second) continue;
      std::string step = edits[random() % edits.size()];
      if (rare < rareEdits.size()) step += " && " + rareEdits[rare];
      if (rare == rareEdits.size() - 1) paths.insert(path + ".new");
      if (rare == rareEdits.size()) paths.insert("d1"); // a folder
      if (rare == rareEdits.size() + 1) paths.insert("no such file");
      script += " && " + std::regex_replace(step, std::regex("@"), path);
    }
    runScript(script, repo.path());
    TempDir copyDir;
    runScript("cp -a . '" + copyDir.path().string() + "/repo'", repo.path());
    GitDir copy(copyDir.path() / "repo");

    std::vector<std::string> args{"--literal-pathspecs", "checkout", "--"};
    args.insert(args.end(), paths.begin(), paths.end());
    const auto git = copy.tryGit(args);
    bool failed = false;
    try {
      runOn(readerQueue(repo), makeOperation<GitExecCheckoutOperation>({.paths = paths}));
    } catch (const std::exception&) {
      failed = true;
    }
    EXPECT_EQ(failed, git.status != 0) << git.err;
    EXPECT_EQ(checkoutState(repo), checkoutState(copy));
  }
}

// Paths name files, never patterns: "*" is one file, "[ab].txt" is not
// a.txt, ":(top)x" is not x.
TEST(IndexCommands, PathsAreLiteral) {
  PatternRepo repo;
  auto queue = readerQueue(repo);
  runOn(queue, makeOperation<GitExecAddOperation>(Paths{"*", "[ab].txt", ":(top)x", "sp ace \"q\" \xff\n"}));
  auto status = gitStatus(repo);
  EXPECT_EQ(status["*"], "M.");
  EXPECT_EQ(status["[ab].txt"], "M.");
  EXPECT_EQ(status[":(top)x"], "M.");
  EXPECT_EQ(status["sp ace \"q\" \xff\n"], "M.");
  EXPECT_EQ(status["a.txt"], ".M");
  EXPECT_EQ(status["x"], ".M");
  // The queue refreshed the status it reported, without being asked.
  auto view = queue->view();
  ASSERT_TRUE(view.status);
  auto star = view.status->entryFor("*");
  ASSERT_TRUE(star);
  EXPECT_EQ(star->index, GitStatus::modified);

  runOn(queue, makeOperation<GitExecResetOperation>({.paths = Paths{"*"}}));
  EXPECT_EQ(gitStatus(repo)["*"], ".M");
  EXPECT_EQ(gitStatus(repo)["[ab].txt"], "M.");

  // Discarding "*" restores that file alone.
  runOn(queue, makeOperation<GitExecCheckoutOperation>({.paths = Paths{"*"}}));
  status = gitStatus(repo);
  EXPECT_EQ(status.count("*"), 0u);
  EXPECT_EQ(status["a.txt"], ".M");
  EXPECT_EQ(readFile(repo.path() / "a.txt"), "two\n");

  runOn(queue, makeOperation<GitExecRmOperation>({.paths = Paths{"[ab].txt"}, .cached = true}));
  status = gitStatus(repo);
  EXPECT_EQ(status["[ab].txt"], "D.");
  EXPECT_TRUE(std::filesystem::exists(repo.path() / "[ab].txt"));
  EXPECT_EQ(status["a.txt"], ".M");
}

// A tree-ish is never read as paths: one that names no commit fails, and
// every change, staged or not, stays.
TEST(IndexCommands, ATreeishThatNamesNoCommitFailsAndKeepsTheChanges) {
  PatternRepo repo;
  auto queue = readerQueue(repo);
  repo.git({"add", "--", "x"});
  const auto before = gitStatus(repo);
  for (const char* name : {"a.txt", "*", ".", "[ab].txt", ":(top)x"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(runOn(queue, makeOperation<GitExecCheckoutOperation>({.treeish = name})),
                 GitStdError);
    EXPECT_THROW(runOn(queue, makeOperation<GitExecResetOperation>({.treeish = name})),
                 GitStdError);
    EXPECT_EQ(gitStatus(repo), before);
  }
}

TEST(IndexCommands, ResetAndCheckoutMoveHeadAndBranches) {
  ScratchRepo repo;
  auto first = repo.commitFile("f", "1\n", "one");
  auto second = repo.commitFile("f", "2\n", "two");
  auto queue = readerQueue(repo);

  runOn(queue, makeOperation<GitExecResetOperation>({.mode = GitExecResetMode::soft, .treeish = "HEAD^"}));
  EXPECT_EQ(repo.rev("HEAD"), first);
  EXPECT_EQ(gitStatus(repo)["f"], "M.");

  runOn(queue, makeOperation<GitExecResetOperation>({.mode = GitExecResetMode::hard, .treeish = second}));
  EXPECT_EQ(repo.rev("HEAD"), second);
  EXPECT_TRUE(gitStatus(repo).empty());

  auto checkout = makeOperation<GitExecCheckoutOperation>({.treeish = "new branch", .createBranch = true});
  EXPECT_EQ(checkout->title(), "Checkout new branch");
  EXPECT_THROW(runOn(queue, checkout), GitStdError) << "a branch name with a space";
  runOn(queue, makeOperation<GitExecCheckoutOperation>({.treeish = "topic", .createBranch = true}));
  EXPECT_EQ(repo.git({"symbolic-ref", "HEAD"}), "refs/heads/topic\n");
  auto staged = makeOperation<GitExecAddOperation>(Paths{"f"})->enqueue(queue);
  tavrik::checkout(staged, first, Paths{}, false).wait(std::chrono::seconds(60));
  queue->waitUntilAllOperationsAreFinished(); // its refreshes hold index.lock
  EXPECT_EQ(repo.rev("HEAD"), first);
  EXPECT_NE(repo.tryGit({"symbolic-ref", "-q", "HEAD"}).status, 0) << "detached";

  EXPECT_THROW(runOn(queue, makeOperation<GitExecResetOperation>({.mode = GitExecResetMode::hard,
                                                                  .treeish = "--hard"})),
               TavrikError);
}

TEST(IndexCommands, GitErrorsReachTheFuture) {
  ScratchRepo repo;
  repo.commitFile("f", "1\n", "one");
  auto queue = readerQueue(repo);
  try {
    runOn(queue, makeOperation<GitExecAddOperation>(Paths{"missing"}));
    FAIL() << "git add of a missing file succeeded";
  } catch (const GitStdError& error) {
    EXPECT_NE(error.localizedDescription().find("missing"), std::string::npos) << error.localizedDescription();
  }
  EXPECT_THROW(runOn(queue, makeOperation<GitExecRmOperation>({.paths = Paths{"not-in-index"}})), GitStdError);
  EXPECT_THROW(runOn(queue, makeOperation<GitExecCheckoutOperation>({.treeish = "no-such-branch"})),
               GitStdError);
}

// Stashes are addressed by their number, and messages of any kind survive.
TEST(IndexCommands, StashSavesAppliesPopsAndDropsByIndex) {
  ScratchRepo repo;
  repo.commitFile("f", "base\n", "base");
  auto queue = readerQueue(repo);
  const std::string messages[] = {"-starts with a dash", "plain", "caf\xc3\xa9 and \xff"};
  for (size_t i = 0; i < 3; ++i) {
    repo.write("f", "change " + std::to_string(i) + "\n");
    runOn(queue, GitExecStashOperation::save(messages[i], false, false, false));
  }
  EXPECT_EQ(repo.git({"stash", "list", "--format=%gs"}),
            "On main: " + messages[2] + "\nOn main: plain\nOn main: " + messages[0] + "\n");

  runOn(queue, GitExecStashOperation::apply(2, false));
  EXPECT_EQ(readFile(repo.path() / "f"), "change 0\n");
  repo.git({"checkout", "--", "f"});
  runOn(queue, GitExecStashOperation::drop(1));
  EXPECT_EQ(repo.git({"stash", "list", "--format=%gs"}), "On main: " + messages[2] + "\nOn main: " + messages[0] + "\n");
  runOn(queue, GitExecStashOperation::pop(std::nullopt, false));
  EXPECT_EQ(readFile(repo.path() / "f"), "change 2\n");
  EXPECT_EQ(repo.git({"stash", "list", "--format=%gs"}), "On main: " + messages[0] + "\n");

  // --keep-index leaves the staged change; --include-untracked takes new files.
  repo.write("staged", "s\n");
  repo.git({"add", "staged"});
  repo.write("loose", "u\n");
  runOn(queue, GitExecStashOperation::save(std::nullopt, true, true, false));
  EXPECT_TRUE(std::filesystem::exists(repo.path() / "staged"));
  EXPECT_FALSE(std::filesystem::exists(repo.path() / "loose"));
  runOn(queue, GitExecStashOperation::pop(0, true));
  EXPECT_EQ(gitStatus(repo)["staged"], "A.");
  EXPECT_EQ(gitStatus(repo)["loose"], "??");
}

TEST(IndexCommands, CommitKeepsTheMessageBytesAndTheIdentities) {
  ScratchRepo repo;
  repo.commitFile("f", "1\n", "one");
  auto queue = readerQueue(repo);
  const std::string message = "subject with \"quotes\" and 'single'\n\nbody caf\xc3\xa9 line\n-dash line";
  repo.write("f", "2\n");
  repo.git({"add", "f"});
  auto commit = makeOperation<GitExecCommitOperation>({.message = message, .signOff = true});
  commit->author = persona::Persona{"Ann Author", "ann@example.com"};
  runOn(queue, commit);
  auto raw = repo.git({"cat-file", "commit", "HEAD"});
  EXPECT_NE(raw.find("\n\n" + message + "\n\nSigned-off-by: "), std::string::npos) << raw;
  EXPECT_EQ(repo.git({"log", "-1", "--format=%an <%ae>"}), "Ann Author <ann@example.com>\n");

  runOn(queue, makeOperation<GitExecCommitOperation>({.message = "amended", .amend = true}));
  EXPECT_EQ(repo.git({"log", "--format=%s"}), "amended\none\n");
  EXPECT_THROW(runOn(queue, makeOperation<GitExecCommitOperation>({.message = "nothing staged"})), GitStdError);
}

// Messages go to git on standard input, so they may be longer than the
// 128 KiB one argument can hold.
TEST(IndexCommands, MessagesLongerThanAnArgumentAreCommittedTaggedAndStashed) {
  ScratchRepo repo;
  repo.commitFile("f", "1\n", "one");
  auto queue = readerQueue(repo);
  const std::string message = "subject\n\n" + std::string(200 * 1024, 'x') + "\n-dash line";
  repo.write("f", "2\n");
  repo.git({"add", "f"});
  runOn(queue, makeOperation<GitExecCommitOperation>({.message = message}));
  EXPECT_EQ(repo.git({"log", "-1", "--format=%B"}), message + "\n\n");
  runOn(queue, GitExecTagOperation::create("v1", std::nullopt, message, false));
  EXPECT_EQ(repo.git({"tag", "-l", "--format=%(contents)", "v1"}), message + "\n\n");

  repo.commitFile("g", "1\n", "g");
  repo.write("g", "stashed first\n");
  runOn(queue, GitExecStashOperation::save("short", false, false, false));
  repo.write("f", "3\n");
  runOn(queue, GitExecStashOperation::save(message, false, false, false));
  EXPECT_EQ(repo.git({"stash", "list", "--format=%gs"}), "On main: subject\nOn main: short\n");
  auto raw = repo.git({"cat-file", "commit", "stash@{0}"});
  EXPECT_EQ(raw.substr(raw.find("\n\n") + 2), "On main: " + message) << "as git words its own";
  runOn(queue, GitExecStashOperation::save(message, false, false, false)); // nothing to stash
  runOn(queue, GitExecStashOperation::pop(std::nullopt, false));
  EXPECT_EQ(readFile(repo.path() / "f"), "3\n");
  EXPECT_EQ(repo.git({"stash", "list", "--format=%gs"}), "On main: short\n");
}
