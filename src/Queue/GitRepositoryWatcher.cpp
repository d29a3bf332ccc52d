#include "tavrik/Queue/GitRepositoryWatcher.h"

#include "Process/FsmonitorBridge.h"
#include "Process/FsmonitorRendezvous.h"
#include "Process/UnixSocketServer.h"
#include "Queue/FsmonitorJournal.h"
#include "Queue/RefreshSchedule.h"
#include "Queue/WatchedPathAspects.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Operation/GitOperationContext.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Operation/GitQueueOperation.h"
#include "tavrik/State/GitExecCheckIgnoreOperation.h"
#include "tavrik/Util/Error.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace tavrik {
namespace detail {

namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_ATTRIB | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

const GitAspects kStatusAndSubmodules{GitAspects::status, GitAspects::submodules};

std::string joinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string path(folder);
  path.push_back('/');
  path.append(name);
  return path;
}

struct Entry {
  std::string name;
  bool isFolder;
};

// The entries of a folder, without "." and ".."; symbolic links are not
// folders here, so a link to a folder is never followed.
std::optional<std::vector<Entry>> listFolder(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return std::nullopt;
  std::vector<Entry> entries;
  while (auto* entry = readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info {};
      isFolder = fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
    }
    entries.push_back({std::string(name), isFolder});
  }
  closedir(dir);
  return entries;
}

// A folder holding a ".git" is another repository's working tree (a submodule).
bool holdsRepository(const std::vector<Entry>& entries) {
  return std::any_of(entries.begin(), entries.end(), [](const Entry& e) { return e.name == ".git"; });
}

struct Watch {
  WatchArea area;
  std::string path; // relative to the area's root, "" for the root
  bool inSubmodule = false;
};

// The inotify instance and its watches: which folder each watch descriptor
// stands for. Not thread-safe; the core's mutex guards it.
class WatchTable {
public:
  enum class AddResult { added, gone, limit };

  WatchTable() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), openError_(fd_ < 0 ? errno : 0) {}
  ~WatchTable() { close(); }
  WatchTable(const WatchTable&) = delete;
  WatchTable& operator=(const WatchTable&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int descriptor() const { return fd_; }
  int openError() const { return openError_; }
  size_t size() const { return watches_.size(); }
  size_t worktreeCount() const { return worktreeCount_; }
  bool contains(WatchArea area, const std::string& path) const { return byPath_.count(key(area, path)) != 0; }
  const Watch* find(int wd) const {
    auto it = watches_.find(wd);
    return it == watches_.end() ? nullptr : &it->second;
  }

  /// Watches the folder at `absolutePath`. A folder reached again (a rescan)
  /// keeps its watch.
  AddResult add(Watch watch, const std::string& absolutePath) {
    if (fd_ < 0) return AddResult::limit;
    int wd = inotify_add_watch(fd_, absolutePath.c_str(), kWatchMask);
    if (wd < 0) return errno == ENOSPC || errno == ENOMEM ? AddResult::limit : AddResult::gone;
    if (watches_.count(wd)) return AddResult::added;
    byPath_[key(watch.area, watch.path)] = wd;
    if (watch.area == WatchArea::worktree) ++worktreeCount_;
    watches_.emplace(wd, std::move(watch));
    return AddResult::added;
  }

  /// The kernel dropped the watch (its folder is gone).
  void forget(int wd) {
    auto it = watches_.find(wd);
    if (it == watches_.end()) return;
    byPath_.erase(key(it->second.area, it->second.path));
    if (it->second.area == WatchArea::worktree) --worktreeCount_;
    watches_.erase(it);
  }

  /// Removes the watches of `path` and the folders below it; with `path`
  /// absent, every watch of `area`.
  void remove(WatchArea area, const std::optional<std::string>& path) {
    std::vector<int> gone;
    std::string prefix = path ? *path + "/" : std::string();
    for (auto& [wd, watch] : watches_)
      if (watch.area == area && (!path || watch.path == *path || watch.path.starts_with(prefix))) gone.push_back(wd);
    for (int wd : gone) {
      inotify_rm_watch(fd_, wd);
      forget(wd);
    }
  }

  /// Reads every event the kernel has queued, without blocking.
  template <class Handle> void readEvents(Handle&& handle) {
    if (fd_ < 0) return;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      ssize_t length = read(fd_, buffer, sizeof buffer);
      if (length <= 0) return;
      for (char* p = buffer; p < buffer + length;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + event->len;
        handle(*event);
      }
    }
  }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    watches_.clear();
    byPath_.clear();
    worktreeCount_ = 0;
  }

