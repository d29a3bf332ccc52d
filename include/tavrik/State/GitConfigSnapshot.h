// The repository's effective git configuration as one immutable snapshot,
// shared between views as std::shared_ptr<const GitConfigSnapshot> and
// compared by its values; and the remotes it names.
#pragma once

#include "tavrik/Util/Url.h"
#include "tavrik/Util/Uuid.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

struct GitRemote {
  std::string name;
  std::string urlString;

  /// `urlString` parsed as a URL; absent when it has no scheme (scp-like
  /// "user@host:path" addresses).
  std::optional<Url> url() const;
  /// Begins with "http://" or "https://", in any case.
  bool isHTTP() const;

  bool operator==(const GitRemote&) const = default;
};

struct GitRemoteList {
  /// Sorted ascending by name.
  std::vector<GitRemote> remotes;

  std::optional<GitRemote> lookup(std::string_view name) const;
  std::optional<GitRemote> origin() const { return lookup("origin"); }
  /// The local name to offer for a remote branch: "origin/feature/x" or
  /// "refs/remotes/origin/feature/x" gives "feature/x" when origin is a
  /// remote; the first remote that matches decides. Absent when none does.
  std::optional<std::string> suggestRefDownstream(std::string_view name) const;

  bool operator==(const GitRemoteList&) const = default;
};

class GitConfigSnapshot {
public:
  /// A snapshot of `values` (key to value, the last value git printed).
  explicit GitConfigSnapshot(std::map<std::string, std::string> values = {});
  static std::shared_ptr<const GitConfigSnapshot> make(std::map<std::string, std::string> values = {});
  /// The shared snapshot with no values.
  static std::shared_ptr<const GitConfigSnapshot> empty();

  GitConfigSnapshot(const GitConfigSnapshot&) = delete;
  GitConfigSnapshot& operator=(const GitConfigSnapshot&) = delete;

  const std::map<std::string, std::string>& values() const { return values_; }
  /// The value of `key`; absent when unset. Section and variable names match
  /// in any case, a subsection only exactly, as git matches them.
  std::optional<std::string> value(std::string_view key) const;
  /// `key` as `git config --list` prints it: section and variable name in
  /// lower case, the subsection as given ("Remote.Origin.URL" gives
  /// "remote.Origin.url").
  static std::string canonicalKey(std::string_view key);

  std::optional<std::string> userName() const { return value("user.name"); }
  std::optional<std::string> userEmail() const { return value("user.email"); }
  std::optional<std::string> diffTool() const { return value("diff.tool"); }
  std::optional<std::string> diffGuitool() const { return value("diff.guitool"); }
  std::optional<std::string> mergeTool() const { return value("merge.tool"); }
  std::optional<std::string> mergeGuitool() const { return value("merge.guitool"); }
  std::optional<std::string> gitflowBranchMaster() const { return value("gitflow.branch.master"); }
  std::optional<std::string> gitflowBranchDevelop() const { return value("gitflow.branch.develop"); }
  std::optional<std::string> gitflowPrefixFeature() const { return value("gitflow.prefix.feature"); }
  std::optional<std::string> gitflowPrefixBugfix() const { return value("gitflow.prefix.bugfix"); }
  std::optional<std::string> gitflowPrefixRelease() const { return value("gitflow.prefix.release"); }
  std::optional<std::string> gitflowPrefixHotfix() const { return value("gitflow.prefix.hotfix"); }
  std::optional<std::string> gitflowPrefixSupport() const { return value("gitflow.prefix.support"); }
  std::optional<std::string> gitflowPrefixVersionTag() const { return value("gitflow.prefix.versiontag"); }
  std::optional<std::string> gitflowOrigin() const { return value("gitflow.origin"); }
  std::optional<std::string> gitflowHooksPath() const { return value("gitflow.path.hooks"); }

  /// Both gitflow.branch.master and gitflow.branch.develop are set.
  bool gitflowEnabled() const;
  /// "branch.<branch>.remote".
  std::optional<std::string> remote(std::string_view branch) const;

  /// A snapshot of the entries whose key matches the PCRE2 `pattern`
  /// anywhere. Throws arbor::Error when the pattern does not compile.
  std::shared_ptr<const GitConfigSnapshot> matching(std::string_view pattern) const;

  /// The remotes named by remote.NAME.url / remote.NAME.pushurl, sorted by
  /// name. Computed on first use and kept; safe from any thread.
  const GitRemoteList& remoteList() const;

  /// Remote name to the account UUID bound by remote.NAME.vtServiceAccountUUID
  /// (key compared case-insensitively); values that are no UUID are skipped.
  std::map<std::string, Uuid> remoteSerivceAccounts() const;

  bool operator==(const GitConfigSnapshot& other) const { return values_ == other.values_; }

private:
  std::map<std::string, std::string> values_;
  mutable std::once_flag remoteListOnce_;
  mutable GitRemoteList remoteList_;  // written once under remoteListOnce_
};

/// Compares two shared snapshots by their values; a null snapshot counts as
/// one with no values.
bool sameConfigValues(const std::shared_ptr<const GitConfigSnapshot>& a,
                      const std::shared_ptr<const GitConfigSnapshot>& b);

} // namespace tavrik

template <> struct std::hash<tavrik::GitRemote> {
  size_t operator()(const tavrik::GitRemote& r) const noexcept;
};

template <> struct std::hash<tavrik::GitRemoteList> {
  size_t operator()(const tavrik::GitRemoteList& l) const noexcept;
};

template <> struct std::hash<tavrik::GitConfigSnapshot> {
  size_t operator()(const tavrik::GitConfigSnapshot& s) const noexcept;
};
