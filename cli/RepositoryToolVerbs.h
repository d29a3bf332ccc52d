// The verbs of `tavrik` for submodules, git-flow and external comparison
// tools: `submodules`, `flow ...`, `difftool`, `mergetool` and `tools`; and
// the working trees and bisection: `worktree ...`, `bisect ...`.
#pragma once

#include "RemoteVerbs.h"

namespace tavrik::cli {

/// `submodules`: each submodule with its status string.
std::vector<VerbSpec> submoduleListVerbs();
/// `flow init [--defaults]` and `flow KIND start|finish|publish NAME ...`.
std::vector<VerbSpec> flowVerbs();
/// `difftool`, `mergetool` and `tools`.
std::vector<VerbSpec> toolVerbs();
/// `worktree [list]` and `worktree add|remove|move|lock|unlock|prune ...`.
std::vector<VerbSpec> worktreeVerbs();
/// `bisect start|good|bad|skip|run|reset ...`.
std::vector<VerbSpec> bisectVerbs();

} // namespace tavrik::cli
