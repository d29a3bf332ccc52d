// In-process stand-ins for a few of git's plumbing commands, for the engine's
// own layers where a git process per call costs more than the work: listing
// refs (`for-each-ref`), listing the index (`ls-files -s`), writing objects
// (`hash-object -w`, `mktree`, `commit-tree`), reading them (`cat-file`) and
// moving refs under a lease (`update-ref --stdin`).
//
// Each call opens nothing of its own: it works on the `Repo` it is given,
// which one thread uses at a time (see Repo.h). Names and paths are bytes.
// Every call throws `arbor::Error` when libgit2 fails; a caller that can do
// the same with git falls back to it then.
#pragma once

#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Repo.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace arbor::plumbing {

/// A ref as `for-each-ref --format='%(objectname) %(refname)'` lists it.
struct RefRecord {
  std::string name;
  Oid id;
  bool operator==(const RefRecord&) const = default;
};

/// The refs whose names start with `prefix` (which starts with "refs/"), as
/// `for-each-ref` lists them: symbolic refs resolved, tags not peeled, refs
/// that resolve to nothing left out, in byte order of their names. Refuses
/// (Error, code `invalid`) a linked worktree's repository, whose own refs
/// (refs/bisect/...) libgit2 does not list.
std::vector<RefRecord> forEachRef(const Repo& repo, std::string_view prefix = "refs/");

/// A ref with the commit it leads to, as a history view labels rows.
struct PeeledRefRecord {
  std::string name;
  /// The object the ref names (a symbolic ref resolved).
  Oid id;
  /// What `id` leads to once every tag on the way is peeled; `id` itself
  /// when it is not a tag.
  Oid peeled;
  /// The ref a symbolic ref names.
  std::optional<std::string> symbolicTarget;
  bool operator==(const PeeledRefRecord&) const = default;
};

/// Every ref under "refs/" as `forEachRef` lists them, each with what it
/// leads to. A tag is peeled from the packed-refs file where it records the
/// peeled id (`pack-refs` writes it for every tag), so a clone's hundreds of
/// annotated tags cost no object reads; other refs cost at most a look at
/// the object's header. Same refusals as `forEachRef`.
std::vector<PeeledRefRecord> forEachPeeledRef(const Repo& repo);

/// One entry of the index, with the flags `ls-files -s` leaves out.
struct IndexRecord {
  uint32_t mode = 0;
  Oid id;
  int stage = 0;
  std::string path;
  bool intentToAdd = false;
  bool skipWorktree = false;
  bool assumeUnchanged = false;
  bool operator==(const IndexRecord&) const = default;
};

/// The entries of the index file at `path` in the file's order (which is
/// `ls-files`'s); none when there is no such file. nullopt when libgit2
/// cannot read the file as git would: an extension git must understand (a
/// split or sparse index), a damaged file, another object format. Never
/// writes the file.
std::optional<std::vector<IndexRecord>> readIndexFile(const std::string& path);

/// Writes an object of `type` ("blob", "tree", "commit") with these bytes to
/// the object database (loose) and returns its id; an object already there
/// is not written again.
Oid writeObject(const Repo& repo, std::string_view type, std::string_view bytes);

/// Whether the object database holds `id`.
bool hasObject(const Repo& repo, const Oid& id);

/// The bytes of the blob `id`.
std::string readBlob(const Repo& repo, const Oid& id);

/// An entry of a tree object.
struct TreeEntry {
  std::string name;
  uint32_t mode = 0;
  Oid id;
};
/// The bytes of a tree object holding `entries` (in any order; a folder has
/// mode 040000).
std::string treeBytes(std::vector<TreeEntry> entries);
/// The entries of the tree `id`.
std::vector<TreeEntry> readTree(const Repo& repo, const Oid& id);

/// What the journal reads of a commit.
struct CommitRecord {
  Oid tree;
  std::vector<Oid> parents;
  std::string message;
};
CommitRecord readCommit(const Repo& repo, const Oid& id);

/// What the ref `name` resolves to; nullopt when there is no such ref.
std::optional<Oid> resolveRef(const Repo& repo, const std::string& name);

/// One ref move of `updateRefs`.
struct RefUpdate {
  std::string name;
  /// The new value; nullopt deletes the ref.
  std::optional<Oid> newId;
  /// The lease: the value the ref must have now, the zero id for "must not
  /// exist"; nullopt takes whatever is there.
  std::optional<Oid> oldId;
};

/// The lease of a ref did not hold, a ref named is symbolic (git's
/// `update-ref` would move its target instead), or a new ref's name clashes
/// with a ref's folder (which git refuses too); nothing was changed.
class LeaseError : public Error {
public:
  using Error::Error;
};

/// Moves refs as one `update-ref --stdin` transaction does: every ref is
/// locked and its lease checked before any is written. Throws `LeaseError`
/// (nothing changed) when a lease fails, a ref is symbolic or a new name
/// clashes with another ref's folder; `Error` for
/// other failures, which may leave part of the moves done.
void updateRefs(const Repo& repo, const std::vector<RefUpdate>& updates);

/// Points HEAD at the branch `target` ("refs/heads/main"), as `symbolic-ref`
/// does, or detaches it at `id`, as `update-ref --no-deref` does.
void setHeadSymbolic(const Repo& repo, const std::string& target);
void setHeadDetached(const Repo& repo, const Oid& id);

} // namespace arbor::plumbing
