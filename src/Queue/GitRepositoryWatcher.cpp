#include "tavrik/Queue/GitRepositoryWatcher.h"

#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Queue/GitOperationContext.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Queue/GitQueueOperation.h"
#include "tavrik/State/GitExecCheckIgnoreOperation.h"
#include "tavrik/State/GitStateFile.h"
#include "tavrik/Util/Error.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
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

using Clock = std::chrono::steady_clock;

enum class Area : uint8_t { worktree, gitDir, commonDir };

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_ATTRIB | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

// Beyond this many changed paths the ignore check costs more than the
// refresh it might save.
constexpr size_t kMaximumCandidates = 20000;

std::string joinPath(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string path(folder);
  path.push_back('/');
  path.append(name);
  return path;
}

std::string_view firstComponent(std::string_view path) { return path.substr(0, path.find('/')); }

bool isStateMarker(std::string_view name) {
  static const std::unordered_set<std::string> markers = [] {
    std::unordered_set<std::string> names{"MERGE_HEAD", "MERGE_MODE", "CHERRY_PICK_HEAD", "REVERT_HEAD",
                                          "BISECT_START", "BISECT_TERMS", "BISECT_EXPECTED_REV"};
    for (auto type : kAllGitStateFileTypes) {
      std::string raw(rawValue(type));
      if (!raw.empty() && raw.back() == '/') raw.pop_back();
      names.insert(raw.substr(0, raw.find('/')));
    }
    return names;
  }();
  return markers.count(std::string(name)) != 0;
}

// The git-directory folders worth a watch; the object database, hooks and
// linked worktrees' folders are not.
bool watchesGitFolder(std::string_view parent, std::string_view name) {
  if (parent.empty())
    return name == "refs" || name == "logs" || name == "info" || name == "modules" || name == "rebase-merge" ||
           name == "rebase-apply" || name == "sequencer";
  if (firstComponent(parent) == "modules") return name != "objects" && name != "hooks";
  return true;
}

struct Watch {
  Area area;
  std::string path; // relative to the area's root, "" for the root
  bool inSubmodule = false;
};

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

} // namespace

class GitRepositoryWatcherCore : public GitQueueRunObserver,
                                 public std::enable_shared_from_this<GitRepositoryWatcherCore> {
public:
  GitRepositoryWatcherCore(const std::shared_ptr<GitQueue>& queue, GitRepositoryWatcherOptions options)
      : queue_(queue), descriptor_(*queue->descriptor()), options_(options) {
    if (auto worktree = descriptor_.worktreeURL()) worktreeRoot_ = worktree->path();
    sharedGitDir_ = descriptor_.gitURL.path() == descriptor_.commonURL.path();
    // Both made before the core is shared, so no lock guards the numbers.
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) throw TavrikError::fromErrno(errno, "eventfd");
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotifyError_ = inotify_ < 0 ? errno : 0;
  }

  ~GitRepositoryWatcherCore() override {
    closeDescriptors();
    if (wake_ >= 0) close(wake_);
  }

  void start() {
    {
      std::lock_guard lock(mutex_);
      if (inotify_ < 0) {
        Log::defaultLog().error("watcher: inotify is not available (%s); every aspect of %s is refreshed every %lld ms",
                                std::strerror(inotifyError_), descriptor_.displayName.c_str(),
                                static_cast<long long>(options_.fallbackInterval.count()));
        gitFallback_ = true;
        worktreeFallback_ = true;
      } else {
        watchGitDirectories();
      }
    }
    if (!worktreeRoot_.empty()) {
      try {
        ignoreRules_ = arbor::Repo::openAtPath(worktreeRoot_);
      } catch (...) {
        // Then git alone answers which changed files are ignored.
      }
    }
    if (!worktreeRoot_.empty() && !worktreeFallback_) {
      auto ignored = ignoredFolders();
      std::lock_guard lock(mutex_);
      ignoredFolders_ = std::unordered_set<std::string>(ignored.begin(), ignored.end());
      addWorktreeTree("", false);
    }
    nextFallback_ = Clock::now() + options_.fallbackInterval;
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
    std::lock_guard lock(mutex_);
    closeDescriptors();
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
    return statistics;
  }

  void gitQueueOperationWillRun(GitQueue&) override {
    std::lock_guard lock(mutex_);
    ++activeRuns_;
  }

  void gitQueueOperationDidRun(GitQueue&) override {
    {
      std::lock_guard lock(mutex_);
      if (activeRuns_ > 0) --activeRuns_;
    }
    signalWake();
  }

  // A refresh asked for now reads the disk after every event the kernel has
  // queued so far: read them, and drop what the refresh covers.
  void gitQueueWillRefresh(GitQueue&, GitAspects aspects) override {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    drainEvents();
    pending_.subtract(aspects);
    if (aspects.contains(GitAspects::status)) candidates_.clear();
    if (pending_.isEmpty() && candidates_.empty()) firstChange_.reset();
  }

