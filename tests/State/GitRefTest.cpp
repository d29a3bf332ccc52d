#include "tavrik/State/GitRef.h"
#include "tavrik/State/GitRefList.h"

#include "Support/HashTesting.h"
#include "Support/ScratchRepo.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tavrik;

namespace {
using Strings = std::vector<std::string>;
using Fields = std::map<std::string, std::string>;

const std::string kA = "1111111111111111111111111111111111111111";
const std::string kB = "2222222222222222222222222222222222222222";
const std::string kDate = "2024-01-02T10:00:00+02:00";

Fields fields(std::string refname, std::string objectname = kA) {
  return {{"HEAD", " "}, {"objectname", objectname}, {"refname", refname}, {"creatordate:iso8601-strict", kDate}};
}

GitRef ref(std::string name, std::string objectname = kA) { return *GitRef::fromFields(fields(name, objectname)); }

Strings shorthands(const std::vector<GitRef>& refs) {
  Strings out;
  for (const auto& r : refs) out.push_back(r.shorthand);
  return out;
}
} // namespace

TEST(GitRefType, FromRefname) {
  const std::pair<const char*, GitRefType> cases[] = {
      {"refs/heads/main", GitRefType::branch},   {"refs/tags/v1", GitRefType::tag},
      {"refs/remotes/origin/x", GitRefType::remote}, {"refs/notes/commits", GitRefType::note},
      {"refs/stash", GitRefType::unknown},       {"HEAD", GitRefType::unknown},
      {"heads/main", GitRefType::unknown},       {"refs/headsx/main", GitRefType::unknown},
      {"", GitRefType::unknown},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(gitRefTypeFromRefname(name), type) << name;
  EXPECT_TRUE(isRemote(GitRefType::remote));
  EXPECT_FALSE(isBranch(GitRefType::tag));
}

TEST(GitRef, DerivesShorthandPathAndPrefix) {
  struct Case {
    const char* name;
    GitRefType type;
    const char* shorthand;
    Strings path, prefix;
  };
  const Case cases[] = {
      {"refs/remotes/origin/feature/x", GitRefType::remote, "origin/feature/x", {"origin", "feature", "x"}, {"feature"}},
      {"refs/remotes/origin/main", GitRefType::remote, "origin/main", {"origin", "main"}, {}},
      {"refs/remotes/origin/a/b/c", GitRefType::remote, "origin/a/b/c", {"origin", "a", "b", "c"}, {"a", "b"}},
      {"refs/heads/feature/x", GitRefType::branch, "feature/x", {"feature", "x"}, {"feature"}},
      {"refs/heads/main", GitRefType::branch, "main", {"main"}, {}},
      {"refs/tags/release/1.0", GitRefType::tag, "release/1.0", {"release", "1.0"}, {"release"}},
      {"refs/stash", GitRefType::unknown, "refs/stash", {"refs", "stash"}, {"refs"}},
      // Prefixes are dropped one after the other.
      {"refs/heads/refs/tags/x", GitRefType::branch, "x", {"x"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GitRef r = ref(c.name);
    EXPECT_EQ(r.name, c.name);
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(r.shorthand, c.shorthand);
    EXPECT_EQ(r.path, c.path);
    EXPECT_EQ(r.pathPrefix, c.prefix);
    EXPECT_EQ(GitRef::named(c.name).pathPrefix, c.prefix);
  }
}

TEST(GitRef, FromFieldsRequiresFieldsAndParsableValues) {
  auto full = fields("refs/heads/main");
  full["HEAD"] = "*";
  full["*objectname"] = kB;
  full["symref"] = "refs/heads/other";
  full["upstream"] = "refs/remotes/origin/main";
  full["upstream:remotename"] = "origin";
  auto r = GitRef::fromFields(full);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->isHead);
  EXPECT_EQ(r->target, Oid::parse(kA));
  EXPECT_EQ(r->commit, Oid::parse(kB));
  EXPECT_EQ(r->symbolicTarget, "refs/heads/other");
  EXPECT_EQ(r->creatorDate, GitTimestamp::fromStrictISO8601(kDate));
  EXPECT_EQ(r->upstreamShorthand(), "origin/main");
  EXPECT_EQ(r->upstreamShorthandWithoutRemote(), "main");
  EXPECT_EQ(r->upstreamCount, GitCount::zero);

  EXPECT_EQ(ref("refs/tags/v1").commit, Oid::parse(kA));  // lightweight: commit = target
  EXPECT_FALSE(ref("refs/heads/main").isHead);
  EXPECT_FALSE(ref("refs/heads/main").upstreamShorthandWithoutRemote());

  for (const char* required : {"HEAD", "objectname", "refname"}) {
    auto missing = fields("refs/heads/main");
    missing.erase(required);
    EXPECT_FALSE(GitRef::fromFields(missing)) << required;
    missing[required] = "";
    EXPECT_FALSE(GitRef::fromFields(missing)) << required << " empty";
  }
  // A tag of a blob has no creator date and is kept without one.
  auto dateless = fields("refs/heads/main");
  dateless["creatordate:iso8601-strict"] = "";
  ASSERT_TRUE(GitRef::fromFields(dateless));
  EXPECT_FALSE(GitRef::fromFields(dateless)->creatorDate);
  auto badDate = fields("refs/heads/main");
  badDate["creatordate:iso8601-strict"] = "2024-01-02T10:00:00";
  EXPECT_FALSE(GitRef::fromFields(badDate));
  EXPECT_FALSE(GitRef::fromFields(fields("refs/heads/main", "xyz")));
  auto badPeeled = fields("refs/tags/v1");
  badPeeled["*objectname"] = "nothex";
  EXPECT_FALSE(GitRef::fromFields(badPeeled));
  auto utc = fields("refs/heads/main");
  utc["creatordate:iso8601-strict"] = "2024-01-02T08:00:00Z";
  EXPECT_TRUE(GitRef::fromFields(utc));
}

TEST(GitRef, UpstreamWithoutRemoteKeepsOtherPrefixes) {
  GitRef r = GitRef::named("refs/heads/x");
  r.upstreamName = "refs/remotes/upstream/feature/x";
  r.upstreamRemote = "origin";
  EXPECT_EQ(r.upstreamShorthandWithoutRemote(), "upstream/feature/x");
  r.upstreamRemote = "upstream";
  EXPECT_EQ(r.upstreamShorthandWithoutRemote(), "feature/x");
  r.upstreamName.reset();
  EXPECT_FALSE(r.upstreamShorthandWithoutRemote());
}

TEST(GitRef, OrdersMasterThenDevelopThenByShorthand) {
  std::vector<GitRef> refs = {ref("refs/heads/zeta"), ref("refs/remotes/origin/a"), ref("refs/heads/develop"),
                              ref("refs/tags/a-branch"), ref("refs/heads/master"), ref("refs/heads/B")};
  std::stable_sort(refs.begin(), refs.end());
  EXPECT_EQ(shorthands(refs), (Strings{"master", "develop", "B", "a-branch", "origin/a", "zeta"}));
  GitRef m = ref("refs/heads/master"), d = ref("refs/heads/develop");
  EXPECT_FALSE(m < m);
  EXPECT_FALSE(d < d);
  EXPECT_FALSE(d < m);
  EXPECT_TRUE(m < d);
}

TEST(GitRefList, GroupsRefsAndTargets) {
  auto head = fields("refs/heads/main");
  head["HEAD"] = "*";
  GitRef main = *GitRef::fromFields(head);
  main.upstreamCount = {2, 3};
  GitRef feature = ref("refs/heads/feature", kB);
  feature.upstreamCount = {1, 0};
  auto symFields = fields("refs/remotes/origin/HEAD");
  symFields["symref"] = "refs/remotes/origin/main";
  GitRef originHead = *GitRef::fromFields(symFields);
  GitRef originMain = ref("refs/remotes/origin/main");
  auto tagFields = fields("refs/tags/v1", kB);
  tagFields["*objectname"] = kA;
  GitRef tag = *GitRef::fromFields(tagFields);
  GitRef note = ref("refs/notes/commits", kB);

  std::vector<GitRef> all = {feature, main, note, originHead, originMain, tag};
  auto list = GitRefList::from(all);
  EXPECT_EQ(list.all, all);
  ASSERT_TRUE(list.head);
  EXPECT_EQ(list.head->name, "refs/heads/main");
  EXPECT_EQ(shorthands(list.branch), (Strings{"feature", "main"}));
  EXPECT_EQ(shorthands(list.remote), (Strings{"origin/HEAD", "origin/main"}));
  EXPECT_EQ(shorthands(list.tag), (Strings{"v1"}));
  EXPECT_EQ(shorthands(list.symbolic), (Strings{"origin/HEAD"}));
  EXPECT_EQ(shorthands(list.direct), (Strings{"commits", "feature", "main", "origin/main", "v1"}));
  EXPECT_EQ(shorthands(list.directRemoteBranches()), (Strings{"origin/main"}));
  EXPECT_EQ(shorthands(list.directLocalAndRemoteBranches()), (Strings{"feature", "main", "origin/main"}));
  EXPECT_EQ(shorthands(list.graphRefs()), (Strings{"feature", "main", "origin/main", "v1"}));
  EXPECT_EQ(list.aheadUpstreamTotal(), 3);
  EXPECT_EQ(list.behindUpstreamTotal(), 3);
  ASSERT_EQ(list.targets.size(), 2u);
  // The annotated tag is listed under the commit it points to.
  EXPECT_EQ(shorthands(list.targets.at(*Oid::parse(kA))), (Strings{"main", "origin/HEAD", "origin/main", "v1"}));
  EXPECT_EQ(shorthands(list.targets.at(*Oid::parse(kB))), (Strings{"commits", "feature"}));
}

TEST(GitRefList, EmptyAndDetached) {
  auto empty = GitRefList::from({});
  EXPECT_FALSE(empty.head);
  EXPECT_TRUE(empty.all.empty() && empty.targets.empty() && empty.direct.empty());
  auto detached = GitRefList::from({ref("refs/heads/main")});
  EXPECT_FALSE(detached.head);
  EXPECT_EQ(detached.branch.size(), 1u);
}

// References as git lists them, through the same field dictionary the
// reader builds from for-each-ref's tab-separated output.
TEST(GitRefList, FromRealForEachRefOutput) {
  tavrik::testing::makeGitEnvironmentHermetic();
  tavrik::testing::ScratchRepo repo;
  std::string first = repo.commitFile("a.txt", "a", "first");
  repo.git({"tag", "-a", "-m", "annotated", "v1"});
  repo.git({"tag", "light"});
  repo.git({"branch", "feature/x"});
  repo.git({"remote", "add", "origin", "https://example.com/r.git"});
  repo.git({"update-ref", "refs/remotes/origin/main", first});
  repo.git({"symbolic-ref", "refs/remotes/origin/HEAD", "refs/remotes/origin/main"});
  repo.git({"branch", "--set-upstream-to=origin/main", "main"});

  const Strings names = {"HEAD", "objectname", "*objectname", "refname", "symref", "upstream",
                         "upstream:remotename", "upstream:remoteref", "creatordate:iso8601-strict"};
  std::string format = "--format=";
  for (size_t i = 0; i < names.size(); ++i) format += (i ? ")\t%(" : "%(") + names[i];
  format += ")";
  std::istringstream out(repo.git({"for-each-ref", format}));
  std::vector<GitRef> refs;
  for (std::string line; std::getline(out, line);) {
    Fields f;
    size_t start = 0;
    for (const auto& n : names) {
      size_t tab = line.find('\t', start);
      std::string value = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
      if (!value.empty()) f[n] = value;
      start = tab == std::string::npos ? line.size() : tab + 1;
    }
    auto r = GitRef::fromFields(f);
    ASSERT_TRUE(r) << line;
    refs.push_back(*r);
  }
  auto list = GitRefList::from(refs);
  ASSERT_TRUE(list.head);
  EXPECT_EQ(list.head->shorthand, "main");
  EXPECT_EQ(list.head->upstreamShorthandWithoutRemote(), "main");
  EXPECT_EQ(shorthands(list.symbolic), (Strings{"origin/HEAD"}));
  EXPECT_EQ(list.symbolic[0].symbolicTarget, "refs/remotes/origin/main");
  EXPECT_EQ(shorthands(list.directRemoteBranches()), (Strings{"origin/main"}));
  EXPECT_EQ(shorthands(list.directLocalBranches()), (Strings{"feature/x", "main"}));
  EXPECT_EQ(list.directLocalBranches()[0].pathPrefix, (Strings{"feature"}));
  const GitRef& v1 = list.tag[1];
  ASSERT_EQ(v1.shorthand, "v1");
  EXPECT_NE(v1.target, v1.commit);  // the tag object vs the tagged commit
  EXPECT_EQ(v1.commit, Oid::parse(first));
  EXPECT_EQ(list.tag[0].commit, list.tag[0].target);  // "light"
  EXPECT_EQ(list.targets.at(*Oid::parse(first)).size(), 6u);
  EXPECT_EQ(v1.creatorDate->iso8601String(), kDate);
}

TEST(GitRef, HashAgreesWithEquality) {
  GitRef counted = ref("refs/heads/main");
  counted.upstreamCount = {1, 0};
  GitRef dated = ref("refs/heads/main");
  dated.creatorDate->offset = 0;
  std::vector<GitRef> values = {ref("refs/heads/main"), ref("refs/heads/main"), ref("refs/heads/main", kB),
                                ref("refs/heads/other"), counted, dated, GitRef::named("refs/heads/main")};
  tavrik::testing::expectHashAgreesWithEquality(values);
  std::vector<GitRefList> lists = {GitRefList::from({}), GitRefList::from({}), GitRefList::from({values[0]}),
                                   GitRefList::from({values[0], values[3]}), GitRefList::from({values[3], values[0]})};
  tavrik::testing::expectHashAgreesWithEquality(lists);
  tavrik::testing::expectHashAgreesWithEquality(
      std::vector<GitCount>{GitCount::zero, {0, 0}, {1, 0}, {0, 1}, {2, 3}});
}

TEST(GitCount, DerivedMembers) {
  GitCount c{3, 5};
  EXPECT_EQ(c.ahead(), 3);
  EXPECT_EQ(c.behind(), 5);
  EXPECT_EQ(c.count(), 3);
  EXPECT_TRUE(c.isAhead() && c.isBehind());
  EXPECT_FALSE(GitCount::zero.isAhead() || GitCount::zero.isBehind());
}
