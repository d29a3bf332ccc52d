#include "tavrik/Process/GitExecOperation.h"

#include "Support/ScratchRepo.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Queue/GitTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <thread>

using namespace tavrik;
using tavrik::testing::ScratchRepo;
using tavrik::testing::TempDir;
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

class CountingEditor : public GitEditor {
public:
  std::map<std::string, std::string> editorEnvironment() const override { return {{"TAVRIK_EDITOR_TOKEN", "t-1"}}; }
  void finishEditing() override { ++finished; }
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

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1) {
    parts.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) parts.push_back(text.substr(start));
  return parts;
}

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
    tavrik::testing::makeGitEnvironmentHermetic();
    // The child environment starts from this process's (hermetic) one.
    Shell::setDefaultShell(nullptr);
  }

  std::shared_ptr<GitQueue> makeQueue(const std::optional<std::filesystem::path>& prefix,
                                      std::shared_ptr<persona::PersonaManager> personas = nullptr) {
    std::optional<Url> prefixURL;
    if (prefix) prefixURL = Url::fileURL(prefix->string(), true);
    return GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(repo.path().string(), true), false),
                            std::move(personas), prefixURL);
  }

  std::string run(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<TestExecOperation>& op) {
    auto future = op->enqueue(queue);
    // Let the worker drop its references first: ThreadSanitizer cannot see
    // the uninstrumented reference count of a shared exception_ptr.
    queue->waitUntilAllOperationsAreFinished();
    return future.wait(60s).value;
  }

  ScratchRepo repo;
};

} // namespace

TEST_F(GitExecOperationTest, RunsRealGitInTheRepository) {
  repo.commitFile("a.txt", "a\n", "first");
  auto queue = makeQueue(tavrik::testing::testPrefix());
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"rev-parse", "--show-toplevel", "HEAD"});
  auto out = run(queue, op);
  EXPECT_EQ(out, repo.path().string() + "\n" + repo.git({"rev-parse", "HEAD"}));
  EXPECT_EQ(op->stdOutBuffer->offset(), 0u);
  EXPECT_EQ(op->stdOutBuffer->scanStringToLF(), repo.path().string());
}

TEST_F(GitExecOperationTest, RealGitFailureBecomesGitStdError) {
  auto queue = makeQueue(tavrik::testing::testPrefix());
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"rev-parse", "--verify", "no-such-ref"});
  try {
    run(queue, op);
    FAIL() << "no error";
  } catch (const GitStdError& error) {
    EXPECT_EQ(error.status(), 128);
    EXPECT_EQ(error.text(), "fatal: Needed a single revision");
    EXPECT_EQ(error.kind(), GitStdError::Kind::other);
  }
}

// `git diff --quiet` reports changes through its status alone.
TEST_F(GitExecOperationTest, SilentFailureDoesNotFail) {
  repo.commitFile("a.txt", "a\n", "first");
  repo.write("a.txt", "changed\n");
  auto queue = makeQueue(tavrik::testing::testPrefix());
  EXPECT_EQ(run(queue, makeOperation<TestExecOperation>(std::vector<std::string>{"diff", "--quiet"})), "");
}

TEST_F(GitExecOperationTest, CommandLineStartsWithNoPager) {
  FakeGit git;
  auto queue = makeQueue(git.prefix());
  run(queue, makeOperation<TestExecOperation>(std::vector<std::string>{"-c", "a.b=c", "status", "-z", "--", "x y"}));
  EXPECT_EQ(git.argv(), (std::vector<std::string>{"--no-pager", "-c", "a.b=c", "status", "-z", "--", "x y"}));
  EXPECT_EQ(readFile(git.record() / "pwd"), repo.path().string() + "\n");
}

