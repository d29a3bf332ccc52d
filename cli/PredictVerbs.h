// The `predict` verbs of `tavrik`: whether a merge, cherry-pick, revert or
// rebase would stop on conflicts, computed without touching the branch, the
// index or the working tree. Exit status 0 when it would apply cleanly; 1,
// with the conflicts printed, when it would stop.
#pragma once

#include "Verb.h"

#include <vector>

namespace tavrik::cli {

/// The rows of `predict` and its verbs.
std::vector<VerbSpec> predictVerbs();

} // namespace tavrik::cli
