// A git reference (branch, tag, remote-tracking branch, HEAD...) resolved at
// the moment it was read. A `Reference` keeps its repository open; it is a
// snapshot and does not follow later changes of the reference.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Repo.h"

#include <optional>
#include <string>

namespace arbor {

class Reference {
public:
  /// The reference with exactly this full name ("refs/heads/main", "HEAD").
  /// Throws `arbor::Error` (code `notFound` when it does not exist).
  static Reference lookup(const std::string& fullName, const Repo& repo);
  /// Resolves a short or full name the way git's command line does ("main",
  /// "v1.0", "origin/main", "refs/heads/main"). Throws `arbor::Error` (code
  /// `notFound`) when nothing matches.
  static Reference dwim(const std::string& name, const Repo& repo);
  /// Whether a reference with exactly this full name exists. Invalid names
  /// do not exist; other failures throw `arbor::Error`.
  static bool exists(const std::string& fullName, const Repo& repo);
  /// What HEAD resolves to: the branch it is on, or HEAD itself when
  /// detached; nullopt when HEAD's branch has no commit yet.
  static std::optional<Reference> head(const Repo& repo);

  /// The full name.
  const std::string& name() const { return name_; }
  /// The name as git abbreviates it ("main", "origin/main", "v1.0").
  const std::string& shortName() const { return shortName_; }
  /// The id of the commit the reference leads to after following symbolic
  /// references and peeling tags; nullopt when it leads to no commit.
  const std::optional<Oid>& commitOid() const { return commitOid_; }
  /// For a symbolic reference, the name of its target.
  const std::optional<std::string>& symbolicTarget() const { return symbolicTarget_; }

  bool isLocalBranch() const;
  bool isRemoteBranch() const;
  bool isTag() const;

  const Repo& repo() const { return repo_; }

private:
  Reference(Repo repo, std::string name, std::string shortName, std::optional<Oid> commitOid,
            std::optional<std::string> symbolicTarget);
  friend struct ReferenceFactory;

  Repo repo_;
  std::string name_;
  std::string shortName_;
  std::optional<Oid> commitOid_;
  std::optional<std::string> symbolicTarget_;
};

} // namespace arbor
