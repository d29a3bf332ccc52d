// The verbs of `tavrik` that edit history without an editor, and look
// before they leap: `predict` tells whether a merge, cherry-pick, revert or
// rebase would stop on conflicts, touching neither the branch, the index nor
// the working tree (exit status 0 when it would apply cleanly; 1, with the
// conflicts printed, when it would stop); `fixup` and `amend` fold the staged
// changes (and a new message) into an older commit of the branch; `move`
// takes a commit to another branch and `split` cuts one in two.
#pragma once

#include "Verb.h"

#include <vector>

namespace tavrik::cli {

/// The rows of `predict` and its verbs, `fixup`, `amend`, `move` and `split`.
std::vector<VerbSpec> historyEditVerbs();

} // namespace tavrik::cli
