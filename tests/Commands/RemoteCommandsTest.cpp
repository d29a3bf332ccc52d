// Fetch, pull, push, clone and the repository commands against real git
// with a plain local path as the remote: what moves, what the client is told,
// and what is refused before git runs.
#include "Support/Helpers.h"
#include "tavrik/Commands/RemoteCommands.h"
#include "tavrik/Commands/RepositoryCommands.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Operation/GitNotification.h"
#include "tavrik/Util/TavrikError.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

struct RecordingAuth : GitAuth {
  std::atomic<int> begins{0}, ends{0};
  std::optional<Uuid> account;
  bool refuse = false;
  std::map<std::string, std::string> credentialEnvironment() const override { return {{"TAVRIK_TEST_AUTH", "1"}}; }
  void beginSession(const std::optional<Uuid>& uuid) override {
    if (refuse) throw TavrikError("No account", "The provider refused.");
    ++begins;
    account = uuid;
  }
  void endSession() override { ++ends; }
};

struct ContentDelegate : GitQueueDelegate {
  Recorder committed;
  void gitQueueDidCommitNotification(const std::shared_ptr<GitQueue>&, const GitNotificationContent& c) override {
    committed.add(c.title + "|" + c.subtitle + "|" + c.body);
  }
};

// A bare remote, a clone the queue works on, and a second clone standing in
// for someone else who pushes.
struct RemoteScenario {
  ScratchRepo remote{true};
  TempDir dirs;
  GitDir local{dirs.path() / "local"};
  GitDir peer{dirs.path() / "peer"};
  std::shared_ptr<GitQueue> queue;
  std::shared_ptr<ContentDelegate> delegate = std::make_shared<ContentDelegate>();
  std::shared_ptr<RecordingAuth> auth = std::make_shared<RecordingAuth>();

  RemoteScenario() {
    ScratchRepo seed;
    seed.commitFile("a.txt", "a\n", "first");
    seed.git({"push", remote.path().string(), "main"});
    for (const GitDir* clone : {&local, &peer})
      runProgram({"git", "clone", "-q", remote.path().string(), clone->path().string()}, dirs.path());
    queue = readerQueue(local);
    queue->setDelegate(delegate);
    refresh();
  }
  void refresh() {
    queue->updateViewFor({GitAspects::head, GitAspects::refs, GitAspects::config});
    queue->waitUntilAllOperationsAreFinished();
  }
  int peerCommits = 0;
  void peerPushes(int commits) {
    for (int i = 0; i < commits; ++i, ++peerCommits)
      peer.commitFile("p" + std::to_string(peerCommits) + ".txt", "p\n", "peer " + std::to_string(peerCommits));
    peer.git({"push", "-q", "origin", "main"});
  }
};

} // namespace

TEST(RemoteCommands, FetchCountsTheNewCommitsOnceTheViewHasCaughtUp) {
  RemoteScenario s;
  s.peerPushes(2);
  auto fetch = makeOperation<GitExecFetchOperation>({.auth = s.auth});
  EXPECT_EQ(fetch->title(), "Fetch \"HEAD\"");
  runOn(s.queue, fetch);
  EXPECT_EQ(s.local.rev("origin/main"), s.remote.rev("main"));
  EXPECT_EQ(s.delegate->committed.events(), std::vector<std::string>{"Fetched \"origin\"||Fetched 2 commits"});
  EXPECT_EQ(s.auth->begins, 1);
  EXPECT_EQ(s.auth->ends, 1);
  ASSERT_TRUE(fetch->remoteAccount());
  EXPECT_EQ(fetch->remoteAccount()->remoteName, "origin");

  // Nothing new: no content, so the delegate hears nothing.
  runOn(s.queue, makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = s.auth}));
  EXPECT_EQ(s.delegate->committed.events().size(), 1u);
}

