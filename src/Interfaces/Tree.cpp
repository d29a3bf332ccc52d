#include "tavrik/Interfaces/Tree.h"

#include "Interfaces/Libgit2.h"

#include <algorithm>
#include <cstring>

namespace arbor {

namespace {

bool isTree(const git_tree_entry* entry) { return git_tree_entry_type(entry) == GIT_OBJECT_TREE; }

// git orders a tree's entries by name, a folder's name as if it ended in "/".
int compareEntries(const git_tree_entry* a, const git_tree_entry* b) {
  const char* nameA = git_tree_entry_name(a);
  const char* nameB = git_tree_entry_name(b);
  size_t lengthA = std::strlen(nameA), lengthB = std::strlen(nameB);
  int c = std::memcmp(nameA, nameB, std::min(lengthA, lengthB));
  if (c != 0) return c;
  unsigned char nextA = lengthA > lengthB ? static_cast<unsigned char>(nameA[lengthB]) : (isTree(a) ? '/' : 0);
  unsigned char nextB = lengthB > lengthA ? static_cast<unsigned char>(nameB[lengthA]) : (isTree(b) ? '/' : 0);
  if (lengthA == lengthB && nextA == nextB) return 0;
  return nextA < nextB ? -1 : 1;
}

class ChangeCollector {
public:
  explicit ChangeCollector(git_repository* repo) : repo_(repo) {}

  void compare(git_tree* oldTree, git_tree* newTree, const std::string& prefix) {
    size_t oldCount = oldTree ? git_tree_entrycount(oldTree) : 0;
    size_t newCount = newTree ? git_tree_entrycount(newTree) : 0;
    size_t i = 0, j = 0;
    while (i < oldCount || j < newCount) {
      const git_tree_entry* a = i < oldCount ? git_tree_entry_byindex(oldTree, i) : nullptr;
      const git_tree_entry* b = j < newCount ? git_tree_entry_byindex(newTree, j) : nullptr;
      int c = !a ? 1 : !b ? -1 : compareEntries(a, b);
      if (c < 0) {
        side(a, prefix, true);
        ++i;
      } else if (c > 0) {
        side(b, prefix, false);
        ++j;
      } else {
        ++i;
        ++j;
        if (git_oid_equal(git_tree_entry_id(a), git_tree_entry_id(b)) &&
            git_tree_entry_filemode(a) == git_tree_entry_filemode(b))
          continue;
        std::string path = prefix + git_tree_entry_name(a);
        if (isTree(a)) {
          TreePtr oldSub = lookup(a), newSub = lookup(b);
          compare(oldSub.get(), newSub.get(), path + "/");
        } else {
          TreeChange change;
          change.kind = TreeChange::Kind::modified;
          change.path = std::move(path);
          change.oldId = detail::toOid(git_tree_entry_id(a));
          change.newId = detail::toOid(git_tree_entry_id(b));
          change.oldMode = git_tree_entry_filemode(a);
          change.newMode = git_tree_entry_filemode(b);
          changes.push_back(std::move(change));
        }
      }
    }
  }

  std::vector<TreeChange> changes;

private:
  struct TreeFree {
    void operator()(git_tree* tree) const noexcept { git_tree_free(tree); }
  };
  using TreePtr = std::unique_ptr<git_tree, TreeFree>;

  TreePtr lookup(const git_tree_entry* entry) {
    git_tree* raw = nullptr;
    detail::check(git_tree_lookup(&raw, repo_, git_tree_entry_id(entry)), "git_tree_lookup");
    return TreePtr(raw);
  }

  // An entry on one side only: a file, or a folder whose files all are.
  void side(const git_tree_entry* entry, const std::string& prefix, bool deleted) {
    std::string path = prefix + git_tree_entry_name(entry);
    if (isTree(entry)) {
      TreePtr sub = lookup(entry);
      if (deleted) compare(sub.get(), nullptr, path + "/");
      else compare(nullptr, sub.get(), path + "/");
      return;
    }
    TreeChange change;
    change.kind = deleted ? TreeChange::Kind::deleted : TreeChange::Kind::added;
    change.path = std::move(path);
    (deleted ? change.oldId : change.newId) = detail::toOid(git_tree_entry_id(entry));
    (deleted ? change.oldMode : change.newMode) = git_tree_entry_filemode(entry);
    changes.push_back(std::move(change));
  }

  git_repository* repo_;
};

} // namespace

std::vector<TreeChange> Tree::changes(const Tree* oldTree, const Tree& newTree) {
  ChangeCollector collector(newTree.repo().handle());
  collector.compare(oldTree ? oldTree->handle() : nullptr, newTree.handle(), "");
  return std::move(collector.changes);
}

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
