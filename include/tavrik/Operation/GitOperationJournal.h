// What the run flow asks of an undo journal, without knowing how it keeps
// its entries: before an operation that changes refs, the index or the
// working tree runs, the journal records what the operation may change; after
// it ran (failed runs too: git may have changed things before failing), the
// journal records the state it left, so an undo can tell the operation's own
// changes from later ones. The journal itself lives above the queue (Journal/);
// the queue hands it to the run flow through `GitOperationHost::journal`.
#pragma once

#include <any>
#include <memory>

namespace tavrik {

class GitOperationContext;
class GitQueueOperation;

/// How much of the repository an operation may change, so the journal
/// records no more than it must: refs and the index are cheap to keep, the
/// working tree costs a hash of every changed file.
enum class GitJournalScope {
  /// Reads, and writes the journal keeps nothing of (fetch, config).
  none,
  /// Refs and HEAD, with the branch settings (branch and tag commands).
  refs,
  /// Refs, HEAD and the index.
  refsAndIndex,
  /// Those and the files of the working tree, untracked ones included.
  workingTree,
};

class GitOperationJournal {
public:
  virtual ~GitOperationJournal() = default;
  /// Records the state `operation` may change, on its worker before it runs;
  /// the returned token goes to `operationDidRun`. Throws when the state
  /// cannot be recorded: the operation then does not run.
  virtual std::any operationWillRun(const GitQueueOperation& operation, GitJournalScope scope,
                                    GitOperationContext& context) = 0;
  /// Records the state after the run and marks the entry complete. Throws
  /// on failure; the run flow logs it (the operation's outcome stands).
  virtual void operationDidRun(const std::any& token, GitOperationContext& context) = 0;
};

} // namespace tavrik
