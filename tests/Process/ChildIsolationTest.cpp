#include "tavrik/Process/GitExecOperation.h"

#include "Support/ScratchRepo.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Queue/GitQueue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using namespace tavrik;
using tavrik::testing::ScratchRepo;
using namespace std::chrono_literals;

namespace {

class RawOperation : public GitExecOperation<std::string> {
public:
  RawOperation(std::vector<std::string> args, std::set<int> statuses) : args_(std::move(args)), statuses_(statuses) {}
  std::vector<std::string> arguments(GitOperationContext&) override { return args_; }
  std::set<int> successStatuses() const override { return statuses_; }
  std::string execute(GitOperationContext& context) override {
    runCommand(context);
    return stdOutBuffer->utf8String().value_or("");
  }

private:
  std::vector<std::string> args_;
  std::set<int> statuses_;
};

// The engine's own environment as a hook or a German shell would leave it;
// restored afterwards so other tests start from the hermetic one.
class ChildIsolation : public ::testing::Test {
protected:
  void SetUp() override {
    tavrik::testing::makeGitEnvironmentHermetic();
    Shell::setDefaultShell(nullptr);
  }
  void TearDown() override {
    for (const auto& name : set_) ::unsetenv(name.c_str());
  }
  void setEnv(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
    set_.push_back(name);
  }
  std::string run(std::vector<std::string> args, std::set<int> statuses = {0}) {
    auto queue = GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(b.path().string(), true), false),
                                  nullptr, Url::fileURL(tavrik::testing::testPrefix().string(), true));
    auto future = makeOperation<RawOperation>(std::move(args), std::move(statuses))->enqueue(queue);
    queue->waitUntilAllOperationsAreFinished();
    return future.wait(60s).value;
  }
  std::string errorOf(std::vector<std::string> args) {
    try {
      run(std::move(args));
    } catch (const GitStdError& error) {
      return error.text().value_or("<no text>");
    }
    return "<no error>";
  }

  ScratchRepo other;
  ScratchRepo b;
  std::vector<std::string> set_;
};

} // namespace

TEST_F(ChildIsolation, InheritedLocationsAndConfigDoNotRedirectGit) {
  other.commitFile("other.txt", "x\n", "other");
  setEnv("GIT_DIR", (other.path() / ".git").string());
  setEnv("GIT_WORK_TREE", other.path().string());
  setEnv("GIT_INDEX_FILE", (other.path() / ".git/index").string());
  setEnv("GIT_CONFIG_COUNT", "1");
  setEnv("GIT_CONFIG_KEY_0", "tavrik.probe");
  setEnv("GIT_CONFIG_VALUE_0", "leaked");
  auto real = std::filesystem::canonical(b.path()).string();
  EXPECT_EQ(run({"rev-parse", "--show-toplevel", "--path-format=absolute", "--git-path", "index"}),
            real + "\n" + real + "/.git/index\n");
  EXPECT_EQ(run({"ls-files"}), "");
  EXPECT_EQ(run({"config", "--get", "tavrik.probe"}, {0, 1}), "");
}

// de_DE.UTF-8 is not generated here, but LANGUAGE alone translates under any
// valid locale such as C.UTF-8.
TEST_F(ChildIsolation, GitSpeaksEnglishUnderAGermanLocale) {
  ::unsetenv("LC_ALL");
  setEnv("LANGUAGE", "de");
  setEnv("LANG", "de_DE.UTF-8");
  setEnv("LC_MESSAGES", "C.UTF-8");
  EXPECT_EQ(errorOf({"rev-parse", "--verify", "no-such-ref"}), "fatal: Needed a single revision");
}

TEST_F(ChildIsolation, MessageThatIsNotUTF8IsStillAnError) {
  auto text = errorOf({"rev-parse", "caf\xe9"});
  EXPECT_NE(text.find("fatal: ambiguous argument 'caf\xEF\xBF\xBD': unknown revision"), std::string::npos) << text;
}

TEST_F(ChildIsolation, GitKilledByASignalFails) {
  // The alias's shell kills its parent, the git the runner started.
  EXPECT_EQ(errorOf({"-c", "alias.die=!kill -KILL $PPID", "die"}), "git was killed by signal SIGKILL");
}

// Outside our session git has no controlling terminal to prompt on.
TEST_F(ChildIsolation, GitRunsInASessionOfItsOwn) {
  auto sid = run({"-c", "alias.sid=!cut -d' ' -f6 /proc/$$/stat", "sid"});
  ASSERT_FALSE(sid.empty());
  EXPECT_NE(std::stol(sid), static_cast<long>(::getsid(0)));
}
