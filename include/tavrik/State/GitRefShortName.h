// The reference a name a person types stands for ("main", "v1",
// "origin/main", "origin"), looked up in a reference list by git's own rules
// (gitrevisions(7)): the name itself, then under refs/, refs/tags/,
// refs/heads/, refs/remotes/, and a remote's HEAD. A client resolves the
// names of a log or a reflog this way without running git.
#pragma once

#include "tavrik/State/GitRef.h"
#include "tavrik/State/GitRefList.h"

#include <optional>
#include <string>

namespace tavrik {

/// The first reference of `refs` that `name` stands for; "HEAD" stands for
/// itself. nullopt when none does.
std::optional<GitRef> findReference(const GitRefList& refs, const std::string& name);

/// The same, throwing TavrikError for a name no reference has, or one that
/// begins with "-" (git would read it as an option).
GitRef resolveReference(const GitRefList& refs, const std::string& name);

} // namespace tavrik
