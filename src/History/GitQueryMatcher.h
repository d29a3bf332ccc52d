// What a history search finds in one commit: its message, id, author and
// committer, and (through a tree-to-tree diff of the object database) the
// paths and the added or removed lines of its change. Case-insensitive.
#pragma once

#include "tavrik/History/GitLogEntry.h"
#include "tavrik/History/GitQuery.h"
#include "tavrik/Interfaces/Diff.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Interfaces/Tree.h"

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
  /// for the change search, which uses `changes` when the walk listed them
  /// and compares the commit's trees otherwise; an error there counts as no
  /// change matching.
  std::optional<GitQueryMatch> match(const GitLogEntry& entry, const arbor::Repo& repo,
                                     const std::vector<arbor::TreeChange>* changes = nullptr) const;

  /// `haystack` contains the lower-cased `needle`, ignoring ASCII case.
  static bool containsCaseless(std::string_view haystack, std::string_view lowerNeedle);

private:
  void searchChange(const GitLogEntry& entry, const arbor::Repo& repo, const std::vector<arbor::TreeChange>* changes,
                    GitQueryMatch& match) const;
  void searchListedChanges(const std::vector<arbor::TreeChange>& changes, const arbor::Repo& repo,
                           GitQueryMatch& found) const;
  /// An added or removed line that holds the needle.
  bool lineMatches(const arbor::DiffLine& line) const;
  /// One of the file's added or removed lines holds the needle.
  bool changedLinesMatch(const arbor::TreeChange& change, const arbor::Repo& repo) const;

  GitQuery query_;
  std::string needle_;
  bool matchMessage_, matchHash_, matchAuthor_, matchCommitter_, matchDiff_, matchFilename_;
};

} // namespace tavrik::detail
