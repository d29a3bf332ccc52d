// One working tree of a repository as `git worktree list --porcelain` lists
// it: where it is, what it has checked out, and whether git keeps it locked
// or would prune it. The main worktree comes first in the list, then the
// linked ones in git's order.
#pragma once

#include "tavrik/Interfaces/Oid.h"

#include <functional>
#include <optional>
#include <string>

namespace tavrik {

struct GitWorktree {
  /// Absolute path as git stores it: bytes, spaces, line ends and invalid
  /// UTF-8 kept.
  std::string path;
  /// The commit checked out; nullopt for a bare repository or an unborn branch.
  std::optional<Oid> head;
  /// The full name of the branch checked out ("refs/heads/main"); nullopt
  /// when HEAD is detached or the entry is bare.
  std::optional<std::string> branch;
  bool isDetached = false;
  bool isBare = false;
  /// Locked against pruning and moving; `lockReason` holds the reason
  /// given, empty when none was.
  bool isLocked = false;
  std::string lockReason;
  /// git would remove this entry on `worktree prune` (its folder is gone);
  /// `prunableReason` is git's text for why.
  bool isPrunable = false;
  std::string prunableReason;

  bool operator==(const GitWorktree&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitWorktree> {
  size_t operator()(const tavrik::GitWorktree& w) const noexcept;
};
