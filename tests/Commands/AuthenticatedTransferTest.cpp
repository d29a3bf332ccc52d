// Clone, fetch, pull and push through real servers on 127.0.0.1: lighttpd in
// front of git http-backend with a password, and git daemon. git's prompts
// travel through the askpass companion to the credential provider, and the
// password must show up nowhere but in git's conversation with the server.
#include "Support/GitServers.h"
#include "Support/Helpers.h"
#include "tavrik/Commands/RemoteCommands.h"
#include "tavrik/Commands/RepositoryCommands.h"
#include "tavrik/Process/GitSocketAuth.h"
#include "tavrik/Operation/GitTask.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// The socket provider, counting its sessions.
struct CountingAuth : GitAuth {
  std::shared_ptr<GitSocketAuth> inner;
  std::atomic<int> begins{0}, ends{0};
  explicit CountingAuth(GitSocketAuth::Prompter prompter) : inner(GitSocketAuth::create(std::move(prompter))) {}
  std::map<std::string, std::string> credentialEnvironment() const override { return inner->credentialEnvironment(); }
  void beginSession(const std::optional<Uuid>& uuid) override {
    ++begins;
    inner->beginSession(uuid);
  }
  void endSession() override {
    ++ends;
    inner->endSession();
  }
};

std::shared_ptr<CountingAuth> answering(std::string user, std::string password, Recorder* prompts = nullptr) {
  return std::make_shared<CountingAuth>([=](const std::string& prompt) -> std::optional<std::string> {
    if (prompts) prompts->add(prompt);
    if (prompt.starts_with("Username")) return user;
    if (prompt.starts_with("Password")) return password;
    return std::nullopt;
  });
}

// Every task's title and status line, as a client's progress display sees them.
struct TaskRecorder : GitQueueObserver, GitTaskDelegate, std::enable_shared_from_this<TaskRecorder> {
  Recorder texts;
  void gitQueueDidChange(const std::shared_ptr<GitQueue>& queue, GitAspects aspects) override {
    if (!aspects.contains(GitAspects::queueTasks)) return;
    for (const auto& task : queue->tasks()) {
      task->setDelegate(shared_from_this());
      texts.add(task->title().value_or(""));
    }
  }
  void gitTaskDidChange(const std::shared_ptr<GitTask>& task) override {
    texts.add(task->title().value_or("") + "|" + task->string().value_or(""));
  }
};

struct HttpScenario {
  TempDir root;
  std::string password = "pw-" + Uuid::random().uuidString();
  std::unique_ptr<GitHttpServer> server;
  TempDir work;
  GitDir local{work.path() / "local"};

  HttpScenario() {
    GitDir bare(root.path() / "repo.git");
    runProgram({"git", "init", "-q", "--bare", "-b", "main", bare.path().string()}, root.path());
    ScratchRepo seed;
    seed.commitFile("a.txt", "a\n", "first");
    seed.git({"push", "-q", bare.path().string(), "main"});
    server = GitHttpServer::start(root.path(), "alice", password);
  }
  GitDir bare() const { return GitDir(root.path() / "repo.git"); }
  // Clones through the engine into `local`.
  std::shared_ptr<GitQueue> cloneWith(const std::shared_ptr<GitAuth>& auth) {
    auto queue = makeReaderQueue(std::nullopt);
    runOn(queue, makeOperation<GitExecCloneOperation>({.url = server->url("repo.git"),
                                                       .directory = Url::fileURL(local.path().string(), true),
                                                       .auth = auth}));
    return readerQueue(local);
  }
};

} // namespace

