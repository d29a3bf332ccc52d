#include "tavrik/Process/GitExecOperation.h"

#include "Support/ScenarioRepo.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Queue/GitQueue.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

using namespace tavrik;
using namespace std::chrono_literals;

namespace {

// Git's standard output; status 1 passes, as `git config --get` of a missing key needs.
struct RawOperation : GitExecOperation<std::string> {
  explicit RawOperation(std::vector<std::string> args, GitExecAccess access = GitExecAccess::read)
      : args(std::move(args)), access_(access) {}
  std::vector<std::string> arguments(GitOperationContext&) override { return args; }
  GitExecAccess access() const override { return access_; }
  std::set<int> successStatuses() const override { return {0, 1}; }
  std::string execute(GitOperationContext& context) override {
    runCommand(context);
    return stdOutBuffer->utf8String().value_or("");
  }
  std::vector<std::string> args;
  GitExecAccess access_;
};

// The engine's own environment as a hook or a German shell leaves it.
struct ChildIsolation : ::testing::Test {
  void SetUp() override {
    tavrik::testing::makeGitEnvironmentHermetic();
    Shell::setDefaultShell(nullptr);
  }
  void TearDown() override {
    for (const auto& name : set) ::unsetenv(name.c_str());
  }
  void setEnv(std::map<std::string, std::string> vars) {
    for (const auto& [name, value] : vars) ::setenv(name.c_str(), value.c_str(), 1), set.push_back(name);
  }
  std::shared_ptr<GitQueue> queue() {
    return GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(b.path().string(), true), false),
                            nullptr, Url::fileURL(tavrik::testing::testPrefix().string(), true));
  }
  std::string run(std::vector<std::string> args) {
    auto queue = this->queue();
    auto future = makeOperation<RawOperation>(std::move(args))->enqueue(queue);
    queue->waitUntilAllOperationsAreFinished();
    try {
      return future.wait(60s).value;
    } catch (const GitStdError& error) {
      return "error: " + error.text().value_or("");
    }
  }
  tavrik::testing::ScratchRepo other, b;
  std::vector<std::string> set;
};

} // namespace

TEST_F(ChildIsolation, InheritedLocationsAndConfigDoNotRedirectGit) {
  other.commitFile("other.txt", "x\n", "other");
  auto otherGit = (other.path() / ".git").string();
  setEnv({{"GIT_DIR", otherGit}, {"GIT_WORK_TREE", other.path().string()}, {"GIT_INDEX_FILE", otherGit + "/index"},
          {"GIT_CONFIG_COUNT", "1"}, {"GIT_CONFIG_KEY_0", "tavrik.probe"}, {"GIT_CONFIG_VALUE_0", "leaked"}});
  auto real = std::filesystem::canonical(b.path()).string();
  EXPECT_EQ(run({"rev-parse", "--show-toplevel", "--path-format=absolute", "--git-path", "index"}),
            real + "\n" + real + "/.git/index\n");
  EXPECT_EQ(run({"ls-files"}), "");
  EXPECT_EQ(run({"config", "--get", "tavrik.probe"}), "");
}

// de_DE.UTF-8 is not generated here, but LANGUAGE alone translates under C.UTF-8.
TEST_F(ChildIsolation, GitSpeaksEnglishUnderAGermanLocale) {
  ::unsetenv("LC_ALL");
  setEnv({{"LANGUAGE", "de"}, {"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "C.UTF-8"}});
  EXPECT_EQ(run({"rev-parse", "--verify", "no-such-ref"}), "error: fatal: Needed a single revision");
}

TEST_F(ChildIsolation, MessageThatIsNotUTF8AndDeathBySignalFail) {
  EXPECT_TRUE(run({"rev-parse", "caf\xe9"}).starts_with("error: fatal: ambiguous argument 'caf\xEF\xBF\xBD'"));
  // The alias's shell kills its parent, the git the runner started.
  EXPECT_EQ(run({"-c", "alias.die=!kill -KILL $PPID", "die"}), "error: git was killed by signal SIGKILL");
}

// A command that may change something runs outside our session, with no
// controlling terminal for a hook or a signing tool to prompt on; a reader
// stays in our session (the scheduler then shares the CPU among readers by
// thread) but always leads a process group of its own.
TEST_F(ChildIsolation, GitRunsInASessionOrAGroupOfItsOwn) {
  const std::vector<std::string> ids{"-c", "alias.ids=!cut -d' ' -f5,6 /proc/$PPID/stat", "ids"};
  for (auto access : {GitExecAccess::read, GitExecAccess::write}) {
    auto future = makeOperation<RawOperation>(ids, access)->enqueue(queue());
    std::istringstream read(future.wait(60s).value);
    long group = 0, session = 0;
    read >> group >> session;
    ASSERT_GT(group, 0);
    EXPECT_NE(group, static_cast<long>(::getpgrp()));
    EXPECT_EQ(session == static_cast<long>(::getsid(0)), access == GitExecAccess::read) << session;
  }
}

// The alias's shell waits for an inner shell that becomes `sleep`: git would
// pass an interrupt to its own child only, so the sleep hears of the cancel
// only if the whole process group is interrupted.
TEST_F(ChildIsolation, CancelReachesGrandchildren) {
  auto queue = this->queue();
  for (auto access : {GitExecAccess::read, GitExecAccess::write}) {
    auto pidFile = b.path() / ("sleep.pid." + std::to_string(static_cast<int>(access)));
    auto op = makeOperation<RawOperation>(
        std::vector<std::string>{
            "-c", "alias.nap=!sh -c 'echo $$ > \"" + pidFile.string() + "\"; exec sleep 30' >/dev/null 2>&1; true", "nap"},
        access);
    auto future = op->enqueue(queue);
    pid_t sleeper = 0;
    for (int i = 0; i < 2000 && !(std::ifstream(pidFile) >> sleeper); ++i) std::this_thread::sleep_for(5ms);
    ASSERT_GT(sleeper, 0);
    op->cancel();
    EXPECT_THROW(future.wait(60s), pledge::CancelledError);
    for (int i = 0; i < 1000 && !tavrik::testing::processIsGone(sleeper); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(tavrik::testing::processIsGone(sleeper)) << "sleep " << sleeper << " outlived the cancel";
    if (!tavrik::testing::processIsGone(sleeper)) ::kill(sleeper, SIGKILL);
  }
  queue->waitUntilAllOperationsAreFinished();
}
