#include "tavrik/Commands/ConflictPrediction.h"

#include "Support/Helpers.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <map>
#include <set>
#include <random>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

GitConflictPrediction predict(const GitDir& repo, GitPredictedOperation operation, std::vector<std::string> revisions) {
  return runOn(readerQueue(repo), makeOperation<GitConflictPredictionOperation>(GitConflictPredictionOptions{
                                      .operation = operation, .revisions = std::move(revisions)}));
}

// The unmerged paths git left in the index, sorted.
std::vector<std::string> unmergedPaths(const GitDir& repo) {
  std::vector<std::string> paths;
  for (const auto& entry : split(repo.git({"ls-files", "-u", "-z"}), '\0'))
    if (auto tab = entry.find('\t'); tab != std::string::npos) paths.push_back(entry.substr(tab + 1));
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  return paths;
}

// Everything a prediction must leave alone.
std::string repositoryState(const GitDir& repo) {
  return repo.git({"for-each-ref"}) + repo.git({"rev-parse", "HEAD"}) + repo.git({"status", "--porcelain=v2", "-z"}) +
         readFile(repo.path() / ".git/index");
}

// A history whose two branches edit, delete, add, rename and turn into
// folders the same few files at random, so that some replays conflict.
struct RandomHistory : ScratchRepo {
  std::mt19937 random;
  explicit RandomHistory(unsigned seed) : random(seed) {
    for (int f = 0; f < 6; ++f) write("f" + std::to_string(f), lines(f, "base"));
    git({"add", "-A"});
    git({"commit", "-qm", "base"});
    git({"branch", "topic"});
    for (const char* branch : {"main", "topic"}) {
      git({"checkout", "-q", branch});
      for (int c = 0; c < 4; ++c) change(std::string(branch) + std::to_string(c));
    }
  }
  static std::string lines(int file, const std::string& tag) {
    std::string text;
    for (int l = 0; l < 8; ++l) text += "line " + std::to_string(l) + " of " + std::to_string(file) + " " + tag + "\n";
    return text;
  }
  void change(const std::string& tag) {
    const std::string f = "f" + std::to_string(random() % 6);
    const bool exists = std::filesystem::is_regular_file(path() / f);
    switch (exists ? random() % 8 : 6) {
    case 0: git({"rm", "-q", f}); break;
    case 1: git({"mv", f, f + "-" + tag}); break;
    case 2: git({"rm", "-q", f}); write(f + "/inner", tag + "\n"); break;
    case 6: write("added" + std::to_string(random() % 2), tag + "\n"); break;
    default: {
      auto text = readFile(path() / f);
      auto at = text.find("line " + std::to_string(random() % 8));
      text.insert(at, tag + " ");
      write(f, text);
    }
    }
    git({"add", "-A"});
    git({"commit", "-q", "--allow-empty", "-m", tag});
  }
};

// What git did, as a prediction would say it.
GitConflictPrediction run(const GitDir& repo, std::vector<std::string> command, const char* stopHead) {
  GitConflictPrediction reality{.clean = repo.tryGit(command).status == 0, .conflictedPaths = unmergedPaths(repo)};
  if (!reality.clean) reality.conflictingCommit = Oid::parse(trimmed(repo.tryGit({"rev-parse", "-q", "--verify", stopHead}).out));
  for (const char* abort : {"merge", "cherry-pick", "rebase", "revert"}) repo.tryGit({abort, "--abort"});
  return reality;
}

} // namespace

// merge-tree's real output for each kind, a name that is no UTF-8 among them.
TEST(ConflictPrediction, ParsesEachKindOfConflictGitReports) {
  ScratchRepo repo;
  for (std::string f : {"content", "gone", "renamed", "dir"}) repo.write(f, f + "\na\nb\nc\n");
  repo.git({"add", "-A"});
  repo.commitFile("both\xff", "x\n", "base");
  repo.git({"branch", "side"});
  repo.write("content", "content\na\nmain\nc\n");
  repo.git({"rm", "-q", "gone", "dir"});
  repo.write("dir/x", "x\n");
  repo.git({"mv", "renamed", "r-main"});
  repo.write("added", "main\n");
  repo.write("both\xff", "main\n");
  repo.git({"add", "-A"});
  repo.git({"commit", "-qm", "main"});
  repo.git({"checkout", "-q", "side"});
  repo.write("content", "content\na\nside\nc\n");
  repo.write("gone", "gone\na\nb\nside\n");
  repo.write("dir", "side\n");
  repo.git({"mv", "renamed", "r-side"});
  repo.write("added", "side\n");
  repo.write("both\xff", "side\n");
  repo.git({"add", "-A"});
  repo.git({"commit", "-qm", "side"});
  auto prediction = predict(repo, GitPredictedOperation::merge, {"main"});
  ASSERT_FALSE(prediction.clean);
  std::map<std::string, std::set<std::string>> kinds;
  for (const auto& c : prediction.conflicts)
    for (const auto& p : c.paths) kinds[p].insert(std::string(rawValue(c.kind)));
  EXPECT_EQ(kinds["content"], std::set<std::string>{"content"});
  EXPECT_EQ(kinds["both\xff"], std::set<std::string>{"content"});
  EXPECT_EQ(kinds["added"], std::set<std::string>{"add/add"});
  EXPECT_EQ(kinds["gone"], std::set<std::string>{"modify/delete"});
  EXPECT_TRUE(kinds["renamed"].contains("rename/rename"));
  EXPECT_TRUE(kinds["dir"].contains("directory/file"));
  EXPECT_FALSE(repo.tryGit({"merge", "main"}).status == 0);
  EXPECT_EQ(prediction.conflictedPaths, unmergedPaths(repo));

  EXPECT_THROW(parseMergeTreeOutput("not a tree\0", false), TavrikError);
  EXPECT_THROW(parseMergeTreeOutput(std::string(40, 'a') + std::string("\0p\0\0x\0", 6), false), TavrikError);
  EXPECT_THROW(predict(repo, GitPredictedOperation::merge, {"--all"}), TavrikError);
  EXPECT_THROW(predict(repo, GitPredictedOperation::rebase, {"main", "side"}), TavrikError);
}

