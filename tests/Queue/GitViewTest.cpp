#include "tavrik/Queue/GitView.h"

#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;

// Each field change is reported as its own aspect, and only that one; the
// configuration by its values.
TEST(GitView, ChangedAspectsPerField) {
  struct Case {
    const char* name;
    std::function<void(GitView&)> change;
    GitAspects expected;
  };
  const Case cases[] = {
      {"head commit", [](GitView& v) { v.headList.head.commit = Oid::zero; }, GitAspects::head},
      {"merge head", [](GitView& v) { v.headList.mergeHead.refname = "MERGE_HEAD"; }, GitAspects::head},
      {"state files", [](GitView& v) { v.headList.stateFiles = GitStateFileSet::fromFiles({{GitStateFileType::MERGE_HEAD_FILE, "x"}}); },
       GitAspects::head | GitAspects::stateFiles},
      {"state file content only",
       [](GitView& v) { v.headList.stateFiles = GitStateFileSet::fromFiles({{GitStateFileType::MERGE_MSG_FILE, "msg"}}); },
       GitAspects::head | GitAspects::stateFiles},
      {"status absent to empty", [](GitView& v) { v.status = GitStatusList{}; }, GitAspects::status},
      {"refs", [](GitView& v) { v.refs = GitRefList::from({GitRef::named("refs/heads/main")}); }, GitAspects::refs},
      {"reflogs", [](GitView& v) { v.reflogs.names.insert("HEAD"); }, GitAspects::reflogs},
      {"log descriptor", [](GitView& v) { v.logDescriptor.showsAllRefs = true; }, GitAspects::logDescriptor},
      {"stashes", [](GitView& v) { v.stashList.entries.emplace_back(); }, GitAspects::stashes},
      {"config", [](GitView& v) { v.config = GitConfigSnapshot::make({{"user.name", "x"}}); }, GitAspects::config},
      {"submodules", [](GitView& v) { v.submodules.push_back({' ', "sub", 0}); }, GitAspects::submodules},
      {"several", [](GitView& v) { v.status = GitStatusList{}, v.submodules.push_back({'-', "s", 0}); },
       GitAspects::status | GitAspects::submodules},
      {"config replaced by equal values", [](GitView& v) { v.config = GitConfigSnapshot::make(); }, GitAspects{}},
      {"config dropped", [](GitView& v) { v.config = nullptr; }, GitAspects{}},
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

TEST(GitView, HeadRemoteFollowsTheUpstreamRemote) {
  GitView v = GitView::empty();
  GitRef main = GitRef::named("refs/heads/main");
  main.isHead = true;
  main.upstreamName = "refs/remotes/origin/main";
  main.upstreamRemote = "origin";
  v.refs = GitRefList::from({main});
  EXPECT_FALSE(v.headRemote()); // no such remote configured
  v.config = GitConfigSnapshot::make({{"remote.origin.url", "https://example.com/r.git"}, {"remote.o.url", "x"}});
  ASSERT_TRUE(v.headRemote());
  EXPECT_EQ(v.headRemote()->urlString, "https://example.com/r.git");
  v.config = nullptr;
  EXPECT_FALSE(v.headRemote());
}
