#include "tavrik/State/GitConfigSnapshot.h"
#include "tavrik/State/GitReflogList.h"
#include "tavrik/State/GitStashEntry.h"
#include "tavrik/State/GitSubmodule.h"

#include "tavrik/Interfaces/ArborError.h"

#include "Support/HashTesting.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tavrik;

namespace {
using Values = std::map<std::string, std::string>;
std::vector<std::string> names(const GitRemoteList& list) {
  std::vector<std::string> out;
  for (const auto& r : list.remotes) out.push_back(r.name);
  return out;
}
} // namespace

TEST(GitConfigSnapshot, AccessorsReadTheirKeys) {
  GitConfigSnapshot c(Values{{"user.name", "Jane"},
                             {"user.email", "jane@example.com"},
                             {"merge.tool", "opendiff"},
                             {"gitflow.branch.master", "main"},
                             {"gitflow.prefix.versiontag", "v"},
                             {"gitflow.path.hooks", "/hooks"},
                             {"branch.main.remote", "origin"},
                             {"core.bare", ""}});
  EXPECT_EQ(c.userName(), "Jane");
  EXPECT_EQ(c.userEmail(), "jane@example.com");
  EXPECT_EQ(c.mergeTool(), "opendiff");
  EXPECT_FALSE(c.diffTool());
  EXPECT_EQ(c.gitflowPrefixVersionTag(), "v");
  EXPECT_EQ(c.gitflowHooksPath(), "/hooks");
  EXPECT_EQ(c.remote("main"), "origin");
  EXPECT_FALSE(c.remote("other"));
  EXPECT_EQ(c.value("core.bare"), "");  // a key without value is present, empty
  EXPECT_FALSE(c.gitflowEnabled());
  GitConfigSnapshot flow(Values{{"gitflow.branch.master", ""}, {"gitflow.branch.develop", "develop"}});
  EXPECT_TRUE(flow.gitflowEnabled());
}

TEST(GitConfigSnapshot, MatchingFindsPatternAnywhereInKey) {
  GitConfigSnapshot c(Values{{"remote.origin.url", "a"}, {"remote.origin.fetch", "b"}, {"branch.main.remote", "c"},
                             {"core.editor", "d"}});
  EXPECT_EQ(c.matching("remote")->values(),
            (Values{{"remote.origin.url", "a"}, {"remote.origin.fetch", "b"}, {"branch.main.remote", "c"}}));
  EXPECT_EQ(c.matching("^remote\\.")->values(), (Values{{"remote.origin.url", "a"}, {"remote.origin.fetch", "b"}}));
  EXPECT_TRUE(c.matching("nomatch")->values().empty());
  EXPECT_THROW(c.matching("(unclosed"), arbor::Error);
}

TEST(GitConfigSnapshot, RemoteListFromUrlAndPushUrlKeys) {
  GitConfigSnapshot c(Values{{"remote.upstream.url", "https://example.com/up.git"},
                             {"remote.origin.url", "git@example.com:me/repo.git"},
                             {"remote.origin.pushurl", "git@example.com:me/push.git"},
                             {"remote.pushonly.pushurl", "ssh://host/p"},
                             {"remote.origin.fetch", "+refs/heads/*:refs/remotes/origin/*"},
                             {"remote.my.fork.url", "https://example.com/fork.git"},  // four pieces
                             {"remote..url", "x"},                                    // two pieces
                             {"xremote.a.url", "x"},
                             {"remote.a.urlx", "x"}});
  const GitRemoteList& list = c.remoteList();
  EXPECT_EQ(names(list), (std::vector<std::string>{"origin", "pushonly", "upstream"}));
  EXPECT_EQ(list.origin()->urlString, "git@example.com:me/repo.git");
  EXPECT_EQ(list.lookup("upstream")->urlString, "https://example.com/up.git");
  EXPECT_FALSE(list.lookup("Origin"));
  EXPECT_EQ(&c.remoteList(), &list);  // kept

  GitConfigSnapshot none;
  EXPECT_TRUE(none.remoteList().remotes.empty());
  EXPECT_FALSE(none.remoteList().origin());
  EXPECT_TRUE(none.remoteSerivceAccounts().empty());
}

TEST(GitConfigSnapshot, RemoteListIsComputedOnceAcrossThreads) {
  auto c = GitConfigSnapshot::make(Values{{"remote.origin.url", "u"}, {"remote.b.url", "v"}});
  std::vector<const GitRemoteList*> seen(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { seen[i] = &c->remoteList(); });
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(seen[0]->remotes.size(), 2u);
}