TEST_F(GitExecOperationTest, EnvironmentOfTheChild) {
  FakeGit git;
  auto personas = std::make_shared<persona::FixedPersonaManager>(persona::Persona{"Ann", "ann@example.com"},
                                                                 persona::Persona{"Cid", "cid@example.com"});
  auto queue = makeQueue(git.prefix(), personas);
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"status"});
  op->author = persona::Persona{"Override", "o@example.com"};
  run(queue, op);
  auto env = git.env();
  auto prefix = git.prefix().string();
  EXPECT_EQ(env["GIT_EDITOR"], ":");
  EXPECT_TRUE(env.contains("GIT_PAGER"));
  EXPECT_EQ(env["GIT_PAGER"], "");
  EXPECT_EQ(env["GIT_ASKPASS"], prefix + "/bin/askpass");
  EXPECT_EQ(env["SSH_ASKPASS"], prefix + "/bin/askpass");
  EXPECT_EQ(env["GIT_EXEC_PATH"], prefix + "/libexec/git-core");
  EXPECT_EQ(env["GIT_TEMPLATE_DIR"], prefix + "/share/git-core/templates");
  EXPECT_EQ(env["GIT_DIR"], repo.path().string() + "/.git");
  EXPECT_EQ(env["PWD"], repo.path().string());
  EXPECT_EQ(env["GIT_AUTHOR_NAME"], "Override");
  EXPECT_EQ(env["GIT_AUTHOR_EMAIL"], "o@example.com");
  EXPECT_EQ(env["GIT_COMMITTER_NAME"], "Cid");
  EXPECT_EQ(env["GIT_COMMITTER_EMAIL"], "cid@example.com");
  EXPECT_EQ(env["GIT_CONFIG_GLOBAL"], "/dev/null"); // the rest passes through
  EXPECT_EQ(env["PATH"].rfind(prefix + "/bin:", 0), 0u);
}

TEST_F(GitExecOperationTest, EnvironmentStartsFromLoginShell) {
  FakeGit git;
  TempDir shellDir;
  auto shellPath = shellDir.path() / "sh";
  std::ofstream(shellPath) << "#!/bin/sh\nprintf 'PATH=/usr/bin::/bin:\\nFROM_SHELL=yes\\n'\n";
  std::filesystem::permissions(shellPath, std::filesystem::perms::owner_all);
  Shell::setDefaultShell(std::make_shared<const Shell>(shellPath.string()));
  auto queue = makeQueue(git.prefix());
  run(queue, makeOperation<TestExecOperation>(std::vector<std::string>{"status"}));
  Shell::setDefaultShell(nullptr);
  auto env = git.env();
  EXPECT_EQ(env["PATH"], git.prefix().string() + "/bin:/usr/bin:/bin");
  EXPECT_EQ(env["FROM_SHELL"], "yes");
  EXPECT_FALSE(env.contains("GIT_CONFIG_GLOBAL")); // the engine's own variables are not the start
}

TEST_F(GitExecOperationTest, EditorIsNamedAndFinished) {
  FakeGit git;
  auto queue = makeQueue(git.prefix());
  auto editor = std::make_shared<CountingEditor>();
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"rebase", "-i"});
  op->editor = editor;
  run(queue, op);
  auto env = git.env();
  EXPECT_EQ(env["GIT_EDITOR"], git.prefix().string() + "/bin/editor");
  EXPECT_EQ(env["TAVRIK_EDITOR_TOKEN"], "t-1");
  EXPECT_EQ(editor->finished, 1);

  git.setBehaviour("echo 'fatal: boom' >&2; exit 128");
  auto failing = makeOperation<TestExecOperation>(std::vector<std::string>{"rebase", "-i"});
  failing->editor = editor;
  EXPECT_THROW(run(queue, failing), GitStdError);
  EXPECT_EQ(editor->finished, 2);
}

TEST_F(GitExecOperationTest, MissingPrefixIsGitNotFound) {
  auto queue = makeQueue(std::nullopt);
  auto editor = std::make_shared<CountingEditor>();
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"status"});
  op->editor = editor;
  try {
    run(queue, op);
    FAIL() << "no error";
  } catch (const arbor::Error& error) {
    EXPECT_EQ(error.message(), "Git executable not found.");
  }
  EXPECT_EQ(editor->finished, 1);
}

