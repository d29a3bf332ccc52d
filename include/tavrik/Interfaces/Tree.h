// A tree object read from the object database; keeps its repository open.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Repo.h"

#include <memory>

struct git_tree;

namespace arbor {

class Tree {
public:
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
