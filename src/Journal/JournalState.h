// The journal's own reading and writing of repository state: what an entry
// keeps, read from the repository now or from an entry's commit, and the
// git runs that do it. Internal to Journal/.
#pragma once

#include "tavrik/Journal/GitUndoJournal.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrik::journal {

/// Everything an entry keeps of one moment.
struct State {
  /// The bytes of the HEAD file ("ref: refs/heads/main\n" or an id).
  std::string head;
  /// Every ref outside the journal's namespace: name to id.
  std::map<std::string, std::string> refs;
  /// The stash's reflog file, which holds every stash but the latest;
  /// nullopt when there is none.
  std::optional<std::string> stashLog;
  /// The files of a merge, rebase, cherry-pick or revert in progress
  /// (MERGE_HEAD, rebase-merge/..., relative to the git directory).
  std::map<std::string, std::string> progress;
  /// Path to its `ls-files -s -z` records (several for an unmerged path).
  std::map<std::string, std::string> index;
  /// Path to the flags of its entry that those records leave out, as
  /// letters: "i" added with intent to add, "s" skip-worktree, "v" assume
  /// unchanged. Paths without flags are absent (as in entries written
  /// before flags were kept).
  std::map<std::string, std::string> indexFlags;
  /// The repository's branch.* settings (upstreams, rebase and push
  /// choices), each key to its `git config -z --list` records: a deleted or
  /// renamed branch takes them along.
  std::map<std::string, std::string> branchConfig;
  /// The tree of every tracked and untracked file; nullopt when not kept.
  std::optional<std::string> worktree;
};

/// A journal ref and the entry it holds.
struct EntryRef {
  std::string ref;
  std::string id;
  GitUndoEntry entry;
};

/// Runs git on the context's repository and returns its standard output;
/// throws GitStdError for any failing status. `indexFile` sets GIT_INDEX_FILE.
std::string runGit(GitOperationContext& context, std::vector<std::string> arguments,
                   std::optional<std::string> input = std::nullopt, std::optional<std::string> indexFile = std::nullopt);

/// Reads the state now; the working tree only when `scope` asks for it.
/// `journalRefs`, when given, receives the names of the journal's own refs.
State readState(GitOperationContext& context, GitJournalScope scope, std::vector<std::string>* journalRefs = nullptr);

/// Sets each key of `to` that differs in `current` (removing the keys `to`
/// lacks) in the repository's own configuration file; only `keys`.
void writeBranchConfig(GitOperationContext& context, const std::vector<std::string>& keys,
                       const std::map<std::string, std::string>& current, const std::map<std::string, std::string>& to);

/// Replaces the in-progress files of the git directory with `files`.
void writeProgress(GitOperationContext& context, const std::map<std::string, std::string>& files,
                   const std::map<std::string, std::string>& current);

/// The tree of every tracked and untracked file, hashed through a private
/// copy of the index, so the repository's own index is never touched.
/// `indexFlags` are the index's flags: flagged files are hashed from the
/// disk all the same.
std::string snapshotWorktree(GitOperationContext& context, const std::map<std::string, std::string>& indexFlags);

/// Adds `paths` to the index with intent to add, each with the mode of its
/// record in `index`, whatever the working tree holds.
void addWithIntent(GitOperationContext& context, const std::vector<std::string>& paths,
                   const std::map<std::string, std::string>& index);

/// Sets (`on`) or clears the flag `letter` ("s" or "v") of the entries of
/// `paths`; `indexFile` as for runGit.
void markIndexEntries(GitOperationContext& context, char letter, bool on, const std::vector<std::string>& paths,
                      std::optional<std::string> indexFile = std::nullopt);

/// Writes `state` as a commit on `ref` (the parent when given) and returns
/// nothing; one fast-import run.
void writeState(GitOperationContext& context, const std::string& ref, const State& state, const std::string& message,
                const std::optional<std::string>& parentRef);

/// The entry's "before" and, when it is complete, its "after".
struct EntryStates {
  State before;
  std::optional<State> after;
};
EntryStates readEntry(GitOperationContext& context, const EntryRef& entry);

/// The journal's entries, oldest first.
std::vector<EntryRef> listEntries(GitOperationContext& context);

/// The commit message of an entry, and its parse.
std::string entryMessage(const GitUndoEntry& entry, bool after);
std::optional<GitUndoEntry> parseEntryMessage(std::string_view message);

/// The paths whose entries differ between two trees (`diff-tree -r`), with
/// each side's "mode id", empty for a side without the path.
struct TreeChange {
  std::string path, oldSide, newSide;
};
std::vector<TreeChange> diffTrees(GitOperationContext& context, const std::string& from, const std::string& to);

} // namespace tavrik::journal
