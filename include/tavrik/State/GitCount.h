// Commits ahead of and behind another revision, as "rev-list --count
// --left-right a...b" reports them: `left` only in a, `right` only in b.
#pragma once

#include <cstdint>
#include <functional>

namespace tavrik {

struct GitCount {
  int64_t left = 0;
  int64_t right = 0;

  static const GitCount zero;

  int64_t ahead() const { return left; }
  int64_t behind() const { return right; }
  int64_t count() const { return left; }
  bool isAhead() const { return left > 0; }
  bool isBehind() const { return right > 0; }

  bool operator==(const GitCount&) const = default;
};

inline const GitCount GitCount::zero{0, 0};

} // namespace tavrik

template <> struct std::hash<tavrik::GitCount> {
  size_t operator()(const tavrik::GitCount& c) const noexcept {
    return std::hash<int64_t>{}(c.left) * 0x100000001B3ull ^ std::hash<int64_t>{}(c.right);
  }
};
