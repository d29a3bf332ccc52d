// A tree object read from the object database; keeps its repository open.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Repo.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct git_tree;

namespace arbor {

/// A file that differs between two trees, found without looking at file
/// contents. A path that changes between file and folder shows as a deletion
/// and additions.
struct TreeChange {
  /// Moves and copies come only from git's own listing, which pairs files up.
  enum class Kind { added, deleted, modified, renamed, copied };
  Kind kind = Kind::modified;
  /// Relative to the root, "/"-separated, as git stores it; the new path of
  /// a moved or copied file.
  std::string path;
  /// Where a moved or copied file came from; empty otherwise.
  std::string oldPath;
  /// Zero on the side where the file does not exist.
  Oid oldId;
  Oid newId;
  uint32_t oldMode = 0;
  uint32_t newMode = 0;

  bool operator==(const TreeChange&) const = default;
};

class Tree {
public:
  /// The files that differ from `oldTree` (nullptr: the empty tree) to
  /// `newTree`, in git's path order. Folders whose ids agree are skipped
  /// without being read, so the cost follows the size of the change rather
  /// than of the trees. Throws `arbor::Error` when a tree cannot be read.
  static std::vector<TreeChange> changes(const Tree* oldTree, const Tree& newTree);

  /// Reads the tree `oid`. Throws `arbor::Error` (code `notFound` when the
  /// object is missing or is not a tree).
  static Tree lookup(const Oid& oid, const Repo& repo);

  Oid id() const;
  /// The number of entries directly in this tree.
  size_t entryCount() const;

  const Repo& repo() const { return repo_; }
  git_tree* handle() const { return tree_.get(); }

private:
  struct Deleter {
    void operator()(git_tree* tree) const noexcept;
  };
  Tree(Repo repo, git_tree* tree) : repo_(std::move(repo)), tree_(tree) {}
  Repo repo_;
  std::unique_ptr<git_tree, Deleter> tree_;
};

} // namespace arbor
