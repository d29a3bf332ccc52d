// The worktree reader: lists the repository's working trees with
// `git worktree list --porcelain -z` and returns them in git's order, the
// main worktree first; run on a queue, the list becomes the view's
// `worktrees`. Records are cut at NUL, never at line ends: a worktree path
// may hold any byte but NUL.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitWorktree.h"

#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

class GitViewWorktreesOperation : public GitExecOperation<std::vector<GitWorktree>> {
public:
  bool storesResultInView() const override { return true; }

  /// "worktree", "list", "--porcelain", "-z".
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The worktrees. Only a failure of git itself fails (with GitStdError).
  std::vector<GitWorktree> execute(GitOperationContext& context) override;

  /// Reads porcelain records: NUL-terminated attribute lines ("worktree
  /// PATH", "HEAD ID", "branch REF", "detached", "bare", "locked [REASON]",
  /// "prunable REASON"), each record ended by an empty one. A record begins
  /// at its "worktree" attribute; attributes before one, and ones git may
  /// add later, are skipped. A record cut short by the end of the data keeps
  /// what it has. Never throws.
  static std::vector<GitWorktree> parse(std::string_view data);
};

} // namespace tavrik
