// The undo journal: every operation the engine runs that changes refs, the
// index or the working tree leaves an entry, so the user can take it back
// (`GitUndoOperation`) and take the undo back (redo). Attach one to a queue
// with `queue->setJournal(GitUndoJournal::make())`; the run flow then records
// each journaled operation (see `GitQueueOperation::journalScope`).
//
// An entry is a commit under the repository's private namespace
// refs/tavrik/undo/<number> (refs/tavrik/redo/<number> once undone). Its
// tree holds "head" (the HEAD file), "refs" (every ref outside refs/tavrik,
// "<id> <name>" lines), "index" (`git ls-files -s -z`, unmerged stages
// included), "index-flags" (the entries added with intent to add, marked
// skip-worktree or assume unchanged, when there are any), "branch-config"
// (the branch.* settings) and, for operations that may rewrite the working
// tree, "worktree" (a tree of every tracked and untracked file, ignored ones
// left out; only of the files at the paths in "worktree-paths", and under
// them, when the operation names its paths). The entry is written before
// the operation runs; a second commit, whose parent is the first, records
// the state after it and marks
// the entry complete. Because the entries are refs, `git gc` keeps their
// objects until retention drops them, oldest first.
//
// It is its own folder, above the queue: it runs git as the operations do
// and is handed to the queue through the operation layer's narrow
// `GitOperationJournal` interface, while the command folders know nothing
// of it.
#pragma once

#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Operation/GitOperationJournal.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// The private ref namespace of the journal; every listing the engine shows
/// leaves it out, and no push names it.
inline constexpr std::string_view kJournalRefPrefix = "refs/tavrik/";

/// How much the journal keeps: beyond either limit the oldest entries go.
struct GitUndoJournalOptions {
  size_t maxEntries = 100;
  /// The bytes of working-tree files entries keep that no commit or index
  /// already holds.
  uint64_t maxBytes = uint64_t(1) << 30;
};

/// "refs", "refsAndIndex" or "workingTree": a scope as entries and JSON
/// spell it ("none" is never journaled).
const char* gitJournalScopeName(GitJournalScope scope);

/// One entry as `GitUndoListOperation` lists it.
struct GitUndoEntry {
  /// Grows by one per entry; the last entry undoes first.
  uint64_t number = 0;
  std::string title;
  /// Seconds since the epoch when the operation started.
  int64_t time = 0;
  GitJournalScope scope = GitJournalScope::refsAndIndex;
  /// False while the operation runs, and for one whose process was killed.
  bool complete = false;
  /// True once undone: it is then on the redo side.
  bool undone = false;
  /// The bytes of working-tree files it keeps that no commit or index holds.
  uint64_t bytes = 0;

  bool operator==(const GitUndoEntry&) const = default;
};

/// The journal one client keeps for its queues. Thread-safe; entries are
/// written one at a time. It reads refs and the index and writes its entries
/// in process once the client has called `arbor::Repo::initializeLibrary()`
/// on its own thread (it never sets the library up on a worker); until then,
/// and where libgit2 cannot (a split or sparse index, a ref storage it does
/// not know), git runs do the same.
class GitUndoJournal : public GitOperationJournal, public std::enable_shared_from_this<GitUndoJournal> {
public:
  static std::shared_ptr<GitUndoJournal> make(GitUndoJournalOptions options = {});
  explicit GitUndoJournal(GitUndoJournalOptions options) : options(options) {}

  const GitUndoJournalOptions options;

  /// Writes the entry's "before"; a new entry empties the redo side. Returns
  /// an empty token for a repository without a working tree.
  std::any operationWillRun(const GitQueueOperation& operation, GitJournalScope scope,
                            GitOperationContext& context) override;
  /// Writes the "after" and drops what retention no longer keeps.
  void operationDidRun(const std::any& token, GitOperationContext& context) override;

  /// `operationWillRun` for a title of the caller's (a forced undo records
  /// the state it is about to replace). `held`, when it owns a lock, is one
  /// `holdEntries` gave; the entry keeps it until its "after" is written.
  std::any record(const std::string& title, GitJournalScope scope, GitOperationContext& context,
                  std::unique_lock<std::mutex> held = {});

  /// Blocks until no entry is being written and keeps new ones from starting
  /// while the lock lives: an undo holds it from choosing its entry to the
  /// end, so an operation running beside it can neither be chosen half-done
  /// nor record a state the undo is rewriting.
  std::unique_lock<std::mutex> holdEntries() { return std::unique_lock(writeLock_); }

  /// How many entries this journal has begun; any thread.
  uint64_t recordedEntries() const { return recorded_.load(std::memory_order_relaxed); }

private:
  /// `record`, keeping only the files at `paths` when given.
  std::any begin(const std::string& title, GitJournalScope scope, const std::optional<std::vector<std::string>>& paths,
                 GitOperationContext& context, std::unique_lock<std::mutex> held);

  std::atomic<uint64_t> recorded_{0};
  // Held from an entry's "before" to its "after", so entries never
  // interleave, and by an undo for its whole run. Lock order: the queue's
  // index lock (the run flow and an undo take it before the journal's)
  // before writeLock_.
  std::mutex writeLock_;
};

/// Which way `GitUndoOperation` goes.
enum class GitUndoDirection { undo, redo };

struct GitUndoOptions {
  GitUndoDirection direction = GitUndoDirection::undo;
  /// Undo even what changed since the entry was written; the current state
  /// is journaled first, so the forced undo can be undone in turn.
  bool force = false;
  /// The journal that records a forced undo; without one a forced undo is
  /// refused.
  std::shared_ptr<GitUndoJournal> journal;
};

/// Undoes the last complete entry (restores its "before") or redoes the last
/// undone one (restores its "after"). Refs are moved with a lease on the
/// values the entry left, so nothing that changed since is overwritten:
/// without `force` the operation throws TavrikError naming what moved (a
/// ref, HEAD, the index entry or the file of a path). A merge, rebase,
/// cherry-pick, revert or mailbox apply in progress is aborted first.
/// Throws TavrikError when there is nothing to undo or redo. Not journaled
/// itself. The result is the entry undone or redone.
class GitUndoOperation : public GitOperation<GitUndoEntry> {
public:
  using Options = GitUndoOptions;
  explicit GitUndoOperation(GitUndoOptions options) : options(std::move(options)) {}
  const GitUndoOptions options;

  std::optional<std::string> title() const override;
  bool needsIndexLock() const override { return true; }
  GitUndoEntry execute(GitOperationContext& context) override;
};

/// The entries, newest first: the undo side, then the redo side.
class GitUndoListOperation : public GitOperation<std::vector<GitUndoEntry>> {
public:
  std::vector<GitUndoEntry> execute(GitOperationContext& context) override;
};

} // namespace tavrik
