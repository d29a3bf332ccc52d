#include "WatchVerb.h"

#include "CommandVerbs.h"
#include "tavrik/Commands/GitMonitorConfig.h"
#include "tavrik/Json/GitJson.h"

#include "tavrik/Queue/GitRepositoryWatcher.h"
#include "tavrik/Util/TavrikError.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace tavrik::cli {

namespace {

// The queue's tasks and the log descriptor are the engine's own business,
// not changes of the repository, so they are not printed.
constexpr GitAspects kPrintedAspects[] = {GitAspects::head,       GitAspects::status, GitAspects::refs,
                                          GitAspects::stashes,    GitAspects::stateFiles, GitAspects::config,
                                          GitAspects::submodules, GitAspects::reflogs, GitAspects::worktrees};

constexpr GitAspects printedAspects() {
  GitAspects printed;
  for (const auto aspect : kPrintedAspects) printed.insert(aspect);
  return printed;
}

size_t statusCount(const GitView& view) { return view.status ? view.status->entries.size() : 0; }
size_t configCount(const GitView& view) { return view.config ? view.config->values().size() : 0; }

std::string shortId(const std::optional<Oid>& commit) { return commit ? commit->string().substr(0, 7) : ""; }

std::string plural(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Names are written as their bytes, as git writes them.
std::string headText(const GitHeadList& heads) {
  const GitHead& head = heads.head;
  std::string branch = head.isSymbolic || !head.refname ? "detached" : *head.refname;
  return head.commit ? branch + " at " + shortId(head.commit) : branch + ", no commit yet";
}

std::string textLines(const GitView& view, GitAspects aspects) {
  std::ostringstream out;
  for (const auto aspect : kPrintedAspects) {
    if (!aspects.contains(aspect)) continue;
    if (aspect == GitAspects::head) {
      out << "head: " << headText(view.headList);
    } else if (aspect == GitAspects::status) {
      out << "status: " << (statusCount(view) == 0 ? "clean" : plural(statusCount(view), "change", "changes"));
    } else if (aspect == GitAspects::refs) {
      out << "refs: " << plural(view.refs ? view.refs->all.size() : 0, "ref", "refs");
    } else if (aspect == GitAspects::stashes) {
      out << "stashes: " << view.stashList.entries.size();
    } else if (aspect == GitAspects::stateFiles) {
      out << "state: " << stateName(view.headList.stateFiles.state);
    } else if (aspect == GitAspects::config) {
      out << "config: " << plural(configCount(view), "value", "values");
    } else if (aspect == GitAspects::submodules) {
      out << "submodules: " << view.submodules.size();
    } else if (aspect == GitAspects::worktrees) {
      out << "worktrees: " << view.worktrees.size();
    } else {
      out << "reflogs: " << view.reflogs.names.size();
    }
    out << "\n";
  }
  return out.str();
}

// Called on the queue's worker threads, possibly several at once.
class ChangeWriter : public GitQueueObserver {
public:
  ChangeWriter(bool json, std::ostream& out) : json_(json), out_(out) {}

  void gitQueueDidChange(const std::shared_ptr<GitQueue>& queue, GitAspects aspects) override {
    aspects = aspects & printedAspects();
    if (aspects.isEmpty()) return;
    const GitView view = queue->view();
    const std::string text = json_ ? viewChangeJson(view, aspects) + "\n" : textLines(view, aspects);
    std::lock_guard lock(outLock_);
    // A reader at the other end of a pipe wants each change as it happens.
    out_ << text << std::flush;
  }

private:
  const bool json_;
  std::mutex outLock_; // guards out_
  std::ostream& out_;
};

// The write end of the pipe through which a stop signal wakes the main
// thread; -1 while no one waits.
std::atomic<int> stopPipeWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

extern "C" void wakeOnStopSignal(int) {
  const int savedErrno = errno;
  const int fd = stopPipeWriteEnd.load();
  if (fd >= 0) {
    const char byte = 0;
    [[maybe_unused]] auto written = write(fd, &byte, 1);
  }
  errno = savedErrno;
}

// SIGINT and SIGTERM end the watch. The handler only writes to a pipe (any
// thread may run it); the main thread does the work of stopping after it
// reads from the pipe.
class StopSignals {
public:
  StopSignals() {
    if (pipe2(fds_, O_CLOEXEC) != 0) throw TavrikError::fromErrno(errno, "pipe2");
    stopPipeWriteEnd.store(fds_[1]);
    struct sigaction action = {};
    action.sa_handler = wakeOnStopSignal;
    sigemptyset(&action.sa_mask);
    // Worker threads in the middle of reading git's output go on reading.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    stopPipeWriteEnd.store(-1);
    close(fds_[0]);
    close(fds_[1]);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  /// Blocks until SIGINT or SIGTERM arrives (or arrived since construction).
  void wait() {
    char byte;
    while (read(fds_[0], &byte, 1) < 0 && errno == EINTR) {
    }
  }

private:
  int fds_[2] = {-1, -1};
  struct sigaction oldInt_ = {}, oldTerm_ = {};
};

} // namespace

static VerbSpec monitorVerb(const char* name, GitMonitorConfigChange change, const char* help) {
  VerbSpec verb{std::string("monitor ") + name, help, nullptr, [change](const CLI::App&) -> VerbRun {
                  return [change](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) {
                    runOn(queue, makeOperation<GitMonitorConfigOperation>(change));
                  };
                }};
  verb.readsObjects = false;
  return verb;
}

std::vector<VerbSpec> watchVerbs() {
  return {{"watch", "print each change of the repository as it happens, until interrupted", nullptr,
           [](const CLI::App&) -> VerbRun {
             return [](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
               // First, so that an interrupt during the first refresh still ends cleanly.
               StopSignals stop;
               // Only what changes from here on is printed.
               queue->updateViewFor(GitAspects::all);
               queue->waitUntilAllOperationsAreFinished();
               // Observed before the watcher starts, so no change falls in between.
               auto writer = std::make_shared<ChangeWriter>(json, out);
               auto token = queue->addChangeObserver(writer, nullptr);
               auto watcher = GitRepositoryWatcher::attach(queue);
               std::fprintf(stderr, "watching %s\n", queue->descriptor()->url.path().c_str());
               stop.wait();
               watcher->detach();
               queue->removeChangeObserver(token);
             };
           }},
          verbGroup("monitor", "let the terminal's git ask this client's watcher what changed, or stop it"),
          monitorVerb("enable", GitMonitorConfigChange::enable,
                      "point core.fsmonitor at the watcher (git checks everything itself while no client watches)"),
          monitorVerb("disable", GitMonitorConfigChange::disable,
                      "put back the core.fsmonitor settings that were there before enabling")};
}

} // namespace tavrik::cli
