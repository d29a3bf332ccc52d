// The commands that move history: merge, rebase, cherry-pick and revert,
// each with its continue and abort, and the abort-only forms of mailbox
// apply and bisect. All but bisect hold the queue's index lock. None opens
// an editor: git takes its prepared messages as they are.
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Rebase/GitEditor.h"
#include "tavrik/State/GitCount.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavrik {

/// What `git merge` does: merge `refish` (squashed into the index when
/// `squash`, always with a merge commit when `noFastForward`), or abort or
/// continue the merge in progress.
struct GitExecMergeOptions {
  std::optional<std::string> refish = std::nullopt;
  bool squash = false;
  bool noFastForward = false;
  bool abort = false;
  // `continue` in the design; a keyword here.
  bool continueMerge = false;
};

class GitExecMergeOperation : public GitExecCommandOperation {
public:
  using Options = GitExecMergeOptions;
  explicit GitExecMergeOperation(GitExecMergeOptions options = {})
      : refish(std::move(options.refish)), squash(options.squash), noFastForward(options.noFastForward),
        abort(options.abort), continueMerge(options.continueMerge) {}
  static std::shared_ptr<GitExecMergeOperation> abortMerge();
  static std::shared_ptr<GitExecMergeOperation> continueOperation();

  const std::optional<std::string> refish;
  const bool squash, noFastForward, abort;
  // `continue` in the design; a keyword here.
  const bool continueMerge;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  void validate(GitOperationContext& context) override;
};

/// What `git rebase` does: rebase onto `refish` (from the root when
/// `root`), interactively when `interactive`, or abort or continue the
/// rebase in progress.
struct GitExecRebaseOptions {
  std::optional<std::string> refish = std::nullopt;
  bool abort = false;
  bool continueRebase = false;
  bool interactive = false;
  bool root = false;
};

/// git rebase. Before an interactive rebase with a plan runs, the plan is
/// checked against the commits git will list (TavrikError when an action
/// names a commit outside them, or one commit twice). When a run stops at an
/// `edit`, the stopped commit goes back into the index (HEAD moves to its
/// parent), at the first stop as at every later one, so the next commit
/// replaces it.
class GitExecRebaseOperation : public GitExecCommandOperation {
public:
  using Options = GitExecRebaseOptions;
  explicit GitExecRebaseOperation(GitExecRebaseOptions options = {})
      : refish(std::move(options.refish)), abort(options.abort), continueRebase(options.continueRebase),
        interactive(options.interactive), root(options.root) {}
  static std::shared_ptr<GitExecRebaseOperation> abortRebase();
  static std::shared_ptr<GitExecRebaseOperation> continueOperation();
  /// An interactive rebase onto `refish`, or of the whole branch from its
  /// root when nullopt, with `editor` turning git's instruction list around.
  static std::shared_ptr<GitExecRebaseOperation> interactiveRebase(std::optional<std::string> refish,
                                                                   std::shared_ptr<GitEditor> editor);

  const std::optional<std::string> refish;
  const bool abort, continueRebase, interactive, root;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  /// Refuses an option-like refish and a plan that does not fit the
  /// commits to be replayed; runs git rev-list for the latter.
  void validate(GitOperationContext& context) override;
  pledge::Void execute(GitOperationContext& context) override;
};

/// Chains `git rebase --continue` on the queue of `future`; `quiet` marks it.
template <class T>
pledge::Future<GitQueueValue<pledge::Void>> continueRebase(const pledge::Future<GitQueueValue<T>>& future,
                                                           bool quiet) {
  return next(future, [quiet](const GitQueueValue<T>&) {
    auto op = GitExecRebaseOperation::continueOperation();
    op->setQuiet(quiet);
    return op;
  });
}

