// The readable summaries that `tavrik` prints without --json.
#pragma once

#include "tavrik/Diff/GitDiff.h"
#include "tavrik/History/GitLogEntry.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"
#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitReflogList.h"
#include "tavrik/State/GitStashEntry.h"
#include "tavrik/State/GitStatusEntry.h"

#include <memory>
#include <ostream>

namespace tavrik::cli {

/// A path as git's short status writes it: in double quotes with C escapes
/// when it holds a quote, a backslash or a control character.
std::string quotedPath(std::string_view path);

/// `text` with its control bytes (line breaks, escape sequences, DEL)
/// written as C escapes ("\\n", "\\033") and its backslashes doubled, so a
/// name or an address can neither fake a line of the listing nor steer the
/// terminal. Other bytes, UTF-8 or not, are kept.
std::string shownText(std::string_view text);

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
/// One line per stash, like `git stash list`: "stash@{0}: On main: message",
/// a message of several lines on one.
void printStashList(std::ostream& out, const GitStashList& stashes);
/// The reflog names, one per line.
void printReflogs(std::ostream& out, const GitReflogList& reflogs);

/// How long before `now` the moment `then` was, as git's relative dates
/// put it: "5 minutes ago", "3 days ago", "1 year, 2 months ago".
std::string relativeDate(Date then, Date now);

/// Keeps `value` alive until the process ends and never frees it: the client
/// exits right after printing, and freeing thousands of records then (ref
/// copies grouped four ways, status entries) is only time spent, as git
/// leaves such memory to the operating system. Main thread only.
void keepUntilExit(std::shared_ptr<const void> value);
/// The names pointing at `commit`, as git decorates a log line: "HEAD ->
/// main, origin/main, tag: v1" (HEAD only when `isHeadCommit`); empty when
/// none does.
std::string decorations(const Oid& commit, bool isHeadCommit, const GitRefList& refs, bool colored);
/// A history row's text: short id, what a search matched ("[message] "),
/// decorations, subject, author and relative date; a stash row shows
/// "stash@{N}:" and its message as `printStashList` does.
std::string logRowText(const GitLogEntry& entry, const GitRefList& refs, Date now, bool colored);

} // namespace tavrik::cli
