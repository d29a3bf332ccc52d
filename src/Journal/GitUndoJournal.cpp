#include "tavrik/Journal/GitUndoJournal.h"

#include "JournalState.h"

#include "tavrik/State/GitStateFile.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrik {

using namespace journal;

namespace {

struct Pending {
  std::unique_lock<std::mutex> lock;
  /// The repository as the "before" was written, for the "after".
  std::optional<arbor::Repo> repo;
  std::string ref;
  GitUndoEntry entry;
  /// The journal's refs when the entry was begun, itself not counted.
  size_t entriesBefore = 0;
  /// What the "before" kept of the working tree, for the "after" to match.
  std::optional<std::vector<std::string>> worktreePaths;
};

std::string refName(bool undone, uint64_t number) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%010llu", static_cast<unsigned long long>(number));
  return std::string(kJournalRefPrefix) + (undone ? "redo/" : "undo/") + digits;
}

// The bytes of the files the working-tree snapshot holds that the index
// does not: what the entry alone keeps alive.
uint64_t keptBytes(GitOperationContext& context, const std::string& tree) {
  auto output = runGit(context, {"diff-index", "--cached", "-z", "--no-renames", "--no-abbrev", tree});
  const auto root = context.requireDescriptor().url.path();
  uint64_t bytes = 0;
  size_t at = 0;
  while (at < output.size()) {
    auto headerEnd = output.find('\0', at);
    if (headerEnd == std::string::npos) break;
    auto pathEnd = output.find('\0', headerEnd + 1);
    if (pathEnd == std::string::npos) break;
    const bool inTree = output.compare(at, 7, ":000000") != 0;
    struct stat info {};
    if (inTree && ::lstat((root + "/" + output.substr(headerEnd + 1, pathEnd - headerEnd - 1)).c_str(), &info) == 0)
      bytes += uint64_t(info.st_size);
    at = pathEnd + 1;
  }
  return bytes;
}

void deleteRefs(Store& store, const std::vector<std::string>& refs) {
  std::string input;
  for (const auto& ref : refs) input += "delete " + ref + "\n";
  updateRefs(store, input);
}

} // namespace

const char* gitJournalScopeName(GitJournalScope scope) {
  switch (scope) {
  case GitJournalScope::none: return "none";
  case GitJournalScope::refs: return "refs";
  case GitJournalScope::refsAndIndex: return "refsAndIndex";
  case GitJournalScope::workingTree: return "workingTree";
  }
  return "refsAndIndex";
}

std::shared_ptr<GitUndoJournal> GitUndoJournal::make(GitUndoJournalOptions options) {
  return std::make_shared<GitUndoJournal>(options);
}

std::any GitUndoJournal::operationWillRun(const GitQueueOperation& operation, GitJournalScope scope,
                                          GitOperationContext& context) {
  return begin(operation.title().value_or(operation.typeName()), scope, operation.journalPaths(), context, {});
}

std::any GitUndoJournal::record(const std::string& title, GitJournalScope scope, GitOperationContext& context,
                                std::unique_lock<std::mutex> held) {
  return begin(title, scope, std::nullopt, context, std::move(held));
}

