#include "tavrik/Interfaces/Commit.h"

#include "Interfaces/Libgit2.h"
#include "tavrik/Interfaces/Repo.h"

namespace arbor {

Commit Commit::lookup(const Oid& oid, const Repo& repo) {
  git_oid id = detail::toGitOid(oid);
  git_commit* raw = nullptr;
  detail::check(git_commit_lookup(&raw, repo.handle(), &id), "git_commit_lookup");
  detail::CommitPtr commit(raw);

  Commit out;
  out.id = detail::toOid(git_commit_id(raw));
  out.treeId = detail::toOid(git_commit_tree_id(raw));
  unsigned count = git_commit_parentcount(raw);
  out.parentIds.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    const git_oid* parent = git_commit_parent_id(raw, i);
    if (parent) out.parentIds.push_back(detail::toOid(parent));
  }
  if (const char* message = git_commit_message(raw)) out.message = message;
  out.author = detail::toSignature(git_commit_author(raw));
  out.committer = detail::toSignature(git_commit_committer(raw));
  return out;
}

} // namespace arbor
