#include "tavrik/Process/GitExecOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Operation/GitTask.h"

#include <condition_variable>
#include <fstream>
#include <thread>

using namespace tavrik;
using namespace tavrik::testing;
using namespace std::chrono_literals;

namespace {

// An operation whose command line, input and success set the test chooses;
// its result is git's standard output.
class TestExecOperation : public GitExecOperation<std::string> {
public:
  explicit TestExecOperation(std::vector<std::string> args) : args_(std::move(args)) {}

  std::optional<std::string> title() const override { return title_; }
  std::vector<std::string> arguments(GitOperationContext&) override {
    if (beforeArguments) beforeArguments();
    return args_;
  }
  std::optional<std::string> standardInputData() override { return input; }
  std::set<int> successStatuses() const override { return statuses; }
  std::vector<std::string> progressPhases() const override { return phases; }
  std::string execute(GitOperationContext& context) override {
    if (author) context.overrideAuthor = author;
    runCommand(context);
    return stdOutBuffer->utf8String().value_or("");
  }

  std::optional<std::string> title_;
  std::optional<std::string> input;
  std::set<int> statuses{0};
  std::vector<std::string> phases;
  std::optional<persona::Persona> author;
  std::function<void()> beforeArguments;

private:
  std::vector<std::string> args_;
};

class CountingEditor : public GitChildSession {
public:
  std::map<std::string, std::string> sessionEnvironment() const override { return {{"TAVRIK_EDITOR_TOKEN", "t-1"}}; }
  void finishSession() override { ++finished; }
  std::atomic<int> finished{0};
};

class RecordingTaskDelegate : public GitTaskDelegate {
public:
  void gitTaskDidChange(const std::shared_ptr<GitTask>& task) override {
    std::lock_guard lock(mutex);
    updates.emplace_back(task->string().value_or(""), task->progress().value_or(-1));
  }
  std::mutex mutex; // guards updates
  std::vector<std::pair<std::string, int>> updates;
};

// A git prefix whose bin/git records its arguments, environment, working
// directory and standard input, then runs the test's `behaviour` script.
class FakeGit {
public:
  FakeGit() {
    std::filesystem::create_directories(prefix() / "bin");
    auto git = prefix() / "bin" / "git";
    std::ofstream(git) << "#!/bin/sh\n"
                          "r='"
                       << record().string()
                       << "'\n"
                          "mkdir -p \"$r\"\n"
                          "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$r/argv\"\n"
                          "cat /proc/$$/environ > \"$r/env\"\n"
                          "pwd > \"$r/pwd\"\n"
                          ". '"
                       << (dir_.path() / "behaviour").string() << "'\n";
    std::filesystem::permissions(git, std::filesystem::perms::owner_all);
    setBehaviour("");
  }
  std::filesystem::path prefix() const { return dir_.path() / "prefix"; }
  std::filesystem::path record() const { return dir_.path() / "record"; }
  void setBehaviour(const std::string& script) const { std::ofstream(dir_.path() / "behaviour") << script << "\n"; }
  std::vector<std::string> argv() const { return split(readFile(record() / "argv"), '\0'); }
  std::map<std::string, std::string> env() const {
    std::map<std::string, std::string> result;
    for (const auto& entry : split(readFile(record() / "env"), '\0')) {
      auto equals = entry.find('=');
      if (equals != std::string::npos) result[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    return result;
  }
  std::filesystem::path marker(const std::string& name) const { return dir_.path() / name; }

private:
  TempDir dir_;
};

class GitExecOperationTest : public ::testing::Test {
protected:
  void SetUp() override {
    makeGitEnvironmentHermetic();
    Shell::setDefaultShell(nullptr); // the child environment starts from this process's
  }
  std::shared_ptr<GitQueue> makeQueue(const std::optional<std::filesystem::path>& prefix,
                                      std::shared_ptr<persona::PersonaManager> personas = nullptr) {
    std::optional<Url> prefixURL;
    if (prefix) prefixURL = Url::fileURL(prefix->string(), true);
    return GitQueue::create(worktreeDescriptor(repo().path()), std::move(personas), prefixURL);
  }
  static std::shared_ptr<TestExecOperation> op(std::vector<std::string> args) {
    return makeOperation<TestExecOperation>(std::move(args));
  }
  const GitDir& repo() const { return ScenarioRepo::shared().work; }
};

} // namespace

// Real git's outcome against what the runner makes of it: output, a
// GitStdError for a failing status with a message, none for a silent one.
TEST_F(GitExecOperationTest, RealGitOutcomes) {
  auto queue = makeQueue(testPrefix());
  auto top = op({"rev-parse", "--show-toplevel", "HEAD", "--"});
  EXPECT_EQ(runOn(queue, top), repo().path().string() + "\n" + repo().rev("HEAD") + "\n--\n");
  EXPECT_EQ(top->stdOutBuffer->offset(), 0u); // read from the start
  EXPECT_EQ(runOn(queue, op({"diff", "--quiet"})), ""); // changes, told by the status alone
  try {
    runOn(queue, op({"rev-parse", "--verify", "no-such-ref"}));
    FAIL() << "no error";
  } catch (const GitStdError& error) {
    EXPECT_EQ(error.status(), 128);
    EXPECT_EQ(error.text(), "fatal: Needed a single revision");
  }
}

// What counts as failure, and the message it carries: standard error, else
// standard output, trimmed; whitespace alone is no message.
TEST_F(GitExecOperationTest, StatusAndMessageDecideFailure) {
  FakeGit git;
  auto queue = makeQueue(git.prefix());
  struct Case {
    const char* behaviour;
    std::set<int> statuses;
    std::optional<std::string> error; // nullopt: success
  } cases[] = {
      {"printf '\\n  message on stdout \\n\\n'; exit 1", {0}, "message on stdout"},
      {"echo out; echo ' err ' >&2; exit 2", {0}, "err"},
      {"printf ' \\n\\t' >&2; exit 5", {0}, std::nullopt},
      {"echo 'warning: something' >&2; exit 1", {0, 1}, std::nullopt},
      {"echo 'fatal: worse' >&2; exit 2", {0, 1}, "fatal: worse"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    git.setBehaviour(c.behaviour);
    auto o = op({"x"});
    o->statuses = c.statuses;
    try {
      runOn(queue, o);
      EXPECT_FALSE(c.error);
    } catch (const GitStdError& error) {
      EXPECT_EQ(error.text(), c.error);
    }
  }
}

// The command line, working directory and environment the child gets.
TEST_F(GitExecOperationTest, CommandLineAndEnvironmentOfTheChild) {
  FakeGit git;
  auto personas = std::make_shared<persona::FixedPersonaManager>(persona::Persona{"Ann", "ann@example.com"},
                                                                 persona::Persona{"Cid", "cid@example.com"});
  auto queue = makeQueue(git.prefix(), personas);
  auto o = op({"-c", "a.b=c", "status", "-z", "--", "x y"});
  o->author = persona::Persona{"Override", "o@example.com"};
  runOn(queue, o);
  EXPECT_EQ(git.argv(), (std::vector<std::string>{"--no-pager", "-c", "a.b=c", "status", "-z", "--", "x y"}));
  EXPECT_EQ(readFile(git.record() / "pwd"), repo().path().string() + "\n");
  auto env = git.env();
  auto prefix = git.prefix().string();
  const std::map<std::string, std::string> expected = {
      {"GIT_EDITOR", ":"}, {"GIT_PAGER", ""}, {"GIT_ASKPASS", prefix + "/bin/askpass"},
      {"GIT_EXEC_PATH", prefix + "/libexec/git-core"}, {"GIT_DIR", repo().path().string() + "/.git"},
      {"PWD", repo().path().string()}, {"GIT_AUTHOR_NAME", "Override"}, {"GIT_COMMITTER_EMAIL", "cid@example.com"},
      {"GIT_CONFIG_GLOBAL", "/dev/null"}, {"LC_ALL", "C.UTF-8"}};
  for (const auto& [name, value] : expected) EXPECT_EQ(env[name], value) << name;
  EXPECT_EQ(env["PATH"].rfind(prefix + "/bin:", 0), 0u);
}

// The login shell's environment is where the child's starts, its search
// path behind the prefix's bin, empty entries dropped.
TEST_F(GitExecOperationTest, EnvironmentStartsFromLoginShell) {
  FakeGit git;
  TempDir shellDir;
  auto shellPath = shellDir.path() / "sh";
  std::ofstream(shellPath) << "#!/bin/sh\nprintf 'PATH=/usr/bin::/bin:\\nFROM_SHELL=yes\\n'\n";
  std::filesystem::permissions(shellPath, std::filesystem::perms::owner_all);
  Shell::setDefaultShell(std::make_shared<const Shell>(shellPath.string()));
  runOn(makeQueue(git.prefix()), op({"status"}));
  Shell::setDefaultShell(nullptr);
  auto env = git.env();
  EXPECT_EQ(env["PATH"], git.prefix().string() + "/bin:/usr/bin:/bin");
  EXPECT_EQ(env["FROM_SHELL"], "yes");
  EXPECT_FALSE(env.contains("GIT_CONFIG_GLOBAL"));
}

// The editor is named to git and finished however the run ends.
TEST_F(GitExecOperationTest, EditorIsNamedAndAlwaysFinished) {
  FakeGit git;
  auto editor = std::make_shared<CountingEditor>();
  auto queue = makeQueue(git.prefix());
  for (const char* behaviour : {"", "echo 'fatal: boom' >&2; exit 128"}) {
    git.setBehaviour(behaviour);
    auto o = op({"rebase", "-i"});
    o->editor = editor;
    if (*behaviour) EXPECT_THROW(runOn(queue, o), GitStdError);
    else EXPECT_NO_THROW(runOn(queue, o));
    EXPECT_EQ(git.env()["GIT_EDITOR"], git.prefix().string() + "/bin/editor");
    EXPECT_EQ(git.env()["TAVRIK_EDITOR_TOKEN"], "t-1");
  }
  auto o = op({"status"});
  o->editor = editor;
  EXPECT_THROW(runOn(makeQueue(std::nullopt), o), arbor::Error); // no git to run at all
  EXPECT_EQ(editor->finished, 3);
}

TEST_F(GitExecOperationTest, LargeStandardInputReachesGitWhole) {
  std::string data;
  for (int i = 0; data.size() < (10u << 20); ++i) data += "line " + std::to_string(i) + "\n";
  TempDir dir;
  std::ofstream(dir.path() / "blob", std::ios::binary) << data;
  auto o = op({"hash-object", "--stdin"});
  o->input = data;
  EXPECT_EQ(runOn(makeQueue(testPrefix()), o), repo().git({"hash-object", (dir.path() / "blob").string()}));
}

// git that fails before reading its input: its own error is what counts.
TEST_F(GitExecOperationTest, UnreadStandardInputKeepsGitsError) {
  FakeGit git;
  git.setBehaviour("exec 0<&-; echo 'fatal: not reading' >&2; exit 128");
  auto o = op({"apply"});
  o->input = std::string(4 << 20, 'x');
  try {
    runOn(makeQueue(git.prefix()), o);
    FAIL() << "no error";
  } catch (const GitStdError& error) {
    EXPECT_EQ(error.status(), 128);
    EXPECT_EQ(error.text(), "fatal: not reading");
  }
}

// Both orders of a cancel: while git runs, and while the command is being
// prepared (before the child exists); either way git is interrupted.
TEST_F(GitExecOperationTest, CancelInterruptsGitWhetherOrNotItHasStarted) {
  for (bool beforeLaunch : {false, true}) {
    SCOPED_TRACE(beforeLaunch);
    FakeGit git;
    git.setBehaviour("trap 'echo interrupted > \"" + git.marker("interrupted").string() + "\"; exit 130' INT\n" +
                     "echo > \"" + git.marker("started").string() + "\"\n" +
                     "i=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done");
    auto queue = makeQueue(git.prefix());
    auto o = op({"fetch"});
    std::mutex mutex;
    std::condition_variable changed;
    bool preparing = false, cancelled = false;
    if (beforeLaunch)
      o->beforeArguments = [&] {
        std::unique_lock lock(mutex);
        preparing = true;
        changed.notify_all();
        changed.wait(lock, [&] { return cancelled; });
      };
    auto future = o->enqueue(queue);
    if (beforeLaunch) {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return preparing; });
    } else {
      // Only once git's handler is in place and the runner has published the child.
      for (int i = 0; i < 2000 && !(std::filesystem::exists(git.marker("started")) && o->currentTask()); ++i)
        std::this_thread::sleep_for(5ms);
    }
    o->cancel();
    {
      std::lock_guard lock(mutex);
      cancelled = true;
    }
    changed.notify_all();
    EXPECT_THROW(future.wait(60s), pledge::CancelledError); // left alone, git would loop for 30 s
    queue->waitUntilAllOperationsAreFinished();
    if (!beforeLaunch) {
      EXPECT_EQ(readFile(git.marker("interrupted")), "interrupted\n");
    }
  }
}

TEST_F(GitExecOperationTest, ProgressReachesTheTask) {
  FakeGit git;
  git.setBehaviour("printf 'Receiving objects:  50%% (1/2)\\r' >&2; sleep 0.3\n"
                   "printf 'Receiving objects: 100%% (2/2), done.\\n' >&2; sleep 0.3\n"
                   "printf 'Resolving deltas: 100%%\\n' >&2");
  auto o = op({"fetch"});
  o->title_ = "Fetch";
  o->phases = {"remote: Counting objects:", "remote: Compressing objects:", "Receiving objects:", "Resolving deltas:"};
  auto delegate = std::make_shared<RecordingTaskDelegate>();
  o->task()->setDelegate(delegate);
  runOn(makeQueue(git.prefix()), o);
  EXPECT_EQ(o->partialProgress(), (std::vector<double>{1.0, 1.0, 1.0, 0.0}));
  std::lock_guard lock(delegate->mutex);
  auto& u = delegate->updates;
  for (const auto& wanted : {std::pair<std::string, int>{"Receiving objects:  50% (1/2)", 63},
                             {"Receiving objects: 100% (2/2), done.", 75}, {"Resolving deltas: 100%", 75}})
    EXPECT_NE(std::find(u.begin(), u.end(), wanted), u.end()) << wanted.first;
  EXPECT_EQ(o->stdErrBuffer->data().substr(0, 9), "Receiving"); // whole, for the error text
}
