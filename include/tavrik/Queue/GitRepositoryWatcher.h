// Keeps a queue's view live: watches the working tree and the git directories
// with inotify and turns what changes on disk into the aspects to refresh,
// which it hands to `GitQueue::updateViewFor`. Observers then hear of a save
// in an editor or a commit in a terminal as they hear of the engine's own
// work.
//
//   auto watcher = GitRepositoryWatcher::attach(queue);
//   ...                      // observers of `queue` see outside changes
//   watcher->detach();       // or release the watcher
//
// What counts: working-tree files (status; submodules too inside a
// submodule's folder), the index (status), refs, packed-refs and HEAD of the
// common directory (refs, head), HEAD and the in-progress markers of the
// worktree's git directory (head, stateFiles), logs (reflogs), the stash
// (stashes), config (config), the common directory's `worktrees/` folder and
// each linked worktree's HEAD, lock and gitdir files (worktrees). Folders and files git ignores, git's lock
// files and the object database do not count.
//
// Changes are coalesced: a refresh happens once nothing has changed for the
// quiet period, or when changes have kept coming for the maximum delay.
// While operations of the queue run, changes wait for them; every refresh
// asked of the queue (an operation's own included) covers what changed
// before it, so the engine's own writes are not refreshed a second time.
//
// One watch per folder that is not ignored. When inotify's limits are
// reached, the watcher logs it once, keeps watching the git directories and
// refreshes the working tree's status every `fallbackInterval` instead. An
// overflow of the kernel's event queue refreshes every aspect.
//
// git's file-system monitor. While attached, the watcher also answers git's
// fsmonitor hook (protocol version 2) for the working tree: it keeps a
// bounded journal of the paths that changed, and the companion `bin/fsmonitor`
// of the queue's prefix asks it over a Unix-domain socket in a private
// folder (0700, a one-time token, the peer's user id checked) for every path
// changed since the token git sends. It answers "/" (check everything)
// whenever it cannot be sure: a token of another watcher or an earlier
// attach, one older than what the journal keeps, an overflow or a rescan
// since, or a working tree not watched in full. The status reader then runs
// git with the monitor and the untracked cache (GitViewExecStatusOperation).
//
// Threads: one of its own, and one that answers the monitor's companion,
// both asleep in poll() while nothing happens. All members are safe from any
// thread. The queue is held weakly; once it is
// released the watcher does nothing.
#pragma once

#include "tavrik/Operation/GitAspects.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace tavrik {

class GitQueue;

namespace detail {
class GitRepositoryWatcherCore;
}

/// Whether the watcher serves git's file-system monitor.
enum class GitFsmonitorMode {
  /// Only the view is kept live; git checks the whole tree itself.
  off,
  /// The engine's own git asks the watcher what changed.
  serve,
};

struct GitRepositoryWatcherOptions {
  /// How long the disk must be still before a refresh.
  std::chrono::milliseconds quietPeriod{50};
  /// Changes that keep coming are refreshed at least this often.
  std::chrono::milliseconds maximumDelay{1000};
  /// The status refresh period when the working tree is not watched in full.
  std::chrono::milliseconds fallbackInterval{5000};
  /// At most this many folders of the working tree are watched; 0 means only
  /// the kernel's limit (fs.inotify.max_user_watches) applies.
  size_t maximumWatches = 0;
  GitFsmonitorMode fsmonitor = GitFsmonitorMode::serve;
  /// The most working-tree changes the monitor's journal remembers; a
  /// token older than those answers "/".
  size_t fsmonitorJournalCapacity = 100000;
};

class GitRepositoryWatcher {
public:
  struct Statistics {
    /// Folders with a watch, the git directories' included.
    size_t watchedFolders = 0;
    /// True once a limit was reached: the working tree's status is refreshed
    /// periodically instead.
    bool workingTreeFallback = false;
    /// Refreshes this watcher asked of the queue.
    size_t refreshes = 0;
    /// Overflows of the kernel's event queue.
    size_t overflows = 0;
    /// The union of every aspect refreshed so far.
    GitAspects refreshedAspects;
    /// Questions of git's fsmonitor hook answered, and how many of them
    /// with "/" (check everything).
    size_t fsmonitorAnswers = 0;
    size_t fsmonitorFullAnswers = 0;
    /// Status refreshes while the monitor was served: those that ran git on
    /// the changed paths alone, and those that read the whole tree.
    size_t pathLimitedStatusRuns = 0;
    size_t wholeStatusRuns = 0;
    /// Of the limited refreshes, those that compared the files with the
    /// index in process, without running git status.
    size_t inProcessStatusRuns = 0;
  };

  /// Sets the watches up (blocking while the working tree is walked) and
  /// starts watching. Throws TavrikError::invalidRepository for a queue
  /// without a repository. Without inotify at all (no instance left) it
  /// logs so and refreshes every aspect each `fallbackInterval`.
  static std::shared_ptr<GitRepositoryWatcher> attach(const std::shared_ptr<GitQueue>& queue,
                                                      GitRepositoryWatcherOptions options = {});
  /// Detaches.
  ~GitRepositoryWatcher();
  GitRepositoryWatcher(const GitRepositoryWatcher&) = delete;
  GitRepositoryWatcher& operator=(const GitRepositoryWatcher&) = delete;

  /// Stops watching: once it returns, the watcher asks for no refresh again.
  /// Idempotent.
  void detach();
  bool isAttached() const;
  Statistics statistics() const;
  /// The variables the companion `bin/fsmonitor` needs to reach this
  /// watcher (its socket and one-time token); empty when the monitor is not
  /// served (off, detached, a bare repository or no companion in the
  /// prefix). The engine's own git gets them by itself.
  std::map<std::string, std::string> fsmonitorEnvironment() const;

  explicit GitRepositoryWatcher(std::shared_ptr<detail::GitRepositoryWatcherCore> core);

private:
  const std::shared_ptr<detail::GitRepositoryWatcherCore> core_;
};

} // namespace tavrik
