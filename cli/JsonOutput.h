// JSON forms of the engine's records for `tavrik --json`: keys are the
// records' field names, optional fields are left out when absent, object ids
// are 40 hex digits and timestamps an object with the ISO 8601 date and the
// offset in seconds east of UTC.
#pragma once

#include "tavrik/Diff/GitDiff.h"
#include "tavrik/History/GitLogEntry.h"
#include "tavrik/Queue/GitRepositoryDescriptor.h"
#include "tavrik/State/GitCount.h"
#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitReflogList.h"
#include "tavrik/State/GitStashEntry.h"
#include "tavrik/State/GitStatusEntry.h"

#include <nlohmann/json.hpp>

#include <ostream>

namespace tavrik::cli {

nlohmann::json toJson(const GitTimestamp& timestamp);
nlohmann::json toJson(const GitSignature& signature);
nlohmann::json toJson(const GitCount& count);
nlohmann::json toJson(const GitHead& head);
nlohmann::json toJson(const GitHeadList& heads);
nlohmann::json toJson(const GitRepositoryDescriptor& descriptor);
/// commitLane, lanesIn and lanesOut, each lane with from, to, parentId
/// (left out where the lane ends at the row's commit), color and hidden.
nlohmann::json toJson(const GraphLaneRow& row);
nlohmann::json toJson(const GitStashEntry& stash);
nlohmann::json toJson(const GitStashList& stashes);
nlohmann::json toJson(const GitReflogList& reflogs);
nlohmann::json toJson(const GitQueryMatch& match);
/// A history row: id, parents, tree, author, committer, message, subject
/// and isHeadCommit; lanes when the walk laid out a graph, stash on a
/// stash's row, match on a search's.
nlohmann::json toJson(const GitLogEntry& entry);

/// The large records as compact JSON on `out` (without a final newline),
/// written one record at a time; the text is what dumping the same document
/// built as one `json` would give.
void writeJson(std::ostream& out, const GitRefList& refs);
void writeJson(std::ostream& out, const GitStatusList& status);
/// {"files": [...]}, a changed file each: status, oldFile and newFile (oid,
/// mode as its octal digits read as a number, path), similarity, stats; with
/// `withPatch` also isBinary, hunks and lines (index, type, origin, text: the
/// bytes after the origin, newline included, and the old and new line numbers
/// of the lines of the file, which headers and hunk lines have not).
void writeJson(std::ostream& out, const GitDiffList& diffs, bool withPatch);

/// Text that is not valid UTF-8 (a file name, say) cannot go into JSON as is:
/// invalid bytes become U+FFFD.
std::string jsonSafe(std::string_view text);

/// The case name of a state ("cherrypickSequence").
std::string stateName(GitState state);

} // namespace tavrik::cli
