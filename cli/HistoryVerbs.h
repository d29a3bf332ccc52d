// The verbs of `tavrik` that read history: `log` (of references, of a
// reflog or of the stashes, optionally a search through them), `stash list`
// and `reflogs`. A log is one history walker of the library paged on the
// queue, its rows printed by the walker's delegate as they arrive, so a
// search shows each match as soon as it is found.
#pragma once

#include "Verb.h"

#include "tavrik/History/GitQuery.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/State/GitRefList.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace tavrik::cli {

/// The rows of `log`, `stash list` and `reflogs` (so they follow the rows of
/// `commandVerbs`, which has `stash`).
std::vector<VerbSpec> historyVerbs();

/// The search subjects of a `--in` list such as "message,diff". Throws
/// TavrikError for a name that is none of message, diff, hash, filename,
/// author and committer.
GitQuerySubject querySubjects(const std::string& list);

} // namespace tavrik::cli
