#include "ArborTestHelpers.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Branch.h"
#include "tavrik/Interfaces/Reference.h"
#include "tavrik/Interfaces/Repo.h"

#include <gtest/gtest.h>

using arbor::Branch;
using arbor::Reference;
using arbor::Repo;
using namespace arbor::testing;
using tavrik::testing::ScratchRepo;

namespace {

struct RefRepo {
  ScratchRepo scratch;
  arbor::Oid first, second;
  RefRepo() {
    first = oidOf(scratch.commitFile("a.txt", "a\n", "first"));
    scratch.git({"tag", "-a", "-m", "release", "v1.0"});
    second = oidOf(scratch.commitFile("a.txt", "b\n", "second"));
    scratch.git({"branch", "feature", first.string()});
    scratch.git({"update-ref", "refs/remotes/origin/main", first.string()});
  }
};

} // namespace

TEST(Reference, DwimResolvesShortAndFullNames) {
  RefRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  struct Case {
    const char* name;
    const char* fullName;
    const char* shortName;
    arbor::Oid commit;
  } cases[] = {
      {"main", "refs/heads/main", "main", r.second},
      {"feature", "refs/heads/feature", "feature", r.first},
      {"v1.0", "refs/tags/v1.0", "v1.0", r.first}, // annotated: peeled to the commit
      {"origin/main", "refs/remotes/origin/main", "origin/main", r.first},
      {"refs/heads/feature", "refs/heads/feature", "feature", r.first},
      {"heads/main", "refs/heads/main", "main", r.second},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reference ref = Reference::dwim(c.name, repo);
    EXPECT_EQ(ref.name(), c.fullName);
    EXPECT_EQ(ref.shortName(), c.shortName);
    ASSERT_TRUE(ref.commitOid());
    EXPECT_EQ(*ref.commitOid(), c.commit);
  }
  EXPECT_TRUE(Reference::dwim("v1.0", repo).isTag());
  EXPECT_TRUE(Reference::dwim("origin/main", repo).isRemoteBranch());
  EXPECT_TRUE(Reference::dwim("main", repo).isLocalBranch());
}

TEST(Reference, DwimFailsWhenNothingMatches) {
  RefRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  for (const char* name : {"nope", "origin/nope", "refs/heads/nope"}) {
    SCOPED_TRACE(name);
    try {
      Reference::dwim(name, repo);
      FAIL() << "resolved a name that matches nothing";
    } catch (const arbor::Error& error) {
      EXPECT_EQ(error.code(), arbor::Error::Code::notFound);
      EXPECT_FALSE(error.message().empty());
    }
  }
}

TEST(Reference, ExistsTestsExactFullNames) {
  RefRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  EXPECT_TRUE(Reference::exists("refs/heads/main", repo));
  EXPECT_TRUE(Reference::exists("refs/tags/v1.0", repo));
  EXPECT_TRUE(Reference::exists("refs/remotes/origin/main", repo));
  EXPECT_FALSE(Reference::exists("refs/heads/nope", repo));
  EXPECT_FALSE(Reference::exists("main", repo));
  EXPECT_FALSE(Reference::exists("refs/heads/a..b", repo));
}

TEST(Reference, HeadOnBranchDetachedAndUnborn) {
  RefRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  auto head = Reference::head(repo);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->name(), "refs/heads/main");
  EXPECT_EQ(head->commitOid(), r.second);

  r.scratch.git({"checkout", "-q", "--detach", r.first.string()});
  head = Reference::head(repo);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->name(), "HEAD");
  EXPECT_EQ(head->commitOid(), r.first);
  EXPECT_FALSE(Branch::current(repo));

  ScratchRepo empty;
  Repo emptyRepo = Repo::openAtPath(empty.path().string());
  EXPECT_FALSE(Reference::head(emptyRepo));
  EXPECT_FALSE(Branch::current(emptyRepo));
  // HEAD itself exists as a symbolic reference to the unborn branch.
  Reference symbolic = Reference::lookup("HEAD", emptyRepo);
  EXPECT_EQ(symbolic.symbolicTarget(), "refs/heads/main");
  EXPECT_FALSE(symbolic.commitOid());
}

