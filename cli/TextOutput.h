// The readable summaries that `tavrik` prints without --json.
#pragma once

#include "tavrik/Diff/GitDiff.h"
#include "tavrik/Queue/GitRepositoryDescriptor.h"
#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitStatusEntry.h"

#include <ostream>

namespace tavrik::cli {

/// A path as git's short status writes it: in double quotes with C escapes
/// when it holds a quote, a backslash or a control character.
std::string quotedPath(std::string_view path);

/// One line per entry, like `git status --short`: "XY path" or "XY old -> new".
void printStatus(std::ostream& out, const GitStatusList& status);
/// References grouped by kind, HEAD marked with "*", upstream distance shown.
void printRefs(std::ostream& out, const GitRefList& refs);
/// The in-progress state, its title and the three heads.
void printHeads(std::ostream& out, const GitHeadList& heads);
/// One line per changed file, like `git diff --numstat` led by the status
/// letter: "M\t3\t1\tpath" or "R\t0\t0\told -> new".
void printDiffStats(std::ostream& out, const GitDiffList& list);
void printDescriptor(std::ostream& out, const GitRepositoryDescriptor& descriptor);

} // namespace tavrik::cli
