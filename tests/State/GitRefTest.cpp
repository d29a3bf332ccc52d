#include "tavrik/State/GitRef.h"
#include "tavrik/State/GitRefList.h"

#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace {
using Strings = std::vector<std::string>;
using Fields = std::map<std::string, std::string>;

const std::string kA = "1111111111111111111111111111111111111111";
const std::string kB = "2222222222222222222222222222222222222222";

GitRef ref(std::string name, std::string objectname = kA, Fields extra = {}) {
  Fields f{{"HEAD", " "}, {"objectname", objectname}, {"refname", name}, {"creatordate:iso8601-strict", "2024-01-02T10:00:00+02:00"}};
  for (auto& [k, v] : extra) f[k] = v;
  return *GitRef::fromFields(f);
}

Strings shorthands(const std::vector<GitRef>& refs) {
  Strings out;
  for (const auto& r : refs) out.push_back(r.shorthand);
  return out;
}
} // namespace

TEST(GitRef, DerivesTypeShorthandPathAndPrefix) {
  struct Case {
    const char* name;
    GitRefType type;
    const char* shorthand;
    Strings path, prefix;
  } cases[] = {
      // A remote branch's first folder is the remote, not a folder of branches.
      {"refs/remotes/origin/feature/x", GitRefType::remote, "origin/feature/x", {"origin", "feature", "x"}, {"feature"}},
      {"refs/remotes/origin/main", GitRefType::remote, "origin/main", {"origin", "main"}, {}},
      {"refs/heads/feature/x", GitRefType::branch, "feature/x", {"feature", "x"}, {"feature"}},
      {"refs/tags/release/1.0", GitRefType::tag, "release/1.0", {"release", "1.0"}, {"release"}},
      {"refs/notes/commits", GitRefType::note, "commits", {"commits"}, {}},
      {"refs/stash", GitRefType::unknown, "refs/stash", {"refs", "stash"}, {"refs"}},
      {"refs/headsx/main", GitRefType::unknown, "refs/headsx/main", {"refs", "headsx", "main"}, {"refs", "headsx"}},
      {"refs/heads/refs/tags/x", GitRefType::branch, "x", {"x"}, {}}, // prefixes go one after the other
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GitRef r = GitRef::named(c.name);
    EXPECT_EQ(r.type, c.type);
    EXPECT_EQ(r.shorthand, c.shorthand);
    EXPECT_EQ(r.path, c.path);
    EXPECT_EQ(r.pathPrefix, c.prefix);
  }
}

TEST(GitRef, FromFieldsNeedsItsFieldsAndParsableValues) {
  for (const char* required : {"HEAD", "objectname", "refname"}) {
    SCOPED_TRACE(required);
    Fields f{{"HEAD", " "}, {"objectname", kA}, {"refname", "refs/heads/x"}};
    f[required] = "";
    EXPECT_FALSE(GitRef::fromFields(f));
  }
  const std::pair<const char*, Fields> bad[] = {{"date without zone", {{"creatordate:iso8601-strict", "2024-01-02T10:00:00"}}},
                                                {"bad peeled id", {{"*objectname", "nothex"}}}};
  for (const auto& [name, extra] : bad) {
    Fields f{{"HEAD", " "}, {"objectname", kA}, {"refname", "refs/heads/x"}};
    f.insert(extra.begin(), extra.end());
    EXPECT_FALSE(GitRef::fromFields(f)) << name;
  }
  auto r = ref("refs/heads/main", kA, {{"HEAD", "*"}, {"*objectname", kB}, {"upstream", "refs/remotes/up/feature/x"},
                                       {"upstream:remotename", "up"}, {"upstream:track,nobracket", "ahead 2, behind 3"}});
  EXPECT_TRUE(r.isHead);
  EXPECT_EQ(r.commit, Oid::parse(kB));
  EXPECT_EQ(r.upstreamShorthand(), "up/feature/x");
  EXPECT_EQ(r.upstreamShorthandWithoutRemote(), "feature/x");
  EXPECT_EQ(r.upstreamCount, (GitCount{2, 3}));
}

