// `tavrik watch`: keeps the queue's view live with a GitRepositoryWatcher and
// prints every change of the view as it happens, one line per change (one
// JSON object per line with --json), until SIGINT or SIGTERM. `tavrik
// monitor enable|disable`: the opt-in that lets a terminal's git ask it.
#pragma once

#include "RemoteVerbs.h"

namespace tavrik::cli {

/// `watch [--json]`, `monitor enable`, `monitor disable`.
std::vector<VerbSpec> watchVerbs();

} // namespace tavrik::cli
