// The verbs of `tavrik` for submodules, git-flow and external comparison
// tools: `submodules`, `flow ...`, `difftool`, `mergetool` and `tools`.
#pragma once

#include "RemoteVerbs.h"

namespace tavrik::cli {

/// `submodules`: each submodule with its status string.
void addSubmoduleListVerb(CLI::App& app, VerbAction& action, const std::function<CLI::App*(CLI::App*)>& addCommon);
/// `flow init [--defaults]` and `flow KIND start|finish|publish NAME ...`.
void addFlowVerbs(CLI::App& app, VerbAction& action, const std::function<CLI::App*(CLI::App*)>& addCommon);
/// `difftool`, `mergetool` and `tools`.
void addToolVerbs(CLI::App& app, VerbAction& action, const std::function<CLI::App*(CLI::App*)>& addCommon);

} // namespace tavrik::cli
