// The repository watcher from the outside, as a client sees it:
//   - latency from a write in the working tree to the observer hearing of the
//     status change, in a small scratch repository and in the large
//     generated one (beside a plain status refresh of the queue, to show what
//     part of it is git status itself);
//   - the cost of attaching: time, resident memory, the heap the watcher's
//     C++ objects hold (counted by this executable's operator new/delete),
//     watched folders, on the large repository and on a wide one of 100,000
//     files in 10,100 folders;
//   - CPU time spent while nothing changes;
//   - a burst of 10,000 new files in 20 new folders: how many refreshes it
//     causes, and whether the view ends equal to git's own status.
// A plain program printing one table: each figure beside its target.
// The large repository is TAVRIK_BENCH_REPO or /tmp/tavrik-bench-large (made
// with the make-bench-repo tool); the wide one is built once and cached at
// /tmp/tavrik-bench-wide. Files changed in the large repository are restored.
#include "BenchSupport.h"
#include "HeapCounter.h"

#include "tavrik/Queue/GitRepositoryWatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>


namespace {

using namespace tavrik;
using namespace tavrik::bench;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char *kWideRepo = "/tmp/tavrik-bench-wide";
// Inside the git directory, so that it is neither tracked nor untracked.
constexpr const char *kWideMarker = "/tmp/tavrik-bench-wide/.git/tavrik-bench-wide-complete";

double msSince(Clock::time_point start, Clock::time_point end = Clock::now()) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

std::string shellQuoted(const std::string &text) {
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool runShell(const std::string &script) {
  return std::system(("/bin/sh -c " + shellQuoted(script) + " >/dev/null 2>&1").c_str()) == 0;
}

// Without automatic gc: a fresh commit of 100,000 loose objects would start
// a repack in the background, beside the measurements.
std::string gitCommand() {
  return std::string(TAVRIK_TEST_PREFIX) +
         "/bin/git -c user.name=bench -c user.email=bench@example.com -c gc.auto=0";
}

void writeFile(const std::string &path, const std::string &content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    std::abort();
  ::close(fd);
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

long vmRssKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

double cpuMs(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto ms = [](timeval t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

std::shared_ptr<GitQueue> queueFor(const std::string &directory) {
  Shell::setDefaultShell(nullptr);
  return GitQueue::create(
      GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(directory, true), false), nullptr,
      Url::fileURL(TAVRIK_TEST_PREFIX, true));
}

// Hears of status changes only, and remembers when the last one came.
struct StatusObserver : GitQueueObserver {
  std::mutex lock;
  std::condition_variable changed;
  size_t calls = 0;                      // guarded by lock
  Clock::time_point last = Clock::now(); // guarded by lock

  void gitQueueDidChange(const std::shared_ptr<GitQueue> &, GitAspects aspects) override {
    if (!aspects.containsAny(GitAspects::status))
      return;
    const auto now = Clock::now();
    {
      std::lock_guard guard(lock);
      ++calls;
      last = now;
    }
    changed.notify_all();
  }
  size_t count() {
    std::lock_guard guard(lock);
    return calls;
  }
  Clock::time_point lastCall() {
    std::lock_guard guard(lock);
    return last;
  }
  /// The time of the first call after the `seen`th, or nullopt after `timeout`.
  std::optional<Clock::time_point> waitBeyond(size_t seen, Clock::duration timeout) {
    std::unique_lock guard(lock);
    if (!changed.wait_for(guard, timeout, [&] { return calls > seen; }))
      return std::nullopt;
    return last;
  }
};

struct Row {
  std::string measure;
  std::string value;
  std::string target;
  std::string verdict;
};
std::vector<Row> gRows;

std::string fixed(double value, int decimals = 1) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

void addRow(std::string measure, std::string value, std::string target, std::optional<bool> met) {
  std::string verdict = !met ? "-" : *met ? "ok" : "MISSED";
  std::printf("  %-52s %14s   target %-10s %s\n", measure.c_str(), value.c_str(), target.c_str(),
              verdict.c_str());
  std::fflush(stdout);
  gRows.push_back({std::move(measure), std::move(value), std::move(target), std::move(verdict)});
}

std::string ratioTo(double value, double target) {
  return " (" + fixed(value / target, 2) + "x)";
}

// A refresh of every aspect, waited for, so that the first write measured
// changes an up-to-date view.
void primeView(const std::shared_ptr<GitQueue> &queue);

// A watcher on a queue whose view is complete, once its first stirrings are over.
std::shared_ptr<GitRepositoryWatcher> attachSettled(const std::shared_ptr<GitQueue> &queue) {
  primeView(queue);
  auto watcher = GitRepositoryWatcher::attach(queue);
  std::this_thread::sleep_for(300ms);
  queue->waitUntilAllOperationsAreFinished();
  return watcher;
}

void primeView(const std::shared_ptr<GitQueue> &queue) {
  queue->updateViewFor(GitAspects::all);
  queue->waitUntilAllOperationsAreFinished();
}

// Remembers when the queue was last asked to refresh status: the part of a
// write's latency that is the watcher's, before git runs.
struct RefreshClock : GitQueueRunObserver {
  std::mutex lock;
  std::optional<Clock::time_point> asked; // guarded by lock

  void gitQueueOperationWillRun(GitQueue &) override {}
  void gitQueueOperationDidRun(GitQueue &) override {}
  void gitQueueWillRefresh(GitQueue &, GitAspects aspects) override {
    if (!aspects.containsAny(GitAspects::status))
      return;
    std::lock_guard guard(lock);
    if (!asked)
      asked = Clock::now();
  }
  void reset() {
    std::lock_guard guard(lock);
    asked.reset();
  }
  std::optional<Clock::time_point> firstAsked() {
    std::lock_guard guard(lock);
    return asked;
  }
};

struct Latencies {
  std::vector<double> toObserver;   // write to the observer's call
  std::vector<double> toRefresh;    // write to the watcher asking for the refresh
  std::vector<double> plainRefresh; // updateViewFor(status) until the queue is idle
  int timeouts = 0;
};

// Writes `rounds` times to a tracked file, alternating its content, and
// times each write to the observer's call with status. With
// `pairedRefresh`, a plain status refresh follows each round, so that both
// see nearly the same load.
Latencies writeLatencies(const std::shared_ptr<GitQueue> &queue, const std::string &file,
                         const std::string &original, int rounds, Clock::duration settle,
                         bool pairedRefresh) {
  auto observer = std::make_shared<StatusObserver>();
  auto clock = std::make_shared<RefreshClock>();
  auto token = queue->addChangeObserver(observer);
  queue->addRunObserver(clock);
  Latencies result;
  for (int round = 0; round < rounds; ++round) {
    const size_t seen = observer->count();
    clock->reset();
    const auto start = Clock::now();
    writeFile(file, round % 2 == 0 ? original + "changed\n" : original);
    const auto heard = observer->waitBeyond(seen, 10s);
    if (heard) {
      result.toObserver.push_back(msSince(start, *heard));
      if (auto asked = clock->firstAsked())
        result.toRefresh.push_back(msSince(start, *asked));
    } else {
      ++result.timeouts;
    }
    queue->waitUntilAllOperationsAreFinished();
    std::this_thread::sleep_for(settle);
    if (pairedRefresh) {
      const auto refreshStart = Clock::now();
      queue->updateViewFor(GitAspects::status);
      queue->waitUntilAllOperationsAreFinished();
      result.plainRefresh.push_back(msSince(refreshStart));
      std::this_thread::sleep_for(settle);
    }
  }
  queue->removeRunObserver(clock.get());
  queue->removeChangeObserver(token);
  return result;
}

std::string describeLatencies(const std::vector<double> &values, int timeouts) {
  if (values.empty())
    return "none heard";
  std::string text = fixed(median(values)) + " ms";
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  text += " [" + fixed(*low) + ".." + fixed(*high) + "]";
  if (timeouts)
    text += " " + std::to_string(timeouts) + " unheard";
  return text;
}

void reportLatency(const std::string &name, const Latencies &measured, double limitMs) {
  const double latency = measured.toObserver.empty() ? 1e9 : median(measured.toObserver);
  const auto rounds = std::to_string(measured.toObserver.size() + measured.timeouts);
  addRow(name + ": write -> observer (median of " + rounds + ")",
         describeLatencies(measured.toObserver, measured.timeouts) + ratioTo(latency, limitMs),
         "<= " + fixed(limitMs, 0) + " ms", latency <= limitMs && measured.timeouts == 0);
  addRow(name + ":   of which write -> refresh asked", describeLatencies(measured.toRefresh, 0), "",
         std::nullopt);
}

struct ScratchRepo {
  std::string directory;
  ScratchRepo() {
    char pattern[] = "/tmp/tavrik-watcherbench-XXXXXX";
    if (!mkdtemp(pattern))
      std::abort();
    directory = pattern;
    const std::string git = gitCommand();
    if (!runShell("set -e; cd " + shellQuoted(directory) + "; " + git +
                  " init -q; mkdir -p src docs; echo one > tracked.txt; echo a > src/a.c; echo b > "
                  "src/b.c; "
                  "echo readme > docs/README; printf 'build/\\n' > .gitignore; " +
                  git + " add -A; " + git + " commit -qm initial")) {
      std::fprintf(stderr, "could not make the scratch repository in %s\n", directory.c_str());
      std::exit(1);
    }
  }
  ~ScratchRepo() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
};

// 100 top folders of 100 folders of 10 small files each, committed.
bool ensureWideRepo() {
  if (access(kWideMarker, F_OK) == 0)
    return true;
  std::printf("building the wide repository at %s (once)...\n", kWideRepo);
  std::fflush(stdout);
  std::error_code ignored;
  std::filesystem::remove_all(kWideRepo, ignored);
  std::filesystem::create_directories(kWideRepo);
  char path[256];
  for (int top = 0; top < 100; ++top) {
    std::snprintf(path, sizeof path, "%s/d%02d", kWideRepo, top);
    mkdir(path, 0755);
    for (int sub = 0; sub < 100; ++sub) {
      std::snprintf(path, sizeof path, "%s/d%02d/s%02d", kWideRepo, top, sub);
      mkdir(path, 0755);
      for (int file = 0; file < 10; ++file) {
        std::snprintf(path, sizeof path, "%s/d%02d/s%02d/f%d.txt", kWideRepo, top, sub, file);
        writeFile(path, std::string(path + std::strlen(kWideRepo) + 1) + "\n");
      }
    }
  }
  const std::string git = gitCommand();
  if (!runShell("set -e; cd " + shellQuoted(kWideRepo) + "; " + git + " init -q; " + git +
                " add -A; " + git + " commit -qm wide")) {
    std::fprintf(stderr, "could not commit the wide repository\n");
    return false;
  }
  writeFile(kWideMarker, "complete\n");
  return true;
}

struct AttachCost {
  std::shared_ptr<GitRepositoryWatcher> watcher;
  double ms = 0;
};

AttachCost measureAttach(const std::string &name, const std::shared_ptr<GitQueue> &queue) {
  const long rssBefore = vmRssKiB();
  AttachCost cost;
  double heapMiB = 0;
  {
    CountingScope counting;
    const auto start = Clock::now();
    cost.watcher = GitRepositoryWatcher::attach(queue);
    cost.ms = msSince(start);
    heapMiB = static_cast<double>(gLiveBytes.load()) / (1024.0 * 1024.0);
  }
  const double rssMiB = (vmRssKiB() - rssBefore) / 1024.0;
  const auto statistics = cost.watcher->statistics();
  addRow(name + ": attach time", fixed(cost.ms) + " ms" + ratioTo(cost.ms, 2000), "<= 2000 ms",
         cost.ms <= 2000);
  addRow(name + ": VmRSS growth", fixed(rssMiB, 2) + " MiB" + ratioTo(rssMiB, 50), "<= 50 MiB",
         rssMiB <= 50);
  addRow(name + ": heap held (operator new)", fixed(heapMiB, 2) + " MiB", "<= 50 MiB",
         heapMiB <= 50);
  addRow(name + ": watched folders", std::to_string(statistics.watchedFolders), "", std::nullopt);
  addRow(name + ": working-tree fallback", statistics.workingTreeFallback ? "true" : "false",
         "false", !statistics.workingTreeFallback);
  return cost;
}

void largeRepository(const std::string &repo) {
  std::printf("\n== large repository %s\n", repo.c_str());
  auto queue = queueFor(repo);
  auto cost = measureAttach("large", queue);

  // A tracked file without changes, so that each write adds or removes one entry.
  std::string listing = spawnGitIn(repo.c_str(), {"ls-files", "-z"});
  std::set<std::string> changed;
  {
    const std::string status = spawnGitIn(repo.c_str(), {"--no-optional-locks", "status", "-z",
                                                         "--porcelain", "--untracked-files=no"});
    for (size_t at = 0; at < status.size();) {
      const size_t end = status.find('\0', at);
      if (end == std::string::npos)
        break;
      if (end - at > 3)
        changed.insert(status.substr(at + 3, end - at - 3));
      at = end + 1;
    }
  }
  std::string file;
  for (size_t at = 0; at < listing.size();) {
    const size_t end = listing.find('\0', at);
    const std::string path = listing.substr(at, end - at);
    at = end == std::string::npos ? listing.size() : end + 1;
    struct stat st {};
    if (!changed.count(path) && lstat((repo + "/" + path).c_str(), &st) == 0 &&
        S_ISREG(st.st_mode) && st.st_size < 65536 && path.find('/') != std::string::npos) {
      file = path;
      break;
    }
  }
  if (file.empty()) {
    addRow("large: write latency", "no clean tracked file", "<= 1000 ms", false);
    return;
  }
  const std::string full = repo + "/" + file;
  const std::string original = readFile(full);
  struct Restore {
    const std::string &path;
    const std::string &content;
    ~Restore() { writeFile(path, content); }
  } restore{full, original};

  primeView(queue);
  // Without optional locks, as the engine runs it: a plain `git status`
  // would rewrite the repository's index.
  std::vector<double> gitAlone, checkIgnore;
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    spawnGitIn(repo.c_str(), {"--no-optional-locks", "status", "-z", "--porcelain=v2",
                              "--untracked-files=normal", "--renames", "--no-show-stash"});
    gitAlone.push_back(msSince(start));
    // The watcher asks git whether changed paths are ignored before it asks for a refresh.
    start = Clock::now();
    spawnGitIn(repo.c_str(), {"check-ignore", "--", file});
    checkIgnore.push_back(msSince(start));
  }
  std::this_thread::sleep_for(300ms);

  const auto measured = writeLatencies(queue, full, original, 10, 200ms, true);
  const auto &latencies = measured.toObserver;
  cost.watcher->detach();
  queue->waitUntilAllOperationsAreFinished();
  std::printf("  (changed %s; restored at the end)\n", file.c_str());

  reportLatency("large", measured, 1000);
  addRow("large: plain status refresh (updateViewFor)", describeLatencies(measured.plainRefresh, 0),
         "", std::nullopt);
  if (measured.timeouts == 0 && latencies.size() == measured.plainRefresh.size()) {
    // Each write's latency less the plain refresh that followed it: what the watcher adds.
    std::vector<double> added;
    for (size_t i = 0; i < latencies.size(); ++i)
      added.push_back(latencies[i] - measured.plainRefresh[i]);
    addRow("large: latency less plain refresh (paired)", fixed(median(added)) + " ms", "",
           std::nullopt);
  }
  addRow("large: git status alone", fixed(median(gitAlone)) + " ms", "", std::nullopt);
  addRow("large: git check-ignore of the file alone", fixed(median(checkIgnore)) + " ms", "",
         std::nullopt);
}

void wideRepository() {
  std::printf("\n== wide repository %s\n", kWideRepo);
  if (!ensureWideRepo()) {
    addRow("wide: setup", "no repository", "", false);
    return;
  }
  auto queue = queueFor(kWideRepo);
  auto cost = measureAttach("wide", queue);

  // Idleness: whatever the attach set off has finished and settled.
  queue->waitUntilAllOperationsAreFinished();
  std::this_thread::sleep_for(1s);
  queue->waitUntilAllOperationsAreFinished();
  const size_t refreshesBefore = cost.watcher->statistics().refreshes;
  // The process's time less this thread's own: waking from the sleep below
  // is the measurement's cost, not the watcher's.
  const double processBefore = cpuMs(RUSAGE_SELF), selfBefore = cpuMs(RUSAGE_THREAD);
  std::this_thread::sleep_for(3s);
  const double processCpu = cpuMs(RUSAGE_SELF) - processBefore;
  const double idleCpu = std::max(0.0, processCpu - (cpuMs(RUSAGE_THREAD) - selfBefore));
  const size_t idleRefreshes = cost.watcher->statistics().refreshes - refreshesBefore;
  addRow("wide: idle CPU over 3 s (other threads)",
         fixed(idleCpu, 3) + " ms, " + std::to_string(idleRefreshes) + " refreshes", "0 ms",
         idleCpu < 0.05 && idleRefreshes == 0);
  addRow("wide: idle CPU over 3 s (whole process)", fixed(processCpu, 3) + " ms", "", std::nullopt);
  cost.watcher->detach();
}

void smallRepository() {
  std::printf("\n== small scratch repository\n");
  ScratchRepo scratch;
  auto queue = queueFor(scratch.directory);
  auto watcher = attachSettled(queue);

  const auto measured =
      writeLatencies(queue, scratch.directory + "/tracked.txt", "one\n", 30, 100ms, false);
  reportLatency("small", measured, 150);
  watcher->detach();
}

// The paths of git's own `status -z --porcelain=v2` records.
std::set<std::string> gitStatusPaths(const std::string &directory) {
  const std::string output =
      spawnGitIn(directory.c_str(), {"--no-optional-locks", "status", "-z", "--porcelain=v2",
                                     "--untracked-files=normal"});
  std::set<std::string> paths;
  bool skipOriginal = false;
  for (size_t at = 0; at < output.size();) {
    size_t end = output.find('\0', at);
    if (end == std::string::npos)
      end = output.size();
    const std::string record = output.substr(at, end - at);
    at = end + 1;
    if (skipOriginal) {
      skipOriginal = false;
      continue;
    }
    if (record.empty() || record[0] == '#')
      continue;
    // Fields before the path: 8 for ordinary changes, 9 for renames, 10 for
    // unmerged ones, 1 for untracked and ignored files.
    int fields = record[0] == '1' ? 8 : record[0] == '2' ? 9 : record[0] == 'u' ? 10 : 1;
    size_t pathStart = 0;
    for (int i = 0; i < fields && pathStart != std::string::npos; ++i) {
      pathStart = record.find(' ', pathStart);
      if (pathStart != std::string::npos)
        ++pathStart;
    }
    if (pathStart == std::string::npos)
      continue;
    paths.insert(record.substr(pathStart));
    skipOriginal = record[0] == '2';
  }
  return paths;
}

void burst() {
  std::printf("\n== burst of 10,000 files in 20 new folders\n");
  ScratchRepo scratch;
  auto queue = queueFor(scratch.directory);
  auto watcher = attachSettled(queue);
  auto observer = std::make_shared<StatusObserver>();
  auto token = queue->addChangeObserver(observer);

  const size_t refreshesBefore = watcher->statistics().refreshes;
  const size_t callsBefore = observer->count();
  const auto start = Clock::now();
  char path[512];
  for (int folder = 0; folder < 20; ++folder) {
    std::snprintf(path, sizeof path, "%s/burst%02d", scratch.directory.c_str(), folder);
    mkdir(path, 0755);
    for (int file = 0; file < 500; ++file) {
      std::snprintf(path, sizeof path, "%s/burst%02d/file%03d.txt", scratch.directory.c_str(),
                    folder, file);
      writeFile(path, "x\n");
    }
  }
  // The last write of all changes a tracked file: the view must not stop short of it.
  writeFile(scratch.directory + "/src/a.c", "a changed\n");
  const auto burstEnd = Clock::now();
  const double writeMs = msSince(start, burstEnd);

  while (Clock::now() - burstEnd < 30s) {
    const auto quietSince = std::max(burstEnd, observer->lastCall());
    if (Clock::now() - quietSince >= 1s)
      break;
    std::this_thread::sleep_for(20ms);
  }
  queue->waitUntilAllOperationsAreFinished();
  const size_t statusCalls = observer->count() - callsBefore;
  const size_t refreshes = watcher->statistics().refreshes - refreshesBefore;
  const double settledMs = msSince(burstEnd, observer->lastCall());
  queue->removeChangeObserver(token);
  watcher->detach();

  std::set<std::string> viewPaths;
  const auto view = queue->view();
  if (view.status)
    for (const auto &entry : view.status->entries)
      if (auto p = entry.path())
        viewPaths.insert(*p);
  const auto gitPaths = gitStatusPaths(scratch.directory);
  std::string comparison = "equal (" + std::to_string(gitPaths.size()) + " paths)";
  if (viewPaths != gitPaths) {
    std::vector<std::string> onlyView, onlyGit;
    std::set_difference(viewPaths.begin(), viewPaths.end(), gitPaths.begin(), gitPaths.end(),
                        std::back_inserter(onlyView));
    std::set_difference(gitPaths.begin(), gitPaths.end(), viewPaths.begin(), viewPaths.end(),
                        std::back_inserter(onlyGit));
    comparison = "differ: " + std::to_string(onlyView.size()) + " only in view, " +
                 std::to_string(onlyGit.size()) + " only in git";
    for (size_t i = 0; i < onlyGit.size() && i < 5; ++i)
      std::printf("    only in git: %s\n", onlyGit[i].c_str());
    for (size_t i = 0; i < onlyView.size() && i < 5; ++i)
      std::printf("    only in view: %s\n", onlyView[i].c_str());
  }
  addRow("burst: time to write the files", fixed(writeMs) + " ms", "", std::nullopt);
  addRow("burst: last status change after the last write", fixed(settledMs) + " ms", "",
         std::nullopt);
  addRow("burst: status changes heard by observer", std::to_string(statusCalls), "<= 10",
         statusCalls <= 10);
  addRow("burst: refreshes asked by watcher", std::to_string(refreshes), "<= 10", refreshes <= 10);
  addRow("burst: view status vs git status", comparison, "equal", viewPaths == gitPaths);
}

} // namespace

int main() {
  const char *large = benchRepo() ? benchRepo() : "/tmp/tavrik-bench-large";
  std::string watches = readFile("/proc/sys/fs/inotify/max_user_watches");
  while (!watches.empty() && watches.back() == '\n')
    watches.pop_back();
  addRow("fs.inotify.max_user_watches", watches, "", std::nullopt);
  // Setup costs first, while the heap is fresh, so that memory growth is not
  // hidden by reuse of freed blocks.
  wideRepository();
  if (access((std::string(large) + "/.git").c_str(), F_OK) == 0)
    largeRepository(large);
  else
    std::printf("\n(no repository at %s: make it with make-bench-repo --profile large)\n", large);
  smallRepository();
  burst();

  std::printf("\n%-52s %-40s %-12s %s\n", "measure", "value", "target", "");
  for (const auto &row : gRows)
    std::printf("%-52s %-40s %-12s %s\n", row.measure.c_str(), row.value.c_str(),
                row.target.c_str(), row.verdict.c_str());
  return 0;
}
