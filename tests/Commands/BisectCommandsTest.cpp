#include "tavrik/Commands/BisectCommands.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"

#include <random>

using namespace tavrik;
using namespace tavrik::testing;

// A generated history with a planted bad commit: a run through the engine
// (with custom terms, a command that skips some candidates with 125) ends at
// the commit `git bisect run` finds on the same history, with the same log.
TEST(GitExecBisectStepOperation, RunFindsThePlantedCommitAsGitDoes) {
  std::mt19937 random(32);
  for (int round = 0; round < 2; ++round) {
    ScratchRepo repo;
    const int length = 20 + static_cast<int>(random() % 20), planted = 1 + static_cast<int>(random() % (length - 1));
    std::vector<std::string> ids;
    for (int i = 0; i < length; ++i)
      ids.push_back(repo.commitFile("f", i >= planted ? "broken " + std::to_string(i) : std::to_string(i), "c" + std::to_string(i)));
    SCOPED_TRACE("length " + std::to_string(length) + ", bad from " + std::to_string(planted));
    // Skips the commits whose number is a multiple of 7, but for the planted
    // one and its parent, which git needs to name the first bad commit.
    const std::vector<std::string> test{
        "sh", "-c", "n=$(tr -dc 0-9 < f); [ $((n % 7)) -eq 0 ] && [ $n -ne $1 ] && [ $n -ne $(($1 - 1)) ] && exit 125; ! grep -q broken f",
        "test", std::to_string(planted)};
    repo.git({"bisect", "start", "--term-old=fine", "--term-new=broken", ids.back(), ids.front(), "--"});
    repo.git({"bisect", "run", test[0], test[1], test[2], test[3], test[4]});
    EXPECT_EQ(repo.rev("refs/bisect/broken"), ids[planted]);
    const auto gitLog = repo.git({"bisect", "log"});
    repo.git({"bisect", "reset"});

    auto queue = readerQueue(repo);
    runOn(queue, makeOperation<GitExecBisectStepOperation>(GitExecBisectStepOptions{
                     .bad = ids.back(), .revisions = {ids.front()}, .termOld = "fine", .termNew = "broken"}));
    runOn(queue, makeOperation<GitExecBisectStepOperation>(
                     GitExecBisectStepOptions{.action = GitBisectAction::run, .command = test}));
    EXPECT_EQ(repo.rev("refs/bisect/broken"), ids[planted]);
    EXPECT_EQ(repo.git({"bisect", "log"}), gitLog);
  }
}

// A command exiting above 127 makes git stop the run: a classified error,
// and the bisection stays where it was. Anything git could read as an
// option is refused before git runs: nothing is marked.
TEST(GitExecBisectStepOperation, AbortedRunsAndOptionLikeValuesFailClearly) {
  ScratchRepo repo;
  const auto first = repo.commitFile("f", "0", "c");
  for (int i = 1; i < 8; ++i) repo.commitFile("f", std::to_string(i), "c");
  auto queue = readerQueue(repo);
  auto run = [&](GitExecBisectStepOptions options) { runOn(queue, makeOperation<GitExecBisectStepOperation>(options)); };
  for (const auto& refused : std::vector<GitExecBisectStepOptions>{
           {.bad = "--all", .revisions = {first}}, {.bad = "main", .revisions = {"-n1"}},
           {.bad = "main", .revisions = {first}, .termOld = "--no-checkout"}, {.bad = "main", .termNew = "-x"}}) {
    EXPECT_THROW(run(refused), TavrikError);
    EXPECT_EQ(gitState(repo), GitState::none);
  }
  run({.bad = "main", .revisions = {first}});
  const auto candidate = repo.rev("HEAD"), log = repo.git({"bisect", "log"});
  EXPECT_THROW(run({.action = GitBisectAction::skip, .revisions = {"--bisect"}}), TavrikError);
  EXPECT_THROW(run({.action = GitBisectAction::run, .command = {"--help"}}), TavrikError);
  const auto aborted = gitFailure([&] { run({.action = GitBisectAction::run, .command = {"sh", "-c", "exit 200"}}); });
  EXPECT_EQ(aborted.kind(), GitStdError::Kind::bisectRunAborted);
  EXPECT_EQ(aborted.groups().at(1), "200");
  EXPECT_EQ(repo.rev("HEAD"), candidate);
  EXPECT_EQ(repo.git({"bisect", "log"}), log);
}
