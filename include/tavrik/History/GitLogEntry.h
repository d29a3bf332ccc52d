// One row of the history list: a commit with what the list shows beside it
// (graph lanes, the stash it stands for, what a search found in it).
//
// A history list holds every row it has shown, so the large parts that rows
// share or rarely have (the walk's descriptor, a stash entry, a search match)
// are held through `SharedValue`: copying a row shares them.
#pragma once

#include "tavrik/History/GitLogDescriptor.h"
#include "tavrik/History/GitQuery.h"
#include "tavrik/History/Graph.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/State/GitStashEntry.h"
#include "tavrik/State/GitTimestamp.h"
#include "tavrik/Util/SharedValue.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

struct GitLogEntry {
  Oid id;
  Oid tree;
  std::vector<Oid> parents;
  /// The full commit message.
  std::string message;
  GitSignature author;
  GitSignature committer;
  /// The walk that produced the row (shared by all rows of that walk).
  SharedValue<GitLogDescriptor> descriptor;
  /// The commit HEAD points to.
  bool isHeadCommit = false;
  /// Present for reference walks without a search.
  std::optional<GraphLaneRow> graphLaneRow;
  /// Present for stash rows.
  SharedValue<GitStashEntry> stashEntry;
  /// Set on rows found by a search.
  SharedValue<GitQueryMatch> queryMatch;

  /// A row for `commit` (id, tree, parents, message and signatures); the
  /// rest is left for the walk to fill in.
  static GitLogEntry fromCommit(const arbor::Commit& commit, SharedValue<GitLogDescriptor> descriptor);

  bool operator==(const GitLogEntry&) const = default;
};

/// The record form of an object-model signature.
GitSignature gitSignature(const arbor::Signature& signature);

} // namespace tavrik

template <> struct std::hash<tavrik::GitLogEntry> {
  size_t operator()(const tavrik::GitLogEntry& e) const noexcept;
};
