// A fetch of one new commit from the local HTTP server (lighttpd and git
// http-backend, password through the askpass bridge): the engine's fetch
// operation with the view refreshes it triggers, against `git fetch` plus
// the very git reads those refreshes ran, spawned bare. Both sides answer
// the same prompts through the same bridge.
#include "BenchSupport.h"
#include "Support/GitServers.h"
#include "Support/ScenarioRepo.h"
#include "tavrik/Commands/RemoteCommands.h"
#include "tavrik/Process/GitSocketAuth.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

struct FetchScenario {
  TempDir root;
  std::unique_ptr<GitHttpServer> server;
  TempDir work;
  GitDir bare{root.path() / "repo.git"};
  GitDir local{work.path() / "local"};
  ScratchRepo producer;
  std::shared_ptr<GitSocketAuth> auth = GitSocketAuth::create([](const std::string& prompt) -> std::optional<std::string> {
    return prompt.starts_with("Username") ? "alice" : "secret";
  });
  std::shared_ptr<GitQueue> queue;
  int commits = 0;

  FetchScenario() {
    makeGitEnvironmentHermetic();
    runProgram({"git", "init", "-q", "--bare", "-b", "main", bare.path().string()}, root.path());
    producer.commitFile("f0", "0\n", "c0");
    producer.git({"push", "-q", bare.path().string(), "main"});
    server = GitHttpServer::start(root.path(), "alice", "secret");
    runProgram({"git", "clone", "-q", "file://" + bare.path().string(), local.path().string()}, work.path());
    local.git({"remote", "set-url", "origin", server->url("repo.git")});
    Shell::setDefaultShell(nullptr);
    queue = GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(local.path().string(), true), false),
                             nullptr, Url::fileURL(TAVRIK_TEST_PREFIX, true));
    queue->updateViewFor(GitAspects::all);
    queue->waitUntilAllOperationsAreFinished();
  }
  // One new commit waits on the server for the next fetch.
  void produce() {
    ++commits;
    producer.commitFile("f" + std::to_string(commits), std::to_string(commits) + "\n", "c");
    producer.git({"push", "-q", bare.path().string(), "main"});
  }
  void engineFetch() {
    auto fetch = makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = auth});
    fetch->enqueue(queue).wait();
    queue->waitUntilAllOperationsAreFinished();
  }
};

// The exact argument lists the engine launches for one fetch and its
// refreshes: a queue over a copy of the prefix whose bin/git records them.
std::vector<std::vector<std::string>> captureLaunches(FetchScenario& s) {
  TempDir prefix;
  const std::filesystem::path real(TAVRIK_TEST_PREFIX);
  for (const char* entry : {"libexec", "share"}) std::filesystem::create_directory_symlink(real / entry, prefix.path() / entry);
  std::filesystem::create_directory(prefix.path() / "bin");
  std::filesystem::create_symlink(real / "bin" / "askpass", prefix.path() / "bin" / "askpass");
  const auto log = prefix.path() / "launches";
  {
    std::ofstream script(prefix.path() / "bin" / "git");
    script << "#!/bin/sh\n{ printf '%d\\0' \"$#\"; for a in \"$@\"; do printf '%s\\0' \"$a\"; done; } >> '"
           << log.string() << "'\nexec '" << (real / "bin" / "git").string() << "' \"$@\"\n";
  }
  std::filesystem::permissions(prefix.path() / "bin" / "git", std::filesystem::perms::owner_all);
  auto queue = GitQueue::create(s.queue->descriptor(), nullptr, Url::fileURL(prefix.path().string(), true));
  s.produce();
  makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = s.auth})->enqueue(queue).wait();
  queue->waitUntilAllOperationsAreFinished();

  std::vector<std::vector<std::string>> launches;
  const std::string text = readFile(log);
  auto fields = split(text, '\0');
  for (size_t i = 0; i < fields.size();) {
    size_t count = std::stoul(fields[i++]);
    std::vector<std::string> args(fields.begin() + long(i), fields.begin() + long(std::min(fields.size(), i + count)));
    i += count;
    if (!args.empty() && args.front() == "--no-pager") args.erase(args.begin()); // spawnGitIn adds it again
    launches.push_back(std::move(args));
  }
  s.engineFetch(); // the main queue's view catches up too
  return launches;
}

void BM_FetchOneCommit(benchmark::State& state) {
  FetchScenario s;
  auto launches = captureLaunches(s);
  std::vector<std::string> fetchArgs;
  std::vector<std::vector<std::string>> reads;
  for (auto& words : launches) {
    if (!words.empty() && words.front() == "fetch") fetchArgs = words;
    else reads.push_back(words);
  }
  const std::string dir = s.local.path().string();
  s.auth->beginSession(std::nullopt);
  for (const auto& [name, value] : s.auth->credentialEnvironment()) setenv(name.c_str(), value.c_str(), 1);
  setenv("GIT_ASKPASS", (std::string(TAVRIK_TEST_PREFIX) + "/bin/askpass").c_str(), 1);
  setenv("GIT_TERMINAL_PROMPT", "0", 1);
  s.produce();
  bench::runPairs(
      state, [&] { s.engineFetch(); },
      [&] {
        bench::spawnGitIn(dir.c_str(), fetchArgs);
        for (const auto& args : reads) bench::spawnGitIn(dir.c_str(), args);
      },
      [&] { s.produce(); });
  s.auth->endSession();
  state.counters["gitProcesses"] = static_cast<double>(1 + reads.size());
}

} // namespace

BENCHMARK(BM_FetchOneCommit)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(40);

BENCHMARK_MAIN();
