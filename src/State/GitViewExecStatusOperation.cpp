#include "tavrik/State/GitViewExecStatusOperation.h"

#include "Process/FsmonitorBridge.h"
#include "State/IndexSnapshot.h"
#include "Util/Sha1.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitStatusParser.h"
#include "tavrik/Util/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
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
  if (configQuery_ || includeIgnored || !descriptor || !limitedPathspec_.empty()) return variables;
  auto monitored = detail::monitoredRun(*descriptor);
  if (!monitored) return variables;
  monitorArguments_ = std::move(monitored->configArguments);
  for (auto& [name, value] : monitored->environment) variables[name] = std::move(value);
  return variables;
}

std::set<int> GitViewExecStatusOperation::successStatuses() const {
  // git config answers 1 when no key matches.
  return configQuery_ ? std::set<int>{0, 1} : std::set<int>{0};
}

GitExecAccess GitViewExecStatusOperation::access() const {
  return monitorArguments_.empty() ? GitExecAccess::read : GitExecAccess::write;
}

std::vector<std::string> GitViewExecStatusOperation::arguments(GitOperationContext&) {
  if (configQuery_) return {"config", "-z", "--get-regexp", "^core\\."};
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
Date dateOf(const struct stat& info) {
  auto sinceEpoch = std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
  return Date(std::chrono::duration_cast<Date::duration>(sinceEpoch));
}

std::optional<Date> modificationDate(int directory, const char* name) {
  struct stat info;
  if (::fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return dateOf(info);
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
  // `pathspec`: git answers for them, and a pathspec naming a path that
  // was a folder also names what was in it.
  ChangedPaths(const std::vector<std::string>& files, const std::vector<std::string>& folders, bool pathspec)
      : files_(files.begin(), files.end()), folders_(folders), pathspec_(pathspec) {}

  bool covers(std::string_view path) const {
    if (files_.count(path)) return true;
    for (size_t slash = path.find('/'); pathspec_ && slash != std::string_view::npos; slash = path.find('/', slash + 1))
      if (files_.count(path.substr(0, slash))) return true;
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
  template <class Visit> void forEachFile(Visit&& visit) const {
    for (auto path : files_) visit(path);
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
  bool pathspec_;
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
  // A symbolic link that changed changes what the paths through it resolve
  // to (a loop hides a file from git), wherever they are.
  auto isLink = [](const std::optional<int32_t>& mode) { return mode == 120000; };
  auto touchesLink = [&](const GitStatusEntry& e) { return isLink(e.modeIndex) || isLink(e.modeWorktree); };
  if (std::any_of(fresh.begin(), fresh.end(), touchesLink)) return std::nullopt;
  bool linkNow = false;
  changed.forEachFile([&](std::string_view path) {
    struct stat info;
    linkNow |= ::lstat((worktree + std::string(path)).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
  });
  if (linkNow) return std::nullopt;
  std::unordered_set<std::string_view> untrackedFolders;
  for (auto& entry : base) {
    if (intentToAdd(entry) || (touchesLink(entry) && changed.covers(entryPath(entry)))) return std::nullopt;
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

// The user's git folder: "$XDG_CONFIG_HOME/git/", else "~/.config/git/";
// empty without either variable.
std::string userGitFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/git/";
  const char* home = std::getenv("HOME");
  return home ? std::string(home) + "/.config/git/" : "";
}

// The configuration files git reads for the repository.
std::vector<std::string> configFiles(const GitRepositoryDescriptor& descriptor) {
  std::vector<std::string> files{"/etc/gitconfig", descriptor.commonURL.path() + "/config",
                                 descriptor.gitURL.path() + "/config.worktree"};
  if (auto user = userGitFolder(); !user.empty()) files.push_back(user + "config");
  if (const char* home = std::getenv("HOME")) files.push_back(std::string(home) + "/.gitconfig");
  return files;
}

// The files outside the working tree that decide which paths git ignores
// and how it compares files (configuration, exclude and attributes files,
// the repository's, the user's and the system's). The watcher sees none of
// them, so a list kept from before one changed is no base. A
// core.excludesFile elsewhere is not among them.
std::vector<std::optional<detail::IndexFileIdentity>> outsideRules(const GitRepositoryDescriptor& descriptor) {
  const std::string common = descriptor.commonURL.path();
  auto files = configFiles(descriptor);
  for (auto file : {common + "/info/exclude", common + "/info/attributes", std::string("/etc/gitattributes")})
    files.push_back(std::move(file));
  if (auto user = userGitFolder(); !user.empty())
    for (const char* name : {"ignore", "attributes"}) files.push_back(user + name);
  std::vector<std::optional<detail::IndexFileIdentity>> identities;
  identities.reserve(files.size());
  for (const auto& file : files) identities.push_back(detail::indexFileIdentity(file));
  return identities;
}

// What HEAD names: its file, the branch's loose ref and the packed refs'
// identity. Equal texts mean HEAD has not moved.
std::string headIdentity(const GitRepositoryDescriptor& descriptor) {
  auto read = [](const std::string& path) {
    try {
      return readFileIfExists(path).value_or("");
    } catch (const std::exception&) {
      return std::string("\1unreadable");
    }
  };
  std::string head = read(descriptor.gitURL.path() + "/HEAD");
  std::string identity = head + '\0';
  if (head.starts_with("ref: ")) {
    std::string ref = head.substr(5);
    while (!ref.empty() && (ref.back() == '\n' || ref.back() == '\r')) ref.pop_back();
    identity += read(descriptor.commonURL.path() + "/" + ref) + '\0';
  }
  if (auto packed = detail::indexFileIdentity(descriptor.commonURL.path() + "/packed-refs"))
    identity += std::to_string(packed->size) + ":" + std::to_string(packed->modifiedNanoseconds) + ":" +
                std::to_string(packed->changedNanoseconds) + ":" + std::to_string(packed->inode);
  return identity;
}

// The configuration that decides how git compares a file with the index,
// where the comparison below is git's; nullopt where it is not.
struct CompareSettings {
  bool fileMode = true;
  bool trustCtime = true;
  std::optional<std::string> attributesFile;
};

std::optional<bool> configBool(const std::optional<std::string>& value) {
  if (!value) return true; // a key without "=" is true
  std::string lower;
  for (char c : *value) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (lower == "true" || lower == "yes" || lower == "on" || lower == "1") return true;
  if (lower == "false" || lower == "no" || lower == "off" || lower == "0" || lower.empty()) return false;
  return std::nullopt;
}

// `git config -z --get-regexp '^core\.'`: "key\nvalue\0" per value, the last one winning.
std::optional<CompareSettings> compareSettings(std::string_view listing) {
  std::map<std::string, std::optional<std::string>, std::less<>> values;
  while (!listing.empty()) {
    size_t end = listing.find('\0');
    std::string_view record = listing.substr(0, end);
    listing = end == std::string_view::npos ? std::string_view() : listing.substr(end + 1);
    size_t newline = record.find('\n');
    if (newline == std::string_view::npos)
      values[std::string(record)] = std::nullopt;
    else
      values[std::string(record.substr(0, newline))] = std::string(record.substr(newline + 1));
  }
  auto flag = [&](const char* key, bool fallback) -> std::optional<bool> {
    auto it = values.find(key);
    return it == values.end() ? std::optional<bool>(fallback) : configBool(it->second);
  };
  CompareSettings settings;
  auto fileMode = flag("core.filemode", true), trustCtime = flag("core.trustctime", true);
  // Line-end conversion, file systems without links or with case folding,
  // and a coarser stat check all compare differently.
  if (!fileMode || !trustCtime || flag("core.autocrlf", false) != false || flag("core.symlinks", true) != true ||
      flag("core.ignorecase", false) != false || values.count("core.worktree"))
    return std::nullopt;
  if (auto it = values.find("core.checkstat"); it != values.end() && it->second != "default") return std::nullopt;
  settings.fileMode = *fileMode;
  settings.trustCtime = *trustCtime;
  if (auto it = values.find("core.attributesfile"); it != values.end()) {
    if (!it->second) return std::nullopt;
    settings.attributesFile = *it->second;
  }
  return settings;
}

// Whether the attributes files that apply to some paths may make git
// convert their content before comparing. Coarse on purpose: a file naming
// any of the converting attributes, or defining a macro, leaves its paths
// to git.
class AttributeFiles {
public:
  AttributeFiles(const detail::IndexSnapshot& index, std::string worktree) : index_(index), worktree_(std::move(worktree)) {}

  bool fileIsNeutral(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT || errno == ENOTDIR;
    if (!S_ISREG(info.st_mode)) return false;
    std::optional<std::string> content;
    try {
      content = readFileIfExists(path);
    } catch (const std::exception&) {
      return false;
    }
    if (!content) return false;
    for (const char* word : {"filter", "eol", "text", "ident", "crlf", "encoding", "[attr]"})
      if (content->find(word) != std::string::npos) return false;
    return true;
  }

  // The folder ("" or "a/b/") and its .gitattributes, in the working tree or,
  // when it is not there, the index (which git then reads).
  bool folderIsNeutral(const std::string& folder) {
    auto [it, inserted] = folders_.emplace(folder, false);
    if (!inserted) return it->second;
    const std::string name = folder + ".gitattributes";
    struct stat info;
    bool neutral;
    if (::lstat((worktree_ + name).c_str(), &info) == 0) {
      neutral = fileIsNeutral(worktree_ + name);
    } else {
      const bool absent = errno == ENOENT || errno == ENOTDIR;
      auto listed = index_.lookup(name);
      neutral = absent && listed && listed->empty();
    }
    return it->second = neutral;
  }

private:
  const detail::IndexSnapshot& index_;
  std::string worktree_;
  std::map<std::string, bool, std::less<>> folders_;
};

// The six octal digits of a mode, read as a decimal number (as entries keep them).
int32_t modeDigits(uint32_t mode) {
  int32_t digits = 0, scale = 1;
  for (; mode; mode /= 8, scale *= 10) digits += static_cast<int32_t>(mode % 8) * scale;
  return digits;
}

constexpr uint32_t kFileType = 0170000, kRegularType = 0100000;

// git's blob id of a file's `size` bytes; nullopt when they cannot be read
// or hashed, or were not `size` long (the file is changing: git decides).
std::optional<Oid> worktreeBlobId(const std::string& path, uint64_t size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  try {
    detail::Sha1 sha;
    sha.update("blob " + std::to_string(size) + std::string(1, '\0'));
    char chunk[65536];
    ssize_t n;
    uint64_t read = 0;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
      sha.update(std::string_view(chunk, static_cast<size_t>(n)));
      read += static_cast<uint64_t>(n);
    }
    ::close(fd);
    if (n < 0 || read != size) return std::nullopt;
    return Oid(sha.finish());
  } catch (const TavrikError&) {
    ::close(fd);
    return std::nullopt;
  }
}

// What git's status says of one tracked file whose index entry is `entry`
// and whose record in the last list was `last` (none: unchanged in both
// columns): the record, none for a clean file, or nullopt where this
// comparison might differ from git's.
std::optional<std::optional<GitStatusEntry>> fileStatus(const std::string& path, const std::string& fullPath,
                                                        const detail::IndexEntry& entry, const GitStatusEntry* last,
                                                        const detail::IndexSnapshot& index,
                                                        const CompareSettings& settings) {
  const uint32_t type = entry.mode & kFileType;
  // Links are left to git, which looks at what the paths through them
  // resolve to.
  if (entry.stage != 0 || entry.assumeValid || entry.skipWorktree || entry.intentToAdd || type != kRegularType)
    return std::nullopt;
  const int32_t indexMode = modeDigits(entry.mode);
  if (last && (pairsPaths(*last) || last->hasConflict() || last->submoduleState.isSubmodule ||
               last->isUntracked() || last->either(GitStatus::ignored) || last->index == GitStatus::deleted ||
               last->modeIndex != indexMode || last->oidIndex != entry.oid))
    return std::nullopt;

  GitStatusEntry record;
  record.newPath = path;
  record.oldPath = path;
  record.index = last ? last->index : GitStatus::unmodified;
  record.modeHead = last ? last->modeHead : indexMode;
  record.oidHead = last ? last->oidHead : entry.oid;
  record.modeIndex = indexMode;
  record.oidIndex = entry.oid;
  record.modeWorktree = indexMode;

  struct stat info;
  if (::lstat(fullPath.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    record.worktree = GitStatus::deleted;
    record.modeWorktree = 0;
    return record;
  }
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  record.modificationDate = dateOf(info);
  // The mode git reports: the index's where the executable bit is not trusted.
  const uint32_t worktreeMode = !settings.fileMode ? entry.mode : info.st_mode & S_IXUSR ? 0100755u : 0100644u;
  if (settings.fileMode && ((entry.mode ^ info.st_mode) & S_IXUSR)) {
    record.worktree = GitStatus::modified;
    record.modeWorktree = modeDigits(worktreeMode);
  } else {
    // git's stat check: seconds, size, owner, inode and (when trusted) the
    // change time; a build of git may also compare nanoseconds and the
    // device. An entry written in the index's own second or after is
    // "racily clean" and compared by content.
    auto low = [](auto value) { return static_cast<uint32_t>(value); };
    const bool coarseChanged =
        entry.mtimeSeconds != low(info.st_mtim.tv_sec) || entry.size != low(info.st_size) ||
        (settings.trustCtime && entry.ctimeSeconds != low(info.st_ctim.tv_sec)) || entry.uid != low(info.st_uid) ||
        entry.gid != low(info.st_gid) || entry.inode != low(info.st_ino);
    const bool fineChanged = coarseChanged || entry.mtimeNanoseconds != low(info.st_mtim.tv_nsec) ||
                             (settings.trustCtime && entry.ctimeNanoseconds != low(info.st_ctim.tv_nsec)) ||
                             entry.device != low(info.st_dev);
    const bool racyCoarse = index.modifiedSeconds() && index.modifiedSeconds() <= entry.mtimeSeconds;
    const bool racyFine = index.modifiedSeconds() &&
                          (index.modifiedSeconds() < entry.mtimeSeconds ||
                           (index.modifiedSeconds() == entry.mtimeSeconds &&
                            index.modifiedNanoseconds() <= entry.mtimeNanoseconds));
    if (fineChanged || racyCoarse) {
      auto id = worktreeBlobId(fullPath, static_cast<uint64_t>(info.st_size));
      if (!id) return std::nullopt;
      if (*id != entry.oid) {
        // Every build of git compares the content here, or none does.
        if (!coarseChanged && !(fineChanged ? racyCoarse : racyFine)) return std::nullopt;
        record.worktree = GitStatus::modified;
        record.modeWorktree = modeDigits(worktreeMode);
      }
    }
  }
  if (record.index == GitStatus::unmodified && record.worktree == GitStatus::unmodified) return std::optional<GitStatusEntry>();
  return record;
}

} // namespace

// The list a reader read last, and the watcher's token taken before that
// run began: every file changed since is in the watcher's answer. With it,
// what the repository's index and HEAD were when that run began, and the
// index as read for the answers given without git.
struct GitViewExecStatusOperation::Memo {
  std::string token;
  std::shared_ptr<const GitStatusList> list;
  std::optional<detail::IndexFileIdentity> index;
  std::string head;
  std::vector<std::optional<detail::IndexFileIdentity>> rules;
  std::shared_ptr<const detail::IndexSnapshot> snapshot;
  /// git's answer to the query of core.* settings, kept while `rules` (the
  /// configuration files among them) stand; nullopt when not asked yet or
  /// when git may read settings from elsewhere.
  std::optional<std::string> coreSettings;
};

namespace {

// Whether core.* settings can come only from the files `outsideRules`
// watches: no configuration in the environment, and no file that includes
// another (any mention of "include" counts).
bool configComesFromWatchedFiles(const GitRepositoryDescriptor& descriptor) {
  for (const char* name : {"GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT", "GIT_CONFIG", "GIT_CONFIG_GLOBAL", "GIT_CONFIG_SYSTEM"})
    if (std::getenv(name)) return false;
  for (const auto& file : configFiles(descriptor)) {
    std::optional<std::string> bytes;
    try {
      bytes = readFileIfExists(file);
    } catch (const std::exception&) {
      return false;
    }
    if (!bytes) continue;
    for (auto& c : *bytes) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (bytes->find("include") != std::string::npos) return false;
  }
  return true;
}

} // namespace

SharedValue<GitStatusList> GitViewExecStatusOperation::readInProcess(GitOperationContext& context,
                                                                     const Memo& memo,
                                                                     const std::vector<std::string>& files,
                                                                     const std::vector<std::string>& folders,
                                                                     const GitRepositoryDescriptor& descriptor,
                                                                     Memo& next) {
  if (files.empty() || files.size() + folders.size() > kMaxLimitedPaths || !memo.index) return std::nullopt;
  for (auto& path : files)
    if (path.empty() || path.back() == '/' || changesOtherPaths(path)) return std::nullopt;
  // The last list's index column stands only while the index and HEAD do.
  const std::string indexPath = descriptor.gitURL.path() + "/index";
  auto identity = detail::indexFileIdentity(indexPath);
  if (!identity || *identity != *memo.index || headIdentity(descriptor) != memo.head) return std::nullopt;
  auto snapshot = memo.snapshot;
  if (!snapshot || snapshot->identity() != *identity) {
    snapshot = detail::IndexSnapshot::open(indexPath);
    if (!snapshot || snapshot->identity() != *identity) return std::nullopt;
  }
  next.snapshot = snapshot;
  // The folders the watcher does not look into are ignored ones: git lists
  // nothing in them but the files it tracks there.
  for (auto& folder : folders) {
    auto tracked = folder.ends_with('/') ? snapshot->hasEntriesUnder(folder) : std::nullopt;
    if (tracked != false) return std::nullopt;
  }

  // The settings git answered for the last list stand while the files they
  // come from do (the caller dropped a memo whose files changed).
  std::optional<std::string> listing = memo.coreSettings;
  if (!listing) {
    configQuery_ = true;
    try {
      runCommand(context);
      configQuery_ = false;
      listing = std::string(stdOutBuffer->remaining());
    } catch (const GitStdError&) {
      configQuery_ = false;
      return std::nullopt;
    }
    *stdOutBuffer = GitBuffer();
    if (configComesFromWatchedFiles(descriptor)) next.coreSettings = listing;
  } else {
    next.coreSettings = listing;
  }
  auto settings = compareSettings(*listing);
  if (!settings) return std::nullopt;

  const std::string worktree = descriptor.url.path() + "/";
  AttributeFiles attributes(*snapshot, worktree);
  const char* home = std::getenv("HOME");
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::vector<std::string> shared{descriptor.commonURL.path() + "/info/attributes", "/etc/gitattributes"};
  if (settings->attributesFile) {
    std::string file = *settings->attributesFile;
    if (file.starts_with("~/")) file = std::string(home ? home : "") + file.substr(1);
    shared.push_back(file);
  } else {
    if (xdg && *xdg) shared.push_back(std::string(xdg) + "/git/attributes");
    if (home) shared.push_back(std::string(home) + "/.config/git/attributes");
  }
  for (auto& file : shared)
    if (!attributes.fileIsNeutral(file)) return std::nullopt;

  const auto& base = memo.list->entries;
  std::vector<GitStatusEntry> fresh;
  for (auto& path : files) {
    for (size_t slash = 0;; ++slash) {
      if (!attributes.folderIsNeutral(path.substr(0, slash))) return std::nullopt;
      // git takes a file behind a symbolic link for a deleted one.
      struct stat folder;
      if (slash && ::lstat((worktree + path.substr(0, slash - 1)).c_str(), &folder) == 0 && !S_ISDIR(folder.st_mode))
        return std::nullopt;
      slash = path.find('/', slash);
      if (slash == std::string::npos) break;
    }
    auto entries = snapshot->lookup(path);
    if (!entries || entries->size() != 1) return std::nullopt;
    auto first = std::partition_point(base.begin(), base.end(),
                                      [&](const GitStatusEntry& e) { return entryPath(e) < std::string_view(path); });
    const GitStatusEntry* last = nullptr;
    for (auto it = first; it != base.end() && entryPath(*it) == path; ++it) {
      if (last) return std::nullopt;
      last = &*it;
    }
    auto record = fileStatus(path, worktree + path, entries->front(), last, *snapshot, *settings);
    if (!record) return std::nullopt;
    if (*record) fresh.push_back(std::move(**record));
  }
  sortByPath(fresh);
  // Records in the ignored folders, of files the index no longer has, are
  // the last list's: the index and HEAD are unchanged.
  const std::vector<std::string> noFolders;
  ChangedPaths changed(files, noFolders, false);
  auto merged = mergeChanges(base, std::move(fresh), changed, worktree);
  if (!merged) return std::nullopt;
  return GitStatusList{std::move(*merged)};
}

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
  ChangedPaths changed(files, folders, true);
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
  std::shared_ptr<const Memo> memo;
  detail::FsmonitorEndpoint::ExactChanges changes;
  auto next = std::make_shared<Memo>();
  if (endpoint && endpoint->exactChanges) {
    {
      std::lock_guard lock(endpoint->memoLock);
      memo = std::static_pointer_cast<const Memo>(endpoint->statusMemo);
    }
    // Taken before git runs: what changes while it runs is in the next answer.
    changes = endpoint->exactChanges(memo ? memo->token : std::string());
    next->index = detail::indexFileIdentity(descriptor->gitURL.path() + "/index");
    next->head = headIdentity(*descriptor);
    next->rules = outsideRules(*descriptor);
    if (memo) next->snapshot = memo->snapshot;
    if (memo && memo->rules != next->rules) memo = nullptr;
  }
  SharedValue<GitStatusList> list;
  if (memo && changes.paths) {
    list = readInProcess(context, *memo, *changes.paths, changes.unwatchedFolders, *descriptor, *next);
    if (list) ++endpoint->inProcessRuns;
    else list = readChanges(context, memo->list, *changes.paths, changes.unwatchedFolders, worktree);
  }
  if (list) {
    ++endpoint->pathLimitedRuns;
  } else {
    list = readWhole(context, worktree);
    if (endpoint) ++endpoint->wholeRuns;
  }
  if (endpoint && !changes.token.empty()) {
    next->token = changes.token;
    next->list = list.shared();
    std::lock_guard lock(endpoint->memoLock);
    endpoint->statusMemo = std::shared_ptr<const Memo>(std::move(next));
  }
  return list;
}

} // namespace tavrik