// The session is for the account the operation was given; the view's binding
// reaches it only through withViewAccount, at enqueue time.
TEST(RemoteCommands, TransfersSignInWithTheAccountTheyAreGiven) {
  RemoteScenario s;
  const Uuid bound = Uuid::random(), given = Uuid::random();
  s.local.git({"config", "remote.origin.vtServiceAccountUuid", bound.uuidString()});
  s.refresh();
  auto fetch = makeOperation<GitExecFetchOperation>({.auth = s.auth, .account = GitRemoteAccount{"origin", given}});
  runOn(s.queue, fetch);
  EXPECT_EQ(s.auth->account, given);
  EXPECT_EQ(fetch->remoteAccount(), (GitRemoteAccount{"origin", given}));

  runOn(s.queue, makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = s.auth}));
  EXPECT_EQ(s.auth->account, std::nullopt);
}

TEST(RemoteCommands, PullMergesOrRebasesAndCountsWhatArrived) {
  for (bool rebase : {false, true}) {
    SCOPED_TRACE(rebase ? "rebase" : "merge");
    RemoteScenario s;
    // git 2.39 wants to be told how to reconcile divergent branches.
    if (!rebase) s.local.git({"config", "pull.rebase", "false"});
    s.local.commitFile("mine.txt", "m\n", "mine");
    s.peerPushes(2);
    runOn(s.queue, makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = s.auth}));
    s.delegate = std::make_shared<ContentDelegate>();
    s.queue->setDelegate(s.delegate);
    runOn(s.queue, makeOperation<GitExecPullOperation>({.remote = "origin", .refspec = "main", .rebase = rebase,
                                                        .auth = s.auth}));
    EXPECT_EQ(s.delegate->committed.events(), std::vector<std::string>{"Pulled \"origin\"|main|Pulled 2 commits"});
    EXPECT_EQ(s.local.git({"rev-list", "--count", "HEAD"}), rebase ? "4\n" : "5\n");
    EXPECT_EQ(s.local.git({"rev-list", "--merges", "--count", "HEAD"}), rebase ? "0\n" : "1\n");
    EXPECT_EQ(s.local.rev(rebase ? "HEAD~1" : "HEAD^2"), s.remote.rev("main"));
  }
}

TEST(RemoteCommands, PushANewBranchSetsItsUpstreamAndCountsWhatTheRemoteGained) {
  RemoteScenario s;
  s.local.git({"switch", "-q", "-c", "topic"});
  s.local.commitFile("t.txt", "t\n", "topic");
  runOn(s.queue, makeOperation<GitExecPushOperation>({.remote = "origin", .refspec = "topic", .auth = s.auth}));
  EXPECT_EQ(s.remote.rev("topic"), s.local.rev("topic"));
  EXPECT_EQ(s.local.git({"rev-parse", "--abbrev-ref", "topic@{upstream}"}), "origin/topic\n");
  // Only the commit main lacks reached the remote.
  EXPECT_EQ(s.delegate->committed.events(), std::vector<std::string>{"Pushed \"origin\"|topic|Pushed 1 commits"});

  s.local.commitFile("t2.txt", "t\n", "two");
  s.local.commitFile("t3.txt", "t\n", "three");
  s.refresh();
  runOn(s.queue, makeOperation<GitExecPushOperation>(s.auth));
  EXPECT_EQ(s.remote.rev("topic"), s.local.rev("topic"));
  EXPECT_EQ(s.delegate->committed.events().back(), "Pushed \"origin\"|refs/remotes/origin/topic|Pushed 2 commits");
}

