// Working trees of one repository side by side: add one (on an existing
// branch, a new branch or a detached commit), remove, move, lock with a
// reason, unlock, prune the entries whose folders are gone, and repair the
// links after folders were moved by hand. Each runs `git worktree` once.
//
// Paths are the client's bytes and reach git as they are; a path, branch or
// commit beginning with "-" is refused before git runs. git's refusals come
// as GitStdError with their kind: a branch checked out in another worktree
// (branchCheckedOutElsewhere), a tree with changes to remove
// (worktreeHasChanges), a locked tree to remove or move (worktreeLocked).
// `force` is passed only when the client asks for it.
//
// A linked worktree can be opened as a queue of its own (its descriptor is
// read like any repository's). The worktrees share refs: a commit in one
// moves a branch the other lists. A client that keeps queues of several
// worktrees of one repository refreshes the others' refs when one reports a
// change of refs, for instance with a change observer on each queue that
// refreshes the other (an unchanged view notifies nobody, so it stops there):
//
//   struct RefreshOther : GitQueueObserver {
//     std::weak_ptr<GitQueue> other;
//     void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects changed) override {
//       const GitAspects shared{GitAspects::refs, GitAspects::worktrees};
//       if (auto queue = other.lock(); queue && changed.containsAny(shared)) queue->updateViewFor(shared);
//     }
//   };
//   mainQueue->addChangeObserver(toLinked);   // toLinked->other = linkedQueue
//   linkedQueue->addChangeObserver(toMain);   // toMain->other = mainQueue
//
// A GitRepositoryWatcher on each queue
// does it for changes made outside the engine, as both watch the common
// directory's refs.
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// What `git worktree` is asked to do.
enum class GitWorktreeAction : uint8_t { add, remove, move, lock, unlock, prune, repair };

/// What a new worktree checks out.
enum class GitWorktreeCheckout : uint8_t {
  /// `branch`, which exists; with no branch, git makes one named after the
  /// folder, as `git worktree add PATH` does.
  existingBranch,
  /// A new branch `branch`, started at `start` (HEAD when nullopt).
  newBranch,
  /// `start` (HEAD when nullopt) with a detached HEAD.
  detached,
};

/// One `git worktree` command; the fields an action does not use are ignored.
struct GitExecWorktreeOptions {
  GitWorktreeAction action = GitWorktreeAction::add;
  /// The worktree: the folder to add, or the worktree to remove, move, lock,
  /// unlock or repair (repair without a path repairs the one the queue is in).
  std::optional<std::string> path = std::nullopt;
  /// move: where the worktree goes.
  std::optional<std::string> newPath = std::nullopt;
  /// add: what is checked out.
  GitWorktreeCheckout checkout = GitWorktreeCheckout::existingBranch;
  /// add: the existing or new branch.
  std::optional<std::string> branch = std::nullopt;
  /// add with a new branch or detached: the commit to start at.
  std::optional<std::string> start = std::nullopt;
  /// lock: why; git stores it and lists it.
  std::optional<std::string> reason = std::nullopt;
  /// add: check out a branch checked out elsewhere or reuse a registered
  /// path; remove: discard the tree's changes; move: move a locked tree.
  bool force = false;
};

/// git worktree add, remove, move, lock, unlock, prune or repair.
class GitExecWorktreeOperation : public GitExecCommandOperation {
public:
  using Options = GitExecWorktreeOptions;
  explicit GitExecWorktreeOperation(GitExecWorktreeOptions options) : options(std::move(options)) {}

  static std::shared_ptr<GitExecWorktreeOperation> add(std::string path, GitWorktreeCheckout checkout,
                                                       std::optional<std::string> branch,
                                                       std::optional<std::string> start = std::nullopt);
  static std::shared_ptr<GitExecWorktreeOperation> remove(std::string path, bool force);
  static std::shared_ptr<GitExecWorktreeOperation> move(std::string path, std::string newPath);
  static std::shared_ptr<GitExecWorktreeOperation> lock(std::string path, std::optional<std::string> reason);
  static std::shared_ptr<GitExecWorktreeOperation> unlock(std::string path);
  static std::shared_ptr<GitExecWorktreeOperation> prune();
  static std::shared_ptr<GitExecWorktreeOperation> repair(std::optional<std::string> path = std::nullopt);

  const GitExecWorktreeOptions options;

  /// "worktree", the action, its options, then "--" and the positional values.
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// worktrees always; refs too for add, remove, move and prune (a branch's
  /// worktree path, a new branch); reflogs for a new branch.
  GitAspects aspects() const override;
  // The undo journal keeps no other worktrees.
  GitJournalScope journalScope() const override { return GitJournalScope::none; }
  /// Throws TavrikError for a value beginning with "-", or for an action
  /// without the path (add, remove, move, lock, unlock) or new path (move)
  /// it needs, or a new branch without its name.
  void validate(GitOperationContext& context) override;
};

} // namespace tavrik
