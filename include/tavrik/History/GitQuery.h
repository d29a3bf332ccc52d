// A history search: the text, where to look for it, and what matched in one
// commit.
#pragma once

#include "tavrik/Util/OptionSet.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace tavrik {

/// Where a search looks: a 32-bit set.
struct GitQuerySubject : OptionSet<GitQuerySubject> {
  using OptionSet::OptionSet;

  static const GitQuerySubject message, diff, hash, filename, author, committer;
};

inline constexpr GitQuerySubject GitQuerySubject::message{1};
inline constexpr GitQuerySubject GitQuerySubject::diff{2};
inline constexpr GitQuerySubject GitQuerySubject::hash{4};
inline constexpr GitQuerySubject GitQuerySubject::filename{8};
inline constexpr GitQuerySubject GitQuerySubject::author{16};
inline constexpr GitQuerySubject GitQuerySubject::committer{32};

struct GitQuery {
  /// The search text.
  std::string string;
  GitQuerySubject subject;

  /// `string` when every bit of `s` is in `subject`, else absent.
  std::optional<std::string> needle(GitQuerySubject s) const;

  bool operator==(const GitQuery&) const = default;
};

/// What matched in one commit.
struct GitQueryMatch {
  GitQuery query;
  bool author = false;
  bool committer = false;
  bool hash = false;
  bool message = false;
  /// Changed files whose path matched.
  std::set<std::string> paths;
  /// Changed files with a matching added or removed line.
  std::set<std::string> content;

  bool hasMatches() const { return author || committer || hash || message || !paths.empty() || !content.empty(); }
  /// Sets every flag set in either and unites both sets.
  void formUnion(const GitQueryMatch& other);

  bool operator==(const GitQueryMatch&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitQuerySubject> {
  size_t operator()(tavrik::GitQuerySubject s) const noexcept { return std::hash<uint32_t>{}(s.rawValue); }
};

template <> struct std::hash<tavrik::GitQuery> {
  size_t operator()(const tavrik::GitQuery& q) const noexcept;
};

template <> struct std::hash<tavrik::GitQueryMatch> {
  size_t operator()(const tavrik::GitQueryMatch& m) const noexcept;
};