private:
  static std::string key(WatchArea area, const std::string& path) {
    std::string key(1, static_cast<char>('0' + static_cast<int>(area)));
    key += path;
    return key;
  }

  int fd_;
  const int openError_;
  std::unordered_map<int, Watch> watches_;
  std::unordered_map<std::string, int> byPath_;
  size_t worktreeCount_ = 0;
};

// Which working-tree paths git ignores: the folders found ignored when the
// tree was last walked, the in-process rules for the quick answer of the
// usual case, and git itself for the last word. Confined to the thread that
// sets the watcher up and then to the watcher's own thread, so it takes no
// lock; its git runs block that thread.
class IgnoreFilter {
public:
  IgnoreFilter(std::weak_ptr<GitQueue> queue, const std::string& worktreeRoot) : queue_(std::move(queue)) {
    if (worktreeRoot.empty()) return;
    try {
      rules_ = arbor::Repo::openAtPath(worktreeRoot);
    } catch (...) {
      // Then git alone answers which changed files are ignored.
    }
  }

  /// Asks git which folders are ignored now.
  void rereadIgnoredFolders() {
    auto folders = run<GitExecIgnoredFoldersOperation>("could not list ignored folders", LogLevel::defaultLevel);
    // git lists a folder whose files all happen to be ignored too; a file
    // that is not ignored may still appear in it, so it needs its watch.
    auto ignored = ignoredAmong(folders);
    folders_ = std::unordered_set<std::string>(ignored.begin(), ignored.end());
  }
  bool isIgnoredFolder(const std::string& path) const { return folders_.count(path) != 0; }
  /// The ignored folders as the monitor reports them, with a trailing '/'.
  std::vector<std::string> ignoredFolderPaths() const {
    std::vector<std::string> paths;
    for (const auto& folder : folders_) paths.push_back(folder + "/");
    return paths;
  }

  /// The paths among `paths` that git ignores; none when git refuses one (a
  /// path inside a submodule, say).
  std::vector<std::string> ignoredAmong(const std::vector<std::string>& paths) const {
    if (paths.empty()) return {};
    return run<GitExecCheckIgnoreOperation>("ignore check failed", LogLevel::debug, paths);
  }

  /// Whether any of `paths` is not ignored. The in-process rules answer the
  /// usual case, a file that is not ignored, at once; git has the last word
  /// on the rest, since it also knows which of them are tracked (reading a
  /// large index costs a tenth of a second).
  bool anyNotIgnored(const std::vector<std::string>& paths) const {
    if (paths.empty()) return false;
    if (rules_ && std::any_of(paths.begin(), paths.end(),
                              [this](const std::string& path) { return rules_->ignoreRulesMatch(path) == false; }))
      return true;
    return ignoredAmong(paths).size() < paths.size();
  }

private:
  template <class Operation, class... Args>
  std::vector<std::string> run(const char* failure, LogLevel level, Args&&... args) const {
    auto queue = queue_.lock();
    if (!queue) return {};
    try {
      GitOperationContext context(queue);
      return makeOperation<Operation>(std::forward<Args>(args)...)->execute(context);
    } catch (...) {
      Log::defaultLog().log(level, "watcher: %s: %s", failure,
                            localizedDescription(std::current_exception()).c_str());
      return {};
    }
  }

  const std::weak_ptr<GitQueue> queue_;
  std::optional<arbor::Repo> rules_;
  std::unordered_set<std::string> folders_;
};

} // namespace

