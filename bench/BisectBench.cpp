// A bisect step against the git command it runs: a repository of its own
// with a generated 20,000-commit history (made once by fast-import in a
// scratch folder), where each pair marks the candidate good, through a queue
// and by `git bisect good` spawned bare. Between runs, untimed, the
// bisection starts afresh, so each run takes the same step.
#include "BenchSupport.h"

#include "tavrik/Commands/BisectCommands.h"

#include <filesystem>
#include <fstream>

namespace {

using namespace tavrik;
using namespace tavrik::bench;

constexpr int kCommits = 20000;

// Made on first use and removed when the process ends.
struct Scratch {
  std::string folder = "/tmp/tavrik-bisect-bench-XXXXXX";
  std::string main;
  Scratch() {
    if (!mkdtemp(folder.data())) std::abort();
    main = folder + "/main";
    spawnGitIn(folder.c_str(), {"init", "-q", "-b", "main", main});
    const std::string stream = folder + "/history";
    {
      std::ofstream out(stream, std::ios::binary);
      for (int i = 1; i <= kCommits; ++i) {
        const std::string data = std::to_string(i) + "\n", message = "c" + std::to_string(i) + "\n";
        out << "commit refs/heads/main\ncommitter B <b@x> " << 1600000000 + i << " +0000\ndata " << message.size()
            << "\n" << message << "M 100644 inline f\ndata " << data.size() << "\n" << data << "\n";
      }
    }
    const std::string command = "cd '" + main + "' && '" + TAVRIK_TEST_PREFIX + "/bin/git' fast-import --quiet < '" +
                                stream + "' && '" + TAVRIK_TEST_PREFIX + "/bin/git' checkout -q -f main";
    if (std::system(command.c_str()) != 0) std::abort();
  }
  ~Scratch() { std::filesystem::remove_all(folder); }
};

const std::string& repository() {
  static const Scratch scratch;
  return scratch.main;
}

void BM_BisectStepPairs(benchmark::State& state) {
  Shell::setDefaultShell(nullptr);
  const auto& repo = repository();
  auto queue = GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(repo, true), false), nullptr,
                                Url::fileURL(TAVRIK_TEST_PREFIX, true));
  auto restart = [&] {
    queue->waitUntilAllOperationsAreFinished();
    spawnGitIn(repo.c_str(), {"bisect", "reset"});
    spawnGitIn(repo.c_str(), {"bisect", "start", "main", "main~" + std::to_string(kCommits - 1), "--"});
  };
  restart();
  runPairs(
      state,
      [&] {
        makeOperation<GitExecBisectStepOperation>(GitExecBisectStepOptions{.action = GitBisectAction::good})
            ->enqueue(queue)
            .wait();
      },
      [&] { spawnGitIn(repo.c_str(), {"bisect", "good"}); }, restart);
  spawnGitIn(repo.c_str(), {"bisect", "reset"});
}
BENCHMARK(BM_BisectStepPairs)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(40);

} // namespace

BENCHMARK_MAIN();
