// The compound working-tree commands a client's buttons map to: commit
// (which continues an interrupted rebase instead), move files to the trash,
// take one side of a conflict, append ignore rules, and abort whatever is in
// progress.
//
// A compound action adds its children to its own queue and blocks its worker
// until each settles; it takes no index lock itself, so its children (which
// do) can run. Cancelling the action cancels the child that runs.
#pragma once

#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Process/GitSigningPrompts.h"
#include "tavrik/Util/Url.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// The base of actions that run child operations on their queue. Its
/// `signingAuth` goes to every child that has none of its own, so each
/// commit a child makes may ask for a passphrase.
class GitCompoundAction : public GitOperation<pledge::Void>, public GitSigningPrompts {
public:
  /// The action's cancel, then the running child's.
  void cancel() override;

  /// Each action may rewrite the working tree (a commit may go on with a
  /// rebase), so its journal entry keeps the files.
  GitJournalScope journalScope() const override { return GitJournalScope::workingTree; }

  /// The child that runs now; null between children.
  std::shared_ptr<GitQueueOperation> currentChild() const;

protected:
  /// Adds `child` to the queue and waits for it without a limit; returns its
  /// value or throws its error. Throws pledge::CancelledError, running
  /// nothing, once the action is cancelled.
  /// The child works on the action's repository, the override included.
  template <class Op> typename Op::ResultType runChild(GitOperationContext& context, const std::shared_ptr<Op>& child) {
    if (context.overrideDescriptor && !child->overrideDescriptor) child->overrideDescriptor = context.overrideDescriptor;
    startChild(context, child);
    struct Clear {
      GitCompoundAction* self;
      ~Clear() { self->setChild(nullptr); }
    } clear{this};
    return child->future().wait();
  }

private:
  void startChild(GitOperationContext& context, const std::shared_ptr<GitQueueOperation>& child);
  void setChild(const std::shared_ptr<GitQueueOperation>& child);

  mutable std::mutex childLock_; // guards childOp
  /// The running child, held weakly: the queue owns it while it runs.
  std::weak_ptr<GitQueueOperation> childOp;
};

/// Commits, or continues the rebase that waits for the user: a plain rebase
/// continues; an interactive one commits and continues. A stop at an `edit`
/// has the stopped commit in the index (see GitExecRebaseOperation), so the
/// commit replaces it at every stop alike.
class GitCommitAction : public GitCompoundAction {
public:
  using Options = GitExecCommitOptions;
  /// Takes the options of the commit it makes.
  explicit GitCommitAction(GitExecCommitOptions options = {})
      : message(std::move(options.message)), signOff(options.signOff), amend(options.amend), sign(options.sign) {}
  const std::string message;
  const bool signOff;
  const bool amend;
  const GitSigning sign;

  pledge::Void execute(GitOperationContext& context) override;
};

/// Unstages the paths and moves them to the user's trash, where a file
/// manager can restore them. Paths must lie inside the working tree: an
/// absolute path, "..", a folder of the git directory or a folder that leads
/// through a symbolic link out of the tree is refused before anything changes.
class GitTrashAction : public GitCompoundAction {
public:
  explicit GitTrashAction(std::set<std::string> paths) : paths(std::move(paths)) {}
  const std::set<std::string> paths;

  /// It unstages: the index lock is taken for the whole run, before the
  /// journal's, as every index writer takes it.
  bool needsIndexLock() const override { return true; }
  /// Only `paths` leave the working tree.
  std::optional<std::vector<std::string>> journalPaths() const override {
    return std::vector<std::string>(paths.begin(), paths.end());
  }

  /// Throws TavrikError::invalidWorktree without a working tree,
  /// TavrikError for a refused path, the reset's error, or the first
  /// trash failure (files trashed before it stay in the trash).
  pledge::Void execute(GitOperationContext& context) override;

  /// The trash location of `path` inside `worktree`, or a TavrikError when
  /// the path may not be trashed.
  static Url checkedLocation(const Url& worktree, const std::string& path);
};

/// Resolves a conflict by taking one side: removes the file when that side
/// deleted it, otherwise checks out that side and stages it. Which side
/// deleted it is read from a fresh status, not from the queue's view.
class GitConflictResolveAction : public GitCompoundAction {
public:
  GitConflictResolveAction(std::string path, bool useOurs) : path(std::move(path)), useOurs(useOurs) {}
  const std::string path;
  const bool useOurs;

  std::optional<std::vector<std::string>> journalPaths() const override { return std::vector{path}; }
  pledge::Void execute(GitOperationContext& context) override;
};

/// The ignore files rules can be appended to.
enum class GitConfigFile { localGitignore, localExclude };
/// ".gitignore" (at the working-tree root) or "info/exclude" (in the common
/// git directory, which also holds it for linked worktrees and submodules).
std::string_view relativePath(GitConfigFile file);

/// Appends ignore rules, one per line, to .gitignore or info/exclude.
class GitAppendRulesOperation : public GitOperation<pledge::Void> {
public:
  GitAppendRulesOperation(GitConfigFile file, std::vector<std::string> rules)
      : file(file), rules(std::move(rules)) {}
  const GitConfigFile file;
  const std::vector<std::string> rules;

  /// The file the rules go to.
  static Url targetURL(const GitRepositoryDescriptor& descriptor, GitConfigFile file);
  /// Keeps the file's bytes as they are and replaces it atomically; throws
  /// TavrikError when an existing file cannot be read or the new one not
  /// written, when .gitignore is a symbolic link (git reads none), or when
  /// info/exclude is one that leads out of the common git directory.
  pledge::Void execute(GitOperationContext& context) override;
  GitJournalScope journalScope() const override {
    return file == GitConfigFile::localGitignore ? GitJournalScope::workingTree : GitJournalScope::none;
  }
};

/// Aborts the merge, revert, cherry-pick, bisect, rebase or mailbox apply in
/// progress; does nothing when none is.
class GitAbortAction : public GitCompoundAction {
public:
  pledge::Void execute(GitOperationContext& context) override;
};

/// Continues the merge, revert, cherry-pick or rebase that stopped for the
/// user, with the messages git prepared. Throws TavrikError ("Nothing to
/// Continue") when none of them is in progress.
class GitContinueAction : public GitCompoundAction {
public:
  pledge::Void execute(GitOperationContext& context) override;
};

} // namespace tavrik
