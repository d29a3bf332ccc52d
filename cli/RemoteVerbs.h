// The verbs of `tavrik` that talk to remotes or create repositories: fetch,
// pull, push, clone, remote, config, init and submodule. git's credential
// prompts are answered on the terminal (a password without echo), or, when
// standard input is no terminal, with its next line, so scripts can pipe
// credentials in. A transfer prints how many commits moved at the end.
#pragma once

#include "Verb.h"

#include "tavrik/Process/GitAuth.h"
#include "tavrik/Queue/GitQueue.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavrik::cli {

/// The rows of these verbs, in the order `--help` lists them.
std::vector<VerbSpec> remoteVerbs();
/// A bridge that answers git's prompts (credentials, signing passphrases)
/// with `answerPrompt` on standard input.
std::shared_ptr<GitAuth> terminalAuth();

/// The answer to one of git's prompts: read from the terminal (without echo
/// for a password) when `input` is one, else the next line of `input`;
/// nullopt declines (end of input).
std::optional<std::string> answerPrompt(const std::string& prompt, int input, FILE* promptStream);

} // namespace tavrik::cli
