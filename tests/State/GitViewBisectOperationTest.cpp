#include "tavrik/State/GitViewBisectOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Commands/BisectCommands.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Process/GitStdError.h"

#include <random>
#include <regex>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

struct Marked {
  std::set<std::string> good, skipped;
  std::optional<std::string> bad;
};

// The marks as `git bisect log` records them ("# TERM: [ID] subject").
Marked marksInLog(const std::string& log, const std::string& termOld, const std::string& termNew) {
  Marked marked;
  static const std::regex mark("# ([^:]+): \\[([0-9a-f]{40})\\].*");
  std::smatch m;
  for (const auto& line : split(log, '\n')) {
    if (!std::regex_match(line, m, mark)) continue;
    const std::string term = m[1], id = m[2];
    if (term == termOld) marked.good.insert(id);
    else if (term == termNew) marked.bad = id;
    else if (term == "skip") marked.skipped.insert(id);
  }
  return marked;
}

std::set<std::string> strings(const std::vector<Oid>& ids) {
  std::set<std::string> out;
  for (const auto& id : ids) out.insert(id.string());
  return out;
}

// One step through the engine; git's standard output, or nullopt when git
// refused to go on (only skipped commits left).
std::optional<std::string> step(const std::shared_ptr<GitQueue>& queue, GitExecBisectStepOptions options) {
  auto operation = makeOperation<GitExecBisectStepOperation>(std::move(options));
  try {
    runOn(queue, operation);
  } catch (const GitStdError&) {
    return std::nullopt;
  }
  queue->waitUntilAllOperationsAreFinished();
  return std::string(operation->stdOutBuffer->data());
}

// The view's state against git's own record and printed counts.
void expectAsGitSays(const ScratchRepo& repo, const std::shared_ptr<GitQueue>& queue, const std::string& printed) {
  const auto state = queue->view().headList.bisect;
  ASSERT_TRUE(state);
  const auto marked = marksInLog(repo.git({"bisect", "log"}), state->termOld, state->termNew);
  EXPECT_EQ(strings(state->good), marked.good);
  EXPECT_EQ(strings(state->skipped), marked.skipped);
  EXPECT_EQ(state->bad ? std::optional(state->bad->string()) : std::nullopt, marked.bad);
  EXPECT_EQ(state->candidate->string(), repo.rev("HEAD"));
  std::smatch m;
  static const std::regex counts("Bisecting: ([0-9]+) revisions? left to test after this \\(roughly ([0-9]+) steps?\\)");
  if (std::regex_search(printed, m, counts)) {
    EXPECT_EQ(state->revisionsLeft, std::stoll(m[1]));
    EXPECT_EQ(state->steps, std::stoll(m[2]));
  }
  EXPECT_EQ(state->testsMergeBase, printed.find("a merge base must be tested") != std::string::npos);
  static const std::regex found("([0-9a-f]{40}) is the first (\\S+) commit");
  if (std::regex_search(printed, m, found)) EXPECT_EQ(state->firstBad->string(), m[1]);
  else EXPECT_FALSE(state->firstBad);
}

} // namespace

// Seeded random good, bad and skip marks (of the candidate or of a named
// commit) on a history with a merged side branch: after every step the view's
// state holds what git's log records and the counts git printed; the states
// met on the way hash as they compare.
TEST(GitViewBisectOperation, FollowsGitOverRandomSteps) {
  std::mt19937 random(7);
  std::vector<GitBisectState> seen;
  for (int round = 0; round < 3; ++round) {
    ScratchRepo repo;
    const int length = 30 + static_cast<int>(random() % 30), planted = 3 + static_cast<int>(random() % (length - 4));
    const int fork = static_cast<int>(random() % (length - 6)), merge = fork + 5;
    std::vector<std::string> ids;
    auto content = [&](int i) { return (i >= planted ? "broken " : "") + std::to_string(i); };
    for (int i = 0; i < length; ++i) {
      if (i == fork) repo.git({"branch", "side"});
      if (i == merge) {
        repo.git({"checkout", "-q", "side"});
        for (int j = 0; j < 3; ++j) ids.push_back(repo.commitFile("g", std::to_string(j), "side " + std::to_string(j)));
        repo.git({"checkout", "-q", "main"});
        repo.git({"merge", "-q", "--no-ff", "-m", "merge", "side"});
      }
      ids.push_back(repo.commitFile("f", content(i), "c" + std::to_string(i)));
    }
    SCOPED_TRACE("round " + std::to_string(round) + ", bad from " + std::to_string(planted));
    const bool customTerms = round == 1;
    auto queue = readerQueue(repo);
    auto printed = step(queue, {.bad = ids.back(), .revisions = {ids.front()},
                                .termOld = customTerms ? std::optional<std::string>("fine") : std::nullopt,
                                .termNew = customTerms ? std::optional<std::string>("broken") : std::nullopt});
    ASSERT_TRUE(printed);
    expectAsGitSays(repo, queue, *printed);
    for (int n = 0; n < 40 && printed && printed->find("is the first") == std::string::npos; ++n) {
      const int pick = static_cast<int>(random() % 10);
      std::vector<std::string> named;
      if (pick == 9) named.push_back(ids[random() % ids.size()]);
      const auto target = named.empty() ? std::string("HEAD") : named.front();
      const bool broken = repo.git({"show", target + ":f"}).starts_with("broken");
      const auto action = pick < 2 ? GitBisectAction::skip : broken ? GitBisectAction::bad : GitBisectAction::good;
      SCOPED_TRACE("step " + std::to_string(n));
      printed = step(queue, {.action = action, .revisions = named});
      if (printed) expectAsGitSays(repo, queue, *printed);
      if (auto state = queue->view().headList.bisect) seen.push_back(*state);
    }
  }
  seen.push_back(seen.front());
  expectHashAgreesWithEquality(seen);
}

// A good revision off the bad one's history: git checks out the merge base
// first and prints no count; once it is marked, the counts are git's.
TEST(GitViewBisectOperation, AGoodRevisionOffTheBadHistoryTestsTheMergeBase) {
  ScratchRepo repo;
  const std::string path = "it's a b!";
  const auto base = repo.commitFile(path, "0", "base");
  repo.git({"checkout", "-qb", "side"});
  for (int i = 0; i < 3; ++i) repo.commitFile(path, "side " + std::to_string(i), "side");
  repo.git({"checkout", "-q", "main"});
  for (int i = 1; i < 12; ++i) repo.commitFile(path, std::to_string(i), "main");
  auto queue = readerQueue(repo);
  auto printed = step(queue, {.bad = "main", .revisions = {"side"}, .paths = {path}});
  ASSERT_TRUE(printed);
  expectAsGitSays(repo, queue, *printed);
  auto state = queue->view().headList.bisect;
  EXPECT_TRUE(state->testsMergeBase);
  EXPECT_EQ(state->candidate->string(), base);
  EXPECT_FALSE(state->revisionsLeft);
  EXPECT_EQ(state->paths, std::vector<std::string>{path});

  printed = step(queue, {.action = GitBisectAction::good});
  ASSERT_TRUE(printed);
  expectAsGitSays(repo, queue, *printed);
  EXPECT_TRUE(queue->view().headList.bisect->revisionsLeft);
  EXPECT_EQ(runOn(queue, makeOperation<GitViewBisectOperation>()), queue->view().headList.bisect);
  step(queue, {.action = GitBisectAction::bad});
  runOn(queue, GitExecBisectOperation::resetBisect());
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(queue->view().headList.bisect);
  EXPECT_FALSE(runOn(queue, makeOperation<GitViewBisectOperation>()));
}