TEST_F(GitExecOperationTest, ErrorTextFromStandardErrorElseStandardOutput) {
  FakeGit git;
  auto queue = makeQueue(git.prefix());
  git.setBehaviour("printf '\\n  message on stdout \\n\\n'; exit 1");
  try {
    run(queue, makeOperation<TestExecOperation>(std::vector<std::string>{"x"}));
    FAIL() << "no error";
  } catch (const GitStdError& error) {
    EXPECT_EQ(error.status(), 1);
    EXPECT_EQ(error.text(), "message on stdout");
  }
  git.setBehaviour("echo out; echo ' err ' >&2; exit 2");
  try {
    run(queue, makeOperation<TestExecOperation>(std::vector<std::string>{"x"}));
    FAIL() << "no error";
  } catch (const GitStdError& error) {
    EXPECT_EQ(error.status(), 2);
    EXPECT_EQ(error.text(), "err");
  }
  // Whitespace alone is no message.
  git.setBehaviour("printf ' \\n\\t' >&2; exit 5");
  EXPECT_NO_THROW(run(queue, makeOperation<TestExecOperation>(std::vector<std::string>{"x"})));
}

TEST_F(GitExecOperationTest, SuccessStatuses) {
  FakeGit git;
  auto queue = makeQueue(git.prefix());
  git.setBehaviour("echo 'warning: something' >&2; exit 1");
  auto lenient = makeOperation<TestExecOperation>(std::vector<std::string>{"clone"});
  lenient->statuses = {0, 1};
  EXPECT_NO_THROW(run(queue, lenient));
  EXPECT_THROW(run(queue, makeOperation<TestExecOperation>(std::vector<std::string>{"clone"})), GitStdError);
  git.setBehaviour("echo 'fatal: worse' >&2; exit 2");
  auto worse = makeOperation<TestExecOperation>(std::vector<std::string>{"clone"});
  worse->statuses = {0, 1};
  EXPECT_THROW(run(queue, worse), GitStdError);
}

TEST_F(GitExecOperationTest, LargeStandardInputReachesGitWhole) {
  std::string data;
  data.reserve(10 << 20);
  for (int i = 0; data.size() < (10u << 20); ++i) data += "line " + std::to_string(i) + "\n";
  TempDir dir;
  std::ofstream(dir.path() / "blob", std::ios::binary) << data;
  auto expected = tavrik::testing::runProgram({"git", "hash-object", (dir.path() / "blob").string()}, dir.path());
  ASSERT_EQ(expected.status, 0);

  auto queue = makeQueue(tavrik::testing::testPrefix());
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"hash-object", "--stdin"});
  op->input = data;
  EXPECT_EQ(run(queue, op), expected.out);
}

// git that fails before reading its input: its own error is what counts.
TEST_F(GitExecOperationTest, UnreadStandardInputKeepsGitsError) {
  FakeGit git;
  git.setBehaviour("exec 0<&-; echo 'fatal: not reading' >&2; exit 128");
  auto queue = makeQueue(git.prefix());
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"apply"});
  op->input = std::string(4 << 20, 'x');
  try {
    run(queue, op);
    FAIL() << "no error";
  } catch (const GitStdError& error) {
    EXPECT_EQ(error.status(), 128);
    EXPECT_EQ(error.text(), "fatal: not reading");
  }
}