// On generated histories, each prediction's verdict, stopping commit and
// conflicted paths are what git then does; the prediction changes nothing,
// under a hostile global configuration too.
TEST(ConflictPrediction, AgreesWithWhatGitThenDoes) {
  int clean = 0, conflicted = 0;
  for (unsigned seed = 1; seed <= 6; ++seed) {
    RandomHistory repo(seed);
    const std::string config = (repo.path() / ".git/hostile").string();
    for (const char* setting : {"merge.conflictStyle=zdiff3", "rebase.autoSquash=false", "rebase.updateRefs=true",
                                "commit.gpgSign=true", "gpg.program=/bin/false", "core.quotePath=true",
                                "color.ui=always", "rebase.missingCommitsCheck=error", "merge.ff=only"}) {
      std::string s = setting;
      repo.git({"config", "-f", config, s.substr(0, s.find('=')), s.substr(s.find('=') + 1)});
    }
    const auto main = repo.rev("main"), topic = repo.rev("topic");
    struct Case {
      const char* head;
      GitPredictedOperation operation;
      std::vector<std::string> revisions;
      std::vector<std::string> command;
      const char* stopHead;
    };
    const std::vector<Case> cases = {
        {"main", GitPredictedOperation::merge, {topic}, {"merge", "-q", "--no-edit", topic}, "MERGE_HEAD"},
        {"main", GitPredictedOperation::cherryPick, {topic + "~2", topic + "~1", topic},
         {"cherry-pick", topic + "~2", topic + "~1", topic}, "CHERRY_PICK_HEAD"},
        {"main", GitPredictedOperation::revert, {main + "~2", main + "~3"},
         {"revert", "--no-edit", main + "~2", main + "~3"}, "REVERT_HEAD"},
        {"topic", GitPredictedOperation::rebase, {main}, {"rebase", "-q", main}, "REBASE_HEAD"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ": " + c.command.front());
      repo.git({"checkout", "-q", c.head});
      const auto before = repositoryState(repo);
      setenv("GIT_CONFIG_GLOBAL", config.c_str(), 1);
      auto prediction = predict(repo, c.operation, c.revisions);
      setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
      EXPECT_EQ(repositoryState(repo), before);
      auto reality = run(repo, c.command, c.stopHead);
      (prediction.clean ? clean : conflicted)++;
      EXPECT_EQ(prediction.clean, reality.clean);
      EXPECT_EQ(prediction.conflictedPaths, reality.conflictedPaths);
      EXPECT_EQ(prediction.conflictingCommit, reality.conflictingCommit);
      EXPECT_EQ(prediction.tree, reality.clean ? Oid::parse(repo.rev("HEAD^{tree}")) : std::nullopt);
      repo.git({"reset", "-q", "--hard", c.head == std::string("main") ? main : topic});
    }
  }
  // The histories must try both outcomes, or the comparison proves little.
  EXPECT_GT(clean, 3);
  EXPECT_GT(conflicted, 3);
}

TEST(ConflictPrediction, HashAgreesWithEquality) {
  const auto a = *Oid::parse("0123456789abcdef0123456789abcdef01234567");
  const auto b = *Oid::parse("89abcdef0123456789abcdef0123456789abcdef");
  const GitMergeConflict content{GitConflictKind::content, "CONFLICT (contents)", {"f"}, "m"};
  auto other = content;
  other.kind = GitConflictKind::addAdd;
  expectHashAgreesWithEquality(std::vector<GitConflictPrediction>{
      {},
      {.commits = {a}, .tree = b},
      {.commits = {a}, .tree = a},
      {.commits = {b}, .tree = b},
      {.clean = false, .commits = {a}, .conflictingCommit = a, .conflictedPaths = {"f"}, .conflicts = {content}},
      {.clean = false, .commits = {a}, .conflictingCommit = a, .conflictedPaths = {"f"}, .conflicts = {other}},
      {.clean = false, .commits = {a}, .conflictingCommit = a, .conflictedPaths = {"g"}, .conflicts = {content}},
      {.commits = {a}, .tree = b},
  });
  expectHashAgreesWithEquality(std::vector<GitMergeTreeResult>{
      {.tree = a}, {.tree = b}, {.clean = false, .tree = a, .conflictedPaths = {"f"}, .conflicts = {content}},
      {.tree = a}});
}
