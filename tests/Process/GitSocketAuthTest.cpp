#include "tavrik/Process/GitSocketAuth.h"

#include "Support/Helpers.h"

#include <future>
#include <sys/stat.h>
#include <thread>

using namespace tavrik;
using namespace tavrik::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Environment = std::map<std::string, std::string>;

const std::string kCompanion = (testPrefix() / "bin/askpass").string();

// Runs the companion with exactly the bridge's variables of `environment`.
CommandResult askpass(const Environment& environment, const std::string& prompt) {
  std::vector<std::string> argv{"env", "-u", GitSocketAuth::kSocketVariable, "-u", GitSocketAuth::kTokenVariable};
  for (const auto& [name, value] : environment) argv.push_back(name + "=" + value);
  argv.insert(argv.end(), {kCompanion, prompt});
  return runProgram(argv, fs::current_path());
}

fs::path socketFolder(const Environment& environment) {
  return fs::path(environment.at(GitSocketAuth::kSocketVariable)).parent_path();
}

bool goneWithin(const fs::path& path, std::chrono::milliseconds limit) {
  for (auto end = std::chrono::steady_clock::now() + limit; fs::exists(path);) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

} // namespace

TEST(GitSocketAuth, AnswersGitsPromptsThroughTheCompanion) {
  makeGitEnvironmentHermetic();
  TempDir home;
  Recorder seen;
  auto auth = GitSocketAuth::create([&](const std::string& prompt) -> std::optional<std::string> {
    seen.add(prompt);
    return prompt.starts_with("Username") ? "alice" : "s3 cret";
  });
  auto account = Uuid::random();
  auth->beginSession(account);
  EXPECT_EQ(auth->accountUUID(), account);
  std::string variables;
  for (const auto& [name, value] : auth->credentialEnvironment()) variables += " " + name + "='" + value + "'";
  auto out = runScript("printf 'protocol=https\\nhost=example.invalid\\n\\n' | env HOME='" + home.path().string() +
                           "' GIT_TERMINAL_PROMPT=0 GIT_ASKPASS='" + kCompanion + "'" + variables +
                           " git credential fill",
                       home.path());
  EXPECT_EQ(seen.events(), (std::vector<std::string>{"Username for 'https://example.invalid': ",
                                                     "Password for 'https://alice@example.invalid': "}));
  EXPECT_EQ(out, "protocol=https\nhost=example.invalid\nusername=alice\npassword=s3 cret\n");
  auth->endSession();
}

// The answer alone reaches standard output; whoever lacks the variables or
// the token is refused with one line, without the prompter being asked.
TEST(GitSocketAuth, AnswersOnlyTheTokenHolder) {
  Recorder seen;
  auto auth = GitSocketAuth::create([&](const std::string& prompt) -> std::optional<std::string> {
    seen.add(prompt);
    if (prompt == "Decline: ") return std::nullopt;
    return "pass\tword";
  });
  auth->beginSession(std::nullopt);
  auto environment = auth->credentialEnvironment();
  ASSERT_EQ(environment.size(), 2u);
  auto folder = socketFolder(environment);
  struct stat info {};
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);

  auto wrongToken = environment;
  wrongToken[GitSocketAuth::kTokenVariable].back() ^= 1;
  for (const auto& refused : {Environment{}, wrongToken}) {
    auto result = askpass(refused, "Password: ");
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  EXPECT_EQ(auth->promptCount(), 0u);

  auto answered = askpass(environment, "Password: ");
  EXPECT_EQ(answered.status, 0) << answered.err;
  EXPECT_EQ(answered.out, "pass\tword\n");
  auto declined = askpass(environment, "Decline: ");
  EXPECT_NE(declined.status, 0);
  EXPECT_EQ(declined.out, "");
  EXPECT_EQ(seen.events(), (std::vector<std::string>{"Password: ", "Decline: "}));
  EXPECT_EQ(auth->promptCount(), 2u);

  auth->endSession();
  auth->endSession();
  EXPECT_TRUE(auth->credentialEnvironment().empty());
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_NE(askpass(environment, "Password: ").status, 0);
  EXPECT_EQ(auth->promptCount(), 2u);
}

// Overlapping runs share one socket until the last ends; the next run gets
// a new socket and token, and the destructor ends a run left open.
TEST(GitSocketAuth, OverlappingSessionsShareTheSocket) {
  auto auth = GitSocketAuth::create([](const std::string&) { return std::optional<std::string>("x"); });
  auto first = Uuid::random(), second = Uuid::random();
  auth->beginSession(first);
  auto environment = auth->credentialEnvironment();
  auth->beginSession(second);
  EXPECT_EQ(auth->credentialEnvironment(), environment);
  EXPECT_EQ(auth->accountUUID(), second);
  auth->endSession();
  EXPECT_EQ(askpass(environment, "Password: ").out, "x\n");
  auth->endSession();
  EXPECT_TRUE(auth->credentialEnvironment().empty());
  EXPECT_NE(askpass(environment, "Password: ").status, 0);

  auth->beginSession(std::nullopt);
  auto next = auth->credentialEnvironment();
  EXPECT_NE(next.at(GitSocketAuth::kTokenVariable), environment.at(GitSocketAuth::kTokenVariable));
  EXPECT_EQ(askpass(next, "Password: ").out, "x\n");
  auth.reset();
  EXPECT_FALSE(fs::exists(socketFolder(next)));
}

// The last session ends while a prompt is in progress, from the thread the
// prompter waits on (a dialog on the main thread) or from the prompter
// itself: neither waits for the other, the prompt is still answered, and
// then the socket goes.
TEST(GitSocketAuth, EndsWhileAPromptIsInProgress) {
  for (bool fromPrompter : {false, true}) {
    SCOPED_TRACE(fromPrompter ? "ended by the prompter" : "ended by the thread the prompter waits on");
    std::promise<void> asked, ended;
    auto askedFuture = asked.get_future();
    auto endedFuture = ended.get_future();
    std::weak_ptr<GitSocketAuth> self;
    auto auth = GitSocketAuth::create([&](const std::string&) -> std::optional<std::string> {
      asked.set_value();
      if (fromPrompter) self.lock()->endSession();
      else if (endedFuture.wait_for(10s) != std::future_status::ready) return std::nullopt;
      return "late";
    });
    self = auth;
    auth->beginSession(std::nullopt);
    auto environment = auth->credentialEnvironment();
    auto companion = std::async(std::launch::async, [&] { return askpass(environment, "Password: "); });
    if (!fromPrompter) {
      askedFuture.wait();
      auth->endSession();
      ended.set_value();
    }
    EXPECT_EQ(companion.get().out, "late\n");
    EXPECT_TRUE(auth->credentialEnvironment().empty());
    EXPECT_TRUE(goneWithin(socketFolder(environment), 5s));
  }
}