// git alone refuses a branch without an upstream; the push names it for git.
TEST(RemoteCommands, PushWithoutRefspecPublishesABranchWithoutUpstream) {
  for (std::optional<std::string> remote : {std::optional<std::string>(), std::optional<std::string>("origin")}) {
    SCOPED_TRACE(remote.value_or("no remote"));
    RemoteScenario s;
    s.local.git({"switch", "-q", "-c", "new\xff-one"});
    s.local.commitFile("n.txt", "n\n", "new");
    runOn(s.queue, makeOperation<GitExecPushOperation>({.remote = remote, .auth = s.auth}));
    EXPECT_EQ(s.remote.rev("refs/heads/new\xff-one"), s.local.rev("HEAD"));
    EXPECT_EQ(s.local.git({"rev-parse", "--symbolic-full-name", "@{upstream}"}), "refs/remotes/origin/new\xff-one\n");
    EXPECT_EQ(s.delegate->committed.events().back(), "Pushed \"origin\"|refs/remotes/origin/new\xff-one|Pushed 1 commits");
  }
  // The only remote need not be called origin; two others leave no choice to make.
  RemoteScenario s;
  s.local.git({"remote", "rename", "origin", "home"});
  s.local.git({"switch", "-q", "-c", "solo"});
  runOn(s.queue, makeOperation<GitExecPushOperation>(s.auth));
  EXPECT_EQ(s.local.git({"rev-parse", "--abbrev-ref", "@{upstream}"}), "home/solo\n");
  s.local.git({"remote", "add", "other", s.remote.path().string()});
  s.local.git({"switch", "-q", "-c", "duo"});
  EXPECT_THROW(runOn(s.queue, makeOperation<GitExecPushOperation>(s.auth)), TavrikError);
  EXPECT_NE(s.remote.tryGit({"rev-parse", "--verify", "-q", "refs/heads/duo"}).status, 0);
}

TEST(RemoteCommands, FetchCountsCommitsOnBranchesAndTagsWithoutALocalBranch) {
  RemoteScenario s;
  s.peer.git({"switch", "-q", "-c", "side"});
  s.peer.commitFile("s1.txt", "s\n", "s1");
  s.peer.commitFile("s2.txt", "s\n", "s2");
  s.peer.git({"push", "-q", "origin", "side"});
  s.peer.commitFile("s3.txt", "s\n", "s3");
  s.peer.git({"tag", "-a", "-m", "v", "v2"});
  s.peer.git({"push", "-q", "origin", "v2"});
  runOn(s.queue, makeOperation<GitExecFetchOperation>({.remote = "origin", .tags = true, .auth = s.auth}));
  EXPECT_EQ(s.delegate->committed.events(), std::vector<std::string>{"Fetched \"origin\"||Fetched 3 commits"});
}

TEST(RemoteCommands, ForceWithLeaseIsRefusedAfterSomeoneElsePushed) {
  RemoteScenario s;
  s.local.git({"commit", "-q", "--amend", "-m", "rewritten"});
  s.peerPushes(1);
  const std::string theirs = s.remote.rev("main");
  auto push = makeOperation<GitExecPushOperation>({.remote = "origin", .refspec = "main", .forceWithLease = true,
                                                   .auth = s.auth});
  EXPECT_THROW(runOn(s.queue, push), GitStdError);
  EXPECT_EQ(s.remote.rev("main"), theirs);
  EXPECT_EQ(s.auth->ends, 1);

  // Once fetched, the lease is what the remote has, and the push goes through.
  s.local.git({"fetch", "-q"});
  runOn(s.queue, makeOperation<GitExecPushOperation>({.remote = "origin", .refspec = "main", .forceWithLease = true,
                                                      .auth = s.auth}));
  EXPECT_EQ(s.remote.rev("main"), s.local.rev("main"));
}

TEST(RemoteCommands, TagsAndRemoteBranchesArePushedAndDeleted) {
  RemoteScenario s;
  s.local.git({"tag", "v1"});
  s.local.git({"branch", "gone"});
  runOn(s.queue, makeOperation<GitExecPushOperation>({.remote = "origin", .tags = true, .auth = s.auth}));
  EXPECT_EQ(s.remote.rev("v1"), s.local.rev("v1"));
  runOn(s.queue, makeOperation<GitExecPushOperation>({.remote = "origin", .refspec = "gone", .auth = s.auth}));
  ASSERT_TRUE(s.remote.tryGit({"rev-parse", "--verify", "-q", "refs/heads/gone"}).status == 0);

  runOn(s.queue, GitExecPushOperation::deleteTag("v1", "origin", s.auth));
  EXPECT_NE(s.remote.tryGit({"rev-parse", "--verify", "-q", "refs/tags/v1"}).status, 0);
  runOn(s.queue, GitExecPushOperation::deleteRef(GitRef::named("refs/remotes/origin/gone"), s.auth));
  EXPECT_NE(s.remote.tryGit({"rev-parse", "--verify", "-q", "refs/heads/gone"}).status, 0);
  EXPECT_THROW(GitExecPushOperation::deleteRef(GitRef::named("refs/heads/gone"), s.auth), TavrikError);
}

