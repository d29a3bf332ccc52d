#include "tavrik/Interfaces/Branch.h"

#include "Interfaces/Libgit2.h"

namespace arbor {

Branch::Branch(Reference ref) : ref_(std::move(ref)) {
  if (!ref_.isLocalBranch() && !ref_.isRemoteBranch())
    throw Error("'" + ref_.name() + "' is not a branch", Error::Code::invalid);
}

std::optional<Branch> Branch::current(const Repo& repo) {
  auto head = Reference::head(repo);
  if (!head || !head->isLocalBranch()) return std::nullopt;
  return Branch(std::move(*head));
}

std::optional<std::string> Branch::upstreamName() const {
  if (!ref_.isLocalBranch()) return std::nullopt;
  detail::Buf buf;
  int rc = git_branch_upstream_name(&buf.buf, ref_.repo().handle(), ref_.name().c_str());
  if (rc == GIT_ENOTFOUND) {
    git_error_clear();
    return std::nullopt;
  }
  detail::check(rc, "git_branch_upstream_name");
  return buf.string();
}

std::optional<Reference> Branch::upstream() const {
  auto name = upstreamName();
  if (!name || !Reference::exists(*name, ref_.repo())) return std::nullopt;
  return Reference::lookup(*name, ref_.repo());
}

} // namespace arbor
