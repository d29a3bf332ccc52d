// One entry of "git stash list" and the view's list of them.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/State/GitTimestamp.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

struct GitStashEntry {
  /// Position in the stash list: 0 is the newest, "stash@{0}".
  int64_t index = 0;
  Oid oid;
  Oid tree;
  std::vector<Oid> parents;
  GitSignature author;
  GitSignature committer;
  /// The commit message trimmed at both ends.
  std::string message;
  /// The subject line without git's "WIP on <branch>:" or "On <branch>:"
  /// prefix; never the body.
  std::string messageWithoutPrefix;
  /// First line of `message`.
  std::string subject;
  std::optional<std::string> refname;

  /// "stash@{<index>}".
  std::string stashRefname() const { return "stash@{" + std::to_string(index) + "}"; }

  bool operator==(const GitStashEntry&) const = default;
};

struct GitStashList {
  /// In git's order, newest first.
  std::vector<GitStashEntry> entries;

  bool operator==(const GitStashList&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitStashEntry> {
  size_t operator()(const tavrik::GitStashEntry& e) const noexcept;
};

template <> struct std::hash<tavrik::GitStashList> {
  size_t operator()(const tavrik::GitStashList& l) const noexcept;
};
