#include "ArborSupport.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Branch.h"
#include "tavrik/Interfaces/Reference.h"

using namespace arbor;
using namespace arbor::testing;

// Short and full names resolve as git resolves them, annotated tags peeled.
TEST(Reference, DwimResolvesNamesAsGitDoes) {
  Repo repo = openWork();
  for (const char* name : {"main", "side", "feature/deep", "v1", "v1-light", "origin/main", "refs/heads/side", "heads/main",
                           "origin/HEAD"}) {
    SCOPED_TRACE(name);
    Reference ref = Reference::dwim(name, repo);
    EXPECT_EQ(ref.name() + "\n", work().git({"rev-parse", "--symbolic-full-name", name, "--"}).substr(0, ref.name().size() + 1));
    ASSERT_TRUE(ref.commitOid());
    EXPECT_EQ(ref.commitOid()->string(), work().rev(std::string(name) + "^{commit}"));
    EXPECT_EQ(ref.isTag(), ref.name().starts_with("refs/tags/"));
    EXPECT_EQ(ref.isRemoteBranch(), ref.name().starts_with("refs/remotes/"));
  }
  for (const char* name : {"nope", "origin/nope", "refs/heads/nope"}) {
    SCOPED_TRACE(name);
    try {
      Reference::dwim(name, repo);
      FAIL() << "resolved a name that matches nothing";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), Error::Code::notFound);
    }
  }
  EXPECT_TRUE(Reference::exists("refs/tags/v1", repo));
  EXPECT_FALSE(Reference::exists("main", repo));
  EXPECT_FALSE(Reference::exists("refs/heads/a..b", repo));
}

TEST(Reference, HeadOnBranchDetachedAndUnborn) {
  auto scenario = ScenarioRepo::copy();
  Repo repo = Repo::openAtPath(scenario->work.path().string());
  EXPECT_EQ(Reference::head(repo)->name(), "refs/heads/main");
  scenario->work.git({"checkout", "-q", "--detach", "HEAD~1"});
  auto head = Reference::head(repo);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->name(), "HEAD");
  EXPECT_EQ(head->commitOid()->string(), scenario->work.rev("HEAD"));
  EXPECT_FALSE(Branch::current(repo));

  tavrik::testing::ScratchRepo empty;
  Repo emptyRepo = Repo::openAtPath(empty.path().string());
  EXPECT_FALSE(Reference::head(emptyRepo));
  EXPECT_FALSE(Branch::current(emptyRepo));
  Reference symbolic = Reference::lookup("HEAD", emptyRepo);
  EXPECT_EQ(symbolic.symbolicTarget(), "refs/heads/main");
  EXPECT_FALSE(symbolic.commitOid());
}

// The upstream name maps the merge reference through the remote's fetch
// refspecs, like `git rev-parse --symbolic-full-name B@{upstream}`; it is
// read from the configuration whether or not it was fetched.
TEST(Branch, UpstreamAsGitNamesIt) {
  auto scenario = ScenarioRepo::copy();
  const auto& w = scenario->work;
  w.git({"config", "--add", "remote.up.fetch", "+refs/tags/*:refs/tags/*"});
  w.git({"config", "--add", "remote.up.fetch", "+refs/heads/*:refs/remotes/mirror/*"});
  w.git({"config", "remote.up.url", "https://example.com/x.git"});
  w.git({"update-ref", "refs/remotes/mirror/trunk", "side"});
  for (auto [branch, remote, merge] : {std::tuple{"zzz", "up", "refs/heads/trunk"}, {"lonely", ".", "refs/heads/main"},
                                       {"topic", "up", "refs/other/x"}}) {
    w.git({"config", std::string("branch.") + branch + ".remote", remote});
    w.git({"config", std::string("branch.") + branch + ".merge", merge});
  }
  Repo repo = Repo::openAtPath(w.path().string());
  struct Case {
    const char* branch;
    std::optional<std::string> upstream;
    bool fetched;
  } cases[] = {
      {"main", "refs/remotes/origin/main", true}, {"feature/deep", "refs/remotes/origin/side", true},
      {"zzz", "refs/remotes/mirror/trunk", true}, {"lonely", "refs/heads/main", true},
      {"gone", "refs/remotes/origin/vanished", false}, {"side", std::nullopt, false},
      {"topic", std::nullopt, false}, // no fetch refspec covers the merge reference
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.branch);
    Branch branch(Reference::dwim(c.branch, repo));
    EXPECT_EQ(branch.upstreamName(), c.upstream);
    EXPECT_EQ(branch.upstream().has_value(), c.fetched);
    auto git = w.tryGit({"rev-parse", "--symbolic-full-name", std::string(c.branch) + "@{upstream}"});
    if (c.fetched) EXPECT_EQ(git.out, *c.upstream + "\n");
    if (c.fetched) EXPECT_EQ(branch.upstream()->commitOid()->string(), w.rev(std::string(c.branch) + "@{upstream}"));
  }
  EXPECT_FALSE(Branch(Reference::dwim("origin/main", repo)).upstreamName());
  try {
    Branch tag(Reference::dwim("v1", repo));
    FAIL() << "a tag became a branch";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), Error::Code::invalid);
  }
}
