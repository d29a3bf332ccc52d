// Moving a commit from the current branch to another branch, without checking
// that branch out: what `git cherry-pick` on the other branch and dropping
// the commit in `git rebase -i` do by hand.
//
//   makeOperation<GitMoveCommitOperation>(GitMoveCommitOptions{.commit = "HEAD~1", .branch = "topic"})->enqueue(queue);
//
// The commit is merged onto the other branch's tip in the object database
// (`git merge-tree --write-tree`, its parent as the merge base, as
// cherry-pick merges; see ConflictPrediction.h), committed again with its
// author, date and message (`commit-tree`; the committer is the user), and the
// branch is moved with `update-ref`, its old tip as a lease. Then the current
// branch is rebased from the commit's parent with the commit dropped, the
// instruction list passing through the engine's editor; --no-autosquash and
// --no-update-refs are given, so neither rebase.autoSquash nor
// rebase.updateRefs changes the result.
//
// Refused before anything changes: a name beginning with "-", a commit that
// is not in the current branch, a merge commit or a merge between it and
// HEAD, a root commit, a commit the upstream contains unless
// `allowPublished`, a branch that is not a local branch, is the current one
// or is checked out in another worktree, changes to tracked files (staged or
// not: the rebase would refuse them), and conflicts predicted on either
// branch (the error names the paths). When the other branch moves while the
// operation runs, the lease fails and nothing is changed. When the rebase
// fails (a hook, a signing failure), it is aborted and the other branch is
// put back, so both branches, the index and the working tree are as before.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Process/GitSigningPrompts.h"
#include "tavrik/Util/HashCombine.h"

#include <string>

namespace tavrik {

/// The commit of the current branch to move, the local branch it goes to
/// (a short name, "topic"), and whether a published commit may move.
struct GitMoveCommitOptions {
  std::string commit = {};
  std::string branch = {};
  bool allowPublished = false;
};

/// The commit made on the other branch and the current branch's new tip.
struct GitMovedCommit {
  Oid moved = {};
  Oid head = {};
  bool operator==(const GitMovedCommit&) const = default;
};

/// Moves a commit to another branch (see the top of this file). Holds the
/// index lock and blocks on git. Throws TavrikError for the refusals above
/// and for a failed lease (then nothing changed), GitStdError when git fails
/// (then both branches, the index and the working tree are as before). The
/// moved commit and the rebase sign when commit.gpgSign is on, a passphrase
/// asked through `signingAuth`.
class GitMoveCommitOperation : public GitOperation<GitMovedCommit>, public GitSigningPrompts {
public:
  using Options = GitMoveCommitOptions;
  explicit GitMoveCommitOperation(GitMoveCommitOptions options) : options(std::move(options)) {}
  const GitMoveCommitOptions options;

  std::optional<std::string> title() const override { return "Move Commit"; }
  bool needsIndexLock() const override { return true; }
  GitJournalScope journalScope() const override { return GitJournalScope::workingTree; }
  GitMovedCommit execute(GitOperationContext& context) override;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitMovedCommit> {
  size_t operator()(const tavrik::GitMovedCommit& m) const noexcept { return tavrik::detail::hashFields(m.moved, m.head); }
};
