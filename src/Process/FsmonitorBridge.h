// How the engine's own git reaches a watcher's file-system monitor. The
// watcher (Queue layer) registers an endpoint per working tree while it is
// attached; a git run that refreshes the index (the status reader) asks
// `monitoredRun` for the extra configuration and environment, and runs
// plainly when there is none.
//
// Where the monitor's token and git's untracked cache live. git keeps both
// in the index and writes them only when it writes the index; the engine's
// readers run with GIT_OPTIONAL_LOCKS=0 so that they never hold the
// repository's index.lock while the user's own git wants it (a commit in a
// terminal would fail on it). A monitored run therefore never touches the
// repository's index: it uses a private copy (GIT_INDEX_FILE in the
// endpoint's private folder) and is free to write that one, token and cache
// included, taking only the private copy's lock. The copy is made again
// whenever the repository's index changes (its size, inode, modification
// time or trailing checksum differ from those the copy was made from): the
// entries, the staged state, are then the repository's, and what the copy
// adds (refreshed file times, the FSMN token, the UNTR cache) only saves git
// work. After such a change the first monitored run starts from the
// repository's own token (usually none: everything is checked once) and
// the runs after it are fast again. The repository's index is read, never
// written, so no user's git can fail on index.lock because of it, and the
// extensions in it are never dropped.
#pragma once

#include "tavrik/Operation/GitRepositoryDescriptor.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik::detail {

/// The environment variables the fsmonitor companion reads.
inline constexpr const char* kFsmonitorSocketVariable = "TAVRIK_FSMONITOR_SOCKET";
inline constexpr const char* kFsmonitorTokenVariable = "TAVRIK_FSMONITOR_TOKEN";

struct FsmonitorEndpoint {
  std::string companionPath; // the prefix's bin/fsmonitor
  std::string socketPath;
  std::string secret;           // the one-time token the companion brings
  std::string privateIndexPath; // in the endpoint's private folder

  /// What a copy of the repository's index was made from.
  struct IndexIdentity {
    // The change time too: an index whose times were set back to the same
    // values may have become racy again, which only a fresh copy keeps.
    long long size = -1, modifiedNanoseconds = 0, changedNanoseconds = 0;
    unsigned long long inode = 0;
    std::string trailer;
    bool operator==(const IndexIdentity&) const = default;
  };
  std::mutex copyLock; // guards copiedFrom and the private index's replacement
  std::optional<IndexIdentity> copiedFrom;

  /// What the watcher can vouch for since a token.
  struct ExactChanges {
    std::string token; // stands for now; empty once the watcher is gone
    /// The files changed since, relative to the working tree; nullopt when
    /// something else changed too or the watcher cannot tell.
    std::optional<std::vector<std::string>> paths;
    /// Folders the watcher does not look into ("build/"): anything tracked in
    /// them may have changed.
    std::vector<std::string> unwatchedFolders;
  };
  /// Set by the watcher before the endpoint is registered, never changed
  /// after. Takes the watcher's lock; lock order: a queue's index lock (the
  /// status reader holds it), then the watcher's lock; never `memoLock`.
  std::function<ExactChanges(std::string_view since)> exactChanges;

  std::mutex memoLock; // guards statusMemo; taken alone
  /// The status reader's own record of the last list it read; opaque here.
  std::shared_ptr<const void> statusMemo;
  /// Monitored status runs limited to the changed paths, and whole ones;
  /// of the limited ones, those answered without running git status.
  std::atomic<size_t> pathLimitedRuns{0}, wholeRuns{0}, inProcessRuns{0};
};

/// The endpoint serving the working tree of `descriptor`; null when none does.
std::shared_ptr<FsmonitorEndpoint> fsmonitorEndpoint(const GitRepositoryDescriptor& descriptor);

/// Makes `endpoint` the one for the working tree at `worktreeRoot`,
/// replacing any other.
void registerFsmonitorEndpoint(const std::string& worktreeRoot, std::shared_ptr<FsmonitorEndpoint> endpoint);
/// Removes `endpoint` if it is still the one registered for `worktreeRoot`.
void unregisterFsmonitorEndpoint(const std::string& worktreeRoot, const FsmonitorEndpoint* endpoint);

struct MonitoredRun {
  /// "-c", "core.fsmonitor=...", ...: global options, before the command.
  std::vector<std::string> configArguments;
  /// GIT_INDEX_FILE, GIT_OPTIONAL_LOCKS=1 and the companion's variables.
  std::map<std::string, std::string> environment;
};

/// The monitored form of a run in the working tree of `descriptor`, with
/// the private index brought up to date; nullopt when no watcher serves it,
/// the repository has no index yet or the copy cannot be made (then git
/// runs as it would without a watcher). Blocks while a changed index is
/// copied. Any thread; never throws.
std::optional<MonitoredRun> monitoredRun(const GitRepositoryDescriptor& descriptor);

} // namespace tavrik::detail
