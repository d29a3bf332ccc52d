#include "tavrik/Interfaces/RevWalk.h"

#include "Interfaces/Libgit2.h"

namespace arbor {

void RevWalk::Deleter::operator()(git_revwalk* walk) const noexcept { git_revwalk_free(walk); }

RevWalk::RevWalk(const Repo& repo) : repo_(repo) {
  git_revwalk* raw = nullptr;
  detail::check(git_revwalk_new(&raw, repo_.handle()), "git_revwalk_new");
  walk_.reset(raw);
}

RevWalk::~RevWalk() = default;
RevWalk::RevWalk(RevWalk&&) noexcept = default;
RevWalk& RevWalk::operator=(RevWalk&&) noexcept = default;

void RevWalk::setSorting(Sort sort) {
  unsigned mode = GIT_SORT_NONE;
  if (sort.contains(Sort::topological)) mode |= GIT_SORT_TOPOLOGICAL;
  if (sort.contains(Sort::time)) mode |= GIT_SORT_TIME;
  if (sort.contains(Sort::reverse)) mode |= GIT_SORT_REVERSE;
  detail::check(git_revwalk_sorting(walk_.get(), mode), "git_revwalk_sorting");
}

void RevWalk::pushRef(const std::string& name) {
  // Resolve like the command line so that short names work as well as full
  // ones; peeling also accepts annotated tags.
  git_reference* rawRef = nullptr;
  detail::check(git_reference_dwim(&rawRef, repo_.handle(), name.c_str()), "git_reference_dwim");
  detail::ReferencePtr ref(rawRef);
  git_object* rawCommit = nullptr;
  detail::check(git_reference_peel(&rawCommit, rawRef, GIT_OBJECT_COMMIT), "git_reference_peel");
  detail::ObjectPtr commit(rawCommit);
  detail::check(git_revwalk_push(walk_.get(), git_object_id(rawCommit)), "git_revwalk_push");
}

void RevWalk::pushHead() { detail::check(git_revwalk_push_head(walk_.get()), "git_revwalk_push_head"); }

void RevWalk::push(const Oid& commit) {
  git_oid id = detail::toGitOid(commit);
  detail::check(git_revwalk_push(walk_.get(), &id), "git_revwalk_push");
}

void RevWalk::hide(const Oid& commit) {
  git_oid id = detail::toGitOid(commit);
  detail::check(git_revwalk_hide(walk_.get(), &id), "git_revwalk_hide");
}

std::optional<Oid> RevWalk::next() {
  git_oid id;
  int rc = git_revwalk_next(&id, walk_.get());
  if (rc == GIT_ITEROVER) {
    git_error_clear();
    return std::nullopt;
  }
  detail::check(rc, "git_revwalk_next");
  return detail::toOid(&id);
}

void RevWalk::reset() { detail::check(git_revwalk_reset(walk_.get()), "git_revwalk_reset"); }

} // namespace arbor
