// Splitting a commit of the current branch in two without an editor: what
// `git rebase -i` with `edit`, then `reset HEAD^`, adding a part, committing,
// and committing the rest, does by hand.
//
//   makeOperation<GitSplitCommitOperation>(GitSplitCommitOptions{.commit = "HEAD~2", .paths = {"src/a.c"}})
//       ->enqueue(queue);
//
// The first commit holds the selected part of the commit's changes: whole
// paths, or some lines of one file's patch (the numbering of
// `GitExecDiffOperation`'s patch of the commit against its parent, as the line
// staging commands use; see GitLineSelection.h). The second holds the rest,
// so its tree is the original's. Both keep the author, date and message (the
// second takes `secondMessage` when given); the committer is the user. The
// commits above are made again over the second with their own trees, which
// is what replaying them gives, since nothing below them changed.
//
// Everything is written to the object database first (the selection is
// applied to a private index) and the branch moves once, with `update-ref`
// and its old tip as a lease. The tip's tree is unchanged, so the index and
// the working tree are not touched, and local changes do not get in the way.
//
// Refused before anything changes: a name beginning with "-", a commit not in
// the current branch, a merge commit or a merge between it and HEAD, a
// commit the upstream contains unless `allowPublished`, a selection that is
// both or neither of paths and lines, and one that takes all or none of the
// commit's changes.
#pragma once

#include "tavrik/Diff/GitLineSelection.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Process/GitSigningPrompts.h"
#include "tavrik/Util/HashCombine.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// Some lines of one file's patch in the commit.
struct GitSplitLines {
  std::string path = {};
  GitLineSelection selection = {};
};

/// The commit to split and the part that goes first: `paths` (taken
/// literally) or `lines`, exactly one of them. `secondMessage` replaces the
/// message of the second commit.
struct GitSplitCommitOptions {
  std::string commit = {};
  std::vector<std::string> paths = {};
  std::optional<GitSplitLines> lines = std::nullopt;
  std::optional<std::string> secondMessage = std::nullopt;
  bool allowPublished = false;
};

/// The two commits made of the original and the branch's new tip.
struct GitSplitCommits {
  Oid first = {};
  Oid second = {};
  Oid head = {};
  bool operator==(const GitSplitCommits&) const = default;
};

/// Splits a commit in two (see the top of this file). Holds the index lock
/// and blocks on git. Throws TavrikError for the refusals above and when the
/// branch moved while the operation ran (then nothing changed), GitStdError
/// when git fails (as when commit.gpgSign is on without a usable key). Every
/// commit it makes is signed when commit.gpgSign is on, a passphrase asked
/// through `signingAuth`.
class GitSplitCommitOperation : public GitOperation<GitSplitCommits>, public GitSigningPrompts {
public:
  using Options = GitSplitCommitOptions;
  explicit GitSplitCommitOperation(GitSplitCommitOptions options) : options(std::move(options)) {}
  const GitSplitCommitOptions options;

  std::optional<std::string> title() const override { return "Split Commit"; }
  bool needsIndexLock() const override { return true; }
  GitJournalScope journalScope() const override { return GitJournalScope::workingTree; }
  GitSplitCommits execute(GitOperationContext& context) override;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitSplitCommits> {
  size_t operator()(const tavrik::GitSplitCommits& m) const noexcept { return tavrik::detail::hashFields(m.first, m.second, m.head); }
};
