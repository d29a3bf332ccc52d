// Folding the staged changes into an older commit of the current branch, or
// giving it a new message as well, without an editor: what `git commit
// --fixup` and `git rebase -i --autosquash` do by hand.
//
//   makeOperation<GitFixupOperation>(GitFixupOptions{.commit = "HEAD~3"})->enqueue(queue);
//
// The staged changes are committed as "fixup! <subject>" (`fixup`) or as
// "amend! <subject>" followed by the new message (`amend`, which may stage
// nothing), then the branch is rebased interactively from the commit's parent
// with --autosquash, git's instruction list passing through the engine's
// editor unchanged; --autosquash and --no-update-refs are given, so neither
// rebase.autoSquash nor rebase.updateRefs changes the result.
//
// Refused before anything changes: unstaged changes to tracked files (the
// rebase would refuse them; nothing is stashed), a commit that is not in the
// current branch, a merge between it and HEAD (the rebase would flatten it;
// merges are never kept), a commit already in the branch's upstream unless
// `allowPublished`, and a replay whose conflicts are predicted (see
// ConflictPrediction.h) unless `allowConflicts`. When the rebase itself stops (allowed conflicts, a
// hook, a signing failure), it stays in progress with git's own state for
// `continue` or `abort`.
#pragma once

#include "tavrik/Commands/ConflictPrediction.h"
#include "tavrik/Process/GitSigningPrompts.h"

#include <optional>
#include <string>

namespace tavrik {

/// Whether only the content changes (`fixup`) or the message too (`amend`).
enum class GitFixupMode { fixup, amend };

/// The commit to fix up (a revision of the current branch), how, and what
/// may go ahead. `message` is the amended commit's new message; nullopt keeps
/// its own.
struct GitFixupOptions {
  std::string commit = {};
  GitFixupMode mode = GitFixupMode::fixup;
  std::optional<std::string> message = std::nullopt;
  bool allowPublished = false;
  bool allowConflicts = false;
};

/// Commits the staged changes as a fixup of an older commit and squashes them
/// into it (see the top of this file). Holds the index lock. Returns the
/// prediction of the replay it made. Throws TavrikError for the refusals
/// above (the branch, index and working tree as they were) and GitStdError
/// when git fails. The fixup commit and the rebase sign as git would, a
/// passphrase asked through `signingAuth`.
class GitFixupOperation : public GitOperation<GitConflictPrediction>, public GitSigningPrompts {
public:
  using Options = GitFixupOptions;
  explicit GitFixupOperation(GitFixupOptions options) : options(std::move(options)) {}
  const GitFixupOptions options;

  std::optional<std::string> title() const override { return "Fixup"; }
  bool needsIndexLock() const override { return true; }
  GitJournalScope journalScope() const override { return GitJournalScope::workingTree; }
  GitConflictPrediction execute(GitOperationContext& context) override;
};

} // namespace tavrik
