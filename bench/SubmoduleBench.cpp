// The submodule reader on repositories with 1, 20 and 100 checked-out
// submodules (each with a changed file), side by side with the git
// processes it must run: `git submodule status`, then for every submodule
// the rev-parse that finds its repository and the `status -z --porcelain`
// that counts its changes, spawned two submodules at a time.
// The repositories are built once per size under /tmp with the prefix's git.
#include "BenchSupport.h"

#include "tavrik/State/GitViewExecSubmoduleOperation.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace tavrik;
using namespace tavrik::bench;

namespace {

struct SubmoduleScratch {
  std::string root;
  std::string directory;
  std::shared_ptr<GitQueue> queue;
  bool ready = false;

  explicit SubmoduleScratch(int count) {
    char pattern[] = "/tmp/tavrik-submodulebench-XXXXXX";
    if (!mkdtemp(pattern)) return;
    root = directory = pattern;
    const std::string git = std::string(TAVRIK_TEST_PREFIX) + "/bin/git -c protocol.file.allow=always"
                                                              " -c user.name=bench -c user.email=bench@example.com";
    const std::string script = "set -e; cd '" + directory + "'; " + git + " init -q lib; echo a > lib/f; " + git +
                               " -C lib add f; " + git + " -C lib commit -qm a; " + git +
                               " init -q top; cd top; i=0; while [ $i -lt " + std::to_string(count) + " ]; do " + git +
                               " submodule add -q ../lib \"sub $i\"; echo b > \"sub $i/f\"; i=$((i+1)); done; " + git +
                               " commit -qm subs";
    if (std::system(("/bin/sh -c '" + escaped(script) + "' >/dev/null 2>&1").c_str()) != 0) return;
    directory += "/top";
    Shell::setDefaultShell(nullptr);
    queue = GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(directory, true), false), nullptr,
                             Url::fileURL(TAVRIK_TEST_PREFIX, true));
    ready = true;
  }

  ~SubmoduleScratch() {
    std::error_code ignored;
    if (!root.empty()) std::filesystem::remove_all(root, ignored);
  }

  static std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out;
  }
};

SubmoduleScratch& scratchFor(int count) {
  static std::map<int, std::unique_ptr<SubmoduleScratch>> scratches;
  auto& scratch = scratches[count];
  if (!scratch) scratch = std::make_unique<SubmoduleScratch>(count);
  return *scratch;
}

// The same processes with the same arguments and GIT_DIR as the engine's,
// without its machinery.
void gitAlone(const std::string& top) {
  const auto listing = spawnGitIn(top.c_str(), {"--git-dir=" + top + "/.git", "submodule", "status"});
  std::vector<std::string> paths;
  for (const auto& submodule : GitViewExecSubmoduleOperation::parse(listing)) paths.push_back(submodule.path);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < paths.size(); i = next++) {
      const std::string folder = top + "/" + paths[i];
      const auto where =
          spawnGitIn(folder.c_str(), {"rev-parse", "--absolute-git-dir", "--git-common-dir", "--is-bare-repository",
                                      "--is-shallow-repository", "--show-toplevel"});
      const std::string gitDir = where.substr(0, where.find('\n'));
      spawnGitIn(folder.c_str(), {"--git-dir=" + gitDir, "status", "-z", "--porcelain"});
    }
  };
  std::thread other(work);
  work();
  other.join();
}

void BM_SubmoduleRefreshPaired(benchmark::State& state) {
  auto& scratch = scratchFor(static_cast<int>(state.range(0)));
  if (!scratch.ready) return state.SkipWithError("could not make the scratch repositories");
  runPairs(
      state,
      [&] {
        auto submodules = makeOperation<GitViewExecSubmoduleOperation>()->enqueue(scratch.queue).wait().value;
        if (!submodules || submodules->size() != static_cast<size_t>(state.range(0)) ||
            (*submodules)[0].changeCount != 1)
          state.SkipWithError("the reader missed submodules or changes");
      },
      [&] { gitAlone(scratch.directory); }, [&] { scratch.queue->waitUntilAllOperationsAreFinished(); });
}

} // namespace

BENCHMARK(BM_SubmoduleRefreshPaired)
    ->Arg(1)
    ->Arg(20)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(20);

BENCHMARK_MAIN();
