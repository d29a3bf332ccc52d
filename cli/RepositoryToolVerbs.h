// The verbs of `tavrik` for submodules, git-flow and external comparison
// tools: `submodules`, `flow ...`, `difftool`, `mergetool` and `tools`.
#pragma once

#include "RemoteVerbs.h"

namespace tavrik::cli {

/// `submodules`: each submodule with its status string.
std::vector<VerbSpec> submoduleListVerbs();
/// `flow init [--defaults]` and `flow KIND start|finish|publish NAME ...`.
std::vector<VerbSpec> flowVerbs();
/// `difftool`, `mergetool` and `tools`.
std::vector<VerbSpec> toolVerbs();

} // namespace tavrik::cli
