// The signature status of a first page: 50 commits signed with an SSH key
// that the allowed-signers file names, through GitVerifyCommitsOperation
// (no cache, so every commit is checked), against git's own
// "git log --format=%G? -n 50" of the same commits. Both run ssh-keygen for
// every commit, which is most of the time.
//
// The repository is made in a temporary directory (removed afterwards) with
// a throwaway key, so the benchmark needs no TAVRIK_BENCH_REPO. Pairs
// alternate which side runs first (`runPairs`).
#include "BenchSupport.h"

#include "tavrik/History/GitSignature.h"
#include "tavrik/Util/StringUtilities.h"

#include <filesystem>
#include <fstream>

using namespace tavrik;
using namespace tavrik::bench;

namespace {

constexpr int kRows = 50;

// The scratch repository of signed commits, removed when the benchmark ends.
class SignedHistory {
public:
  SignedHistory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrik-signature-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
    path_ = root_ + "/repo";
    const std::string key = root_ + "/key";
    if (std::system(("ssh-keygen -q -t ed25519 -N '' -C bench -f '" + key + "' && printf 'bench@example.com %s\\n' "
                     "\"$(cat '" + key + ".pub')\" > '" + root_ + "/allowed'")
                        .c_str()) != 0)
      std::abort();
    spawnGitIn(root_.c_str(), {"init", "-q", "-b", "main", path_});
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"user.name", "Bench"}, {"user.email", "bench@example.com"}, {"gpg.format", "ssh"},
             {"user.signingKey", key}, {"gpg.ssh.allowedSignersFile", root_ + "/allowed"}})
      git({"config", name, value});
    // Through the shell, so a commit whose signing fails stops the benchmark.
    const std::string commits = "cd '" + path_ + "' && for i in $(seq " + std::to_string(kRows) +
                                "); do git commit -q -S --allow-empty -m \"c$i\" || exit 1; done";
    if (std::system(commits.c_str()) != 0) std::abort();
    for (auto line : splitPieces(git({"rev-list", "HEAD"}), '\n'))
      if (auto oid = Oid::parse(line)) ids_.push_back(*oid);
    if (ids_.size() != kRows) std::abort();
  }
  ~SignedHistory() {
    std::error_code error;
    std::filesystem::remove_all(root_, error);
  }
  std::string git(const std::vector<std::string>& args) const { return spawnGitIn(path_.c_str(), args); }
  const std::string& path() const { return path_; }
  const std::vector<Oid>& ids() const { return ids_; }

private:
  std::string root_, path_;
  std::vector<Oid> ids_;
};

double loadAverage() {
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

void BM_SignatureStatusOfFirstPage(benchmark::State& state) {
  SignedHistory history;
  Shell::setDefaultShell(nullptr);
  auto queue = GitQueue::create(GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(history.path(), true), false),
                                nullptr, Url::fileURL(TAVRIK_TEST_PREFIX, true));
  size_t good = 0;
  const double loadBefore = loadAverage();
  runPairs(
      state,
      [&] {
        auto op = makeOperation<GitVerifyCommitsOperation>(history.ids());
        auto statuses = op->enqueue(queue).wait().value;
        good = std::count_if(statuses.begin(), statuses.end(),
                             [](const auto& s) { return s.verdict == GitSignatureVerdict::good; });
      },
      [&] { benchmark::DoNotOptimize(history.git({"log", "--format=%G?", "-n", std::to_string(kRows)})); }, [] {});
  // Every row must have been checked, or the engine's side measured nothing.
  if (good != history.ids().size()) state.SkipWithError("not every signature was good");
  state.counters["rows"] = static_cast<double>(good);
  state.counters["load"] = (loadBefore + loadAverage()) / 2;
}
BENCHMARK(BM_SignatureStatusOfFirstPage)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
