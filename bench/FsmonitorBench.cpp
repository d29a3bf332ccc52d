// git's file-system monitor served by the watcher, on the large generated
// repository (TAVRIK_BENCH_REPO, else /tmp/tavrik-bench-large):
//   - a status refresh of the queue after one file save, with the watcher
//     attached (git on the saved file alone, else the monitor and untracked
//     cache on the private index), against
//     plain `git --no-optional-locks status -z --porcelain=v2`, run by turns so both see the
//     same load; medians and the median of the pair ratios;
//   - the hook's own answer: the companion run as git runs it, after one
//     file save, median wall time including its start.
// A plain program printing one table with each figure beside its target and
// the load average. The saved file is restored.
#include "BenchSupport.h"

#include "tavrik/Queue/GitRepositoryWatcher.h"
#include "tavrik/State/GitViewExecStatusOperation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tavrik;
using namespace tavrik::bench;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeAll(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The companion as git starts it (no shell between): argv "2 TOKEN", the
// watcher's variables added to this environment; returns its answer.
std::string runCompanion(const std::map<std::string, std::string>& variables, const std::string& token) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  for (auto& [name, value] : variables) environment.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = std::string(TAVRIK_TEST_PREFIX) + "/bin/fsmonitor", version = "2", last = token;
  char* argv[] = {program.data(), version.data(), last.data(), nullptr};
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string answer;
  char chunk[4096];
  for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) answer.append(chunk, static_cast<size_t>(n));
  ::close(out[0]);
  int status;
  ::waitpid(pid, &status, 0);
  return answer;
}

// The process's resident set, from /proc.
long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

} // namespace

int main() {
  if (!benchRepo()) ::setenv("TAVRIK_BENCH_REPO", "/tmp/tavrik-bench-large", 1);
  const std::string repo = benchRepo();
  const std::string file = [&] {
    // pkg01 in the generated profiles, d000 in the huge tree.
    auto listed = spawnGit({"ls-files", "-z", "--", "pkg01"});
    if (listed.empty()) listed = spawnGit({"ls-files", "-z", "--", "d000/f00000"});
    return repo + "/" + listed.substr(0, listed.find('\0'));
  }();
  const std::string original = readAll(file);
  const int pairs = std::getenv("TAVRIK_BENCH_PAIRS") ? std::atoi(std::getenv("TAVRIK_BENCH_PAIRS")) : 15;

  auto queue = benchQueue();
  const long rssBefore = residentKilobytes();
  const auto attachStart = Clock::now();
  auto watcher = GitRepositoryWatcher::attach(
      queue, {.quietPeriod = std::chrono::hours(1), .maximumDelay = std::chrono::hours(1)});
  const double attachMs = msSince(attachStart);
  const long attachKilobytes = residentKilobytes() - rssBefore;
  auto status = [&] {
    auto future = makeOperation<GitViewExecStatusOperation>()->enqueue(queue);
    auto value = future.wait(std::chrono::minutes(5));
    if (!value.value) std::abort();
    return value.value->entries.size();
  };
  // The first monitored run checks everything and leaves its token behind.
  const auto firstStart = Clock::now();
  status();
  const double firstMs = msSince(firstStart);

  int counter = 0;
  auto save = [&] { writeAll(file, original + "// saved " + std::to_string(++counter) + "\n"); };
  std::vector<double> engineMs, gitMs, ratios;
  for (int i = 0; i < pairs; ++i) {
    double e = 0, g = 0;
    auto engine = [&] {
      save();
      auto start = Clock::now();
      status();
      e = msSince(start);
    };
    auto git = [&] {
      save();
      auto start = Clock::now();
      // Without optional locks, as the engine reads: a git that writes the
      // index would make every engine run after it read the whole tree.
      spawnGit({"--no-optional-locks", "status", "-z", "--porcelain=v2"});
      g = msSince(start);
    };
    if (i % 2) {
      git();
      engine();
    } else {
      engine();
      git();
    }
    engineMs.push_back(e);
    gitMs.push_back(g);
    ratios.push_back(e / g);
  }

  auto variables = watcher->fsmonitorEnvironment();
  std::string token = runCompanion(variables, "0");
  token.resize(token.find('\0'));
  std::vector<double> hookMs;
  size_t fullAnswers = 0;
  for (int i = 0; i < 50; ++i) {
    save();
    auto start = Clock::now();
    auto answer = runCompanion(variables, token);
    hookMs.push_back(msSince(start));
    token = answer.substr(0, answer.find('\0'));
    if (answer.find(std::string("\0/\0", 3)) != std::string::npos) ++fullAnswers;
  }
  auto statistics = watcher->statistics();
  watcher->detach();
  writeAll(file, original);

  double load[3] = {0, 0, 0};
  ::getloadavg(load, 3);
  std::printf("fsmonitor on %s (load average %.2f %.2f %.2f)\n", repo.c_str(), load[0], load[1], load[2]);
  std::printf("  attach %.0f ms, %.1f MB resident more (%zu folders watched)\n", attachMs, attachKilobytes / 1024.0,
              statistics.watchedFolders);
  std::printf("  first monitored status (checks everything) %.0f ms; overflows %zu\n", firstMs, statistics.overflows);
  std::printf("  status after one save: monitored %.1f ms, plain git %.1f ms, ratio %.3f\n",
              median(engineMs), median(gitMs), median(ratios));
  // The first refresh after the whole run reads the index for the ones after it.
  std::printf("  the first of them %.1f ms, the slowest after it %.1f ms\n", engineMs.front(),
              engineMs.size() > 1 ? *std::max_element(engineMs.begin() + 1, engineMs.end()) : 0.0);
  std::printf("  hook answer after one save: median %.2f ms (target <= 5), %zu of 50 answered '/'\n",
              median(hookMs), fullAnswers);
  std::printf("  watcher answers %zu, of them '/' %zu\n", statistics.fsmonitorAnswers,
              statistics.fsmonitorFullAnswers);
  std::printf("  status runs on the changed paths alone %zu (%zu of them without git status), whole %zu\n",
              statistics.pathLimitedStatusRuns, statistics.inProcessStatusRuns, statistics.wholeStatusRuns);
  return 0;
}
