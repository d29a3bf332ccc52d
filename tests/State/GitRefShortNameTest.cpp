#include "tavrik/State/GitRefShortName.h"

#include "Support/Helpers.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/State/GitViewRefsOperation.h"
#include "tavrik/Util/StringUtilities.h"

using namespace tavrik;
using namespace tavrik::testing;

// Names that several references could answer to pick the one git picks
// (a tag before a branch, a branch before a remote branch, a remote's HEAD
// for the remote's name); a branch whose name is not UTF-8 is found as well.
TEST(GitRefShortName, FindsTheReferenceGitFinds) {
  auto scenario = ScenarioRepo::copy();
  auto& work = scenario->work;
  const std::string latin1 = "caf\xe9";
  // Each new reference points at a commit of its own, so the commit tells
  // which of two references of one name was taken.
  auto newCommit = [&](const std::string& message) {
    return trimmed(work.git({"commit-tree", "-m", message, "HEAD^{tree}"}));
  };
  for (const std::string& branch : {std::string("v1"), std::string("origin/main"), latin1, std::string("tags/side")})
    work.git({"branch", branch, newCommit(branch)});
  work.git({"tag", "side", newCommit("tag side")});
  work.git({"symbolic-ref", "refs/remotes/origin/HEAD", "refs/remotes/origin/main"});
  const GitRefList refs = *runOn(readerQueue(work), makeOperation<GitViewRefsOperation>());
  for (const std::string& name : {std::string("v1"), std::string("side"), std::string("origin/main"), latin1,
                                  std::string("origin"), std::string("tags/side"), std::string("refs/heads/side"),
                                  std::string("heads/v1"), std::string("main")}) {
    SCOPED_TRACE(name);
    auto found = resolveReference(refs, name);
    ASSERT_TRUE(found.commit);
    EXPECT_EQ(found.commit->string(), work.rev(name + "^{commit}"));
  }
  EXPECT_EQ(resolveReference(refs, "HEAD").name, "HEAD");
  EXPECT_FALSE(findReference(refs, "no-such-ref"));
  EXPECT_THROW(resolveReference(refs, "no-such-ref"), TavrikError);
  EXPECT_THROW(resolveReference(refs, "-v1"), TavrikError);
}