std::any GitUndoJournal::begin(const std::string& title, GitJournalScope scope,
                               const std::optional<std::vector<std::string>>& paths, GitOperationContext& context,
                               std::unique_lock<std::mutex> held) {
  if (held.owns_lock() && held.mutex() != &writeLock_)
    throw std::logic_error("GitUndoJournal::record: a lock that holdEntries did not give");
  const auto* descriptor = context.effectiveDescriptor();
  if (!descriptor || descriptor->isBare || ::access((descriptor->gitURL.path() + "/HEAD").c_str(), F_OK) != 0) return {};
  auto pending = std::make_shared<Pending>();
  pending->lock = held.owns_lock() ? std::move(held) : std::unique_lock(writeLock_);
  auto store = Store::open(context);
  pending->repo = store.repo;
  std::vector<std::string> journalRefs;
  const State state = readState(store, scope, &journalRefs, true, paths);
  uint64_t last = 0;
  std::vector<std::string> redo;
  for (const auto& ref : journalRefs) {
    auto slash = ref.rfind('/');
    last = std::max<uint64_t>(last, std::strtoull(ref.c_str() + slash + 1, nullptr, 10));
    if (ref.starts_with(std::string(kJournalRefPrefix) + "redo/")) redo.push_back(ref);
  }
  // A new step forks from the undone ones: they cannot be redone on top.
  deleteRefs(store, redo);
  pending->entry = {.number = last + 1,
                    .title = title,
                    .time = std::time(nullptr),
                    .scope = scope,
                    .bytes = state.worktreeBytes ? *state.worktreeBytes
                             : state.worktree    ? keptBytes(context, *state.worktree)
                                                 : 0};
  pending->ref = refName(false, pending->entry.number);
  pending->entriesBefore = journalRefs.size() - redo.size();
  pending->worktreePaths = state.worktreePaths;
  writeState(store, pending->ref, state, entryMessage(pending->entry, false), std::nullopt);
  recorded_.fetch_add(1, std::memory_order_relaxed);
  return pending;
}

void GitUndoJournal::operationDidRun(const std::any& token, GitOperationContext& context) {
  auto pending = std::any_cast<std::shared_ptr<Pending>>(token);
  if (!pending || !pending->lock.owns_lock()) return;
  Store store{context, pending->repo};
  const State state = readState(store, pending->entry.scope, nullptr, true, pending->worktreePaths);
  writeState(store, pending->ref, state, entryMessage(pending->entry, true), pending->ref);
  pending->lock.unlock();

  // An entry that keeps no file contents cannot take the journal over its
  // size: only the count needs checking then, which is known.
  if (pending->entriesBefore + 1 <= options.maxEntries && pending->entry.bytes == 0) return;
  auto entries = listEntries(store);
  uint64_t bytes = 0;
  for (const auto& entry : entries) bytes += entry.entry.bytes;
  std::vector<std::string> dropped;
  for (const auto& entry : entries) {
    if (entries.size() - dropped.size() <= options.maxEntries && bytes <= options.maxBytes) break;
    if (entry.ref == pending->ref) break; // the newest entry always stays
    dropped.push_back(entry.ref);
    bytes -= entry.entry.bytes;
  }
  deleteRefs(store, dropped);
}

// ---- undo and redo ----

namespace {

struct Restore {
  Store& store;
  GitOperationContext& context;
  const State& from; // what the entry left: the lease
  const State& to;   // what the undo or redo brings back
  std::string zeroId;

  // The keys whose values differ between the two maps, a key in one only included.
  static std::vector<std::string> changedKeys(const std::map<std::string, std::string>& a,
                                              const std::map<std::string, std::string>& b) {
    std::set<std::string> keys;
    for (const auto& [key, value] : a) keys.insert(key);
    for (const auto& [key, value] : b) keys.insert(key);
    std::vector<std::string> changed;
    for (const auto& key : keys)
      if (valueIn(a, key) != valueIn(b, key)) changed.push_back(key);
    return changed;
  }
  std::vector<std::string> changedRefs() const { return changedKeys(from.refs, to.refs); }
  std::vector<std::string> changedPaths() const {
    auto paths = changedKeys(from.index, to.index);
    for (auto& path : changedKeys(from.indexFlags, to.indexFlags))
      if (valueIn(from.index, path) == valueIn(to.index, path)) paths.push_back(path);
    return paths;
  }
  static bool flagged(const State& state, const std::string& path, char letter) {
    auto it = state.indexFlags.find(path);
    return it != state.indexFlags.end() && it->second.find(letter) != std::string::npos;
  }
  std::vector<std::string> changedSettings() const { return changedKeys(from.branchConfig, to.branchConfig); }

  template <class Map> static std::optional<std::string> valueIn(const Map& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? std::nullopt : std::optional(it->second);
  }

