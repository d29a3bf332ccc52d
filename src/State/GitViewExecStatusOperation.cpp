#include "tavrik/State/GitViewExecStatusOperation.h"

#include "Process/FsmonitorBridge.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitStatusParser.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

namespace tavrik {

std::map<std::string, std::string> GitViewExecStatusOperation::environment(GitOperationContext& context) {
  auto variables = GitExecRunner::environment(context);
  monitorArguments_.clear();
  // With --ignored git lists what the untracked cache leaves out; a plain
  // run costs the same. A limited run reads the repository's index, which
  // it must not write.
  auto descriptor = context.effectiveDescriptor();
  if (includeIgnored || !descriptor || !limitedPathspec_.empty()) return variables;
  auto monitored = detail::monitoredRun(*descriptor);
  if (!monitored) return variables;
  monitorArguments_ = std::move(monitored->configArguments);
  for (auto& [name, value] : monitored->environment) variables[name] = std::move(value);
  return variables;
}

GitExecAccess GitViewExecStatusOperation::access() const {
  return monitorArguments_.empty() ? GitExecAccess::read : GitExecAccess::write;
}

std::vector<std::string> GitViewExecStatusOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args = monitorArguments_;
  // A monitor the user configured would be asked about the whole tree.
  if (!limitedPathspec_.empty()) args.insert(args.end(), {"-c", "core.fsmonitor=false"});
  args.insert(args.end(), {"status", "-z"});
  if (includeIgnored) args.push_back("--ignored");
  args.push_back("--porcelain=v2");
  // status.showUntrackedFiles and status.renames in the user's configuration
  // would hide records, and status.showStash adds a "# stash" header whose
  // unknown type the parser steps through into the records behind it; pin
  // git's defaults.
  args.push_back("--untracked-files=normal");
  args.push_back("--renames");
  args.push_back("--no-show-stash");
  if (!limitedPathspec_.empty()) {
    args.push_back("--");
    args.insert(args.end(), limitedPathspec_.begin(), limitedPathspec_.end());
  }
  return args;
}

void GitViewExecStatusOperation::sortByPath(std::vector<GitStatusEntry>& entries) {
  GitStatusEntryPathLess less;
  // git lists changes, then untracked files, then ignored ones, each group in
  // path order: find those ascending runs and merge them rather than sort.
  std::vector<size_t> runs{0};
  for (size_t i = 1; i < entries.size(); ++i)
    if (less(entries[i], entries[i - 1])) runs.push_back(i);
  if (runs.size() == 1) return;
  runs.push_back(entries.size());

  // Entries are large; order small indices, then move each entry once along
  // the cycles of the permutation.
  std::vector<uint32_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0u);
  auto byPath = [&](uint32_t a, uint32_t b) { return less(entries[a], entries[b]); };
  constexpr size_t kMaxMergedRuns = 16;
  if (runs.size() - 1 > kMaxMergedRuns) {
    std::sort(order.begin(), order.end(), byPath);
  } else {
    while (runs.size() > 2) {
      std::vector<size_t> merged{0};
      for (size_t r = 0; r + 2 < runs.size(); r += 2) {
        std::inplace_merge(order.begin() + static_cast<ptrdiff_t>(runs[r]),
                           order.begin() + static_cast<ptrdiff_t>(runs[r + 1]),
                           order.begin() + static_cast<ptrdiff_t>(runs[r + 2]), byPath);
        merged.push_back(runs[r + 2]);
      }
      if (runs.size() % 2 == 0) merged.push_back(runs.back()); // an odd run out waits for the next round
      runs = std::move(merged);
    }
  }
  for (size_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    GitStatusEntry held = std::move(entries[start]);
    size_t slot = start;
    while (order[slot] != start) {
      size_t from = order[slot];
      entries[slot] = std::move(entries[from]);
      order[slot] = static_cast<uint32_t>(slot);
      slot = from;
    }
    entries[slot] = std::move(held);
    order[slot] = static_cast<uint32_t>(slot);
  }
}

