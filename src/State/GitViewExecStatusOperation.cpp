#include "tavrik/State/GitViewExecStatusOperation.h"

#include "Process/FsmonitorBridge.h"
#include "tavrik/State/GitStatusParser.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tavrik {

std::map<std::string, std::string> GitViewExecStatusOperation::environment(GitOperationContext& context) {
  auto variables = GitExecRunner::environment(context);
  monitorArguments_.clear();
  // With --ignored git lists what the untracked cache leaves out; a plain
  // run costs the same.
  auto descriptor = context.effectiveDescriptor();
  if (includeIgnored || !descriptor) return variables;
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

std::optional<Date> modificationDate(int directory, const char* name) {
  struct stat info;
  if (::fstatat(directory, name, &info, 0) != 0) return std::nullopt;
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

SharedValue<GitStatusList> GitViewExecStatusOperation::execute(GitOperationContext& context) {
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor || descriptor->isBare) return std::nullopt;
  const Url worktree = descriptor->url;

  runCommand(context);
  entries = GitStatusParser::parse(*stdOutBuffer);
  // The output is not needed any more; give its memory back before the
  // entries are stamped and stored.
  *stdOutBuffer = GitBuffer();
  sortByPath(entries);
  stampModificationDates(entries, worktree);

  return GitStatusList{std::move(entries)};
}

} // namespace tavrik
