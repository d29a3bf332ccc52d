// One record of git's working-tree status and the list the cached view holds.
// The status reader fills the fields from a porcelain v2 record; the derived
// members answer what the client and the commands ask of a changed file (is it
// staged, which paths would a reset or a delete name).
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/State/GitStatus.h"
#include "tavrik/Util/Date.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

struct GitStatusEntry {
  GitStatus index = GitStatus::unmodified;
  GitStatus worktree = GitStatus::unmodified;
  std::optional<std::string> oldPath;
  std::optional<std::string> newPath;
  GitSubmoduleState submoduleState;
  // Modes hold the digits git prints read as a decimal number: "100644" is
  // stored as 100644, not as its octal value. Git's modes have six digits, so
  // 32 bits hold them with room to spare and keep the entry small (views hold
  // a hundred thousand of them); a number beyond that range does not convert.
  std::optional<int32_t> modeStage1;
  std::optional<int32_t> modeStage2;
  std::optional<int32_t> modeStage3;
  std::optional<int32_t> modeHead;
  std::optional<int32_t> modeIndex;
  std::optional<int32_t> modeWorktree;
  std::optional<Oid> oidStage1;
  std::optional<Oid> oidStage2;
  std::optional<Oid> oidStage3;
  std::optional<Oid> oidHead;
  std::optional<Oid> oidIndex;
  /// A percentage.
  std::optional<int32_t> score;
  std::optional<Date> modificationDate;

  /// `newPath`, else `oldPath`.
  std::optional<std::string> path() const;
  /// `oldPath` then `newPath`, each when present (a path in both is listed twice).
  std::vector<std::string> paths() const;
  /// `paths()` without repeats, first occurrence kept.
  std::vector<std::string> uniquePaths() const;
  /// Only unmerged records carry a stage-1 mode.
  bool hasConflict() const { return modeStage1.has_value(); }
  bool isNew() const { return either(GitStatus::added); }
  bool isModified() const { return either(GitStatus::modified); }
  bool isRenamed() const { return either(GitStatus::renamed); }
  bool isDeleted() const { return either(GitStatus::deleted); }
  bool isUntracked() const { return either(GitStatus::untracked); }
  GitStaged isStaged() const;
  /// `path()` ends with "/" (git's form for an untracked directory).
  bool isDirectory() const;
  /// The paths a reset of this entry names.
  std::set<std::string> resettablePaths() const;
  /// The paths a delete of this entry names.
  std::set<std::string> deletablePaths() const;

  /// True when either column is `s`.
  bool either(GitStatus s) const { return index == s || worktree == s; }

  bool operator==(const GitStatusEntry&) const = default;
};

/// Orders entries by path, an absent path counting as ""; plain byte-wise
/// comparison, which for UTF-8 is the order of Unicode scalar values.
struct GitStatusEntryPathLess {
  bool operator()(const GitStatusEntry& a, const GitStatusEntry& b) const;
};

/// The entries sorted with `GitStatusEntryPathLess` (stable).
std::vector<GitStatusEntry> sortedByPath(std::vector<GitStatusEntry> entries);

// Questions asked of a selection of entries.
std::set<std::string> newFilePaths(const std::vector<GitStatusEntry>& entries);
std::set<std::string> oldFilePaths(const std::vector<GitStatusEntry>& entries);
std::set<std::string> filePaths(const std::vector<GitStatusEntry>& entries);
/// Every entry is fully staged; true for no entries.
bool allStaged(const std::vector<GitStatusEntry>& entries);
/// Some entry is at least partly staged; false for no entries.
bool someStaged(const std::vector<GitStatusEntry>& entries);
inline bool shouldStage(const std::vector<GitStatusEntry>& entries) { return !allStaged(entries); }

/// The view's status: every entry, sorted by path.
struct GitStatusList {
  std::vector<GitStatusEntry> entries;

  /// The first entry whose `path()` is exactly `path`.
  std::optional<GitStatusEntry> entryFor(std::string_view path) const;
  bool hasConflicts() const;

  bool operator==(const GitStatusList&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitStatusEntry> {
  size_t operator()(const tavrik::GitStatusEntry& e) const noexcept;
};

template <> struct std::hash<tavrik::GitStatusList> {
  size_t operator()(const tavrik::GitStatusList& l) const noexcept;
};
