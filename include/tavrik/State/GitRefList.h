// All references of a repository, grouped the ways the client draws them:
// by kind, direct or symbolic, and by the commit they point to.
#pragma once

#include "tavrik/State/GitRef.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace tavrik {

struct GitRefList {
  /// The branch HEAD points to; absent when detached or unborn.
  std::optional<GitRef> head;
  /// Every reference in git's order.
  std::vector<GitRef> all;
  // The groups below are in `GitRef` order (master, develop, the rest).
  std::vector<GitRef> direct;
  std::vector<GitRef> symbolic;
  std::vector<GitRef> branch;
  std::vector<GitRef> remote;
  std::vector<GitRef> tag;
  /// References by the commit they peel to.
  std::map<Oid, std::vector<GitRef>> targets;

  /// Groups `refs` (kept in `all` as given).
  static GitRefList from(std::vector<GitRef> refs);

  int64_t aheadUpstreamTotal() const;
  int64_t behindUpstreamTotal() const;
  std::vector<GitRef> directLocalBranches() const;
  std::vector<GitRef> directRemoteBranches() const;
  std::vector<GitRef> directLocalAndRemoteBranches() const;
  /// Local branches, remote branches, then tags: what the commit graph labels.
  std::vector<GitRef> graphRefs() const;

  bool operator==(const GitRefList&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitRefList> {
  size_t operator()(const tavrik::GitRefList& l) const noexcept;
};
