// The worktree reader against the one git command it runs: a repository of
// its own with 50 linked worktrees, made once in a scratch folder, listed
// through a queue and by `git worktree list --porcelain -z` spawned bare.
#include "BenchSupport.h"

#include "tavrik/State/GitViewWorktreesOperation.h"

#include <filesystem>

namespace {

using namespace tavrik;
using namespace tavrik::bench;

constexpr int kWorktrees = 50;

// Made on first use and removed when the process ends.
struct Scratch {
  std::string folder = "/tmp/tavrik-worktree-bench-XXXXXX";
  std::string main;
  Scratch() {
    if (!mkdtemp(folder.data())) std::abort();
    main = folder + "/main";
    spawnGitIn(folder.c_str(), {"init", "-q", "-b", "main", main});
    spawnGitIn(main.c_str(), {"-c", "user.name=B", "-c", "user.email=b@x", "commit", "-q", "--allow-empty", "-m", "one"});
    for (int i = 0; i < kWorktrees; ++i)
      spawnGitIn(main.c_str(), {"worktree", "add", "-q", "-b", "w" + std::to_string(i), folder + "/wt " + std::to_string(i)});
  }
  ~Scratch() { std::filesystem::remove_all(folder); }
};

const std::string& repository() {
  static const Scratch scratch;
  return scratch.main;
}

void BM_WorktreeList(benchmark::State& state) {
  Shell::setDefaultShell(nullptr);
  auto queue = GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(repository(), true), false),
                                nullptr, Url::fileURL(TAVRIK_TEST_PREFIX, true));
  size_t count = 0;
  for (auto _ : state) count = makeOperation<GitViewWorktreesOperation>()->enqueue(queue).wait().value.size();
  if (count != kWorktrees + 1) state.SkipWithError("the list misses worktrees");
  state.counters["worktrees"] = static_cast<double>(count);
}
BENCHMARK(BM_WorktreeList)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_WorktreeListGitAlone(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) bytes = spawnGitIn(repository().c_str(), {"worktree", "list", "--porcelain", "-z"}).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WorktreeListGitAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

} // namespace

BENCHMARK_MAIN();
