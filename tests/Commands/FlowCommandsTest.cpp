// git-flow against real git and Debian's git-flow: init writes what it was
// given and never asks, branches start and finish as `git flow` does them by
// hand, finishes that tag never wait on an editor, and input the shell would
// misread never reaches git-flow.
#include "Support/Helpers.h"
#include "tavrik/Commands/FlowCommands.h"
#include "tavrik/Util/TavrikError.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

struct FlowRepo {
  ScratchRepo repo;
  std::shared_ptr<GitQueue> queue;
  explicit FlowRepo(bool withCommit = true) {
    if (withCommit) repo.commitFile("a.txt", "a\n", "first");
    queue = readerQueue(repo);
  }
  std::string flowConfig() const { return repo.git({"config", "--get-regexp", "^gitflow\\."}); }
  bool has(const std::string& ref) const { return repo.tryGit({"rev-parse", "-q", "--verify", ref}).status == 0; }
  void flow(std::string noun, std::string verb, std::string subject, std::optional<std::string> message = {},
            bool noFastForward = false) {
    runOn(queue, makeOperation<GitExecFlowOperation>({.noun = noun, .verb = verb, .noFastForward = noFastForward,
                                                      .message = message, .subject = subject}));
  }
};

} // namespace

TEST(FlowCommands, InitWithDefaultsWritesTheConfigurationAndCreatesTheBranches) {
  for (bool withCommit : {true, false}) {
    SCOPED_TRACE(withCommit ? "branch main" : "no commit yet");
    FlowRepo f(withCommit);
    f.repo.git({"config", "gitflow.origin", "stale"});
    runOn(f.queue, makeOperation<GitExecFlowInitOperation>());
    EXPECT_EQ(f.flowConfig(), "gitflow.branch.master master\ngitflow.branch.develop develop\n"
                              "gitflow.prefix.feature feature/\ngitflow.prefix.bugfix bugfix/\n"
                              "gitflow.prefix.release release/\ngitflow.prefix.hotfix hotfix/\n"
                              "gitflow.prefix.support support/\ngitflow.prefix.versiontag \ngitflow.path.hooks " +
                                  (f.repo.path() / ".git/hooks").string() + "\n");
    EXPECT_EQ(f.repo.rev("master"), f.repo.rev("develop"));
    EXPECT_EQ(f.repo.git({"symbolic-ref", "--short", "HEAD"}), "develop\n");
    // Again, with nothing left to unset and git-flow already set up.
    runOn(f.queue, makeOperation<GitExecFlowInitOperation>());
  }
}

TEST(FlowCommands, InitKeepsCustomNamesAndTheExistingProductionBranch) {
  FlowRepo f;
  f.repo.git({"branch", "master"}); // git-flow would take it for the integration branch
  runOn(f.queue, makeOperation<GitExecFlowInitOperation>(GitFlowInitOptions{
                     "main", "dev", "feat-", "fix-", "rel-", "hot-", "sup-", "v", "upstream", "/tmp/flow-hooks"}));
  EXPECT_EQ(f.flowConfig(), "gitflow.branch.master main\ngitflow.branch.develop dev\ngitflow.prefix.feature feat-\n"
                            "gitflow.prefix.bugfix fix-\ngitflow.prefix.release rel-\ngitflow.prefix.hotfix hot-\n"
                            "gitflow.prefix.support sup-\ngitflow.prefix.versiontag v\ngitflow.origin upstream\n"
                            "gitflow.path.hooks /tmp/flow-hooks\n");
  f.flow("feature", "start", "x");
  EXPECT_TRUE(f.has("refs/heads/feat-x"));
}

TEST(FlowCommands, FeaturesFinishByFastForwardOrMergeCommit) {
  FlowRepo f;
  runOn(f.queue, makeOperation<GitExecFlowInitOperation>());
  f.flow("feature", "start", "login");
  EXPECT_EQ(f.repo.git({"symbolic-ref", "--short", "HEAD"}), "feature/login\n");
  const std::string one = f.repo.commitFile("login.txt", "l\n", "login");
  f.flow("feature", "finish", "login");
  EXPECT_FALSE(f.has("refs/heads/feature/login"));
  EXPECT_EQ(f.repo.rev("develop"), one); // a single commit fast-forwards

  f.flow("feature", "start", "logout");
  const std::string two = f.repo.commitFile("logout.txt", "l\n", "logout");
  f.flow("feature", "finish", "logout", std::nullopt, true);
  EXPECT_EQ(f.repo.rev("develop^2"), two);
}

TEST(FlowCommands, FinishesTagWithTheMessageOrADefaultWithoutWaiting) {
  FlowRepo f;
  runOn(f.queue, makeOperation<GitExecFlowInitOperation>());
  f.flow("release", "start", "1.0");
  f.repo.commitFile("version", "1.0\n", "bump");
  f.flow("release", "finish", "1.0", "First release");
  EXPECT_EQ(f.repo.git({"tag", "-l", "--format=%(contents)", "1.0"}), "First release 1.0\n\n");

  f.flow("hotfix", "start", "1.0.1");
  f.repo.commitFile("fix", "1\n", "fix");
  f.flow("hotfix", "finish", "1.0.1");
  EXPECT_EQ(f.repo.git({"tag", "-l", "--format=%(contents)", "1.0.1"}), "Hotfix 1.0.1\n\n");
  for (std::string branch : {"master", "develop"})
    for (std::string tag : {"1.0", "1.0.1"})
      EXPECT_EQ(f.repo.tryGit({"merge-base", "--is-ancestor", tag, branch}).status, 0) << tag << " " << branch;
}

