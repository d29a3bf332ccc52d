#include "tavrik/History/GitLogDescriptor.h"
#include "tavrik/History/GitQuery.h"

#include "Support/HashTesting.h"

#include <gtest/gtest.h>

using namespace tavrik;

TEST(GitQuery, NeedleOnlyWhenEverySubjectBitIsAsked) {
  GitQuery q{"ABC", GitQuerySubject{GitQuerySubject::message, GitQuerySubject::hash}};
  EXPECT_EQ(q.needle(GitQuerySubject::message), "ABC");
  EXPECT_EQ(q.needle(GitQuerySubject::hash), "ABC");
  EXPECT_EQ(q.needle(GitQuerySubject::message | GitQuerySubject::hash), "ABC");
  EXPECT_FALSE(q.needle(GitQuerySubject::diff));
  EXPECT_FALSE(q.needle(GitQuerySubject::message | GitQuerySubject::diff));
  GitQuery none{"x", GitQuerySubject{}};
  EXPECT_FALSE(none.needle(GitQuerySubject::author));
  EXPECT_EQ(GitQuerySubject::committer.rawValue, 32u);
  EXPECT_EQ(GitQuerySubject::filename.rawValue, 8u);
}

TEST(GitQueryMatch, UnionAndHasMatches) {
  GitQueryMatch a;
  EXPECT_FALSE(a.hasMatches());
  a.paths.insert("x");
  EXPECT_TRUE(a.hasMatches());
  GitQueryMatch b;
  b.hash = true;
  b.paths = {"y"};
  b.content = {"z"};
  a.formUnion(b);
  EXPECT_TRUE(a.hash);
  EXPECT_FALSE(a.author || a.committer || a.message);
  EXPECT_EQ(a.paths, (std::set<std::string>{"x", "y"}));
  EXPECT_EQ(a.content, (std::set<std::string>{"z"}));
  GitQueryMatch onlyContent;
  onlyContent.content = {"f"};
  EXPECT_TRUE(onlyContent.hasMatches());
}

TEST(GitLogDescriptor, DerivedMembers) {
  GitLogDescriptor d;
  EXPECT_TRUE(d.isHeadBranch());  // reference walk with no refs
  EXPECT_TRUE(d.canPaginate());
  GitRef main = GitRef::named("refs/heads/main");
  d.refs = {main};
  EXPECT_FALSE(d.isHeadBranch());
  main.isHead = true;
  d.refs.push_back(main);
  EXPECT_TRUE(d.isHeadBranch());
  d.type = GitLogType::reflog;
  EXPECT_FALSE(d.isHeadBranch());
  auto q = d.withQuery(GitQuery{"x", GitQuerySubject::message});
  EXPECT_TRUE(q.hasQuery());
  EXPECT_FALSE(q.canPaginate());
  EXPECT_FALSE(d.hasQuery());
  EXPECT_EQ(q.withQuery(std::nullopt), d);
  EXPECT_TRUE(isRefish(GitLogType::reflog));
  EXPECT_FALSE(isRefish(GitLogType::stash));
}

TEST(GitLogDescriptor, HashAgreesWithEquality) {
  GitLogDescriptor base;
  GitLogDescriptor stash{GitLogType::stash, {}, std::nullopt, std::nullopt, false};
  GitLogDescriptor reflog{GitLogType::reflog, {}, "HEAD", std::nullopt, false};
  GitLogDescriptor all = base;
  all.showsAllRefs = true;
  GitLogDescriptor refs = base;
  refs.refs = {GitRef::named("refs/heads/main")};
  auto queried = base.withQuery(GitQuery{"x", GitQuerySubject::diff});
  tavrik::testing::expectHashAgreesWithEquality(
      std::vector<GitLogDescriptor>{base, GitLogDescriptor{}, stash, reflog, all, refs, queried});
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GitQuery>{
      {"x", GitQuerySubject::diff}, {"x", GitQuerySubject::diff}, {"y", GitQuerySubject::diff},
      {"x", GitQuerySubject::hash}});
  GitQueryMatch m1, m2;
  m2.author = true;
  GitQueryMatch m3;
  m3.paths = {"p"};
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GitQueryMatch>{m1, GitQueryMatch{}, m2, m3});
}
