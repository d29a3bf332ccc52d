// The answers git's repository discovery gives for a folder that is the top
// level of a plain repository, read off the file system without starting git.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrik::detail {

/// What `git rev-parse --absolute-git-dir --git-common-dir
/// --is-bare-repository --is-shallow-repository --show-object-format
/// --show-toplevel` prints in `folder`, one answer per element, when `folder`
/// holds a `.git` directory of the layout `git init` makes and nothing could
/// make git answer otherwise. `environment` is the one git would run in.
/// Anything unusual (a git file, a symbolic link, an owner other than this
/// user, a shallow or SHA-256 repository, a configured work tree, includes,
/// discovery variables in the environment) gives nullopt: ask git then.
std::optional<std::vector<std::string>> plainRepositoryAnswers(const std::string& folder,
                                                              const std::map<std::string, std::string>& environment);

} // namespace tavrik::detail
