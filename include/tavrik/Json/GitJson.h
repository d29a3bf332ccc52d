// The one JSON form of the engine's records, as `tavrik --json` prints them
// and as a client stores or sends them. Keys are the records' field names in
// sorted order; an optional field is left out when absent; object ids are 40
// hex digits; a timestamp is {"date": ISO 8601 with its zone, "offset": whole
// seconds east of UTC}. Text is bytes: text that is not UTF-8 is written made
// valid (each invalid byte becomes U+FFFD, for a person to read) with a
// sibling key "<key>Quoted" that holds the bytes as git quotes a path (ASCII,
// C escapes); reading takes the bytes from there, so nothing is lost.
//
//   std::string text = toJson(ref);          // {"commit":"...","isHead":true,...}
//   GitRef again = gitRefFromJson(text);     // again == ref
//
// Writing never throws. Reading throws TavrikError for text that is no JSON,
// or a record whose required fields are missing or of the wrong kind.
#pragma once

#include "tavrik/Commands/BranchCommands.h"
#include "tavrik/State/GitCount.h"
#include "tavrik/Diff/GitDiff.h"
#include "tavrik/History/GitLogEntry.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"
#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitRef.h"
#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitReflogList.h"
#include "tavrik/State/GitStashEntry.h"
#include "tavrik/State/GitStatusEntry.h"
#include "tavrik/State/GitTimestamp.h"

#include <ostream>
#include <string>
#include <string_view>

namespace tavrik {

/// Compact JSON of each record (no final newline).
std::string toJson(const GitTimestamp& timestamp);
std::string toJson(const GitSignature& signature);
std::string toJson(const GitCount& count);
std::string toJson(const GitRef& ref);
std::string toJson(const GitHead& head);
/// stateFiles (set and state), stateTitle, head, origHead and mergeHead.
std::string toJson(const GitHeadList& heads);
std::string toJson(const GitRepositoryDescriptor& descriptor);
/// commitLane, lanesIn and lanesOut, each lane with from, to, parentId
/// (left out where the lane ends at the row's commit), color and hidden.
std::string toJson(const GraphLaneRow& row);
std::string toJson(const GitStashEntry& stash);
std::string toJson(const GitStashList& stashes);
std::string toJson(const GitReflogList& reflogs);
std::string toJson(const GitQueryMatch& match);
/// A history row: id, parents, tree, author, committer, message, subject
/// and isHeadCommit; lanes when the walk laid out a graph, stash on a
/// stash's row, match on a search's.
std::string toJson(const GitLogEntry& entry);
/// {"branches": [{"isHead", "name"}]}.
std::string toJson(const GitExecBranchList& branches);

/// The large records as compact JSON on `out` (without a final newline),
/// written one record at a time, so a list of many thousand entries costs no
/// document in memory.
void writeJson(std::ostream& out, const GitRefList& refs);
void writeJson(std::ostream& out, const GitStatusList& status);
/// {"files": [...]}, a changed file each: status, oldFile and newFile (oid,
/// mode as its octal digits read as a number, path), similarity, stats; with
/// `withPatch` also isBinary, hunks and lines (index, type, origin, text: the
/// bytes after the origin, newline included, and the old and new line numbers
/// of the lines of the file, which headers and hunk lines have not).
void writeJson(std::ostream& out, const GitDiffList& diffs, bool withPatch);

/// The records back from their JSON form; absent optional fields are absent.
GitTimestamp gitTimestampFromJson(std::string_view json);
GitSignature gitSignatureFromJson(std::string_view json);
GitCount gitCountFromJson(std::string_view json);
GitRef gitRefFromJson(std::string_view json);
GitHead gitHeadFromJson(std::string_view json);
GitStashEntry gitStashEntryFromJson(std::string_view json);

/// The same JSON indented by `indent` spaces per level, for a person at a
/// terminal. Throws TavrikError when `json` is no JSON.
std::string indentedJson(std::string_view json, int indent = 2);

/// Text that is not valid UTF-8 (a file name, say) made valid for JSON:
/// invalid bytes become U+FFFD. Lossy; the record forms above keep the bytes.
std::string jsonSafe(std::string_view text);

/// The case name of a state ("cherrypickSequence").
std::string stateName(GitState state);

} // namespace tavrik