/// Chains an interactive rebase (see `interactiveRebase`) on the queue of `future`.
template <class T>
pledge::Future<GitQueueValue<pledge::Void>> rebase(const pledge::Future<GitQueueValue<T>>& future,
                                                  std::optional<std::string> interactive,
                                                  std::shared_ptr<GitEditor> editor) {
  return next(future, [interactive = std::move(interactive), editor = std::move(editor)](const GitQueueValue<T>&) {
    return GitExecRebaseOperation::interactiveRebase(interactive, editor);
  });
}

namespace detail {
/// The commit an interactive rebase stopped at for editing while it is
/// still HEAD (not yet put back into the index); nullopt otherwise.
std::optional<Oid> commitHeldAtEditStop(const std::string& gitDirectory);

/// Logs the choice and says whether to rebase from the root: when fewer
/// than `threshold` commits lie between `refish` and the root.
bool rebaseFromRoot(const GitCount& count, int64_t threshold, const std::string& refish);
} // namespace detail

/// When `future`'s count of commits between `interactive` and the root is
/// below `rebaseFromRootBelow`, rebases the whole branch from its root;
/// otherwise from `interactive`.
inline pledge::Future<GitQueueValue<pledge::Void>>
rebaseFromRootIfRequired(const pledge::Future<GitQueueValue<GitCount>>& future, std::string interactive,
                         int64_t rebaseFromRootBelow, std::shared_ptr<GitEditor> editor) {
  return next(future, [interactive = std::move(interactive), rebaseFromRootBelow,
                       editor = std::move(editor)](const GitQueueValue<GitCount>& value) {
    bool fromRoot = detail::rebaseFromRoot(value.value, rebaseFromRootBelow, interactive);
    return GitExecRebaseOperation::interactiveRebase(fromRoot ? std::nullopt : std::optional(interactive), editor);
  });
}

/// What `git cherry-pick` does: pick `commits` in order, or abort or
/// continue the pick in progress.
struct GitExecCherryPickOptions {
  std::vector<Oid> commits = {};
  bool abort = false;
  bool continuePick = false;
};

/// Picked commits keep their authors: the engine's author identity is not
/// given to git.
class GitExecCherryPickOperation : public GitExecCommandOperation {
public:
  using Options = GitExecCherryPickOptions;
  explicit GitExecCherryPickOperation(GitExecCherryPickOptions options = {})
      : commits(std::move(options.commits)), abort(options.abort), continuePick(options.continuePick) {}
  static std::shared_ptr<GitExecCherryPickOperation> abortPick();
  static std::shared_ptr<GitExecCherryPickOperation> continueOperation();

  const std::vector<Oid> commits;
  const bool abort, continuePick;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  std::map<std::string, std::string> environment(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
};

/// What `git revert` does: revert the commit `oid`, or abort or continue the
/// revert in progress.
struct GitExecRevertOptions {
  std::optional<Oid> oid = std::nullopt;
  bool abort = false;
  bool continueRevert = false;
};

/// A revert fails whenever git does, a conflict included (as merge and
/// cherry-pick do); after a conflict the repository is in its revert state
/// for the client to resolve, continue or abort.
class GitExecRevertOperation : public GitExecCommandOperation {
public:
  using Options = GitExecRevertOptions;
  explicit GitExecRevertOperation(GitExecRevertOptions options = {})
      : oid(options.oid), abort(options.abort), continueRevert(options.continueRevert) {}
  static std::shared_ptr<GitExecRevertOperation> abortRevert();
  static std::shared_ptr<GitExecRevertOperation> continueOperation();

  const std::optional<Oid> oid;
  const bool abort, continueRevert;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
};

class GitExecAmOperation : public GitExecCommandOperation {
public:
  explicit GitExecAmOperation(bool abort) : abort(abort) {}
  static std::shared_ptr<GitExecAmOperation> abortApply();
  const bool abort;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override { return {}; }
  bool needsIndexLock() const override { return true; }
};

class GitExecBisectOperation : public GitExecCommandOperation {
public:
  explicit GitExecBisectOperation(bool reset) : reset(reset) {}
  static std::shared_ptr<GitExecBisectOperation> resetBisect();
  const bool reset;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
};

} // namespace tavrik
