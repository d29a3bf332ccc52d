// A commit named the way a person names it ("HEAD~2", "v1.0", a short id,
// "main@{1}") resolved to its id with `git rev-parse --verify`. Clients use it
// before operations that take ids (cherry-pick, revert, merge-base, the plan
// of an interactive rebase), so every name is read by git's own rules.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Process/GitExecOperation.h"

#include <string>
#include <vector>

namespace tavrik {

class GitExecRevParseCommitOperation : public GitExecOperation<Oid> {
public:
  /// `revision` is passed to git as bytes; it need not be UTF-8.
  explicit GitExecRevParseCommitOperation(std::string revision) : revision(std::move(revision)) {}
  const std::string revision;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The id of the commit `revision` names (a tag is peeled to its commit).
  /// Throws TavrikError before git runs for a revision that begins with "-",
  /// TavrikError when git knows no commit by that name, and
  /// GitStdError when git fails otherwise (no repository, say).
  Oid execute(GitOperationContext& context) override;
};

} // namespace tavrik
