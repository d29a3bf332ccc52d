// The summary of one repository that repository lists show (readme, number
// of changed files, HEAD), and the options that say which of its parts a
// caller wants filled: the cheap ones (`fast`) or the expensive one (`slow`).
#pragma once

#include "tavrik/State/GitHead.h"
#include "tavrik/Util/Url.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tavrik {

struct GitRepoStatusOptions {
  uint64_t rawValue = 0;

  static const GitRepoStatusOptions changedFiles;
  static const GitRepoStatusOptions head;
  static const GitRepoStatusOptions readmeURL;
  /// head and readmeURL.
  static const GitRepoStatusOptions fast;
  /// changedFiles.
  static const GitRepoStatusOptions slow;

  bool contains(GitRepoStatusOptions other) const { return (rawValue & other.rawValue) == other.rawValue; }
  bool isEmpty() const { return rawValue == 0; }
  GitRepoStatusOptions operator|(GitRepoStatusOptions other) const { return {rawValue | other.rawValue}; }
  GitRepoStatusOptions operator&(GitRepoStatusOptions other) const { return {rawValue & other.rawValue}; }

  bool operator==(const GitRepoStatusOptions&) const = default;
};

inline const GitRepoStatusOptions GitRepoStatusOptions::changedFiles{2};
inline const GitRepoStatusOptions GitRepoStatusOptions::head{4};
inline const GitRepoStatusOptions GitRepoStatusOptions::readmeURL{8};
inline const GitRepoStatusOptions GitRepoStatusOptions::fast{12};
inline const GitRepoStatusOptions GitRepoStatusOptions::slow{2};

struct GitRepoStatus {
  Url url;
  std::optional<Url> readmeURL;
  std::optional<int64_t> changedFiles;
  std::optional<GitHead> head;

  /// The last path component of `url`.
  std::string name() const { return url.lastPathComponent(); }
  /// Takes `other`'s url, and each part `other` has; keeps its own parts
  /// where `other` has none.
  void update(const GitRepoStatus& other);

  bool operator==(const GitRepoStatus&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitRepoStatusOptions> {
  size_t operator()(const tavrik::GitRepoStatusOptions& o) const noexcept { return std::hash<uint64_t>{}(o.rawValue); }
};

template <> struct std::hash<tavrik::GitRepoStatus> {
  size_t operator()(const tavrik::GitRepoStatus& s) const noexcept;
};
