// A failed git command: its exit status, its trimmed error text, and the kind
// of failure recognised in that text, so a client can explain the common cases
// (authentication, a rejected push, local changes in the way) to the user.
#pragma once

#include "tavrik/Util/Error.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// Keys of the facts an operation attaches to a `GitStdError`.
enum class GitStdErrorUserInfoKey { remoteName };

/// "remoteName".
std::string_view rawValue(GitStdErrorUserInfoKey key);

class GitStdError : public Error {
public:
  /// What went wrong, as far as the error text tells. Backed by the case
  /// names (see `rawValue`).
  enum class Kind {
    other,
    authenticationFailed,
    tipBehind,
    cantMergeLocalChanges,
    cantPullUnmergedFiles,
    cantPullUncommittedChanges,
    cantCheckoutUncommittedChanges,
    /// The branch is checked out in another worktree; groups: the branch,
    /// that worktree's path.
    branchCheckedOutElsewhere,
    /// A worktree to remove has changes; group: its path.
    worktreeHasChanges,
    /// A locked worktree cannot be removed or moved without unlocking.
    worktreeLocked,
    /// A commit or tag could not be signed: the passphrase was declined, the
    /// key is missing or the signing program failed. Nothing was made.
    signingFailed,
    /// A bisect run's command exited with a status git takes for "stop" (below
    /// 0 or above 127); group: that status.
    bisectRunAborted,
  };

  /// The result of classifying an error text.
  struct Classification {
    Kind kind = Kind::other;
    /// The whole match, then each capture group; empty for `other`.
    std::vector<std::string> groups;
    bool operator==(const Classification&) const = default;
  };

  /// Classifies `text` (nullopt counts as empty) and stores the result. Never
  /// throws on odd text: invalid UTF-8 is searched in its valid stretches.
  GitStdError(int status, std::optional<std::string> text, std::map<std::string, std::string> userInfo = {});

  /// Sorts an error text into a kind. The recognised messages are searched
  /// anywhere in the text, ignoring case; the first known message that
  /// matches decides. Pure and thread-safe.
  static Classification classify(std::string_view text);

  int status() const { return status_; }
  Kind kind() const { return kind_; }
  const std::optional<std::string>& text() const { return text_; }
  const std::vector<std::string>& groups() const { return groups_; }
  const std::map<std::string, std::string>& userInfo() const { return userInfo_; }
  /// The value stored under `key`, or nullopt.
  std::optional<std::string> userInfo(GitStdErrorUserInfoKey key) const;

  /// A copy with `entries` added to the user info (a given entry replaces an
  /// old one with the same key); everything else unchanged.
  GitStdError attach(const std::map<std::string, std::string>& entries) const;

  /// True for failures the engine does not recognise.
  bool isSevere() const { return kind_ == Kind::other; }

  /// "Git exited with status N", then the text, the kind (unless `other`)
  /// and one "key: value" line per user-info entry, in key order.
  std::string errorDescription() const;
  std::string localizedDescription() const override { return errorDescription(); }

  bool operator==(const GitStdError& other) const {
    return status_ == other.status_ && kind_ == other.kind_ && text_ == other.text_ && groups_ == other.groups_ &&
           userInfo_ == other.userInfo_;
  }

private:
  int status_;
  Kind kind_ = Kind::other;
  std::optional<std::string> text_;
  std::vector<std::string> groups_;
  std::map<std::string, std::string> userInfo_;
};

/// The kind's case name, e.g. "authenticationFailed".
std::string_view rawValue(GitStdError::Kind kind);
/// The kind with that case name, or nullopt.
std::optional<GitStdError::Kind> gitStdErrorKind(std::string_view rawValue);

} // namespace tavrik

template <> struct std::hash<tavrik::GitStdError> {
  size_t operator()(const tavrik::GitStdError& e) const noexcept;
};
