// What the history list shows: the history of some references, a reflog, or
// the stashes, optionally filtered by a search. Part of the queue's view.
#pragma once

#include "tavrik/History/GitQuery.h"
#include "tavrik/State/GitRef.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

enum class GitLogType { reference, reflog, stash };

/// reference and reflog walk references; stash does not.
inline bool isRefish(GitLogType t) { return t == GitLogType::reference || t == GitLogType::reflog; }

struct GitLogDescriptor {
  GitLogType type = GitLogType::reference;
  /// The references whose history is shown.
  std::vector<GitRef> refs;
  /// The reflog to show (for `reflog`).
  std::optional<std::string> reflogName;
  std::optional<GitQuery> query;
  /// Set by the client; the walker does not read it.
  bool showsAllRefs = false;

  bool hasQuery() const { return query.has_value(); }
  /// Searches run to the end; only plain walks are paged.
  bool canPaginate() const { return !query.has_value(); }
  /// A reference walk of HEAD's branch (or of HEAD, with no refs).
  bool isHeadBranch() const;
  /// A copy with `query` replaced.
  GitLogDescriptor withQuery(std::optional<GitQuery> q) const;

  bool operator==(const GitLogDescriptor&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitLogDescriptor> {
  size_t operator()(const tavrik::GitLogDescriptor& d) const noexcept;
};