TEST(GitConfigSnapshot, ServiceAccountsByRemote) {
  const std::string uuid = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
  GitConfigSnapshot c(Values{{"remote.origin.vtserviceaccountuuid", uuid},  // as git prints it
                             {"remote.upstream.vtServiceAccountUUID", "e621e1f8-c36c-495a-93fc-0c247a3e6e5f"},
                             {"remote.bad.vtserviceaccountuuid", "not-a-uuid"},
                             {"remote.origin.url", uuid},
                             {"remote.x", uuid},
                             {"branch.main.vtserviceaccountuuid", uuid}});
  auto accounts = c.remoteSerivceAccounts();
  ASSERT_EQ(accounts.size(), 2u);
  EXPECT_EQ(accounts.at("origin").uuidString(), uuid);
  EXPECT_EQ(accounts.at("upstream").uuidString(), uuid);
}

TEST(GitRemoteList, SuggestRefDownstream) {
  GitRemoteList list{{{"origin", "u"}, {"up", "v"}}};
  EXPECT_EQ(list.suggestRefDownstream("origin/feature/x"), "feature/x");
  EXPECT_EQ(list.suggestRefDownstream("refs/remotes/origin/main"), "main");
  EXPECT_EQ(list.suggestRefDownstream("up/a"), "a");
  EXPECT_FALSE(list.suggestRefDownstream("feature/x"));
  EXPECT_FALSE(list.suggestRefDownstream("originx/main"));
  EXPECT_FALSE(list.suggestRefDownstream("refs/heads/origin"));
}

TEST(GitRemote, UrlAndHttp) {
  EXPECT_TRUE((GitRemote{"o", "HTTPS://example.com/x"}).isHTTP());
  EXPECT_TRUE((GitRemote{"o", "http://example.com/x"}).isHTTP());
  EXPECT_FALSE((GitRemote{"o", "ssh://example.com/x"}).isHTTP());
  EXPECT_FALSE((GitRemote{"o", "git@example.com:x"}).isHTTP());
  EXPECT_TRUE((GitRemote{"o", "https://example.com/x"}).url());
  EXPECT_FALSE((GitRemote{"o", "relative/path"}).url());
}

TEST(GitConfigSnapshot, EqualityAndHashGoByValues) {
  auto a = GitConfigSnapshot::make(Values{{"k", "v"}});
  auto b = GitConfigSnapshot::make(Values{{"k", "v"}});
  auto c = GitConfigSnapshot::make(Values{{"k", "w"}});
  EXPECT_EQ(*a, *b);
  EXPECT_NE(*a, *c);
  EXPECT_EQ(std::hash<GitConfigSnapshot>{}(*a), std::hash<GitConfigSnapshot>{}(*b));
  EXPECT_TRUE(sameConfigValues(a, b));
  EXPECT_FALSE(sameConfigValues(a, c));
  EXPECT_TRUE(sameConfigValues(nullptr, GitConfigSnapshot::empty()));
  EXPECT_FALSE(sameConfigValues(nullptr, a));
  tavrik::testing::expectHashAgreesWithEquality(
      std::vector<GitRemote>{{"o", "u"}, {"o", "u"}, {"o", "v"}, {"p", "u"}});
  tavrik::testing::expectHashAgreesWithEquality(
      std::vector<GitRemoteList>{{}, {}, {{{"o", "u"}}}, {{{"o", "u"}, {"p", "u"}}}});
}

TEST(GitSubmodule, StatusString) {
  struct Case {
    char status;
    int64_t count;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {'+', 0, "M"}, {'+', 5, "M"}, {'U', 2, "U"}, {' ', 3, "3"}, {' ', 0, std::nullopt},
      {'-', 0, "?"}, {'-', 4, "?"}, {'x', 0, "?"}, {'x', 2, "2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(1, c.status) + std::to_string(c.count));
    EXPECT_EQ((GitSubmodule{c.status, "sub", c.count}).statusString(), c.text);
  }
  EXPECT_TRUE((GitSubmodule{'-', "s", 0}).isUninitialized());
  EXPECT_TRUE((GitSubmodule{' ', "s", 0}).isClean());
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GitSubmodule>{
      {' ', "a", 0}, {' ', "a", 0}, {'+', "a", 0}, {' ', "b", 0}, {' ', "a", 1}});
}

TEST(GitStashEntry, RefnameAndHash) {
  GitStashEntry e;
  e.index = 2;
  EXPECT_EQ(e.stashRefname(), "stash@{2}");
  GitStashEntry f = e;
  f.messageWithoutPrefix = "x";
  GitStashEntry g = e;
  g.parents = {Oid::zero};
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GitStashEntry>{e, e, f, g, GitStashEntry{}});
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GitStashList>{{}, {}, {{e}}, {{f}}});
}

TEST(GitReflogList, LookupAndHash) {
  GitReflogList l{{"HEAD", "refs/heads/main"}};
  EXPECT_TRUE(l.hasLog("refs/heads/main"));
  EXPECT_FALSE(l.hasLog("refs/heads"));
  tavrik::testing::expectHashAgreesWithEquality(
      std::vector<GitReflogList>{{}, {}, l, l, {{"HEAD"}}});
}