  /// What changed in `current` since the entry, among the things the
  /// entry changed: the names of what moved.
  std::vector<std::string> moved(const State& current) const {
    std::vector<std::string> names;
    if (from.head != to.head && current.head != from.head) names.push_back("HEAD");
    for (const auto& name : changedRefs())
      if (valueIn(current.refs, name) != valueIn(from.refs, name)) names.push_back(name);
    if (from.stashLog != to.stashLog && current.stashLog != from.stashLog) names.push_back("the stash list");
    for (const auto& path : changedPaths())
      if (valueIn(current.index, path) != valueIn(from.index, path) ||
          valueIn(current.indexFlags, path) != valueIn(from.indexFlags, path))
        names.push_back("the index entry of " + path);
    for (const auto& key : changedSettings())
      if (valueIn(current.branchConfig, key) != valueIn(from.branchConfig, key)) names.push_back("the setting " + key);
    if (from.worktree && to.worktree && current.worktree) {
      std::set<std::string> touched;
      for (const auto& change : diffTrees(context, *from.worktree, *to.worktree)) touched.insert(change.path);
      for (const auto& change : diffTrees(context, *from.worktree, *current.worktree))
        if (touched.count(change.path)) names.push_back("the file " + change.path);
    }
    return names;
  }

  void refs(const State& current) const {
    std::string deletes, updates;
    std::vector<std::string> deleted, written;
    for (const auto& name : changedRefs()) {
      auto now = valueIn(current.refs, name);
      auto target = valueIn(to.refs, name);
      if (now == target) continue;
      if (target) {
        updates += "update " + name + " " + *target + " " + now.value_or(zeroId) + "\n";
        written.push_back(name);
      } else {
        deletes += "delete " + name + " " + *now + "\n";
        deleted.push_back(name);
      }
    }
    // git refuses to delete a ref and create one in its folder (or the
    // folder's ref) in one transaction: undoing `branch -m a a/b` takes the
    // deletions first, each step under its leases.
    auto inFolder = [](const std::string& inner, const std::string& outer) {
      return inner.size() > outer.size() && inner.starts_with(outer) && inner[outer.size()] == '/';
    };
    const bool clash = std::any_of(deleted.begin(), deleted.end(), [&](const std::string& gone) {
      return std::any_of(written.begin(), written.end(),
                         [&](const std::string& name) { return inFolder(name, gone) || inFolder(gone, name); });
    });
    if (clash) {
      updateRefs(store, deletes);
      updateRefs(store, updates);
    } else {
      updateRefs(store, deletes + updates);
    }
    if (from.head != to.head && to.head != current.head) writeHead(store, to.head);
    writeBranchConfig(context, changedSettings(), current.branchConfig, to.branchConfig);
    // Updating refs/stash appended to its reflog: the stash list is put back
    // as it was, byte for byte.
    if (to.stashLog != from.stashLog) {
      const auto path = context.requireDescriptor().commonURL.path() + "/logs/refs/stash";
      if (to.stashLog) writeFileAtomically(path, *to.stashLog);
      else std::remove(path.c_str());
    }
  }

  void index() const {
    std::string removals, additions;
    std::vector<std::string> intents, marks[2][2]; // [skip-worktree, assume unchanged][clear, set]
    for (const auto& path : changedPaths()) {
      const bool intent = flagged(to, path, 'i');
      // An entry's intent to add cannot be switched: the entry is replaced.
      const bool replace = valueIn(from.index, path) != valueIn(to.index, path) || intent != flagged(from, path, 'i');
      if (replace) {
        // Mode 0 removes every stage of the path; the records put back follow.
        removals += "0 " + zeroId + "\t" + path + '\0';
        if (intent) intents.push_back(path);
        else if (auto records = valueIn(to.index, path)) additions += *records;
      }
      for (int flag = 0; flag < 2; ++flag) {
        const char letter = "sv"[flag];
        const bool on = flagged(to, path, letter);
        // A replaced entry starts without flags.
        if (on || (!replace && flagged(from, path, letter))) marks[flag][on].push_back(path);
      }
    }
    if (!removals.empty()) runGit(context, {"update-index", "-z", "--index-info"}, removals + additions);
    if (!intents.empty()) addWithIntent(context, intents, to.index);
    for (int flag = 0; flag < 2; ++flag)
      for (int on = 0; on < 2; ++on) markIndexEntries(context, "sv"[flag], on, marks[flag][on]);
  }

