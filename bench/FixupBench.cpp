// A fixup three commits below HEAD on a large generated repository, against
// git doing the same by hand: `git commit --fixup=HEAD~3` and `git rebase -i
// --autosquash HEAD~5` (from the fixed commit's parent) under a scripted
// editor (GIT_SEQUENCE_EDITOR=true). The engine's side includes its checks
// and its prediction of the replay.
//
// The benchmark works in a clone of TAVRIK_BENCH_REPO that shares its
// objects (`git clone --shared`, removed afterwards), on a branch at the
// newest first-parent commit with three commits below it and no merge among
// them. Each side folds a newly staged file into HEAD~3; between runs,
// untimed, the branch is reset and the file staged again. Pairs alternate
// which side runs first (`runPairs`). Without TAVRIK_BENCH_REPO it is skipped.
#include "BenchSupport.h"

#include "tavrik/Commands/GitFixupOperation.h"
#include "tavrik/Util/Error.h"
#include "tavrik/Util/StringUtilities.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace tavrik;
using namespace tavrik::bench;

namespace {

constexpr const char* kFile = "tavrik-fixup-bench.txt";

// The scratch clone, removed when the benchmark ends.
class ScratchClone {
public:
  ScratchClone() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrik-fixup-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern + "/large";
    spawnGitIn(pattern.c_str(), {"clone", "-q", "--shared", "--no-checkout", benchRepo(), path_});
    // The newest first-parent commit with three plain commits below it.
    std::string tip;
    for (auto line : splitPieces(git({"rev-list", "--first-parent", "-n200", "HEAD"}), '\n')) {
      std::string candidate(line);
      if (candidate.empty()) continue;
      if (trimmed(git({"rev-list", "--merges", "-n1", candidate + "~4.." + candidate})).empty()) {
        tip = candidate;
        break;
      }
    }
    if (tip.empty()) std::abort();
    git({"checkout", "-q", "-b", "tavrik-fixup-bench", tip});
    tip_ = trimmed(git({"rev-parse", "HEAD"}));
  }
  ~ScratchClone() {
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(path_).parent_path(), error);
  }
  std::string git(const std::vector<std::string>& args) const { return spawnGitIn(path_.c_str(), args); }
  const std::string& path() const { return path_; }
  // The branch back at its tip, the file staged anew.
  void reset() const {
    git({"reset", "-q", "--hard", tip_});
    std::ofstream(path_ + "/" + kFile) << "folded\n";
    git({"add", "--", kFile});
  }

private:
  std::string path_;
  std::string tip_;
};

void BM_FixupThreeBelowHead(benchmark::State& state) {
  if (!benchRepo()) return state.SkipWithError("TAVRIK_BENCH_REPO not set");
  ScratchClone clone;
  setenv("GIT_SEQUENCE_EDITOR", "true", 1);
  Shell::setDefaultShell(nullptr);
  auto queue = GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(clone.path(), true), false),
                                nullptr, Url::fileURL(TAVRIK_TEST_PREFIX, true));
  clone.reset();
  runPairs(
      state,
      [&] {
        try {
          makeOperation<GitFixupOperation>(GitFixupOptions{.commit = "HEAD~3"})->enqueue(queue).wait().value;
        } catch (const std::exception& error) {
          std::fprintf(stderr, "fixup failed: %s\n", localizedDescription(std::current_exception()).c_str());
          std::abort();
        }
      },
      [&] {
        clone.git({"commit", "-q", "--fixup=HEAD~3"});
        clone.git({"rebase", "-q", "-i", "--autosquash", "HEAD~5"});
      },
      [&] {
        // The refreshes the engine's run set off must not overlap git's run.
        queue->waitUntilAllOperationsAreFinished();
        // Both sides must have folded the file into HEAD~3.
        if (trimmed(clone.git({"ls-tree", "--name-only", "HEAD~3", "--", kFile})) != kFile) {
          std::fprintf(stderr, "the file is not in HEAD~3\n");
          std::abort();
        }
        clone.reset();
      });
}

} // namespace

BENCHMARK(BM_FixupThreeBelowHead)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(10);

BENCHMARK_MAIN();
