// Seeded random sequences of verbs, run through the client in one repository
// and through the equivalent git commands in an identical one. After every
// step the two repositories must hold the same refs, HEAD, index, status and
// working-tree bytes, and the client's own records must say what git says.
//
// A few short seeds run by default; TAVRIK_RANDOM_SEEDS="1-200" (or "7,9")
// runs others, TAVRIK_RANDOM_STEPS longer sequences, and a failure names its
// seed and step. A seed stops at its first disagreement; the next one goes on.
#include "tavrik/Json/GitJson.h"

#include "Support/RandomSeeds.h"
#include "Support/ScenarioRepo.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

namespace tt = tavrik::testing;
using nlohmann::json;

namespace {

const std::vector<std::string> kNames = {"a.txt", "[a,b]", "[ab]", "{x,y}", "a,b", "@", "~1",
                                         "=",     "   ",   "\xff\xfe", " lead", "d/x"};
const std::vector<std::string> kBranches = {"main", "b1", "b2"};
const std::vector<std::string> kContents = {"one\n", "two\n", "one\nthree\n", ""};

// One step: the client's arguments and the git commands that do the same.
struct Step {
  std::string verb;
  std::vector<std::string> client;
  std::vector<std::vector<std::string>> git;
};

struct Pair {
  tt::ScratchRepo mine, theirs;

  // Some sequences start on an unborn branch.
  explicit Pair(bool unborn) {
    if (unborn) return;
    for (auto* repo : {&mine, &theirs}) {
      for (const auto& name : {"a.txt", "[ab]", "~1", "\xff\xfe"}) repo->write(name, "one\n");
      repo->git({"add", "-A"});
      repo->git({"commit", "-q", "-m", "start"});
    }
  }

