#include "tavrik/Commands/GitExecRevListCountOperation.h"

#include "State/ReadersTestSupport.h"
#include "tavrik/Queue/TavrikError.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace tavrik;
using namespace tavrik::testing;

// Revisions that git would read as options are refused before git runs, and
// a working-tree file named like a revision does not make the count fail.
TEST(GitExecRevListCountOperation, RevisionsNeverReadAsOptionsOrPaths) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "1\n", "one");
  repo.git({"branch", "other"});
  repo.commitFile("HEAD", "a file named like a revision\n", "two");
  repo.write("main", "untracked file named like the branch\n");
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  EXPECT_EQ(runOn(queue, makeOperation<GitExecRevListCountOperation>("HEAD", "other")), (GitCount{1, 0}));

  const auto written = repo.path() / "written";
  for (auto [left, right] : {std::pair{"--output=" + written.string(), std::string("HEAD")},
                             std::pair{std::string("HEAD"), std::string("-n1")}}) {
    SCOPED_TRACE(left + " " + right);
    EXPECT_THROW(runOn(queue, makeOperation<GitExecRevListCountOperation>(left, right)), TavrikError);
  }
  EXPECT_FALSE(std::filesystem::exists(repo.path() / ("written...HEAD")));
}

TEST(GitExecRevListCountOperation, ParsesCounts) {
  struct Case {
    const char* output;
    bool leftRight;
    GitCount count;
  } cases[] = {
      {"3\t5\n", true, {3, 5}}, {"7\n", false, {7, 0}}, {"7\n", true, {7, 0}},
      {"", false, {0, 0}},      {"x\n", true, {0, 0}},  {"3\t5\n", false, {3, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    GitBuffer buffer{std::string(c.output)};
    EXPECT_EQ(GitExecRevListCountOperation::parseCount(buffer, c.leftRight), c.count);
  }
}

TEST(GitExecRevListCountOperation, CountsRealHistory) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "1\n", "one");
  repo.git({"branch", "other"});
  for (int i = 0; i < 3; ++i) repo.commitFile("a.txt", std::to_string(i) + "main\n", "main " + std::to_string(i));
  repo.git({"checkout", "-q", "other"});
  for (int i = 0; i < 5; ++i) repo.commitFile("b.txt", std::to_string(i) + "other\n", "other " + std::to_string(i));

  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  EXPECT_EQ(runOn(queue, makeOperation<GitExecRevListCountOperation>("main", "other")), (GitCount{3, 5}));
  auto head = *Oid::parse(repo.git({"rev-parse", "HEAD"}).substr(0, 40));
  EXPECT_EQ(runOn(queue, makeOperation<GitExecRevListCountOperation>(head)), (GitCount{6, 0}));
  EXPECT_EQ(runOn(queue, makeOperation<GitExecRevListCountOperation>(head, 2)), (GitCount{2, 0}));

  // Chained after another operation on the same queue.
  auto chained = revListCount(makeOperation<GitExecRevListCountOperation>("main", "other")->enqueue(queue), head, 4);
  auto value = chained.wait(std::chrono::seconds(60));
  EXPECT_EQ(value.queue, queue);
  EXPECT_EQ(value.value, (GitCount{4, 0}));
}

TEST(GitExecStatusChangeCountOperation, CountsRecordsOfRealStatus) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  repo.commitFile("old.txt", "a text long enough to be detected as a rename\n", "old");
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  EXPECT_EQ(runOn(queue, makeOperation<GitExecStatusChangeCountOperation>()), 0);

  repo.write("a.txt", "changed\n");
  repo.write("new file.txt", "n\n");
  repo.git({"mv", "old.txt", "moved.txt"});
  // modified + untracked + a rename, which counts twice (its source is a record).
  EXPECT_EQ(runOn(queue, makeOperation<GitExecStatusChangeCountOperation>()), 4);

  ScratchRepo bare(true);
  auto noGit = GitQueue::create(bareDescriptor(bare.path()), nullptr, std::nullopt);
  EXPECT_EQ(runOn(noGit, makeOperation<GitExecStatusChangeCountOperation>()), 0);
}
