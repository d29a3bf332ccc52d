// The diff engine against the git processes it runs:
//   - the patch operation and the raw listing operation, for the working tree
//     of a large generated repository and for its largest commit, against the
//     very git command each runs (their own `arguments()`) spawned alone;
//   - the patch parser alone over that output: throughput on one core, and
//     its peak heap per byte of patch, counted by this executable's own
//     operator new/delete (the bytes the parsed diffs hold included);
//   - staging one line of a 10,000-line change with the apply operation on a
//     queue, against `git apply --cached` of the same transformed patch read
//     from a file.
// Each comparison runs twice: as two benchmarks (engine, git alone) and as
// one "Paired" benchmark that alternates the two sides iteration by
// iteration and reports the median of the per-pair ratios, which holds up
// far better when other work shares the machine.
// The repository comes from TAVRIK_BENCH_REPO (made with the make-bench-repo
// tool); without it the repository benchmarks are skipped and the parser
// benchmarks run on a synthetic patch only. The staging benchmarks make their
// own scratch repository.
#include "BenchSupport.h"
#include "HeapCounter.h"

#include "tavrik/Diff/GitDiff.h"
#include "tavrik/Diff/GitDiffTransformer.h"
#include "tavrik/Diff/GitExecApplyOperation.h"
#include "tavrik/Diff/GitExecDiffOperation.h"
#include "tavrik/Process/PosixFile.h"
#include "tavrik/Operation/GitOperationContext.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>


