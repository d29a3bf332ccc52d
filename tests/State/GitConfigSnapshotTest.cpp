#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/State/GitConfigSnapshot.h"
#include "tavrik/State/GitReflogList.h"
#include "tavrik/State/GitStashEntry.h"
#include "tavrik/State/GitSubmodule.h"

#include "Support/Helpers.h"

#include <thread>

using namespace tavrik;
using namespace tavrik::testing;
using Values = std::map<std::string, std::string>;

TEST(GitConfigSnapshot, MatchingIsARegexSearchInTheKey) {
  GitConfigSnapshot c(Values{{"remote.origin.url", "a"}, {"branch.main.remote", "c"}, {"core.editor", "d"}});
  EXPECT_EQ(c.matching("remote")->values(), (Values{{"remote.origin.url", "a"}, {"branch.main.remote", "c"}}));
  EXPECT_EQ(c.matching("^remote\\.")->values(), (Values{{"remote.origin.url", "a"}}));
  EXPECT_THROW(c.matching("(unclosed"), arbor::Error);
}

// Remotes come from three-piece url and pushurl keys only; the list is made
// once, whichever thread asks first.
TEST(GitConfigSnapshot, RemoteListFromUrlKeysOnceAcrossThreads) {
  auto c = GitConfigSnapshot::make(Values{{"remote.upstream.url", "https://example.com/up.git"},
                                          {"remote.origin.url", "git@example.com:me/repo.git"},
                                          {"remote.pushonly.pushurl", "ssh://host/p"},
                                          {"remote.origin.fetch", "+refs/heads/*:refs/remotes/origin/*"},
                                          {"remote.my.fork.url", "x"}, {"remote..url", "x"},
                                          {"xremote.a.url", "x"}, {"remote.a.urlx", "x"}});
  std::vector<const GitRemoteList*> seen(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { seen[i] = &c->remoteList(); });
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, seen[0]);
  std::vector<std::string> names;
  for (const auto& r : seen[0]->remotes) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"origin", "pushonly", "upstream"}));
  EXPECT_EQ(seen[0]->origin()->urlString, "git@example.com:me/repo.git");
  EXPECT_EQ(seen[0]->suggestRefDownstream("refs/remotes/origin/feature/x"), "feature/x");
  EXPECT_FALSE(seen[0]->suggestRefDownstream("originx/main"));
}

TEST(GitConfigSnapshot, ServiceAccountsByRemoteInAnyCase) {
  const std::string uuid = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
  GitConfigSnapshot c(Values{{"remote.origin.vtserviceaccountuuid", uuid},
                             {"remote.upstream.vtServiceAccountUUID", "e621e1f8-c36c-495a-93fc-0c247a3e6e5f"},
                             {"remote.bad.vtserviceaccountuuid", "not-a-uuid"},
                             {"remote.x", uuid},
                             {"branch.main.vtserviceaccountuuid", uuid}});
  auto accounts = c.remoteSerivceAccounts();
  ASSERT_EQ(accounts.size(), 2u);
  EXPECT_EQ(accounts.at("upstream").uuidString(), uuid);
}

TEST(GitConfigSnapshot, ValuesDecideEqualityAndHash) {
  auto a = GitConfigSnapshot::make(Values{{"k", "v"}});
  EXPECT_TRUE(sameConfigValues(a, GitConfigSnapshot::make(Values{{"k", "v"}})));
  EXPECT_FALSE(sameConfigValues(a, GitConfigSnapshot::make(Values{{"k", "w"}})));
  EXPECT_TRUE(sameConfigValues(nullptr, GitConfigSnapshot::empty()));
  EXPECT_FALSE(sameConfigValues(nullptr, a));
  std::hash<GitConfigSnapshot> hash;
  EXPECT_EQ(hash(*a), hash(*GitConfigSnapshot::make(Values{{"k", "v"}})));
  expectHashAgreesWithEquality(std::vector<GitRemoteList>{{}, {}, {{{"o", "u"}}}, {{{"o", "u"}, {"p", "u"}}}});
  expectHashAgreesWithEquality(std::vector<GitSubmodule>{{' ', "a", 0}, {' ', "a", 0}, {'+', "a", 0}, {' ', "a", 1}});
  GitStashEntry e;
  e.index = 2;
  GitStashEntry f = e;
  f.messageWithoutPrefix = "x";
  expectHashAgreesWithEquality(std::vector<GitStashList>{{}, {}, {{e}}, {{f}}});
  expectHashAgreesWithEquality(std::vector<GitReflogList>{{}, {}, {{"HEAD"}}, {{"HEAD", "refs/heads/main"}}});
}
