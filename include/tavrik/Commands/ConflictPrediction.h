// Conflict prediction: whether a merge, a cherry-pick, a revert or a rebase
// would stop on conflicts, found out before anything is touched. Every merge
// the command would make is computed by `git merge-tree --write-tree`, in the
// object database only:
//
//   auto op = makeOperation<GitConflictPredictionOperation>(
//       GitConflictPredictionOptions{.operation = GitPredictedOperation::rebase, .revisions = {"origin/main"}});
//   GitConflictPrediction p = op->enqueue(queue).get().value;   // p.clean, p.conflictedPaths, ...
//
// Nothing in the repository changes: no ref, no index, no working-tree file.
// The merged trees, their blobs and the temporary commits described below are
// written to the object database; nothing refers to them and `git gc`
// prunes them like any other loose garbage.
//
// How each command's merges are reproduced (git 2.39's merge-tree takes no
// explicit merge base, so the base is made the natural one):
// - merge REFISH: `merge-tree HEAD REFISH`, the same merge (recursive
//   virtual base included) that `git merge` makes.
// - cherry-pick C (one parent P), onto the tip T: git merges with base P,
//   ours T, theirs C. A temporary commit O with T's tree and P as only parent
//   gives merge-base(O, C) = P exactly (P is an ancestor of both, and every
//   other common ancestor is an ancestor of P), so `merge-tree O C` is git's
//   merge. A root C is merged against the empty tree: O has no parent and
//   merge-tree runs with --allow-unrelated-histories.
// - revert C (parent P): base C, ours T, theirs P. Two temporary commits
//   with C as only parent, one with T's tree and one with P's tree.
// - rebase onto UPSTREAM: the commits `git rebase` replays (rev-list
//   --right-only --cherry-pick --no-merges --topo-order UPSTREAM...HEAD), each
//   cherry-picked as above onto the result of the one before, starting at
//   UPSTREAM. A commit whose parent is the tip reached so far is taken as it
//   is, as git fast-forwards over it.
// The prediction is about committed content: local changes that git would
// refuse to overwrite are not looked at. It is the default strategy's
// verdict: strategy options from the command line or from
// branch.<name>.mergeOptions, and merge.renormalize, are not applied, and a
// commit is named one at a time (no ranges). The merges use the repository's
// configuration as the real commands do (rename detection, directory
// renames, attributes and merge drivers); the `-z` output is not shaped by
// configuration. The temporary commits are made with commit.gpgSign off and
// a fixed identity, so neither a signing setup nor a missing identity
// matters.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Util/HashCombine.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// The kinds of conflict the engine tells apart; anything else git reports
/// is `other`, with git's own words kept in `GitMergeConflict::rawKind`.
enum class GitConflictKind { content, addAdd, modifyDelete, renameRename, directoryFile, other };

/// The stable name of a kind ("content", "add/add", "modify/delete",
/// "rename/rename", "directory/file", "other").
std::string_view rawValue(GitConflictKind kind);
/// The kind of a stable name; nullopt for any other text.
std::optional<GitConflictKind> conflictKindFromRawValue(std::string_view raw);

/// One conflict git reported: its kind, git's type string ("CONFLICT
/// (contents)"), the paths involved (bytes, as git names them) and git's
/// message.
struct GitMergeConflict {
  GitConflictKind kind = GitConflictKind::other;
  std::string rawKind = {};
  std::vector<std::string> paths = {};
  std::string message = {};
  bool operator==(const GitMergeConflict&) const = default;
};

/// One `git merge-tree --write-tree --name-only -z --messages` result: the
/// merged tree (with conflict markers where there are conflicts), the paths
/// left conflicted, and the conflicts (informational messages such as
/// "Auto-merging" are left out).
struct GitMergeTreeResult {
  bool clean = true;
  Oid tree = {};
  std::vector<std::string> conflictedPaths = {};
  std::vector<GitMergeConflict> conflicts = {};
  bool operator==(const GitMergeTreeResult&) const = default;
};

/// Parses merge-tree's output; `clean` is what its exit status said (0).
/// Throws TavrikError for output that is not merge-tree's.
GitMergeTreeResult parseMergeTreeOutput(std::string_view output, bool clean);

/// The command whose conflicts are predicted.
enum class GitPredictedOperation { merge, cherryPick, revert, rebase };

/// What to predict. `revisions`: for `merge` the one REFISH merged into
/// HEAD; for `cherryPick` and `revert` the commits in the order git would
/// take them; for `rebase` the one UPSTREAM the current branch is rebased
/// onto.
struct GitConflictPredictionOptions {
  GitPredictedOperation operation = GitPredictedOperation::merge;
  std::vector<std::string> revisions = {};
};

/// The verdict. `commits` are the commits the command would apply, in order
/// (for a merge, the merged commit). When not clean, `conflictingCommit` is
/// the first of them that stops, and the paths and conflicts are its
/// merge's; later commits are not looked at, as git stops there. When clean,
/// `tree` is the tree the command would end with.
struct GitConflictPrediction {
  bool clean = true;
  std::vector<Oid> commits = {};
  std::optional<Oid> conflictingCommit = std::nullopt;
  std::vector<std::string> conflictedPaths = {};
  std::vector<GitMergeConflict> conflicts = {};
  std::optional<Oid> tree = std::nullopt;
  bool operator==(const GitConflictPrediction&) const = default;
};

/// Predicts the conflicts of a merge, cherry-pick, revert or rebase (see the
/// top of this file). A read: takes no lock, changes no ref, index or file.
/// Throws TavrikError for a revision beginning with "-", for the wrong number
/// of revisions, and for a merge commit to cherry-pick or revert (git needs a
/// mainline); GitStdError when git cannot resolve a revision or merge (as
/// for unrelated histories, which `git merge` refuses too).
class GitConflictPredictionOperation : public GitOperation<GitConflictPrediction> {
public:
  using Options = GitConflictPredictionOptions;
  explicit GitConflictPredictionOperation(GitConflictPredictionOptions options)
      : operation(options.operation), revisions(std::move(options.revisions)) {}

  const GitPredictedOperation operation;
  const std::vector<std::string> revisions;

  GitConflictPrediction execute(GitOperationContext& context) override;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitMergeConflict> {
  size_t operator()(const tavrik::GitMergeConflict& c) const noexcept {
    return tavrik::detail::hashFields(c.kind, c.rawKind, c.paths, c.message);
  }
};
template <> struct std::hash<tavrik::GitMergeTreeResult> {
  size_t operator()(const tavrik::GitMergeTreeResult& r) const noexcept {
    return tavrik::detail::hashFields(r.clean, r.tree, r.conflictedPaths, r.conflicts);
  }
};
template <> struct std::hash<tavrik::GitConflictPrediction> {
  size_t operator()(const tavrik::GitConflictPrediction& p) const noexcept {
    return tavrik::detail::hashFields(p.clean, p.commits, p.conflictingCommit, p.conflictedPaths, p.conflicts, p.tree);
  }
};