// Ties the parts together on its own thread: the watch table's events go
// through the path table into the schedule, and what the schedule says is
// due, less what git ignores, is asked of the queue.
//
// Lock order: the queue calls the run-observer members without its own locks
// held, and the core calls the queue (its refresh, git runs) only with mutex_
// released, so mutex_ never nests with a lock of the queue. The monitor's
// thread takes mutex_ alone.
class GitRepositoryWatcherCore : public GitQueueRunObserver,
                                 public std::enable_shared_from_this<GitRepositoryWatcherCore> {
public:
  GitRepositoryWatcherCore(const std::shared_ptr<GitQueue>& queue, GitRepositoryWatcherOptions options)
      : queue_(queue), descriptor_(*queue->descriptor()), options_(options),
        worktreeRoot_(descriptor_.worktreeURL() ? descriptor_.worktreeURL()->path() : std::string()),
        sharedGitDir_(descriptor_.gitURL.path() == descriptor_.commonURL.path()), ignores_(queue_, worktreeRoot_),
        schedule_(options), journal_(options.fsmonitorJournalCapacity) {
    // Made before the core is shared, so no lock guards the number.
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) throw TavrikError::fromErrno(errno, "eventfd");
  }

  ~GitRepositoryWatcherCore() override {
    if (wake_ >= 0) close(wake_);
    removeFsmonitorFiles();
  }

  void start() {
    {
      std::lock_guard lock(mutex_);
      if (!watches_.isOpen()) {
        Log::defaultLog().error("watcher: inotify is not available (%s); every aspect of %s is refreshed every %lld ms",
                                std::strerror(watches_.openError()), descriptor_.displayName.c_str(),
                                static_cast<long long>(options_.fallbackInterval.count()));
        gitFallback_ = true;
        worktreeFallback_ = true;
        schedule_.poll(GitAspects::all);
      } else {
        watchGitDirectories();
      }
    }
    if (!worktreeRoot_.empty() && !worktreeFallback_) {
      ignores_.rereadIgnoredFolders();
      std::lock_guard lock(mutex_);
      journal_.setUnwatchedFolders(ignores_.ignoredFolderPaths());
      addWorktreeTree("", false);
    }
    {
      // What changed while the tree was being walked is not known.
      std::lock_guard lock(mutex_);
      journal_.forgetAll();
    }
    if (options_.fsmonitor == GitFsmonitorMode::serve && !worktreeRoot_.empty()) startFsmonitor();
    // The thread keeps the core alive: a client may let the watcher go from
    // a callback on any thread.
    thread_ = std::thread([self = shared_from_this()] { self->loop(); });
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
    }
    signalWake();
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
      }
    }
    if (auto queue = queue_.lock()) queue->removeRunObserver(this);
    stopFsmonitor();
    std::lock_guard lock(mutex_);
    watches_.close();
  }

  std::map<std::string, std::string> fsmonitorEnvironment() const {
    std::lock_guard lock(mutex_);
    if (stopped_ || !endpoint_) return {};
    return {{kFsmonitorSocketVariable, endpoint_->socketPath}, {kFsmonitorTokenVariable, endpoint_->secret}};
  }

  bool isAttached() const {
    std::lock_guard lock(mutex_);
    return !stopped_;
  }

  GitRepositoryWatcher::Statistics statistics() const {
    std::lock_guard lock(mutex_);
    auto statistics = statistics_;
    statistics.watchedFolders = watches_.size();
    statistics.workingTreeFallback = worktreeFallback_;
    if (endpoint_) {
      statistics.pathLimitedStatusRuns = endpoint_->pathLimitedRuns;
      statistics.inProcessStatusRuns = endpoint_->inProcessRuns;
      statistics.wholeStatusRuns = endpoint_->wholeRuns;
    }
    return statistics;
  }

  void gitQueueOperationWillRun(GitQueue&) override {
    std::lock_guard lock(mutex_);
    schedule_.operationWillRun();
  }

  void gitQueueOperationDidRun(GitQueue&) override {
    {
      std::lock_guard lock(mutex_);
      schedule_.operationDidRun();
    }
    signalWake();
  }

  // A refresh asked for now reads the disk after every event the kernel has
  // queued so far: read them, and drop what the refresh covers.
  void gitQueueWillRefresh(GitQueue&, GitAspects aspects) override {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    drainEvents();
    schedule_.covered(aspects);
  }

