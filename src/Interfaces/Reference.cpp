#include "tavrik/Interfaces/Reference.h"

#include "Interfaces/Libgit2.h"

namespace arbor {

namespace {

bool startsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

} // namespace

struct ReferenceFactory {
  static Reference make(const Repo& repo, git_reference* ref) {
    std::optional<Oid> commitOid;
    git_object* peeled = nullptr;
    if (git_reference_peel(&peeled, ref, GIT_OBJECT_COMMIT) == 0) {
      detail::ObjectPtr owner(peeled);
      commitOid = detail::toOid(git_object_id(peeled));
    } else {
      // A reference that leads to no commit (unborn branch, tag of a tree)
      // is still a reference; the failure is its answer.
      git_error_clear();
    }
    std::optional<std::string> target;
    if (git_reference_type(ref) == GIT_REFERENCE_SYMBOLIC) {
      if (const char* t = git_reference_symbolic_target(ref)) target = t;
    }
    const char* shorthand = git_reference_shorthand(ref);
    return Reference(repo, git_reference_name(ref), shorthand ? shorthand : git_reference_name(ref), commitOid,
                     std::move(target));
  }
};

Reference::Reference(Repo repo, std::string name, std::string shortName, std::optional<Oid> commitOid,
                     std::optional<std::string> symbolicTarget)
    : repo_(std::move(repo)), name_(std::move(name)), shortName_(std::move(shortName)),
      commitOid_(std::move(commitOid)), symbolicTarget_(std::move(symbolicTarget)) {}

Reference Reference::lookup(const std::string& fullName, const Repo& repo) {
  git_reference* raw = nullptr;
  detail::check(git_reference_lookup(&raw, repo.handle(), fullName.c_str()), "git_reference_lookup");
  detail::ReferencePtr ref(raw);
  return ReferenceFactory::make(repo, raw);
}

Reference Reference::dwim(const std::string& name, const Repo& repo) {
  git_reference* raw = nullptr;
  detail::check(git_reference_dwim(&raw, repo.handle(), name.c_str()), "git_reference_dwim");
  detail::ReferencePtr ref(raw);
  return ReferenceFactory::make(repo, raw);
}

bool Reference::exists(const std::string& fullName, const Repo& repo) {
  git_reference* raw = nullptr;
  int rc = git_reference_lookup(&raw, repo.handle(), fullName.c_str());
  detail::ReferencePtr ref(raw);
  if (rc == GIT_ENOTFOUND || rc == GIT_EINVALIDSPEC) {
    git_error_clear();
    return false;
  }
  detail::check(rc, "git_reference_lookup");
  return true;
}

std::optional<Reference> Reference::head(const Repo& repo) {
  git_reference* raw = nullptr;
  int rc = git_repository_head(&raw, repo.handle());
  detail::ReferencePtr ref(raw);
  if (rc == GIT_EUNBORNBRANCH || rc == GIT_ENOTFOUND) {
    git_error_clear();
    return std::nullopt;
  }
  detail::check(rc, "git_repository_head");
  return ReferenceFactory::make(repo, raw);
}

bool Reference::isLocalBranch() const { return startsWith(name_, "refs/heads/"); }
bool Reference::isRemoteBranch() const { return startsWith(name_, "refs/remotes/"); }
bool Reference::isTag() const { return startsWith(name_, "refs/tags/"); }

} // namespace arbor