TEST(GitRef, CountFromTrack) {
  const std::pair<const char*, GitCount> cases[] = {
      {"", {0, 0}},          {"ahead 2", {2, 0}},     {"behind 3", {0, 3}}, {"ahead 2, behind 3", {2, 3}},
      {"gone", {0, 0}},      {"behind 3, ahead 2", {0, 0}}, {"ahead -1", {0, 0}}, {"ahead 2x", {0, 0}}};
  for (const auto& [track, count] : cases) EXPECT_EQ(GitRef::countFromTrack(track), count) << track;
}

TEST(GitRef, OrdersMasterThenDevelopThenByShorthand) {
  std::vector<GitRef> refs = {ref("refs/heads/zeta"), ref("refs/remotes/origin/a"), ref("refs/heads/develop"),
                              ref("refs/tags/a-branch"), ref("refs/heads/master"), ref("refs/heads/B"),
                              ref("refs/tags/master"), ref("refs/tags/zeta")};
  // The list's groups keep this order, ties in their given order.
  const auto grouped = GitRefList::from(refs);
  std::stable_sort(refs.begin(), refs.end());
  EXPECT_EQ(shorthands(refs), (Strings{"master", "master", "develop", "B", "a-branch", "origin/a", "zeta", "zeta"}));
  EXPECT_EQ(grouped.direct().toVector(), refs);
  EXPECT_FALSE(refs[0] < refs[0]);
  EXPECT_FALSE(refs[1] < refs[0]);
}

TEST(GitRefList, GroupsRefsAndListsAnnotatedTagsUnderTheirCommit) {
  GitRef main = ref("refs/heads/main", kA, {{"HEAD", "*"}});
  main.upstreamCount = {2, 3};
  GitRef feature = ref("refs/heads/feature", kB);
  feature.upstreamCount = {1, 0};
  std::vector<GitRef> all = {feature, main, ref("refs/notes/commits", kB),
                             ref("refs/remotes/origin/HEAD", kA, {{"symref", "refs/remotes/origin/main"}}),
                             ref("refs/remotes/origin/main"), ref("refs/tags/v1", kB, {{"*objectname", kA}})};
  auto list = GitRefList::from(all);
  EXPECT_EQ(list.head->name, "refs/heads/main");
  EXPECT_EQ(shorthands(list.branches().toVector()), (Strings{"feature", "main"}));
  EXPECT_EQ(shorthands(list.symbolic().toVector()), (Strings{"origin/HEAD"}));
  EXPECT_EQ(shorthands(list.directLocalAndRemoteBranches()), (Strings{"feature", "main", "origin/main"}));
  EXPECT_EQ(shorthands(list.graphRefs()), (Strings{"feature", "main", "origin/main", "v1"}));
  EXPECT_EQ(list.aheadUpstreamTotal(), 3);
  EXPECT_EQ(list.behindUpstreamTotal(), 3);
  EXPECT_EQ(shorthands(list.pointingAt(*Oid::parse(kA)).toVector()), (Strings{"main", "origin/HEAD", "origin/main", "v1"}));
  EXPECT_EQ(shorthands(list.pointingAt(*Oid::parse(kB)).toVector()), (Strings{"commits", "feature"}));
  EXPECT_TRUE(list.pointingAt(*Oid::parse("89abcdef0123456789abcdef0123456789abcdef")).empty());
  EXPECT_EQ(list.targetCommits(), (std::vector<Oid>{*Oid::parse(kA), *Oid::parse(kB)}));
  EXPECT_FALSE(GitRefList::from({ref("refs/heads/main")}).head); // detached
}

TEST(GitRef, HashAgreesWithEquality) {
  GitRef counted = ref("refs/heads/main");
  counted.upstreamCount = {1, 0};
  std::vector<GitRef> values = {ref("refs/heads/main"), ref("refs/heads/main"), ref("refs/heads/main", kB),
                                ref("refs/heads/other"), counted, GitRef::named("refs/heads/main")};
  expectHashAgreesWithEquality(values);
  expectHashAgreesWithEquality(std::vector<GitRefList>{GitRefList::from({}), GitRefList::from({}),
                                                       GitRefList::from({values[0]}), GitRefList::from({values[3], values[0]})});
}