  void worktree(const State& current) const {
    if (!from.worktree || !to.worktree || !current.worktree) return;
    const auto root = context.requireDescriptor().url.path();
    // Only the files the entry changed: others may hold work done since.
    std::set<std::string> touched;
    for (const auto& change : diffTrees(context, *from.worktree, *to.worktree)) touched.insert(change.path);
    auto changes = diffTrees(context, *current.worktree, *to.worktree);
    std::erase_if(changes, [&](const TreeChange& change) { return !touched.count(change.path); });
    // Deletions first, so a file may take the place of a folder and back.
    for (const auto& change : changes) {
      if (change.oldSide.empty() || !change.newSide.empty()) continue;
      removeFile(root, change.path);
    }
    std::string input;
    std::vector<const TreeChange*> writes;
    for (const auto& change : changes) {
      if (change.newSide.empty() || change.newSide.starts_with("160000")) continue;
      input += change.newSide.substr(7) + "\n";
      writes.push_back(&change);
    }
    if (writes.empty()) return;
    const auto output = runGit(context, {"cat-file", "--batch"}, input);
    std::string_view rest = output;
    for (const auto* change : writes) {
      auto newline = rest.find('\n');
      auto header = rest.substr(0, newline);
      auto size = std::strtoull(std::string(header.substr(header.rfind(' ') + 1)).c_str(), nullptr, 10);
      rest.remove_prefix(newline + 1);
      writeFile(root, change->path, change->newSide.substr(0, 6), rest.substr(0, size));
      rest.remove_prefix(std::min<size_t>(size + 1, rest.size()));
    }
  }

  static void removeFile(const std::string& root, const std::string& path) {
    const auto full = root + "/" + path;
    if (::unlink(full.c_str()) != 0 && errno != ENOENT && errno != EISDIR)
      throw TavrikError("Cannot remove " + path, std::strerror(errno));
    // Folders the deletion emptied go too, as git's own checkout does.
    auto dir = std::filesystem::path(full).parent_path();
    while (dir.string().size() > root.size() && ::rmdir(dir.c_str()) == 0) dir = dir.parent_path();
  }

  static void writeFile(const std::string& root, const std::string& path, std::string_view mode, std::string_view bytes) {
    const auto full = root + "/" + path;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(full).parent_path(), error);
    ::unlink(full.c_str());
    if (mode == "120000") {
      if (::symlink(std::string(bytes).c_str(), full.c_str()) != 0)
        throw TavrikError("Cannot restore the link " + path, std::strerror(errno));
      return;
    }
    int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode == "100755" ? 0777 : 0666);
    if (fd < 0) throw TavrikError("Cannot restore " + path, std::strerror(errno));
    while (!bytes.empty()) {
      auto written = ::write(fd, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) {
        auto message = std::strerror(errno);
        ::close(fd);
        throw TavrikError("Cannot restore " + path, message);
      }
      bytes.remove_prefix(size_t(written));
    }
    ::close(fd);
  }
};

bool abortInProgress(GitOperationContext& context) {
  const char* command = nullptr;
  switch (GitStateFileSet::read(context.requireDescriptor().gitURL).state) {
  case GitState::merge: command = "merge"; break;
  case GitState::revert:
  case GitState::revertSequence: command = "revert"; break;
  case GitState::cherrypick:
  case GitState::cherrypickSequence: command = "cherry-pick"; break;
  case GitState::rebase:
  case GitState::rebaseInteractive:
  case GitState::rebaseMerge:
  case GitState::applyMailboxOrRebase: command = "rebase"; break;
  case GitState::applyMailbox: command = "am"; break;
  default: break;
  }
  if (command) runGit(context, {command, "--abort"});
  return command != nullptr;
}

} // namespace

std::optional<std::string> GitUndoOperation::title() const {
  return options.direction == GitUndoDirection::undo ? "Undo" : "Redo";
}