TEST_F(GitExecOperationTest, CancelInterruptsRunningGit) {
  FakeGit git;
  git.setBehaviour("trap 'echo interrupted > \"" + git.marker("interrupted").string() +
                   "\"; exit 130' INT\n"
                   "echo > \"" + git.marker("started").string() + "\"\n"
                   "i=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done");
  auto queue = makeQueue(git.prefix());
  auto editor = std::make_shared<CountingEditor>();
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"fetch"});
  op->editor = editor;
  auto future = op->enqueue(queue);
  // Interrupt only once git's handler is in place and the runner has
  // published the running child (the child may get there first).
  for (int i = 0; i < 2000 && !(std::filesystem::exists(git.marker("started")) && op->currentTask()); ++i)
    std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(op->currentTask());
  op->cancel();
  EXPECT_THROW(future.wait(60s), pledge::CancelledError);
  for (int i = 0; i < 1000 && !op->isFinished(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(op->isFinished());
  EXPECT_EQ(readFile(git.marker("interrupted")), "interrupted\n");
  EXPECT_GE(editor->finished, 2); // once by cancel, once when the run ended
}

// A cancel that arrives while the command is being prepared still stops git.
TEST_F(GitExecOperationTest, CancelBeforeLaunchInterruptsOnLaunch) {
  FakeGit git;
  git.setBehaviour("trap 'echo interrupted > \"" + git.marker("interrupted").string() +
                   "\"; exit 130' INT\n"
                   "i=0; while [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done");
  auto queue = makeQueue(git.prefix());
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"fetch"});
  std::mutex mutex;
  std::condition_variable changed;
  bool preparing = false, cancelled = false;
  op->beforeArguments = [&] {
    std::unique_lock lock(mutex);
    preparing = true;
    changed.notify_all();
    changed.wait(lock, [&] { return cancelled; });
  };
  auto future = op->enqueue(queue);
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return preparing; });
  }
  op->cancel();
  {
    std::lock_guard lock(mutex);
    cancelled = true;
  }
  changed.notify_all();
  // Left alone, git would loop for 30 s.
  for (int i = 0; i < 1000 && !op->isFinished(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(op->isFinished());
  EXPECT_THROW(future.wait(60s), pledge::CancelledError);
}

TEST_F(GitExecOperationTest, ProgressReachesTheTask) {
  FakeGit git;
  git.setBehaviour("printf 'Receiving objects:  50%% (1/2)\\r' >&2; sleep 0.3\n"
                   "printf 'Receiving objects: 100%% (2/2), done.\\n' >&2; sleep 0.3\n"
                   "printf 'Resolving deltas: 100%%\\n' >&2");
  auto queue = makeQueue(git.prefix());
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"fetch"});
  op->title_ = "Fetch";
  op->phases = {"remote: Counting objects:", "remote: Compressing objects:", "Receiving objects:",
                "Resolving deltas:"};
  auto delegate = std::make_shared<RecordingTaskDelegate>();
  op->task()->setDelegate(delegate);
  run(queue, op);
  EXPECT_EQ(op->partialProgress(), (std::vector<double>{1.0, 1.0, 1.0, 0.0}));
  std::lock_guard lock(delegate->mutex);
  auto& u = delegate->updates;
  auto find = [&](const std::pair<std::string, int>& wanted) { return std::find(u.begin(), u.end(), wanted) != u.end(); };
  EXPECT_TRUE(find({"Receiving objects:  50% (1/2)", 63}));
  EXPECT_TRUE(find({"Receiving objects: 100% (2/2), done.", 75}));
  EXPECT_TRUE(find({"Resolving deltas: 100%", 75}));
  // The whole standard error is there for the error text, from the start.
  EXPECT_EQ(op->stdErrBuffer->offset(), 0u);
  EXPECT_EQ(op->stdErrBuffer->data().substr(0, 9), "Receiving");
}

TEST_F(GitExecOperationTest, OutputChunksGoToOutputLog) {
  FakeGit git;
  git.setBehaviour("echo hello; echo oops >&2");
  auto queue = makeQueue(git.prefix());
  std::mutex mutex;
  std::vector<std::string> lines;
  setLogSink([&](LogLevel level, std::string_view category, std::string_view message) {
    std::lock_guard lock(mutex);
    if (category == "runner-test" && level == LogLevel::debug) lines.emplace_back(message);
  });
  setDebugLoggingEnabled(true);
  auto quiet = makeOperation<TestExecOperation>(std::vector<std::string>{"x"});
  run(queue, quiet);
  auto op = makeOperation<TestExecOperation>(std::vector<std::string>{"x"});
  op->outputLog = Log::category("runner-test");
  run(queue, op);
  setDebugLoggingEnabled(false);
  setLogSink(nullptr);
  std::lock_guard lock(mutex);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"stderr: oops\n", "stdout: hello\n"}));
}