// A value that begins with "-" would be read as an option; nothing may run.
TEST(RemoteCommands, OptionLikeNamesAddressesAndRefspecsAreRefusedBeforeGitRuns) {
  RemoteScenario s;
  const std::string marker = (s.dirs.path() / "ran").string();
  const std::string evil = "--upload-pack=touch " + marker + ";git-upload-pack";
  auto refused = [&](const auto& op) { EXPECT_THROW(runOn(s.queue, op), TavrikError); };
  refused(makeOperation<GitExecFetchOperation>({.remote = evil, .auth = s.auth}));
  refused(makeOperation<GitExecFetchOperation>({.remote = "origin", .refspec = "--upload-pack=x", .auth = s.auth}));
  refused(makeOperation<GitExecPullOperation>({.remote = evil, .auth = s.auth}));
  refused(makeOperation<GitExecPushOperation>({.remote = "origin", .refspec = "--receive-pack=x", .auth = s.auth}));
  refused(makeOperation<GitExecCloneOperation>({.url = evil,
                                                .directory = Url::fileURL((s.dirs.path() / "c").string(), true),
                                                .auth = s.auth}));
  refused(GitExecSubmoduleAddOperation::add(evil, "sub", std::nullopt, s.auth));
  // A password would be committed in .gitmodules.
  refused(GitExecSubmoduleAddOperation::add("https://u:pw@127.0.0.1:1/x.git", "sub", std::nullopt, s.auth));
  refused(GitExecRemoteOperation::add("-x", "/tmp/x"));
  refused(GitExecRemoteOperation::add("x", evil));
  refused(GitExecRemoteOperation::rename("origin", "--bad"));
  refused(makeOperation<GitExecConfigOperation>("--add", "x"));
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(s.auth->begins, 0);
  EXPECT_EQ(s.local.git({"remote"}), "origin\n");
}

TEST(RemoteCommands, TheCredentialProviderIsAskedForTheRemotesAccountAndMayRefuse) {
  RemoteScenario s;
  const auto account = Uuid::random();
  runOn(s.queue, GitExecConfigOperation::forRemote("origin", account));
  EXPECT_EQ(s.local.git({"config", "remote.origin.vtServiceAccountUUID"}), account.uuidString() + "\n");
  s.peerPushes(1);
  runOn(s.queue, withViewAccount(makeOperation<GitExecFetchOperation>({.auth = s.auth}), *s.queue));
  EXPECT_EQ(s.auth->account, account);

  s.auth->refuse = true;
  const std::string before = s.local.rev("origin/main");
  s.peerPushes(1);
  EXPECT_THROW(runOn(s.queue, makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = s.auth})), TavrikError);
  EXPECT_EQ(s.local.rev("origin/main"), before);
  EXPECT_EQ(s.auth->ends, 1);

  runOn(s.queue, GitExecConfigOperation::forRemote("origin", std::nullopt));
  EXPECT_NE(s.local.tryGit({"config", "remote.origin.vtServiceAccountUUID"}).status, 0);
}

TEST(RemoteCommands, AFailedRunNamesTheRemoteAndEndsTheSessionOnce) {
  RemoteScenario s;
  s.local.git({"remote", "add", "nowhere", (s.dirs.path() / "missing").string()});
  auto fetch = makeOperation<GitExecFetchOperation>({.remote = "nowhere", .auth = s.auth});
  try {
    runOn(s.queue, fetch);
    FAIL() << "the fetch should fail";
  } catch (const GitStdError& error) {
    EXPECT_EQ(error.userInfo(GitStdErrorUserInfoKey::remoteName), "nowhere");
    EXPECT_TRUE(error.errorDescription().ends_with("remoteName: nowhere")) << error.errorDescription();
  }
  EXPECT_EQ(s.auth->begins, 1);
  EXPECT_EQ(s.auth->ends, 1);
}

