// What a history search finds in one commit: its message, id, author and
// committer, and (through a tree-to-tree diff of the object database) the
// paths and the added or removed lines of its change. Case-insensitive.
#pragma once

#include "tavrik/History/GitLogEntry.h"
#include "tavrik/History/GitQuery.h"
#include "tavrik/Interfaces/Repo.h"

#include <optional>
#include <string>
#include <string_view>

namespace tavrik::detail {

class GitQueryMatcher {
public:
  explicit GitQueryMatcher(GitQuery query);

  /// The query asks for a diff of each commit (`diff` or `filename`).
  bool needsChangeSearch() const { return matchDiff_ || matchFilename_; }

  /// What matched in `entry`, nullopt when nothing did. `repo` is read only
  /// for the change search; an error there counts as no change matching.
  std::optional<GitQueryMatch> match(const GitLogEntry& entry, const arbor::Repo& repo) const;

  /// `haystack` contains the lower-cased `needle`, ignoring ASCII case.
  static bool containsCaseless(std::string_view haystack, std::string_view lowerNeedle);

private:
  void searchChange(const GitLogEntry& entry, const arbor::Repo& repo, GitQueryMatch& match) const;

  GitQuery query_;
  std::string needle_;
  bool matchMessage_, matchHash_, matchAuthor_, matchCommitter_, matchDiff_, matchFilename_;
};

} // namespace tavrik::detail