private:
  // ---- watches (mutex_ held) ----

  std::string absolutePath(Area area, const std::string& path) const {
    const std::string& root = area == Area::worktree ? worktreeRoot_
                              : area == Area::gitDir ? descriptor_.gitURL.path()
                                                     : descriptor_.commonURL.path();
    return path.empty() ? root : joinPath(root, path);
  }

  static std::string key(Area area, const std::string& path) {
    std::string key(1, static_cast<char>('0' + static_cast<int>(area)));
    key += path;
    return key;
  }

  enum class AddResult { added, gone, limit };

  AddResult addWatch(Area area, const std::string& path, bool inSubmodule) {
    if (inotify_ < 0) return AddResult::limit;
    if (area == Area::worktree && options_.maximumWatches && worktreeWatches_ >= options_.maximumWatches)
      return AddResult::limit;
    int wd = inotify_add_watch(inotify_, absolutePath(area, path).c_str(), kWatchMask);
    if (wd < 0) return errno == ENOSPC || errno == ENOMEM ? AddResult::limit : AddResult::gone;
    auto [it, inserted] = watches_.try_emplace(wd, Watch{area, path, inSubmodule});
    if (!inserted) {
      // The same folder reached again (a rescan): the watch is kept.
      return AddResult::added;
    }
    byPath_[key(area, path)] = wd;
    if (area == Area::worktree) ++worktreeWatches_;
    return AddResult::added;
  }

  void forgetWatch(int wd) {
    auto it = watches_.find(wd);
    if (it == watches_.end()) return;
    byPath_.erase(key(it->second.area, it->second.path));
    if (it->second.area == Area::worktree) --worktreeWatches_;
    watches_.erase(it);
  }

  // A folder moved away keeps its watches under the old names: drop them,
  // the new place is watched afresh when it shows up.
  void removeSubtree(Area area, const std::string& path) {
    std::vector<int> gone;
    std::string prefix = path + "/";
    for (auto& [wd, watch] : watches_)
      if (watch.area == area && (watch.path == path || watch.path.starts_with(prefix))) gone.push_back(wd);
    for (int wd : gone) {
      inotify_rm_watch(inotify_, wd);
      forgetWatch(wd);
    }
  }

  void watchGitDirectories() {
    addGitTree(Area::gitDir, "");
    if (!sharedGitDir_) addGitTree(Area::commonDir, "");
  }

  void addGitTree(Area area, const std::string& path) {
    switch (addWatch(area, path, false)) {
    case AddResult::gone:
      return;
    case AddResult::limit:
      if (!gitFallback_) {
        gitFallback_ = true;
        Log::defaultLog().error("watcher: inotify's watch limit is reached in the git directory of %s; every aspect "
                                "is refreshed every %lld ms",
                                descriptor_.displayName.c_str(),
                                static_cast<long long>(options_.fallbackInterval.count()));
      }
      return;
    case AddResult::added:
      break;
    }
    auto entries = listFolder(absolutePath(area, path));
    if (!entries) return;
    for (auto& entry : *entries)
      if (entry.isFolder && watchesGitFolder(path, entry.name)) addGitTree(area, joinPath(path, entry.name));
  }

  // Walks a working-tree folder that is known not to be ignored, with the
  // ignored folders found at set-up.
  void addWorktreeTree(const std::string& path, bool inSubmodule) {
    if (worktreeFallback_) return;
    auto entries = listFolder(absolutePath(Area::worktree, path));
    if (!entries) return;
    if (!path.empty() && holdsRepository(*entries)) inSubmodule = true;
    if (!addWorktreeWatch(path, inSubmodule)) return;
    for (auto& entry : *entries) {
      if (!entry.isFolder || entry.name == ".git") continue;
      auto child = joinPath(path, entry.name);
      if (!ignoredFolders_.count(child)) addWorktreeTree(child, inSubmodule);
    }
  }

  bool addWorktreeWatch(const std::string& path, bool inSubmodule) {
    switch (addWatch(Area::worktree, path, inSubmodule)) {
    case AddResult::added:
      return true;
    case AddResult::gone:
      return false;
    case AddResult::limit:
      enterWorktreeFallback();
      return false;
    }
    return false;
  }

  void enterWorktreeFallback() {
    if (worktreeFallback_) return;
    worktreeFallback_ = true;
    Log::defaultLog().error("watcher: the working tree of %s has more folders than inotify may watch (%zu watched); "
                            "its status is refreshed every %lld ms instead",
                            descriptor_.displayName.c_str(), worktreeWatches_,
                            static_cast<long long>(options_.fallbackInterval.count()));
    std::vector<int> worktree;
    for (auto& [wd, watch] : watches_)
      if (watch.area == Area::worktree) worktree.push_back(wd);
    for (int wd : worktree) {
      inotify_rm_watch(inotify_, wd);
      forgetWatch(wd);
    }
    newFolders_.clear();
    // What happened while the limit was being reached may be missed.
    noteChange(GitAspects{GitAspects::status, GitAspects::submodules});
  }

  // ---- events (mutex_ held) ----

  void noteChange(GitAspects aspects) {
    if (aspects.isEmpty()) return;
    pending_.insert(aspects);
    touch();
  }

  void noteCandidate(std::string path) {
    if (candidates_.size() >= kMaximumCandidates) {
      pending_.insert(GitAspects::status);
    } else {
      candidates_.insert(std::move(path));
    }
    touch();
  }

  void touch() {
    auto now = Clock::now();
    lastChange_ = now;
    if (!firstChange_) firstChange_ = now;
  }

  void drainEvents() {
    if (inotify_ < 0) return;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      ssize_t length = read(inotify_, buffer, sizeof buffer);
      if (length <= 0) return;
      for (char* p = buffer; p < buffer + length;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + event->len;
        handleEvent(*event);
      }
    }
  }

  void handleEvent(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      ++statistics_.overflows;
      noteChange(GitAspects::all);
      needsRescan_ = true;
      return;
    }
    auto it = watches_.find(event.wd);
    if (it == watches_.end()) return;
    if (event.mask & IN_IGNORED) {
      forgetWatch(event.wd);
      return;
    }
    const Watch& watch = it->second;
    std::string name = event.len ? std::string(event.name) : std::string();
    if (name.empty()) return;
    std::string path = joinPath(watch.path, name);
    const bool isFolder = event.mask & IN_ISDIR;
    const bool appeared = event.mask & (IN_CREATE | IN_MOVED_TO);
    if (isFolder && (event.mask & IN_MOVED_FROM)) removeSubtree(watch.area, path);

    if (watch.area == Area::worktree) {
      handleWorktreeEvent(watch, name, path, isFolder, appeared);
      return;
    }
    if (isFolder && appeared && watchesGitFolder(watch.path, name)) addGitTree(watch.area, path);
    noteChange(gitAspects(watch.area, path));
  }

  void handleWorktreeEvent(const Watch& watch, const std::string& name, const std::string& path, bool isFolder,
                           bool appeared) {
    if (name == ".git") {
      // The repository's own git directory (or a linked worktree's link).
      if (watch.path.empty()) return;
      // A repository made or removed inside the tree: its folder is another
      // repository's now; status shows it differently.
      noteChange(GitAspects{GitAspects::status, GitAspects::submodules});
      return;
    }
    if (name == ".gitmodules.lock") return;
    if (watch.inSubmodule) {
      noteChange(GitAspects{GitAspects::status, GitAspects::submodules});
    } else if (name == ".gitignore") {
      noteChange(GitAspects::status);
      needsRescan_ = true;
    } else if (path == ".gitmodules") {
      noteChange(GitAspects{GitAspects::status, GitAspects::submodules});
    } else if (!(isFolder && appeared)) {
      // A folder that appears counts by the files found in it.
      noteCandidate(path);
    }
    if (isFolder && appeared && !worktreeFallback_) newFolders_.push_back({path, watch.inSubmodule});
  }

  GitAspects gitAspects(Area area, const std::string& path) const {
    const bool isPrivate = area == Area::gitDir;
    const bool isCommon = area == Area::commonDir || sharedGitDir_;
    std::string_view name(path);
    if (name.ends_with(".lock")) return {};
    auto top = firstComponent(name);
    if (top == name) {
      GitAspects aspects;
      if (name == "HEAD") {
        if (isPrivate) aspects.insert(GitAspects{GitAspects::head, GitAspects::stateFiles});
        if (isCommon) aspects.insert(GitAspects{GitAspects::refs, GitAspects::head});
      } else if (name == "index") {
        if (isPrivate) aspects.insert(GitAspects::status);
      } else if (name == "packed-refs") {
        if (isCommon) aspects.insert(GitAspects{GitAspects::refs, GitAspects::head});
      } else if (name == "config" || name == "config.worktree") {
        aspects.insert(GitAspects::config);
      } else if (name == "refs") {
        aspects.insert(GitAspects{GitAspects::refs, GitAspects::head});
      } else if (name == "logs") {
        aspects.insert(GitAspects::reflogs);
      } else if (name == "modules") {
        aspects.insert(GitAspects::submodules);
      } else if (isPrivate && isStateMarker(name)) {
        aspects.insert(GitAspects{GitAspects::head, GitAspects::stateFiles});
      }
      return aspects;
    }
    if (top == "refs")
      return name == "refs/stash" ? GitAspects::stashes : GitAspects{GitAspects::refs, GitAspects::head};
    if (top == "logs")
      return name == "logs/refs/stash" ? GitAspects{GitAspects::stashes, GitAspects::reflogs} : GitAspects::reflogs;
    if (top == "info") return GitAspects::status;
    if (top == "modules") return GitAspects{GitAspects::submodules, GitAspects::status};
    if (isPrivate && isStateMarker(top)) return GitAspects{GitAspects::head, GitAspects::stateFiles};
    return {};
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
      pollfd fds[2] = {{wake_, POLLIN, 0}, {inotify_, POLLIN, 0}};
      poll(fds, inotify_ < 0 ? 1 : 2, timeout);
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

  // Milliseconds until something is due; -1 while nothing is pending, so an
  // idle watcher costs nothing.
  int nextTimeout() const {
    if (needsRescan_ || !newFolders_.empty()) return 0;
    std::optional<Clock::time_point> due;
    if (firstChange_) due = dueTime();
    if (worktreeFallback_ || gitFallback_) due = due ? std::min(*due, nextFallback_) : nextFallback_;
    if (!due) return -1;
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*due - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(wait + 1, 0, 60 * 60 * 1000));
  }

  // While operations run, changes wait for their end (their own refreshes
  // will cover most of them), but never past the maximum delay.
  Clock::time_point dueTime() const {
    auto latest = *firstChange_ + options_.maximumDelay;
    if (activeRuns_ > 0) return latest;
    return std::min(lastChange_ + options_.quietPeriod, latest);
  }

  std::shared_ptr<GitQueue> liveQueue() const { return queue_.lock(); }

  // New working-tree folders get a watch unless git ignores them; their
  // files were possibly written before the watch, so they count as changed.
  void watchNewFolders() {
    for (;;) {
      std::vector<std::pair<std::string, bool>> folders;
      {
        std::lock_guard lock(mutex_);
        if (stopped_ || worktreeFallback_) return;
        folders.swap(newFolders_);
      }
      if (folders.empty()) return;
      std::vector<std::string> paths;
      for (auto& folder : folders) paths.push_back(folder.first);
      auto ignored = ignoredAmong(paths);
      std::unordered_set<std::string> ignoredSet(ignored.begin(), ignored.end());
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      for (auto& [path, inSubmodule] : folders) {
        if (ignoredSet.count(path) || byPath_.count(key(Area::worktree, path))) continue;
        auto entries = listFolder(absolutePath(Area::worktree, path));
        if (!entries) continue;
        bool submodule = inSubmodule || holdsRepository(*entries);
        if (!addWorktreeWatch(path, submodule)) {
          if (worktreeFallback_) return;
          continue;
        }
        for (auto& entry : *entries) {
          if (entry.name == ".git") continue;
          auto child = joinPath(path, entry.name);
          if (entry.isFolder) {
            newFolders_.push_back({child, submodule});
          } else if (submodule) {
            noteChange(GitAspects{GitAspects::status, GitAspects::submodules});
          } else {
            noteCandidate(child);
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
    }
    auto ignored = worktreeRoot_.empty() ? std::vector<std::string>() : ignoredFolders();
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    if (!gitFallback_) watchGitDirectories();
    if (!worktreeRoot_.empty()) {
      ignoredFolders_ = std::unordered_set<std::string>(ignored.begin(), ignored.end());
      addWorktreeTree("", false);
    }
  }

  void refreshIfDue() {
    GitAspects aspects;
    std::vector<std::string> candidates;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      auto now = Clock::now();
      if (firstChange_ && now >= dueTime()) {
        aspects = pending_;
        candidates.assign(candidates_.begin(), candidates_.end());
        pending_ = {};
        candidates_.clear();
        firstChange_.reset();
      }
      if ((worktreeFallback_ || gitFallback_) && now >= nextFallback_) {
        aspects.insert(gitFallback_ ? GitAspects::all : GitAspects{GitAspects::status, GitAspects::submodules});
        nextFallback_ = now + options_.fallbackInterval;
      }
    }
    if (!aspects.contains(GitAspects::status) && !candidates.empty()) {
      // Changes to files git ignores (build output next to the sources) do
      // not count. The in-process rules answer the usual case, a file that is
      // not ignored, at once; git has the last word on the rest, since it
      // also knows which of them are tracked (reading a large index costs
      // a tenth of a second).
      if (anyOutsideIgnoreRules(candidates) || ignoredAmong(candidates).size() < candidates.size())
        aspects.insert(GitAspects::status);
    }
    // Not aspects of the disk; and a log-descriptor change would call the
    // observers right here, on this thread.
    aspects.remove(GitAspects{GitAspects::queueTasks, GitAspects::logDescriptor});
    if (aspects.isEmpty()) return;
    auto queue = liveQueue();
    if (!queue) return;
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      ++statistics_.refreshes;
      statistics_.refreshedAspects.insert(aspects);
    }
    queue->updateViewFor(aspects);
  }

  // ---- git (no lock held) ----

  // Only the watcher's thread uses the rules' repository.
  bool anyOutsideIgnoreRules(const std::vector<std::string>& paths) const {
    if (!ignoreRules_) return false;
    return std::any_of(paths.begin(), paths.end(),
                       [this](const std::string& path) { return ignoreRules_->ignoreRulesMatch(path) == false; });
  }

  std::vector<std::string> ignoredAmong(const std::vector<std::string>& paths) const {
    auto queue = liveQueue();
    if (!queue || paths.empty()) return {};
    try {
      GitOperationContext context(queue);
      return makeOperation<GitExecCheckIgnoreOperation>(paths)->execute(context);
    } catch (...) {
      // A path git refuses (inside a submodule, say) makes the whole check
      // fail: then nothing is taken for ignored.
      Log::defaultLog().debug("watcher: ignore check failed: %s",
                              localizedDescription(std::current_exception()).c_str());
      return {};
    }
  }

  std::vector<std::string> ignoredFolders() const {
    auto queue = liveQueue();
    if (!queue) return {};
    try {
      GitOperationContext context(queue);
      return makeOperation<GitExecIgnoredFoldersOperation>()->execute(context);
    } catch (...) {
      Log::defaultLog().info("watcher: could not list ignored folders: %s",
                             localizedDescription(std::current_exception()).c_str());
      return {};
    }
  }

  void signalWake() {
    uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
      // The counter is full: a wake-up is pending anyway.
    }
  }

  void closeDescriptors() {
    if (inotify_ >= 0) close(inotify_);
    inotify_ = -1;
    watches_.clear();
    byPath_.clear();
  }

  const std::weak_ptr<GitQueue> queue_;
  const GitRepositoryDescriptor descriptor_;
  const GitRepositoryWatcherOptions options_;
  std::string worktreeRoot_; // empty for a bare repository
  bool sharedGitDir_ = true;
  int wake_ = -1; // an eventfd; lives as long as the core
  int inotifyError_ = 0;
  std::thread thread_;
  std::optional<arbor::Repo> ignoreRules_; // the thread's once started

  mutable std::mutex mutex_; // guards everything below
  bool stopped_ = false;
  int inotify_ = -1;
  std::unordered_map<int, Watch> watches_;
  std::unordered_map<std::string, int> byPath_;
  size_t worktreeWatches_ = 0;
  std::unordered_set<std::string> ignoredFolders_;
  std::vector<std::pair<std::string, bool>> newFolders_;
  bool needsRescan_ = false;
  bool worktreeFallback_ = false;
  bool gitFallback_ = false;
  Clock::time_point nextFallback_;
  int activeRuns_ = 0;
  GitAspects pending_;
  std::unordered_set<std::string> candidates_;
  std::optional<Clock::time_point> firstChange_;
  Clock::time_point lastChange_;
  GitRepositoryWatcher::Statistics statistics_;
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

} // namespace tavrik