  bool runClient(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {TAVRIK_CLI_PATH, "--prefix", tt::testPrefix().string(), "-C",
                                     mine.path().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return tt::runProgram(argv, mine.path()).status == 0;
  }
  bool runGit(const std::vector<std::vector<std::string>>& commands) const {
    for (auto args : commands) {
      args.insert(args.begin(), "--literal-pathspecs");
      if (theirs.tryGit(args).status != 0) return false;
    }
    return true;
  }
};

std::string pick(std::mt19937& random, const std::vector<std::string>& from) { return from[random() % from.size()]; }

Step randomStep(std::mt19937& random, const tt::GitDir& repo) {
  const std::string name = pick(random, kNames), branch = pick(random, kBranches);
  // "@" is HEAD to git and a file name too: the client must take it as a commit.
  const std::string commit = pick(random, {"HEAD", "HEAD~1", "b1", "b2", "main", "@"});
  const std::string message = "m" + std::to_string(random() % 1000);
  switch (random() % 18) {
  case 0:
  case 1: return {"stage", {"stage", name}, {{"add", "--all", "--", name}}};
  case 2: return {"unstage", {"unstage", name}, {{"reset", "-q", "--", name}}};
  case 3: return {"discard", {"discard", name}, {{"checkout", "-q", "--", name}}};
  case 4: return {"rm", {"rm", "--cached", name}, {{"rm", "-q", "--cached", "--", name}}};
  case 5:
  case 6: return {"commit", {"commit", "-m", message}, {{"commit", "-q", "-m", message}}};
  case 7: return {"branch create", {"branch", "create", branch, commit}, {{"branch", branch, commit}}};
  case 8: return {"branch delete", {"branch", "delete", branch, "--force"}, {{"branch", "-D", branch}}};
  case 9: return {"checkout", {"checkout", branch}, {{"checkout", "-q", branch}}};
  case 10: return {"checkout", {"checkout", commit}, {{"checkout", "-q", commit, "--"}}};
  case 11: return {"tag", {"tag", "t" + message, commit}, {{"tag", "t" + message, commit}}};
  case 12: return {"stash save", {"stash", "save", "-m", message}, {{"stash", "push", "-q", "-m", message}}};
  case 13: return {"stash pop", {"stash", "pop"}, {{"stash", "pop", "-q"}}};
  case 14: {
    const std::string mode = pick(random, {"--soft", "--mixed", "--hard"});
    return {"reset " + mode, {"reset", mode, commit}, {{"reset", "-q", mode, commit, "--"}}};
  }
  case 15: return {"merge", {"merge", branch}, {{"merge", "-q", "--no-edit", branch}}};
  case 16: return {"cherry-pick", {"cherry-pick", commit}, {{"cherry-pick", commit}}};
  default: {
    if (random() % 2) return {"revert", {"revert", commit}, {{"revert", "--no-edit", commit}}};
    // Whatever is in progress ends as git's own abort would end it.
    for (auto [head, verb] : {std::pair{"MERGE_HEAD", "merge"}, {"CHERRY_PICK_HEAD", "cherry-pick"},
                              {"REVERT_HEAD", "revert"}})
      if (std::filesystem::exists(repo.path() / ".git" / head)) return {"abort", {"abort"}, {{verb, "--abort"}}};
    // With nothing in progress the client's abort has nothing to do, and succeeds.
    return {"abort", {"abort"}, {}};
  }
  }
}

std::map<std::string, std::string> workingTree(const std::filesystem::path& root) {
  std::map<std::string, std::string> files;
  for (auto it = std::filesystem::recursive_directory_iterator(root); it != decltype(it)(); ++it) {
    if (it->path().filename() == ".git") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file()) files[it->path().lexically_relative(root).string()] = tt::readFile(it->path());
  }
  return files;
}

// The refs of the user, without the undo journal's that the client keeps.
std::string userRefs(const tt::GitDir& repo) {
  std::string refs;
  for (const auto& line : tt::split(repo.git({"for-each-ref", "--format=%(refname) %(objectname)"}), '\n'))
    if (!line.empty() && !line.starts_with("refs/tavrik/")) refs += line + "\n";
  return refs;
}

// What git says of a repository, in forms that compare between the two.
std::vector<std::string> gitState(const tt::GitDir& repo) {
  return {repo.git({"status", "--porcelain=v2", "-z", "--untracked-files=all"}),
          userRefs(repo),
          repo.tryGit({"rev-parse", "-q", "--verify", "HEAD"}).out,
          repo.tryGit({"symbolic-ref", "-q", "HEAD"}).out,
          repo.git({"ls-files", "-s", "-z"})};
}

json clientRecord(const Pair& pair, const std::string& verb) {
  std::vector<std::string> argv = {TAVRIK_CLI_PATH, "--prefix", tt::testPrefix().string(), "-C",
                                   pair.mine.path().string(), verb, "--json"};
  auto result = tt::runProgram(argv, pair.mine.path());
  EXPECT_EQ(result.status, 0) << verb << ": " << result.err;
  return json::parse(result.out, nullptr, false);
}

// The client's status, refs and head records against git's answers.
void expectRecordsAgreeWithGit(const Pair& pair) {
  const auto& repo = pair.mine;
  std::multiset<std::string> gitPaths, clientPaths;
  auto records = tt::split(repo.git({"status", "--porcelain=v1", "-z", "--untracked-files=normal"}), '\0');
  for (size_t i = 0; i < records.size(); ++i) {
    gitPaths.insert(tavrik::jsonSafe(records[i].substr(3)));
    // A rename's or copy's source follows as a record of its own.
    if (records[i][0] == 'R' || records[i][0] == 'C') ++i;
  }
  for (const auto& entry : clientRecord(pair, "status").value("entries", json::array()))
    clientPaths.insert(entry.value("newPath", entry.value("oldPath", std::string())));
  EXPECT_EQ(clientPaths, gitPaths) << "status --json";

  std::set<std::string> gitRefs, clientRefs;
  for (const auto& line : tt::split(userRefs(repo), '\n'))
    gitRefs.insert(tavrik::jsonSafe(line));
  auto refs = clientRecord(pair, "refs");
  for (const auto& ref : refs.value("all", json::array()))
    clientRefs.insert(ref.value("name", std::string()) + " " + ref.value("target", std::string()));
  EXPECT_EQ(clientRefs, gitRefs) << "refs --json";

  const auto commit = repo.tryGit({"rev-parse", "-q", "--verify", "HEAD"}).out;
  auto branch = repo.tryGit({"symbolic-ref", "-q", "HEAD"}).out;
  const json& headRef = refs.contains("head") ? refs["head"] : json();
  EXPECT_EQ(headRef.is_object() ? headRef.value("name", "") + "\n" : std::string(), commit.empty() ? "" : branch)
      << "refs --json head";
  auto head = clientRecord(pair, "head")["head"];
  EXPECT_EQ(head.value("commit", std::string()), commit.substr(0, 40)) << "head --json";
  auto shortBranch = repo.tryGit({"symbolic-ref", "-q", "--short", "HEAD"}).out;
  if (!shortBranch.empty()) shortBranch.pop_back();
  // A detached HEAD is named HEAD, or not at all, but never after a branch.
  auto name = head.value("refname", std::string());
  if (shortBranch.empty()) {
    EXPECT_TRUE(name.empty() || name == "HEAD") << "head --json refname " << name;
  } else EXPECT_EQ(name, tavrik::jsonSafe(shortBranch)) << "head --json refname";
}

} // namespace

TEST(CliRandomOperations, EveryVerbLeavesTheRepositoryAsGitWould) {
  const int steps = tt::randomSteps(5);
  const auto* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
  for (unsigned seed : tt::randomSeeds({1, 2, 3})) {
    std::mt19937 random(seed);
    Pair pair(seed % 3 == 0);
    const int failuresBefore = result->total_part_count();
    for (int step = 0; step < steps && result->total_part_count() == failuresBefore; ++step) {
      // File edits are common, so that verbs have something to act on.
      for (int edits = random() % 3; edits > 0; --edits) {
        auto name = pick(random, kNames), content = pick(random, kContents);
        pair.mine.write(name, content);
        pair.theirs.write(name, content);
      }
      Step s = randomStep(random, pair.theirs);
      std::string shown;
      for (const auto& arg : s.client) shown += " " + arg;
      SCOPED_TRACE("TAVRIK_RANDOM_SEEDS=" + std::to_string(seed) + " step " + std::to_string(step) + ": tavrik" +
                   shown);
      const bool clientOK = pair.runClient(s.client), gitOK = pair.runGit(s.git);
      EXPECT_EQ(clientOK, gitOK) << "the client and git disagree on success";
      EXPECT_EQ(gitState(pair.mine), gitState(pair.theirs));
      EXPECT_EQ(workingTree(pair.mine.path()), workingTree(pair.theirs.path()));
      expectRecordsAgreeWithGit(pair);
    }
  }
}