namespace {

using namespace tavrik;
using namespace tavrik::bench;

struct GitRun {
  int status = -1;
  std::string output;
};

// Spawns the prefix's git in `directory` as spawnGit does. Standard input is
// the file `inputPath` when given, or else a pipe this process writes
// `pipedInput` into when given, or else /dev/null.
GitRun spawnGitIn(const std::string &directory, const std::vector<std::string> &args,
                  const char *inputPath = nullptr, const std::string *pipedInput = nullptr) {
  std::vector<std::string> argv{std::string(TAVRIK_TEST_PREFIX) + "/bin/git", "--no-pager"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char *> cargv;
  for (auto &a : argv)
    cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int out[2], in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0)
    std::abort();
  if (pipedInput && pipe2(in, O_CLOEXEC) != 0)
    std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipedInput)
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, inputPath ? inputPath : "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid;
  if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) != 0)
    std::abort();
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::thread writer;
  if (pipedInput) {
    close(in[0]);
    // A thread of its own, as the engine's drains are, so a git that writes
    // before it has read everything cannot block both sides.
    writer = std::thread([fd = in[1], pipedInput] {
      size_t written = 0;
      while (written < pipedInput->size()) {
        ssize_t n = write(fd, pipedInput->data() + written, pipedInput->size() - written);
        if (n < 0 && errno == EINTR)
          continue;
        if (n <= 0)
          break;
        written += static_cast<size_t>(n);
      }
      close(fd);
    });
  }
  GitRun run;
  char chunk[65536];
  ssize_t n;
  while ((n = read(out[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      run.output.append(chunk, static_cast<size_t>(n));
  close(out[0]);
  if (writer.joinable())
    writer.join();
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The commit of HEAD's history that changes the most lines against its
// parent, found once from git's --shortstat. Root commits are left out: the
// first one of a generated history adds every file.
const std::optional<Oid> &largestCommit() {
  static const std::optional<Oid> found = [] {
    std::optional<Oid> best;
    int64_t bestLines = -1;
    std::optional<Oid> current;
    const std::string log = spawnGit({"log", "--min-parents=1", "--format=%H", "--shortstat"});
    size_t pos = 0;
    while (pos < log.size()) {
      size_t eol = log.find('\n', pos);
      if (eol == std::string::npos)
        eol = log.size();
      const std::string_view line(log.data() + pos, eol - pos);
      pos = eol + 1;
      if (line.size() == 40) {
        current = Oid::parse(line);
        continue;
      }
      if (!current || line.find(" changed") == std::string_view::npos)
        continue;
      // " 3 files changed, 5 insertions(+), 2 deletions(-)": the count before each word.
      auto countBefore = [&](std::string_view word) -> int64_t {
        const size_t at = line.find(word);
        if (at == std::string_view::npos || at == 0)
          return 0;
        const size_t start = line.rfind(' ', at - 1);
        if (start == std::string_view::npos)
          return 0;
        return std::atoll(std::string(line.substr(start + 1, at - start - 1)).c_str());
      };
      const int64_t lines = countBefore(" insertion") + countBefore(" deletion");
      if (lines > bestLines) {
        bestLines = lines;
        best = current;
      }
    }
    return best;
  }();
  return found;
}

enum Target { worktree, largeCommit };

std::shared_ptr<GitExecDiffOperation> patchOperation(Target target) {
  GitDiff request;
  if (target == largeCommit)
    request.commit = largestCommit();
  return makeOperation<GitExecDiffOperation>(request, std::optional<int>{});
}

std::shared_ptr<GitExecDiffOperation> rawOperation(Target target) {
  if (target == largeCommit)
    return makeOperation<GitExecDiffOperation>(*largestCommit(), false, std::vector<std::string>{});
  return makeOperation<GitExecDiffOperation>();
}

std::shared_ptr<GitExecDiffOperation> makeDiffOperation(Target target, bool raw) {
  return raw ? rawOperation(target) : patchOperation(target);
}

const char *skipReason(Target target) {
  if (!benchRepo())
    return "TAVRIK_BENCH_REPO not set";
  if (target == largeCommit && !largestCommit())
    return "the repository has no commit with changed lines";
  return nullptr;
}

void BM_DiffEngine(benchmark::State &state, Target target, bool raw) {
  if (auto reason = skipReason(target))
    return state.SkipWithError(reason);
  auto queue = benchQueue();
  size_t files = 0, bytes = 0;
  for (auto _ : state)
    files = makeDiffOperation(target, raw)->enqueue(queue).wait().value.diffs.size();
  if (!raw) {
    // The parser keeps every byte: the lines give git's output back whole.
    for (const auto &diff : makeDiffOperation(target, raw)->enqueue(queue).wait().value.diffs)
      bytes += diff->formatPatch().size();
    state.counters["bytes"] = static_cast<double>(bytes);
  }
  state.counters["files"] = static_cast<double>(files);
}

// The same git command, with the arguments the operation gives.
std::vector<std::string> gitArguments(Target target, bool raw) {
  auto queue = benchQueue();
  GitOperationContext context(queue);
  return makeDiffOperation(target, raw)->arguments(context);
}

void BM_DiffGitAlone(benchmark::State &state, Target target, bool raw) {
  if (auto reason = skipReason(target))
    return state.SkipWithError(reason);
  const auto args = gitArguments(target, raw);
  size_t bytes = 0;
  for (auto _ : state)
    bytes = spawnGit(args).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_DiffPaired(benchmark::State &state, Target target, bool raw) {
  if (auto reason = skipReason(target))
    return state.SkipWithError(reason);
  auto queue = benchQueue();
  const auto args = gitArguments(target, raw);
  runPairs(
      state,
      [&] {
        benchmark::DoNotOptimize(
            makeDiffOperation(target, raw)->enqueue(queue).wait().value.diffs.size());
      },
      [&] { benchmark::DoNotOptimize(spawnGit(args).size()); }, [] {});
}

// A patch shaped like git's for the parser without a repository: headers
// with full ids, then a few small hunks per file.
std::string syntheticPatch(size_t files) {
  std::mt19937_64 rng(3);
  auto hexId = [&] {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id(40, '0');
    for (auto &c : id)
      c = kHex[rng() & 15];
    return id;
  };
  std::string out;
  char path[96], text[160];
  for (size_t i = 0; i < files; ++i) {
    std::snprintf(path, sizeof path, "pkg%02zu/mod%03zu/file_%05zu.c", i % 97, i % 331, i);
    out += std::string("diff --git a/") + path + " b/" + path + "\nindex " + hexId() + ".." +
           hexId() + " 100644\n--- a/" + path + "\n+++ b/" + path + "\n";
    for (int hunk = 0; hunk < 4; ++hunk) {
      const int start = 10 + hunk * 40;
      std::snprintf(text, sizeof text, "@@ -%d,7 +%d,8 @@ static int function_%d(void)\n", start,
                    start, hunk);
      out += text;
      for (int line = 0; line < 8; ++line) {
        std::snprintf(text, sizeof text, "%c    value_%zu_%d = compute(value_%d, %llu);\n",
                      line == 3                ? '-'
                      : line == 4 || line == 5 ? '+'
                                               : ' ',
                      i, line, hunk, static_cast<unsigned long long>(rng() % 1000));
        out += text;
      }
    }
  }
  return out;
}

enum PatchSource { worktreePatch, commitPatch, synthetic };

// The parser's input, made once per source: git's own output for the
// repository cases.
const std::string &patchInput(PatchSource source) {
  static const std::string worktreeOutput =
      benchRepo() ? spawnGit(gitArguments(worktree, false)) : std::string();
  static const std::string commitOutput =
      benchRepo() && largestCommit() ? spawnGit(gitArguments(largeCommit, false)) : std::string();
  static const std::string syntheticOutput = syntheticPatch(20000);
  switch (source) {
  case worktreePatch:
    return worktreeOutput;
  case commitPatch:
    return commitOutput;
  case synthetic:
    return syntheticOutput;
  }
  return syntheticOutput;
}

const char *skipReason(PatchSource source) {
  if (source != synthetic && !benchRepo())
    return "TAVRIK_BENCH_REPO not set";
  if (source != synthetic && patchInput(source).empty())
    return "git printed no patch";
  return nullptr;
}

// Fills a buffer the way the runner's drain does, one pipe read at a time,
// so its capacity is what a real run leaves.
void fillLikeTheRunner(GitBuffer &buffer, std::string_view bytes) {
  for (size_t at = 0; at < bytes.size(); at += PosixFile::kBufferSize)
    buffer.fill(bytes.substr(at, PosixFile::kBufferSize));
  buffer.fill(std::nullopt);
}

void BM_PatchParser(benchmark::State &state, PatchSource source) {
  if (auto reason = skipReason(source))
    return state.SkipWithError(reason);
  const std::string &input = patchInput(source);
  size_t files = 0, lines = 0;
  for (auto _ : state) {
    state.PauseTiming();
    GitBuffer buffer(input);
    state.ResumeTiming();
    auto diffs = GitDiff::parsePatch(buffer, false, false, false, std::nullopt);
    state.PauseTiming();
    files = diffs.size();
    lines = 0;
    for (const auto &diff : diffs)
      lines += diff->lines.size();
    diffs.clear();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
  state.counters["files"] = static_cast<double>(files);
  state.counters["lines"] = static_cast<double>(lines);
}

// Peak heap above the starting level, per byte of patch, from an empty
// buffer through the runner-like fill and the parse, and what the parsed
// diffs hold afterwards (the output's bytes included). For comparison, the
// peak of the same parse over a buffer of exactly the output's size.
void BM_PatchParserPeakMemory(benchmark::State &state, PatchSource source) {
  if (auto reason = skipReason(source))
    return state.SkipWithError(reason);
  const std::string &input = patchInput(source);
  const auto size = static_cast<double>(input.size());
  double peakPerByte = 0, fillPeakPerByte = 0, retainedPerByte = 0, exactPeakPerByte = 0;
  for (auto _ : state) {
    malloc_trim(0);
    {
      CountingScope counting;
      GitBuffer buffer;
      fillLikeTheRunner(buffer, input);
      fillPeakPerByte = static_cast<double>(gPeakBytes.load()) / size;
      auto diffs = GitDiff::parsePatch(buffer, false, false, false, std::nullopt);
      peakPerByte = static_cast<double>(gPeakBytes.load()) / size;
      retainedPerByte = static_cast<double>(gLiveBytes.load()) / size;
      benchmark::DoNotOptimize(diffs);
    }
    malloc_trim(0);
    {
      CountingScope counting;
      GitBuffer buffer(input);
      auto diffs = GitDiff::parsePatch(buffer, false, false, false, std::nullopt);
      exactPeakPerByte = static_cast<double>(gPeakBytes.load()) / size;
      benchmark::DoNotOptimize(diffs);
    }
  }
  state.counters["bytes"] = size;
  state.counters["peakPerByte"] = peakPerByte;
  state.counters["fillPeakPerByte"] = fillPeakPerByte;
  state.counters["retainedPerByte"] = retainedPerByte;
  state.counters["exactBufferPeakPerByte"] = exactPeakPerByte;
}

// The same through the patch operation on a queue: git's output as the
// runner reads it, the parse, and the list handed to the waiter.
void BM_PatchOperationPeakMemory(benchmark::State &state, Target target) {
  if (auto reason = skipReason(target))
    return state.SkipWithError(reason);
  auto queue = benchQueue();
  double peakPerByte = 0, retainedPerByte = 0, bytes = 0;
  for (auto _ : state) {
    malloc_trim(0);
    CountingScope counting;
    auto operation = patchOperation(target);
    auto future = operation->enqueue(queue);
    auto list = future.wait().value;
    operation.reset();
    future = {};
    queue->waitUntilAllOperationsAreFinished();
    const int64_t peak = gPeakBytes.load(), live = gLiveBytes.load();
    bytes = 0;
    for (const auto &diff : list.diffs)
      for (const auto &line : diff->lines)
        bytes += static_cast<double>(line.string().size() + (line.origin ? 1 : 0));
    peakPerByte = static_cast<double>(peak) / bytes;
    retainedPerByte = static_cast<double>(live) / bytes;
  }
  state.counters["bytes"] = bytes;
  state.counters["peakPerByte"] = peakPerByte;
  state.counters["retainedPerByte"] = retainedPerByte;
}

// A scratch repository with one committed file of 10,000 lines, every line
// changed in the working tree, and the patch that stages one addition out of
// the middle of that change.
struct StagingScratch {
  static constexpr int kLines = 10000;
  std::string directory;
  std::string patchPath;
  std::string patch;
  std::shared_ptr<GitQueue> queue;
  std::shared_ptr<const GitDiff> diff;
  std::set<size_t> keepLines;
  std::vector<std::string> applyArguments;
  bool ready = false;

  StagingScratch() {
    char pattern[] = "/tmp/tavrik-diffbench-XXXXXX";
    if (!mkdtemp(pattern))
      return;
    directory = pattern;
    patchPath = directory + ".patch";
    const std::string file = directory + "/big.txt";
    auto writeLines = [&](const char *shape) {
      std::ofstream out(file, std::ios::trunc);
      char text[96];
      for (int i = 0; i < kLines; ++i) {
        std::snprintf(text, sizeof text, shape, i);
        out << text;
      }
    };
    writeLines("line %05d as committed, with some words after it\n");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"init", "--quiet"},
          {"add", "big.txt"},
          {"-c", "user.name=bench", "-c", "user.email=bench@example.com", "commit", "--quiet", "-m",
           "base"}})
      if (spawnGitIn(directory, args).status != 0)
        return;
    writeLines("line %05d as changed in the working tree\n");

    Shell::setDefaultShell(nullptr);
    queue = GitQueue::create(
        GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(directory, true), false), nullptr,
        Url::fileURL(TAVRIK_TEST_PREFIX, true));
    // The status refresh that staging asks for is the status reader's cost,
    // measured in ReadersBench; here only the apply is compared with git's.
    queue->setViewOperationFactory([](GitAspects) { return std::shared_ptr<GitQueueOperation>(); });
    auto list = makeOperation<GitExecDiffOperation>(GitDiff{}, std::optional<int>{})
                    ->enqueue(queue)
                    .wait()
                    .value;
    if (list.diffs.size() != 1)
      return;
    diff = list.diffs.front();
    std::vector<size_t> additions;
    for (const auto &line : diff->lines)
      if (line.type == GitDiffLineType::addition)
        additions.push_back(line.index);
    if (additions.size() != kLines)
      return;
    keepLines = {additions[additions.size() / 2]};

    patch = GitDiffTransformer(diff, false, keepLines).transformedDiff()->formatPatch();
    std::ofstream(patchPath, std::ios::trunc | std::ios::binary) << patch;
    auto apply = makeOperation<GitExecApplyOperation>({.diff = diff, .cached = true, .keepLines = keepLines});
    GitOperationContext context(queue);
    applyArguments = apply->arguments(context);
    ready = true;
  }

  ~StagingScratch() {
    if (queue)
      queue->waitUntilAllOperationsAreFinished();
    std::error_code ignored;
    if (!directory.empty())
      std::filesystem::remove_all(directory, ignored);
    if (!patchPath.empty())
      std::filesystem::remove(patchPath, ignored);
  }

  void restoreIndex() const { spawnGitIn(directory, {"reset", "--quiet"}); }

  // True when exactly the one line is staged.
  bool stagedOneLine() const {
    return spawnGitIn(directory, {"diff", "--cached", "--numstat"}).output == "1\t0\tbig.txt\n";
  }
};

void BM_StageLineEngine(benchmark::State &state) {
  StagingScratch scratch;
  if (!scratch.ready)
    return state.SkipWithError("could not make the scratch repository");
  makeOperation<GitExecApplyOperation>({.diff = scratch.diff, .cached = true, .keepLines = scratch.keepLines})
      ->enqueue(scratch.queue)
      .wait();
  if (!scratch.stagedOneLine())
    return state.SkipWithError("the apply operation did not stage the one line");
  scratch.restoreIndex();
  for (auto _ : state) {
    makeOperation<GitExecApplyOperation>({.diff = scratch.diff, .cached = true, .keepLines = scratch.keepLines})
        ->enqueue(scratch.queue)
        .wait();
    state.PauseTiming();
    scratch.queue->waitUntilAllOperationsAreFinished();
    scratch.restoreIndex();
    state.ResumeTiming();
  }
  state.counters["diffLines"] = static_cast<double>(scratch.diff->lines.size());
}

void BM_StageLineGitAlone(benchmark::State &state) {
  StagingScratch scratch;
  if (!scratch.ready)
    return state.SkipWithError("could not make the scratch repository");
  if (spawnGitIn(scratch.directory, scratch.applyArguments, scratch.patchPath.c_str()).status !=
          0 ||
      !scratch.stagedOneLine())
    return state.SkipWithError("git apply did not stage the one line");
  scratch.restoreIndex();
  for (auto _ : state) {
    spawnGitIn(scratch.directory, scratch.applyArguments, scratch.patchPath.c_str());
    state.PauseTiming();
    scratch.restoreIndex();
    state.ResumeTiming();
  }
  state.counters["patchBytes"] = static_cast<double>(std::filesystem::file_size(scratch.patchPath));
}

// Arg 0: git reads the patch from a file, as the target says. Arg 1: git
// reads it from a pipe this process writes, as the engine hands it over, to
// tell the pipe's share of the difference from the engine's.
void BM_StageLinePaired(benchmark::State &state) {
  StagingScratch scratch;
  if (!scratch.ready)
    return state.SkipWithError("could not make the scratch repository");
  const bool piped = state.range(0) == 1;
  runPairs(
      state,
      [&] {
        makeOperation<GitExecApplyOperation>({.diff = scratch.diff, .cached = true, .keepLines = scratch.keepLines})
            ->enqueue(scratch.queue)
            .wait();
      },
      [&] {
        if (piped)
          spawnGitIn(scratch.directory, scratch.applyArguments, nullptr, &scratch.patch);
        else
          spawnGitIn(scratch.directory, scratch.applyArguments, scratch.patchPath.c_str());
      },
      [&] {
        scratch.queue->waitUntilAllOperationsAreFinished();
        scratch.restoreIndex();
      });
}

// The engine's own work before git starts: the selection turned into the
// patch's bytes.
void BM_StageLineTransform(benchmark::State &state) {
  StagingScratch scratch;
  if (!scratch.ready)
    return state.SkipWithError("could not make the scratch repository");
  size_t bytes = 0;
  for (auto _ : state)
    bytes = GitDiffTransformer(scratch.diff, false, scratch.keepLines)
                .transformedDiff()
                ->formatPatch()
                .size();
  state.counters["patchBytes"] = static_cast<double>(bytes);
}

} // namespace

#define TAVRIK_DIFF_BENCH(name, target, raw)                                                       \
  BENCHMARK_CAPTURE(BM_DiffEngine, name, target, raw)                                              \
      ->Unit(benchmark::kMillisecond)                                                              \
      ->UseRealTime()                                                                              \
      ->MinTime(3);                                                                                \
  BENCHMARK_CAPTURE(BM_DiffGitAlone, name, target, raw)                                            \
      ->Unit(benchmark::kMillisecond)                                                              \
      ->UseRealTime()                                                                              \
      ->MinTime(3);                                                                                \
  BENCHMARK_CAPTURE(BM_DiffPaired, name, target, raw)                                              \
      ->Unit(benchmark::kMillisecond)                                                              \
      ->UseManualTime()                                                                            \
      ->Iterations(4);

TAVRIK_DIFF_BENCH(worktreePatch, worktree, false)
TAVRIK_DIFF_BENCH(commitPatch, largeCommit, false)
TAVRIK_DIFF_BENCH(worktreeRaw, worktree, true)
TAVRIK_DIFF_BENCH(commitRaw, largeCommit, true)

BENCHMARK_CAPTURE(BM_PatchParser, worktree, worktreePatch)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_PatchParser, commit, commitPatch)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(BM_PatchParser, synthetic, synthetic)->Unit(benchmark::kMillisecond)->MinTime(2);

BENCHMARK_CAPTURE(BM_PatchParserPeakMemory, worktree, worktreePatch)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(BM_PatchParserPeakMemory, commit, commitPatch)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(BM_PatchParserPeakMemory, synthetic, synthetic)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(BM_PatchOperationPeakMemory, worktree, worktree)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(BM_PatchOperationPeakMemory, commit, largeCommit)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

BENCHMARK(BM_StageLineEngine)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_StageLineGitAlone)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_StageLinePaired)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(40);
BENCHMARK(BM_StageLineTransform)->Unit(benchmark::kMillisecond)->MinTime(1);

BENCHMARK_MAIN();
