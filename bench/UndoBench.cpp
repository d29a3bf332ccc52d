// What the undo journal costs, a plain harness (medians of interleaved runs):
//   discard   1,000 modified files discarded through the engine without a
//             journal, with one, and `git checkout -- .` alone; the engine's
//             side waits until the queue is idle (its refreshes included)
//   branch    a branch created without and with the journal (refs only)
//   undo      the undo of a commit through the engine, against
//             `git reset --soft HEAD^` alone (the operation's own time)
// The repository comes from TAVRIK_BENCH_REPO; without it one of 10,000
// files in 100 folders is made once in /tmp/tavrik-bench-undo. It is
// changed and restored.
#include "BenchSupport.h"

#include "tavrik/Commands/BranchCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Journal/GitUndoJournal.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

using namespace tavrik;
using namespace tavrik::bench;
using Clock = std::chrono::steady_clock;

constexpr int kModified = 1000;

std::vector<std::string> trackedFiles() {
  std::vector<std::string> files;
  std::string list = spawnGit({"ls-files", "-z"});
  for (size_t at = 0; at < list.size();) {
    auto end = list.find('\0', at);
    files.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return files;
}

void makeRepository(const std::string& path) {
  if (std::filesystem::exists(path + "/.git")) return;
  std::filesystem::create_directories(path);
  spawnGitIn(path.c_str(), {"init", "-q", "-b", "main"});
  for (int folder = 0; folder < 100; ++folder) {
    auto dir = path + "/d" + std::to_string(folder);
    std::filesystem::create_directories(dir);
    for (int file = 0; file < 100; ++file) {
      std::ofstream out(dir + "/f" + std::to_string(file) + ".txt");
      for (int line = 0; line < 20; ++line) out << "folder " << folder << " file " << file << " line " << line << "\n";
    }
  }
  spawnGitIn(path.c_str(), {"add", "--all"});
  spawnGitIn(path.c_str(), {"-c", "user.name=Bench", "-c", "user.email=bench@localhost", "commit", "-q", "-m", "files"});
}

void modify(const std::vector<std::string>& files) {
  for (int i = 0; i < kModified && i < int(files.size()); ++i)
    std::ofstream(std::string(benchRepo()) + "/" + files[size_t(i) * files.size() / kModified], std::ios::app) << "x\n";
}

template <class F> double millis(F&& f) {
  auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main() {
  // As a client does on its own thread, so that the journal works in process.
  arbor::Repo::initializeLibrary();
  if (!benchRepo()) {
    makeRepository("/tmp/tavrik-bench-undo");
    ::setenv("TAVRIK_BENCH_REPO", "/tmp/tavrik-bench-undo", 1);
  }
  auto files = trackedFiles();
  std::set<std::string> discarded;
  for (int i = 0; i < kModified && i < int(files.size()); ++i)
    discarded.insert(files[size_t(i) * files.size() / kModified]);

  auto plain = benchQueue();
  auto journaled = benchQueue();
  auto journal = GitUndoJournal::make();
  journaled->setJournal(journal);
  auto discard = [&](const std::shared_ptr<GitQueue>& queue) {
    queue->addOperation(makeOperation<GitExecCheckoutOperation>({.paths = discarded}));
    queue->waitUntilAllOperationsAreFinished();
  };
  auto branch = [&](const std::shared_ptr<GitQueue>& queue) {
    queue->addOperation(GitExecBranchOperation::create("tavrik-bench-undo", std::nullopt, false));
    queue->waitUntilAllOperationsAreFinished();
  };

  std::vector<double> withoutJournal, withJournal, gitAlone, branchPlain, branchJournaled, undo, resetSoft;
  for (int run = 0; run < 7; ++run) {
    modify(files);
    withoutJournal.push_back(millis([&] { discard(plain); }));
    modify(files);
    withJournal.push_back(millis([&] { discard(journaled); }));
    modify(files);
    gitAlone.push_back(millis([&] { spawnGit({"checkout", "--", "."}); }));

    branchPlain.push_back(millis([&] { branch(plain); }));
    spawnGit({"branch", "-D", "tavrik-bench-undo"});
    branchJournaled.push_back(millis([&] { branch(journaled); }));
    spawnGit({"branch", "-D", "tavrik-bench-undo"});

    const char* identity[] = {"-c", "user.name=Bench", "-c", "user.email=bench@localhost"};
    auto commit = [&] {
      spawnGit({identity[0], identity[1], identity[2], identity[3], "commit", "-q", "--allow-empty", "-m", "bench"});
    };
    // The commit gets its journal entry as an engine commit would.
    {
      GitOperationContext context(journaled);
      auto token = journal->record("Commit", GitJournalScope::refsAndIndex, context);
      commit();
      journal->operationDidRun(token, context);
    }
    undo.push_back(millis([&] {
      makeOperation<GitUndoOperation>(GitUndoOptions{.journal = journal})->enqueue(journaled).wait();
    }));
    journaled->waitUntilAllOperationsAreFinished();
    commit();
    resetSoft.push_back(millis([&] { spawnGit({"reset", "-q", "--soft", "HEAD^"}); }));
  }
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("discard of %d files: engine %.0f ms, with journal %.0f ms (%.2f x), git checkout -- . %.0f ms "
              "(journaled engine %.2f x git)\n",
              kModified, median(withoutJournal), median(withJournal), median(withJournal) / median(withoutJournal),
              median(gitAlone), median(withJournal) / median(gitAlone));
  std::printf("branch create: %.1f ms, with journal %.1f ms (%.2f x)\n", median(branchPlain), median(branchJournaled),
              median(branchJournaled) / median(branchPlain));
  std::printf("undo of a commit %.1f ms vs git reset --soft %.1f ms (%.2f x)\n", median(undo), median(resetSoft),
              median(undo) / median(resetSoft));
  std::printf("load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  auto refs = spawnGit({"for-each-ref", "--format=%(refname)", "refs/tavrik/"});
  for (size_t at = 0, end; (end = refs.find('\n', at)) != std::string::npos; at = end + 1)
    spawnGit({"update-ref", "-d", refs.substr(at, end - at)});
  return 0;
}