TEST(FlowCommands, ArgumentsAndTheRemoteComeFromTheOptionsAndTheConfiguration) {
  FlowRepo f;
  GitOperationContext context(f.queue);
  auto op = makeOperation<GitExecFlowOperation>({.noun = "release", .verb = "finish", .fetch = true,
                                                 .noFastForward = true, .noTag = true, .keep = true, .subject = "2.0",
                                                 .base = "base"});
  EXPECT_EQ(op->title(), "Git Flow Release Finish");
  EXPECT_EQ(makeOperation<GitExecFlowInitOperation>()->title(), "Git Flow Init");
  EXPECT_EQ(op->arguments(context),
            (std::vector<std::string>{"flow", "release", "finish", "-F", "-k", "--no-ff", "-n", "2.0", "base"}));

  ScratchRepo remote(true);
  runOn(f.queue, makeOperation<GitExecFlowInitOperation>(GitFlowInitOptions{.origin = "up"}));
  f.repo.git({"remote", "add", "up", remote.path().string()});
  f.queue->updateViewFor(GitAspects::config);
  f.flow("feature", "start", "shared");
  auto publish = GitExecFlowOperation::simple("feature", "publish", "shared", nullptr);
  runOn(f.queue, publish);
  EXPECT_EQ(publish->remoteAccount()->remoteName, "up");
  EXPECT_EQ(remote.rev("feature/shared"), f.repo.rev("feature/shared"));
}

// Each would reach git-flow as an option or as shell code.
TEST(FlowCommands, OptionLikeAndShellSyntaxInputIsRefusedBeforeGitRuns) {
  FlowRepo f;
  const std::string marker = (f.repo.path() / "ran").string();
  for (auto [noun, subject, message, base] : std::vector<std::array<std::optional<std::string>, 4>>{
           {"-h", "x", {}, {}}, {"feature", "--showcommands", {}, {}}, {"feature", "x", {}, "-b"},
           {"feature", "x", "-m", {}}, {"release", "1;touch " + marker, {}, {}}, {"feature", "", {}, {}},
           {"release", "$(touch " + marker + ")", {}, {}}, {"release", "1", "it'; touch " + marker + "; '", {}}})
    EXPECT_THROW(runOn(f.queue, makeOperation<GitExecFlowOperation>({.noun = *noun, .verb = "start", .message = message,
                                                                     .subject = *subject, .base = base})),
                 TavrikError) << *noun << " " << *subject;
  for (auto options : {GitFlowInitOptions{.branchMaster = "-x"}, GitFlowInitOptions{.branchDevelop = "master"},
                       GitFlowInitOptions{.prefixFeature = "--add"},
                       GitFlowInitOptions{.prefixVersionTag = "`touch " + marker + "`"},
                       GitFlowInitOptions{.prefixFeature = "f$(touch " + marker + ")"},
                       GitFlowInitOptions{.origin = "o$(touch " + marker + ")"}})
    EXPECT_THROW(runOn(f.queue, makeOperation<GitExecFlowInitOperation>(options)), TavrikError);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_NE(f.repo.tryGit({"config", "gitflow.branch.master"}).status, 0);

  // Values git-flow evaluates, set by hand after init, stop the next command.
  runOn(f.queue, makeOperation<GitExecFlowInitOperation>());
  f.flow("feature", "start", "x");
  for (auto [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"gitflow.origin", "o$(touch " + marker + ")"},
           {"gitflow.branch.develop", "develop`touch " + marker + "`"},
           {"gitflow.feature.finish.message", "$(touch " + marker + ")"}}) {
    f.repo.git({"config", key, value});
    EXPECT_THROW(f.flow("feature", "finish", "x"), TavrikError) << key;
    f.repo.git({"config", "--unset", key});
    if (key == "gitflow.branch.develop") f.repo.git({"config", key, "develop"});
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
  f.flow("feature", "finish", "x");
}

TEST(FlowCommands, FlowRefsAreLocalBranchesUnderAConfiguredPrefix) {
  auto config = GitConfigSnapshot::make({{"gitflow.prefix.feature", "feature/"}, {"gitflow.prefix.bugfix", ""},
                                         {"gitflow.prefix.hotfix", "fix-"}, {"gitflow.prefix.release", "release/"},
                                         {"gitflow.prefix.support", "support/"}});
  auto flowRef = [](const std::string& name, const auto& c) { return GitFlowRef::make(GitRef::named(name), c); };
  const auto login = GitRef::named("refs/heads/feature/login");
  EXPECT_EQ(flowRef(login.name, *config), (GitFlowRef{login, GitFlowCategory::feature, "login"}));
  for (const char* none : {"refs/heads/support/1.0", "refs/heads/main", "refs/remotes/origin/feature/login",
                           "refs/tags/feature/x", "refs/heads/feature/"})
    EXPECT_FALSE(flowRef(none, *config)) << none;
  EXPECT_FALSE(flowRef(login.name, *GitConfigSnapshot::empty()));
  auto fix = flowRef("refs/heads/fix-1.0.1", *config).value();
  auto release = flowRef("refs/heads/release/2.0", *config).value();
  EXPECT_EQ(fix.category, GitFlowCategory::hotfix);
  EXPECT_EQ(release.strippedName, "2.0");
  auto same = flowRef(login.name, *config).value();
  expectHashAgreesWithEquality<GitFlowRef>({same, flowRef(login.name, *config).value(), fix, release});
}
