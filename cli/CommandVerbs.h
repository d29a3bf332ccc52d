// The verbs of `tavrik` that change the repository: stage, commit, branch,
// merge, stash, trash and the rest, and `diff`, whose patches the line
// selections of stage, unstage and discard are read from. Each is one
// operation of the library (or a short chain of them) added to the
// repository's queue; the verb waits for it and prints its result.
#pragma once

#include "Verb.h"

#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Queue/GitQueue.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavrik::cli {

/// Adds the operation to the queue and waits for its value (throws its error).
template <class Op> auto runOn(const std::shared_ptr<GitQueue>& queue, std::shared_ptr<Op> operation) {
  return operation->enqueue(queue).wait().value;
}

/// The rows of the changing verbs, in the order `--help` lists them.
/// `resetPaths` are the words after "--" of a reset (see `takeResetPaths`).
std::vector<VerbSpec> commandVerbs(std::optional<std::vector<std::string>> resetPaths);

/// For "reset [TREEISH] -- PATH...": removes "--" and the words after it
/// from `args` and returns them (an empty list for a bare "--"); nullopt
/// when `args` is no reset or has no "--". The parser cannot tell a tree-ish
/// from a path once "--" is gone.
std::optional<std::vector<std::string>> takeResetPaths(std::vector<std::string>& args);

/// Makes every option and argument of `app` and its verbs take each word of
/// `args` (the command line about to be parsed) as typed: CLI11 would
/// otherwise split a word like "[a,b]" given to a list into "a" and "b".
/// Call it once every verb is added, before parsing `args`.
void takeArgumentsAsTyped(CLI::App& app, std::vector<std::string>& args);

} // namespace tavrik::cli
