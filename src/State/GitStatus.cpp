#include "tavrik/State/GitStatus.h"

#include <algorithm>
#include <charconv>

namespace tavrik {

std::optional<GitStatus> gitStatusFromRawValue(char raw) {
  switch (raw) {
  case '.': return GitStatus::unmodified;
  case 'M': return GitStatus::modified;
  case 'A': return GitStatus::added;
  case 'D': return GitStatus::deleted;
  case 'R': return GitStatus::renamed;
  case 'C': return GitStatus::copied;
  case 'U': return GitStatus::unmerged;
  case '?': return GitStatus::untracked;
  case '!': return GitStatus::ignored;
  case 'T': return GitStatus::typechange;
  case 'X': return GitStatus::unknown;
  default: return std::nullopt;
  }
}

std::string_view toString(GitStatus s) {
  switch (s) {
  case GitStatus::unmodified: return "unmodified";
  case GitStatus::modified: return "modified";
  case GitStatus::added: return "added";
  case GitStatus::deleted: return "deleted";
  case GitStatus::renamed: return "renamed";
  case GitStatus::copied: return "copied";
  case GitStatus::unmerged: return "unmerged";
  case GitStatus::untracked: return "untracked";
  case GitStatus::ignored: return "ignored";
  case GitStatus::typechange: return "typechange";
  case GitStatus::unknown: return "unknown";
  }
  return "unknown";
}

bool hasChanges(GitStatus s) {
  switch (s) {
  case GitStatus::modified:
  case GitStatus::added:
  case GitStatus::deleted:
  case GitStatus::renamed:
  case GitStatus::copied:
  case GitStatus::unmerged:
  case GitStatus::typechange: return true;
  default: return false;
  }
}

std::optional<GitStaged> gitStagedFromRawValue(int raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<GitStaged>(raw);
}

GitMode GitMode::fromOctal(std::string_view octal) {
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(octal.data(), octal.data() + octal.size(), value, 8);
  if (ec != std::errc() || end != octal.data() + octal.size() || octal.empty()) return GitMode{0};
  return GitMode{value};
}

namespace {
std::string digits(uint64_t value, int base, size_t width) {
  std::string out;
  do {
    out.push_back(char('0' + value % base));
    value /= base;
  } while (value != 0);
  if (out.size() < width) out.append(width - out.size(), '0');
  std::reverse(out.begin(), out.end());
  return out;
}
} // namespace

std::string GitMode::octalString() const { return digits(decimal, 8, 6); }
std::string GitMode::bitString() const { return digits(decimal, 2, 16); }

} // namespace tavrik
