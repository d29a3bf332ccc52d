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
#include "tavrik/Commands/ConflictPrediction.h"
#include "tavrik/State/GitCount.h"
#include "tavrik/Diff/GitDiff.h"
#include "tavrik/History/GitBlame.h"
#include "tavrik/History/GitFileHistoryOperation.h"
#include "tavrik/History/GitSignature.h"
#include "tavrik/History/GitLogEntry.h"
#include "tavrik/Journal/GitUndoJournal.h"
#include "tavrik/Operation/GitAspects.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"
#include "tavrik/Queue/GitView.h"
#include "tavrik/State/GitConfigSnapshot.h"
#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitRef.h"
#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitReflogList.h"
#include "tavrik/State/GitStashEntry.h"
#include "tavrik/State/GitStatusEntry.h"
#include "tavrik/State/GitSubmodule.h"
#include "tavrik/State/GitTimestamp.h"
#include "tavrik/State/GitWorktree.h"

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// What the tools document says of one external diff or merge tool. The
/// Tools layer knows the tools; this record carries what it found out, so the
/// JSON form stays below it.
struct GitToolAvailability {
  std::string name;
  /// The tool's program, when it has a fixed one.
  std::optional<std::string> path;
  bool isInstalled = false;
  bool supportsDirectoryDiff = false;

  bool operator==(const GitToolAvailability&) const = default;
};

/// Compact JSON of each record (no final newline).
std::string toJson(const GitTimestamp& timestamp);
std::string toJson(const GitSignature& signature);
std::string toJson(const GitCount& count);
std::string toJson(const GitRef& ref);
std::string toJson(const GitHead& head);
/// stateFiles (set and state), stateTitle, head, origHead, mergeHead and,
/// during a bisection, bisect.
std::string toJson(const GitHeadList& heads);
/// {"bad"?, "candidate"?, "firstBad"?, "good", "paths", "revisionsLeft"?,
/// "skipped", "steps"?, "termNew", "termOld", "testsMergeBase"}.
std::string toJson(const GitBisectState& bisect);
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
/// One blamed range: commit {id, author, committer, summary, boundary},
/// originalPath, originalLine, finalLine, lineCount and, when known,
/// previous {id, path}.
std::string toJson(const GitBlameRange& range);
/// One row of a file's history: commit (as a log row), change ("added",
/// "modified", "deleted", "renamed", "copied"), path and, for a rename or
/// copy, oldPath.
std::string toJson(const GitFileHistoryEntry& entry);
/// {"branches": [{"isHead", "name"}]}.
std::string toJson(const GitExecBranchList& branches);
/// {"clean", "commits", "conflictingCommit"?, "conflictedPaths", "conflicts":
/// [{"kind", "rawKind", "paths", "message"}], "tree"?}; kinds by `rawValue`.
std::string toJson(const GitConflictPrediction& prediction);
/// {"verdict" ("good", "bad", "unknownValidity", "expired", "expiredKey",
/// "revokedKey", "cannotCheck", "none"), "letter" (git's "%G?"), "signer",
/// "key"}.
std::string toJson(const GitSignatureStatus& signature);
/// A log row with its signature status under "signature".
std::string toJson(const GitLogEntry& entry, const GitSignatureStatus& signature);
/// [{"name", "url"}], each address with its passwords taken out: what is
/// shown or stored must not carry them.
std::string toJson(const std::vector<GitRemote>& remotes);
/// [{"changeCount", "path", "status" (one character), "statusString" (null
/// for a clean submodule)}].
std::string toJson(const std::vector<GitSubmodule>& submodules);
/// [{"directoryDiff", "installed", "name", "path" (null without one)}].
std::string toJson(const std::vector<GitToolAvailability>& tools);
/// [{"branch" (absent when detached or bare), "head" (absent without a
/// commit), "isBare", "isDetached", "isLocked", "isPrunable", "lockReason"
/// (when locked), "path", "prunableReason" (when prunable)}].
std::string toJson(const std::vector<GitWorktree>& worktrees);
std::string toJson(const std::vector<GitUndoEntry>& entries);

/// Documents that are no single record, compact (no final newline).
/// {"key", "value"}: one configuration value.
std::string configValueJson(std::string_view key, std::string_view value);
/// {"oid"}: a commit found, such as a merge base.
std::string commitJson(const Oid& commit);
/// {"readmeURL"} for a readme found, {} for none.
std::string readmeJson(const std::optional<Url>& readme);
/// {"result"}: what a fetch, pull or push moved, as its notification says.
std::string transferResultJson(std::string_view result);
/// {"output"}: the summary git-flow printed.
std::string flowOutputJson(std::string_view output);
/// {"log"}: a bisection's log as git records it.
std::string bisectLogJson(std::string_view log);
/// {"compared"}: how many changes went to a diff tool.
std::string toolComparedJson(size_t compared);
/// {"remaining", "resolved"}: how many conflicts a merge tool resolved, and
/// the paths still conflicted.
std::string toolResolvedJson(size_t resolved, const std::vector<std::string>& remaining);
/// One change of the view: {"aspects": names in the order head, status,
/// refs, stashes, stateFiles, config, submodules, reflogs, worktrees (the queue's tasks
/// and the log descriptor are the engine's own business and not named)};
/// "head" {branch (null when detached), commit (null before the first),
/// detached, state} when head or stateFiles changed; "status" {count, paths
/// (the first 20)}; and {"count"} under "refs", "stashes", "config",
/// "submodules", "reflogs" and "worktrees" for those that changed.
std::string viewChangeJson(const GitView& view, GitAspects aspects);

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

/// One JSON array written element by element as the records arrive (the
/// rows of a history walk), so the first are out before the last are read.
/// Compact, it is "[a,b]"; indented, each element is indented as
/// `indentedJson` does, one level in, and every write ends its line, so a
/// line drawn between writes (a progress bar) tears nothing. Not thread-safe:
/// one writer at a time.
class GitJsonArrayWriter {
public:
  GitJsonArrayWriter(std::ostream& out, bool indented) : out_(out), indented_(indented) {}

  /// Writes one element, given as compact JSON (`toJson` of a record).
  void append(std::string_view element);
  /// Closes the array and its line: "[]" when nothing was appended.
  void finish();

private:
  std::ostream& out_;
  const bool indented_;
  bool started_ = false;
  // Indented, an element waits for the comma the next one (or the end) decides.
  std::string pending_;
};

/// The records back from their JSON form; absent optional fields are absent.
GitTimestamp gitTimestampFromJson(std::string_view json);
GitSignature gitSignatureFromJson(std::string_view json);
GitCount gitCountFromJson(std::string_view json);
GitRef gitRefFromJson(std::string_view json);
GitHead gitHeadFromJson(std::string_view json);
GitStashEntry gitStashEntryFromJson(std::string_view json);
GitConflictPrediction gitConflictPredictionFromJson(std::string_view json);

/// The same JSON indented by `indent` spaces per level, for a person at a
/// terminal. Throws TavrikError when `json` is no JSON.
std::string indentedJson(std::string_view json, int indent = 2);

/// Text that is not valid UTF-8 (a file name, say) made valid for JSON:
/// invalid bytes become U+FFFD. Lossy; the record forms above keep the bytes.
std::string jsonSafe(std::string_view text);

/// The case name of a state ("cherrypickSequence").
std::string stateName(GitState state);

} // namespace tavrik