TEST(AuthenticatedTransfer, CloneFetchPullAndPushWithTheRightPassword) {
  HttpScenario s;
  Recorder prompts;
  auto auth = answering("alice", s.password, &prompts);
  auto queue = s.cloneWith(auth);
  EXPECT_EQ(s.local.rev("HEAD"), s.bare().rev("main"));
  ASSERT_FALSE(prompts.events().empty());
  EXPECT_TRUE(prompts.events().front().starts_with("Username for 'http://127.0.0.1:")) << prompts.events().front();

  s.local.commitFile("b.txt", "b\n", "second");
  runOn(queue, makeOperation<GitExecPushOperation>({.remote = "origin", .refspec = "main", .auth = auth}));
  EXPECT_EQ(s.bare().rev("main"), s.local.rev("main"));

  // Someone pushes directly to the repository; fetch and pull bring it over HTTP.
  ScratchRepo other;
  other.git({"pull", "-q", s.bare().path().string(), "main"});
  other.commitFile("c.txt", "c\n", "third");
  other.git({"push", "-q", s.bare().path().string(), "main"});
  runOn(queue, makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = auth}));
  EXPECT_EQ(s.local.rev("origin/main"), s.bare().rev("main"));
  runOn(queue, makeOperation<GitExecPullOperation>({.remote = "origin", .refspec = "main", .rebase = true,
                                                    .auth = auth}));
  EXPECT_EQ(s.local.rev("HEAD"), s.bare().rev("main"));
  EXPECT_EQ(auth->begins, 4);
  EXPECT_EQ(auth->ends, 4);
}

TEST(AuthenticatedTransfer, AWrongOrMissingPasswordFailsAsAuthenticationNamingTheRemote) {
  HttpScenario s;
  auto queue = s.cloneWith(answering("alice", s.password));
  for (bool decline : {false, true}) {
    SCOPED_TRACE(decline ? "declined" : "wrong password");
    auto auth = decline ? std::make_shared<CountingAuth>([](const std::string&) { return std::nullopt; })
                        : answering("alice", "not-" + s.password);
    auto error = gitFailure([&] { runOn(queue, makeOperation<GitExecFetchOperation>({.remote = "origin",
                                                                                  .auth = auth})); });
    EXPECT_EQ(error.kind(), GitStdError::Kind::authenticationFailed) << error.errorDescription();
    EXPECT_EQ(error.userInfo(GitStdErrorUserInfoKey::remoteName), "origin");
    EXPECT_EQ(auth->begins, 1);
    EXPECT_EQ(auth->ends, 1);
  }
}

// Every log level, the launch lines and git's output included, and every
// task string of an authenticated push and of a failing one, without the
// password; and an address that carries one is shown without it.
TEST(AuthenticatedTransfer, ThePasswordAppearsInNoLogTaskOrErrorText) {
  HttpScenario s;
  auto auth = answering("alice", s.password);
  auto queue = s.cloneWith(auth);
  LogCapture logs(true);
  auto tasks = std::make_shared<TaskRecorder>();
  auto token = queue->addChangeObserver(tasks);

  s.local.commitFile("b.txt", "b\n", "second");
  auto push = makeOperation<GitExecPushOperation>({.remote = "origin", .refspec = "main", .auth = auth});
  push->outputLog = Log::category("test-output");
  runOn(queue, push);

  // The address itself carrying the password, the way users paste them.
  std::string withPassword = s.server->url("repo.git");
  withPassword.insert(std::string("http://").size(), "alice:" + s.password + "@");
  s.local.git({"remote", "add", "broken", withPassword + "-missing"});
  auto fetch = makeOperation<GitExecFetchOperation>({.remote = "broken", .auth = auth});
  fetch->outputLog = Log::category("test-output");
  auto error = gitFailure([&] { runOn(queue, fetch); });
  auto clone = makeOperation<GitExecCloneOperation>({.url = withPassword,
                                                     .directory = Url::fileURL((s.work.path() / "c2").string(), true),
                                                     .auth = auth});
  runOn(queue, clone);
  queue->removeChangeObserver(token);

  std::vector<std::string> texts = logs.messages();
  ASSERT_FALSE(texts.empty());
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](auto& t) { return t.find("push") != std::string::npos; }));
  for (const auto& t : tasks->texts.events()) texts.push_back(t);
  texts.push_back(error.errorDescription());
  ASSERT_TRUE(error.errorDescription().find("127.0.0.1") != std::string::npos) << error.errorDescription();
  for (const auto& text : texts) EXPECT_EQ(text.find(s.password), std::string::npos) << text;
}

