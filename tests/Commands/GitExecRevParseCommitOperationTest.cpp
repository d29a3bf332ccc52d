#include "tavrik/Commands/GitExecRevParseCommitOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"

using namespace tavrik;
using namespace tavrik::testing;

// Names as git reads them, a branch whose name is not UTF-8 among them; a
// tag resolves to the commit it points at, not to the tag object.
TEST(GitExecRevParseCommitOperation, ResolvesNamesAsGitDoes) {
  auto scenario = ScenarioRepo::copy();
  auto& work = scenario->work;
  const std::string latin1 = "caf\xe9";
  work.git({"branch", latin1, "HEAD~1"});
  work.git({"tag", "-a", "-m", "annotated", "annotated", "HEAD~1"});
  auto queue = readerQueue(work);
  for (const std::string& name : std::vector<std::string>{"HEAD", "HEAD~1", latin1, "annotated", "main", "origin/main"}) {
    SCOPED_TRACE(name);
    const auto expected = work.rev(name + "^{commit}");
    EXPECT_EQ(runOn(queue, makeOperation<GitExecRevParseCommitOperation>(name)).string(), expected);
    EXPECT_EQ(runOn(queue, makeOperation<GitExecRevParseCommitOperation>(expected.substr(0, 9))).string(), expected);
  }
  for (const std::string name : {"no-such-branch", "HEAD^{tree}", "HEAD:", "caf\xe9\xe9"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(runOn(queue, makeOperation<GitExecRevParseCommitOperation>(name)), TavrikError);
  }
}

// A name git would read as an option never reaches git; a failure that is not
// an unknown name keeps git's own error.
TEST(GitExecRevParseCommitOperation, RefusesOptionsAndReportsGitFailures) {
  auto scenario = ScenarioRepo::copy();
  auto queue = readerQueue(scenario->work);
  for (const std::string name : {"--all", "-h", "--output=x"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(runOn(queue, makeOperation<GitExecRevParseCommitOperation>(name)), TavrikError);
  }
  std::filesystem::remove_all(scenario->work.path() / ".git" / "objects");
  EXPECT_THROW(runOn(queue, makeOperation<GitExecRevParseCommitOperation>("HEAD")), GitStdError);
}
