// A branch view of a reference: a local branch (refs/heads/...) or a
// remote-tracking branch (refs/remotes/...), with its configured upstream.
#pragma once

#include "tavrik/Interfaces/Reference.h"

#include <optional>
#include <string>

namespace arbor {

class Branch {
public:
  /// Throws `arbor::Error` (code `invalid`) when `ref` is not a branch.
  explicit Branch(Reference ref);

  /// The branch HEAD is on; nullopt when HEAD is detached or its branch has
  /// no commit yet.
  static std::optional<Branch> current(const Repo& repo);

  const Reference& reference() const { return ref_; }
  /// "main" for refs/heads/main, "origin/main" for refs/remotes/origin/main.
  const std::string& name() const { return ref_.shortName(); }
  bool isRemote() const { return ref_.isRemoteBranch(); }

  /// The full name of the configured upstream ("refs/remotes/origin/main"),
  /// whether or not that reference exists; nullopt when none is configured
  /// (always for remote-tracking branches). Throws `arbor::Error` on a broken
  /// configuration.
  std::optional<std::string> upstreamName() const;
  /// The upstream reference when it is configured and exists.
  std::optional<Reference> upstream() const;

private:
  Reference ref_;
};

} // namespace arbor