GitUndoEntry GitUndoOperation::execute(GitOperationContext& context) {
  const bool undo = options.direction == GitUndoDirection::undo;
  auto journal = options.journal;
  if (!journal && context.host()) journal = std::dynamic_pointer_cast<GitUndoJournal>(context.host()->journal());
  std::unique_lock<std::mutex> held;
  if (journal) held = journal->holdEntries();
  auto store = Store::open(context);
  const auto entries = listEntries(store);
  const EntryRef* chosen = nullptr;
  // Undo takes the newest entry not undone; redo the one undone last, which
  // is the oldest of the undone (they are undone newest first).
  for (const auto& entry : entries) {
    if (undo && !entry.entry.undone) chosen = &entry;
    if (!undo && entry.entry.undone && !chosen) chosen = &entry;
  }
  if (!chosen) throw TavrikError(undo ? "Nothing to undo." : "Nothing to redo.");
  if (!undo && !chosen->entry.complete) throw TavrikError("Cannot redo \"" + chosen->entry.title + "\": it never finished.");

  context.updatedAspects.formUnion(GitAspects::all);
  const auto stored = readEntry(store, *chosen);
  const auto scope = chosen->entry.scope;
  // An entry that left the index alone has none of it to compare or restore.
  const bool withIndex = !stored.after || !stored.sameIndex;
  // The files now at the paths the entry kept, and only those.
  const auto& paths = stored.before.worktreePaths;
  auto readNow = [&] {
    auto state = readState(store, scope, nullptr, withIndex, paths);
    readIndexMap(state);
    return state;
  };
  State current = readNow();
  // An entry whose operation never finished has no "after": what is there
  // now stands in for it, and is journaled before it is replaced.
  const State& from = undo ? (stored.after ? *stored.after : current) : stored.before;
  const State& to = undo ? stored.before : *stored.after;
  std::string zeroId(std::max<size_t>(40, current.refs.empty() ? 40 : current.refs.begin()->second.size()), '0');
  Restore restore{store, context, from, to, zeroId};

  const auto moved = restore.moved(current);
  const bool journalFirst = !moved.empty() || !stored.after;
  if (!moved.empty() && !options.force) {
    std::string list;
    for (const auto& name : moved) list += (list.empty() ? "" : ", ") + name;
    throw TavrikError("Cannot " + std::string(undo ? "undo" : "redo") + " \"" + chosen->entry.title +
                          "\": changed since: " + list + ".",
                      "Use --force to " + std::string(undo ? "undo" : "redo") +
                          " it anyway; what is there now is journaled first, so that can be undone.");
  }
  std::any token;
  if (journalFirst) {
    if (!options.journal) throw TavrikError("A forced undo needs a journal to record the state it replaces.");
    token = options.journal->record(std::string(undo ? "Undo" : "Redo") + " of " + chosen->entry.title,
                                    GitJournalScope::workingTree, context, std::move(held));
  }

  // Going back to where nothing was in progress is git's abort; an abort
  // moves HEAD and rewrites files, so the lease is then what is there now.
  const bool abort = to.progress.empty() && !current.progress.empty() && from.progress != to.progress;
  const State now = abort && abortInProgress(context) ? readNow() : current;
  if (from.progress != to.progress || now.progress != to.progress) writeProgress(context, to.progress, now.progress);
  restore.refs(now);
  restore.index();
  restore.worktree(now);

  if (token.has_value()) {
    options.journal->operationDidRun(token, context);
    updateRefs(store, "delete " + chosen->ref + "\n");
  } else {
    updateRefs(store, "create " + refName(undo, chosen->entry.number) + " " + chosen->id + "\ndelete " + chosen->ref +
                          " " + chosen->id + "\n");
  }
  auto result = chosen->entry;
  result.undone = undo;
  return result;
}

std::vector<GitUndoEntry> GitUndoListOperation::execute(GitOperationContext& context) {
  auto store = Store::open(context);
  auto entries = listEntries(store);
  std::vector<GitUndoEntry> list;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    if (!it->entry.undone) list.push_back(it->entry);
  for (const auto& entry : entries)
    if (entry.entry.undone) list.push_back(entry.entry);
  return list;
}

} // namespace tavrik
