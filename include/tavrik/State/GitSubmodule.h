// One line of "git submodule status" with the number of pending changes in
// the submodule's own working tree.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tavrik {

struct GitSubmodule {
  /// git's status prefix: ' ' clean, '+' other commit checked out,
  /// '-' uninitialized, 'U' merge conflicts.
  char status = ' ';
  /// Relative to the working tree.
  std::string path;
  int64_t changeCount = 0;

  bool isClean() const { return status == ' '; }
  bool isModified() const { return status == '+'; }
  bool isUninitialized() const { return status == '-'; }
  bool isUnmerged() const { return status == 'U'; }
  /// The badge the client shows: "M", "U", the change count, nothing for a
  /// clean submodule, "?" otherwise.
  std::optional<std::string> statusString() const;

  bool operator==(const GitSubmodule&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitSubmodule> {
  size_t operator()(const tavrik::GitSubmodule& s) const noexcept;
};