private:
  // ---- watches (mutex_ held) ----

  std::string absolutePath(WatchArea area, const std::string& path) const {
    const std::string& root = area == WatchArea::worktree ? worktreeRoot_
                              : area == WatchArea::gitDir ? descriptor_.gitURL.path()
                                                          : descriptor_.commonURL.path();
    return path.empty() ? root : joinPath(root, path);
  }

  void watchGitDirectories() {
    addGitTree(WatchArea::gitDir, "");
    if (!sharedGitDir_) addGitTree(WatchArea::commonDir, "");
  }

  void addGitTree(WatchArea area, const std::string& path) {
    switch (watches_.add({area, path}, absolutePath(area, path))) {
    case WatchTable::AddResult::gone:
      return;
    case WatchTable::AddResult::limit:
      if (!gitFallback_) {
        gitFallback_ = true;
        // A submodule's repository could change unseen.
        journal_.setUnsure(true);
        schedule_.poll(GitAspects::all);
        Log::defaultLog().error("watcher: inotify's watch limit is reached in the git directory of %s; every aspect "
                                "is refreshed every %lld ms",
                                descriptor_.displayName.c_str(),
                                static_cast<long long>(options_.fallbackInterval.count()));
      }
      return;
    case WatchTable::AddResult::added:
      break;
    }
    auto entries = listFolder(absolutePath(area, path));
    if (!entries) return;
    for (auto& entry : *entries)
      if (entry.isFolder && watchesGitFolder(path, entry.name)) addGitTree(area, joinPath(path, entry.name));
  }

  // Walks a working-tree folder that is known not to be ignored, with the
  // ignored folders found at the last walk.
  void addWorktreeTree(const std::string& path, bool inSubmodule) {
    if (worktreeFallback_) return;
    auto entries = listFolder(absolutePath(WatchArea::worktree, path));
    if (!entries) return;
    if (!path.empty() && holdsRepository(*entries)) inSubmodule = true;
    if (!addWorktreeWatch(path, inSubmodule)) return;
    for (auto& entry : *entries) {
      if (!entry.isFolder || entry.name == ".git") continue;
      auto child = joinPath(path, entry.name);
      if (!ignores_.isIgnoredFolder(child)) addWorktreeTree(child, inSubmodule);
    }
  }

  bool addWorktreeWatch(const std::string& path, bool inSubmodule) {
    if (options_.maximumWatches && watches_.worktreeCount() >= options_.maximumWatches) {
      enterWorktreeFallback();
      return false;
    }
    switch (watches_.add({WatchArea::worktree, path, inSubmodule}, absolutePath(WatchArea::worktree, path))) {
    case WatchTable::AddResult::added:
      return true;
    case WatchTable::AddResult::gone:
      return false;
    case WatchTable::AddResult::limit:
      enterWorktreeFallback();
      return false;
    }
    return false;
  }

  void enterWorktreeFallback() {
    if (worktreeFallback_) return;
    worktreeFallback_ = true;
    journal_.setUnsure(true);
    Log::defaultLog().error("watcher: the working tree of %s has more folders than inotify may watch (%zu watched); "
                            "its status is refreshed every %lld ms instead",
                            descriptor_.displayName.c_str(), watches_.worktreeCount(),
                            static_cast<long long>(options_.fallbackInterval.count()));
    watches_.remove(WatchArea::worktree, std::nullopt);
    newFolders_.clear();
    schedule_.poll(kStatusAndSubmodules);
    // What happened while the limit was being reached may be missed.
    schedule_.noteChange(kStatusAndSubmodules);
  }

  // ---- events (mutex_ held) ----

  void drainEvents() {
    watches_.readEvents([this](const inotify_event& event) { handleEvent(event); });
  }

  void handleEvent(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      ++statistics_.overflows;
      journal_.forgetAll();
      schedule_.noteChange(GitAspects::all);
      needsRescan_ = true;
      return;
    }
    const Watch* found = watches_.find(event.wd);
    if (!found) return;
    if (event.mask & IN_IGNORED) {
      watches_.forget(event.wd);
      return;
    }
    // A copy: removing a moved folder's watches may remove this one.
    const Watch watch = *found;
    std::string name = event.len ? std::string(event.name) : std::string();
    if (name.empty()) return;
    std::string path = joinPath(watch.path, name);
    const bool isFolder = event.mask & IN_ISDIR;
    const bool appeared = event.mask & (IN_CREATE | IN_MOVED_TO);
    // A folder moved away keeps its watches under the old names: drop them,
    // the new place is watched afresh when it shows up.
    if (isFolder && (event.mask & IN_MOVED_FROM)) watches_.remove(watch.area, path);

    if (watch.area != WatchArea::worktree) {
      if (isFolder && appeared && watchesGitFolder(watch.path, name)) addGitTree(watch.area, path);
      // A submodule's commit or checkout changes what its folder's entry in
      // the index compares to.
      if (path.starts_with("modules/") || path == "modules") journal_.forgetAll();
      // The index, HEAD, refs or configuration: status may change beyond the
      // changed files.
      journal_.barrier();
      schedule_.noteChange(gitDirectoryChangeAspects(watch.area, path, sharedGitDir_));
      return;
    }
    if (!isFolder || (event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)))
      recordChange(path, isFolder, watch.inSubmodule);
    auto change = worktreeChange(watch.path, name, watch.inSubmodule, isFolder && appeared);
    schedule_.noteChange(change.aspects);
    if (change.candidate) schedule_.noteCandidate(path);
    if (change.rereadIgnores) needsRescan_ = true;
    if (isFolder && appeared && !worktreeFallback_ && name != ".git")
      newFolders_.push_back({path, watch.inSubmodule});
  }

  // ---- the thread ----

  void loop() {
    for (;;) {
      int timeout = -1;
      {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        timeout = nextTimeout();
      }
      pollfd fds[2] = {{wake_, POLLIN, 0}, {watches_.descriptor(), POLLIN, 0}};
      poll(fds, watches_.isOpen() ? 2 : 1, timeout);
      uint64_t ignored;
      if (read(wake_, &ignored, sizeof ignored) < 0) {
        // Nothing to clear: the wake-up came from inotify or the timeout.
      }
      {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        drainEvents();
      }
      watchNewFolders();
      rescanIfNeeded();
      refreshIfDue();
    }
  }

  // Milliseconds until something is due; -1 while nothing is, so an idle
  // watcher costs nothing.
  int nextTimeout() const {
    if (needsRescan_ || !newFolders_.empty()) return 0;
    auto wait = schedule_.timeUntilDue();
    if (!wait) return -1;
    return static_cast<int>(std::min<long long>(wait->count(), 60 * 60 * 1000));
  }

  // New working-tree folders get a watch unless git ignores them; their
  // files were possibly written before the watch, so they count as changed.
  void watchNewFolders() {
    for (;;) {
      std::vector<std::pair<std::string, bool>> folders;
      {
        std::lock_guard lock(mutex_);
        if (stopped_ || worktreeFallback_) return;
        folders.swap(newFolders_);
        foldersInFlight_.clear();
        for (auto& folder : folders) foldersInFlight_.push_back(folder.first + "/");
      }
      if (folders.empty()) return;
      std::vector<std::string> paths;
      for (auto& folder : folders) paths.push_back(folder.first);
      auto ignored = ignores_.ignoredAmong(paths);
      std::unordered_set<std::string> ignoredSet(ignored.begin(), ignored.end());
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      // Recorded below, with what the folders hold, before the lock is let go.
      foldersInFlight_.clear();
      for (auto& [path, inSubmodule] : folders) {
        // git may track files inside an ignored folder: it checks them
        // itself, the folder being reported in every answer.
        if (ignoredSet.count(path)) journal_.addUnwatchedFolder(path + "/");
        if (ignoredSet.count(path) || watches_.contains(WatchArea::worktree, path)) continue;
        auto entries = listFolder(absolutePath(WatchArea::worktree, path));
        if (!entries) continue;
        bool submodule = inSubmodule || holdsRepository(*entries);
        if (!addWorktreeWatch(path, submodule)) {
          if (worktreeFallback_) return;
          continue;
        }
        // A token handed out before the watch cannot know what was removed
        // in between: the whole folder counts as changed.
        recordChange(path, true, submodule);
        for (auto& entry : *entries) {
          if (entry.name == ".git") continue;
          auto child = joinPath(path, entry.name);
          // Written before the watch, so possibly unseen by git yet.
          recordChange(child, entry.isFolder, submodule);
          if (entry.isFolder) {
            newFolders_.push_back({child, submodule});
          } else if (submodule) {
            schedule_.noteChange(kStatusAndSubmodules);
          } else {
            schedule_.noteCandidate(child);
          }
        }
      }
    }
  }

  // After an overflow or a change of the ignore rules: every folder that
  // should have a watch gets one (those already watched keep theirs).
  void rescanIfNeeded() {
    {
      std::lock_guard lock(mutex_);
      if (!needsRescan_ || stopped_) return;
      needsRescan_ = false;
      rescanning_ = true;
    }
    if (!worktreeRoot_.empty()) ignores_.rereadIgnoredFolders();
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    if (!gitFallback_) watchGitDirectories();
    if (!worktreeRoot_.empty()) {
      journal_.setUnwatchedFolders(ignores_.ignoredFolderPaths());
      addWorktreeTree("", false);
    }
    // Folders that were not watched until now may have changed unseen.
    journal_.forgetAll();
    rescanning_ = false;
  }

  // ---- git's file-system monitor ----

  // mutex_ held. Paths inside a submodule also name their ancestors, the
  // submodule's own folder among them: git compares that entry only when
  // told it changed.
  void recordChange(const std::string& path, bool isFolder, bool inSubmodule) {
    // git refuses a path inside a submodule as a pathspec.
    if (inSubmodule) journal_.barrier();
    if (inSubmodule)
      for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        journal_.record(path.substr(0, slash));
    journal_.record(isFolder ? path + "/" : path);
  }

  void startFsmonitor() {
    auto queue = queue_.lock();
    auto bin = queue ? queue->binURL() : std::nullopt;
    if (!bin) return;
    const std::string companion = bin->path() + "/fsmonitor";
    if (::access(companion.c_str(), X_OK) != 0) {
      Log::defaultLog().info("watcher: no %s; git checks the whole working tree of %s itself", companion.c_str(),
                             descriptor_.displayName.c_str());
      return;
    }
    try {
      auto endpoint = std::make_shared<FsmonitorEndpoint>();
      endpoint->companionPath = companion;
      endpoint->secret = randomToken();
      fsmonitorFolder_ = makeBridgeFolder("fsmonitor");
      endpoint->socketPath = fsmonitorFolder_ + "/socket";
      endpoint->privateIndexPath = fsmonitorFolder_ + "/index";
      endpoint->exactChanges = [weak = weak_from_this()](std::string_view since) {
        auto self = weak.lock();
        return self ? self->exactChanges(since) : FsmonitorEndpoint::ExactChanges{};
      };
      listenAt(endpoint->socketPath, listener_);
      if (::pipe2(serverWake_, O_CLOEXEC) != 0) throw TavrikError::fromErrno(errno, "pipe2");
      {
        std::lock_guard lock(mutex_);
        endpoint_ = endpoint;
      }
      server_ = std::thread([self = shared_from_this()] {
        serveConnections(self->listener_, self->serverWake_[0],
                         [&self](int connection) { self->answerFsmonitor(connection); });
      });
      registerFsmonitorEndpoint(worktreeRoot_, endpoint);
      publishRendezvous(*endpoint);
    } catch (...) {
      Log::defaultLog().error("watcher: cannot serve git's file-system monitor for %s: %s",
                              descriptor_.displayName.c_str(),
                              localizedDescription(std::current_exception()).c_str());
      std::lock_guard lock(mutex_);
      endpoint_.reset();
    }
  }

  // Lets a user's own git find this watcher. Without it only the terminal
  // loses speed, so a failure is logged, not thrown.
  void publishRendezvous(const FsmonitorEndpoint& endpoint) {
    namespace rendezvous = detail::rendezvous;
    auto worktree = realPath(worktreeRoot_);
    if (!worktree) return;
    if (::mkdir(rendezvous::folder().c_str(), 0700) != 0 && errno != EEXIST) return;
    if (!rendezvous::folderIsPrivate()) {
      Log::defaultLog().error("watcher: %s is not a private folder of this user; a terminal's git cannot ask the watcher",
                              rendezvous::folder().c_str());
      return;
    }
    removeStaleRendezvous();
    try {
      auto content = rendezvous::content(*worktree, endpoint.socketPath, endpoint.secret);
      writeFileAtomically(rendezvous::fileFor(*worktree), content);
      rendezvousFile_ = rendezvous::fileFor(*worktree);
      rendezvousContent_ = std::move(content);
    } catch (const std::exception& error) {
      Log::defaultLog().error("watcher: cannot publish the monitor of %s: %s", worktree->c_str(), error.what());
    }
  }

  // The files of watchers whose process was killed: their socket is gone
  // with their bridge folder.
  static void removeStaleRendezvous() {
    const std::string folder = detail::rendezvous::folder();
    DIR* listing = ::opendir(folder.c_str());
    if (!listing) return;
    while (const dirent* entry = ::readdir(listing)) {
      if (entry->d_name[0] == '.') continue;
      const std::string file = folder + "/" + entry->d_name;
      try {
        auto content = readFileIfExists(file);
        size_t socket = content ? content->find('\0') : std::string::npos;
        size_t end = socket == std::string::npos ? socket : content->find('\0', socket + 1);
        if (end != std::string::npos && ::access(content->substr(socket + 1, end - socket - 1).c_str(), F_OK) != 0)
          ::unlink(file.c_str());
      } catch (const std::exception&) {
      }
    }
    ::closedir(listing);
  }

  // Only this watcher's file: another client may have taken the working tree over.
  void withdrawRendezvous() {
    if (rendezvousFile_.empty()) return;
    try {
      if (readFileIfExists(rendezvousFile_) == rendezvousContent_) ::unlink(rendezvousFile_.c_str());
    } catch (const std::exception&) {
    }
    rendezvousFile_.clear();
  }

  void answerFsmonitor(int connection) {
    // The companion sends at once; git must never wait on a stuck client.
    std::string request = readRequest(connection, serverWake_[0], std::chrono::milliseconds(1000));
    size_t secretEnd = request.find('\0');
    size_t tokenEnd = secretEnd == std::string::npos ? secretEnd : request.find('\0', secretEnd + 1);
    std::string secret;
    {
      std::lock_guard lock(mutex_);
      if (endpoint_) secret = endpoint_->secret;
    }
    if (tokenEnd == std::string::npos || secret.empty() ||
        !sameText(std::string_view(request).substr(0, secretEnd), secret)) {
      writeAll(connection, "error: refused: wrong token\n");
      return;
    }
    std::string_view token = std::string_view(request).substr(secretEnd + 1, tokenEnd - secretEnd - 1);
    std::string reply;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      // Everything the kernel has queued happened before git asked.
      drainEvents();
      auto answer = journal_.changedSince(token);
      // Folders not watched yet may hold what changed.
      if (rescanning_) answer.paths.reset();
      // A folder that appeared is not watched until the watcher's thread
      // gets to it: what happens inside it meanwhile leaves no event.
      if (answer.paths) {
        for (const auto& folder : newFolders_) answer.paths->push_back(folder.first + "/");
        answer.paths->insert(answer.paths->end(), foldersInFlight_.begin(), foldersInFlight_.end());
      }
      ++statistics_.fsmonitorAnswers;
      if (!answer.paths) ++statistics_.fsmonitorFullAnswers;
      reply = "ok\n" + FsmonitorJournal::encode(answer);
    }
    // The events read here may have folders to watch or refreshes to plan.
    signalWake();
    writeAll(connection, reply);
  }

  FsmonitorEndpoint::ExactChanges exactChanges(std::string_view since) {
    FsmonitorEndpoint::ExactChanges changes;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return changes;
      // Everything the kernel has queued happened before the question.
      drainEvents();
      changes.token = journal_.currentToken();
      changes.unwatchedFolders = journal_.unwatchedFolders();
      // A folder not watched yet, or ignore rules not yet read again, may
      // hide changes.
      if (newFolders_.empty() && foldersInFlight_.empty() && !rescanning_ && !needsRescan_) changes.paths = journal_.exactPathsSince(since);
    }
    signalWake();
    return changes;
  }

  void stopFsmonitor() {
    std::shared_ptr<FsmonitorEndpoint> endpoint;
    {
      std::lock_guard lock(mutex_);
      endpoint = std::move(endpoint_);
    }
    if (endpoint) unregisterFsmonitorEndpoint(worktreeRoot_, endpoint.get());
    withdrawRendezvous();
    if (serverWake_[1] >= 0) {
      char byte = 0;
      while (::write(serverWake_[1], &byte, 1) < 0 && errno == EINTR) {
      }
    }
    if (server_.joinable()) {
      if (server_.get_id() == std::this_thread::get_id())
        server_.detach();
      else
        server_.join();
    }
    removeFsmonitorFiles();
  }

  // Safe to repeat; the destructor's call covers a start that failed halfway.
  void removeFsmonitorFiles() {
    if (fsmonitorFolder_.empty()) return;
    for (const char* name : {"/index", "/index.lock", "/index.new"}) ::unlink((fsmonitorFolder_ + name).c_str());
    closeAndRemove({&listener_, &serverWake_[0], &serverWake_[1]}, fsmonitorFolder_ + "/socket", fsmonitorFolder_);
    fsmonitorFolder_.clear();
  }

  void refreshIfDue() {
    RefreshSchedule::Due due;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      due = schedule_.takeDue();
    }
    GitAspects aspects = due.aspects;
    // Changes to files git ignores (build output next to the sources) do not
    // count.
    if (!aspects.contains(GitAspects::status) && ignores_.anyNotIgnored(due.candidates))
      aspects.insert(GitAspects::status);
    // Not aspects of the disk; and a log-descriptor change would call the
    // observers right here, on this thread.
    aspects.remove(GitAspects{GitAspects::queueTasks, GitAspects::logDescriptor});
    if (aspects.isEmpty()) return;
    auto queue = queue_.lock();
    if (!queue) return;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      ++statistics_.refreshes;
      statistics_.refreshedAspects.insert(aspects);
    }
    queue->updateViewFor(aspects);
  }

  void signalWake() {
    uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
      // The counter is full: a wake-up is pending anyway.
    }
  }

  const std::weak_ptr<GitQueue> queue_;
  const GitRepositoryDescriptor descriptor_;
  const GitRepositoryWatcherOptions options_;
  const std::string worktreeRoot_; // empty for a bare repository
  const bool sharedGitDir_;
  int wake_ = -1; // an eventfd; lives as long as the core
  std::thread thread_;
  IgnoreFilter ignores_; // no lock: see IgnoreFilter for its thread

  mutable std::mutex mutex_; // guards everything below
  bool stopped_ = false;
  WatchTable watches_;
  RefreshSchedule schedule_;
  // Working-tree folders that appeared, with whether they are in a
  // submodule, to be watched unless ignored.
  std::vector<std::pair<std::string, bool>> newFolders_;
  // Between taking folders off `newFolders_` (or starting a rescan) and
  // watching them: changes inside them leave no event yet.
  std::vector<std::string> foldersInFlight_; // with their '/'
  bool rescanning_ = false;
  bool needsRescan_ = false;
  bool worktreeFallback_ = false;
  bool gitFallback_ = false;
  GitRepositoryWatcher::Statistics statistics_;
  FsmonitorJournal journal_;
  std::shared_ptr<FsmonitorEndpoint> endpoint_; // set while the monitor is served

  // The monitor's server: set up by start(), closed by stop() after its
  // thread has ended, so they need no lock.
  std::string fsmonitorFolder_;
  std::string rendezvousFile_, rendezvousContent_; // what publishRendezvous wrote
  int listener_ = -1;
  int serverWake_[2] = {-1, -1};
  std::thread server_;
};

} // namespace detail

