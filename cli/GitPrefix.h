// Where the client finds its git installation prefix (bin/git,
// libexec/git-core, share/git-core/templates, bin/askpass, bin/editor).
#pragma once

#include "tavrik/Util/Url.h"

#include <optional>
#include <string>

namespace tavrik::cli {

/// The prefix to use: `requested` when given (it must hold bin/git);
/// otherwise one laid out from the git found on PATH, in a per-user cache
/// directory, with links to git's own files and to the companion programs
/// built beside this executable. Throws std::runtime_error with a message.
Url resolveGitPrefix(const std::optional<std::string>& requested);

} // namespace tavrik::cli
