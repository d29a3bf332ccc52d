// What the benchmarks on a generated repository share: the repository named
// by TAVRIK_BENCH_REPO, a queue over it, and git spawned bare, without any of
// the engine's machinery, as the baseline the engine is measured against.
#pragma once

#include "tavrik/Process/Shell.h"
#include "tavrik/Queue/GitQueue.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tavrik::bench {

inline const char* benchRepo() {
  const char* repo = std::getenv("TAVRIK_BENCH_REPO");
  return repo && *repo ? repo : nullptr;
}

inline std::shared_ptr<GitQueue> benchQueue() {
  // Children get this process's environment, as the spawned baselines do.
  Shell::setDefaultShell(nullptr);
  auto url = Url::fileURL(benchRepo(), true);
  return GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(url, false), nullptr,
                          Url::fileURL(TAVRIK_TEST_PREFIX, true));
}

/// Spawns the prefix's git in the repository with "--no-pager" and `args`
/// and reads all of its standard output, as the runner does but without
/// any of its machinery. Standard error goes to /dev/null.
inline std::string spawnGitIn(const char* directory, const std::vector<std::string>& args) {
  std::vector<std::string> argv{std::string(TAVRIK_TEST_PREFIX) + "/bin/git", "--no-pager"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addchdir_np(&actions, directory);
  pid_t pid;
  if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string output;
  char chunk[65536];
  ssize_t n;
  while ((n = read(out[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) output.append(chunk, static_cast<size_t>(n));
  close(out[0]);
  int status;
  waitpid(pid, &status, 0);
  return output;
}

inline std::string spawnGit(const std::vector<std::string>& args) { return spawnGitIn(benchRepo(), args); }

inline double median(std::vector<double> values) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Runs the engine and git by turns, each iteration one pair, the order
// swapped every pair; `reset` runs untimed after each side. A pair's two
// runs see nearly the same load, so the ratio of each pair drifts far less
// on a busy machine than the two sides measured minutes apart. Reports the
// medians of the pair times and of the pair ratios.
template <class Engine, class Git, class Reset>
void runPairs(benchmark::State &state, Engine &&engine, Git &&git, Reset &&reset) {
  std::vector<double> engineMs, gitMs, ratios;
  auto timed = [&](auto &side) {
    const auto start = std::chrono::steady_clock::now();
    side();
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    reset();
    return elapsed.count();
  };
  bool engineFirst = true;
  for (auto _ : state) {
    double e, g;
    if (engineFirst) {
      e = timed(engine);
      g = timed(git);
    } else {
      g = timed(git);
      e = timed(engine);
    }
    engineFirst = !engineFirst;
    engineMs.push_back(e);
    gitMs.push_back(g);
    ratios.push_back(e / g);
    state.SetIterationTime((e + g) / 1000);
  }
  state.counters["engineMs"] = median(engineMs);
  state.counters["gitMs"] = median(gitMs);
  state.counters["ratio"] = median(ratios);
}

} // namespace tavrik::bench
