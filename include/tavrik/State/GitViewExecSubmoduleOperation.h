// The submodule reader: lists the submodules with `git submodule status`,
// counts the pending changes in each checked-out submodule's own working
// tree, and returns the list in git's order; run on a queue, it becomes the
// view's `submodules`.
//
// The per-submodule lookups (where the submodule's repository lives, then
// its `status --porcelain` record count) run inline on threads this
// operation owns, at most the queue's worker count at once; they are never
// added to the queue, whose workers may all be busy with readers like this.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitSubmodule.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

class GitViewExecSubmoduleOperation : public GitExecOperation<std::optional<std::vector<GitSubmodule>>> {
public:
  bool storesResultInView() const override { return true; }

  /// The `git submodule` subcommand.
  std::string verb = "status";

  /// "submodule", `verb`.
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The submodules. Nullopt without running git when the repository is
  /// unknown or bare: nothing was read, and the view keeps what it has. Only a failure of `git submodule` itself
  /// fails (with GitStdError); a submodule whose changes cannot be counted
  /// gets a count of zero. Blocks until every lookup has finished.
  std::optional<std::vector<GitSubmodule>> execute(GitOperationContext& context) override;

  /// Reads `git submodule status` lines: a status character (' ', '+', '-',
  /// 'U'), the object id, a space and the path as bytes, then for a checked
  /// out submodule (' ' or '+') git's " (description)". The first line that
  /// does not have this form ends the reading, keeping the ones before it.
  /// Change counts are left at zero. Never throws.
  static std::vector<GitSubmodule> parse(std::string_view text);
};

} // namespace tavrik
