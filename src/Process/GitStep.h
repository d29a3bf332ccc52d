// One git run inside an operation's own `execute`: the engine's internal
// helpers (index commands, history rewrites, the undo journal, the bisect
// reader, the monitor's configuration) each need git's standard output for
// given arguments, input and variables, with the runner's environment,
// cancellation and error classification. Internal to the engine.
#pragma once

#include "tavrik/Process/GitExecOperation.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavrik::detail {

struct GitStepOptions {
  std::vector<std::string> arguments;
  std::optional<std::string> input = std::nullopt;
  /// Set over the runner's environment.
  std::map<std::string, std::string> variables = {};
  std::set<int> successStatuses = {0};
  GitExecAccess access = GitExecAccess::read;
  /// A failing status without a word fails too ("git <command> failed"):
  /// for callers that must not go on from a half-read state.
  bool failSilently = false;
  /// Passphrases for a run that may sign.
  std::shared_ptr<GitAuth> signingAuth = nullptr;
};

/// Runs git as `options` say on the context's repository and returns its
/// standard output as git wrote it. Throws GitStdError for a failing status
/// (see `failSilently`), and whatever the runner throws.
std::string runGitStep(GitOperationContext& context, GitStepOptions options);

} // namespace tavrik::detail
