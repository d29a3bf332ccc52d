#include "tavrik/Interfaces/Tree.h"

#include "Interfaces/Libgit2.h"

namespace arbor {

void Tree::Deleter::operator()(git_tree* tree) const noexcept { git_tree_free(tree); }

Tree Tree::lookup(const Oid& oid, const Repo& repo) {
  git_oid id = detail::toGitOid(oid);
  git_tree* raw = nullptr;
  detail::check(git_tree_lookup(&raw, repo.handle(), &id), "git_tree_lookup");
  return Tree(repo, raw);
}

Oid Tree::id() const { return detail::toOid(git_tree_id(tree_.get())); }

size_t Tree::entryCount() const { return git_tree_entrycount(tree_.get()); }

} // namespace arbor
