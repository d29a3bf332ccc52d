// The small value types of the working-tree status: one column's state of a
// file (`GitStatus`, git's XY letters), how much of a change is staged
// (`GitStaged`), what a status record says about a submodule
// (`GitSubmoduleState`) and a numeric file mode (`GitMode`).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

/// One file's state in one column (index or working tree); the raw value is
/// the letter git prints in porcelain v2 ("." for unmodified).
enum class GitStatus : char {
  unmodified = '.',
  modified = 'M',
  added = 'A',
  deleted = 'D',
  renamed = 'R',
  copied = 'C',
  unmerged = 'U',
  untracked = '?',
  ignored = '!',
  typechange = 'T',
  unknown = 'X',
};

/// The status for a raw letter; nullopt for any letter outside the table.
std::optional<GitStatus> gitStatusFromRawValue(char raw);
constexpr char rawValue(GitStatus s) { return static_cast<char>(s); }
/// "unmodified", "modified", ... (the case name).
std::string_view toString(GitStatus s);
/// True for the states that are a change: modified, added, deleted, renamed,
/// copied, unmerged, typechange.
bool hasChanges(GitStatus s);

/// How much of an entry is staged; ordered yes < partial < no.
enum class GitStaged : int { yes = 0, partial = 1, no = 2 };

/// nullopt outside 0...2.
std::optional<GitStaged> gitStagedFromRawValue(int raw);

/// The submodule field of a status record ("N..." for a plain file).
struct GitSubmoduleState {
  bool isSubmodule = false;
  bool commitChanged = false;
  bool hasTrackedChanges = false;
  bool hasUntrackedChanges = false;

  bool operator==(const GitSubmoduleState&) const = default;
};

/// A numeric file mode (its real value, not the octal digits read as decimal).
struct GitMode {
  uint64_t decimal = 0;

  /// Parses octal digits; text that is not octal (or overflows) gives 0.
  static GitMode fromOctal(std::string_view octal);
  static const GitMode zero;

  bool isZero() const { return decimal == 0; }
  /// 040000: a tree.
  bool isDir() const { return decimal == 040000; }
  /// 0120000: a symbolic link.
  bool isSymlink() const { return decimal == 0120000; }
  /// Octal digits, left-padded with "0" to 6 characters (never cut).
  std::string octalString() const;
  /// Binary digits, left-padded with "0" to 16 characters (never cut).
  std::string bitString() const;

  bool operator==(const GitMode&) const = default;
};

inline const GitMode GitMode::zero{0};

} // namespace tavrik

template <> struct std::hash<tavrik::GitSubmoduleState> {
  size_t operator()(const tavrik::GitSubmoduleState& s) const noexcept {
    return (size_t(s.isSubmodule) << 3) | (size_t(s.commitChanged) << 2) | (size_t(s.hasTrackedChanges) << 1) |
           size_t(s.hasUntrackedChanges);
  }
};

template <> struct std::hash<tavrik::GitMode> {
  size_t operator()(const tavrik::GitMode& m) const noexcept { return std::hash<uint64_t>{}(m.decimal); }
};
