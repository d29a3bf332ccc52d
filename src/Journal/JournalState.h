// The journal's own reading and writing of repository state: what an entry
// keeps, read from the repository now or from an entry's commit. Refs, the
// index listing and the entries' objects are read and written in process
// (Interfaces/Plumbing.h) where libgit2 can; git runs do the rest, and all
// of it when libgit2 cannot. Internal to Journal/.
#pragma once

#include "tavrik/Interfaces/Repo.h"
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
  /// Empty when the state was read in process: `indexText` holds the
  /// records then, and `readIndexMap` fills this from it for an undo.
  std::map<std::string, std::string> index;
  /// The same records in order, as one text (the entry's "index" file), when
  /// the state was read in process: a map of 100,000 entries costs more to
  /// build than the rest of an entry, and an entry only writes the text.
  std::string indexText;
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
  /// With `worktreePaths`, of the files at those paths and under them only.
  std::optional<std::string> worktree;
  /// The paths `worktree` covers (each with what is under it), from the
  /// operation's `journalPaths`; nullopt for the whole tree.
  std::optional<std::vector<std::string>> worktreePaths;
  /// Not kept in the entry: the bytes of the files `worktree` holds that
  /// the index does not, when the snapshot worked them out.
  std::optional<uint64_t> worktreeBytes;
};

/// A journal ref and the entry it holds.
struct EntryRef {
  std::string ref;
  std::string id;
  GitUndoEntry entry;
};

/// What the reads and writes below work on: the run's context, and its
/// repository opened in process when that can be done.
struct Store {
  GitOperationContext& context;
  /// nullopt until the object-model library is set up on a client thread
  /// (see GitUndoJournal), or when libgit2 cannot open the repository (a
  /// ref storage or object format it does not know): git runs then.
  std::optional<arbor::Repo> repo;

  static Store open(GitOperationContext& context);
};

/// Runs git on the context's repository and returns its standard output;
/// throws GitStdError for any failing status. `indexFile` sets GIT_INDEX_FILE.
std::string runGit(GitOperationContext& context, std::vector<std::string> arguments,
                   std::optional<std::string> input = std::nullopt, std::optional<std::string> indexFile = std::nullopt);

/// The index's records and flags as `ls-files -s` and its flags give them,
/// read in process from the index file (by libgit2 for a version 4 file,
/// once the client has set it up); nullopt when neither reads it as git does
/// (a split or sparse index, a damaged file).
struct IndexListing {
  std::map<std::string, std::string> index, indexFlags;
  /// The records as one text, in order; in process this is filled instead
  /// of `index`.
  std::string text;
};
std::optional<IndexListing> readIndexInProcess(const std::string& indexFile);

/// The same listing read with git.
IndexListing readIndexWithGit(GitOperationContext& context);

/// The records of `index` as one text, in path order.
std::string indexText(const std::map<std::string, std::string>& index);

/// Fills `state.index` from `state.indexText` when only the text was read.
void readIndexMap(State& state);

/// Reads the state now; the working tree only when `scope` asks for it (and
/// then only at `worktreePaths` when given), the index unless `withIndex` is
/// false. `journalRefs`, when given, receives the names of the journal's own
/// refs.
State readState(Store& store, GitJournalScope scope, std::vector<std::string>* journalRefs = nullptr,
                bool withIndex = true, const std::optional<std::vector<std::string>>& worktreePaths = std::nullopt);

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

/// The tree of the files at `paths` and, for a folder, of the tracked and
/// untracked files under it (ignored ones left out), with their bytes as
/// they are on disk (no filters) and their mode from the disk; in process
/// when `store` has the repository. nullopt when a path is not a plain one
/// (absolute, with "." or ".." steps, inside .git): the whole tree's
/// snapshot covers those.
struct PathSnapshot {
  struct File {
    std::string path, id;
    uint64_t size = 0;
  };
  std::string tree;
  /// The files in the tree, in path order.
  std::vector<File> files;
};
std::optional<PathSnapshot> snapshotPaths(Store& store, const std::vector<std::string>& paths);

/// The bytes of the snapshot's files whose content no stage-0 entry of the
/// index listing `indexText` (as `State::indexText`) holds.
uint64_t bytesBeyondIndex(const PathSnapshot& snapshot, std::string_view indexText);

/// Adds `paths` to the index with intent to add, each with the mode of its
/// record in `index`, whatever the working tree holds.
void addWithIntent(GitOperationContext& context, const std::vector<std::string>& paths,
                   const std::map<std::string, std::string>& index);

/// Sets (`on`) or clears the flag `letter` ("s" or "v") of the entries of
/// `paths`; `indexFile` as for runGit.
void markIndexEntries(GitOperationContext& context, char letter, bool on, const std::vector<std::string>& paths,
                      std::optional<std::string> indexFile = std::nullopt);

/// Writes `state` as a commit on `ref`; with `parentRef` (which is `ref`
/// itself) the commit's parent is what it holds, and `ref` moves only from
/// there.
void writeState(Store& store, const std::string& ref, const State& state, const std::string& message,
                const std::optional<std::string>& parentRef);

/// The entry's "before" and, when it is complete, its "after".
struct EntryStates {
  State before;
  std::optional<State> after;
  /// The index and its flags are the same in both: they are then left
  /// unread (empty in both), as nothing of them is to restore.
  bool sameIndex = false;
};
EntryStates readEntry(Store& store, const EntryRef& entry);

/// The journal's entries, oldest first.
std::vector<EntryRef> listEntries(Store& store);

/// Moves and deletes refs as `update-ref --stdin` does with these lines
/// ("update <ref> <new> <old>", "create <ref> <new>", "delete <ref> <old>"),
/// all or none; in process when it can. Throws TavrikError when a ref is
/// not at the old value given.
void updateRefs(Store& store, const std::string& lines);

/// Points HEAD at `head`, the bytes of a HEAD file ("ref: refs/heads/main\n"
/// or an id), without a lease.
void writeHead(Store& store, const std::string& head);

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