TEST(Branch, ReadsConfiguredUpstreamWhetherOrNotItExists) {
  RefRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  EXPECT_FALSE(Branch(Reference::dwim("feature", repo)).upstreamName());

  r.scratch.git({"config", "remote.origin.url", "https://example.com/x.git"});
  r.scratch.git({"config", "remote.origin.fetch", "+refs/heads/*:refs/remotes/origin/*"});
  r.scratch.git({"config", "branch.main.remote", "origin"});
  r.scratch.git({"config", "branch.main.merge", "refs/heads/main"});
  r.scratch.git({"config", "branch.feature.remote", "origin"});
  r.scratch.git({"config", "branch.feature.merge", "refs/heads/feature"});

  auto current = Branch::current(repo);
  ASSERT_TRUE(current);
  EXPECT_EQ(current->name(), "main");
  EXPECT_EQ(current->upstreamName(), "refs/remotes/origin/main");
  auto upstream = current->upstream();
  ASSERT_TRUE(upstream);
  EXPECT_EQ(upstream->commitOid(), r.first);

  Branch feature(Reference::dwim("feature", repo));
  EXPECT_EQ(feature.upstreamName(), "refs/remotes/origin/feature");
  EXPECT_FALSE(feature.upstream()); // configured, but never fetched

  Branch remote(Reference::dwim("origin/main", repo));
  EXPECT_TRUE(remote.isRemote());
  EXPECT_FALSE(remote.upstreamName());
}

TEST(Branch, RejectsReferencesThatAreNoBranch) {
  RefRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  try {
    Branch branch(Reference::dwim("v1.0", repo));
    FAIL() << "a tag became a branch";
  } catch (const arbor::Error& error) {
    EXPECT_EQ(error.code(), arbor::Error::Code::invalid);
  }
}

// The upstream name maps the merge reference through the remote's fetch
// refspecs, like `git rev-parse --symbolic-full-name main@{upstream}`.
TEST(Branch, UpstreamFollowsFetchRefspecsAndLocalRemotes) {
  RefRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  r.scratch.git({"config", "remote.up.url", "https://example.com/x.git"});
  r.scratch.git({"config", "--add", "remote.up.fetch", "+refs/tags/*:refs/tags/*"});
  r.scratch.git({"config", "--add", "remote.up.fetch", "+refs/heads/*:refs/remotes/mirror/*"});
  r.scratch.git({"config", "branch.main.remote", "up"});
  r.scratch.git({"config", "branch.main.merge", "refs/heads/trunk"});
  r.scratch.git({"update-ref", "refs/remotes/mirror/trunk", r.first.string()});
  EXPECT_EQ(Branch(Reference::dwim("main", repo)).upstreamName(), "refs/remotes/mirror/trunk");
  EXPECT_EQ(Branch(Reference::dwim("main", repo)).upstreamName(),
            chomp(r.scratch.git({"rev-parse", "--symbolic-full-name", "main@{upstream}"})));

  // A branch tracking another local branch.
  r.scratch.git({"config", "branch.feature.remote", "."});
  r.scratch.git({"config", "branch.feature.merge", "refs/heads/main"});
  Branch feature(Reference::dwim("feature", repo));
  EXPECT_EQ(feature.upstreamName(), "refs/heads/main");
  ASSERT_TRUE(feature.upstream());
  EXPECT_EQ(feature.upstream()->commitOid(), r.second);

  // No fetch refspec covers the merge reference.
  r.scratch.git({"config", "branch.main.merge", "refs/other/x"});
  EXPECT_FALSE(Branch(Reference::dwim("main", repo)).upstreamName());
}