TEST(RemoteCommands, CloneAndInitWorkOutsideTheQueuesRepository) {
  RemoteScenario s;
  const auto target = Url::fileURL((s.dirs.path() / "copy").string(), true);
  auto clone = makeOperation<GitExecCloneOperation>({.url = "file://" + s.remote.path().string(), .directory = target,
                                                     .depth = 1, .auth = s.auth});
  EXPECT_EQ(clone->title(), "Cloning into copy");
  runOn(s.queue, clone);
  GitDir copy(target.path());
  EXPECT_EQ(copy.rev("HEAD"), s.remote.rev("main"));
  EXPECT_EQ(copy.git({"rev-parse", "--is-shallow-repository"}), "true\n");

  const auto fresh = Url::fileURL((s.dirs.path() / "fresh").string(), true);
  runOn(s.queue, makeOperation<GitExecInitOperation>(fresh));
  EXPECT_TRUE(std::filesystem::is_directory(s.dirs.path() / "fresh" / ".git"));
  // The queue's own repository was neither cloned into nor re-initialised.
  EXPECT_EQ(s.local.git({"rev-list", "--count", "HEAD"}), "1\n");
}

TEST(RemoteCommands, RemotesAreAddedRenamedRepointedAndRemoved) {
  RemoteScenario s;
  runOn(s.queue, GitExecRemoteOperation::add("second", s.remote.path().string()));
  runOn(s.queue, GitExecRemoteOperation::rename("second", "third"));
  runOn(s.queue, GitExecRemoteOperation::setURLFor("third", "https://example.invalid/x.git"));
  EXPECT_EQ(s.queue->view().config->remoteList().lookup("third")->urlString, "https://example.invalid/x.git");
  runOn(s.queue, GitExecRemoteOperation::remove("third"));
  EXPECT_FALSE(s.queue->view().config->remoteList().lookup("third"));
}

TEST(RemoteCommands, AConfigBatchRefreshesTheConfigurationOnce) {
  RemoteScenario s;
  auto observer = std::make_shared<CountingObserver>();
  auto token = s.queue->addChangeObserver(observer);
  runOn(s.queue, GitConfigAction::set({{"tavrik.a", "1"}, {"tavrik.b", "two words"}, {"user.name", std::nullopt}}));
  EXPECT_EQ(s.queue->view().config->value("tavrik.b"), "two words");
  EXPECT_FALSE(s.queue->view().config->value("user.name"));
  EXPECT_EQ(observer->calls, 1);
  s.queue->removeChangeObserver(token);
}

TEST(RemoteCommands, PushRefspecsAndUpstreamSuggestions) {
  RemoteScenario s;
  s.local.git({"branch", "feature/x"});
  auto refspec = runOn(s.queue, makeOperation<GitBuildPushRefspecOperation>("feature/x", "origin/review/x", true));
  EXPECT_EQ(refspec, (GitPushRefspec{"+refs/heads/feature/x:refs/heads/review/x", "origin"}));
  auto deletion = runOn(s.queue, makeOperation<GitBuildPushRefspecOperation>(std::nullopt, "origin/old", false));
  EXPECT_EQ(deletion.refspec, ":refs/heads/old");
  try {
    runOn(s.queue, makeOperation<GitBuildPushRefspecOperation>("main", "origin", false));
    FAIL();
  } catch (const arbor::Error& error) {
    EXPECT_EQ(error.message(), "Remote refname does not contain a remote name.");
  }
  EXPECT_EQ(runOn(s.queue, makeOperation<GitSuggestUpstreamOperation>("feature/x", "upstream")), "upstream/feature/x");
  EXPECT_EQ(runOn(s.queue, makeOperation<GitSuggestUpstreamOperation>("origin/main", "fork")), "fork/main");
  EXPECT_EQ(runOn(s.queue, makeOperation<GitSuggestUpstreamOperation>("no-such", "origin")), std::nullopt);
}