std::shared_ptr<GitRepositoryWatcher> GitRepositoryWatcher::attach(const std::shared_ptr<GitQueue>& queue,
                                                                   GitRepositoryWatcherOptions options) {
  if (!queue || !queue->descriptor()) throw TavrikError::invalidRepository();
  auto core = std::make_shared<detail::GitRepositoryWatcherCore>(queue, options);
  // Observing first: a run that starts during the set-up is counted.
  queue->addRunObserver(core);
  try {
    core->start();
  } catch (...) {
    queue->removeRunObserver(core.get());
    throw;
  }
  return std::make_shared<GitRepositoryWatcher>(std::move(core));
}

GitRepositoryWatcher::GitRepositoryWatcher(std::shared_ptr<detail::GitRepositoryWatcherCore> core)
    : core_(std::move(core)) {}

GitRepositoryWatcher::~GitRepositoryWatcher() { detach(); }

void GitRepositoryWatcher::detach() { core_->stop(); }

bool GitRepositoryWatcher::isAttached() const { return core_->isAttached(); }

GitRepositoryWatcher::Statistics GitRepositoryWatcher::statistics() const { return core_->statistics(); }

std::map<std::string, std::string> GitRepositoryWatcher::fsmonitorEnvironment() const {
  return core_->fsmonitorEnvironment();
}

} // namespace tavrik
