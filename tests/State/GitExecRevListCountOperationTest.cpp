#include "tavrik/State/GitExecRevListCountOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;

// Counts against git's own; the scenario has files named HEAD and
// "v1...v1-light", which a count without "--" would read as paths.
TEST(GitExecRevListCountOperation, CountsLikeGitRevList) {
  const auto& work = ScenarioRepo::shared().work;
  auto queue = readerQueue(work);
  auto gitCount = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"rev-list", "--count"});
    args.push_back("--");
    auto out = work.git(args);
    auto tab = out.find('\t');
    return tab == std::string::npos ? GitCount{std::stoll(out), 0} : GitCount{std::stoll(out), std::stoll(out.substr(tab))};
  };
  const std::pair<const char*, const char*> pairs[] = {{"v1", "v1-light"}, {"main", "origin/main"}, {"side", "topic"}, {"HEAD", "conflict"}};
  for (auto [left, right] : pairs) {
    SCOPED_TRACE(std::string(left) + "..." + right);
    EXPECT_EQ(runOn(queue, makeOperation<GitExecRevListCountOperation>(left, right)),
              gitCount({"--left-right", std::string(left) + "..." + right}));
  }
  auto head = *Oid::parse(work.rev("HEAD"));
  EXPECT_EQ(runOn(queue, makeOperation<GitExecRevListCountOperation>(head)), gitCount({head.string()}));
  EXPECT_EQ(runOn(queue, makeOperation<GitExecRevListCountOperation>(head, 2)), (GitCount{2, 0}));
  auto chained = revListCount(makeOperation<GitExecRevListCountOperation>("main", "side")->enqueue(queue), head, 4);
  EXPECT_EQ(chained.wait(std::chrono::seconds(60)).queue, queue);
}

// Revisions that git would read as options are refused before git runs.
TEST(GitExecRevListCountOperation, RefusesRevisionsThatReadAsOptions) {
  auto scenario = ScenarioRepo::copy();
  auto queue = readerQueue(scenario->work);
  const auto written = scenario->work.path() / "written";
  for (auto [left, right] : {std::pair{"--output=" + written.string(), std::string("HEAD")},
                             std::pair{std::string("HEAD"), std::string("-n1")}}) {
    SCOPED_TRACE(left + " " + right);
    EXPECT_THROW(runOn(queue, makeOperation<GitExecRevListCountOperation>(left, right)), TavrikError);
  }
  EXPECT_FALSE(std::filesystem::exists(scenario->work.path() / "written...HEAD"));
}

TEST(GitExecRevListCountOperation, ParsesCounts) {
  const std::tuple<const char*, bool, GitCount> cases[] = {
      {"3\t5\n", true, {3, 5}}, {"7\n", false, {7, 0}}, {"7\n", true, {7, 0}},
      {"", false, {0, 0}},      {"x\n", true, {0, 0}},  {"3\t5\n", false, {3, 0}}};
  for (const auto& [output, leftRight, count] : cases) {
    GitBuffer buffer{std::string(output)};
    EXPECT_EQ(GitExecRevListCountOperation::parseCount(buffer, leftRight), count) << output;
  }
}
