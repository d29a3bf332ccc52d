// git's in-progress markers (MERGE_HEAD, rebase-merge/, sequencer/todo, ...)
// and the operation they say is under way. `GitStateFileSet::read` looks at
// the markers of a git directory; `fromFiles` decides the state.
#pragma once

#include "tavrik/Util/Log.h"
#include "tavrik/Util/Url.h"

#include <array>
#include <functional>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// A marker; the raw value is its path relative to the git directory.
enum class GitStateFileType {
  MERGE_MSG_FILE,
  MERGE_HEAD_FILE,
  REVERT_HEAD_FILE,
  REBASE_MERGE_DIR,
  REBASE_MERGE_INTERACTIVE_FILE,
  REBASE_MERGE_MSGNUM_FILE,
  REBASE_MERGE_END_FILE,
  REBASE_MERGE_ONTO_FILE,
  REBASE_MERGE_MESSAGE_FILE,
  REBASE_APPLY_DIR,
  REBASE_APPLY_REBASING_FILE,
  REBASE_APPLY_APPLYING_FILE,
  SEQUENCER_DIR,
  SEQUENCER_TODO_FILE,
  CHERRYPICK_HEAD_FILE,
  BISECT_LOG_FILE,
};

/// Every marker, in the order above.
extern const std::array<GitStateFileType, 16> kAllGitStateFileTypes;
/// "MERGE_MSG", "rebase-merge", "rebase-apply/" (with its slash), ...
std::string_view rawValue(GitStateFileType type);
std::optional<GitStateFileType> gitStateFileTypeFromRawValue(std::string_view raw);
/// True for rebase-merge, rebase-apply and sequencer.
bool isDirectory(GitStateFileType type);

struct GitStateFile {
  GitStateFileType type = GitStateFileType::MERGE_MSG_FILE;
  /// The file's bytes; absent for a directory or an unreadable file.
  std::optional<std::string> content;

  /// `content` as text: the bytes as git wrote them (a branch name or message
  /// need not be UTF-8); absent when missing.
  std::optional<std::string> contentString() const;

  bool operator==(const GitStateFile&) const = default;
  auto operator<=>(const GitStateFile&) const = default;
};

/// What is in progress in a repository.
enum class GitState {
  none,
  merge,
  revert,
  revertSequence,
  cherrypick,
  cherrypickSequence,
  bisect,
  rebase,
  rebaseInteractive,
  rebaseMerge,
  applyMailbox,
  applyMailboxOrRebase,
};

/// "None", "Merge", "Interactive Rebase", "Apply Mailbox or Rebase", ...
std::string_view title(GitState state);
inline bool isNone(GitState s) { return s == GitState::none; }
inline bool isMerging(GitState s) { return s == GitState::merge; }
/// rebase, rebaseInteractive or rebaseMerge (not applyMailboxOrRebase).
bool isRebasing(GitState s);
inline bool anyOf(GitState s, std::initializer_list<GitState> states) {
  for (auto t : states)
    if (s == t) return true;
  return false;
}

/// The markers present in a git directory and the state they decide.
struct GitStateFileSet {
  std::set<GitStateFile> set;
  GitState state = GitState::none;

  /// Builds the set and decides its state (rebase markers first, then merge,
  /// revert, cherry-pick, bisect).
  static GitStateFileSet fromFiles(std::vector<GitStateFile> files);

  /// Reads every marker under `gitDirectory`. A marker of the wrong kind (a
  /// file where a directory belongs, or the reverse) is logged at error
  /// level ("git: state file %s has unexpected type") and ignored; an
  /// unreadable marker file is present without content. Never throws.
  static GitStateFileSet read(const Url& gitDirectory);
  static GitStateFileSet read(const Url& gitDirectory, const Log& log);

  std::optional<GitStateFile> file(GitStateFileType type) const;
  bool has(GitStateFileType type) const;
  /// The message git prepared for the commit that ends the operation:
  /// MERGE_MSG, else rebase-merge/message, as git wrote it.
  std::optional<std::string> editMessage() const;

  bool operator==(const GitStateFileSet&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitStateFile> {
  size_t operator()(const tavrik::GitStateFile& f) const noexcept;
};

template <> struct std::hash<tavrik::GitStateFileSet> {
  size_t operator()(const tavrik::GitStateFileSet& s) const noexcept;
};