namespace {

// A symbolic link's own date, as git compares the link: the date of an
// entry then changes only when its own path does.
std::optional<Date> modificationDate(int directory, const char* name) {
  struct stat info;
  if (::fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  auto sinceEpoch = std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
  return Date(std::chrono::duration_cast<Date::duration>(sinceEpoch));
}

// The directory part of a status path ("a/b" for "a/b/c" and for "a/b/c/").
std::string_view parentOf(std::string_view path) {
  std::string_view trimmed = path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
  size_t slash = trimmed.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : trimmed.substr(0, slash);
}

// Stamps a run of entries. Entries come sorted by path, so neighbours share
// their directory: a directory holding several of them is opened once and its
// files are looked up by name only. A lone file is looked up by its whole
// path, since opening and closing its directory would cost two more calls.
void stampRange(GitStatusEntry* begin, GitStatusEntry* end, int worktree) {
  std::string directory, name;
  int directoryFd = -1;
  bool haveDirectory = false;
  for (auto* entry = begin; entry != end; ++entry) {
    if (!entry->newPath) continue;
    std::string_view path = *entry->newPath;
    std::string_view trimmed = path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
    std::string_view parent = parentOf(path);
    if (parent.empty()) {
      name.assign(trimmed);
      entry->modificationDate = modificationDate(worktree, name.c_str());
      continue;
    }
    if (!haveDirectory || parent != directory) {
      auto* next = entry + 1;
      while (next != end && !next->newPath) ++next;
      if (next == end || parentOf(*next->newPath) != parent) {
        name.assign(trimmed);
        entry->modificationDate = modificationDate(worktree, name.c_str());
        continue;
      }
      if (directoryFd >= 0) ::close(directoryFd);
      directory.assign(parent);
      directoryFd = ::openat(worktree, directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      haveDirectory = true;
    }
    if (directoryFd < 0) continue;
    name.assign(trimmed.substr(parent.size() + 1));
    entry->modificationDate = modificationDate(directoryFd, name.c_str());
  }
  if (directoryFd >= 0) ::close(directoryFd);
}

} // namespace

void GitViewExecStatusOperation::stampModificationDates(std::vector<GitStatusEntry>& entries, const Url& worktree) {
  int worktreeFd = ::open(worktree.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (worktreeFd < 0) return;
  // File-system lookups dominate for large lists; split them over a few
  // threads in contiguous runs, so each run keeps its directory locality.
  constexpr size_t kPerThread = 8192;
  const size_t threads =
      std::min<size_t>({entries.size() / kPerThread + 1, std::max(2u, std::thread::hardware_concurrency()), 4});
  const size_t chunk = (entries.size() + threads - 1) / std::max<size_t>(threads, 1);
  std::vector<std::thread> workers;
  for (size_t t = 1; t < threads; ++t) {
    size_t from = std::min(entries.size(), t * chunk), to = std::min(entries.size(), (t + 1) * chunk);
    workers.emplace_back(stampRange, entries.data() + from, entries.data() + to, worktreeFd);
  }
  stampRange(entries.data(), entries.data() + std::min(entries.size(), chunk), worktreeFd);
  for (auto& worker : workers) worker.join();
  ::close(worktreeFd);
}

namespace {

// The list a reader read last, and the watcher's token taken before that
// run began: every file changed since is in the watcher's answer.
struct StatusMemo {
  std::string token;
  std::shared_ptr<const GitStatusList> list;
};

// More paths than this read the whole tree: a long pathspec costs git more
// than its monitored whole run.
constexpr size_t kMaxLimitedPaths = 500;

std::string_view entryPath(const GitStatusEntry& entry) {
  return entry.newPath ? std::string_view(*entry.newPath)
                       : entry.oldPath ? std::string_view(*entry.oldPath) : std::string_view();
}

// A rename or copy: two paths in one entry.
bool pairsPaths(const GitStatusEntry& entry) {
  return (entry.oldPath && entry.newPath && *entry.oldPath != *entry.newPath) || entry.isRenamed() ||
         entry.index == GitStatus::copied || entry.worktree == GitStatus::copied;
}

// Files whose change alters the status of other paths.
bool changesOtherPaths(std::string_view path) {
  std::string_view name = path.substr(path.rfind('/') + 1);
  return name == ".gitignore" || name == ".gitattributes" || name == ".gitmodules";
}

// The changed files and the unwatched folders ("build/") a limited run reads.
class ChangedPaths {
public:
  ChangedPaths(const std::vector<std::string>& files, const std::vector<std::string>& folders)
      : files_(files.begin(), files.end()), folders_(folders) {}

  bool covers(std::string_view path) const {
    if (files_.count(path)) return true;
    return std::any_of(folders_.begin(), folders_.end(), [path](const std::string& folder) {
      return path.starts_with(folder) || path == std::string_view(folder).substr(0, folder.size() - 1);
    });
  }
  std::vector<std::string> pathspec() const {
    std::vector<std::string> pathspec;
    for (auto path : files_) pathspec.push_back(":(top,literal)" + std::string(path));
    for (auto& folder : folders_) pathspec.push_back(":(top,literal)" + folder.substr(0, folder.size() - 1));
    return pathspec;
  }
  // Every changed path and unwatched folder with each of its folders.
  template <class Visit> void forEachFolder(Visit&& visit) const {
    auto ancestors = [&](std::string_view path) {
      for (size_t slash = path.find('/'); slash != std::string_view::npos && slash + 1 < path.size();
           slash = path.find('/', slash + 1))
        visit(path.substr(0, slash + 1));
    };
    for (auto path : files_) ancestors(path);
    for (auto& folder : folders_) ancestors(folder);
  }

private:
  std::unordered_set<std::string_view> files_;
  const std::vector<std::string>& folders_;
};

// Whether `entry` shows that `folder` ("a/b/") holds a file of the index:
// one inside it that the index has, or an untracked one git did not fold
// into an entry for the folder, which it does when the index has nothing
// below it. A file deleted from the index proves nothing.
bool provesTracked(const GitStatusEntry& entry, std::string_view folder) {
  std::string_view path = entryPath(entry);
  return path.size() > folder.size() && path.starts_with(folder) && entry.index != GitStatus::deleted;
}

bool anyProvesTracked(const std::vector<GitStatusEntry>& sorted, std::string_view folder) {
  auto first = std::partition_point(sorted.begin(), sorted.end(),
                                    [folder](const GitStatusEntry& e) { return entryPath(e) < folder; });
  for (auto it = first; it != sorted.end() && entryPath(*it).starts_with(folder); ++it)
    if (provesTracked(*it, folder)) return true;
  return false;
}

// `base` with the entries of the changed paths replaced by `fresh`, git's
// sorted answer for those paths alone; nullopt wherever a whole run could
// answer differently.
std::optional<std::vector<GitStatusEntry>> mergeChanges(const std::vector<GitStatusEntry>& base,
                                                        std::vector<GitStatusEntry>&& fresh,
                                                        const ChangedPaths& changed, const std::string& worktree) {
  // An intent-to-add file pairs with a deleted one as a rename, wherever each is.
  auto intentToAdd = [](const GitStatusEntry& e) { return e.worktree == GitStatus::added; };
  for (auto& entry : fresh) {
    // A rename seen through a pathspec pairs differently.
    if (pairsPaths(entry) || entry.isDirectory() || entry.submoduleState.isSubmodule || intentToAdd(entry) ||
        !changed.covers(entryPath(entry)))
      return std::nullopt;
  }
  std::unordered_set<std::string_view> untrackedFolders;
  for (auto& entry : base) {
    if (intentToAdd(entry)) return std::nullopt;
    if (entry.isDirectory()) untrackedFolders.insert(entryPath(entry));
    const bool covered = changed.covers(entryPath(entry)) || (entry.oldPath && changed.covers(*entry.oldPath));
    if (covered && (pairsPaths(entry) || entry.submoduleState.isSubmodule)) return std::nullopt;
  }
  // A change inside a folder git shows as one untracked entry.
  bool insideUntracked = false;
  if (!untrackedFolders.empty())
    changed.forEachFolder([&](std::string_view folder) { insideUntracked |= untrackedFolders.count(folder) != 0; });
  if (insideUntracked) return std::nullopt;
  // A pathspec names an untracked file even where the whole run would show
  // its folder instead.
  for (auto& entry : fresh) {
    if (!entry.isUntracked()) continue;
    std::string_view path = entryPath(entry);
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) continue;
    std::string_view folder = path.substr(0, slash + 1);
    bool tracked = anyProvesTracked(base, folder) || std::any_of(fresh.begin(), fresh.end(), [folder](auto& e) {
                     return !e.isUntracked() && provesTracked(e, folder);
                   });
    if (!tracked) return std::nullopt;
  }

  // A path that is a folder now (a deleted file's) is dated by the folder,
  // which changes with what changed inside it.
  std::unordered_set<std::string> folders;
  changed.forEachFolder([&](std::string_view folder) { folders.emplace(folder.substr(0, folder.size() - 1)); });

  std::vector<GitStatusEntry> merged;
  merged.reserve(base.size() + fresh.size());
  GitStatusEntryPathLess less;
  auto next = fresh.begin();
  for (auto& entry : base) {
    if (changed.covers(entryPath(entry))) continue;
    while (next != fresh.end() && less(*next, entry)) merged.push_back(std::move(*next++));
    merged.push_back(entry);
    if (folders.count(std::string(entryPath(entry))))
      merged.back().modificationDate = modificationDate(AT_FDCWD, (worktree + std::string(entryPath(entry))).c_str());
  }
  std::move(next, fresh.end(), std::back_inserter(merged));
  return merged;
}

} // namespace

SharedValue<GitStatusList> GitViewExecStatusOperation::readWhole(GitOperationContext& context, const Url& worktree) {
  runCommand(context);
  entries = GitStatusParser::parse(*stdOutBuffer);
  // The output is not needed any more; give its memory back before the
  // entries are stamped and stored.
  *stdOutBuffer = GitBuffer();
  sortByPath(entries);
  if (modificationDates) stampModificationDates(entries, worktree);
  return GitStatusList{std::move(entries)};
}

SharedValue<GitStatusList> GitViewExecStatusOperation::readChanges(GitOperationContext& context,
                                                                   const std::shared_ptr<const GitStatusList>& base,
                                                                   const std::vector<std::string>& files,
                                                                   const std::vector<std::string>& folders,
                                                                   const Url& worktree) {
  if (files.size() + folders.size() > kMaxLimitedPaths ||
      std::any_of(files.begin(), files.end(), [](const std::string& path) { return changesOtherPaths(path); }))
    return std::nullopt;
  // Nothing changed: the list read last is still the answer.
  if (files.empty() && folders.empty()) return SharedValue<GitStatusList>(base);
  ChangedPaths changed(files, folders);
  limitedPathspec_ = changed.pathspec();
  std::vector<GitStatusEntry> fresh;
  try {
    runCommand(context);
    limitedPathspec_.clear();
    fresh = GitStatusParser::parse(*stdOutBuffer);
  } catch (const GitStdError&) {
    // The whole run says whether git fails for good.
    limitedPathspec_.clear();
    return std::nullopt;
  }
  sortByPath(fresh);
  stampModificationDates(fresh, worktree);
  auto merged = mergeChanges(base->entries, std::move(fresh), changed, worktree.path() + "/");
  if (!merged) return std::nullopt;
  return GitStatusList{std::move(*merged)};
}

SharedValue<GitStatusList> GitViewExecStatusOperation::execute(GitOperationContext& context) {
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor || descriptor->isBare) return std::nullopt;
  const Url worktree = descriptor->url;

  // A list with ignored files is no base for one without, nor the reverse.
  auto endpoint = includeIgnored || !modificationDates ? nullptr : detail::fsmonitorEndpoint(*descriptor);
  std::shared_ptr<const StatusMemo> memo;
  detail::FsmonitorEndpoint::ExactChanges changes;
  if (endpoint && endpoint->exactChanges) {
    {
      std::lock_guard lock(endpoint->memoLock);
      memo = std::static_pointer_cast<const StatusMemo>(endpoint->statusMemo);
    }
    // Taken before git runs: what changes while it runs is in the next answer.
    changes = endpoint->exactChanges(memo ? memo->token : std::string());
  }
  SharedValue<GitStatusList> list;
  if (memo && changes.paths) list = readChanges(context, memo->list, *changes.paths, changes.unwatchedFolders, worktree);
  if (list) {
    ++endpoint->pathLimitedRuns;
  } else {
    list = readWhole(context, worktree);
    if (endpoint) ++endpoint->wholeRuns;
  }
  if (endpoint && !changes.token.empty()) {
    auto next = std::make_shared<const StatusMemo>(StatusMemo{changes.token, list.shared()});
    std::lock_guard lock(endpoint->memoLock);
    endpoint->statusMemo = std::move(next);
  }
  return list;
}

} // namespace tavrik
