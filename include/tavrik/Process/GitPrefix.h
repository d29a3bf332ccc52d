// Where the engine finds its git installation prefix (bin/git,
// libexec/git-core, share/git-core/templates, bin/askpass, bin/editor,
// bin/pinentry, bin/fsmonitor): the
// one the command-line client uses and the shared queues use
// (`GitQueue::sharedSupportURL`). A client with a git of its own passes its
// prefix to `GitQueue::create` instead.
#pragma once

#include "tavrik/Util/Url.h"

#include <optional>
#include <string>

namespace tavrik {

/// The prefix to use: `requested` when given (it must hold bin/git);
/// otherwise one laid out from the git found on PATH, in a per-user cache
/// directory, with links to git's own files and to the companion programs
/// built beside the running program. Throws arbor::Error with a message
/// when there is no such git. Blocks while git is asked for its exec path
/// (once per git; later calls reuse the links). Any thread.
Url resolveGitPrefix(const std::optional<std::string>& requested);

} // namespace tavrik
