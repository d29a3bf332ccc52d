#include "tavrik/Queue/GitView.h"

#include "Support/HashTesting.h"

#include <gtest/gtest.h>

using namespace tavrik;

namespace {
GitRef headBranch() {
  GitRef r = GitRef::named("refs/heads/main");
  r.isHead = true;
  r.upstreamName = "refs/remotes/origin/main";
  r.upstreamRemote = "origin";
  return r;
}
} // namespace

TEST(GitView, EmptyViewIsAsANewQueueStarts) {
  GitView v = GitView::empty();
  EXPECT_EQ(v.headList.stateFiles.state, GitState::none);
  EXPECT_TRUE(v.headList.stateFiles.set.empty());
  EXPECT_EQ(v.headList.head, GitHead{});
  EXPECT_FALSE(v.status);
  EXPECT_TRUE(v.refs.all.empty());
  EXPECT_FALSE(v.refs.head);
  EXPECT_TRUE(v.reflogs.names.empty());
  EXPECT_EQ(v.logDescriptor.type, GitLogType::reference);
  EXPECT_TRUE(v.logDescriptor.refs.empty());
  EXPECT_FALSE(v.logDescriptor.query);
  EXPECT_FALSE(v.logDescriptor.showsAllRefs);
  EXPECT_TRUE(v.stashList.entries.empty());
  ASSERT_TRUE(v.config);
  EXPECT_TRUE(v.config->values().empty());
  EXPECT_TRUE(v.submodules.empty());
  EXPECT_EQ(v, GitView::empty());
  EXPECT_TRUE(changedAspects(v, GitView::empty()).isEmpty());
}

// Each field change is reported as its own aspect, and only that one.
TEST(GitView, ChangedAspectsPerField) {
  struct Case {
    const char* name;
    std::function<void(GitView&)> change;
    GitAspects expected;
  };
  const GitStateFileSet merging = GitStateFileSet::fromFiles({{GitStateFileType::MERGE_HEAD_FILE, "x"}});
  const Case cases[] = {
      {"head commit", [](GitView& v) { v.headList.head.commit = Oid::zero; }, GitAspects::head},
      {"merge head", [](GitView& v) { v.headList.mergeHead.refname = "MERGE_HEAD"; }, GitAspects::head},
      {"state files", [&](GitView& v) { v.headList.stateFiles = merging; },
       GitAspects{GitAspects::head, GitAspects::stateFiles}},
      {"state file content only",
       [](GitView& v) {
         v.headList.stateFiles = GitStateFileSet::fromFiles({{GitStateFileType::MERGE_MSG_FILE, "msg"}});
       },
       GitAspects{GitAspects::head, GitAspects::stateFiles}},
      {"status nil to empty", [](GitView& v) { v.status = GitStatusList{}; }, GitAspects::status},
      {"status entry",
       [](GitView& v) {
         GitStatusEntry e;
         e.newPath = "a";
         v.status = GitStatusList{{e}};
       },
       GitAspects::status},
      {"refs", [](GitView& v) { v.refs = GitRefList::from({GitRef::named("refs/heads/main")}); }, GitAspects::refs},
      {"reflogs", [](GitView& v) { v.reflogs.names.insert("HEAD"); }, GitAspects::reflogs},
      {"log descriptor", [](GitView& v) { v.logDescriptor.showsAllRefs = true; }, GitAspects::logDescriptor},
      {"stashes", [](GitView& v) { v.stashList.entries.emplace_back(); }, GitAspects::stashes},
      {"config", [](GitView& v) { v.config = GitConfigSnapshot::make({{"user.name", "x"}}); }, GitAspects::config},
      {"submodules", [](GitView& v) { v.submodules.push_back({' ', "sub", 0}); }, GitAspects::submodules},
      {"config replaced by equal values", [](GitView& v) { v.config = GitConfigSnapshot::make(); }, GitAspects{}},
      {"config dropped", [](GitView& v) { v.config = nullptr; }, GitAspects{}},
      {"same status list", [](GitView& v) { v.status = std::nullopt; }, GitAspects{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GitView oldView = GitView::empty();
    GitView newView = oldView;
    c.change(newView);
    EXPECT_EQ(changedAspects(oldView, newView), c.expected);
    EXPECT_EQ(changedAspects(newView, oldView), c.expected);
    EXPECT_EQ(oldView == newView, c.expected.isEmpty());
  }
}

TEST(GitView, ChangedAspectsCombine) {
  GitView a = GitView::empty();
  GitView b = a;
  b.status = GitStatusList{};
  b.headList.head.refname = "main";
  b.submodules.push_back({'-', "s", 0});
  EXPECT_EQ(changedAspects(a, b), (GitAspects{GitAspects::head, GitAspects::status, GitAspects::submodules}));
  // Both present and equal: nothing.
  GitView c = b;
  EXPECT_TRUE(changedAspects(b, c).isEmpty());
}

TEST(GitView, HeadRemoteFollowsUpstreamRemote) {
  GitView v = GitView::empty();
  EXPECT_FALSE(v.headRemote());
  v.refs = GitRefList::from({headBranch()});
  EXPECT_FALSE(v.headRemote());  // no such remote configured
  v.config = GitConfigSnapshot::make({{"remote.origin.url", "https://example.com/r.git"},
                                      {"remote.other.url", "https://example.com/o.git"}});
  ASSERT_TRUE(v.headRemote());
  EXPECT_EQ(v.headRemote()->urlString, "https://example.com/r.git");
  GitRef noUpstream = GitRef::named("refs/heads/main");
  noUpstream.isHead = true;
  v.refs = GitRefList::from({noUpstream});
  EXPECT_FALSE(v.headRemote());
  v.refs = GitRefList::from({headBranch()});
  v.config = nullptr;
  EXPECT_FALSE(v.headRemote());
}

TEST(GitView, HashAgreesWithEquality) {
  std::vector<GitView> views(6, GitView::empty());
  views[1].config = GitConfigSnapshot::make();  // equal values, other object
  views[2].config = nullptr;                    // reads as empty
  views[3].config = GitConfigSnapshot::make({{"a", "b"}});
  views[4].status = GitStatusList{};
  views[5].headList.head.refname = "main";
  tavrik::testing::expectHashAgreesWithEquality(views);
}