// A password pasted into the address goes to git through the run's own
// credential helper: not in git's arguments, not in the new configuration,
// and the client's provider is not asked.
TEST(AuthenticatedTransfer, APasswordInTheCloneAddressReachesGitOnlyThroughItsHelper) {
  HttpScenario s;
  Recorder prompts;
  auto declining = std::make_shared<CountingAuth>([&](const std::string& prompt) -> std::optional<std::string> {
    prompts.add(prompt);
    return std::nullopt;
  });
  std::string address = s.server->url("repo.git");
  address.insert(std::string("http://").size(), "alice:" + s.password + "@");
  auto queue = makeReaderQueue(std::nullopt);
  auto clone = makeOperation<GitExecCloneOperation>({.url = address,
                                                     .directory = Url::fileURL(s.local.path().string(), true),
                                                     .auth = declining});
  GitOperationContext context(queue);
  for (const auto& argument : clone->arguments(context)) EXPECT_EQ(argument.find(s.password), std::string::npos);
  runOn(queue, clone);
  EXPECT_EQ(s.local.rev("HEAD"), s.bare().rev("main"));
  std::string stored = s.server->url("repo.git");
  stored.insert(std::string("http://").size(), "alice@");
  EXPECT_EQ(s.local.git({"config", "remote.origin.url"}), stored + "\n");
  EXPECT_TRUE(prompts.events().empty());

  // A wrong one fails as any wrong password does.
  address.replace(address.find(s.password), s.password.size(), "wrong");
  auto wrong = makeOperation<GitExecCloneOperation>({.url = address,
                                                     .directory = Url::fileURL((s.work.path() / "w").string(), true)});
  EXPECT_EQ(gitFailure([&] { runOn(queue, wrong); }).kind(), GitStdError::Kind::authenticationFailed);
}

TEST(AuthenticatedTransfer, AnonymousGitDaemonNeedsNoCredentials) {
  HttpScenario s;
  auto daemon = GitDaemonServer::start(s.root.path());
  Recorder prompts;
  auto auth = answering("alice", s.password, &prompts);
  auto queue = makeReaderQueue(std::nullopt);
  runOn(queue, makeOperation<GitExecCloneOperation>({.url = daemon->url("repo.git"),
                                                     .directory = Url::fileURL(s.local.path().string(), true),
                                                     .auth = auth}));
  EXPECT_EQ(s.local.rev("HEAD"), s.bare().rev("main"));
  runOn(readerQueue(s.local), makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = auth}));
  EXPECT_TRUE(prompts.events().empty());
}

// A submodule cloned through the password-protected server, then taken
// through deinit, init, update and sync as a client's buttons do.
TEST(AuthenticatedTransfer, SubmoduleAddThroughTheServerAndItsLifecycle) {
  HttpScenario s;
  runProgram({"git", "clone", "-q", "--bare", s.bare().path().string(), (s.root.path() / "lib.git").string()},
             s.root.path());
  auto auth = answering("alice", s.password);
  auto queue = s.cloneWith(auth);
  runOn(queue, GitExecSubmoduleAddOperation::add(s.server->url("lib.git"), "lib dir", std::nullopt, auth));
  GitDir lib(s.local.path() / "lib dir");
  EXPECT_EQ(lib.rev("HEAD"), s.bare().rev("main"));
  EXPECT_EQ(s.local.git({"config", "-f", ".gitmodules", "submodule.lib dir.path"}), "lib dir\n");

  runOn(queue, GitExecSubmoduleOperation::deinit("lib dir", true));
  EXPECT_FALSE(std::filesystem::exists(lib.path() / "a.txt"));
  runOn(queue, GitExecSubmoduleOperation::init("lib dir"));
  EXPECT_EQ(s.local.git({"config", "submodule.lib dir.url"}), s.server->url("lib.git") + "\n");
  runOn(queue, GitExecSubmoduleOperation::update("lib dir", false, false));
  EXPECT_EQ(readFile(lib.path() / "a.txt"), "a\n");
  s.local.git({"config", "-f", ".gitmodules", "submodule.lib dir.url", s.server->url("moved.git")});
  runOn(queue, GitExecSubmoduleOperation::sync("lib dir"));
  EXPECT_EQ(s.local.git({"config", "submodule.lib dir.url"}), s.server->url("moved.git") + "\n");
}
