// A commit read from the object database, as a value.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Signature.h"

#include <string>
#include <vector>

namespace arbor {

class Repo;

struct Commit {
  Oid id;
  Oid treeId;
  /// In parent order: the first parent first.
  std::vector<Oid> parentIds;
  /// The full message (libgit2 drops leading newlines only).
  std::string message;
  Signature author;
  Signature committer;

  /// Reads the commit `oid`. Throws `arbor::Error` (code `notFound` when the
  /// object is missing or is not a commit).
  static Commit lookup(const Oid& oid, const Repo& repo);

  bool operator==(const Commit&) const = default;
};

} // namespace arbor

template <> struct std::hash<arbor::Commit> {
  // Equal commits have equal ids, and the id alone identifies the content.
  size_t operator()(const arbor::Commit& c) const noexcept { return std::hash<arbor::Oid>{}(c.id); }
};
