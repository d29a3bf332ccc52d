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

// One step through the engine: git's standard output, or nullopt when git
// refused to go on (only skipped commits left).
std::optional<std::string> step(const std::shared_ptr<GitQueue>& queue, GitExecBisectStepOptions options) {
  auto operation = makeOperation<GitExecBisectStepOperation>(std::move(options));
  try {
    runOn(queue, operation);
  } catch (const GitStdError&) {
    return std::nullopt;
  }
  return std::string(operation->stdOutBuffer->data());
}

// The view's state against the marks git's log records ("# TERM: [ID] ...")
// and the counts, merge base or first bad commit git printed.
void expectAsGitSays(const ScratchRepo& repo, const std::shared_ptr<GitQueue>& queue, const std::string& printed) {
  const auto state = queue->view().headList.bisect;
  ASSERT_TRUE(state);
  std::map<std::string, std::set<Oid>> marks; // by term; the last bad one counts
  std::optional<Oid> bad;
  static const std::regex mark("# ([^:]+): \\[([0-9a-f]{40})\\].*");
  std::smatch m;
  for (const auto& line : split(repo.git({"bisect", "log"}), '\n'))
    if (std::regex_match(line, m, mark)) {
      marks[m[1]].insert(*Oid::parse(m[2].str()));
      if (m[1] == state->termNew) bad = Oid::parse(m[2].str());
    }
  EXPECT_EQ(std::set<Oid>(state->good.begin(), state->good.end()), marks[state->termOld]);
  EXPECT_EQ(std::set<Oid>(state->skipped.begin(), state->skipped.end()), marks["skip"]);
  EXPECT_EQ(state->bad, bad);
  EXPECT_EQ(state->candidate->string(), repo.rev("HEAD"));
  static const std::regex counts("Bisecting: ([0-9]+) revisions? left to test after this \\(roughly ([0-9]+) steps?\\)");
  if (std::regex_search(printed, m, counts)) {
    EXPECT_EQ(std::pair(state->revisionsLeft, state->steps),
              std::pair(std::optional<int64_t>(std::stoll(m[1])), std::optional<int64_t>(std::stoll(m[2]))));
  }
  EXPECT_EQ(state->testsMergeBase, printed.find("a merge base must be tested") != std::string::npos);
  EXPECT_EQ(state->testsMergeBase || state->firstBad, !state->revisionsLeft);
  static const std::regex found("([0-9a-f]{40}) is the first (\\S+) commit");
  EXPECT_EQ(state->firstBad ? state->firstBad->string() : "", std::regex_search(printed, m, found) ? m[1].str() : "");
}

} // namespace

// Seeded random good, bad and skip marks (of the candidate or of a named
// commit) on a history with a merged side branch: after every step the view's
// state holds what git's log records and the counts git printed; the states
// met on the way hash as they compare. The last round starts from a good
// revision off the bad one's history (git tests the merge base first) and
// with a path git quotes in its log; a reset ends the state.
TEST(GitViewBisectOperation, FollowsGitOverRandomSteps) {
  std::mt19937 random(7);
  std::vector<GitBisectState> seen;
  const std::string file = "it's f!";
  for (int round = 0; round < 3; ++round) {
    ScratchRepo repo;
    const int length = 30 + static_cast<int>(random() % 30), planted = 3 + static_cast<int>(random() % (length - 4));
    const int fork = static_cast<int>(random() % (length - 6));
    std::vector<std::string> ids;
    for (int i = 0; i < length; ++i) {
      if (i == fork) repo.git({"branch", "side"});
      if (i == fork + 5) {
        repo.git({"checkout", "-q", "side"});
        for (int j = 0; j < 3; ++j) ids.push_back(repo.commitFile("g", std::to_string(j), "side"));
        repo.git({"checkout", "-q", "main"});
        repo.git({"merge", "-q", "--no-ff", "-m", "merge", "side"});
      }
      ids.push_back(repo.commitFile(file, (i >= planted ? "broken " : "") + std::to_string(i), "c"));
    }
    SCOPED_TRACE("round " + std::to_string(round) + ", bad from " + std::to_string(planted));
    GitExecBisectStepOptions start{.bad = ids.back(), .revisions = {ids.front()}};
    if (round == 1) start.termOld = "fine", start.termNew = "broken";
    if (round == 2) {
      repo.git({"checkout", "-qb", "off", "side"});
      start.revisions = {repo.commitFile("g", "off", "off")};
      start.paths = {file};
      repo.git({"checkout", "-q", "main"});
    }
    auto queue = readerQueue(repo);
    auto printed = step(queue, start);
    EXPECT_EQ(queue->view().headList.bisect->paths, start.paths);
    for (int n = 0; n < 40 && printed; ++n) {
      SCOPED_TRACE("step " + std::to_string(n));
      expectAsGitSays(repo, queue, *printed);
      seen.push_back(*queue->view().headList.bisect);
      if (printed->find("is the first") != std::string::npos) break;
      const int pick = static_cast<int>(random() % 10);
      std::vector<std::string> named;
      if (pick == 9) named.push_back(ids[random() % ids.size()]);
      const bool broken = repo.git({"show", (named.empty() ? "HEAD" : named.front()) + ":" + file}).starts_with("broken");
      const auto action = pick < 2 ? GitBisectAction::skip : broken ? GitBisectAction::bad : GitBisectAction::good;
      printed = step(queue, {.action = action, .revisions = named});
    }
    if (round < 2) continue;
    EXPECT_EQ(runOn(queue, makeOperation<GitViewBisectOperation>()), queue->view().headList.bisect);
    runOn(queue, GitExecBisectOperation::resetBisect());
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_FALSE(queue->view().headList.bisect);
    EXPECT_FALSE(runOn(queue, makeOperation<GitViewBisectOperation>()));
  }
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const auto& state) { return state.testsMergeBase; }));
  seen.push_back(seen.front());
  expectHashAgreesWithEquality(seen);
}
